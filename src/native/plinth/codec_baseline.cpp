// Run-length codec kernels for every x86-64 processor (SSE2).
#include <emmintrin.h>

#include "codec_kernels.hpp"

namespace plinth::codec {
namespace {

inline __m128i load16(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

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

}  // namespace

const Kernels& baseline_kernels() noexcept {
    static const Kernels kernels =
        vector_kernels<Booleans, Bytes, Shorts, Ints, Longs, Floats, Doubles>();
    return kernels;
}

}  // namespace plinth::codec
