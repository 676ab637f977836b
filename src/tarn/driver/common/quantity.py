"""Quantity records and the configuration mapping that drivers keep per quantity and channel."""

from copy import deepcopy

__all__ = ["Quantity", "newcfg"]


class Quantity:
    """A named setting or reading of an instrument, with its default value, unit and channel.

    ``ch`` is the channel the default belongs to; the text "global" marks a quantity of the
    instrument as a whole.
    """

    def __init__(self, name: str, value=None, ch=1, unit: str = ""):
        self.name = name
        self.default = {"value": value, "unit": unit, "ch": ch}

    def __repr__(self):
        d = self.default
        return f"Quantity({self.name!r}, value={d['value']!r}, ch={d['ch']!r}, unit={d['unit']!r})"


def newcfg(quants, CHs):
    """Build the configuration mapping: for every quantity name, one fresh entry per channel in
    ``CHs`` and one for "global", each ``{"value": <copy of the default>, "unit": <unit>}``.

    A later quantity with an already used name replaces the earlier one.
    """
    config = {}
    for q in quants:
        default = q.default
        config[q.name] = {
            ch: {"value": deepcopy(default["value"]), "unit": default["unit"]}
            for ch in [*CHs, "global"]
        }
    return config
