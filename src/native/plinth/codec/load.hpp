// Reading a value of any trivially copyable type from memory of any alignment.
//
// Internal linkage on purpose: each including file keeps its own copy, compiled for its own
// instruction set (see kernel_templates.hpp), so the linker never hands one file's copy to another.
#pragma once
#include <cstring>

namespace tarn::plinth::codec {
namespace {

template <class T>
T load(const char* p) noexcept {
    T x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

}  // namespace
}  // namespace tarn::plinth::codec
