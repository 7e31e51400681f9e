// The quarl byte format: flag values, markers and the two size-field encodings.
// Every writer and reader of the module takes its constants and size-field
// routines from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/base255_digits.hpp"

namespace quarl {

// The three bytes every document starts with: "<o>".
inline constexpr uint8_t DOCUMENT_MARKER[3] = {0x3C, 0x6F, 0x3E};
inline constexpr size_t DOCUMENT_MARKER_SIZE = 3;

enum class Flag : uint8_t {
    EmptyStr = 0,
    EmptyBytes = 1,
    True = 2,
    False = 3,
    None = 4,
    EmptyList = 5,
    EmptyDict = 6,
    PositiveInt = 7,      // magnitude as a size field
    NegativeInt = 8,      // magnitude as a size field, negated
    Float = 9,            // 8 bytes binary64, big-endian
    Str = 10,             // UTF-8 text; takes a reference number
    Bytes = 11,           // length, raw bytes
    List = 13,            // count, values
    TypedList = 14,       // element type, count, packed elements
    Dict = 15,            // count, key/value pairs of encoded values
    StrKeyDict = 16,      // count, dict-key/value pairs
    RefLong = 17,         // reference number as a size field
    AsciiStr = 18,        // ASCII text; takes a reference number
    StructuredList = 19,  // rows, keys, first row with keys, later rows values only
    Ref8 = 20,            // reference number, 1 byte big-endian
    Ref16 = 21,           // 2 bytes
    Ref24 = 22,           // 3 bytes
    Ref32 = 23,           // 4 bytes
    CustomType = 24,      // encoded identifier, encoded converted value
    // 12 and 25-29 are never written.
    SmallIntBase = 30,    // 30..255 carry the ints 0..225 in the flag itself
};

[[nodiscard]] constexpr uint8_t byte(Flag flag) noexcept { return static_cast<uint8_t>(flag); }

// Largest int written in the flag byte itself (flag 254); flag 255 (225) is read but never written.
inline constexpr int64_t MAX_FLAG_INT = 224;

// Element types of a typed list (flag 14).
enum class ElementType : uint8_t {
    None = 4,
    Float = 9,
    Str = 10,
    Bytes = 11,
    Bool = 12,
};

// In a str-keyed dict, FE before a value-form size field is a back-reference;
// as the first payload byte of a key or typed-list string it marks ASCII text.
inline constexpr uint8_t KEY_REFERENCE_MARKER = 0xFE;
inline constexpr uint8_t ASCII_MARKER = 0xFE;
inline constexpr uint8_t SIZE_ESCAPE = 0xFF;

// The two size-field encodings. Value form: n < 255 is one byte; otherwise FF,
// the base-255 digits of n - 255 (least significant first, none for 255), FF.
// Key form (inline keys of str-keyed dicts): the same with 254, since FE marks
// a back-reference there.
enum class SizeForm : uint8_t { Value = 0, Key = 1 };

template <SizeForm Form>
inline constexpr uint64_t SIZE_BASE = Form == SizeForm::Value ? 255 : 254;

// Longest size field: escape, nine digits (255^8 < 2^64 < 255^9), terminator.
inline constexpr size_t MAX_SIZE_FIELD = 11;

// Writes the size field of `n` into `out` and returns its length. `out`
// must have room for MAX_SIZE_FIELD bytes whatever `n`: the digits are
// written in whole groups, the closing FF then placed after the last
// significant one.
template <SizeForm Form>
[[nodiscard]] inline size_t encode_size_field(uint64_t n, uint8_t* out) noexcept {
    static_assert(MAX_SIZE_FIELD >= 2 + WRITTEN_DIGITS);
    constexpr uint64_t base = SIZE_BASE<Form>;
    if (n < base) {
        out[0] = static_cast<uint8_t>(n);
        return 1;
    }
    out[0] = SIZE_ESCAPE;
    const size_t count = write_digits<base>(n - base, out + 1);
    out[1 + count] = SIZE_ESCAPE;
    return 2 + count;
}

enum class ReadStatus : uint8_t { Ok, EndOfInput, Overflow };

// Reads the escaped tail of a size field (after its FF byte): digits up to the
// next FF. Digits beyond the 64-bit range are accepted only when they are zero.
template <SizeForm Form>
[[nodiscard]] inline ReadStatus read_size_field_digits(const uint8_t* data, size_t length, size_t& position,
                                                       uint64_t& out) noexcept {
    constexpr uint64_t base = SIZE_BASE<Form>;
    uint64_t value = base;
    uint64_t multiplier = 1;
    bool multiplier_overflowed = false;
    while (position < length) {
        const uint8_t digit = data[position++];
        if (digit == SIZE_ESCAPE) {
            out = value;
            return ReadStatus::Ok;
        }
        if (digit != 0) {
            uint64_t term = 0;
            if (multiplier_overflowed || __builtin_mul_overflow(uint64_t{digit}, multiplier, &term) ||
                __builtin_add_overflow(value, term, &value)) {
                return ReadStatus::Overflow;
            }
        }
        if (!multiplier_overflowed && __builtin_mul_overflow(multiplier, base, &multiplier)) {
            multiplier_overflowed = true;
        }
    }
    return ReadStatus::EndOfInput;
}

// Reads one size field at `position`, advancing past it.
template <SizeForm Form>
[[nodiscard]] inline ReadStatus read_size_field(const uint8_t* data, size_t length, size_t& position,
                                                uint64_t& out) noexcept {
    if (position >= length) return ReadStatus::EndOfInput;
    const uint8_t first = data[position++];
    if (first != SIZE_ESCAPE) [[likely]] {
        out = first;
        return ReadStatus::Ok;
    }
    return read_size_field_digits<Form>(data, length, position, out);
}

// Back-reference widths: flag 20 + 1 byte up to flag 23 + 4 bytes, then flag 17.
[[nodiscard]] constexpr unsigned reference_width(Flag flag) noexcept {
    return static_cast<unsigned>(byte(flag) - byte(Flag::Ref8)) + 1;
}

}  // namespace quarl
