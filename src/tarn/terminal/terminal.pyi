"""Type stub for the native terminal launcher module tarn.terminal.terminal."""

import os as os
import platform as platform
import shutil as shutil
import subprocess as subprocess

def terminal(command: str | None = None, cwd: str | None = None) -> None:
    """Open a new terminal window, optionally running `command` in the directory `cwd`.

    Starts Windows Terminal, the VS Code editor, PowerShell or CMD on Windows, Terminal on
    macOS, or the first of gnome-terminal, konsole, xfce4-terminal and xterm found on Linux,
    without waiting for it.

    Raises:
        RuntimeError: no usable terminal program, or an unsupported platform.
    """
