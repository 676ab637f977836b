// terminal(): picks the terminal program and argument vector for this platform and starts it.
#include "terminal.hpp"

#include "calls.hpp"
#include "compiler.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace tarn::terminal {

namespace {

using tarn::GlobalRef;
using tarn::Ref;
using tarn::steal;

constexpr const char kTerminalDoc[] =
    "Open a new terminal window\n"
    "\n"
    "    Args:\n"
    "        command (str | None, optional): Optional shell command to run inside the terminal. "
    "Defaults to None.\n"
    "        cwd (str | None, optional): Optional working directory to start the terminal in. "
    "Defaults to None.\n"
    "\n"
    "    Supports:\n"
    "        - Windows Terminal\n"
    "        - VSCode integrated environment\n"
    "        - PowerShell / CMD fallback\n"
    "        - macOS Terminal\n"
    "        - Linux terminals (GNOME, Konsole, XFCE, Xterm)\n"
    "\n"
    "    Raises:\n"
    "        RuntimeError: Neither PowerShell nor CMD found on system\n"
    "        RuntimeError: Linux: no supported terminal emulator found\n"
    "        RuntimeError: Unsupported platform\n"
    "    ";

constexpr const char kVSCodeNotice[] =
    "\u2699\uFE0F Currently running inside VSCode; using VSCode terminal is recommended.";

// The Linux emulators in the order they are probed, each with the option after which it
// takes the program to run (xterm refuses "--", so each gets its own).
struct Emulator {
    const char* name;
    const char* execute;
};
constexpr Emulator kEmulators[] = {
    {"gnome-terminal", "--"},
    {"konsole", "-e"},
    {"xfce4-terminal", "-x"},
    {"xterm", "-e"},
};

// <module>.<attribute>, the module name resolved in the module namespace (then the builtins)
// now, so replacing either takes effect at the next call. Returns a new reference.
PyObject* module_attr(const GlobalRef& module_name, const GlobalRef& attribute) noexcept {
    Ref module = steal(tarn::lookup_global(module_name.get()));
    if (!module) return nullptr;
    return PyObject_GetAttr(module.get(), attribute.get());
}

// `text in container`: 1, 0, or -1 with an exception set.
int contains(PyObject* container, const char* text) noexcept {
    Ref item = steal(PyUnicode_FromString(text));
    return item ? PySequence_Contains(container, item.get()) : -1;
}

// shutil.which(name): the search result (None when not found), or nullptr on error.
PyObject* which(const char* name) noexcept {
    Ref function = steal(module_attr(state.s_shutil, state.s_which));
    if (!function) return nullptr;
    Ref text = steal(PyUnicode_FromString(name));
    if (!text) return nullptr;
    return PyObject_CallOneArg(function.get(), text.get());
}

// Raises builtins.RuntimeError (as taken at load) with `message`, as `raise RuntimeError(m)`.
TARN_COLD PyObject* raise_runtime(PyObject* message) noexcept {
    Ref exc = steal(PyObject_CallOneArg(state.builtin_RuntimeError.get(), message));
    if (!exc) return nullptr;
    if (!PyExceptionInstance_Check(exc.get()))
        return tarn::raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

TARN_COLD PyObject* raise_runtime(const char* message) noexcept {
    Ref text = steal(PyUnicode_FromString(message));
    return text ? raise_runtime(text.get()) : nullptr;
}

// An argument vector built piece by piece. After a failed append the vector is dropped and
// later appends do nothing; launch() then reports the pending exception.
class ArgVector {
public:
    ArgVector() noexcept : list_(steal(PyList_New(0))) {}

    ArgVector& add(PyObject* item) noexcept {  // borrowed
        if (list_ && PyList_Append(list_.get(), item) < 0) list_.reset();
        return *this;
    }
    ArgVector& add(const char* text) noexcept {
        if (!list_) return *this;
        Ref item = steal(PyUnicode_FromString(text));
        if (!item) {
            list_.reset();
            return *this;
        }
        return add(item.get());
    }
    // The list (new reference), or nullptr when an append failed.
    PyObject* take() noexcept { return list_.release(); }

private:
    Ref list_;
};

// The keywords given to subprocess.Popen on a route.
enum class Launch { plain, with_cwd, with_flags, with_cwd_and_flags };

// subprocess.Popen(args, ...): `cwd` is passed as given (None included) when the route names
// it, and creationflags is subprocess.CREATE_NEW_CONSOLE read now. The child is not waited
// for; the object Popen returns is dropped at once.
PyObject* launch(ArgVector& vector, Launch keywords, PyObject* cwd) noexcept {
    Ref popen = steal(module_attr(state.s_subprocess, state.s_Popen));
    if (!popen) return nullptr;
    Ref args = steal(vector.take());
    if (!args) return nullptr;
    Ref flags;
    if (keywords == Launch::with_flags || keywords == Launch::with_cwd_and_flags) {
        flags = steal(module_attr(state.s_subprocess, state.s_CREATE_NEW_CONSOLE));
        if (!flags) return nullptr;
    }
    PyObject* argv[3] = {args.get(), nullptr, nullptr};
    PyObject* kwnames = nullptr;
    switch (keywords) {
        case Launch::plain: break;
        case Launch::with_cwd: argv[1] = cwd; kwnames = state.kw_cwd.get(); break;
        case Launch::with_flags: argv[1] = flags.get(); kwnames = state.kw_flags.get(); break;
        case Launch::with_cwd_and_flags:
            argv[1] = cwd;
            argv[2] = flags.get();
            kwnames = state.kw_cwd_flags.get();
            break;
    }
    Ref child = steal(PyObject_Vectorcall(popen.get(), argv, 1, kwnames));
    if (!child) return nullptr;
    Py_RETURN_NONE;
}

// Inside the VS Code editor: "VSCODE_GIT_IPC_HANDLE" is set, or TERM_PROGRAM contains
// "vscode" in any case. os.environ is read anew for each test. 1, 0, or -1 on error.
int inside_vscode() noexcept {
    Ref env = steal(module_attr(state.s_os, state.s_environ));
    if (!env) return -1;
    int found = contains(env.get(), "VSCODE_GIT_IPC_HANDLE");
    if (found != 0) return found;
    env = steal(module_attr(state.s_os, state.s_environ));
    if (!env) return -1;
    found = contains(env.get(), "TERM_PROGRAM");
    if (found <= 0) return found;
    env = steal(module_attr(state.s_os, state.s_environ));
    if (!env) return -1;
    Ref key = steal(PyUnicode_FromString("TERM_PROGRAM"));
    if (!key) return -1;
    Ref value = steal(PyObject_GetItem(env.get(), key.get()));
    if (!value) return -1;
    Ref lowered = steal(tarn::call_method(state.s_lower.get(), value.get()));
    if (!lowered) return -1;
    return contains(lowered.get(), "vscode");
}

// Whether shutil.which found the program: its result's truth value; -1 on error (the search
// itself failing included).
int on_path(const Ref& path) noexcept { return path ? PyObject_IsTrue(path.get()) : -1; }

// An argument for Windows Terminal: wt reads every `;` on its command line as the start of
// another subcommand, quoted or not, so each is written `\;`, wt's literal semicolon. Returns a
// new reference.
PyObject* wt_argument(PyObject* text) noexcept {
    if (PyUnicode_FindChar(text, ';', 0, PyUnicode_GET_LENGTH(text), 1) == -1) return Py_NewRef(text);
    Ref semicolon = steal(PyUnicode_FromString(";"));
    Ref escaped = steal(PyUnicode_FromString("\\;"));
    if (!semicolon || !escaped) return nullptr;
    return PyUnicode_Replace(text, semicolon.get(), escaped.get(), -1);
}

PyObject* launch_windows(PyObject* command, PyObject* cwd, bool has_command, bool has_cwd) noexcept {
    int is_vscode = inside_vscode();
    if (is_vscode < 0) return nullptr;

    Ref wt_path = steal(which("wt"));
    int ok = on_path(wt_path);
    if (ok < 0) return nullptr;
    if (ok) {
        ArgVector args;
        args.add(wt_path.get());
        if (has_cwd) {
            Ref directory = steal(wt_argument(cwd));
            if (!directory) return nullptr;
            args.add("-d").add(directory.get());
        }
        if (has_command) {
            Ref line = steal(wt_argument(command));
            if (!line) return nullptr;
            args.add("powershell").add("-NoExit").add("-Command").add(line.get());
        }
        return launch(args, Launch::with_flags, nullptr);
    }

    Ref code_path = steal(which("code"));
    if (!code_path) return nullptr;
    if (is_vscode) {
        ok = on_path(code_path);
        if (ok < 0) return nullptr;
        if (ok) {
            Ref notice = steal(PyUnicode_FromString(kVSCodeNotice));
            if (!notice || tarn::print(notice.get()) < 0) return nullptr;
            ArgVector args;
            args.add("code").add("-r").add(".");
            return launch(args, Launch::plain, nullptr);
        }
    }

    Ref shell = steal(which("powershell.exe"));
    ok = on_path(shell);
    if (ok < 0) return nullptr;
    if (!ok) {
        shell = steal(which("cmd.exe"));
        ok = on_path(shell);
        if (ok < 0) return nullptr;
    }
    if (!ok) return raise_runtime("Neither PowerShell nor CMD found on system.");

    int is_powershell = contains(shell.get(), "powershell");  // case-sensitive, on the found path
    if (is_powershell < 0) return nullptr;
    ArgVector cmd;
    cmd.add(shell.get());
    if (is_powershell) {
        cmd.add("-NoExit");
        if (has_command) cmd.add("-Command").add(command);
    } else {
        cmd.add("/k");
        if (has_command) cmd.add(command); else cmd.add("");
    }
    return launch(cmd, Launch::with_cwd_and_flags, cwd);
}

// The script text as the body of an AppleScript string literal: backslashes doubled, double
// quotes escaped, so that any command reaches Terminal as written. Returns a new reference.
PyObject* applescript_literal_body(PyObject* script) noexcept {
    Ref backslash = steal(PyUnicode_FromString("\\"));
    Ref two_backslashes = steal(PyUnicode_FromString("\\\\"));
    Ref quote = steal(PyUnicode_FromString("\""));
    Ref escaped_quote = steal(PyUnicode_FromString("\\\""));
    if (!backslash || !two_backslashes || !quote || !escaped_quote) return nullptr;
    Ref step = steal(PyUnicode_Replace(script, backslash.get(), two_backslashes.get(), -1));
    if (!step) return nullptr;
    return PyUnicode_Replace(step.get(), quote.get(), escaped_quote.get(), -1);
}

// Characters that a POSIX shell reads literally: a word made only of them needs no quotes.
bool shell_plain(Py_UCS4 c) noexcept {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '@': case '%': case '+': case '=': case ':': case ',': case '.': case '/': case '_': case '-':
            return true;
        default:
            return false;
    }
}

bool all_plain(PyObject* text, Py_ssize_t start, Py_ssize_t end) noexcept {
    for (Py_ssize_t i = start; i < end; ++i)
        if (!shell_plain(PyUnicode_READ_CHAR(text, i))) return false;
    return true;
}

// `text` as one shell word: unchanged when every character is plain, otherwise in single quotes,
// each ' inside written as '"'"' (close the quotes, a double-quoted ', reopen). Returns a new
// reference.
PyObject* shell_word(PyObject* text) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n > 0 && all_plain(text, 0, n)) return Py_NewRef(text);
    Ref quote = steal(PyUnicode_FromString("'"));
    Ref escaped = steal(PyUnicode_FromString("'\"'\"'"));
    if (!quote || !escaped) return nullptr;
    Ref inner = steal(PyUnicode_Replace(text, quote.get(), escaped.get(), -1));
    if (!inner) return nullptr;
    return PyUnicode_FromFormat("'%U'", inner.get());
}

// A non-empty directory as one shell word. A leading tilde prefix (`~` or `~user`, up to the
// first slash) stays unquoted so that the shell still expands it: "~/Lab Data" becomes
// ~/'Lab Data'. Returns a new reference.
PyObject* shell_directory(PyObject* cwd) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(cwd);
    if (PyUnicode_READ_CHAR(cwd, 0) == '~') {
        Py_ssize_t slash = PyUnicode_FindChar(cwd, '/', 0, n, 1);
        if (slash == -2) return nullptr;
        if (all_plain(cwd, 1, slash < 0 ? n : slash)) {
            if (slash < 0 || slash + 1 == n) return Py_NewRef(cwd);
            Ref prefix = steal(PyUnicode_Substring(cwd, 0, slash + 1));
            if (!prefix) return nullptr;
            Ref rest = steal(PyUnicode_Substring(cwd, slash + 1, n));
            if (!rest) return nullptr;
            Ref word = steal(shell_word(rest.get()));
            if (!word) return nullptr;
            return PyUnicode_Concat(prefix.get(), word.get());
        }
    }
    return shell_word(cwd);
}

// The command runs in Terminal's shell after `cd` to the directory, quoted for that shell.
PyObject* launch_macos(PyObject* command, PyObject* cwd, bool has_command, bool has_cwd) noexcept {
    ArgVector args;
    if (!has_command) {
        args.add("open").add("-a").add("Terminal");
        return launch(args, Launch::plain, nullptr);
    }
    Ref script = tarn::borrow(command);
    if (has_cwd) {
        Ref directory = steal(shell_directory(cwd));
        if (!directory) return nullptr;
        script = steal(PyUnicode_FromFormat("cd %U;%U", directory.get(), command));
        if (!script) return nullptr;
    }
    Ref body = steal(applescript_literal_body(script.get()));
    if (!body) return nullptr;
    Ref text = steal(PyUnicode_FromFormat("tell application \"Terminal\" to do script \"%U\"", body.get()));
    if (!text) return nullptr;
    args.add("osascript").add("-e").add(text.get());
    return launch(args, Launch::plain, nullptr);
}

PyObject* launch_linux(PyObject* command, PyObject* cwd, bool has_command) noexcept {
    for (const Emulator& term : kEmulators) {
        int ok = on_path(steal(which(term.name)));
        if (ok < 0) return nullptr;
        if (!ok) continue;
        ArgVector args;
        args.add(term.name);  // the name, not the path found
        if (has_command) {
            Ref line = steal(PyUnicode_FromFormat("%U; exec bash", command));
            if (!line) return nullptr;
            args.add(term.execute).add("bash").add("-c").add(line.get());
        }
        return launch(args, Launch::with_cwd, cwd);
    }
    return raise_runtime("Linux: no supported terminal emulator found");
}

// `system == name` as Python evaluates it in a condition: 1, 0, or -1 on error.
int system_is(PyObject* system, const char* name) noexcept {
    Ref text = steal(PyUnicode_FromString(name));
    if (!text) return -1;
    Ref equal = steal(PyObject_RichCompare(system, text.get(), Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

PyObject* terminal_impl(PyObject* const* args, const tarn::Keywords&) noexcept {
    PyObject* command = args[0];  // str or None (checked by the binder)
    PyObject* cwd = args[1];      // str or None
    bool has_command = command != Py_None && PyUnicode_GET_LENGTH(command) > 0;
    bool has_cwd = cwd != Py_None && PyUnicode_GET_LENGTH(cwd) > 0;

    Ref platform = steal(tarn::lookup_global(state.s_platform.get()));
    if (!platform) return nullptr;
    Ref system = steal(tarn::call_method(state.s_system.get(), platform.get()));
    if (!system) return nullptr;

    int is_windows = system_is(system.get(), "Windows");
    if (is_windows) return is_windows < 0 ? nullptr : launch_windows(command, cwd, has_command, has_cwd);
    int is_macos = system_is(system.get(), "Darwin");
    if (is_macos) return is_macos < 0 ? nullptr : launch_macos(command, cwd, has_command, has_cwd);
    int is_linux = system_is(system.get(), "Linux");
    if (is_linux) return is_linux < 0 ? nullptr : launch_linux(command, cwd, has_command);

    Ref message = steal(PyUnicode_FromFormat("Unsupported platform: %S", system.get()));
    return message ? raise_runtime(message.get()) : nullptr;
}

constexpr tarn::Param kTerminalParams[] = {
    {.name = "command", .check = tarn::Check::exact_str_or_none, .annotation = "str | None", .has_default = true},
    {.name = "cwd", .check = tarn::Check::exact_str_or_none, .annotation = "str | None", .has_default = true},
};

PyObject* terminal_defaults() noexcept { return PyTuple_Pack(2, Py_None, Py_None); }

constexpr tarn::Definition kFunctions[] = {
    {.signature = {"terminal", "terminal", kTerminalDoc, kTerminalParams}, .impl = terminal_impl,
     .defaults = terminal_defaults},
};

}  // namespace

constinit const tarn::Definitions functions = kFunctions;

}  // namespace tarn::terminal
