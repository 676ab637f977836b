"""A two-channel SCPI power supply on a TCP port of 127.0.0.1, for the driver tests.

Run as its own process (`python tests/scpi_instrument.py --port 0`), it prints the port it
listens on as the first line of its standard output and then serves until it is terminated
(with --stdin, also until its standard input closes). Drivers reach it through pyvisa-py as ``TCPIP0::127.0.0.1::<port>::SOCKET``; the `instrument`
fixture of conftest.py starts it and wraps the control lines below.

It speaks line-based SCPI ("\\n" ends a message) like the instrument of examples/power_supply.py:
``*IDN?``, ``*CLS``, ``*RST``, ``*OPC?``, ``SYST:ERR?`` (``+0,"No error"`` once the queue is
empty), per channel ``SOUR<n>:VOLT``, ``SOUR<n>:CURR``, ``SOUR<n>:FREQ``, ``OUTP<n>`` and the
readings ``MEAS<n>:VOLT?`` and ``MEAS<n>:CURR?``, ``DISP:TEXT '<text>'``, and
``SOUR<n>:DATA #<n><length><bytes>``: an arbitrary waveform as an IEEE 488.2 definite-length
block of little-endian float32 samples within -1..1, read whole (newline bytes and all) and
logged as ``SOUR<n>:DATA #``; ``SOUR<n>:DATA?`` answers it the same way. Headers take the short or long form in any case. Several
commands on one line, separated by ";", run in order as on a real instrument: a header that does
not start with ":" or "*" is relative to the previous one's path, so ``SOUR1:VOLT 1;CURR 0.2``
sets SOUR1:CURR; the answers of the queries on one line are sent as one line joined by ";". A value out of range or a command that is not understood
leaves the state as it was and pushes an SCPI error entry.

Lines starting with "!" are the tests' control interface, allowed on any connection (tests use a
separate one) and answered with one line: ``!state`` (the state as JSON), ``!log`` (the
instrument lines received so far, JSON), ``!clear`` (empties that log) and
``!fault <kind> [arg]``, which arms a misbehaviour for the next answer on any connection:
silent, late <seconds>, double, doubleerror (the next answer that holds an error-queue entry,
twice), hangup, reset (a TCP RST), garbage (bytes that are not UTF-8), lateblock <seconds> (a
block that is not text, late), block <header> (the answer as a block of that header: "#0"
indefinite, "#9abcdefghi" malformed); or deaf <seconds>, which stops reading the next line that
holds a block for that long and then closes the connection; or error <code> [text], which pushes
that entry with the next command instead. The commands of the line still run; faults armed one after another meet successive answers. A control line
answers "ok" or "error: ..." unless it asks for JSON.
"""

import getopt
import json
import os
import re
import socket
import socketserver
import struct
import sys
import threading
import time
from typing import BinaryIO

IDENTITY = "TARN,LOOPBACK,0,1.0"
QUERY_FAULTS = ("silent", "late", "double", "doubleerror", "hangup", "reset", "garbage", "lateblock",
                "block")
WITH_ARGUMENT = ("late", "lateblock", "block", "deaf")
LATE_BLOCK = b"#14\x00\n\xff\x80\n"  # a definite-length block: a newline and no UTF-8 in it
GARBAGE = b"\xff\xfe\x80\xc3(#\x00\x9f\n"  # not UTF-8, not SCPI, but a line all the same
# The start of a definite-length block: "#" and the count of length digits, after a space or comma.
BLOCK = re.compile(rb"[ ,]#([1-9])")

# Per channel: voltage and current ranges, and the load resistance (ohms) the output drives, so
# that the two channels measure different currents (the current limit is not modelled).
VOLTS = {1: (0.0, 30.0), 2: (0.0, 6.0)}
AMPS = {1: (0.0, 3.0), 2: (0.0, 5.0)}
LOAD = {1: 10.0, 2: 4.0}
HERTZ = (1.0, 20e9)
QUEUE_SIZE = 16

MESSAGES = {
    0: "No error", -100: "Command error", -104: "Data type error", -108: "Parameter not allowed",
    -109: "Missing parameter", -113: "Undefined header", -114: "Header suffix out of range",
    -222: "Data out of range", -224: "Illegal parameter value", -350: "Queue overflow",
}
# Mnemonics as SCPI writes them: the upper-case part is the short form.
MNEMONICS = ["SOURce", "VOLTage", "CURRent", "FREQuency", "OUTPut", "MEASure", "DISPlay", "TEXT",
             "SYSTem", "ERRor", "DATA"]
WORDS = {form.upper(): m.upper() for m in MNEMONICS for form in (m, re.sub("[a-z]", "", m))}


class Refused(Exception):
    """A command the instrument does not carry out; the error code says why."""

    def __init__(self, code: int) -> None:
        super().__init__(code)
        self.code = code


def entry(code: int, text: str | None = None) -> str:
    return f'{code:+d},"{text or MESSAGES.get(code, "Device specific")}"'


def number(value: float) -> str:
    return f"{value:+.6E}"


class Channel:
    """One output's settings, at their *RST values."""

    def __init__(self) -> None:
        self.voltage = 0.0
        self.current = 0.1
        self.output = False
        self.frequency = 1e9
        self.samples: list[float] = []  # the arbitrary waveform


class State:
    def __init__(self) -> None:
        self.channels = {1: Channel(), 2: Channel()}
        self.display = ""
        self.errors: list[str] = []


def split_units(line: str) -> list[str]:
    """The line's commands: split at ";" outside quoted strings."""
    units, current, quote = [], "", ""
    for c in line:
        if quote:
            quote = "" if c == quote else quote
        elif c in "'\"":
            quote = c
        elif c == ";":
            units.append(current)
            current = ""
            continue
        current += c
    return [*units, current]


def with_block(rfile: BinaryIO, raw: bytes) -> tuple[bytes, bytes | None]:
    """A line that holds a definite-length block (before any quote) read whole: the block's bytes
    may hold newlines, so exactly its announced length is read. Returns the line with "#" in
    place of the block, and the block's bytes (None when the line holds none)."""
    quotes = [at for at in (raw.find(b"'"), raw.find(b'"')) if at >= 0]
    match = BLOCK.search(raw, 0, min(quotes, default=len(raw)))
    if match is None:
        return raw, None
    start = match.end() + int(match[1])
    digits = raw[match.end():start]
    if not digits.isdigit():
        return raw, None  # not a block after all: the command refuses its text
    end = start + int(digits)
    if end + 1 > len(raw):
        raw += rfile.read(end + 1 - len(raw))  # the rest of the block, and the "\n" after it
    return raw[:match.start() + 1] + b"#" + raw[end:], raw[start:end]


def unquote(text: str) -> str:
    """An SCPI string parameter: quoted with ' or ", the quote doubled inside."""
    q = text[:1]
    if len(text) < 2 or q not in "'\"" or text[-1] != q or q in text[1:-1].replace(q * 2, ""):
        raise Refused(-104)
    return text[1:-1].replace(q * 2, q)


class Instrument:
    """The shared state, the armed faults and the log; every line runs under one lock."""

    def __init__(self, delay: float = 0.0) -> None:
        self.delay = delay
        self.lock = threading.Lock()
        self.state = State()
        self.faults: list[tuple[str, str]] = []  # for the next answers, in order
        self.injected: list[str] = []  # error entries for the next commands
        self.log: list[str] = []
        self.block: bytes | None = None  # the block of the line being executed
        self.deaf: float | None = None  # seconds to stop reading at the next block

    def push(self, text: str) -> None:
        if len(self.state.errors) >= QUEUE_SIZE:
            self.state.errors[-1] = entry(-350)
        else:
            self.state.errors.append(text)

    def execute(self, line: str, block: bytes | None = None) -> tuple[str | None, tuple[str, str] | None]:
        """Runs one instrument line (`block`: the bytes of the block that "#" stands for in it);
        returns its answer (None: no query on it) and the fault armed for that answer."""
        with self.lock:
            self.log.append(line)
            self.block = block
            answers: list[str] = []
            path: list[str] = []
            for unit in split_units(line):
                if not unit.strip():
                    continue
                header, _, argument = unit.strip().partition(" ")
                try:
                    if not header.startswith("*"):
                        nodes = header.lstrip(":").split(":")
                        path = nodes if header.startswith(":") else path[:-1] + nodes
                        header = ":".join(path)
                    answer = self.command(header.upper(), argument.strip())
                except Refused as refused:
                    self.push(entry(refused.code))
                else:
                    if answer is not None:
                        answers.append(answer)
                if self.injected:  # as if this command had failed
                    self.push(self.injected.pop(0))
            if not answers:
                return None, None
            fault = self.faults[0] if self.faults else None
            if fault is not None and fault[0] == "doubleerror" and not any(
                    re.match(r"\s*:?SYST(EM)?:ERR(OR)?\?", u, re.I) for u in split_units(line)):
                fault = None  # it waits for an error-queue answer
            elif fault is not None:
                self.faults.pop(0)
            return ";".join(answers), fault

    def command(self, header: str, argument: str) -> str | None:
        query = header.endswith("?")
        header = header.rstrip("?")
        if query and argument:
            raise Refused(-108)
        if header.startswith("*"):
            return self.common(header, query)
        nodes, suffix = [], None
        for node in header.split(":"):
            match = re.fullmatch(r"([A-Z]+)(\d*)", node)
            if match is None or match[1] not in WORDS:
                raise Refused(-113)
            nodes.append(WORDS[match[1]])
            suffix = int(match[2]) if match[2] else suffix
        if nodes == ["SYSTEM", "ERROR"] and query:
            return self.state.errors.pop(0) if self.state.errors else entry(0)
        if nodes == ["DISPLAY", "TEXT"]:
            if query:
                return '"' + self.state.display.replace('"', '""') + '"'
            if not argument:
                raise Refused(-109)
            self.state.display = unquote(argument)
            return None
        if nodes[0] not in ("SOURCE", "OUTPUT", "MEASURE"):
            raise Refused(-113)
        suffix = 1 if suffix is None else suffix
        if suffix not in self.state.channels:
            raise Refused(-114)
        channel = self.state.channels[suffix]
        if nodes == ["MEASURE", "VOLTAGE"] and query:
            return number(channel.voltage if channel.output else 0.0)
        if nodes == ["MEASURE", "CURRENT"] and query:
            return number(channel.voltage / LOAD[suffix] if channel.output else 0.0)
        if nodes == ["SOURCE", "DATA"] and query:
            data = struct.pack(f"<{len(channel.samples)}f", *channel.samples)
            # the bytes travel in the answer's text unchanged (see Connection.handle)
            return f"#{len(str(len(data)))}{len(data)}" + data.decode("utf-8", "surrogateescape")
        if nodes == ["SOURCE", "DATA"] and not query:
            block, self.block = self.block, None
            if argument != "#" or block is None or len(block) % 4:
                raise Refused(-104)
            samples = struct.unpack(f"<{len(block) // 4}f", block)
            if not samples or not all(-1.0 <= s <= 1.0 for s in samples):
                raise Refused(-222)
            channel.samples = list(samples)
            return None
        if nodes == ["OUTPUT"]:
            if query:
                return "1" if channel.output else "0"
            words = {"0": False, "OFF": False, "1": True, "ON": True}
            if not argument:
                raise Refused(-109)
            if argument.upper() not in words:
                raise Refused(-224)
            channel.output = words[argument.upper()]
            return None
        limits = {"VOLTAGE": VOLTS[suffix], "CURRENT": AMPS[suffix], "FREQUENCY": HERTZ}
        if len(nodes) == 2 and nodes[0] == "SOURCE" and nodes[1] in limits:
            name = nodes[1].lower()
            if query:
                return number(getattr(channel, name))
            if not argument:
                raise Refused(-109)
            try:
                value = float(argument)
            except ValueError:
                raise Refused(-104) from None
            low, high = limits[nodes[1]]
            if not low <= value <= high:
                raise Refused(-222)
            setattr(channel, name, value)
            return None
        raise Refused(-113)

    def common(self, header: str, query: bool) -> str | None:
        if header == "*IDN" and query:
            return IDENTITY
        if header == "*OPC" and query:
            return "1"
        if header == "*CLS" and not query:
            self.state.errors.clear()
            return None
        if header == "*RST" and not query:
            self.state.channels = State().channels
            self.state.display = ""
            return None
        raise Refused(-113)

    def control(self, line: str) -> str:
        """Answers one control line (without its "!")."""
        verb, *args = line.split() or [""]
        with self.lock:
            if verb == "state" and not args:
                state: dict[str, object] = dict(vars(self.state))
                state["channels"] = {n: vars(c) for n, c in self.state.channels.items()}
                state["faults"] = [" ".join(f).strip() for f in self.faults] + (
                    [] if self.deaf is None else [f"deaf {self.deaf}"])
                state["injected"] = list(self.injected)
                return json.dumps(state)
            if verb == "log" and not args:
                return json.dumps(self.log)
            if verb == "clear" and not args:
                self.log.clear()
                return "ok"
            if verb == "fault" and args:
                kind, arg = args[0], " ".join(args[1:])
                if kind == "error" and re.fullmatch(r"[+-]?\d+", arg.partition(" ")[0]):
                    code, _, text = arg.partition(" ")
                    self.injected.append(entry(int(code), text or None))
                    return "ok"
                if kind in (*QUERY_FAULTS, "deaf") and (kind in WITH_ARGUMENT) == bool(arg):
                    if kind in ("late", "lateblock", "deaf"):
                        try:
                            float(arg)
                        except ValueError:
                            return f"error: {kind} needs seconds, not {arg!r}"
                    if kind == "deaf":
                        self.deaf = float(arg)
                    else:
                        self.faults.append((kind, arg))
                    return "ok"
        return f"error: unknown control line {'!' + line!r}"


class Connection(socketserver.StreamRequestHandler):
    server: "Server"

    def handle(self) -> None:
        instrument = self.server.instrument
        for raw in self.rfile:
            if instrument.deaf is not None and not raw.startswith(b"!") and BLOCK.search(raw):
                deaf, instrument.deaf = instrument.deaf, None
                time.sleep(deaf)  # not reading: the sender's buffers fill up
                self.connection.close()
                return
            raw, block = (raw, None) if raw.startswith(b"!") else with_block(self.rfile, raw)
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            if line.startswith("!"):
                self.wfile.write(instrument.control(line[1:]).encode() + b"\n")
                continue
            if not line.strip():
                continue
            answer, fault = instrument.execute(line, block)
            if answer is None:
                continue
            if instrument.delay:
                time.sleep(instrument.delay)  # the instrument's processing time
            kind, arg = fault or ("", "")
            if kind in ("late", "lateblock"):
                time.sleep(float(arg))
            elif kind == "silent":
                continue
            elif kind in ("hangup", "reset"):
                if kind == "reset":  # linger 0: close sends RST instead of FIN
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                               struct.pack("ii", 1, 0))
                else:
                    self.connection.shutdown(socket.SHUT_RDWR)
                self.rfile.close()  # it holds the socket open until closed too
                self.connection.close()
                return
            data = answer.encode("utf-8", "surrogateescape") + b"\n"
            if kind in ("garbage", "lateblock"):
                data = GARBAGE if kind == "garbage" else LATE_BLOCK
            elif kind == "block":
                data = arg.encode() + answer.encode() + b"\n"
            self.wfile.write(data * (2 if kind in ("double", "doubleerror") else 1))


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port: int, instrument: Instrument) -> None:
        super().__init__(("127.0.0.1", port), Connection)
        self.instrument = instrument

    def handle_error(self, request: object, client_address: object) -> None:
        # A client that drops its connection is the tests' business; anything else is a fault of
        # this server, and its traceback on stderr fails the test (see the fixture).
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)  # type: ignore[arg-type]


def main() -> None:
    # getopt rather than argparse: it starts in a fraction of the time, and a process is started
    # for every test.
    usage = ("usage: scpi_instrument.py [--port N (0: a free one)] [--delay SECONDS per query] "
             "[--stdin (exit when standard input closes)]")
    try:
        options = dict(getopt.getopt(sys.argv[1:], "", ["port=", "delay=", "stdin"])[0])
        port, delay = int(options.get("--port", 0)), float(options.get("--delay", 0))
    except (getopt.GetoptError, ValueError) as e:
        sys.exit(f"{e}\n{usage}")
    if "--stdin" in options:
        # The fixture holds the other end of the pipe: a test run that dies takes the server along.
        threading.Thread(target=lambda: (sys.stdin.buffer.read(), os._exit(0)), daemon=True).start()
    with Server(port, Instrument(delay)) as server:
        print(server.server_address[1], flush=True)
        server.serve_forever()


if __name__ == "__main__":
    main()
