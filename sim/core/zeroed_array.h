// A fixed-size array that starts as all zero bytes without writing them:
// large ones come as fresh pages of the process, which cost nothing until
// touched. The core's tables are megabytes (a decoded entry for every word
// of a flash, a region number for every 4 KiB page of the address space)
// and only a few kilobytes of them are ever used; filling them by hand
// cost every start of the simulator thousands of page faults. T must be an
// object whose value with all bytes zero is a valid one.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace sim::core {

template <typename T>
class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    ZeroedArray() = default;
    explicit ZeroedArray(size_t n) { allocate(n); }
    // n elements, all zero bytes; what was there before is dropped.
    void allocate(size_t n)
    {
        void *p = n ? std::calloc(n, sizeof(T)) : nullptr;
        if (n && !p) throw std::bad_alloc();
        data_.reset(static_cast<T *>(p));
        size_ = n;
    }
    void clear()
    {
        data_.reset();
        size_ = 0;
    }
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    T *data() { return data_.get(); }
    const T *data() const { return data_.get(); }
    T &operator[](size_t i) { return data_.get()[i]; }
    const T &operator[](size_t i) const { return data_.get()[i]; }

private:
    struct Free {
        void operator()(T *p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    size_t size_ = 0;
};

}  // namespace sim::core
