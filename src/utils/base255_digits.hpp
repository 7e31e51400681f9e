// Base-255 digits of machine words, made in fixed-length groups: the digits
// of size fields and of ints, least significant first. Each group is worked
// out without a chain of one division per digit, so that the digits of one
// value come in a few steps and those of neighbouring values overlap.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarl {

static_assert(std::endian::native == std::endian::little, "digit groups are stored as little-endian words");

// The four base-`Base` digits of `x` < Base^4, least significant first, as
// the bytes of a little-endian word: one division splits off two halves of
// two digits each, which convert side by side.
template <uint64_t Base>
[[nodiscard]] inline uint32_t four_digits(uint32_t x) noexcept {
    constexpr uint32_t base = Base;
    constexpr uint32_t two = base * base;
    const uint32_t high = x / two;
    const uint32_t low = x - high * two;
    const uint32_t d1 = low / base;
    const uint32_t d3 = high / base;
    return (low - d1 * base) | (d1 << 8) | ((high - d3 * base) << 16) | (d3 << 24);
}

// The eight base-`Base` digits of `x` < Base^8, least significant first, as
// the bytes of a little-endian word. For base 255 with SSE2 the four two-digit parts are
// divided in vector lanes at once, by multiplying with reciprocals that are
// exact over the whole range: x / 65025 = (x * 2164359683) >> 47 for
// x < 255^4, and y / 255 = ((y * 0x8081) >> 16) >> 7 for y < 2^16.
template <uint64_t Base>
[[nodiscard]] inline uint64_t eight_digits(uint64_t x) noexcept {
    constexpr uint64_t four = Base * Base * Base * Base;
    const uint64_t high = x / four;
    const uint64_t low = x - high * four;
#if defined(__SSE2__)
    if constexpr (Base == 255) {
        const __m128i halves = _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
        const __m128i upper = _mm_srli_epi64(_mm_mul_epu32(halves, _mm_set1_epi64x(2164359683LL)), 47);
        const __m128i lower = _mm_sub_epi64(halves, _mm_mul_epu32(upper, _mm_set1_epi64x(65025)));
        // 32-bit lanes: the low and high two-digit parts of `low`, then of `high`.
        const __m128i parts = _mm_or_si128(lower, _mm_slli_epi64(upper, 32));
        const __m128i quotients = _mm_srli_epi16(_mm_mulhi_epu16(parts, _mm_set1_epi16(static_cast<short>(0x8081))), 7);
        const __m128i remainders = _mm_sub_epi16(parts, _mm_mullo_epi16(quotients, _mm_set1_epi16(255)));
        // 16-bit lanes remainder, quotient, ... each below 255: packed to bytes.
        const __m128i digits = _mm_or_si128(remainders, _mm_slli_epi32(quotients, 16));
        return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(digits, digits)));
    }
#endif
    return four_digits<Base>(static_cast<uint32_t>(low)) |
           static_cast<uint64_t>(four_digits<Base>(static_cast<uint32_t>(high))) << 32;
}

// How many of the powers Base^1..Base^4 are at most `x`. Compares without
// branches, so that mixed lengths cost no mispredictions.
template <uint64_t Base>
[[nodiscard]] inline size_t powers_up_to(uint64_t x) noexcept {
    return static_cast<size_t>(x >= Base) + static_cast<size_t>(x >= Base * Base) +
           static_cast<size_t>(x >= Base * Base * Base) + static_cast<size_t>(x >= Base * Base * Base * Base);
}

// Most bytes write_digits() writes, digits and the zeros after them.
inline constexpr size_t WRITTEN_DIGITS = 9;

// Writes the base-`Base` digits of `x` into `out`, least significant first,
// up to its most significant non-zero one, and returns how many (none for 0).
// Whole groups are written: up to WRITTEN_DIGITS bytes, zeros after the count.
template <uint64_t Base>
[[nodiscard]] inline size_t write_digits(uint64_t x, uint8_t* out) noexcept {
    constexpr uint64_t four = Base * Base * Base * Base;
    if (x < four) {
        // Up to four digits: most sizes and counts.
        const uint32_t digits = four_digits<Base>(static_cast<uint32_t>(x));
        std::memcpy(out, &digits, 4);
        return static_cast<size_t>(x != 0) + powers_up_to<Base>(x);
    }
    // The ninth digit is 0 or 1 (2^64 < 2 * Base^8); the other eight make one group.
    constexpr uint64_t eight = four * four;
    const uint64_t top = x >= eight ? 1 : 0;
    const uint64_t digits = eight_digits<Base>(x - top * eight);
    std::memcpy(out, &digits, 8);
    out[8] = static_cast<uint8_t>(top);
    return 5 + powers_up_to<Base>(x / four);
}

}  // namespace quarl
