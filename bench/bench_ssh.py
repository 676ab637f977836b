"""Times SSHClient against paramiko used directly, on a throwaway sshd on 127.0.0.1.

Two workloads, each done through SSHClient and through paramiko directly, in the same run and
interleaved so drift hits both alike:
  run("true")   one command: exec_command, the password line on standard input, both streams
                read and decoded, the output printed (into a sink);
  upload 20 MB  one SFTP put of a 20 MB file of random bytes.
Prints the median times and the ratios SSHClient / paramiko (target: at most 1.10).

    python bench/bench_ssh.py [--quick] [--runs N] [--uploads N]

Needs root (the server creates a test user); prints why and exits 0 when it cannot run.
"""

import argparse
import contextlib
import io
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

UPLOAD_SIZE = 20 * 1024 * 1024


def skip(reason):
    print(f"bench_ssh: skipped: {reason}")
    sys.exit(0)


def paramiko_run(client, password, command):
    """What SSHClient.run does, written with paramiko directly."""
    stdin, stdout, stderr = client.exec_command(command)
    try:
        stdin.write(password + "\n")
        stdin.flush()
    except OSError:
        pass  # a command as quick as `true` may have closed its channel already
    output = stdout.read().decode("utf-8")
    error = stderr.read().decode("utf-8")
    print(output)
    if error:
        print(error)


def connect_directly(server):
    import paramiko

    client = paramiko.SSHClient()
    client.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    client.connect(server.host, port=server.port, username=server.user, password=server.password)
    return client


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def compare(name, actions, repetitions, block=1):
    """Runs each action (label -> callable) `repetitions` times, in blocks of `block` calls in a
    row, rotating the order of the blocks so drift hits all alike; returns the workload name
    and each label's median time.

    Quick commands are timed in blocks: a call's latency depends on what its own connection did
    just before (TCP's delayed acknowledgements and Nagle's algorithm), so calls interleaved one
    by one between two connections measure their interplay rather than either client."""
    times = {label: [] for label in actions}
    sink = io.StringIO()
    order = list(actions.items())
    with contextlib.redirect_stdout(sink):
        for _, action in order:  # warm-up: connections, SFTP sessions, code paths
            action()
        rounds = max(1, repetitions // block)
        for i in range(rounds):
            for label, action in order[i % len(order):] + order[:i % len(order)]:
                for _ in range(block):
                    times[label].append(timed(action))
                    sink.seek(0)
                    sink.truncate()
    return name, rounds * block, {label: statistics.median(t) for label, t in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="very few repetitions")
    parser.add_argument("--runs", type=int, help="repetitions of run('true') (default 300)")
    parser.add_argument("--uploads", type=int, help="repetitions of the upload (default 20)")
    args = parser.parse_args()
    runs = args.runs or (10 if args.quick else 300)
    uploads = args.uploads or (2 if args.quick else 20)

    try:
        import paramiko  # noqa: F401  (checks that it is there)
        from tarn.terminal.ssh import SSHClient
    except ImportError as e:
        skip(f"cannot import the SSH client here ({e})")
    import sshd_server

    server = sshd_server.SSHServer()
    try:
        server.start()
    except sshd_server.Unavailable as e:
        skip(str(e))
    try:
        ours = SSHClient(server.user, server.password, server.host, server.port)
        with contextlib.redirect_stdout(io.StringIO()):
            ours.run("true")  # connect outside the timings
        direct = connect_directly(server)

        with tempfile.TemporaryDirectory(prefix="tarn-bench-") as local_dir:
            local = os.path.join(local_dir, "payload")
            with open(local, "wb") as f:
                f.write(os.urandom(UPLOAD_SIZE))
            remote_dir = tempfile.mkdtemp(prefix="tarn-bench-remote-")
            entry = sshd_server.ensure_user()
            os.chown(remote_dir, entry.pw_uid, entry.pw_gid)
            remote = lambda name: os.path.join(remote_dir, name)  # noqa: E731
            direct_sftp = direct.open_sftp()
            try:
                rows = [
                    compare('run("true")', {
                        "SSHClient": lambda: ours.run("true"),
                        "paramiko": lambda: paramiko_run(direct, server.password, "true"),
                    }, runs, block=min(10, runs)),
                    compare("upload 20 MB", {
                        "SSHClient": lambda: ours.upload(local, remote("ours")),
                        "paramiko": lambda: direct_sftp.put(local, remote("direct")),
                    }, uploads),
                ]
            finally:
                for name in ("ours", "direct"):
                    with contextlib.suppress(FileNotFoundError):
                        os.remove(remote(name))
                os.rmdir(remote_dir)
        direct.close()
        with contextlib.redirect_stdout(io.StringIO()):
            ours.close()
    finally:
        server.stop()

    print("medians in ms; ratio = SSHClient / paramiko (target <= 1.10)")
    print(f"{'workload':<14} {'reps':>5} {'SSHClient':>10} {'paramiko':>10} {'ratio':>6}")
    missed = []
    for name, reps, medians in rows:
        ours_t, direct_t = medians["SSHClient"], medians["paramiko"]
        ratio = ours_t / direct_t
        if ratio > 1.10:
            missed.append(name)
        print(f"{name:<14} {reps:>5} {ours_t * 1e3:>10.3f} {direct_t * 1e3:>10.3f} {ratio:>6.3f}")
    print("target:", "missed by " + ", ".join(missed) if missed else "met")


if __name__ == "__main__":
    main()
