// Integers outside the signed 64-bit range in the format's base-255 size-field
// digits: magnitude m is written as the digits of m - 255, least significant first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "utils/base255_digits.hpp"
#include "utils/python.hpp"

namespace quarl {

// Largest magnitude, in base-255 digits, that the decoder accepts. Converting
// between bases is quadratic, so this bounds the work a document can demand
// (about 30 ms at the limit); the encoder refuses ints beyond it so that it
// never writes what cannot be read back.
inline constexpr size_t MAX_INT_DIGITS = 65536;
// The encoder's limit in bits: any magnitude of at most this many bits needs
// fewer than MAX_INT_DIGITS digits (log2(255) > 7.99).
inline constexpr size_t MAX_INT_BITS = 523000;

using u128 = unsigned __int128;

// Most base-255 digits a magnitude below 2^128 takes (255^16 < 2^128 < 255^17).
inline constexpr size_t MAX_U128_DIGITS = 17;
inline constexpr u128 POWER_255_16 = static_cast<u128>(17878103347812890625ULL) * 17878103347812890625ULL;

// 255^8, the largest power of 255 below 2^64: 64-bit words are converted
// eight digits at a time.
inline constexpr uint64_t DIGIT_GROUP = 17878103347812890625ULL;
inline constexpr size_t DIGITS_PER_GROUP = 8;

// DIGIT_GROUP has its top bit set, so a 128-by-64-bit division by it can use
// a precomputed reciprocal (Moller and Granlund, "Improved division by
// invariant integers"): two multiplications instead of a division instruction.
static_assert(DIGIT_GROUP >> 63 == 1);
inline constexpr uint64_t GROUP_RECIPROCAL = static_cast<uint64_t>(~u128{0} / DIGIT_GROUP - (u128{1} << 64));

// (high, low) / DIGIT_GROUP with high < DIGIT_GROUP; sets the remainder.
[[nodiscard]] inline uint64_t divide_by_group(uint64_t high, uint64_t low, uint64_t& remainder) noexcept {
    u128 estimate = static_cast<u128>(GROUP_RECIPROCAL) * high;
    estimate += (static_cast<u128>(high + 1) << 64) | low;
    auto quotient = static_cast<uint64_t>(estimate >> 64);
    uint64_t rest = low - quotient * DIGIT_GROUP;
    if (rest > static_cast<uint64_t>(estimate)) {
        --quotient;
        rest += DIGIT_GROUP;
    }
    if (rest >= DIGIT_GROUP) [[unlikely]] {
        ++quotient;
        rest -= DIGIT_GROUP;
    }
    remainder = rest;
    return quotient;
}

// Writes the eight base-255 digits of `group` (< 255^8), least significant first.
inline void write_group_digits(uint64_t group, uint8_t* out) noexcept {
    const uint64_t digits = eight_digits<255>(group);
    std::memcpy(out, &digits, DIGITS_PER_GROUP);
}

// Most bytes write_u128_digits() writes: its digits, then zeros up to the end
// of the last group.
inline constexpr size_t WRITTEN_U128_DIGITS = 2 * DIGITS_PER_GROUP + WRITTEN_DIGITS;

// Writes the base-255 digits of `rest`, least significant first, up to its most
// significant non-zero one, and returns how many; `out` has room for
// WRITTEN_U128_DIGITS bytes. Plain 128-bit arithmetic: eight digits are split
// off per division by DIGIT_GROUP.
[[nodiscard]] inline size_t write_u128_digits(u128 rest, uint8_t* out) noexcept {
    size_t count = 0;
    while (rest >> 64 != 0) {
        const auto high = static_cast<uint64_t>(rest >> 64);
        // high / DIGIT_GROUP is 0 or 1: the rest of high then fits the reciprocal division.
        const uint64_t top = high >= DIGIT_GROUP ? 1 : 0;
        uint64_t group = 0;
        const uint64_t quotient = divide_by_group(high - top * DIGIT_GROUP, static_cast<uint64_t>(rest), group);
        write_group_digits(group, out + count);
        count += DIGITS_PER_GROUP;
        rest = (static_cast<u128>(top) << 64) | quotient;
    }
    return count + write_digits<255>(static_cast<uint64_t>(rest), out + count);
}

// CPython keeps an int as a sign and the magnitude in 30-bit digits, least
// significant first; reading and writing those digits directly spares the
// generic byte conversions on every int beyond the compact range.
static_assert(PyLong_SHIFT == 30, "ints are read as 30-bit digits");
inline constexpr size_t U128_LONG_DIGITS = 5;  // 4 * 30 < 128 <= 5 * 30

// The magnitude of an int of two or three 30-bit digits when it is below
// 2^64, and its sign; false otherwise. The ints just beyond the compact
// range, the most common of the wide ones, take this short way.
[[nodiscard]] inline bool int_magnitude_u64(PyObject* value, bool& negative, uint64_t& magnitude) noexcept {
    const auto& number = reinterpret_cast<const PyLongObject*>(value)->long_value;
    const size_t count = number.lv_tag >> _PyLong_NON_SIZE_BITS;
    const digit* digits = number.ob_digit;
    if (count == 2) {
        magnitude = digits[0] | static_cast<uint64_t>(digits[1]) << PyLong_SHIFT;
    } else if (count == 3 && digits[2] >> (64 - 2 * PyLong_SHIFT) == 0) {
        magnitude = digits[0] | static_cast<uint64_t>(digits[1]) << PyLong_SHIFT |
                    static_cast<uint64_t>(digits[2]) << (2 * PyLong_SHIFT);
    } else {
        return false;
    }
    negative = (number.lv_tag & _PyLong_SIGN_MASK) == 2;  // 0 positive, 1 zero, 2 negative
    return true;
}

// The magnitude of an int when it is below 2^128, and its sign; false when
// it is larger. Never fails otherwise.
[[nodiscard]] inline bool int_magnitude_u128(PyObject* value, bool& negative, u128& magnitude) noexcept {
    const auto& number = reinterpret_cast<const PyLongObject*>(value)->long_value;
    const size_t count = number.lv_tag >> _PyLong_NON_SIZE_BITS;
    if (count > U128_LONG_DIGITS) return false;
    const digit* digits = number.ob_digit;
    if (count == U128_LONG_DIGITS && digits[U128_LONG_DIGITS - 1] >> (128 - 4 * PyLong_SHIFT) != 0) return false;
    u128 result = 0;
    for (size_t i = count; i-- > 0;) result = (result << PyLong_SHIFT) | digits[i];
    negative = (number.lv_tag & _PyLong_SIGN_MASK) == 2;  // 0 positive, 1 zero, 2 negative
    magnitude = result;
    return true;
}

// New reference to the int of `magnitude`, negated when `negative`.
[[nodiscard]] inline PyObject* int_from_u128(u128 magnitude, bool negative) noexcept {
    if (magnitude >> 63 == 0) {
        const auto small = static_cast<long long>(magnitude);
        return PyLong_FromLongLong(negative ? -small : small);
    }
    digit digits[U128_LONG_DIGITS];
    Py_ssize_t count = 0;
    for (; magnitude != 0; magnitude >>= PyLong_SHIFT) digits[count++] = static_cast<digit>(magnitude & PyLong_MASK);
    return reinterpret_cast<PyObject*>(_PyLong_FromDigits(negative ? 1 : 0, count, digits));
}

// Fills `digits` with the base-255 digits of |value| - 255 (value is an int
// with |value| >= 2^63) and sets `negative`. False with an exception set on
// failure (SerializationError when the int is too large).
[[nodiscard]] bool int_to_base255_digits(PyObject* value, bool& negative, std::vector<uint8_t>& digits);

// New reference to the int 255 + sum(digits[i] * 255^i), negated when
// `negative`; null with an exception set.
PyObject* int_from_base255_digits(const uint8_t* digits, size_t count, bool negative) noexcept;

}  // namespace quarl
