"""Instrument drivers."""
