"""Quantity table and value dispatch: dict_from_quantity, check, update, setValue, getValue."""

import threading

import numpy as np
import pytest

import tarn.driver.common.plinth as plinth
from tarn.driver.common.plinth import Plinth, compress
from tarn.driver.common.quantity import Quantity

QUANTS = [Quantity("Gain", 1.5), Quantity("Trace", [1, 2]), Quantity("Waveform", None),
          Quantity("Clock", "int", ch="global")]


@pytest.fixture
def cls(make_driver):
    return make_driver(QUANTS, chs=(1, 2))


def desc(d):
    return d.info()


# --- dict_from_quantity --------------------------------------------------------------------------

def test_dict_from_quantity_with_class_defaults(make_driver):
    assert make_driver()().dict_from_quantity() == {"CH1": {}, "CHglobal": {}}


def test_dict_from_quantity_shares_one_per_channel_dict(drv):
    table = drv.dict_from_quantity()
    assert list(table) == ["CH1", "CH2", "CHglobal"]
    assert table["CH1"] is table["CH2"]
    assert table["CH1"] == {"Gain": 1.5, "Trace": [1, 2], "Waveform": None}
    assert table["CHglobal"] == {"Clock": "int"}
    table["CH1"]["Gain"] = 9
    assert table["CH2"]["Gain"] == 9 and table["CHglobal"] == {"Clock": "int"}
    again = drv.dict_from_quantity()
    assert again["CH1"]["Gain"] == 1.5 and again is not table


def test_dict_from_quantity_copies_mutable_defaults(drv):
    trace = drv.dict_from_quantity()["CH1"]["Trace"]
    assert trace == QUANTS[1].default["value"] and trace is not QUANTS[1].default["value"]


@pytest.mark.parametrize("channel, key", [
    (1, "CH1"), ("A", "CHA"), (1.5, "CH1.5"), (True, "CHTrue"), (-3, "CH-3")])
def test_dict_from_quantity_channel_keys(make_driver, channel, key):
    assert list(make_driver(chs=[channel])().dict_from_quantity()) == [key, "CHglobal"]


def test_dict_from_quantity_later_name_replaces_value_in_place(make_driver):
    quants = [Quantity("A", 1), Quantity("B", 2), Quantity("A", 3)]
    assert make_driver(quants)().dict_from_quantity()["CH1"] == {"A": 3, "B": 2}


@pytest.mark.parametrize("record, error", [
    (object(), AttributeError), (Quantity("X"), KeyError)])
def test_dict_from_quantity_bad_records(make_driver, record, error):
    if isinstance(record, Quantity):
        del record.default["ch"]
    d = make_driver()()
    type(d).quants = [record]
    with pytest.raises(error):
        d.dict_from_quantity()


# --- check and update ----------------------------------------------------------------------------

@pytest.mark.parametrize("channel", [1, 2, "global"])
def test_check_accepts_declared_names_and_channels(drv, channel):
    assert drv.check("Gain", channel) is None


@pytest.mark.parametrize("name, channel, tail", [
    ("Nope", 1, ": quantity(Nope) not Found!"),
    ("Nope", 7, ": quantity(Nope) not Found!"),
    ("Gain", 3, ": channel(3) not found!"),
    ("Gain", "CH1", ": channel(CH1) not found!"),
    ("Gain", 2.5, ": channel(2.5) not found!"),
])
def test_check_messages(drv, name, channel, tail):
    with pytest.raises(AssertionError) as info:
        drv.check(name, channel)
    assert str(info.value) == desc(drv) + tail


def test_check_uses_format_of_the_driver(cls):
    class Formatted(cls):
        def __format__(self, spec):
            return "DRV"

    with pytest.raises(AssertionError) as info:
        Formatted().check("Nope", 1)
    assert str(info.value) == "DRV: quantity(Nope) not Found!"


def test_update_writes_config_without_validation(drv):
    drv.update("Gain", 7)
    drv.update("Gain", 8, "global")
    drv.update(name="Trace", value=None, channel=2)
    assert drv.config["Gain"][1]["value"] == 7 and drv.config["Gain"]["global"]["value"] == 8
    assert drv.config["Trace"][2]["value"] is None
    with pytest.raises(KeyError):
        drv.update("Gain", 1, 9)


@pytest.mark.parametrize("call, message", [
    (lambda d: d.getValue(b"Gain"), "Argument 'name' has incorrect type (expected str, got bytes)"),
    (lambda d: d.setValue(None, 1), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    (lambda d: d.check(1, 1), "Argument 'name' has incorrect type (expected str, got int)"),
    (lambda d: d.update(("Gain",), 1), "Argument 'name' has incorrect type (expected str, got tuple)"),
    (lambda d: d.check("Gain"), "check() takes exactly 3 positional arguments (2 given)"),
    (lambda d: d.check("Gain", 1, ch=1), "check() got an unexpected keyword argument 'ch'"),
    (lambda d: d.update("Gain", 1, 1, 1), "update() takes at most 4 positional arguments (5 given)"),
    (lambda d: d.update("Gain"), "update() takes at least 3 positional arguments (2 given)"),
    (lambda d: d.setValue("Gain"), "setValue() takes exactly 3 positional arguments (2 given)"),
    (lambda d: d.setValue("Gain", 1, value=2),
     "setValue() got multiple values for keyword argument 'value'"),
])
def test_argument_errors(drv, call, message):
    with pytest.raises(TypeError) as info:
        call(drv)
    assert str(info.value) == message
    assert [c for c in type(drv).calls if c[0] in ("read", "write")] == []


# --- setValue --------------------------------------------------------------------------------

def test_set_value_without_keywords(cls, drv):
    assert drv.setValue("Gain", 5) is None
    assert cls.calls == [("write", ("Gain", 5), {})]
    assert drv.config["Gain"][1]["value"] == ("ack", 5)
    assert drv.config["Gain"][2]["value"] == 1.5


def test_set_value_passes_all_keywords_to_write(cls, drv):
    drv.setValue("Gain", 5, ch=2, target="", extra=[1], mode="run")
    assert cls.calls == [("write", ("Gain", 5), {"ch": 2, "target": "", "extra": [1], "mode": "run"})]
    assert drv.config["Gain"][2]["value"] == ("ack", 5)
    drv.setValue(value=6, name="Gain", ch="global")  # name and value by keyword: not in kw
    assert cls.calls[-1] == ("write", ("Gain", 6), {"ch": "global"})


def test_set_value_records_none_from_write(make_driver):
    class Quiet(make_driver(QUANTS)):
        def write(self, name, value, **kw):
            return None

    d = Quiet()
    d.setValue("Gain", 5)
    assert d.config["Gain"][1]["value"] is None


def test_set_value_refuses_undeclared_channel_before_writing(make_driver):
    cls = make_driver(QUANTS, chs=(1, 2))
    d = cls()
    with pytest.raises(AssertionError) as info:
        d.setValue("Gain", 5, ch=3)
    assert str(info.value).endswith(": channel(3) not found!")
    assert cls.calls == [] and d.config["Gain"][1]["value"] == 1.5


def test_waveform_tuple_is_expanded(cls, drv):
    samples = np.array([0.0, 0.0, 1.0, 1.0, 1.0, -2.0])
    drv.setValue("Waveform", compress(samples), ch=2)
    (op, (name, value), kw), = cls.calls
    assert isinstance(value, np.ndarray) and value.dtype == samples.dtype
    np.testing.assert_array_equal(value, samples)
    assert drv.config["Waveform"][2]["value"][1] is value


class Pair(tuple):
    pass


@pytest.mark.parametrize("name, value, expected", [
    ("Waveform", [np.array([1, 2]), np.array([2, 1])], "unchanged"),  # a list is not expanded
    ("Trace", (np.array([1, 2]), np.array([2, 1])), "unchanged"),     # only "Waveform" is
    ("Waveform", Pair(([1, 2], [2, 1])), [1, 1, 2]),                  # tuple subclasses are
])
def test_waveform_expansion_rules(cls, drv, name, value, expected):
    drv.setValue(name, value)
    written = cls.calls[-1][1][1]
    if expected == "unchanged":
        assert written is value
    else:
        assert written.tolist() == expected


def test_waveform_tuple_of_three_items(cls, drv):
    with pytest.raises(TypeError) as info:
        drv.setValue("Waveform", (1, 2, 3))
    assert str(info.value) == "decompress() takes exactly 2 positional arguments (3 given)"
    assert cls.calls == []


@pytest.mark.parametrize("kw, line", [
    ({}, "SET Gain 5 \n"), ({"target": "scope"}, "SET Gain 5 scope\n"),
    ({"ch": 2, "target": 7}, "SET Gain 5 7\n")])
def test_set_value_debug_mode_prints_only(cls, drv, capsys, kw, line):
    assert drv.setValue("Gain", 5, mode="debug", **kw) is None
    assert capsys.readouterr().out == line
    assert cls.calls == [] and drv.config["Gain"][1]["value"] == 1.5


def test_set_value_debug_prints_the_expanded_waveform(cls, drv, capsys):
    drv.setValue("Waveform", ([4], [3]), mode="debug")
    assert capsys.readouterr().out == "SET Waveform [4 4 4] \n"


# --- getValue --------------------------------------------------------------------------------

@pytest.mark.parametrize("kw", [{}, {"ch": 9}, {"mode": "debug"}])
def test_get_value_quantity_returns_the_table(cls, drv, kw, capsys):
    assert drv.getValue("quantity", **kw) == drv.dict_from_quantity()
    assert cls.calls == [] and capsys.readouterr().out == ""


def test_get_value_attribute_shortcut(cls, drv):
    assert drv.getValue("config") is drv.config
    assert drv.getValue("addr", ch=99) is drv.addr
    assert drv.getValue("CHs") is cls.CHs
    assert drv.getValue("info") == drv.info
    assert cls.calls == []


def test_get_value_attribute_lookup_errors(cls):
    class Prop(cls):
        @property
        def Gain(self):
            raise AttributeError("hidden")  # counts as "no attribute"

        @property
        def Trace(self):
            raise LookupError("broken property")

    d = Prop()
    assert d.getValue("Gain") == 1.5
    with pytest.raises(LookupError):
        d.getValue("Trace")


def test_get_value_reads_and_updates(make_driver):
    cls = make_driver(QUANTS, chs=(1, 2), reads={"Gain": 0, "Trace": None})
    d = cls()
    assert d.getValue("Gain", ch=2, target="t") == 0   # 0 is a value, only None falls back
    assert d.config["Gain"][2]["value"] == 0
    assert cls.calls == [("read", ("Gain",), {"ch": 2, "target": "t"})]
    d.update("Trace", "recorded", 2)
    assert d.getValue("Trace", ch=2) == "recorded"
    assert d.getValue("Trace") == [1, 2]


@pytest.mark.parametrize("kw", [{}, {"ch": 2}, {"mode": "debug"}])
def test_get_value_undeclared_name(cls, drv, kw):
    with pytest.raises(AssertionError) as info:
        drv.getValue("Nope", **kw)
    assert str(info.value) == desc(drv) + ": quantity(Nope) not Found!"
    assert cls.calls == []


@pytest.mark.parametrize("kw, line", [({}, "GET Gain \n"), ({"target": "dmm"}, "GET Gain dmm\n")])
def test_get_value_debug_mode(cls, drv, capsys, kw, line):
    assert drv.getValue("Gain", mode="debug", **kw) is None
    assert capsys.readouterr().out == line
    assert cls.calls == []


def test_read_failure_leaves_config(make_driver):
    class Failing(make_driver(QUANTS)):
        def read(self, name, **kw):
            raise TimeoutError("device silent")

    d = Failing()
    with pytest.raises(TimeoutError):
        d.getValue("Gain")
    assert d.config["Gain"][1]["value"] == 1.5


# --- overrides -----------------------------------------------------------------------------

def test_overrides_take_effect(make_driver):
    log = []

    class Custom(make_driver(QUANTS, reads={"Gain": 3})):
        def check(self, name, channel):
            log.append(("check", name, channel))

        def update(self, name, value, channel=1):
            log.append(("update", name, value, channel))

        def dict_from_quantity(self):
            return "custom table"

    d = Custom()
    d.setValue("Undeclared", 1, ch=5)
    assert d.getValue("Gain", ch=4) == 3
    assert d.getValue("quantity") == "custom table"
    assert log == [("check", "Undeclared", 5), ("update", "Undeclared", ("ack", 1), 5),
                   ("check", "Gain", 4), ("update", "Gain", 3, 4)]


def test_subclass_of_str_name_is_refused(drv):
    class Name(str):
        pass

    with pytest.raises(TypeError) as info:
        drv.setValue(Name("Gain"), 1)
    assert str(info.value) == "Argument 'name' has incorrect type (expected str, got Name)"


def test_concurrent_calls_on_separate_channels(make_driver):
    channels = list(range(1, 9))
    cls = make_driver(QUANTS, chs=channels)
    d = cls()
    barrier = threading.Barrier(len(channels), timeout=60)
    errors = []

    def work(ch):
        try:
            barrier.wait()
            for i in range(300):
                d.setValue("Gain", i, ch=ch)
                assert d.getValue("Gain", ch=ch) == ("ack", i)  # only this thread writes ch
        except Exception as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(ch,)) for ch in channels]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads) and errors == []
    assert [d.config["Gain"][ch]["value"] for ch in channels] == [("ack", 299)] * len(channels)
