"""setValue/getValue dispatch beyond plain dicts and class-level overrides: any mapping for
config, any container for quantities, index errors exactly as indexing raises them, and
methods replaced on the instance or on the class between calls."""

import collections

import pytest

from tarn.driver.common.quantity import Quantity

QUANTS = [Quantity("Gain", 1.5)]


@pytest.fixture
def cls(make_driver):
    return make_driver(QUANTS, chs=(1, 2, 3))


class Missing(dict):
    """A dict subclass whose missing keys answer a fresh entry (dict's __missing__ hook)."""

    def __missing__(self, key):
        return {"value": ("missing", key)}


class Everything(dict):
    def __contains__(self, key):
        return True


@pytest.mark.parametrize("mapping", [dict, collections.OrderedDict, collections.UserDict, Missing])
def test_config_of_any_mapping_type(cls, drv, mapping):
    drv.config = mapping({"Gain": mapping({ch: mapping({"value": 0}) for ch in (1, 2, 3)})})
    drv.setValue("Gain", 4, ch=2)
    assert drv.config["Gain"][2]["value"] == ("ack", 4)
    assert drv.getValue("Gain", ch=2) == ("ack", 4)   # read answers None: the recorded value
    assert isinstance(drv.config["Gain"][2], mapping)


def test_config_subclass_missing_hook_is_used(drv):
    drv.config["Gain"] = Missing(drv.config["Gain"])
    del drv.config["Gain"][3]
    assert drv.getValue("Gain", ch=3) == ("missing", 3)
    drv.update("Gain", 5, 3)    # stored in the entry __missing__ answered, so not kept
    assert 3 not in drv.config["Gain"]


@pytest.mark.parametrize("quantities, name, accepted", [
    (["Gain"], "Gain", True),
    (["Gain"], "Nope", False),
    (frozenset({"Gain"}), "Gain", True),
    ({"Gain": None}, "Nope", False),
    (Everything(), "Nope", True),       # a dict subclass's own __contains__ decides
])
def test_quantities_of_any_container_type(drv, quantities, name, accepted):
    drv.quantities = quantities
    if accepted:
        assert drv.check(name, 1) is None
    else:
        with pytest.raises(AssertionError):
            drv.check(name, 1)


@pytest.mark.parametrize("channel", [(1, 2), 9, "CH1", [1], {1: 1}])
def test_config_index_errors_are_those_of_indexing(drv, channel):
    try:
        {1: None}[channel]
    except Exception as exc:   # what indexing a dict raises for this key
        expected = exc
    with pytest.raises(type(expected)) as info:
        drv.update("Gain", 1, channel)
    assert info.value.args == expected.args   # a tuple key stays the error's single argument


@pytest.mark.parametrize("method, expected_log, recorded", [
    ("check", [("check", ("Gain", 2)), ("check", ("Gain", 2))], ("ack", 7)),
    ("update", [("update", ("Gain", ("ack", 7), 2))], 1.5),
    ("write", [("write", ("Gain", 7))], None),
    ("read", [("read", ("Gain",))], ("ack", 7)),
])
def test_methods_set_on_the_instance_take_effect(cls, drv, method, expected_log, recorded):
    log = []

    def replacement(*args, **kw):
        log.append((method, args))

    setattr(drv, method, replacement)
    drv.setValue("Gain", 7, ch=2)
    drv.getValue("Gain", ch=2)
    assert log == expected_log
    assert drv.config["Gain"][2]["value"] == recorded


def test_class_patched_between_calls_takes_effect(cls, drv):
    seen = []
    assert drv.getValue("Gain") == 1.5
    cls.read = lambda self, name, **kw: "patched"
    cls.check = lambda self, name, channel: seen.append((name, channel))
    try:
        assert drv.getValue("Gain", ch=3) == "patched"
        assert seen == [("Gain", 3)] and drv.config["Gain"][3]["value"] == "patched"
    finally:
        del cls.read, cls.check
    assert drv.getValue("Gain", ch=2) == 1.5     # back to the driver's own read and the base check
    with pytest.raises(AssertionError):
        drv.getValue("Undeclared")
