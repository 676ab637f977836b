// compress and decompress as Python sees them, with numpy's own steps as the fallback.
//
// Plain 1-D arrays take the native paths (arrays.hpp); everything else, and whatever those
// decline, takes numpy's steps.
#include <Python.h>

#include "arrays.hpp"
#include "codec.hpp"
#include "errors.hpp"
#include "function.hpp"

namespace tarn::plinth::codec {

namespace {

// numpy.r_[first, second]: the concatenation of both as one flat array.
PyObject* concat(PyObject* first, PyObject* second) noexcept {
    Ref key = steal(PyTuple_Pack(2, first, second));
    return key ? PyObject_GetItem(state.np_r.get(), key.get()) : nullptr;
}

// The numpy formulation, for everything the native kernels leave alone.
PyObject* compress_numpy(PyObject* value) noexcept {
    int is_array = PyObject_IsInstance(value, state.np_ndarray.get());
    if (is_array <= 0) return is_array < 0 ? nullptr : Py_NewRef(value);  // not an array: as given

    // Runs are only meaningful along one axis; numpy would silently mix the axes of a 2-D array.
    Ref ndim_obj = steal(PyObject_GetAttr(value, state.s_ndim.get()));
    if (!ndim_obj) return nullptr;
    long ndim = PyLong_AsLong(ndim_obj.get());
    if (ndim == -1 && PyErr_Occurred()) return nullptr;
    if (ndim >= 2)
        return tarn::raise_format(PyExc_ValueError,
                                  "compress() expects a one-dimensional array, got %ld dimensions", ndim);

    // The first element of every run, then one start per position where neighbours differ.
    PyObject* diff = state.np_diff.get();
    Ref difference = steal(PyObject_CallOneArg(diff, value));  // numpy refuses 0-d arrays here
    if (!difference) return nullptr;
    Ref nonzero = steal(PyObject_CallOneArg(state.np_flatnonzero.get(), difference.get()));
    if (!nonzero) return nullptr;
    Ref later_starts = steal(PyNumber_Add(nonzero.get(), state.one.get()));
    if (!later_starts) return nullptr;
    Py_ssize_t length = PyObject_Length(value);
    if (length < 0) return nullptr;
    // An empty array has no runs at all, so no start at 0 either: both results come out empty.
    Ref starts = std::move(later_starts);
    if (length > 0) {
        starts = steal(concat(state.zero.get(), starts.get()));
        if (!starts) return nullptr;
    }

    Ref values = steal(PyObject_GetItem(value, starts.get()));
    if (!values) return nullptr;
    Ref size = steal(PyLong_FromSsize_t(length));
    if (!size) return nullptr;
    Ref bounds = steal(concat(starts.get(), size.get()));
    if (!bounds) return nullptr;
    Ref lengths = steal(PyObject_CallOneArg(diff, bounds.get()));
    if (!lengths) return nullptr;
    return PyTuple_Pack(2, values.get(), lengths.get());
}

PyObject* compress_impl(PyObject* const* args, const tarn::Keywords&) noexcept {
    PyObject* value = args[0];
    if (Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(state.np_ndarray.get()))) {
        Outcome outcome = compress_array(value);
        if (outcome.status != Status::declined) return outcome.result.release();  // nullptr: failed
    }
    return compress_numpy(value);
}

PyObject* decompress_impl(PyObject* const* args, const tarn::Keywords&) noexcept {
    if (Py_IS_TYPE(args[0], reinterpret_cast<PyTypeObject*>(state.np_ndarray.get()))) {
        Outcome outcome = decompress_array(args[0], args[1]);
        if (outcome.status != Status::declined) return outcome.result.release();  // nullptr: failed
    }
    // numpy.repeat uses an intp array of lengths in place and reads it twice, to size its result
    // and to fill it: lengths another thread rewrites in between make it write past that result.
    // It gets a private copy instead (same dtype and shape, so the same result and errors), and
    // the total is checked on that copy.
    Ref lengths = tarn::borrow(args[1]);
    if (PyObject_TypeCheck(args[1], reinterpret_cast<PyTypeObject*>(state.np_ndarray.get()))) {
        lengths = steal(PyObject_CallOneArg(state.np_array.get(), args[1]));
        if (!lengths) return nullptr;
    }
    if (check_total(args[0], lengths.get()) < 0) return nullptr;
    PyObject* repeat_args[] = {args[0], lengths.get()};
    return PyObject_Vectorcall(state.np_repeat.get(), repeat_args, 2, nullptr);
}

constexpr tarn::Param kCompressParams[] = {{"value", tarn::Check::any, "Any"}};
constexpr tarn::Param kDecompressParams[] = {{"values"}, {"lengths"}};

constexpr tarn::Definition kFunctions[] = {
    {{"compress", "compress", nullptr, kCompressParams}, compress_impl},
    {{"decompress", "decompress", nullptr, kDecompressParams}, decompress_impl},
};

}  // namespace

constinit const tarn::Definitions functions = kFunctions;

}  // namespace tarn::plinth::codec
