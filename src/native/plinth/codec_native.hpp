// The native paths of compress and decompress for plain one-dimensional numpy arrays.
#pragma once
#include <Python.h>

namespace plinth::codec_native {

// Picks the kernels for this processor; -1 on failure.
int init() noexcept;

// compress(value) for an exact numpy.ndarray. Returns the pair, or nullptr with an exception
// set, or nullptr with `declined` set and no exception when numpy's own steps must run
// (unsupported element type or layout, or a case where numpy would warn or raise).
PyObject* compress(PyObject* value, bool& declined) noexcept;

// decompress(values, lengths) for an exact numpy.ndarray `values`, as numpy.repeat would do it;
// declines in the same way whenever numpy.repeat has to decide.
PyObject* decompress(PyObject* values, PyObject* lengths, bool& declined) noexcept;

}  // namespace plinth::codec_native
