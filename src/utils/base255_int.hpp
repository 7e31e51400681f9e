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

// Fills `digits` with the base-255 digits of |value| - 255 (value is an int
// with |value| >= 2^63) and sets `negative`. False with an exception set on
// failure (SerializationError when the int is too large).
[[nodiscard]] bool int_to_base255_digits(PyObject* value, bool& negative, std::vector<uint8_t>& digits);

// New reference to the int 255 + sum(digits[i] * 255^i), negated when
// `negative`; null with an exception set.
PyObject* int_from_base255_digits(const uint8_t* digits, size_t count, bool negative) noexcept;

}  // namespace quarl
