// A fixed inline buffer that moves to the heap when more room is asked for; never throws.
#pragma once
#include <Python.h>

#include <cstddef>
#include <type_traits>

namespace tarn {

template <class T, std::size_t N>
class SmallArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallArray() noexcept = default;
    SmallArray(const SmallArray&) = delete;
    SmallArray& operator=(const SmallArray&) = delete;
    ~SmallArray() { if (data_ != inline_) PyMem_Free(data_); }

    // Makes room for n elements (contents are not kept); false when memory ran out.
    bool resize(std::size_t n) noexcept {
        if (n > N) {
            if (data_ != inline_) PyMem_Free(data_);
            data_ = static_cast<T*>(PyMem_Malloc(n * sizeof(T)));
            if (!data_) { data_ = inline_; size_ = 0; return false; }
        }
        size_ = n;
        return true;
    }
    T* data() noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }

private:
    T inline_[N];
    T* data_ = inline_;
    std::size_t size_ = 0;
};

}  // namespace tarn
