"""The remote shell client SSHClient: shell commands and SFTP transfers on one remote host,
through paramiko."""

from functools import cached_property as cached_property
from typing import Any

import paramiko as paramiko

class SSHClient:
    """Runs shell commands on one remote host and moves files to and from it over SFTP.

    The connection is opened on first use and kept for the life of the object; the SFTP session
    is opened on the first transfer and kept too. Every method returns None: progress and
    connection or transfer failures are printed as single lines. A failed connection is not
    retried by the same object. The server's host key is accepted without a check.
    """

    username: str
    """Login name, read when the connection opens."""
    password: str
    """Login password (unless a key file is used), and the line written to the standard input
    of every command that ``run`` starts."""
    host: str
    """Remote host name or address."""
    port: int
    """TCP port of the SSH server."""
    pkey_path: Any
    """Path of an RSA private key file without passphrase; when truthy it replaces password
    login."""

    def __init__(self, username: str, password: str, host: str, port: int = 22, pkey_path: Any = None) -> None:
        """Store the settings; nothing is opened or printed yet.

        Args:
            username: login name; exactly a ``str``.
            password: login password, and what ``run`` sends to every command for ``sudo``.
            host: host name or address; exactly a ``str``.
            port: SSH port; exactly an ``int`` (a ``bool`` is refused).
            pkey_path: an RSA key file without passphrase; when truthy it replaces password
                login.

        Raises:
            TypeError: an argument of the wrong type, naming the parameter.
        """

    def upload(self, local_path: str, remote_path: str) -> None:
        """Copy a local file to the remote host.

        Prints ``upload successfully: <local_path> -> <remote_path>``, or ``failed to upload:
        <error>``; nothing is raised for a failed transfer. Paths are used as given (no ``~``
        expansion).

        Args:
            local_path: the source, on this machine.
            remote_path: the destination, on the remote host.
        """

    def download(self, remote_path: str, local_path: str) -> None:
        """Copy a remote file to the local machine.

        Prints ``download successfully: <remote_path> -> <local_path>``, or ``failed to download:
        <error>``; nothing is raised for a failed transfer. The remote file is opened before the
        local one is touched, so a remote file that is missing leaves an existing local file as
        it was.

        Args:
            remote_path: the source, on the remote host.
            local_path: the destination, on this machine.
        """

    def run(self, command: str) -> None:
        """run command on remote host
        e.g. 'bash -l -c "cd ~;ls -al"'
        e.g. 'echo mewl | sudo -S systemctl daemon-reload'

        Args:
            command (str): command to run

        Every ``sudo`` standing as a word of its own becomes ``sudo -S``, and the client's
        password is written as a line to the command's standard input (then closed), so that
        sudo can read it; a command that reads its input sees that line. ``run`` waits until the
        command has closed its output, then prints the output, and the error text if there is
        any. The exit status is not reported. On an object whose connection failed it prints
        ``SSH client is not connected.`` and sends nothing.

        Raises:
            UnicodeDecodeError: the command wrote bytes that are not UTF-8 (nothing is printed).
            Exception: paramiko's errors while the command runs, for instance after ``close``.
        """

    def close(self) -> None:
        """Close the connection and print ``Connection to <host>:<port> closed``.

        An object never used connects first; one whose connection failed does nothing. The
        connection is not closed when the object is garbage-collected: call this.
        """

    @cached_property
    def _SSHClient__sftp(self) -> paramiko.SFTPClient | None: ...
    @cached_property
    def _SSHClient__client(self) -> paramiko.SSHClient | None: ...
