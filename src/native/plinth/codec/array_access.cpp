// Access to numpy arrays for the codec's native paths: element kinds from buffer formats, input
// elements, result buffers, fresh arrays, and the kernels chosen at load.
#include "array_access.hpp"

#include <cstddef>

#include "calls.hpp"
#include "codec.hpp"

namespace tarn::plinth::codec {

const Kernels* kernels = nullptr;

namespace {

// array.view(int): the int64 view of a datetime64 or timedelta64 array (new reference).
PyObject* ticks_view(PyObject* array) noexcept {
    return tarn::call_method(state.s_view.get(), array, reinterpret_cast<PyObject*>(&PyLong_Type));
}

// The element kind of a buffer format that numpy gives for native-order arrays, or
// Kind::count for anything else (byte-swapped, long double, records, objects, text).
Kind kind_of(const char* format, Py_ssize_t itemsize) noexcept {
    if (!format) return Kind::count;
    if (format[0] == 'Z' && format[1] && !format[2]) {
        if (format[1] == 'f' && itemsize == 8) return Kind::complex64;
        if (format[1] == 'd' && itemsize == 16) return Kind::complex128;
        return Kind::count;
    }
    char code = single_code(format);
    if (std::size_t size = integer_size(code); size != 0) {
        if (Py_ssize_t(size) != itemsize) return Kind::count;
        return size == 1 ? Kind::int8 : size == 2 ? Kind::int16 : size == 4 ? Kind::int32 : Kind::int64;
    }
    switch (code) {
        case '?': return itemsize == 1 ? Kind::boolean : Kind::count;
        case 'e': return itemsize == 2 ? Kind::float16 : Kind::count;
        case 'f': return itemsize == 4 ? Kind::float32 : Kind::count;
        case 'd': return itemsize == 8 ? Kind::float64 : Kind::count;
        default: return Kind::count;
    }
}

// str == text, for an attribute that should be a str (false for anything else).
bool text_is(PyObject* s, const char* text) noexcept {
    return PyUnicode_Check(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

}  // namespace

const char* init() noexcept {
    Choice choice = choose_kernels();
    kernels = choice.kernels;
    return choice.name;
}

int Elements::open(PyObject* array) noexcept {
    if (buffer_.acquire(array, PyBUF_RECORDS_RO) == 0) {
        kind = kind_of(buffer_->format, buffer_->itemsize);
    } else {
        PyErr_Clear();  // numpy exports no buffer for datetimes; other refusals decline
        int dated = is_datetime(array);
        if (dated <= 0) return dated;
        owner_ = steal(ticks_view(array));
        if (!owner_) return -1;
        if (buffer_.acquire(owner_.get(), PyBUF_RECORDS_RO) < 0) return -1;
        kind = kind_of(buffer_->format, buffer_->itemsize) == Kind::int64 ? Kind::datetime : Kind::count;
    }
    if (kind == Kind::count || buffer_->ndim != 1) return 0;
    data = static_cast<const char*>(buffer_->buf);
    stride = buffer_->strides[0];
    n = std::size_t(buffer_->shape[0]);
    size = std::size_t(buffer_->itemsize);
    return 1;
}

int Elements::is_datetime(PyObject* array) noexcept {
    Ref dtype = steal(PyObject_GetAttr(array, state.s_dtype.get()));
    if (!dtype) return -1;
    Ref kind = steal(PyObject_GetAttr(dtype.get(), state.s_kind.get()));
    if (!kind) return -1;
    Ref order = steal(PyObject_GetAttr(dtype.get(), state.s_byteorder.get()));
    if (!order) return -1;
    Ref text = steal(PyObject_GetAttr(dtype.get(), state.s_str.get()));
    if (!text) return -1;
    if (!text_is(kind.get(), "M") && !text_is(kind.get(), "m")) return 0;
    if (!text_is(order.get(), "=")) return 0;
    Py_ssize_t length = PyUnicode_Check(text.get()) ? PyUnicode_GetLength(text.get()) : 0;
    return length > 0 && PyUnicode_ReadChar(text.get(), length - 1) == ']';
}

int Output::open(PyObject* array, bool datetime) noexcept {
    PyObject* target = array;
    if (datetime) {
        owner_ = steal(ticks_view(array));
        if (!owner_) return -1;
        target = owner_.get();
    }
    if (buffer_.acquire(target, PyBUF_WRITABLE) < 0) return -1;
    data = static_cast<char*>(buffer_->buf);
    return 0;
}

// numpy.ndarray(n, dtype): a new, uninitialised C-contiguous array, as numpy.empty makes it.
PyObject* new_array(std::size_t n, PyObject* dtype) noexcept {
    Ref size = steal(PyLong_FromSize_t(n));
    if (!size) return nullptr;
    PyObject* args[] = {size.get(), dtype};
    return PyObject_Vectorcall(state.np_ndarray.get(), args, 2, nullptr);
}

}  // namespace tarn::plinth::codec
