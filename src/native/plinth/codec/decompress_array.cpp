// The native path of decompress, and the check of the lengths' total that guards numpy.repeat:
// lengths read from integer arrays, lists and tuples, and each value repeated into a fresh array.
#include <cstddef>
#include <cstdint>

#include "array_access.hpp"
#include "codec.hpp"
#include "compiler.hpp"
#include "errors.hpp"
#include "load.hpp"
#include "small_array.hpp"

namespace tarn::plinth::codec {

namespace {

// One integer of `size` bytes (1, 2, 4 or 8; 8 only when signed) at `p`.
std::int64_t read_integer(bool is_signed, std::size_t size, const char* p) noexcept {
    switch (size) {
        case 1: return is_signed ? load<std::int8_t>(p) : load<std::uint8_t>(p);
        case 2: return is_signed ? load<std::int16_t>(p) : load<std::uint16_t>(p);
        case 4: return is_signed ? load<std::int32_t>(p) : load<std::uint32_t>(p);
        default: return load<std::int64_t>(p);
    }
}

// The sum of run lengths, kept while it fits the index type. numpy.repeat adds them in that
// type without a check, so a true sum past it wraps around and numpy writes past the array it
// made for the wrapped size: such a sum must be refused before numpy sees it.
struct Total {
    std::size_t sum = 0;
    bool negative = false;  // a length below zero: numpy refuses the lengths itself
    bool unfit = false;     // the true sum exceeds PY_SSIZE_T_MAX (sum then stops growing)

    void add(std::int64_t k) noexcept {
        if (k < 0)
            negative = true;
        else if (std::uint64_t(k) > std::size_t(PY_SSIZE_T_MAX) - sum)
            unfit = true;
        else
            sum += std::size_t(k);
    }
};

// numpy's own message for a result whose size does not fit the index type.
TARN_COLD void raise_too_big() noexcept {
    PyErr_SetString(PyExc_ValueError,
                    "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");
}

// Whether n values each repeated k >= 0 times make more elements than the index type holds.
bool product_unfit(std::size_t n, std::int64_t k) noexcept {
    return k != 0 && n > std::size_t(PY_SSIZE_T_MAX) / std::uint64_t(k);
}

// The integer element size of a length buffer numpy casts safely to its index type: signed
// integers, and unsigned ones narrower than 8 bytes (numpy refuses unsigned 64-bit lengths);
// 0 for anything else.
std::size_t length_size(const Py_buffer& view, bool& is_signed) noexcept {
    char code = single_code(view.format);
    std::size_t size = integer_size(code);
    is_signed = code >= 'a' && code <= 'z';
    return size != 0 && Py_ssize_t(size) == view.itemsize && (is_signed || size < 8) ? size : 0;
}

// decompress's lengths as int64 counts, one per value (step 1) or one for all (step 0). An
// array's lengths are copied once, and both the total and the fill read that copy: another
// thread may rewrite the array meanwhile, and a fill that read other lengths than the total
// would leave elements of the result unwritten.
struct Lengths {
    Lengths() noexcept = default;
    Lengths(const Lengths&) = delete;
    Lengths& operator=(const Lengths&) = delete;

    const std::int64_t* counts = &single;
    std::ptrdiff_t step = 0;
    std::size_t total = 0;  // the sum of the lengths, at most PY_SSIZE_T_MAX

    std::int64_t single = 0;
    tarn::SmallArray<std::int64_t, 64> copy;
};

// Reads the lengths for n values: a single non-negative int, or a one-dimensional integer
// array (of a type numpy casts safely to int64) with one non-negative length per value.
// Lengths whose total does not fit the index type fail with numpy's error for a size that is
// too big; anything else declines (numpy.repeat then broadcasts, casts or raises).
Status read_lengths(PyObject* lengths, std::size_t n, Lengths& out) noexcept {
    if (PyLong_CheckExact(lengths)) {
        int overflow = 0;
        long long k = PyLong_AsLongLongAndOverflow(lengths, &overflow);
        if (k == -1 && PyErr_Occurred()) return Status::failed;
        if (overflow || k < 0) return Status::declined;
        if (product_unfit(n, k)) {
            raise_too_big();
            return Status::failed;
        }
        out.single = k;
        out.total = n * std::size_t(k);
        return Status::done;
    }
    if (!Py_IS_TYPE(lengths, reinterpret_cast<PyTypeObject*>(state.np_ndarray.get()))) return Status::declined;
    tarn::Buffer view;
    if (view.acquire(lengths, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return Status::declined;
    }
    bool is_signed = false;
    std::size_t size = length_size(*view, is_signed);
    if (size == 0 || view->ndim != 1 || std::size_t(view->shape[0]) != n) return Status::declined;
    if (!out.copy.resize(n)) {
        PyErr_NoMemory();
        return Status::failed;
    }

    const char* p = static_cast<const char*>(view->buf);
    const std::ptrdiff_t s = view->strides[0];
    std::int64_t* copy = out.copy.data();
    Total total;
    if (size == 8 && s == 8) {
        // Lengths below 2**32, fewer than 2**31 of them: the sum cannot overflow, so a loop the
        // compiler vectorises copies and decides; otherwise every addition is checked.
        std::uint64_t any = 0, sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::int64_t k = load<std::int64_t>(p + 8 * i);
            copy[i] = k;
            any |= std::uint64_t(k);
            sum += std::uint64_t(k);
        }
        if (any >> 32 == 0 && n < (std::size_t(1) << 31)) {
            total.sum = std::size_t(sum);
        } else {
            for (std::size_t i = 0; i < n; ++i) total.add(copy[i]);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i, p += s) {
            std::int64_t k = read_integer(is_signed, size, p);
            total.add(k);
            copy[i] = k;
        }
    }
    if (total.negative) return Status::declined;
    if (total.unfit) {
        raise_too_big();
        return Status::failed;
    }
    out.counts = copy;
    out.total = total.sum;
    out.step = 1;
    return Status::done;
}

// Lengths as numpy.repeat will read them, where that is known without running Python code:
// a single length (an int, a zero-dimensional array or a sequence of one) or `count` of them.
struct LengthsSeen {
    bool known = false;  // false: numpy converts, casts or refuses them in ways not followed here
    Py_ssize_t count = 0;
    Total total;
};

// One length of a list or tuple: an exact int or a numpy integer scalar that fits int64.
// false when the item is anything else (numpy decides then).
bool item_length(PyObject* item, Total& total) noexcept {
    Ref index;
    if (!PyLong_CheckExact(item)) {
        if (PyObject_TypeCheck(item, reinterpret_cast<PyTypeObject*>(state.np_integer.get())) == 0) return false;
        index = steal(PyNumber_Index(item));  // numpy's integer scalars convert in C
        if (!index) {
            PyErr_Clear();
            return false;
        }
        item = index.get();
    }
    int overflow = 0;
    long long k = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow) return false;
    total.add(k);
    return true;
}

LengthsSeen see_lengths(PyObject* lengths) noexcept {
    LengthsSeen seen;
    if (PyLong_CheckExact(lengths)) {
        seen.count = 1;
        seen.known = item_length(lengths, seen.total);
    } else if (Py_IS_TYPE(lengths, reinterpret_cast<PyTypeObject*>(state.np_ndarray.get()))) {
        tarn::Buffer view;
        if (view.acquire(lengths, PyBUF_RECORDS_RO) < 0) {
            PyErr_Clear();
            return seen;
        }
        bool is_signed = false;
        std::size_t size = length_size(*view, is_signed);
        if (size == 0 || view->ndim > 1) return seen;
        seen.count = view->ndim == 0 ? 1 : view->shape[0];
        const char* p = static_cast<const char*>(view->buf);
        for (Py_ssize_t i = 0; i < seen.count; ++i, p += view->ndim ? view->strides[0] : 0)
            seen.total.add(read_integer(is_signed, size, p));
        seen.known = true;
    } else if (PyTuple_CheckExact(lengths)) {
        seen.count = PyTuple_GET_SIZE(lengths);
        for (Py_ssize_t i = 0; i < seen.count; ++i)
            if (!item_length(PyTuple_GET_ITEM(lengths, i), seen.total)) return seen;
        seen.known = true;
    } else if (PyList_CheckExact(lengths)) {
        // Item by item with strong references: another thread may change the list meanwhile.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lengths); ++i) {
            Ref item = steal(PyList_GetItemRef(lengths, i));
            if (!item) {
                PyErr_Clear();
                return seen;
            }
            if (!item_length(item.get(), seen.total)) return seen;
            seen.count = i + 1;
        }
        seen.known = seen.count == PyList_GET_SIZE(lengths);
    }
    return seen;
}

// The number of elements numpy.repeat takes from `values` (flattened): n >= 0, -1 when that
// is not known here (no exception set), -2 with an exception set.
Py_ssize_t values_size(PyObject* values, int is_array) noexcept {
    Ref size;
    if (is_array)
        size = steal(PyObject_GetAttr(values, state.s_size.get()));
    else
        size = steal(PyObject_CallOneArg(state.np_size.get(), values));
    Py_ssize_t n = size && PyLong_CheckExact(size.get()) ? PyLong_AsSsize_t(size.get()) : -1;
    if (n >= 0) return n;
    if (!PyErr_Occurred()) return -1;
    // Whatever failed here, numpy.repeat meets again and reports as it does.
    return tarn::catch_exception() ? -1 : -2;
}

}  // namespace

Outcome decompress_array(PyObject* values, PyObject* lengths) noexcept {
    Elements in;
    int usable = in.open(values);
    if (usable <= 0) return usable == 0 ? declined() : failed();
    Lengths counts;
    Status read = read_lengths(lengths, in.n, counts);
    if (read != Status::done) return {read, Ref()};
    if (counts.total > std::size_t(PY_SSIZE_T_MAX) / in.size) return declined();

    Ref dtype = steal(PyObject_GetAttr(values, state.s_dtype.get()));
    if (!dtype) return failed();
    Ref result = steal(new_array(counts.total, dtype.get()));
    if (!result) return failed();
    if (counts.total != 0) {
        Output out;
        if (out.open(result.get(), in.kind == Kind::datetime) < 0) return failed();
        kernels->fill[size_index(in.size)](out.data, out.data + counts.total * in.size, in.data, in.stride,
                                           counts.counts, counts.step, in.n);
    }
    return done(std::move(result));
}

int check_total(PyObject* values, PyObject* lengths) noexcept {
    int is_array = PyObject_IsInstance(values, state.np_ndarray.get());
    if (is_array < 0) return -1;
    if (!is_array && !PyList_CheckExact(values) && !PyTuple_CheckExact(values)) return 0;
    LengthsSeen seen = see_lengths(lengths);
    if (!seen.known || seen.total.negative) return 0;
    // One length for every value, or one per value. A single length past the index type is
    // numpy's conversion error; the values are counted only where the total could overflow
    // (counting a list converts it).
    bool single = seen.count == 1;
    if (single ? seen.total.unfit || seen.total.sum < 2 : !seen.total.unfit) return 0;
    Py_ssize_t n = values_size(values, is_array);
    if (n < 0) return n == -1 ? 0 : -1;
    // With counts that differ, numpy reports the mismatch before it adds anything.
    bool unfit = single ? product_unfit(std::size_t(n), std::int64_t(seen.total.sum)) : n == seen.count;
    if (!unfit) return 0;
    raise_too_big();
    return -1;
}

}  // namespace tarn::plinth::codec
