"""Type stub of the native SSH client module."""

from functools import cached_property as cached_property
from typing import Any

import paramiko as paramiko

class SSHClient:
    """Runs shell commands on one remote host and moves files to and from it over SFTP.

    The connection and the SFTP session are opened on first need and kept. Progress and
    connection or transfer failures are printed as single lines; the methods return None.
    """

    username: str
    password: str
    host: str
    port: int
    pkey_path: Any

    def __init__(self, username: str, password: str, host: str, port: int = 22, pkey_path: Any = None) -> None:
        """Store the settings; nothing is opened yet. A truthy `pkey_path` (an RSA key file
        without passphrase) replaces password login."""

    def upload(self, local_path: str, remote_path: str) -> None:
        """Copy a local file to the remote host; prints "upload successfully: ..." or
        "failed to upload: ..."."""

    def download(self, remote_path: str, local_path: str) -> None:
        """Copy a remote file to the local machine; prints "download successfully: ..." or
        "failed to download: ..."."""

    def run(self, command: str) -> None:
        """run command on remote host
        e.g. 'bash -l -c "cd ~;ls -al"'
        e.g. 'echo mewl | sudo -S systemctl daemon-reload'

        Args:
            command (str): command to run
        """

    def close(self) -> None:
        """Close the connection (opening it first on an instance never used) and print
        "Connection to host:port closed"."""

    @cached_property
    def _SSHClient__sftp(self) -> paramiko.SFTPClient | None: ...
    @cached_property
    def _SSHClient__client(self) -> paramiko.SSHClient | None: ...
