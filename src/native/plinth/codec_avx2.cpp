// Run-length codec kernels for processors with AVX2 (this file is compiled with -mavx2 and
// used only after a run-time check).
#include <immintrin.h>

#include "codec_kernels.hpp"

namespace plinth::codec {
namespace {

inline __m256i load32(const char* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Each kernel compares `lanes` elements at q with the elements one place before them.
struct Bytes {
    using Scalar = Equal<std::uint8_t>;
    static constexpr std::size_t size = 1;
    static constexpr unsigned lanes = 32;
    static std::uint32_t differs(const char* q) noexcept {
        return ~std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(load32(q - 1), load32(q))));
    }
};

struct Booleans {
    using Scalar = Truth;
    static constexpr std::size_t size = 1;
    static constexpr unsigned lanes = 32;
    static std::uint32_t differs(const char* q) noexcept {
        __m256i zero = _mm256_setzero_si256();
        __m256i a = _mm256_cmpeq_epi8(load32(q - 1), zero), b = _mm256_cmpeq_epi8(load32(q), zero);
        return std::uint32_t(_mm256_movemask_epi8(_mm256_xor_si256(a, b)));
    }
};

// Two vectors of 16 comparisons packed to bytes; packing works per 128-bit half, so the
// quarters are put back in order before taking the mask.
struct Shorts {
    using Scalar = Equal<std::uint16_t>;
    static constexpr std::size_t size = 2;
    static constexpr unsigned lanes = 32;
    static std::uint32_t differs(const char* q) noexcept {
        __m256i lo = _mm256_cmpeq_epi16(load32(q - 2), load32(q));
        __m256i hi = _mm256_cmpeq_epi16(load32(q + 30), load32(q + 32));
        __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi16(lo, hi), _MM_SHUFFLE(3, 1, 2, 0));
        return ~std::uint32_t(_mm256_movemask_epi8(packed));
    }
};

struct Ints {
    using Scalar = Equal<std::uint32_t>;
    static constexpr std::size_t size = 4;
    static constexpr unsigned lanes = 8;
    static std::uint32_t differs(const char* q) noexcept {
        __m256i eq = _mm256_cmpeq_epi32(load32(q - 4), load32(q));
        return ~_mm256_movemask_ps(_mm256_castsi256_ps(eq)) & 0xffu;
    }
};

struct Longs {
    using Scalar = Equal<std::uint64_t>;
    static constexpr std::size_t size = 8;
    static constexpr unsigned lanes = 4;
    static std::uint32_t differs(const char* q) noexcept {
        __m256i eq = _mm256_cmpeq_epi64(load32(q - 8), load32(q));
        return ~_mm256_movemask_pd(_mm256_castsi256_pd(eq)) & 0xfu;
    }
};

// _CMP_NEQ_UQ: a NaN difference counts as non-zero, and the quiet compare raises no flag.
struct Floats {
    using Scalar = Difference<float>;
    static constexpr std::size_t size = 4;
    static constexpr unsigned lanes = 8;
    static std::uint32_t differs(const char* q) noexcept {
        __m256 d = _mm256_sub_ps(_mm256_loadu_ps(reinterpret_cast<const float*>(q)),
                                 _mm256_loadu_ps(reinterpret_cast<const float*>(q - 4)));
        return _mm256_movemask_ps(_mm256_cmp_ps(d, _mm256_setzero_ps(), _CMP_NEQ_UQ));
    }
};

struct Doubles {
    using Scalar = Difference<double>;
    static constexpr std::size_t size = 8;
    static constexpr unsigned lanes = 4;
    static std::uint32_t differs(const char* q) noexcept {
        __m256d d = _mm256_sub_pd(_mm256_loadu_pd(reinterpret_cast<const double*>(q)),
                                  _mm256_loadu_pd(reinterpret_cast<const double*>(q - 8)));
        return _mm256_movemask_pd(_mm256_cmp_pd(d, _mm256_setzero_pd(), _CMP_NEQ_UQ));
    }
};

}  // namespace

const Kernels& avx2_kernels() noexcept {
    static const Kernels kernels =
        vector_kernels<Booleans, Bytes, Shorts, Ints, Longs, Floats, Doubles>();
    return kernels;
}

}  // namespace plinth::codec
