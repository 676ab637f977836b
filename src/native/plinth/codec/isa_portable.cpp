// Run-length codec kernels in plain C++, for every processor.
//
// The choice where no instruction-set kernels exist (arm64 and others); the results are the
// same as every other set's, bit for bit.
#include "kernel_templates.hpp"

namespace tarn::plinth::codec {
namespace {

struct Portable {
    template <std::size_t S>
    using Block = PortableBlock<S>;
    static void prefetch(const char*) noexcept {}
    static int popcount(std::uint64_t word) noexcept { return std::popcount(word); }
};

}  // namespace

const Kernels& portable_kernels() noexcept {
    static const Kernels kernels = kernel_table<Portable>();
    return kernels;
}

}  // namespace tarn::plinth::codec
