// The string table's own hash of short texts: a seeded multiply-fold over the
// (at most 11) bytes a slot keeps, so no Python hash has to be computed for
// them. The seed is random per process, so which texts collide cannot be
// chosen from outside. Short texts are read, and compared, as one 16-byte
// window ending where the text ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarl {

extern uint64_t TEXT_HASH_SEED[2];

// Draws the seed at the first start-up of the module; later calls do nothing. Never fails.
void init_text_hash_seed() noexcept;

[[nodiscard]] inline uint64_t text_hash(uint32_t head, uint64_t rest) noexcept {
    const auto product = static_cast<unsigned __int128>(rest ^ TEXT_HASH_SEED[0]) * (head ^ TEXT_HASH_SEED[1]);
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

// The `n` <= 16 stored bytes of an exact str's text as a little-endian
// number, zeros beyond `n`. The 16 bytes read end where the text ends; an
// exact str is always compact, its text at least 40 bytes into the object,
// so they never leave it, and one load with a shift replaces a branch per
// length.
[[nodiscard]] inline unsigned __int128 load_short_text(const uint8_t* data, size_t n) noexcept {
    unsigned __int128 window = 0;
    std::memcpy(&window, data + n - 16, 16);
    return n == 0 ? 0 : window >> (8 * (16 - n));
}

// Equal `n` <= 16 stored bytes of two exact strs' texts, read as
// load_short_text() reads them: one compare of the two windows, of which only
// the last `n` bytes count.
[[nodiscard]] inline bool short_texts_equal(const uint8_t* x, const uint8_t* y, size_t n) noexcept {
#if defined(__SSE2__)
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + n - 16));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + n - 16));
    const auto differ = static_cast<uint32_t>(~_mm_movemask_epi8(_mm_cmpeq_epi8(a, b))) & 0xFFFF;
    return (differ >> (16 - n)) == 0;
#else
    return load_short_text(x, n) == load_short_text(y, n);
#endif
}

}  // namespace quarl
