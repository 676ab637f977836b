// An array of trivially copyable elements kept inline up to N of them, on the heap beyond.
#pragma once
#include <Python.h>

#include <cstddef>
#include <type_traits>

namespace tarn {

// For the scratch arrays of one call (argument vectors, bit masks): no allocation in the
// common case, never throws; the heap block, if any, is freed with the array.
template <class T, std::size_t N>
class SmallArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallArray() noexcept = default;
    SmallArray(const SmallArray&) = delete;
    SmallArray& operator=(const SmallArray&) = delete;
    ~SmallArray() { free_heap(); }

    // Makes room for n elements (contents are not kept, nor initialised); false, with size 0
    // and no exception set, when memory ran out or n is beyond any allocation.
    bool resize(std::size_t n) noexcept {
        if (n > N) {
            free_heap();
            if (n <= std::size_t(PY_SSIZE_T_MAX) / sizeof(T))
                data_ = static_cast<T*>(PyMem_Malloc(n * sizeof(T)));
            if (data_ == inline_ || !data_) {
                data_ = inline_;
                size_ = 0;
                return false;
            }
        }
        size_ = n;
        return true;
    }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    void free_heap() noexcept {
        if (data_ != inline_) PyMem_Free(data_);
        data_ = inline_;
    }

    T inline_[N];
    T* data_ = inline_;
    std::size_t size_ = 0;
};

}  // namespace tarn
