// Access to numpy arrays for the native paths of the codec: the elements of an input array
// through the buffer protocol, a writable pointer into a fresh result, and the kernels chosen
// at load. Shared by compress_array.cpp and decompress_array.cpp.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "arrays.hpp"
#include "buffer.hpp"
#include "kernels.hpp"
#include "ref.hpp"

namespace tarn::plinth::codec {

// The kernels for this process, chosen at load (array_access.cpp).
extern const Kernels* kernels;

inline Outcome declined() noexcept { return {Status::declined, Ref()}; }
inline Outcome failed() noexcept { return {Status::failed, Ref()}; }
// The result made, or failed when making it did (an exception is set then).
inline Outcome done(Ref result) noexcept {
    return result ? Outcome{Status::done, std::move(result)} : failed();
}

// The size of the C integer type of a native-order buffer format code, 0 for other codes.
// The size decides, not the letter: C's long is 4 bytes on Windows and 8 on Linux and macOS.
inline std::size_t integer_size(char code) noexcept {
    switch (code) {
        case 'b': case 'B': return 1;
        case 'h': case 'H': return sizeof(short);
        case 'i': case 'I': return sizeof(int);
        case 'l': case 'L': return sizeof(long);
        case 'q': case 'Q': return sizeof(long long);
        default: return 0;
    }
}

// A format of exactly one character: that character, else 0.
inline char single_code(const char* format) noexcept {
    return format && format[0] && !format[1] ? format[0] : 0;
}

// Whether elements of `kind` are floating point (real or complex).
inline bool is_float(Kind kind) noexcept {
    return kind == Kind::float16 || kind == Kind::float32 || kind == Kind::float64 ||
           kind == Kind::complex64 || kind == Kind::complex128;
}

// The elements of an array, read through the buffer protocol, which keeps the memory alive
// (and the array from being resized) while it is held. datetime64 and timedelta64 arrays,
// which export no buffer, are read through their int64 view.
class Elements {
public:
    // 1: `array` (an exact ndarray) is one-dimensional with elements the kernels handle;
    // 0: it is not (no exception set); -1: an exception is set.
    int open(PyObject* array) noexcept;

    Kind kind = Kind::count;
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    std::size_t n = 0;
    std::size_t size = 0;

private:
    // 1 when the array holds native-order datetime64 or timedelta64 with a unit (a generic
    // unit makes numpy warn); 0 when not; -1 on error.
    static int is_datetime(PyObject* array) noexcept;

    Ref owner_;  // the int64 view of a datetime array (released after the buffer)
    tarn::Buffer buffer_;
};

// A writable pointer into a fresh C-contiguous array (through its int64 view for datetimes).
class Output {
public:
    // 0, or -1 with an exception set.
    int open(PyObject* array, bool datetime) noexcept;

    char* data = nullptr;

private:
    Ref owner_;
    tarn::Buffer buffer_;
};

// numpy.ndarray(n, dtype): a new, uninitialised C-contiguous array, as numpy.empty makes it.
PyObject* new_array(std::size_t n, PyObject* dtype) noexcept;

}  // namespace tarn::plinth::codec
