// A scope guard for Py_buffer: a buffer taken from an object is released exactly once.
#pragma once
#include <Python.h>

namespace tarn {

// Replaces the C pattern
//
//     Py_buffer view;
//     if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0)
//         return NULL;
//     ...
//     PyBuffer_Release(&view);   /* and again before every other return */
//
// with
//
//     tarn::Buffer view;
//     if (view.acquire(obj, PyBUF_RECORDS_RO) < 0)
//         return nullptr;
//     ... view->buf, view->shape[0] ...      // released when `view` goes out of scope
//
// Holding the buffer keeps the exporter's memory in place (a numpy array cannot be resized
// while it is exported). Non-copyable and non-movable: the Py_buffer stays where it was filled.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    // PyObject_GetBuffer(obj, &view, flags), after releasing what was held: 0, or -1 with an
    // exception set and nothing held.
    int acquire(PyObject* obj, int flags) noexcept {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) return -1;
        held_ = true;
        return 0;
    }

    // Releases the buffer now (nothing happens when none is held).
    void release() noexcept {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
    }

    explicit operator bool() const noexcept { return held_; }
    const Py_buffer* operator->() const noexcept { return &view_; }
    const Py_buffer& operator*() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tarn
