// Encoders of the scalar values: ints of any size, floats and bytes.
#pragma once

#include <cstring>
#include <vector>

#include "utils/base255_int.hpp"
#include "utils/python.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

template <class Buffer>
[[nodiscard]] inline bool encode_i64(int64_t value, Buffer& buffer) {
    if (buffer.can_write_block(1 + MAX_SIZE_FIELD)) [[likely]] {
        uint8_t* out = buffer.reserve(1 + MAX_SIZE_FIELD);
        if (out == nullptr) return false;
        if (value >= 0 && value <= MAX_FLAG_INT) {
            out[0] = static_cast<uint8_t>(value + byte(Flag::SmallIntBase));
            buffer.commit(1);
            return true;
        }
        const bool negative = value < 0;
        out[0] = byte(negative ? Flag::NegativeInt : Flag::PositiveInt);
        const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        buffer.commit(1 + encode_size_field<SizeForm::Value>(magnitude, out + 1));
        return true;
    }
    if (value < 0) {
        return buffer.push(byte(Flag::NegativeInt)) &&
               buffer.template push_size<SizeForm::Value>(0 - static_cast<uint64_t>(value));
    }
    if (value <= MAX_FLAG_INT) return buffer.push(static_cast<uint8_t>(value + byte(Flag::SmallIntBase)));
    return buffer.push(byte(Flag::PositiveInt)) &&
           buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(value));
}

// Ints outside the signed 64-bit range: the flag, then FF, the base-255 digits
// of |v| - 255 and FF, all pushed byte by byte.
template <class Buffer>
[[gnu::noinline]] [[nodiscard]] bool encode_big_int(PyObject* obj, Buffer& buffer) {
    bool negative = false;
    std::vector<uint8_t> digits;
    if (!int_to_base255_digits(obj, negative, digits)) return false;
    if (!buffer.push(byte(negative ? Flag::NegativeInt : Flag::PositiveInt)) || !buffer.push(SIZE_ESCAPE)) {
        return false;
    }
    return buffer.push_each(digits.data(), digits.size()) && buffer.push(SIZE_ESCAPE);
}

// Magnitudes beyond the compact range and below 2^128, in 64- and 128-bit
// arithmetic: the same bytes as encode_big_int writes, without its
// multi-precision conversion.
template <class Buffer>
[[nodiscard]] inline bool encode_wide_int(u128 magnitude, bool negative, Buffer& buffer) {
    // Room for the whole groups of digits written, not only the significant ones.
    constexpr size_t most = 2 + WRITTEN_U128_DIGITS + 1;
    static_assert(most >= 1 + MAX_SIZE_FIELD && WRITTEN_U128_DIGITS >= MAX_U128_DIGITS);
    uint8_t local[most];
    const bool direct = buffer.can_write_block(most);
    uint8_t* out = direct ? buffer.reserve(most) : local;
    if (out == nullptr) return false;
    out[0] = byte(negative ? Flag::NegativeInt : Flag::PositiveInt);
    size_t length = 1;
    if (magnitude >> 64 == 0) {
        length += encode_size_field<SizeForm::Value>(static_cast<uint64_t>(magnitude), out + 1);
    } else {
        out[length++] = SIZE_ESCAPE;
        length += write_u128_digits(magnitude - SIZE_BASE<SizeForm::Value>, out + length);
        out[length++] = SIZE_ESCAPE;
    }
    if (!direct) return buffer.push_each(local, length);
    buffer.commit(length);
    return true;
}

// Ints beyond the compact range, kept out of the callers' hot code.
template <class Buffer>
[[gnu::noinline]] [[nodiscard]] bool encode_int_beyond_compact(PyObject* obj, Buffer& buffer) {
    bool negative = false;
    if (uint64_t word = 0; int_magnitude_u64(obj, negative, word)) [[likely]] {
        if (buffer.can_write_block(1 + MAX_SIZE_FIELD)) [[likely]] {
            uint8_t* out = buffer.reserve(1 + MAX_SIZE_FIELD);
            if (out == nullptr) return false;
            out[0] = byte(negative ? Flag::NegativeInt : Flag::PositiveInt);
            buffer.commit(1 + encode_size_field<SizeForm::Value>(word, out + 1));
            return true;
        }
        return buffer.push(byte(negative ? Flag::NegativeInt : Flag::PositiveInt)) &&
               buffer.template push_size<SizeForm::Value>(word);
    }
    u128 magnitude = 0;
    if (int_magnitude_u128(obj, negative, magnitude)) return encode_wide_int(magnitude, negative, buffer);
    return encode_big_int(obj, buffer);
}

template <class Buffer>
[[nodiscard]] inline bool encode_int(PyObject* obj, Buffer& buffer) {
    const auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(number)) [[likely]] {
        return encode_i64(static_cast<int64_t>(PyUnstable_Long_CompactValue(number)), buffer);
    }
    return encode_int_beyond_compact(obj, buffer);
}

template <class Buffer>
[[nodiscard]] inline bool encode_float(PyObject* obj, Buffer& buffer) {
    uint64_t bits = 0;
    const double value = PyFloat_AS_DOUBLE(obj);
    std::memcpy(&bits, &value, sizeof bits);
    bits = __builtin_bswap64(bits);  // big-endian on the wire
    if (buffer.can_write_block(9, 8)) [[likely]] {
        uint8_t* out = buffer.reserve(9);
        if (out == nullptr) return false;
        out[0] = byte(Flag::Float);
        std::memcpy(out + 1, &bits, sizeof bits);
        buffer.commit(9);
        return true;
    }
    return buffer.push(byte(Flag::Float)) && buffer.extend(&bits, 8);
}

template <class Buffer>
[[nodiscard]] inline bool encode_bytes(PyObject* obj, Buffer& buffer) {
    const Py_ssize_t length = PyBytes_GET_SIZE(obj);
    if (length == 0) return buffer.push(byte(Flag::EmptyBytes));
    return buffer.push(byte(Flag::Bytes)) &&
           buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(length)) && buffer.extend_bytes(obj);
}

}  // namespace quarl
