"""A throwaway OpenSSH server on 127.0.0.1 for the SSH client's tests and benchmark.

It runs Debian's /usr/sbin/sshd in the foreground with its own host key and configuration in a
temporary folder, for one local test user with a known password and an authorised RSA key.
Creating the user and running sshd need root; `Unavailable` says why a server cannot be had.
"""

import os
import pwd
import queue
import shutil
import signal
import socket
import subprocess
import tempfile
import threading

from helpers import processes

SSHD = "/usr/sbin/sshd"
USER = "tarn-ssh-test"
PASSWORD = "tarn-ssh-Pw-4711"
# The one command the test user may run through sudo (to check that sudo -S reads the password).
SUDO_COMMAND = "/usr/bin/id"
SUDOERS_FILE = "/etc/sudoers.d/tarn-ssh-test"
START_TIMEOUT = 20.0


class Unavailable(Exception):
    """No server can be started here; the text is the reason."""


def _run(*argv, input=None):
    done = subprocess.run(argv, input=input, capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise Unavailable(f"{' '.join(argv)} failed: {done.stderr.strip() or done.returncode}")
    return done


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ensure_user():
    """Creates the test user once and (re)sets its password; returns its passwd entry."""
    if os.geteuid() != 0:
        raise Unavailable("the SSH tests need root (to create the test user and run sshd)")
    if not os.access(SSHD, os.X_OK):
        raise Unavailable(f"{SSHD} is missing (scripts/bootstrap.sh installs openssh-server)")
    try:
        entry = pwd.getpwnam(USER)
    except KeyError:
        _run("useradd", "--create-home", "--shell", "/bin/bash", USER)
        entry = pwd.getpwnam(USER)
    _run("chpasswd", input=f"{USER}:{PASSWORD}\n")
    if os.path.isdir(os.path.dirname(SUDOERS_FILE)) and shutil.which("sudo"):
        rule = f"{USER} ALL=(root) {SUDO_COMMAND}\n"
        try:
            with open(SUDOERS_FILE) as f:
                current = f.read()
        except FileNotFoundError:
            current = None
        if current != rule:
            with open(SUDOERS_FILE + ".new", "w") as f:
                f.write(rule)
            os.chmod(SUDOERS_FILE + ".new", 0o440)
            os.replace(SUDOERS_FILE + ".new", SUDOERS_FILE)
    return entry


class SSHServer:
    """One sshd process. Use `start()` and `stop()`, or a with block."""

    def __init__(self):
        self.host = "127.0.0.1"
        self.port = None
        self.user = USER
        self.password = PASSWORD
        self.home = None
        self.key_path = None  # the test user's private RSA key (PEM, no passphrase)
        self.log = []  # sshd's log lines
        self._dir = None
        self._keys_file = None
        self._process = None
        self._reader = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        entry = ensure_user()
        self.home = entry.pw_dir
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # sshd's privilege separation folder
        self._dir = tempfile.mkdtemp(prefix="tarn-sshd-")
        try:
            self._start(entry)
        except BaseException:
            self.stop()
            raise

    def _start(self, entry):
        d = self._dir
        host_key = os.path.join(d, "host_ed25519")
        _run("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", host_key)
        self.key_path = os.path.join(d, "client_rsa")
        _run("ssh-keygen", "-q", "-t", "rsa", "-b", "2048", "-m", "PEM", "-N", "", "-f", self.key_path)
        # sshd reads the authorised keys as the user, so they live in the user's home; one file
        # per server keeps concurrent test runs apart.
        ssh_dir = os.path.join(self.home, ".ssh")
        os.makedirs(ssh_dir, mode=0o700, exist_ok=True)
        os.chown(ssh_dir, entry.pw_uid, entry.pw_gid)
        self._keys_file = os.path.join(ssh_dir, f"tarn-keys-{os.getpid()}-{os.path.basename(d)}")
        with open(self.key_path + ".pub") as f:
            public = f.read()
        with open(self._keys_file, "w") as f:
            f.write(public)
        os.chmod(self._keys_file, 0o600)
        os.chown(self._keys_file, entry.pw_uid, entry.pw_gid)

        self.port = free_port()
        config = os.path.join(d, "sshd_config")
        with open(config, "w") as f:
            f.write(
                f"Port {self.port}\n"
                f"ListenAddress {self.host}\n"
                f"HostKey {host_key}\n"
                f"PidFile {os.path.join(d, 'sshd.pid')}\n"
                f"AuthorizedKeysFile {self._keys_file}\n"
                f"AllowUsers {USER}\n"
                "PasswordAuthentication yes\n"
                "KbdInteractiveAuthentication no\n"
                "PubkeyAuthentication yes\n"
                "PermitRootLogin no\n"
                "UsePAM no\n"
                "StrictModes no\n"
                "PrintMotd no\n"
                "MaxStartups 100\n"
                "MaxSessions 100\n"
                "Subsystem sftp internal-sftp\n"
                "LogLevel INFO\n"
            )
        _run(SSHD, "-t", "-f", config)
        self._process = subprocess.Popen(
            [SSHD, "-D", "-e", "-f", config],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
        )
        ready = queue.Queue()
        self._reader = threading.Thread(target=self._read_log, args=(ready,), daemon=True)
        self._reader.start()
        try:
            ok = ready.get(timeout=START_TIMEOUT)
        except queue.Empty:
            ok = False
        if not ok:
            raise Unavailable("sshd did not start listening: " + " | ".join(self.log[-5:]))

    def _read_log(self, ready):
        announced = False
        for line in self._process.stderr:
            self.log.append(line.rstrip("\n"))
            if not announced and "Server listening on" in line:
                announced = True
                ready.put(True)
        if not announced:
            ready.put(False)

    def sessions(self):
        """The processes serving this server's connections: every live descendant of its sshd,
        as (pid, start time) pairs, so a pid reused later is never mistaken for one of them."""
        if self._process is None:
            return []
        parents, started = {}, {}
        for pid, _, fields in processes():
            parents[pid] = int(fields[1])
            started[pid] = fields[19]
        found, frontier = [], [self._process.pid]
        while frontier:
            parent = frontier.pop()
            children = [pid for pid, ppid in parents.items() if ppid == parent]
            found += children
            frontier += children
        return [(pid, started[pid]) for pid in found]

    def signal_sessions(self, signum, sessions=None):
        """Sends `signum` to the given (or all current) session processes that still run."""
        for pid, start in self.sessions() if sessions is None else sessions:
            try:
                with open(f"/proc/{pid}/stat") as f:
                    stat = f.read()
                if stat[stat.rindex(")") + 2:].split()[19] == start:
                    os.kill(pid, signum)
            except (OSError, ValueError):
                pass  # already gone

    def stop(self):
        """Stops this server's sshd and the processes serving its open connections (by their
        PIDs), so every client still connected sees the connection drop; removes its files."""
        if self._process is not None:
            sessions = self.sessions()
            if self._process.poll() is None:
                self._process.terminate()
                try:
                    self._process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self._process.kill()
                    self._process.wait(timeout=10)
            self.signal_sessions(signal.SIGKILL, sessions)
            if self._reader is not None:
                self._reader.join(timeout=10)
            self._process = None
        if self._keys_file and os.path.exists(self._keys_file):
            os.remove(self._keys_file)
        if self._dir:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None
