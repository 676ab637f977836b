// Kernel templates of the run-length codec, instantiated by one file per instruction set.
//
// Everything here has internal linkage, so each including file keeps its own copies compiled
// for its own instruction set (shared inline functions could be merged across them, and the
// linker could then hand an AVX2 copy to a processor without AVX2). For the same reason the
// templates call no inline function of the standard library whose result depends on the
// instruction set: bit tricks stay in integers, and counting set bits is the instruction set's
// own. The one such call, std::countr_zero in gather, is only made on nonzero words, where every
// x86-64 copy gives the same answer (bsf, or tzcnt, which processors without it run as bsf).
//
// An instruction set is described by a class `Isa` with
//   - `Isa::Block<S>`: 32 bytes holding a value of S bytes repeated, with `make(value)` and
//     `store(out)` (an unaligned 32-byte store);
//   - `Isa::prefetch(p)`: a hint that the line at p will be read soon (may do nothing);
//   - `Isa::popcount(word)`: the number of set bits;
//   - optionally the vector comparisons `Booleans`, `Bytes`, `Shorts`, `Ints`, `Longs`, `Floats`
//     and `Doubles` (see mark_vector), used for contiguous arrays of those element types.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "kernels.hpp"
#include "load.hpp"

namespace tarn::plinth::codec {
namespace {

constexpr std::int64_t kNaT = INT64_MIN;  // numpy's "not a time"

// One pair of neighbours at a time.
// differs(prev, cur, ok): whether `cur` starts a new run; clears `ok` when numpy's subtraction
// would raise or warn in a way the flags do not show.

template <class T>
struct Equal {
    static bool differs(const char* a, const char* b, bool&) noexcept { return load<T>(a) != load<T>(b); }
};

// numpy compares booleans by truth, whatever byte a boolean holds.
struct Truth {
    static bool differs(const char* a, const char* b, bool&) noexcept {
        return (load<std::uint8_t>(a) != 0) != (load<std::uint8_t>(b) != 0);
    }
};

// `b - a != 0` with the hardware subtraction, so infinities and signalling NaNs raise the same
// floating-point flags as numpy's own loop (`!=` is a quiet comparison: it raises nothing).
template <class T>
struct Difference {
    static bool differs(const char* a, const char* b, bool&) noexcept {
        T d = load<T>(b) - load<T>(a);
        return d != T(0);
    }
};

// Both parts are subtracted (no short cut), as numpy does, so both can raise flags.
template <class T>
struct ComplexDifference {
    static bool differs(const char* a, const char* b, bool&) noexcept {
        T dr = load<T>(b) - load<T>(a);
        T di = load<T>(b + sizeof(T)) - load<T>(a + sizeof(T));
        return (dr != T(0)) | (di != T(0));
    }
};

// float16 as numpy subtracts it: widened to float32 exactly (signalling NaNs stay signalling),
// subtracted, and narrowed again. Narrowing a difference beyond the float16 range is numpy's
// overflow warning, which no hardware flag shows here.
inline float half_to_float(std::uint16_t h) noexcept {
    std::uint32_t sign = std::uint32_t(h & 0x8000u) << 16;
    std::uint32_t exponent = (h >> 10) & 0x1fu;
    std::uint32_t significand = h & 0x3ffu;
    std::uint32_t bits;
    if (exponent == 0x1f) {
        bits = sign | 0x7f800000u | (significand << 13);
    } else if (exponent != 0) {
        bits = sign | ((exponent + 112) << 23) | (significand << 13);
    } else {
        float f = float(significand) * 0x1p-24f;  // exact: at most 10 bits, result normal or 0
        return sign ? -f : f;
    }
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Finite and larger in magnitude than float16's largest finite value, 65504, read from the
// bits (a comparison with a NaN would raise the invalid flag).
constexpr std::uint32_t kHalfMaxBits = 0x477fe000u;
static_assert(std::bit_cast<std::uint32_t>(65504.0f) == kHalfMaxBits);
inline bool beyond_half(float d) noexcept {
    std::uint32_t magnitude = load<std::uint32_t>(reinterpret_cast<const char*>(&d)) & 0x7fffffffu;
    return magnitude > kHalfMaxBits && magnitude < 0x7f800000u;
}

struct HalfDifference {
    static bool differs(const char* a, const char* b, bool& ok) noexcept {
        float d = half_to_float(load<std::uint16_t>(b)) - half_to_float(load<std::uint16_t>(a));
        if (beyond_half(d)) ok = false;
        return d != 0.0f;
    }
};

// datetime64/timedelta64 as int64 ticks: NaT minus anything is NaT, which is non-zero. numpy
// 2.5 reports an overflowing subtraction (a result that wraps or lands on NaT) as an error.
struct Ticks {
    static bool differs(const char* a, const char* b, bool& ok) noexcept {
        std::int64_t x = load<std::int64_t>(a), y = load<std::int64_t>(b);
        if (x == y) return x == kNaT;
        if (x != kNaT && y != kNaT) {
            // y - x in wrapping arithmetic; it overflowed when x and y have different signs and
            // the result's sign is not y's.
            std::uint64_t ux = std::uint64_t(x), uy = std::uint64_t(y), ud = uy - ux;
            bool overflow = ((uy ^ ux) & (uy ^ ud)) >> 63;
            if (overflow || std::int64_t(ud) == kNaT) ok = false;
        }
        return true;
    }
};

// Compares the m elements at p with their predecessors, one pair at a time. `Size` is the
// stride when it is known at compile time (contiguous arrays), 0 when `stride` says it.
template <class C, std::size_t Size = 0>
bool mark_scalar(const char* p, std::ptrdiff_t stride, std::size_t m, std::uint64_t* mask) noexcept {
    if constexpr (Size != 0) stride = std::ptrdiff_t(Size);
    bool ok = true;
    for (std::size_t w = 0; w * 64 < m; ++w) {
        std::size_t limit = m - w * 64 < 64 ? m - w * 64 : 64;
        const char* cur = p + std::ptrdiff_t(w * 64) * stride;
        std::uint64_t bits = 0;
        for (std::size_t j = 0; j < limit; ++j, cur += stride)
            bits |= std::uint64_t(C::differs(cur - stride, cur, ok)) << j;
        mask[w] = bits;
    }
    return ok;
}

// A vector kernel V compares `V::lanes` neighbours at once: V::differs(q) gives one bit per
// element q[0..lanes) telling whether it differs from the element before it. Whole words of
// 64 elements go through V, the rest of the block through V's scalar twin.
template <class V>
bool mark_vector(const char* p, std::ptrdiff_t, std::size_t m, std::uint64_t* mask) noexcept {
    constexpr std::size_t size = V::size;
    std::size_t w = 0;
    for (; (w + 1) * 64 <= m; ++w) {
        const char* q = p + w * 64 * size;
        std::uint64_t bits = 0;
        for (unsigned j = 0; j < 64; j += V::lanes) bits |= std::uint64_t(V::differs(q + j * size)) << j;
        mask[w] = bits;
    }
    if (w * 64 < m)
        return mark_scalar<typename V::Scalar, size>(p + w * 64 * size, std::ptrdiff_t(size), m - w * 64, mask + w);
    return true;
}

// Compress's second pass: run starts to values and lengths.

// The second pass reads the run starts of a word with irregular gaps, which the hardware
// prefetchers follow poorly once the array is beyond the caches: for elements of 8 bytes and
// more, the lines of the (whole) word kAhead words on, 4 kB ahead for float64, are asked for
// in advance where the instruction set has a prefetch (10-15% faster at 1e6 float64 on x86-64;
// no gain for int32).
constexpr std::size_t kAhead = 8;

template <class Isa, std::size_t S, bool Contiguous>
void gather(const char* data, std::ptrdiff_t stride, std::size_t n, std::uint64_t* mask, char* values,
            std::int64_t* lengths) noexcept {
    if constexpr (Contiguous) stride = std::ptrdiff_t(S);
    const std::size_t words = (n + 63) / 64;
    std::memcpy(values, data, S);
    values += S;
    std::size_t previous = 0;
    mask[0] &= ~std::uint64_t(1);
    for (std::size_t w = 0; w < words; ++w) {
        if constexpr (Contiguous && S >= 8) {
            if (w + kAhead + 1 < words) {
                const char* ahead = data + (w + kAhead) * 64 * S;
                for (std::size_t line = 0; line < S; ++line) Isa::prefetch(ahead + line * 64);
            }
        }
        for (std::uint64_t bits = mask[w]; bits; bits &= bits - 1) {
            std::size_t at = w * 64 + std::size_t(std::countr_zero(bits));
            *lengths++ = std::int64_t(at - previous);
            std::memcpy(values, data + std::ptrdiff_t(at) * stride, S);
            values += S;
            previous = at;
        }
    }
    *lengths = std::int64_t(n - previous);
}

// Decompress: runs written with 32-byte stores of the repeated value.

// A value of S bytes repeated over 32 bytes in plain C++: an unsigned integer times a constant
// with a one in every lane puts a copy in each lane, whatever the byte order.
template <std::size_t S>
struct PortableBlock {
    std::uint64_t word[4];

    void make(const char* v) noexcept {
        if constexpr (S == 16) {
            std::uint64_t lo = load<std::uint64_t>(v), hi = load<std::uint64_t>(v + 8);
            word[0] = word[2] = lo;
            word[1] = word[3] = hi;
        } else {
            std::uint64_t x;
            if constexpr (S == 1) x = load<std::uint8_t>(v) * 0x0101010101010101u;
            if constexpr (S == 2) x = load<std::uint16_t>(v) * 0x0001000100010001u;
            if constexpr (S == 4) x = load<std::uint32_t>(v) * 0x0000000100000001u;
            if constexpr (S == 8) x = load<std::uint64_t>(v);
            word[0] = word[1] = word[2] = word[3] = x;
        }
    }
    void store(char* out) const noexcept { std::memcpy(out, word, 32); }
};

// A short run is written as 128 bytes even when it is shorter: the bytes past its end belong
// to the runs that follow, which overwrite them. Only the last 128 bytes of the output are
// written exactly. A run never writes past `end`, even if the lengths changed meanwhile.
// Writing 64 bytes for runs that fit would be quicker only while the output is in the cache;
// otherwise touching the next lines early pays (about twice as fast at 800 kB, measured).
template <class Isa, std::size_t S, std::ptrdiff_t Step>
void fill_runs(char* out, char* end, const char* values, std::ptrdiff_t stride, const std::int64_t* lengths,
               std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i, values += stride, lengths += Step) {
        std::size_t room = std::size_t(end - out);
        std::size_t bytes = std::size_t(*lengths) * S;
        if (bytes > room) bytes = room;
        typename Isa::template Block<S> block;
        block.make(values);
        if (bytes <= 128 && room >= 128) [[likely]] {
            block.store(out);
            block.store(out + 32);
            block.store(out + 64);
            block.store(out + 96);
        } else if (bytes >= 32) {
            char* last = out + bytes - 32;  // the period is S, so this store stays in phase
            for (char* q = out; q < last; q += 32) block.store(q);
            block.store(last);
        } else {
            for (std::size_t j = 0; j < bytes; j += S) std::memcpy(out + j, values, S);
        }
        out += bytes;
    }
}

template <class Isa, std::size_t S>
void fill(char* out, char* end, const char* values, std::ptrdiff_t stride, const std::int64_t* lengths,
          std::ptrdiff_t lengths_step, std::size_t n) noexcept {
    if (lengths_step) fill_runs<Isa, S, 1>(out, end, values, stride, lengths, n);
    else fill_runs<Isa, S, 0>(out, end, values, stride, lengths, n);
}

template <class Isa>
std::size_t count_bits(const std::uint64_t* mask, std::size_t words) noexcept {
    std::size_t count = 0;
    for (std::size_t w = 0; w < words; ++w) count += std::size_t(Isa::popcount(mask[w]));
    return count;
}

// The table of one instruction set.

// The mark kernels of one element type: pair by pair for strided arrays, and for contiguous
// ones the instruction set's vector comparison V when it has one.
template <class C, std::size_t Size, class V = void>
void set_mark(Kernels& k, Kind kind) noexcept {
    int i = static_cast<int>(kind);
    k.mark_strided[i] = mark_scalar<C>;
    if constexpr (std::is_void_v<V>) k.mark_contiguous[i] = mark_scalar<C, Size>;
    else k.mark_contiguous[i] = mark_vector<V>;
}

template <class Isa, std::size_t S>
void set_size(Kernels& k) noexcept {
    constexpr int i = size_index(S);
    k.gather_contiguous[i] = gather<Isa, S, true>;
    k.gather_strided[i] = gather<Isa, S, false>;
    k.fill[i] = fill<Isa, S>;
}

template <class Isa>
concept HasVectors = requires {
    typename Isa::Booleans;
    typename Isa::Bytes;
    typename Isa::Shorts;
    typename Isa::Ints;
    typename Isa::Longs;
    typename Isa::Floats;
    typename Isa::Doubles;
};

template <class Isa>
Kernels kernel_table() noexcept {
    Kernels k{};
    if constexpr (HasVectors<Isa>) {
        set_mark<Truth, 1, typename Isa::Booleans>(k, Kind::boolean);
        set_mark<Equal<std::uint8_t>, 1, typename Isa::Bytes>(k, Kind::int8);
        set_mark<Equal<std::uint16_t>, 2, typename Isa::Shorts>(k, Kind::int16);
        set_mark<Equal<std::uint32_t>, 4, typename Isa::Ints>(k, Kind::int32);
        set_mark<Equal<std::uint64_t>, 8, typename Isa::Longs>(k, Kind::int64);
        set_mark<Difference<float>, 4, typename Isa::Floats>(k, Kind::float32);
        set_mark<Difference<double>, 8, typename Isa::Doubles>(k, Kind::float64);
    } else {
        set_mark<Truth, 1>(k, Kind::boolean);
        set_mark<Equal<std::uint8_t>, 1>(k, Kind::int8);
        set_mark<Equal<std::uint16_t>, 2>(k, Kind::int16);
        set_mark<Equal<std::uint32_t>, 4>(k, Kind::int32);
        set_mark<Equal<std::uint64_t>, 8>(k, Kind::int64);
        set_mark<Difference<float>, 4>(k, Kind::float32);
        set_mark<Difference<double>, 8>(k, Kind::float64);
    }
    set_mark<HalfDifference, 2>(k, Kind::float16);
    set_mark<ComplexDifference<float>, 8>(k, Kind::complex64);
    set_mark<ComplexDifference<double>, 16>(k, Kind::complex128);
    set_mark<Ticks, 8>(k, Kind::datetime);
    set_size<Isa, 1>(k);
    set_size<Isa, 2>(k);
    set_size<Isa, 4>(k);
    set_size<Isa, 8>(k);
    set_size<Isa, 16>(k);
    k.count = count_bits<Isa>;
    return k;
}

}  // namespace
}  // namespace tarn::plinth::codec
