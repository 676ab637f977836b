// Run-time AVX2 detection on x86-64: what the processor and the operating system support.
//
// Compiled only for x86-64: cpuid and xgetbv through <cpuid.h> and inline assembly with GCC
// and Clang, through <intrin.h> with MSVC.
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

#include "kernels.hpp"

namespace tarn::plinth::codec {
namespace {

struct Registers {
    std::uint32_t eax, ebx, ecx, edx;
};

Registers cpuid(std::uint32_t leaf, std::uint32_t subleaf) noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
    return {std::uint32_t(r[0]), std::uint32_t(r[1]), std::uint32_t(r[2]), std::uint32_t(r[3])};
#else
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, subleaf, a, b, c, d);
    return {a, b, c, d};
#endif
}

// XCR0: the register states the operating system saves on a context switch. Read only after
// cpuid has reported OSXSAVE (otherwise xgetbv faults).
std::uint64_t xcr0() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t(hi) << 32) | lo;
#endif
}

bool bit(std::uint32_t word, int i) noexcept { return (word >> i) & 1u; }

}  // namespace

bool avx2_usable() noexcept {
    if (cpuid(0, 0).eax < 7) return false;
    Registers one = cpuid(1, 0);
    if (!bit(one.ecx, 23) || !bit(one.ecx, 27) || !bit(one.ecx, 28)) return false;  // POPCNT, OSXSAVE, AVX
    if ((xcr0() & 0x6u) != 0x6u) return false;  // the OS saves the SSE and AVX registers
    return bit(cpuid(7, 0).ebx, 5);             // AVX2
}

}  // namespace tarn::plinth::codec
