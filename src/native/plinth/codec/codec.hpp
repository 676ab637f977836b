// The run-length codec as the driver base module sees it: the objects it keeps from load on,
// the kernel choice at load and the table of compress and decompress.
#pragma once
#include <Python.h>

#include "function.hpp"
#include "state.hpp"

// Objects the codec keeps from load on, each with its initialiser (names as in plinth.hpp). The
// driver base module owns them alongside its own state and sets them up with it.
#define TARN_CODEC_STATE(X)                                                                        \
    /* attribute names of arrays and dtypes */                                                    \
    X(s_ndim, tarn::interned("ndim"))                                                              \
    X(s_dtype, tarn::interned("dtype"))                                                            \
    X(s_kind, tarn::interned("kind"))                                                              \
    X(s_byteorder, tarn::interned("byteorder"))                                                    \
    X(s_str, tarn::interned("str"))                                                                \
    X(s_view, tarn::interned("view"))                                                              \
    X(s_size, tarn::interned("size"))                                                              \
    /* constants */                                                                               \
    X(zero, PyLong_FromLong(0))                                                                    \
    X(one, PyLong_FromLong(1))                                                                     \
    /* numpy's functions and types for its own steps */                                           \
    X(np_ndarray, tarn::attribute("numpy", "ndarray"))                                             \
    X(np_diff, tarn::attribute("numpy", "diff"))                                                   \
    X(np_flatnonzero, tarn::attribute("numpy", "flatnonzero"))                                     \
    X(np_r, tarn::attribute("numpy", "r_"))                                                        \
    X(np_repeat, tarn::attribute("numpy", "repeat"))                                               \
    X(np_array, tarn::attribute("numpy", "array"))                                                 \
    X(np_size, tarn::attribute("numpy", "size"))                                                   \
    X(np_integer, tarn::attribute("numpy", "integer"))

namespace tarn::plinth::codec {

struct State {
    TARN_STATE_FIELDS(TARN_CODEC_STATE)
};

extern State state;

// Chooses the kernels for this process (see kernels.hpp); returns the chosen set's name, for
// diagnostics: "portable", "sse2" or "avx2" (array_access.cpp).
const char* init() noexcept;

// The functions compress and decompress, in the order of the module namespace (functions.cpp).
extern const tarn::Definitions functions;

}  // namespace tarn::plinth::codec
