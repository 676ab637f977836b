"""Times tarn.driver.discover over resources that never answer: the call should take about one
`timeout` however many there are (each resource is asked on a thread of its own), and never more
than its stated bound, 2 * timeout + 1 s.

Each silent resource is a TCP port of 127.0.0.1 that takes connections (the kernel's backlog)
and never answers; one more port refuses connections. Prints, per count of silent resources,
the median wall time of the call, its ratio to `timeout`, and its ratio to the bound.

    python bench/bench_discover.py [--quick]
"""

import argparse
import socket
import statistics
import time

from tarn.driver.discover import discover

TIMEOUT = 0.25


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one run per count")
    runs = 1 if parser.parse_args().quick else 3
    with socket.create_server(("127.0.0.1", 0)) as closed:
        refusing = closed.getsockname()[1]
    print(f"discover, timeout {TIMEOUT} s, bound {2 * TIMEOUT + 1} s (median of {runs})")
    print(f"{'silent':>7} {'seconds':>8} {'/timeout':>9} {'/bound':>7}")
    for count in (1, 8, 32):
        listeners = [socket.create_server(("127.0.0.1", 0), backlog=4) for _ in range(count)]
        try:
            names = [f"TCPIP0::127.0.0.1::{s.getsockname()[1]}::SOCKET" for s in listeners]
            names.append(f"TCPIP0::127.0.0.1::{refusing}::SOCKET")
            times = []
            for _ in range(runs):
                started = time.perf_counter()
                found = discover([], resources=names, backend="@py", timeout=TIMEOUT)
                times.append(time.perf_counter() - started)
                assert all(f.error for f in found), found
            median = statistics.median(times)
            print(f"{count:>7} {median:>8.3f} {median / TIMEOUT:>9.2f} {median / (2 * TIMEOUT + 1):>7.2f}")
        finally:
            for listener in listeners:
                listener.close()


if __name__ == "__main__":
    main()
