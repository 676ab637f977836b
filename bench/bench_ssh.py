"""Times SSHClient against paramiko used directly, on a throwaway sshd on 127.0.0.1.

Workloads, each done in the same run and interleaved in blocks so drift hits all alike:
  run("true"), run("sleep 0.01")  one command: exec_command, the password line on standard
                input, both streams read and decoded, the output printed (into a sink);
  upload 20 MB  one SFTP put of a 20 MB file of random bytes.
Each through four connections: SSHClient as it is (Nagle's algorithm off), SSHClient with
Nagle's algorithm turned back on (what it did before), paramiko directly on a default
connection, and paramiko directly with TCP_NODELAY. Prints the medians and the ratios of
SSHClient to both paramiko connections (targets for run("true"): at most 0.2 of the default
connection, within 1.2 of paramiko with TCP_NODELAY), and the figure recorded before.

    python bench/bench_ssh.py [--quick] [--runs N] [--uploads N]

Needs root (the server creates a test user); prints why and exits 0 when it cannot run.
"""

import argparse
import contextlib
import io
import os
import socket
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

UPLOAD_SIZE = 20 * 1024 * 1024
# run("true") through SSHClient before Nagle's algorithm was turned off (ms, same machine).
RECORDED_BEFORE = {'run("true")': 47.12}


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


def connect_directly(server, nodelay):
    import paramiko

    client = paramiko.SSHClient()
    client.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    client.connect(server.host, port=server.port, username=server.user, password=server.password)
    set_nodelay(client, nodelay)
    return client


def set_nodelay(connection, on):
    connection.get_transport().sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, int(on))


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
    parser.add_argument("--runs", type=int, help="repetitions of each command (default 300)")
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
    labels = ["SSHClient", "SSHClient, Nagle on", "paramiko", "paramiko, NODELAY"]
    try:
        ours = SSHClient(server.user, server.password, server.host, server.port)
        before = SSHClient(server.user, server.password, server.host, server.port)
        with contextlib.redirect_stdout(io.StringIO()):
            ours.run("true")  # connect outside the timings
            before.run("true")
        set_nodelay(before._SSHClient__client, False)
        direct = connect_directly(server, nodelay=False)
        direct_nodelay = connect_directly(server, nodelay=True)

        def commands(command):
            return dict(zip(labels, [
                lambda: ours.run(command),
                lambda: before.run(command),
                lambda: paramiko_run(direct, server.password, command),
                lambda: paramiko_run(direct_nodelay, server.password, command),
            ]))

        with tempfile.TemporaryDirectory(prefix="tarn-bench-") as local_dir:
            local = os.path.join(local_dir, "payload")
            with open(local, "wb") as f:
                f.write(os.urandom(UPLOAD_SIZE))
            remote_dir = tempfile.mkdtemp(prefix="tarn-bench-remote-")
            entry = sshd_server.ensure_user()
            os.chown(remote_dir, entry.pw_uid, entry.pw_gid)
            remote = lambda name: os.path.join(remote_dir, name)  # noqa: E731
            sessions = [direct.open_sftp(), direct_nodelay.open_sftp()]
            try:
                rows = [
                    compare('run("true")', commands("true"), runs, block=min(10, runs)),
                    compare('run("sleep 0.01")', commands("sleep 0.01"), runs, block=min(10, runs)),
                    compare("upload 20 MB", dict(zip(labels, [
                        lambda: ours.upload(local, remote("ours")),
                        lambda: before.upload(local, remote("before")),
                        lambda: sessions[0].put(local, remote("direct")),
                        lambda: sessions[1].put(local, remote("direct_nodelay")),
                    ])), uploads),
                ]
            finally:
                for name in ("ours", "before", "direct", "direct_nodelay"):
                    with contextlib.suppress(FileNotFoundError):
                        os.remove(remote(name))
                os.rmdir(remote_dir)
        direct.close()
        direct_nodelay.close()
        with contextlib.redirect_stdout(io.StringIO()):
            ours.close()
            before.close()
    finally:
        server.stop()

    print("medians in ms; 'recorded' is SSHClient before Nagle's algorithm was turned off")
    print(f"{'workload':<19} {'reps':>5} {'SSHClient':>10} {'Nagle on':>9} {'paramiko':>9} "
          f"{'+NODELAY':>9} {'recorded':>9} {'/paramiko':>10} {'/+NODELAY':>10}")
    missed = []
    for name, reps, medians in rows:
        ours_t, before_t, direct_t, nodelay_t = (medians[label] * 1e3 for label in labels)
        recorded = RECORDED_BEFORE.get(name)
        vs_default, vs_nodelay = ours_t / direct_t, ours_t / nodelay_t
        if name == 'run("true")' and (vs_default > 0.2 or vs_nodelay > 1.2):
            missed.append(name)
        print(f"{name:<19} {reps:>5} {ours_t:>10.2f} {before_t:>9.2f} {direct_t:>9.2f} {nodelay_t:>9.2f} "
              f"{f'{recorded:.2f}' if recorded else '-':>9} {vs_default:>10.3f} {vs_nodelay:>10.3f}")
    print("upload, SSHClient / SSHClient with Nagle on:", f"{rows[2][2]['SSHClient'] / rows[2][2]['SSHClient, Nagle on']:.3f}")
    print('targets (run("true"): <= 0.2 of paramiko, <= 1.2 of paramiko with NODELAY):',
          "missed by " + ", ".join(missed) if missed else "met")


if __name__ == "__main__":
    main()
