// Owned references to Python objects: a move-only handle in the style of nanobind's `object`.
#pragma once
#include <Python.h>

#include <utility>

namespace tarn {

// Holds one strong reference. Made only by steal() or borrow(); a bare PyObject* is borrowed.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(other.release()) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // Drops the old reference last, so a destructor that reaches this handle sees the new value.
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = std::exchange(p_, other.release());
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }

// For C APIs that return a new reference through a PyObject** out-parameter.
class OutRef {
public:
    explicit OutRef(Ref& target) noexcept : target_(target) {}
    ~OutRef() { target_ = Ref::steal(p_); }
    operator PyObject**() noexcept { return &p_; }

private:
    Ref& target_;
    PyObject* p_ = nullptr;
};
inline OutRef out_param(Ref& target) noexcept { return OutRef(target); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }

// A strong reference kept in static module data (the fields of module state). It has no
// destructor on purpose: static destructors run after the interpreter has finalised. clear()
// is its only release, and the toolkit calls it when a module's import fails. A module that
// loaded keeps its references to the end of the process (the toolkit holds the module object
// itself, so CPython never clears or frees it); the objects are left to the operating system
// at exit, as those of static types are.
class GlobalRef {
public:
    PyObject* get() const noexcept { return p_; }
    // Takes over `value`'s reference; the old one is dropped last.
    void set(Ref value) noexcept { PyObject* old = std::exchange(p_, value.release()); Py_XDECREF(old); }
    void clear() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace tarn
