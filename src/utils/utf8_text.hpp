// Reading short UTF-8 text into a new str: one pass checks the bytes and
// finds the length and the widest character, a second writes the characters
// straight into a str of the right width. On short strings this halves the
// interpreter decoder's cost (it starts a growable result and shrinks it);
// on long text of mixed widths the interpreter's decoder is faster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/python.hpp"

namespace quarl::utf8 {

// Longest text, in bytes, read here rather than by the interpreter's decoder
// (measured with strings of 8 to 2048 characters of one, two and mixed widths).
inline constexpr size_t SHORT_TEXT_BYTES = 48;

inline constexpr uint64_t HIGH_BITS = 0x8080808080808080ULL;

[[nodiscard]] inline bool ascii_word_at(const uint8_t* bytes, uint64_t& word) noexcept {
    std::memcpy(&word, bytes, 8);
    return (word & HIGH_BITS) == 0;
}

[[nodiscard]] inline bool is_continuation(uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// Checks that bytes[0, n) is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF) and sets the number of characters and
// the largest character the str must be able to hold (0x7F, 0xFF, 0xFFFF or
// 0x10FFFF). False when the bytes are not valid UTF-8.
[[nodiscard]] inline bool measure(const uint8_t* bytes, size_t n, size_t& chars, Py_UCS4& max_char) noexcept {
    size_t i = 0;
    size_t count = 0;
    uint8_t widest_lead = 0;
    while (i < n) {
        uint64_t word;
        if (i + 8 <= n && ascii_word_at(bytes + i, word)) {
            i += 8;
            count += 8;
            continue;
        }
        const uint8_t lead = bytes[i];
        size_t length = 1;
        if (lead >= 0x80) {
            if (lead < 0xC2 || lead > 0xF4) return false;
            length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            if (n - i < length) return false;
            const uint8_t second = bytes[i + 1];
            if (!is_continuation(second)) return false;
            if (length >= 3) {
                if (!is_continuation(bytes[i + 2])) return false;
                // Shortest forms only, no surrogates, nothing past U+10FFFF.
                if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) ||
                    (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90)) {
                    return false;
                }
                if (length == 4 && !is_continuation(bytes[i + 3])) return false;
            }
            if (lead > widest_lead) widest_lead = lead;
        }
        i += length;
        ++count;
    }
    chars = count;
    // A lead byte of C2 or C3 starts U+0080 to U+00FF; from C4 on, up to
    // U+07FF; three bytes are U+0800 to U+FFFF; four bytes are beyond.
    max_char = widest_lead >= 0xF0 ? 0x10FFFF : widest_lead >= 0xC4 ? 0xFFFF : widest_lead != 0 ? 0xFF : 0x7F;
    return true;
}

// Writes the characters of bytes[0, n), already measured as valid, to `out`.
template <class Char>
inline void transcode(const uint8_t* bytes, size_t n, Char* out) noexcept {
    size_t i = 0;
    while (i < n) {
        uint64_t word;
        if (i + 8 <= n && ascii_word_at(bytes + i, word)) {
            for (int k = 0; k < 8; ++k) out[k] = static_cast<Char>(bytes[i + k]);
            out += 8;
            i += 8;
            continue;
        }
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            *out++ = lead;
            i += 1;
        } else if (lead < 0xE0) {
            *out++ = static_cast<Char>(((lead & 0x1Fu) << 6) | (bytes[i + 1] & 0x3Fu));
            i += 2;
        } else if (lead < 0xF0) {
            *out++ = static_cast<Char>(((lead & 0x0Fu) << 12) | ((bytes[i + 1] & 0x3Fu) << 6) | (bytes[i + 2] & 0x3Fu));
            i += 3;
        } else {
            *out++ = static_cast<Char>(((lead & 0x07u) << 18) | ((bytes[i + 1] & 0x3Fu) << 12) |
                                       ((bytes[i + 2] & 0x3Fu) << 6) | (bytes[i + 3] & 0x3Fu));
            i += 4;
        }
    }
}

// New str of the UTF-8 text bytes[0, n) (n > 0). Null without an exception
// set when the bytes are not valid UTF-8; null with MemoryError when the
// str cannot be made.
[[nodiscard]] inline PyObject* new_str_from_utf8(const uint8_t* bytes, size_t n) noexcept {
    size_t chars = 0;
    Py_UCS4 max_char = 0;
    if (!measure(bytes, n, chars, max_char)) return nullptr;
    if (chars == 1 && max_char <= 0xFF) {
        // The interpreter keeps one str per Latin-1 character: share it, as
        // its own decoder does, so lists of one-letter strings cost no memory each.
        const Py_UCS4 ch = n == 1 ? bytes[0] : ((bytes[0] & 0x1Fu) << 6) | (bytes[1] & 0x3Fu);
        return PyUnicode_FromOrdinal(static_cast<int>(ch));
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(chars), max_char);
    if (str == nullptr) return nullptr;
    void* data = PyUnicode_DATA(str);
    if (max_char == 0x7F) {
        std::memcpy(data, bytes, n);
    } else if (max_char == 0xFF) {
        transcode(bytes, n, static_cast<Py_UCS1*>(data));
    } else if (max_char == 0xFFFF) {
        transcode(bytes, n, static_cast<Py_UCS2*>(data));
    } else {
        transcode(bytes, n, static_cast<Py_UCS4*>(data));
    }
    return str;
}

// Characters U+0080 to U+00FF in UTF-8: a lead byte C2 or C3 and one
// continuation byte. LATIN1_PAIRS tests four such pairs in a word at once.
inline constexpr uint64_t LATIN1_PAIR_MASK = 0xC0FEC0FEC0FEC0FEULL;
inline constexpr uint64_t LATIN1_PAIRS = 0x80C280C280C280C2ULL;

[[nodiscard]] inline bool is_latin1_pair(uint8_t lead, uint8_t next) noexcept {
    return (lead & 0xFEu) == 0xC2 && is_continuation(next);
}

// The four characters of a word of four Latin-1 pairs, as four bytes.
[[nodiscard]] inline uint32_t latin1_of_pairs(uint64_t word) noexcept {
    // Each 16-bit lane: the lead's low two bits are the character's bits
    // 6-7, the continuation's low six bits its bits 0-5.
    uint64_t lanes = ((word & 0x0003000300030003ULL) << 6) | ((word >> 8) & 0x003F003F003F003FULL);
    lanes = (lanes | (lanes >> 8)) & 0x0000FFFF0000FFFFULL;
    return static_cast<uint32_t>(lanes | (lanes >> 16));
}

// New str of the UTF-8 text bytes[0, n) when all its characters are below
// U+0100 (an ASCII str when all are below U+0080): one pass checks and writes, eight
// input bytes at a time where they are all ASCII or all Latin-1 pairs. Null
// without an exception set when the text is anything else (wider
// characters, or invalid: the caller reads it the general way, which reports
// the error); null with MemoryError when the str cannot be made.
[[nodiscard]] inline PyObject* new_latin1_str_from_utf8(const uint8_t* bytes, size_t n) noexcept {
    // The ASCII head first: text whose first other character is no Latin-1
    // pair (most long non-ASCII text) goes to the general reader at once.
    size_t head = 0;
    for (uint64_t word; head + 8 <= n && ascii_word_at(bytes + head, word);) head += 8;
    while (head < n && bytes[head] < 0x80) ++head;
    if (head == n) {
        PyObject* ascii = PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F);
        if (ascii != nullptr) std::memcpy(PyUnicode_DATA(ascii), bytes, n);
        return ascii;
    }
    if (head + 1 == n || !is_latin1_pair(bytes[head], bytes[head + 1])) return nullptr;
    // n characters at most; the str is shortened to its count at the end.
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 0xFF);
    if (str == nullptr) return nullptr;
    auto* out = static_cast<Py_UCS1*>(PyUnicode_DATA(str));
    std::memcpy(out, bytes, head);
    size_t i = head;
    size_t chars = head;
    while (i < n) {
        uint64_t word;
        if (i + 8 <= n) {
            std::memcpy(&word, bytes + i, 8);
            if ((word & HIGH_BITS) == 0) {
                std::memcpy(out + chars, &word, 8);
                i += 8;
                chars += 8;
                continue;
            }
            if ((word & LATIN1_PAIR_MASK) == LATIN1_PAIRS) {
                const uint32_t four = latin1_of_pairs(word);
                std::memcpy(out + chars, &four, 4);
                i += 8;
                chars += 4;
                continue;
            }
            // The ASCII bytes before the first other one, at once (the str
            // has room: fewer characters than bytes are written).
            const auto ascii = static_cast<unsigned>(__builtin_ctzll(word & HIGH_BITS)) / 8;
            std::memcpy(out + chars, &word, 8);
            i += ascii;
            chars += ascii;
        }
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out[chars++] = lead;
            i += 1;
        } else if (i + 1 < n && is_latin1_pair(lead, bytes[i + 1])) {
            out[chars++] = static_cast<Py_UCS1>(((lead & 3u) << 6) | (bytes[i + 1] & 0x3Fu));
            i += 2;
        } else {
            Py_DECREF(str);
            return nullptr;
        }
    }
    // (A pair was met, so chars < n: the str holds a character above U+007F.)
    if (chars != n && PyUnicode_Resize(&str, static_cast<Py_ssize_t>(chars)) < 0) return nullptr;
    return str;
}

}  // namespace quarl::utf8
