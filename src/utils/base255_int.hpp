// Integers outside the signed 64-bit range in the format's base-255 size-field
// digits: magnitude m is written as the digits of m - 255, least significant first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// Writes the base-255 digits of `rest`, least significant first, up to its most
// significant non-zero one, and returns how many. Plain 128-bit arithmetic:
// eight digits are split off per 64-bit division.
[[nodiscard]] inline size_t write_u128_digits(u128 rest, uint8_t* out) noexcept {
    constexpr uint64_t eight_digits = 17878103347812890625ULL;  // 255^8
    size_t count = 0;
    while (rest >> 64 != 0) {
        const u128 quotient = rest / eight_digits;
        auto low = static_cast<uint64_t>(rest - quotient * eight_digits);
        for (int i = 0; i < 8; ++i, low /= 255) out[count++] = static_cast<uint8_t>(low % 255);
        rest = quotient;
    }
    for (auto low = static_cast<uint64_t>(rest); low != 0; low /= 255) out[count++] = static_cast<uint8_t>(low % 255);
    return count;
}

// Two's complement negation of three limbs: invert, then add one.
inline void negate(uint64_t (&limbs)[3]) noexcept {
    uint64_t carry = 1;
    for (uint64_t& limb : limbs) {
        limb = ~limb + carry;
        carry = carry != 0 && limb == 0 ? 1 : 0;
    }
}

// The magnitude of an int when it is below 2^128. False when it is larger, or
// with an exception set when the int cannot be read (check PyErr_Occurred).
[[nodiscard]] inline bool int_magnitude_u128(PyObject* value, bool& negative, u128& magnitude) noexcept {
    uint64_t limbs[3];  // two's complement, wide enough for any magnitude below 2^128
    const Py_ssize_t needed = PyLong_AsNativeBytes(value, limbs, sizeof limbs, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
    if (needed < 0 || static_cast<size_t>(needed) > sizeof limbs) return false;
    negative = limbs[2] >> 63 != 0;
    if (negative) negate(limbs);
    if (limbs[2] != 0) return false;
    magnitude = (static_cast<u128>(limbs[1]) << 64) | limbs[0];
    return true;
}

// New reference to the int of `magnitude`, negated when `negative`.
[[nodiscard]] inline PyObject* int_from_u128(u128 magnitude, bool negative) noexcept {
    uint64_t limbs[3] = {static_cast<uint64_t>(magnitude), static_cast<uint64_t>(magnitude >> 64), 0};
    if (negative) negate(limbs);
    return PyLong_FromNativeBytes(limbs, sizeof limbs, Py_ASNATIVEBYTES_LITTLE_ENDIAN);
}

// Fills `digits` with the base-255 digits of |value| - 255 (value is an int
// with |value| >= 2^63) and sets `negative`. False with an exception set on
// failure (SerializationError when the int is too large).
[[nodiscard]] bool int_to_base255_digits(PyObject* value, bool& negative, std::vector<uint8_t>& digits);

// New reference to the int 255 + sum(digits[i] * 255^i), negated when
// `negative`; null with an exception set.
PyObject* int_from_base255_digits(const uint8_t* digits, size_t count, bool negative) noexcept;

}  // namespace quarl
