// A growable array of plain values (the readers' reference tables, the
// encoder's owned strings). It grows with realloc, so a large table is extended in place or remapped by
// the allocator instead of being copied into fresh pages at each doubling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "utils/python.hpp"

namespace quarl {

template <typename T>
class GrowableArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    GrowableArray() noexcept = default;
    GrowableArray(const GrowableArray&) = delete;
    GrowableArray& operator=(const GrowableArray&) = delete;
    ~GrowableArray() { std::free(items_); }

    // False with MemoryError set when the array cannot grow.
    [[nodiscard]] bool push_back(T item) noexcept {
        if (size_ == capacity_) [[unlikely]] {
            if (!grow()) return false;
        }
        items_[size_++] = item;
        return true;
    }

    // Drops the items from `size` on.
    void truncate(size_t size) noexcept {
        if (size < size_) size_ = size;
    }

    [[nodiscard]] size_t size() const noexcept { return size_; }
    [[nodiscard]] T& operator[](size_t i) noexcept { return items_[i]; }
    [[nodiscard]] const T& operator[](size_t i) const noexcept { return items_[i]; }
    [[nodiscard]] const T* begin() const noexcept { return items_; }
    [[nodiscard]] const T* end() const noexcept { return items_ + size_; }

private:
    [[gnu::noinline]] bool grow() noexcept {
        if (capacity_ > SIZE_MAX / 2 / sizeof(T)) {
            PyErr_NoMemory();
            return false;
        }
        const size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        void* items = std::realloc(items_, capacity * sizeof(T));
        if (items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        items_ = static_cast<T*>(items);
        capacity_ = capacity;
        return true;
    }

    T* items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace quarl
