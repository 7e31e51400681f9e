// A growable array of plain values (the readers' reference tables, the
// encoder's owned strings). It grows with realloc, so a large table is extended in place or remapped by
// the allocator instead of being copied into fresh pages at each doubling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "utils/python.hpp"

namespace quarl {

// With `Inline` above zero, the first `Inline` items live in the array object
// itself: a per-call table that stays small (a small message's references)
// costs no allocation. Such an array must not move, which its deleted copy
// operations ensure.
template <typename T, size_t Inline = 0>
class GrowableArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    GrowableArray() noexcept {
        if constexpr (Inline != 0) {
            items_ = inline_.items;
            capacity_ = Inline;
        }
    }
    GrowableArray(const GrowableArray&) = delete;
    GrowableArray& operator=(const GrowableArray&) = delete;
    ~GrowableArray() {
        if (!in_place()) std::free(items_);
    }

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
    [[nodiscard]] bool in_place() const noexcept {
        if constexpr (Inline != 0) {
            return items_ == inline_.items;
        } else {
            return false;
        }
    }

    [[gnu::noinline]] bool grow() noexcept {
        if (capacity_ > SIZE_MAX / 2 / sizeof(T)) {
            PyErr_NoMemory();
            return false;
        }
        const size_t capacity = capacity_ < 32 ? 64 : capacity_ * 2;
        void* items = in_place() ? std::malloc(capacity * sizeof(T)) : std::realloc(items_, capacity * sizeof(T));
        if (items == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        if (in_place()) std::memcpy(items, items_, size_ * sizeof(T));
        items_ = static_cast<T*>(items);
        capacity_ = capacity;
        return true;
    }

    struct NoItems {};
    struct InlineItems {
        T items[Inline == 0 ? 1 : Inline];  // not cleared: only pushed items are read
    };

    T* items_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    [[no_unique_address]] std::conditional_t<Inline == 0, NoItems, InlineItems> inline_;
};

}  // namespace quarl
