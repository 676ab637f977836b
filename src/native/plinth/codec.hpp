// The element kernels of the run-length codec, compiled once per instruction set.
#pragma once
#include <cstddef>
#include <cstdint>

namespace plinth::codec {

// The element types the kernels handle. Neighbours are compared as numpy's first difference
// compares them: integers by equality, booleans by truth, floats by `b - a != 0` (so NaN and
// equal infinities differ while 0.0 and -0.0 agree), complex numbers part by part, and
// datetime64/timedelta64 by equality except that NaT differs from everything.
enum class Kind : std::uint8_t {
    boolean, int8, int16, int32, int64, float16, float32, float64, complex64, complex128, datetime,
    count
};

// Marks the run starts of a block of `m` elements at `p`, `stride` bytes apart: bit i of `mask`
// (i < m; (m + 63) / 64 words) is set when element i differs from element i - 1, which must
// exist at `p - stride`. Float kernels subtract as numpy does, so the floating-point status
// flags tell the caller whether numpy would have warned. Returns false when numpy's
// subtraction would report an error the kernel cannot (datetime overflow, float16 overflow):
// the caller then leaves the array to numpy.
using MarkFn = bool (*)(const char* p, std::ptrdiff_t stride, std::size_t m,
                        std::uint64_t* mask) noexcept;

// Writes value i (at `values + i * stride`) `lengths[i * lengths_step]` times, one after
// another, from `out` on; `end` is the end of the output, which the lengths fill exactly.
// A `lengths_step` of 0 repeats every value by `lengths[0]`.
using FillFn = void (*)(char* out, char* end, const char* values, std::ptrdiff_t stride,
                        const std::int64_t* lengths, std::ptrdiff_t lengths_step,
                        std::size_t n) noexcept;

struct Kernels {
    MarkFn contiguous[static_cast<int>(Kind::count)];  // for stride == item size
    MarkFn strided[static_cast<int>(Kind::count)];
    FillFn fill[5];  // by item size 1, 2, 4, 8, 16
    std::size_t (*count)(const std::uint64_t* mask, std::size_t words) noexcept;  // set bits
};

// Baseline x86-64 (SSE2) kernels, and AVX2 kernels for processors that have it.
const Kernels& baseline_kernels() noexcept;
const Kernels& avx2_kernels() noexcept;

}  // namespace plinth::codec
