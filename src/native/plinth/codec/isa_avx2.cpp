// Run-length codec kernels for x86-64 processors with AVX2.
//
// Written with intrinsics only (MSVC compiles them too); this file is compiled for AVX2 and
// POPCNT and its table is used only after a run-time check.
#include <immintrin.h>
#include <nmmintrin.h>

#include "kernel_templates.hpp"

namespace tarn::plinth::codec {
namespace {

inline __m256i load32(const char* p) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// A value of S bytes repeated over 32 bytes in one register.
template <std::size_t S>
struct Block {
    __m256i all;

    void make(const char* v) noexcept {
        if constexpr (S == 1) all = _mm256_set1_epi8(static_cast<char>(load<std::uint8_t>(v)));
        if constexpr (S == 2) all = _mm256_set1_epi16(static_cast<short>(load<std::uint16_t>(v)));
        if constexpr (S == 4) all = _mm256_set1_epi32(static_cast<int>(load<std::uint32_t>(v)));
        if constexpr (S == 8) all = _mm256_set1_epi64x(static_cast<long long>(load<std::uint64_t>(v)));
        if constexpr (S == 16)
            all = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v)));
    }
    void store(char* out) const noexcept { _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), all); }
};

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

struct Avx2 {
    template <std::size_t S>
    using Block = codec::Block<S>;
    static void prefetch(const char* p) noexcept { _mm_prefetch(p, _MM_HINT_T0); }
    // The intrinsic rather than std::popcount, whose copy compiled here for POPCNT could be
    // the one the linker keeps for every file.
    static int popcount(std::uint64_t word) noexcept { return static_cast<int>(_mm_popcnt_u64(word)); }
    using Booleans = codec::Booleans;
    using Bytes = codec::Bytes;
    using Shorts = codec::Shorts;
    using Ints = codec::Ints;
    using Longs = codec::Longs;
    using Floats = codec::Floats;
    using Doubles = codec::Doubles;
};

}  // namespace

const Kernels& avx2_kernels() noexcept {
    static const Kernels kernels = kernel_table<Avx2>();
    return kernels;
}

}  // namespace tarn::plinth::codec
