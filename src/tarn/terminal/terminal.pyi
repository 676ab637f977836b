"""The terminal launcher terminal(): a new terminal window on Windows, macOS or Linux."""

import os as os
import platform as platform
import shutil as shutil
import subprocess as subprocess

def terminal(command: str | None = None, cwd: str | None = None) -> None:
    """Open a new terminal window, optionally running ``command`` in the folder ``cwd``.

    Starts the first of gnome-terminal, konsole, xfce4-terminal and xterm found on Linux (the
    command runs as ``bash -c "<command>; exec bash"``, so the shell stays open), Terminal on
    macOS, and Windows Terminal, VS Code's own terminal (inside VS Code, after a printed notice;
    ``command`` and ``cwd`` are then not used) or PowerShell or CMD on Windows. Returns as soon
    as the program has started, without waiting for it.

    Args:
        command: a shell command to run in the new terminal; None or "" for none. On Windows
            Terminal each ``;`` is written as ``\\;``, since Windows Terminal reads ``;`` as its
            own separator.
        cwd: the folder to start in; None or "" for none. On macOS it is used only with a
            command, and reaches the shell as one quoted word.

    Raises:
        RuntimeError: "Linux: no supported terminal emulator found", "Neither PowerShell nor
            CMD found on system.", or "Unsupported platform: <name>".
        TypeError: an argument that is neither exactly a ``str`` nor None.
        OSError: the program could not be started, or ``cwd`` does not exist.
    """
