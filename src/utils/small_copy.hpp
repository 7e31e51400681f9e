// Copying and comparing short byte runs inline: most strings in real data are
// a few dozen bytes, where a library call costs more than the work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quarl {

// memcpy for non-overlapping ranges, inlined for n <= 16.
inline void copy_bytes(void* destination, const void* source, size_t n) noexcept {
    auto* out = static_cast<uint8_t*>(destination);
    const auto* in = static_cast<const uint8_t*>(source);
    if (n >= 8 && n <= 16) {
        uint64_t head;
        uint64_t tail;
        std::memcpy(&head, in, 8);
        std::memcpy(&tail, in + n - 8, 8);
        std::memcpy(out, &head, 8);
        std::memcpy(out + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t head;
        uint32_t tail;
        std::memcpy(&head, in, 4);
        std::memcpy(&tail, in + n - 4, 4);
        std::memcpy(out, &head, 4);
        std::memcpy(out + n - 4, &tail, 4);
    } else if (n < 4) {
        for (size_t i = 0; i < n; ++i) out[i] = in[i];
    } else {
        std::memcpy(out, in, n);
    }
}

// memcmp(...) == 0, inlined for n <= 16.
[[nodiscard]] inline bool equal_bytes(const void* a, const void* b, size_t n) noexcept {
    const auto* x = static_cast<const uint8_t*>(a);
    const auto* y = static_cast<const uint8_t*>(b);
    if (n >= 8 && n <= 16) {
        uint64_t x1, x2, y1, y2;
        std::memcpy(&x1, x, 8);
        std::memcpy(&y1, y, 8);
        std::memcpy(&x2, x + n - 8, 8);
        std::memcpy(&y2, y + n - 8, 8);
        return ((x1 ^ y1) | (x2 ^ y2)) == 0;
    }
    if (n < 8) {
        for (size_t i = 0; i < n; ++i) {
            if (x[i] != y[i]) return false;
        }
        return true;
    }
    return std::memcmp(x, y, n) == 0;
}

}  // namespace quarl
