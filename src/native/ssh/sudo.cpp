// The word-wise sudo rewrite that run applies to every command: "sudo" becomes "sudo -S".
#include "ssh.hpp"

namespace tarn::ssh {

namespace {

// Characters that continue a word: "sudo" next to one of them is part of another word
// (visudo, sudoers, sudo.conf, sudo-rs) and is left alone.
bool word_char(Py_UCS4 c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

// "sudo" standing as a word of its own, at index i of `data`.
bool sudo_at(int kind, const void* data, Py_ssize_t n, Py_ssize_t i) noexcept {
    if (i + 4 > n) return false;
    if (PyUnicode_READ(kind, data, i) != 's' || PyUnicode_READ(kind, data, i + 1) != 'u' ||
        PyUnicode_READ(kind, data, i + 2) != 'd' || PyUnicode_READ(kind, data, i + 3) != 'o')
        return false;
    if (i > 0 && word_char(PyUnicode_READ(kind, data, i - 1))) return false;
    return i + 4 == n || !word_char(PyUnicode_READ(kind, data, i + 4));
}

}  // namespace

// sudo -S makes sudo read the password from standard input, where run writes it.
PyObject* rewrite_sudo(PyObject* command) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(command);
    const int kind = PyUnicode_KIND(command);
    const void* data = PyUnicode_DATA(command);
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i + 4 <= n; ++i) {
        if (sudo_at(kind, data, n, i)) {
            ++count;
            i += 3;
        }
    }
    if (count == 0) return Py_NewRef(command);
    PyObject* out = PyUnicode_New(n + 3 * count, PyUnicode_MAX_CHAR_VALUE(command));
    if (!out) return nullptr;
    const int out_kind = PyUnicode_KIND(out);
    void* out_data = PyUnicode_DATA(out);
    Py_ssize_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (sudo_at(kind, data, n, i)) {
            for (char c : {'s', 'u', 'd', 'o', ' ', '-', 'S'}) PyUnicode_WRITE(out_kind, out_data, j++, c);
            i += 3;
        } else {
            PyUnicode_WRITE(out_kind, out_data, j++, PyUnicode_READ(kind, data, i));
        }
    }
    return out;
}

}  // namespace tarn::ssh
