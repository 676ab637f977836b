// The native paths of compress and decompress for plain one-dimensional numpy arrays
// (compress_array.cpp, decompress_array.cpp).
//
// They take exact, one-dimensional, native-order arrays of bool, integer, float, complex,
// datetime64 and timedelta64 elements and hand them to the kernels chosen at load. Results are
// those of numpy's steps, bit for bit; wherever numpy would warn or raise, numpy runs instead.
#pragma once
#include <Python.h>

#include <cstdint>

#include "ref.hpp"

namespace tarn::plinth::codec {

// How a native path ended: with its result, declined (numpy's own steps must run: an element
// type or layout the kernels leave alone, or a case where numpy would warn or raise), or
// failed with an exception set.
enum class Status : std::uint8_t { done, declined, failed };

struct Outcome {
    Status status;
    tarn::Ref result;  // set when done
};

// compress(value) for an exact numpy.ndarray: the pair (values, lengths).
Outcome compress_array(PyObject* value) noexcept;

// decompress(values, lengths) for an exact numpy.ndarray `values`, as numpy.repeat would do
// it; declines whenever numpy.repeat has to decide. Lengths whose total does not fit the index
// type fail with numpy's ValueError for a size that is too big.
Outcome decompress_array(PyObject* values, PyObject* lengths) noexcept;

// Before numpy.repeat(values, lengths) runs: numpy adds the lengths in its index type without
// a check, and for a true total past it fills an array made for the wrapped size, past its end.
// For an array, list or tuple of values with lengths given as an int, an integer array, or a
// list or tuple of ints, such a total raises numpy's ValueError for a size that is too big
// (-1); 0 when numpy may go ahead (it still raises for whatever else is wrong).
int check_total(PyObject* values, PyObject* lengths) noexcept;

}  // namespace tarn::plinth::codec
