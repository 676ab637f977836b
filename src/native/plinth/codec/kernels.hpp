// The kernel table of the run-length codec: one per instruction set, chosen once at load.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tarn::plinth::codec {

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

// The second pass of compress over n elements at `data`: `mask` has one bit per element, set
// where a run starts (bit 0 included). Copies the first element of every run to `values`,
// one after another, and the length of every run to `lengths`. Clears bit 0.
using GatherFn = void (*)(const char* data, std::ptrdiff_t stride, std::size_t n,
                          std::uint64_t* mask, char* values, std::int64_t* lengths) noexcept;

// Writes value i (at `values + i * stride`) `lengths[i * lengths_step]` times, one after
// another, from `out` on; `end` is the end of the output, which the lengths fill exactly.
// A `lengths_step` of 0 repeats every value by `lengths[0]`.
using FillFn = void (*)(char* out, char* end, const char* values, std::ptrdiff_t stride,
                        const std::int64_t* lengths, std::ptrdiff_t lengths_step,
                        std::size_t n) noexcept;

// The number of set bits in `words` words of a mask.
using CountFn = std::size_t (*)(const std::uint64_t* mask, std::size_t words) noexcept;

constexpr int kKinds = static_cast<int>(Kind::count);
constexpr int kItemSizes = 5;  // tables by item size: 1, 2, 4, 8, 16 bytes

struct Kernels {
    MarkFn mark_contiguous[kKinds];            // for stride == item size
    MarkFn mark_strided[kKinds];
    GatherFn gather_contiguous[kItemSizes];
    GatherFn gather_strided[kItemSizes];
    FillFn fill[kItemSizes];
    CountFn count;
};

// The index of an item size (1, 2, 4, 8 or 16 bytes) in the tables above.
constexpr int size_index(std::size_t size) noexcept {
    return size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : size == 8 ? 3 : 4;
}

// Plain C++ kernels, for every processor; the x86-64 kernels: SSE2 (every x86-64 processor)
// and AVX2. Only the portable table exists everywhere: the others are built only on x86-64
// (TARN_CODEC_X86 is then defined), and the AVX2 one may be used only where avx2_usable().
const Kernels& portable_kernels() noexcept;
const Kernels& sse2_kernels() noexcept;
const Kernels& avx2_kernels() noexcept;

// Whether the processor has AVX2 and POPCNT and the operating system saves the AVX registers.
bool avx2_usable() noexcept;

// The table for this process and its name: the best one the processor supports, or the one
// the diagnostic environment variable TARN_CODEC_KERNEL names ("portable", "sse2", "avx2")
// when that one is available here (any other value is ignored).
struct Choice {
    const Kernels* kernels;
    const char* name;
};
Choice choose_kernels() noexcept;

}  // namespace tarn::plinth::codec
