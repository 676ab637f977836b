"""The command line: open a driver class at an address and serve it until Ctrl-C or SIGTERM.

    python -m tarn.serve power_supply:PowerSupply 192.168.1.43 --prefix LAB1:PSU: --backend @py
"""

import argparse
import importlib
import logging
import signal
import sys
import threading
from types import FrameType

from tarn.serve import serve


def driver_class(spec: str) -> type:
    """The class named by MODULE:CLASS; the current folder is searched first, as by python."""
    module_name, _, class_name = spec.partition(":")
    if not module_name or not class_name:
        raise SystemExit(f"tarn.serve: expected MODULE:CLASS, not {spec!r}")
    sys.path.insert(0, "")
    try:
        module = importlib.import_module(module_name)
    except ImportError as exc:
        raise SystemExit(f"tarn.serve: cannot import {module_name}: {exc}") from None
    cls = getattr(module, class_name, None)
    if not isinstance(cls, type):
        raise SystemExit(f"tarn.serve: {module_name} has no class {class_name}")
    return cls


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tarn.serve",
                                     description="Serve an instrument driver over EPICS PV Access.")
    parser.add_argument("driver", metavar="MODULE:CLASS", help="the driver class, e.g. power_supply:PowerSupply")
    parser.add_argument("address", help="the instrument's address, as the driver takes it")
    parser.add_argument("--prefix", required=True, help="put before every PV name, e.g. LAB1:PSU:")
    parser.add_argument("--backend", help="the driver's backend keyword (a VisaDriver's @py, @sim, ...)")
    parser.add_argument("--interface", action="append",
                        help="an address to serve on (repeatable; default 127.0.0.1 only)")
    parser.add_argument("--port", type=int, default=5075,
                        help="the TCP port (default 5075; 0: free ports, printed as client settings)")
    parser.add_argument("--poll", type=float, default=1.0,
                        help="seconds between reads of the readings clients watch (default 1)")
    parser.add_argument("--read-only", action="store_true", help="refuse every put")
    parser.add_argument("--timeout", type=float, help="the driver's timeout in seconds")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.WARNING, format="%(name)s: %(message)s")

    cls = driver_class(args.driver)
    keywords: dict[str, object] = {}
    if args.backend is not None:
        keywords["backend"] = args.backend
    if args.timeout is not None:
        keywords["timeout"] = args.timeout
    stop = threading.Event()

    def stopping(signum: int, frame: FrameType | None) -> None:
        stop.set()

    signal.signal(signal.SIGTERM, stopping)
    signal.signal(signal.SIGINT, stopping)
    try:
        driver = cls(args.address, **keywords)
        driver.open()
    except Exception as exc:
        print(f"tarn.serve: cannot open {cls.__name__} at {args.address}: {exc}", file=sys.stderr)
        return 1
    try:
        with serve(driver, args.prefix, interfaces=args.interface or ("127.0.0.1",),
                   port=args.port, read_only=args.read_only, poll=args.poll) as server:
            print(f"serving {type(driver).__name__} at {args.address} as {len(server.names)} PVs"
                  f"{' (read-only)' if args.read_only else ''}; client settings:", flush=True)
            print(" ".join(f"{k}={v}" for k, v in sorted(server.conf.items())), flush=True)
            for name in [*server.names, f"{args.prefix}quantities"]:
                print(name, flush=True)
            while not stop.wait(0.5):  # short waits: the signal handlers run between them
                pass
    except Exception as exc:
        print(f"tarn.serve: cannot serve: {exc}", file=sys.stderr)
        return 1
    finally:
        driver.close()
    print("stopped; the driver is closed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
