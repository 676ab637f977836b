"""terminal(): the program chosen and the exact argument vector and keywords on every route."""

import os
import re
import subprocess
import types

import pytest

from tarn.terminal import terminal as mod
from tarn.terminal.terminal import terminal

WT = r"C:\Users\lab\AppData\Local\Microsoft\WindowsApps\wt.exe"
CODE = r"C:\Program Files\Microsoft VS Code\bin\code.cmd"
PS = r"C:\Windows\System32\WindowsPowerShell\v1.0\powershell.exe"
CMD = r"C:\Windows\System32\cmd.exe"
NOTICE = "\u2699\ufe0f Currently running inside VSCode; using VSCode terminal is recommended.\n"
PREFIX = 'tell application "Terminal" to do script "'
EMULATORS = ["gnome-terminal", "konsole", "xfce4-terminal", "xterm"]


@pytest.fixture
def windows(fake_host, monkeypatch):
    fake_host.system = "Windows"
    return fake_host


@pytest.mark.parametrize("env", [{}, {"VSCODE_GIT_IPC_HANDLE": "h"}])
@pytest.mark.parametrize("command, cwd, vector", [
    (None, None, [WT]),
    ("", "", [WT]),
    (None, r"C:\lab", [WT, "-d", r"C:\lab"]),
    ("", r"C:\lab", [WT, "-d", r"C:\lab"]),
    ("dir", None, [WT, "powershell", "-NoExit", "-Command", "dir"]),
    ("dir", r"C:\lab", [WT, "-d", r"C:\lab", "powershell", "-NoExit", "-Command", "dir"]),
    # wt starts a subcommand at every `;`, quoted or not: each is written as its literal `\;`.
    ("Get-Date; Get-Location", None, [WT, "powershell", "-NoExit", "-Command", r"Get-Date\; Get-Location"]),
    (None, r"C:\lab;data", [WT, "-d", r"C:\lab\;data"]),
    (";a;;b;", r"C:\x;y;", [WT, "-d", r"C:\x\;y\;", "powershell", "-NoExit", "-Command", r"\;a\;\;b\;"]),
])
def test_windows_terminal_is_used_whenever_found(windows, monkeypatch, capsys, env, command, cwd, vector):
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    windows.found = {"wt": WT, "code": CODE, "powershell.exe": PS}
    assert terminal(command, cwd) is None
    assert windows.launches == [((vector,), {"creationflags": windows.flags})]
    assert windows.searched == ["wt"]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("env", [
    {"VSCODE_GIT_IPC_HANDLE": "/run/vscode-git.sock"},
    {"VSCODE_GIT_IPC_HANDLE": "", "TERM_PROGRAM": "xterm"},
    {"TERM_PROGRAM": "vscode"},
    {"TERM_PROGRAM": "VSCode"},
    {"TERM_PROGRAM": "my-vsCODE-shell"},
])
@pytest.mark.parametrize("command, cwd", [(None, None), ("dir", r"C:\lab")])
def test_inside_vscode_opens_the_editor_after_a_notice(windows, monkeypatch, capsys, env, command, cwd):
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    windows.found = {"code": CODE, "powershell.exe": PS}
    assert terminal(command, cwd) is None
    assert windows.launches == [((["code", "-r", "."],), {})]
    assert windows.searched == ["wt", "code"]
    assert capsys.readouterr().out == NOTICE


@pytest.mark.parametrize("env, found", [
    ({}, {"code": CODE}),
    ({"TERM_PROGRAM": "vs-code"}, {"code": CODE}),
    ({"TERM_PROGRAM": "iTerm.app"}, {"code": CODE}),
    ({"TERM_PROGRAM": "vscode"}, {}),                        # inside VS Code, no launcher found
    ({"VSCODE_GIT_IPC_HANDLE": "h"}, {"code": ""}),          # an empty search result is no find
])
@pytest.mark.parametrize("command, cwd, vector", [
    (None, None, [PS, "-NoExit"]),
    ("", "", [PS, "-NoExit"]),
    ("dir", r"C:\lab", [PS, "-NoExit", "-Command", "dir"]),
    ("Get-Date; Get-Location", r"C:\lab;data", [PS, "-NoExit", "-Command", "Get-Date; Get-Location"]),
])
def test_powershell_fallback(windows, monkeypatch, capsys, env, found, command, cwd, vector):
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    windows.found = {**found, "powershell.exe": PS, "cmd.exe": CMD}
    assert terminal(command, cwd) is None
    assert windows.launches == [((vector,), {"cwd": cwd, "creationflags": windows.flags})]
    assert windows.searched == ["wt", "code", "powershell.exe"]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("found, shell, searched", [
    ({"cmd.exe": CMD}, CMD, ["wt", "code", "powershell.exe", "cmd.exe"]),
    ({"wt": "", "powershell.exe": "", "cmd.exe": CMD}, CMD, ["wt", "code", "powershell.exe", "cmd.exe"]),
    # The marker test is case-sensitive: this path gets the CMD-style vector.
    ({"powershell.exe": r"C:\Tools\PowerShell.exe"}, r"C:\Tools\PowerShell.exe", ["wt", "code", "powershell.exe"]),
])
@pytest.mark.parametrize("command, cwd, last", [(None, None, ""), ("", "", ""), ("dir", r"C:\lab", "dir"),
                                               ("cd; dir", r"C:\lab;data", "cd; dir")])
def test_cmd_style_fallback(windows, found, shell, searched, command, cwd, last):
    windows.found = found
    assert terminal(command, cwd) is None
    assert windows.launches == [(([shell, "/k", last],), {"cwd": cwd, "creationflags": windows.flags})]
    assert windows.searched == searched


def test_windows_without_any_shell_raises(windows, monkeypatch):
    monkeypatch.setenv("TERM_PROGRAM", "vscode")
    with pytest.raises(RuntimeError) as info:
        terminal("dir", r"C:\lab")
    assert str(info.value) == "Neither PowerShell nor CMD found on system."
    assert windows.launches == []
    assert windows.searched == ["wt", "code", "powershell.exe", "cmd.exe"]


class LoggedOs:
    """An `os` whose environ logs each read of the attribute and each test and item read."""

    def __init__(self, log, values):
        self.log, self.values = log, values

    @property
    def environ(self):
        self.log.append(("environ",))
        log, values = self.log, self.values

        class Environ(dict):
            def __contains__(self, key):
                log.append(("in", key))
                return key in values

            def __getitem__(self, key):
                log.append(("get", key))
                return values[key]
        return Environ()


@pytest.mark.parametrize("values, reads", [
    ({"VSCODE_GIT_IPC_HANDLE": "h", "TERM_PROGRAM": "vscode"}, [("in", "VSCODE_GIT_IPC_HANDLE")]),
    ({}, [("in", "VSCODE_GIT_IPC_HANDLE"), ("in", "TERM_PROGRAM")]),
    ({"TERM_PROGRAM": "Apple_Terminal"},
     [("in", "VSCODE_GIT_IPC_HANDLE"), ("in", "TERM_PROGRAM"), ("get", "TERM_PROGRAM")]),
])
def test_vscode_test_comes_first_stops_early_and_rereads_environ(windows, monkeypatch, values, reads):
    monkeypatch.setattr(mod, "os", LoggedOs(windows.events, values))
    windows.found = {"wt": WT}
    terminal()
    expected = [("system", (), {})]
    for read in reads:
        expected += [("environ",), read]
    assert windows.events[:len(expected)] == expected
    assert windows.events[len(expected):][0] == ("which", ("wt",), {})


@pytest.mark.parametrize("command, cwd, text", [
    ("ls", None, PREFIX + 'ls"'),
    ("ls", "", PREFIX + 'ls"'),
    ('echo "hi"', None, PREFIX + r'echo \"hi\""'),
    (r'printf "a\n"', "/tmp", PREFIX + r'cd /tmp;printf \"a\\n\""'),
    # The directory is one shell word: as written when every character is plain, otherwise
    # single-quoted, then escaped for the AppleScript literal like the rest of the script.
    ("ls", "/Users/lab-1/run_2.0/a@b%c+d=e:f,g", PREFIX + 'cd /Users/lab-1/run_2.0/a@b%c+d=e:f,g;ls"'),
    ("ls -l", "/Users/lab/my data", PREFIX + "cd '/Users/lab/my data';ls -l\""),
    ("ls", "/Users/lab/it's", PREFIX + "cd '/Users/lab/it'\\\"'\\\"'s';ls\""),
    ("ls", "/tmp/x;rm -rf ~;$(reboot)", PREFIX + "cd '/tmp/x;rm -rf ~;$(reboot)';ls\""),
    ("echo \\", '/a"b', PREFIX + "cd '/a\\\"b';echo \\\\\""),
    ("ls", '/a"b\\c', PREFIX + "cd '/a\\\"b\\\\c';ls\""),
    # A leading tilde prefix stays unquoted, so the shell still expands it.
    ("ls", "~", PREFIX + 'cd ~;ls"'),
    ("ls", "~/data", PREFIX + 'cd ~/data;ls"'),
    ("ls", "~/Lab Data", PREFIX + "cd ~/'Lab Data';ls\""),
    ("ls", "~lab/My Runs", PREFIX + "cd ~lab/'My Runs';ls\""),
    ("ls", "~x y/z", PREFIX + "cd '~x y/z';ls\""),
])
def test_macos_runs_the_command_through_osascript(fake_host, command, cwd, text):
    fake_host.system = "Darwin"
    assert terminal(command, cwd) is None
    assert fake_host.launches == [((["osascript", "-e", text],), {})]
    assert fake_host.searched == []


@pytest.mark.parametrize("in_home", [False, True], ids=["absolute", "home"])
@pytest.mark.parametrize("name", ["Lab Data", "it's", "x;touch pwned", "$(touch pwned)", "`touch pwned`",
                                  'a"b\\c'])
def test_macos_directory_reaches_the_shell_as_one_word(fake_host, monkeypatch, tmp_path, name, in_home):
    """The script Terminal would run, given to a real POSIX shell: `cd` reaches the directory and
    nothing in its name is executed."""
    fake_host.system = "Darwin"
    directory = tmp_path / name
    directory.mkdir()
    terminal("pwd", f"~/{name}" if in_home else str(directory))
    [((vector,), _)] = fake_host.launches
    script = re.sub(r"\\(.)", r"\1", vector[2][len(PREFIX):-1], flags=re.S)  # undo the literal's escapes
    monkeypatch.undo()  # the real subprocess.Popen again
    result = subprocess.run(["sh", "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=30,
                            env={"HOME": str(tmp_path), "PATH": os.environ["PATH"]})
    assert (result.stdout, result.stderr) == (f"{directory}\n", "")
    assert not (tmp_path / "pwned").exists()


@pytest.mark.parametrize("command, cwd", [(None, None), ("", None), (None, "/tmp"), ("", "/tmp")])
def test_macos_without_a_command_opens_terminal(fake_host, command, cwd):
    fake_host.system = "Darwin"
    assert terminal(command, cwd) is None
    assert fake_host.launches == [((["open", "-a", "Terminal"],), {})]


@pytest.mark.parametrize("found, term, execute", [
    (EMULATORS, "gnome-terminal", "--"),
    (["konsole", "xterm"], "konsole", "-e"),
    (["xfce4-terminal", "xterm"], "xfce4-terminal", "-x"),
    (["xterm"], "xterm", "-e"),
])
@pytest.mark.parametrize("command, cwd, tail", [
    ("ls; pwd", "/tmp", ["bash", "-c", "ls; pwd; exec bash"]),
    ("ls", None, ["bash", "-c", "ls; exec bash"]),
    ("ls", "", ["bash", "-c", "ls; exec bash"]),
    (None, "/tmp", None),
    ("", None, None),
    ("", "", None),
])
def test_linux_starts_the_first_emulator_found(fake_host, found, term, execute, command, cwd, tail):
    fake_host.found = {name: f"/usr/bin/{name}" for name in found}
    fake_host.found.setdefault("gnome-terminal", "")  # an empty search result is no find
    assert terminal(command, cwd) is None
    vector = [term, execute, *tail] if tail else [term]
    assert fake_host.launches == [((vector,), {"cwd": cwd})]
    assert fake_host.searched == EMULATORS[:EMULATORS.index(term) + 1]


def test_keywords_bind_like_positional_arguments(fake_host):
    fake_host.found = {"xterm": "/usr/bin/xterm"}
    terminal(cwd="/srv", command="make")
    terminal("make", "/srv")
    assert fake_host.launches == 2 * [((["xterm", "-e", "bash", "-c", "make; exec bash"],), {"cwd": "/srv"})]


def test_linux_without_an_emulator_raises(fake_host):
    with pytest.raises(RuntimeError) as info:
        terminal("ls")
    assert str(info.value) == "Linux: no supported terminal emulator found"
    assert fake_host.searched == EMULATORS
    assert fake_host.launches == []


@pytest.mark.parametrize("system, message", [
    ("windows", "Unsupported platform: windows"),
    ("darwin", "Unsupported platform: darwin"),
    ("LINUX", "Unsupported platform: LINUX"),
    ("FreeBSD", "Unsupported platform: FreeBSD"),
    ("", "Unsupported platform: "),
    (None, "Unsupported platform: None"),
])
def test_other_platforms_raise_without_searching(fake_host, system, message):
    fake_host.system = system
    with pytest.raises(RuntimeError) as info:
        terminal("ls", "/tmp")
    assert str(info.value) == message
    assert fake_host.events == [("system", (), {})]


@pytest.mark.parametrize("system, found, env", [
    ("Linux", {"xterm": "/usr/bin/xterm"}, {}),
    ("Darwin", {}, {}),
    ("Windows", {"wt": WT}, {}),
    ("Windows", {"code": CODE}, {"TERM_PROGRAM": "vscode"}),
    ("Windows", {"cmd.exe": CMD}, {}),
])
def test_launch_failures_reach_the_caller_unchanged(fake_host, monkeypatch, capsys, system, found, env):
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    fake_host.system, fake_host.found = system, found
    fake_host.popen_error = error = FileNotFoundError(2, "No such file or directory")
    with pytest.raises(FileNotFoundError) as info:
        terminal("ls", "/tmp")
    assert info.value is error
    assert len(fake_host.launches) == 1
    assert capsys.readouterr().out == (NOTICE if env else "")  # the notice comes before the launch


@pytest.mark.parametrize("found", [{"wt": WT}, {"powershell.exe": PS}])
def test_missing_create_new_console_reaches_the_caller(windows, monkeypatch, found):
    import subprocess
    monkeypatch.delattr(subprocess, "CREATE_NEW_CONSOLE")
    windows.found = found
    with pytest.raises(AttributeError) as info:
        terminal("dir")
    assert str(info.value) == "module 'subprocess' has no attribute 'CREATE_NEW_CONSOLE'"
    assert windows.launches == []


def test_replaced_module_names_take_effect_at_the_next_call(fake_host, monkeypatch):
    fake_host.found = {"xterm": "/usr/bin/xterm"}
    terminal()
    other = []
    monkeypatch.setattr(mod, "subprocess", types.SimpleNamespace(Popen=lambda *a, **k: other.append((a, k))))
    monkeypatch.setattr(mod, "shutil", types.SimpleNamespace(which=lambda name: name == "konsole"))
    terminal()
    assert fake_host.launches == [((["xterm"],), {"cwd": None})]
    assert other == [((["konsole"],), {"cwd": None})]
