// Decoders of scalar payloads: ints, floats, bytes and the four string forms.
// None of them touches the reference table; callers number the strings.
#pragma once

#include <cstring>

#include "deserializing/input_reader.hpp"
#include "lib/cached_objects.hpp"
#include "utils/base255_int.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/utf8_text.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

// True when every byte is below 128.
[[nodiscard]] inline bool all_ascii(const uint8_t* bytes, size_t n) noexcept {
    uint64_t seen = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        seen |= word;
    }
    for (; i < n; ++i) seen |= bytes[i];
    return (seen & 0x8080808080808080ULL) == 0;
}

// New str of ASCII bytes; bytes of 128 or more are corrupt data, never an invalid str.
[[nodiscard]] inline PyObject* new_ascii_str(const uint8_t* bytes, size_t n) noexcept {
    if (n == 0) return Py_NewRef(EMPTY_STR);
    if (!all_ascii(bytes, n)) [[unlikely]] {
        corrupted(msg::INVALID_ASCII);
        return nullptr;
    }
    if (n == 1) return PyUnicode_FromOrdinal(bytes[0]);  // the interpreter's shared one-letter str
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (str == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(str), bytes, n);
    return str;
}

// New str from UTF-8 bytes; invalid UTF-8 is corrupt data, reported with the
// interpreter decoder's error (and its position) as the cause.
[[nodiscard]] inline PyObject* new_utf8_str(const uint8_t* bytes, size_t n) noexcept {
    if (n == 0) return Py_NewRef(EMPTY_STR);
    if (n <= utf8::SHORT_TEXT_BYTES) {
        if (PyObject* made = utf8::new_str_from_utf8(bytes, n)) [[likely]] return made;
        if (PyErr_Occurred()) return nullptr;
    } else {
        // Long text of Latin-1 characters, which the interpreter's decoder
        // reads a character at a time; other long text goes to that decoder.
        if (PyObject* made = utf8::new_latin1_str_from_utf8(bytes, n)) return made;
        if (PyErr_Occurred()) return nullptr;
    }
    PyObject* str = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(n), "strict");
    if (str == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        replace_error(DESERIALIZATION_ERROR, msg::INVALID_UTF8);
    }
    return str;
}

// A payload whose first byte FE marks ASCII text; otherwise UTF-8.
[[nodiscard]] inline PyObject* new_marked_str(const uint8_t* bytes, size_t n) noexcept {
    if (n != 0 && bytes[0] == ASCII_MARKER) return new_ascii_str(bytes + 1, n - 1);
    return new_utf8_str(bytes, n);
}

// Reads a string payload (size field in `Form`, then the bytes) and returns a
// new str. Kind: how the payload is to be read.
enum class StrPayload { Utf8, Ascii, Marked };

template <StrPayload Kind, SizeForm Form = SizeForm::Value>
[[nodiscard]] inline PyObject* decode_string_without_inserting_pointer(InputReader& in) noexcept {
    uint64_t length = 0;
    const uint8_t* bytes = nullptr;
    if (!in.read_size<Form>(length) || !in.take(length, bytes)) return nullptr;
    if constexpr (Kind == StrPayload::Ascii) {
        return new_ascii_str(bytes, static_cast<size_t>(length));
    } else if constexpr (Kind == StrPayload::Utf8) {
        return new_utf8_str(bytes, static_cast<size_t>(length));
    } else {
        return new_marked_str(bytes, static_cast<size_t>(length));
    }
}

// The escaped form of a flag-7/8 magnitude, at its FF byte.
[[gnu::noinline]] inline PyObject* decode_long_int(InputReader& in, bool negative) noexcept {
    const size_t start = in.position + 1;
    const void* terminator =
        start <= in.length ? std::memchr(in.data + start, SIZE_ESCAPE, in.length - start) : nullptr;
    if (terminator == nullptr) {
        in.position = in.length;
        end_of_input(start - 1);
        return nullptr;
    }
    const uint8_t* digits = in.data + start;
    const size_t count = static_cast<size_t>(static_cast<const uint8_t*>(terminator) - digits);
    in.position = start + count + 1;
    if (count <= MAX_U128_DIGITS) {
        // Sixteen digits and 255 stay below 2^128; a seventeenth may pass it,
        // and such values go the long way.
        const size_t checked = count == MAX_U128_DIGITS ? 1 : 0;
        u128 value = 0;
        if (count <= 8) {
            // 255 + 254 * (255^0 + ... + 255^7) < 2^64: the common case in 64 bits.
            uint64_t narrow = 0;
            for (size_t i = count; i-- > 0;) narrow = narrow * 255 + digits[i];
            value = narrow;
        } else {
            for (size_t i = count - checked; i-- > 0;) value = value * 255 + digits[i];
        }
        value += SIZE_BASE<SizeForm::Value>;
        u128 top = 0;
        const bool fits = checked == 0 ||
                          (!__builtin_mul_overflow(u128{digits[count - 1]}, POWER_255_16, &top) &&
                           !__builtin_add_overflow(value, top, &value));
        if (fits) {
            if (value >> 64 == 0) {
                const auto low = static_cast<uint64_t>(value);
                if (!negative) return PyLong_FromUnsignedLongLong(low);
                if (low <= uint64_t{1} << 63) return PyLong_FromLongLong(static_cast<long long>(0 - low));
            }
            return int_from_u128(value, negative);
        }
    }
    if (count > MAX_INT_DIGITS) {
        PyErr_Format(DESERIALIZATION_ERROR, msg::INTEGER_TOO_LARGE, MAX_INT_DIGITS);
        return nullptr;
    }
    return int_from_base255_digits(digits, count, negative);
}

// A flag-7/8 magnitude: one byte, up to 128 bits in plain arithmetic, or any
// length (within MAX_INT_DIGITS) through arbitrary precision.
[[nodiscard]] inline PyObject* decode_int(InputReader& in, bool negative) noexcept {
    if (in.position >= in.length) [[unlikely]] {
        end_of_input(in.position);
        return nullptr;
    }
    const uint8_t first = in.data[in.position];
    if (first != SIZE_ESCAPE) [[likely]] {
        ++in.position;
        return PyLong_FromLong(negative ? -static_cast<long>(first) : static_cast<long>(first));
    }
    return decode_long_int(in, negative);
}

// A bytes payload: size field, then the bytes.
[[nodiscard]] inline PyObject* decode_bytes(InputReader& in) noexcept {
    uint64_t length = 0;
    const uint8_t* bytes = nullptr;
    if (!in.read_size(length) || !in.take(length, bytes)) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), static_cast<Py_ssize_t>(length));
}

[[nodiscard]] inline PyObject* decode_f64(InputReader& in) noexcept {
    double value = 0;
    if (!in.read_f64(value)) return nullptr;
    return PyFloat_FromDouble(value);
}

}  // namespace quarl
