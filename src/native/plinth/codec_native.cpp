// Native compress and decompress for exact, one-dimensional, native-order numpy arrays of
// bool, integer, float, complex, datetime64 and timedelta64 elements. Results are those of
// numpy's steps, bit for bit; wherever numpy would warn or raise, the caller runs numpy.
#include "codec_native.hpp"

#include <algorithm>
#include <cfenv>
#include <cstdint>
#include <cstring>
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#endif

#include "codec.hpp"
#include "plinth.hpp"
#include "ref.hpp"

namespace plinth::codec_native {

namespace {

using codec::Kind;
using tarn::Ref;
using tarn::steal;

// The kernels for this processor, chosen at load.
const codec::Kernels* kernels = nullptr;

// array.view(int): the int64 view of a datetime64 or timedelta64 array (new reference).
PyObject* ticks_view(PyObject* array) noexcept {
    return PyObject_CallMethodOneArg(array, state.s_view.get(), reinterpret_cast<PyObject*>(&PyLong_Type));
}

template <class T>
T codec_load(const char* p) noexcept {
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// The element kind of a buffer format that numpy gives for native-order arrays, or
// Kind::count for anything else (byte-swapped, long double, records, objects, text).
Kind kind_of(const char* format, Py_ssize_t itemsize) noexcept {
    if (!format) return Kind::count;
    Kind kind = Kind::count;
    Py_ssize_t size = 0;
    if (format[0] == 'Z' && format[1] && !format[2]) {
        if (format[1] == 'f') kind = Kind::complex64, size = 8;
        if (format[1] == 'd') kind = Kind::complex128, size = 16;
    } else if (format[0] && !format[1]) {
        switch (format[0]) {
            case '?': kind = Kind::boolean, size = 1; break;
            case 'b': case 'B': kind = Kind::int8, size = 1; break;
            case 'h': case 'H': kind = Kind::int16, size = 2; break;
            case 'i': case 'I': kind = Kind::int32, size = 4; break;
            case 'l': case 'L': case 'q': case 'Q': kind = Kind::int64, size = 8; break;
            case 'e': kind = Kind::float16, size = 2; break;
            case 'f': kind = Kind::float32, size = 4; break;
            case 'd': kind = Kind::float64, size = 8; break;
            default: break;
        }
    }
    return size == itemsize ? kind : Kind::count;
}

bool is_float(Kind kind) noexcept {
    return kind == Kind::float16 || kind == Kind::float32 || kind == Kind::float64 ||
           kind == Kind::complex64 || kind == Kind::complex128;
}

// str == text, for an attribute that should be a str (false for anything else).
bool text_is(PyObject* s, const char* text) noexcept {
    return PyUnicode_Check(s) && PyUnicode_CompareWithASCIIString(s, text) == 0;
}

// The elements of an array, read through the buffer protocol, which keeps the memory alive
// (and the array from being resized) until release. datetime64 and timedelta64 arrays, which
// export no buffer, are read through their int64 view.
class Elements {
public:
    Elements() noexcept = default;
    Elements(const Elements&) = delete;
    Elements& operator=(const Elements&) = delete;
    ~Elements() { release(); }

    // 1: `array` (an exact ndarray) is one-dimensional with elements the kernels handle;
    // 0: it is not (no exception set); -1: an exception is set.
    int open(PyObject* array) noexcept {
        if (PyObject_GetBuffer(array, &view_, PyBUF_RECORDS_RO) == 0) {
            held_ = true;
            kind = kind_of(view_.format, view_.itemsize);
        } else {
            PyErr_Clear();  // numpy exports no buffer for datetimes; other refusals decline
            int dated = is_datetime(array);
            if (dated <= 0) return dated;
            owner_ = steal(ticks_view(array));
            if (!owner_) return -1;
            if (PyObject_GetBuffer(owner_.get(), &view_, PyBUF_RECORDS_RO) < 0) return -1;
            held_ = true;
            kind = kind_of(view_.format, view_.itemsize) == Kind::int64 ? Kind::datetime : Kind::count;
        }
        if (kind == Kind::count || view_.ndim != 1) return 0;
        data = static_cast<const char*>(view_.buf);
        stride = view_.strides[0];
        n = view_.shape[0];
        size = view_.itemsize;
        return 1;
    }

    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
        owner_.reset();
    }

    Kind kind = Kind::count;
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    Py_ssize_t n = 0;
    Py_ssize_t size = 0;

private:
    // 1 when the array holds native-order datetime64 or timedelta64 with a unit (a generic
    // unit makes numpy warn); 0 when not; -1 on error.
    static int is_datetime(PyObject* array) noexcept {
        Ref dtype = steal(PyObject_GetAttr(array, state.s_dtype.get()));
        if (!dtype) return -1;
        Ref kind = steal(PyObject_GetAttr(dtype.get(), state.s_kind.get()));
        Ref order = kind ? steal(PyObject_GetAttr(dtype.get(), state.s_byteorder.get())) : Ref();
        Ref text = order ? steal(PyObject_GetAttr(dtype.get(), state.s_str.get())) : Ref();
        if (!text) return -1;
        if (!text_is(kind.get(), "M") && !text_is(kind.get(), "m")) return 0;
        if (!text_is(order.get(), "=")) return 0;
        Py_ssize_t length = PyUnicode_Check(text.get()) ? PyUnicode_GetLength(text.get()) : 0;
        return length > 0 && PyUnicode_ReadChar(text.get(), length - 1) == ']';
    }

    Py_buffer view_{};
    bool held_ = false;
    Ref owner_;
};

// A writable pointer into a fresh C-contiguous array (through its int64 view for datetimes).
class Output {
public:
    Output() noexcept = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { release(); }

    int open(PyObject* array, bool datetime) noexcept {
        PyObject* target = array;
        if (datetime) {
            owner_ = steal(ticks_view(array));
            if (!owner_) return -1;
            target = owner_.get();
        }
        if (PyObject_GetBuffer(target, &view_, PyBUF_WRITABLE) < 0) return -1;
        held_ = true;
        data = static_cast<char*>(view_.buf);
        return 0;
    }

    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
        owner_.reset();
    }

    char* data = nullptr;

private:
    Py_buffer view_{};
    bool held_ = false;
    Ref owner_;
};

// numpy.ndarray(n, dtype): a new, uninitialised C-contiguous array, as numpy.empty makes it.
PyObject* new_array(Py_ssize_t n, PyObject* dtype) noexcept {
    Ref size = steal(PyLong_FromSsize_t(n));
    if (!size) return nullptr;
    PyObject* args[] = {size.get(), dtype};
    return PyObject_Vectorcall(state.np_ndarray.get(), args, 2, nullptr);
}

// Masks of up to this many words live on the stack.
constexpr std::size_t kStackWords = 64;

// A bit per element, set where a run starts.
class Mask {
public:
    explicit Mask(std::size_t words) noexcept
        : words_(words <= kStackWords
                     ? local_
                     : static_cast<std::uint64_t*>(PyMem_RawMalloc(words * sizeof(std::uint64_t)))) {}
    Mask(const Mask&) = delete;
    Mask& operator=(const Mask&) = delete;
    ~Mask() {
        if (words_ != local_) PyMem_RawFree(words_);
    }
    std::uint64_t* get() const noexcept { return words_; }

private:
    std::uint64_t local_[kStackWords];
    std::uint64_t* words_;
};

// First pass: marks the run starts of all n (>= 1) elements, the first element always, and
// returns the number of runs, or -1 when the kernel declines.
Py_ssize_t mark_runs(const Elements& in, std::uint64_t* mask) noexcept {
    int k = static_cast<int>(in.kind);
    codec::MarkFn mark = in.stride == in.size ? kernels->contiguous[k] : kernels->strided[k];
    const std::size_t n = std::size_t(in.n);
    // The first word is shifted by one place, so that the later words line up with the elements.
    std::uint64_t first = 0;
    if (n > 1 && !mark(in.data + in.stride, in.stride, std::min<std::size_t>(n - 1, 63), &first)) return -1;
    mask[0] = first << 1 | 1;
    if (n > 64 && !mark(in.data + 64 * in.stride, in.stride, n - 64, mask + 1)) return -1;
    return Py_ssize_t(kernels->count(mask, (n + 63) / 64));
}

// Runs the first pass with the floating-point flags cleared and declines (-1) when the
// subtractions raised a flag numpy reports (invalid, overflow, ...): numpy then warns or
// raises as its error state says. The caller's flags are restored.
Py_ssize_t mark_checked(const Elements& in, std::uint64_t* mask) noexcept {
    if (!is_float(in.kind)) return mark_runs(in, mask);
    constexpr int reported = FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW | FE_DIVBYZERO;
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
    Py_ssize_t runs = mark_runs(in, mask);
    if (std::fetestexcept(reported)) runs = -1;
    std::fesetexceptflag(&saved, FE_ALL_EXCEPT);
    return runs;
}

// The second pass reads the run starts of a word with irregular gaps, which the hardware
// prefetchers follow poorly once the array is beyond the caches: for elements of 8 bytes and
// more, the lines of the (whole) word kAhead words on, 4 kB ahead for float64, are asked for
// in advance (10-15% faster at 1e6 float64; no gain for int32).
constexpr std::size_t kAhead = 8;

// Second pass: copies the first element of every run to `values` and the length of every run,
// the distance to the next start, to `lengths`.
template <std::size_t S, bool Contiguous>
void gather(const Elements& in, std::uint64_t* mask, char* values, std::int64_t* lengths) noexcept {
    const char* data = in.data;
    const std::ptrdiff_t stride = Contiguous ? std::ptrdiff_t(S) : in.stride;
    const std::size_t n = std::size_t(in.n), words = (n + 63) / 64;
    std::memcpy(values, data, S);
    values += S;
    std::size_t previous = 0;
    mask[0] &= ~std::uint64_t(1);
    for (std::size_t w = 0; w < words; ++w) {
        if (Contiguous && S >= 8 && w + kAhead + 1 < words) {
            const char* ahead = data + (w + kAhead) * 64 * S;
            for (std::size_t line = 0; line < S; ++line) __builtin_prefetch(ahead + line * 64);
        }
        for (std::uint64_t bits = mask[w]; bits; bits &= bits - 1) {
            std::size_t at = w * 64 + std::size_t(__builtin_ctzll(bits));
            *lengths++ = std::int64_t(at - previous);
            std::memcpy(values, data + std::ptrdiff_t(at) * stride, S);
            values += S;
            previous = at;
        }
    }
    *lengths = std::int64_t(n - previous);
}

void gather_any(const Elements& in, std::uint64_t* mask, char* values, std::int64_t* lengths) noexcept {
    bool contiguous = in.stride == in.size;
    switch (in.size) {
        case 1: return (contiguous ? gather<1, true> : gather<1, false>)(in, mask, values, lengths);
        case 2: return (contiguous ? gather<2, true> : gather<2, false>)(in, mask, values, lengths);
        case 4: return (contiguous ? gather<4, true> : gather<4, false>)(in, mask, values, lengths);
        case 8: return (contiguous ? gather<8, true> : gather<8, false>)(in, mask, values, lengths);
        default: return (contiguous ? gather<16, true> : gather<16, false>)(in, mask, values, lengths);
    }
}

// One integer of a buffer with format `code` (one of "bBhHiIlq") at `p`.
std::int64_t read_integer(char code, const char* p) noexcept {
    switch (code) {
        case 'b': return codec_load<std::int8_t>(p);
        case 'B': return codec_load<std::uint8_t>(p);
        case 'h': return codec_load<std::int16_t>(p);
        case 'H': return codec_load<std::uint16_t>(p);
        case 'i': return codec_load<std::int32_t>(p);
        case 'I': return codec_load<std::uint32_t>(p);
        default: return codec_load<std::int64_t>(p);
    }
}

// For a failure while deciding whether to decline: the exception is the caller's to see.
PyObject* error(bool& declined, PyObject* result = nullptr) noexcept {
    declined = false;
    return result;
}

int size_index(Py_ssize_t size) noexcept {
    return size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : size == 8 ? 3 : 4;
}

// Whether the processor and the system let us use AVX2 (and POPCNT, which the AVX2 kernels
// use too). glibc's answer also honours GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2, which is how
// the baseline kernels are exercised on a machine that has AVX2.
bool avx2_usable() noexcept {
#if __has_include(<sys/platform/x86.h>)
    return CPU_FEATURE_ACTIVE(AVX2) && CPU_FEATURE_ACTIVE(POPCNT);
#else
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
#endif
}

}  // namespace

int init() noexcept {
    kernels = avx2_usable() ? &codec::avx2_kernels() : &codec::baseline_kernels();
    return 0;
}

PyObject* compress(PyObject* value, bool& declined) noexcept {
    Elements in;
    int usable = in.open(value);
    if (usable <= 0) {
        declined = usable == 0;
        return nullptr;
    }
    Ref dtype = steal(PyObject_GetAttr(value, state.s_dtype.get()));
    if (!dtype) return nullptr;
    Py_ssize_t runs = 0;  // an empty array has no runs at all
    Mask mask((std::size_t(in.n) + 63) / 64);
    if (in.n > 0) {
        if (!mask.get()) return PyErr_NoMemory();
        runs = mark_checked(in, mask.get());
        if (runs < 0) {
            declined = true;
            return nullptr;
        }
    }
    // The results are made at their final size: a block of that size is usually one the
    // allocator has handed out before, so writing it costs no page faults.
    Ref values = steal(new_array(runs, dtype.get()));
    if (!values) return nullptr;
    Ref lengths = steal(new_array(runs, reinterpret_cast<PyObject*>(&PyLong_Type)));
    if (!lengths) return nullptr;
    if (runs > 0) {
        Output v, l;
        if (v.open(values.get(), in.kind == Kind::datetime) < 0 || l.open(lengths.get(), false) < 0)
            return nullptr;
        gather_any(in, mask.get(), v.data, reinterpret_cast<std::int64_t*>(l.data));
    }
    return PyTuple_Pack(2, values.get(), lengths.get());
}

PyObject* decompress(PyObject* values, PyObject* lengths, bool& declined) noexcept {
    declined = true;
    Elements in;
    int usable = in.open(values);
    if (usable <= 0) {
        declined = usable == 0;
        return nullptr;
    }
    const std::size_t n = std::size_t(in.n);

    // The lengths as int64: a single non-negative int, or a 1-D integer array (of a type numpy
    // casts safely to int64) with one non-negative length per value.
    std::int64_t single = 0;
    const std::int64_t* counts = &single;
    std::ptrdiff_t step = 0;
    std::size_t total = 0;
    Py_buffer view{};
    struct Guard {
        Py_buffer* view;
        std::int64_t* copy = nullptr;
        ~Guard() {
            if (view->obj) PyBuffer_Release(view);
            PyMem_Free(copy);
        }
    } guard{&view};
    if (PyLong_CheckExact(lengths)) {
        int overflow = 0;
        long long k = PyLong_AsLongLongAndOverflow(lengths, &overflow);
        if (k == -1 && PyErr_Occurred()) return error(declined);
        if (overflow || k < 0) return nullptr;
        single = k;
        if (k != 0 && n > std::size_t(PY_SSIZE_T_MAX) / std::size_t(k)) return nullptr;
        total = n * std::size_t(k);
    } else {
        if (!Py_IS_TYPE(lengths, reinterpret_cast<PyTypeObject*>(state.np_ndarray.get()))) return nullptr;
        if (PyObject_GetBuffer(lengths, &view, PyBUF_RECORDS_RO) < 0) {
            PyErr_Clear();
            return nullptr;
        }
        const char* f = view.format;
        bool integer = f && f[0] && !f[1] && std::strchr("bBhHiIlq", f[0]);  // not uint64: numpy refuses it
        if (!integer || view.ndim != 1 || std::size_t(view.shape[0]) != n) return nullptr;
        const char* p = static_cast<const char*>(view.buf);
        const std::ptrdiff_t s = view.strides[0];
        bool direct = view.itemsize == 8 && s == 8;
        if (!direct && n) {
            guard.copy = static_cast<std::int64_t*>(PyMem_Malloc(n * sizeof(std::int64_t)));
            if (!guard.copy) return error(declined, PyErr_NoMemory());
        }
        bool ok = true;
        if (direct) {
            // Lengths below 2**32, fewer than 2**31 of them: the sum cannot overflow, so a loop
            // the compiler vectorises decides; otherwise every addition is checked.
            const std::int64_t* k = reinterpret_cast<const std::int64_t*>(p);
            std::uint64_t any = 0, sum = 0;
            for (std::size_t i = 0; i < n; ++i) {
                any |= std::uint64_t(k[i]);
                sum += std::uint64_t(k[i]);
            }
            if (any >> 32 == 0 && n < (std::size_t(1) << 31)) {
                total = sum;
            } else {
                for (std::size_t i = 0; i < n; ++i)
                    ok &= k[i] >= 0 && !__builtin_add_overflow(total, std::size_t(k[i]), &total);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i, p += s) {
                std::int64_t k = read_integer(f[0], p);
                ok &= k >= 0 && !__builtin_add_overflow(total, std::size_t(k), &total);
                guard.copy[i] = k;
            }
        }
        if (!ok || total > std::size_t(PY_SSIZE_T_MAX)) return nullptr;
        counts = direct ? reinterpret_cast<const std::int64_t*>(view.buf) : guard.copy;
        step = 1;
    }
    if (total > std::size_t(PY_SSIZE_T_MAX) / std::size_t(in.size)) return nullptr;
    declined = false;

    Ref dtype = steal(PyObject_GetAttr(values, state.s_dtype.get()));
    if (!dtype) return nullptr;
    Ref result = steal(new_array(Py_ssize_t(total), dtype.get()));
    if (!result) return nullptr;
    if (total == 0) return result.release();
    Output out;
    if (out.open(result.get(), in.kind == Kind::datetime) < 0) return nullptr;
    kernels->fill[size_index(in.size)](out.data, out.data + total * std::size_t(in.size), in.data, in.stride,
                                       counts, step, n);
    out.release();
    return result.release();
}

}  // namespace plinth::codec_native
