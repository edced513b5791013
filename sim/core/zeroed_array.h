// A fixed-size array that starts as all zero bytes without writing them:
// it is a private mapping of its own, whose pages cost nothing until
// touched. The core's tables are megabytes (a decoded entry for every word
// of a flash, a region number for every 4 KiB page of the address space)
// and only a few kilobytes of them are ever used; filling them by hand
// cost every start of the simulator thousands of page faults. zero() makes
// it all zero again by giving the pages back, which costs what was touched
// rather than the whole size (a snapshot restore forgets the decoded code
// this way, again and again while a debugger goes back). T must be an
// object whose value with all bytes zero is a valid one.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace sim::core {

template <typename T>
class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    ZeroedArray() = default;
    explicit ZeroedArray(size_t n) { allocate(n); }
    ZeroedArray(ZeroedArray &&o) noexcept { swap(o); }
    ZeroedArray &operator=(ZeroedArray &&o) noexcept
    {
        ZeroedArray gone(std::move(*this));
        swap(o);
        return *this;
    }
    ~ZeroedArray() { clear(); }
    void swap(ZeroedArray &o) noexcept
    {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
    }

    // n elements, all zero bytes; what was there before is dropped.
    void allocate(size_t n)
    {
        clear();
        if (n == 0) return;
        void *p = ::mmap(nullptr, n * sizeof(T), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<T *>(p);
        size_ = n;
    }
    void clear()
    {
        if (data_) ::munmap(data_, size_ * sizeof(T));
        data_ = nullptr;
        size_ = 0;
    }
    // All zero bytes again, the size kept.
    void zero()
    {
        if (data_ && ::madvise(data_, size_ * sizeof(T), MADV_DONTNEED) != 0)
            std::memset(static_cast<void *>(data_), 0, size_ * sizeof(T));
    }
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    T *data() { return data_; }
    const T *data() const { return data_; }
    T &operator[](size_t i) { return data_[i]; }
    const T &operator[](size_t i) const { return data_[i]; }

private:
    T *data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace sim::core
