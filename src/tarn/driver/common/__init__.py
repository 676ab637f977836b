"""The common driver base: Plinth, quantities and the run-length codec."""
