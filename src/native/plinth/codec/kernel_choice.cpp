// The choice of the codec's kernel table, made once at load.
//
// The best table the processor supports, or the one the diagnostic environment variable
// TARN_CODEC_KERNEL names.
#include <cstdlib>
#include <cstring>

#include "kernels.hpp"

namespace tarn::plinth::codec {
namespace {

// The tables of this build, from the plainest to the best. A table is only built (its
// initialiser runs that instruction set's code) once `usable` has said yes.
struct Candidate {
    const char* name;
    const Kernels& (*table)() noexcept;
    bool (*usable)() noexcept;
};

bool everywhere() noexcept { return true; }

constexpr Candidate kCandidates[] = {
    {"portable", portable_kernels, everywhere},
#if defined(TARN_CODEC_X86)
    {"sse2", sse2_kernels, everywhere},  // every x86-64 processor has SSE2
    {"avx2", avx2_kernels, avx2_usable},
#endif
};

const char* requested() noexcept {
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)  // getenv is standard C++; MSVC prefers its own _dupenv_s
#endif
    return std::getenv("TARN_CODEC_KERNEL");
}

}  // namespace

Choice choose_kernels() noexcept {
    const Candidate* chosen = &kCandidates[0];
    for (const Candidate& c : kCandidates)
        if (c.usable()) chosen = &c;
    // Unknown names, and names of tables this processor cannot run, leave the choice as it is.
    if (const char* wanted = requested()) {
        for (const Candidate& c : kCandidates)
            if (std::strcmp(wanted, c.name) == 0 && c.usable()) chosen = &c;
    }
    return {&chosen->table(), chosen->name};
}

}  // namespace tarn::plinth::codec
