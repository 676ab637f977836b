// The native path of compress: run starts marked by the kernels, then values and lengths
// gathered into arrays made at their final size.
#include <cfenv>
#include <cstddef>
#include <cstdint>

#include "array_access.hpp"
#include "codec.hpp"
#include "small_array.hpp"

namespace tarn::plinth::codec {

namespace {

// A bit per element, set where a run starts; masks of up to 64 words (4096 elements) live on
// the stack.
using Mask = tarn::SmallArray<std::uint64_t, 64>;

// First pass: marks the run starts of all n (>= 1) elements, the first element always, and
// returns the number of runs, or -1 when the kernel declines.
std::ptrdiff_t mark_runs(const Elements& in, std::uint64_t* mask) noexcept {
    int k = static_cast<int>(in.kind);
    MarkFn mark = in.stride == std::ptrdiff_t(in.size) ? kernels->mark_contiguous[k] : kernels->mark_strided[k];
    // The first word is shifted by one place, so that the later words line up with the elements.
    std::uint64_t first = 0;
    if (in.n > 1 && !mark(in.data + in.stride, in.stride, in.n - 1 < 63 ? in.n - 1 : 63, &first)) return -1;
    mask[0] = first << 1 | 1;
    if (in.n > 64 && !mark(in.data + 64 * in.stride, in.stride, in.n - 64, mask + 1)) return -1;
    return std::ptrdiff_t(kernels->count(mask, (in.n + 63) / 64));
}

// Runs the first pass with the floating-point flags cleared and declines (-1) when the
// subtractions raised a flag numpy reports (invalid, overflow, ...): numpy then warns or
// raises as its error state says. The caller's flags are restored.
std::ptrdiff_t mark_checked(const Elements& in, std::uint64_t* mask) noexcept {
    if (!is_float(in.kind)) return mark_runs(in, mask);
    constexpr int reported = FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW | FE_DIVBYZERO;
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
    std::ptrdiff_t runs = mark_runs(in, mask);
    if (std::fetestexcept(reported)) runs = -1;
    std::fesetexceptflag(&saved, FE_ALL_EXCEPT);
    return runs;
}

// Second pass: the first element of every run to `values`, the length of every run to `lengths`.
void gather_runs(const Elements& in, std::uint64_t* mask, char* values, std::int64_t* lengths) noexcept {
    int i = size_index(in.size);
    GatherFn gather = in.stride == std::ptrdiff_t(in.size) ? kernels->gather_contiguous[i] : kernels->gather_strided[i];
    gather(in.data, in.stride, in.n, mask, values, lengths);
}

}  // namespace

Outcome compress_array(PyObject* value) noexcept {
    Elements in;
    int usable = in.open(value);
    if (usable <= 0) return usable == 0 ? declined() : failed();
    Ref dtype = steal(PyObject_GetAttr(value, state.s_dtype.get()));
    if (!dtype) return failed();
    std::ptrdiff_t runs = 0;  // an empty array has no runs at all
    Mask mask;
    if (in.n > 0) {
        if (!mask.resize((in.n + 63) / 64)) {
            PyErr_NoMemory();
            return failed();
        }
        runs = mark_checked(in, mask.data());
        if (runs < 0) return declined();
    }
    // The results are made at their final size: a block of that size is usually one the
    // allocator has handed out before, so writing it costs no page faults.
    Ref values = steal(new_array(std::size_t(runs), dtype.get()));
    if (!values) return failed();
    Ref lengths = steal(new_array(std::size_t(runs), reinterpret_cast<PyObject*>(&PyLong_Type)));
    if (!lengths) return failed();
    if (runs > 0) {
        Output v, l;
        if (v.open(values.get(), in.kind == Kind::datetime) < 0 || l.open(lengths.get(), false) < 0)
            return failed();
        gather_runs(in, mask.data(), v.data, reinterpret_cast<std::int64_t*>(l.data));
    }
    return done(steal(PyTuple_Pack(2, values.get(), lengths.get())));
}

}  // namespace tarn::plinth::codec
