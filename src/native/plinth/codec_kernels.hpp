// Kernel templates of the run-length codec, included by one file per instruction set.
// Everything here has internal linkage, so each including file keeps its own copies compiled
// for its own instruction set (shared inline functions could be merged across them).
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec.hpp"

namespace plinth::codec {
namespace {

constexpr std::int64_t kNaT = INT64_MIN;  // numpy's "not a time"

template <class T>
T load(const char* p) noexcept {
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// --- one pair of neighbours at a time ---------------------------------------------------------
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
// floating-point flags as numpy's own loop.
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

struct HalfDifference {
    static bool differs(const char* a, const char* b, bool& ok) noexcept {
        float d = half_to_float(load<std::uint16_t>(b)) - half_to_float(load<std::uint16_t>(a));
        if (std::isfinite(d) && std::fabs(d) > 65504.0f) ok = false;
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
            std::int64_t d;
            if (__builtin_sub_overflow(y, x, &d) || d == kNaT) ok = false;
        }
        return true;
    }
};

template <class C>
bool mark_scalar(const char* p, std::ptrdiff_t stride, std::size_t m, std::uint64_t* mask) noexcept {
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
    if (w * 64 < m) return mark_scalar<typename V::Scalar>(p + w * 64 * size, size, m - w * 64, mask + w);
    return true;
}

// --- decompress: runs written with 32-byte stores of the repeated value ------------------------

template <std::size_t S>
struct Pattern;
#define PLINTH_PATTERN(S, T)                                                          \
    template <>                                                                      \
    struct Pattern<S> {                                                              \
        typedef T V __attribute__((vector_size(32)));                                \
        static void make(V& out, const char* v) noexcept { out = V{} + load<T>(v); } \
    };
PLINTH_PATTERN(1, std::uint8_t)
PLINTH_PATTERN(2, std::uint16_t)
PLINTH_PATTERN(4, std::uint32_t)
PLINTH_PATTERN(8, std::uint64_t)
#undef PLINTH_PATTERN
template <>
struct Pattern<16> {
    typedef std::uint64_t V __attribute__((vector_size(32)));
    static void make(V& out, const char* v) noexcept {
        std::uint64_t lo = load<std::uint64_t>(v), hi = load<std::uint64_t>(v + 8);
        out = V{lo, hi, lo, hi};
    }
};

template <class V>
inline void store32(char* out, const V& pattern) noexcept {
    std::memcpy(out, &pattern, 32);
}

// A short run is written as 128 bytes even when it is shorter: the bytes past its end belong
// to the runs that follow, which overwrite them. Only the last 128 bytes of the output are
// written exactly. A run never writes past `end`, even if the lengths changed meanwhile.
// Writing 64 bytes for runs that fit would be quicker only while the output is in the cache;
// otherwise touching the next lines early pays (about twice as fast at 800 kB, measured).
template <std::size_t S, std::ptrdiff_t Step>
void fill_runs(char* out, char* end, const char* values, std::ptrdiff_t stride, const std::int64_t* lengths,
               std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i, values += stride, lengths += Step) {
        std::size_t room = std::size_t(end - out);
        std::size_t bytes = std::size_t(*lengths) * S;
        if (bytes > room) bytes = room;
        typename Pattern<S>::V pattern;  // 32 bytes of the value repeated (filled by reference:
        Pattern<S>::make(pattern, values);  // a 32-byte return value would depend on the ISA's ABI)
        if (bytes <= 128 && room >= 128) [[likely]] {
            store32(out, pattern);
            store32(out + 32, pattern);
            store32(out + 64, pattern);
            store32(out + 96, pattern);
        } else if (bytes >= 32) {
            char* last = out + bytes - 32;  // the period is S, so this store stays in phase
            for (char* q = out; q < last; q += 32) store32(q, pattern);
            store32(last, pattern);
        } else {
            for (std::size_t j = 0; j < bytes; j += S) std::memcpy(out + j, values, S);
        }
        out += bytes;
    }
}

template <std::size_t S>
void fill(char* out, char* end, const char* values, std::ptrdiff_t stride, const std::int64_t* lengths,
          std::ptrdiff_t lengths_step, std::size_t n) noexcept {
    if (lengths_step) fill_runs<S, 1>(out, end, values, stride, lengths, n);
    else fill_runs<S, 0>(out, end, values, stride, lengths, n);
}

inline std::size_t count_bits(const std::uint64_t* mask, std::size_t words) noexcept {
    std::size_t count = 0;
    for (std::size_t w = 0; w < words; ++w) count += std::size_t(__builtin_popcountll(mask[w]));
    return count;
}

// The scalar kernels, shared by every instruction set: strided arrays and the element types
// without a vector kernel.
inline void set_scalar_kernels(Kernels& k) noexcept {
    auto at = [](Kind kind) { return static_cast<int>(kind); };
    k.strided[at(Kind::boolean)] = mark_scalar<Truth>;
    k.strided[at(Kind::int8)] = mark_scalar<Equal<std::uint8_t>>;
    k.strided[at(Kind::int16)] = mark_scalar<Equal<std::uint16_t>>;
    k.strided[at(Kind::int32)] = mark_scalar<Equal<std::uint32_t>>;
    k.strided[at(Kind::int64)] = mark_scalar<Equal<std::uint64_t>>;
    k.strided[at(Kind::float16)] = mark_scalar<HalfDifference>;
    k.strided[at(Kind::float32)] = mark_scalar<Difference<float>>;
    k.strided[at(Kind::float64)] = mark_scalar<Difference<double>>;
    k.strided[at(Kind::complex64)] = mark_scalar<ComplexDifference<float>>;
    k.strided[at(Kind::complex128)] = mark_scalar<ComplexDifference<double>>;
    k.strided[at(Kind::datetime)] = mark_scalar<Ticks>;
    for (int i = 0; i < at(Kind::count); ++i) k.contiguous[i] = k.strided[i];
    k.fill[0] = fill<1>;
    k.fill[1] = fill<2>;
    k.fill[2] = fill<4>;
    k.fill[3] = fill<8>;
    k.fill[4] = fill<16>;
    k.count = count_bits;
}

// The table of one instruction set: its vector kernels for contiguous arrays of the element
// types it has one for (the comparison types of the including file), scalar kernels elsewhere.
template <class Booleans, class Bytes, class Shorts, class Ints, class Longs, class Floats, class Doubles>
Kernels vector_kernels() noexcept {
    Kernels k{};
    set_scalar_kernels(k);
    auto at = [](Kind kind) { return static_cast<int>(kind); };
    k.contiguous[at(Kind::boolean)] = mark_vector<Booleans>;
    k.contiguous[at(Kind::int8)] = mark_vector<Bytes>;
    k.contiguous[at(Kind::int16)] = mark_vector<Shorts>;
    k.contiguous[at(Kind::int32)] = mark_vector<Ints>;
    k.contiguous[at(Kind::int64)] = mark_vector<Longs>;
    k.contiguous[at(Kind::float32)] = mark_vector<Floats>;
    k.contiguous[at(Kind::float64)] = mark_vector<Doubles>;
    return k;
}

}  // namespace
}  // namespace plinth::codec
