// Run-length codec kernels for every x86-64 processor (SSE2), written with intrinsics only.
#include <emmintrin.h>
#include <xmmintrin.h>

#include "kernel_templates.hpp"

namespace tarn::plinth::codec {
namespace {

inline __m128i load16(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// A value of S bytes repeated over 32 bytes, held as one 16-byte register stored twice.
template <std::size_t S>
struct Block {
    __m128i half;

    void make(const char* v) noexcept {
        if constexpr (S == 1) half = _mm_set1_epi8(static_cast<char>(load<std::uint8_t>(v)));
        if constexpr (S == 2) half = _mm_set1_epi16(static_cast<short>(load<std::uint16_t>(v)));
        if constexpr (S == 4) half = _mm_set1_epi32(static_cast<int>(load<std::uint32_t>(v)));
        if constexpr (S == 8) half = _mm_set1_epi64x(static_cast<long long>(load<std::uint64_t>(v)));
        if constexpr (S == 16) half = load16(v);
    }
    void store(char* out) const noexcept {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), half);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), half);
    }
};

// Each kernel compares `lanes` elements at q with the elements one place before them.
struct Bytes {
    using Scalar = Equal<std::uint8_t>;
    static constexpr std::size_t size = 1;
    static constexpr unsigned lanes = 16;
    static std::uint32_t differs(const char* q) noexcept {
        return ~_mm_movemask_epi8(_mm_cmpeq_epi8(load16(q - 1), load16(q))) & 0xffffu;
    }
};

struct Booleans {
    using Scalar = Truth;
    static constexpr std::size_t size = 1;
    static constexpr unsigned lanes = 16;
    static std::uint32_t differs(const char* q) noexcept {
        __m128i zero = _mm_setzero_si128();
        __m128i a = _mm_cmpeq_epi8(load16(q - 1), zero), b = _mm_cmpeq_epi8(load16(q), zero);
        return _mm_movemask_epi8(_mm_xor_si128(a, b));
    }
};

struct Shorts {
    using Scalar = Equal<std::uint16_t>;
    static constexpr std::size_t size = 2;
    static constexpr unsigned lanes = 16;
    static std::uint32_t differs(const char* q) noexcept {
        __m128i lo = _mm_cmpeq_epi16(load16(q - 2), load16(q));
        __m128i hi = _mm_cmpeq_epi16(load16(q + 14), load16(q + 16));
        return ~_mm_movemask_epi8(_mm_packs_epi16(lo, hi)) & 0xffffu;
    }
};

struct Ints {
    using Scalar = Equal<std::uint32_t>;
    static constexpr std::size_t size = 4;
    static constexpr unsigned lanes = 4;
    static std::uint32_t differs(const char* q) noexcept {
        __m128i eq = _mm_cmpeq_epi32(load16(q - 4), load16(q));
        return ~_mm_movemask_ps(_mm_castsi128_ps(eq)) & 0xfu;
    }
};

struct Longs {
    using Scalar = Equal<std::uint64_t>;
    static constexpr std::size_t size = 8;
    static constexpr unsigned lanes = 2;
    static std::uint32_t differs(const char* q) noexcept {
        __m128i eq = _mm_cmpeq_epi32(load16(q - 8), load16(q));
        eq = _mm_and_si128(eq, _mm_shuffle_epi32(eq, _MM_SHUFFLE(2, 3, 0, 1)));  // both halves equal
        return ~_mm_movemask_pd(_mm_castsi128_pd(eq)) & 0x3u;
    }
};

// cmpneq is the unordered "not equal": a NaN difference counts as non-zero.
struct Floats {
    using Scalar = Difference<float>;
    static constexpr std::size_t size = 4;
    static constexpr unsigned lanes = 4;
    static std::uint32_t differs(const char* q) noexcept {
        __m128 d = _mm_sub_ps(_mm_loadu_ps(reinterpret_cast<const float*>(q)),
                              _mm_loadu_ps(reinterpret_cast<const float*>(q - 4)));
        return _mm_movemask_ps(_mm_cmpneq_ps(d, _mm_setzero_ps()));
    }
};

struct Doubles {
    using Scalar = Difference<double>;
    static constexpr std::size_t size = 8;
    static constexpr unsigned lanes = 2;
    static std::uint32_t differs(const char* q) noexcept {
        __m128d d = _mm_sub_pd(_mm_loadu_pd(reinterpret_cast<const double*>(q)),
                               _mm_loadu_pd(reinterpret_cast<const double*>(q - 8)));
        return _mm_movemask_pd(_mm_cmpneq_pd(d, _mm_setzero_pd()));
    }
};

struct Sse2 {
    template <std::size_t S>
    using Block = codec::Block<S>;
    static void prefetch(const char* p) noexcept { _mm_prefetch(p, _MM_HINT_T0); }
    static int popcount(std::uint64_t word) noexcept { return std::popcount(word); }
    using Booleans = codec::Booleans;
    using Bytes = codec::Bytes;
    using Shorts = codec::Shorts;
    using Ints = codec::Ints;
    using Longs = codec::Longs;
    using Floats = codec::Floats;
    using Doubles = codec::Doubles;
};

}  // namespace

const Kernels& sse2_kernels() noexcept {
    static const Kernels kernels = kernel_table<Sse2>();
    return kernels;
}

}  // namespace tarn::plinth::codec
