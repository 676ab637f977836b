"""ScpiSource: a two-channel signal source driven with SCPI commands over PyVISA.

The VirtualDevice template with a real wire behind it. ``open`` makes a PyVISA resource for
``TCPIP0::<addr>::inst0::INSTR``; ``write`` sends one SCPI setting and then reads the instrument's
error queue (``SYST:ERR?``), so a value the instrument refuses raises ``InstrumentError`` and
``config`` keeps the last good value; ``read`` queries and converts the answer.

The VISA library is chosen by the ``backend`` keyword: "" (the default) lets PyVISA take the
system's, "@py" is pyvisa-py (pure Python, for LAN instruments), and "@sim" is pyvisa-sim with the
simulated instrument described in scpi_source.yaml beside this file.

    with ScpiSource("192.168.1.42", backend="@sim", echo=print) as source:
        source.setValue("Frequency", 2.4e9, ch=1)     # -> SOUR1:FREQ 2400000000.0, SYST:ERR?
        source.getValue("Power", ch=2)                # -> SOUR2:POW?   <- -10.00   gives -10.0
"""

import math
from pathlib import Path

import numpy as np
import pyvisa

from tarn.driver.common.plinth import Plinth
from tarn.driver.common.quantity import Quantity

__all__ = ["InstrumentError", "ScpiSource", "SIMULATION"]

# The simulated instrument that backend="@sim" opens.
SIMULATION = Path(__file__).with_name("scpi_source.yaml")

# Reference oscillator: the driver's words and the instrument's.
REFERENCES = {"internal": "INT", "external": "EXT"}


class InstrumentError(RuntimeError):
    """A setting that the instrument refused, with the entries its error queue gave."""


class ScpiSource(Plinth):
    """A two-channel SCPI signal source: frequency, power, output state and an arbitrary
    waveform per channel, and an instrument-wide reference oscillator."""

    CHs = [1, 2]
    quants = [
        Quantity("Frequency", value=1e9, unit="Hz"),
        Quantity("Power", value=-10.0, unit="dBm"),
        Quantity("Output", value=False),
        Quantity("Waveform", value=None),
        Quantity("Reference", value="internal", ch="global"),
    ]
    # Entries read from the error queue after one command at most: an instrument whose queue
    # never empties must not hold the caller forever.
    max_errors = 32

    def __init__(self, addr: str = "192.168.1.42", *, backend="", echo=None, chunk=256, **kw):
        """backend: the PyVISA library ("", "@py", "@sim" or "<file>.yaml@sim"); echo: called
        with every line sent ("-> ...") and received ("<- ..."); chunk: waveform samples per
        SOURn:DATA line. Other keywords (timeout in seconds, model, ...) go to Plinth."""
        super().__init__(addr, **kw)
        if not isinstance(chunk, int) or isinstance(chunk, bool) or chunk < 1:
            raise ValueError(f"chunk must be a positive integer, not {chunk!r}")
        self.backend = backend
        self.echo = echo
        self.chunk = chunk
        self.resource = None  # the open PyVISA resource, None while closed
        self.identity = None  # the instrument's *IDN? answer, read by open

    # --- the four operations Plinth asks for -------------------------------------------------

    def open(self, **kw):
        if self.resource is not None:
            return
        library = f"{SIMULATION}@sim" if self.backend == "@sim" else self.backend
        # PyVISA shares one manager per library among everything in the process, and closing it
        # closes every resource opened through it: the driver closes only its own resource.
        manager = pyvisa.ResourceManager(library)
        self.resource = manager.open_resource(
            f"TCPIP0::{self.addr}::inst0::INSTR",
            read_termination="\n", write_termination="\n",
            timeout=round(self.timeout * 1000),  # PyVISA counts milliseconds
        )
        try:
            self._send("*CLS")  # start from an empty error queue
            self.identity = self._query("*IDN?")
        except BaseException:
            self.close()  # an instrument that does not answer leaves no session open
            raise

    def close(self, **kw):
        # Called by __exit__ and again by the finaliser: the resource is closed once.
        resource, self.resource = self.resource, None
        if resource is not None:
            resource.close()

    def write(self, name: str, value, **kw):
        ch = kw.get("ch", 1)
        if name == "Reference":
            if not isinstance(value, str) or value not in REFERENCES:
                raise ValueError(f"Reference must be 'internal' or 'external', not {value!r}")
            self._command("Reference", f"ROSC:SOUR {REFERENCES[value]}")
            return value
        where = self._channel(name, ch)
        if name in ("Frequency", "Power"):
            number = self._finite(where, value)
            header = "FREQ" if name == "Frequency" else "POW"
            self._command(where, f"SOUR{ch}:{header} {number!r}")
            return number
        if name == "Output":
            if not isinstance(value, (int, np.integer, np.bool_)):
                raise TypeError(f"{where}: expected True/False or 1/0, not {value!r}")
            # Any integer goes out as it is: the instrument refuses what is neither 0 nor 1.
            self._command(where, f"OUTP{ch} {int(value)}")
            return bool(value)
        if name == "Waveform":
            samples = self._samples(where, value)
            for start in range(0, samples.size, self.chunk):
                head = "DATA" if start == 0 else "DATA:APP"
                block = ",".join(map(str, samples[start:start + self.chunk].tolist()))
                self._command(where, f"SOUR{ch}:{head} {block}")
            return value
        raise KeyError(f"ScpiSource has no quantity {name!r}")

    def read(self, name: str, **kw):
        ch = kw.get("ch", 1)
        if name == "Reference":
            answer = self._query("ROSC:SOUR?")
            return next((word for word, code in REFERENCES.items() if code == answer), answer)
        if name == "Waveform":
            return None  # the instrument does not send its waveform back: config answers
        self._channel(name, ch)
        if name == "Frequency":
            return float(self._query(f"SOUR{ch}:FREQ?"))
        if name == "Power":
            return float(self._query(f"SOUR{ch}:POW?"))
        if name == "Output":
            return bool(int(self._query(f"OUTP{ch}?")))
        raise KeyError(f"ScpiSource has no quantity {name!r}")

    # --- the wire ------------------------------------------------------------------------------

    def _resource(self):
        if self.resource is None:
            raise RuntimeError("the instrument is not open: use `with` or call open() first")
        return self.resource

    def _send(self, line):
        resource = self._resource()
        if self.echo is not None:
            self.echo(f"-> {line}")
        resource.write(line)

    def _query(self, line):
        resource = self._resource()
        if self.echo is not None:
            self.echo(f"-> {line}")
        answer = resource.query(line).strip()
        if self.echo is not None:
            self.echo(f"<- {answer}")
        return answer

    def _errors(self):
        """Reads the error queue until it reports no error; returns the entries read."""
        found = []
        for _ in range(self.max_errors):
            entry = self._query("SYST:ERR?")
            try:
                code = int(entry.split(",", 1)[0])
            except ValueError:  # not an SCPI error entry: report it as it came
                found.append(entry)
                break
            if code == 0:
                break
            found.append(entry)
        return found

    def _command(self, where, line):
        """Sends a setting, then raises InstrumentError if the instrument refused it."""
        self._send(line)
        errors = self._errors()
        if errors:
            shown = line if len(line) <= 60 else line[:56] + " ..."
            raise InstrumentError(f"{where}: the instrument refused {shown!r}: {'; '.join(errors)}")

    # --- checks made before anything is sent -------------------------------------------------

    def _channel(self, name, ch):
        if ch not in self.CHs:  # Plinth lets "global" through; these quantities are per channel
            raise ValueError(f"{name} is set per channel {self.CHs}, not on channel {ch!r}")
        return f"{name} on channel {ch}"

    @staticmethod
    def _finite(where, value):
        number = float(value)
        if not math.isfinite(number):  # SCPI has no text for NaN or infinity
            raise ValueError(f"{where}: {value!r} is not a finite number")
        return number

    @staticmethod
    def _samples(where, value):
        samples = np.asarray(value)
        if samples.dtype.kind == "b":
            samples = samples.astype(np.int8)  # sent as 0 and 1
        if samples.ndim != 1 or samples.size == 0 or samples.dtype.kind not in "iuf":
            raise ValueError(f"{where}: expected a non-empty one-dimensional array of real "
                             f"numbers, got {samples.dtype} of shape {samples.shape}")
        if samples.dtype.kind == "f" and not np.isfinite(samples).all():
            raise ValueError(f"{where}: the samples must be finite numbers")
        return samples
