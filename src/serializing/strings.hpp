// Writers of str values and dict keys through the string cache: the first
// occurrence of a string is written in full and numbered, later ones are
// back-references to that number.
#pragma once

#include <cstring>

#include "lib/cached_objects.hpp"
#include "serializing/serialize_context.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/small_copy.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

// The bytes a string is written with: the stored characters of a pure-ASCII
// string, otherwise its UTF-8 form.
struct StrBytes {
    const char* data;
    Py_ssize_t length;
    bool ascii;
};

// False with SerializationError set when the string has no UTF-8 form (a lone surrogate).
[[nodiscard]] inline bool str_bytes(PyObject* str, StrBytes& out) noexcept {
    if (PyUnicode_IS_ASCII(str)) [[likely]] {
        out = {static_cast<const char*>(PyUnicode_DATA(str)), PyUnicode_GET_LENGTH(str), true};
        return true;
    }
    out.ascii = false;
    out.data = PyUnicode_AsUTF8AndSize(str, &out.length);
    if (out.data == nullptr) {
        replace_error(SERIALIZATION_ERROR, msg::INVALID_STR);
        return false;
    }
    return true;
}

// Writes the back-reference to `number` (below 2^32) into `out`; returns its length.
[[nodiscard]] inline size_t write_short_pointer(uint64_t number, uint8_t* out) noexcept {
    const unsigned width = number < (1ULL << 8) ? 1 : number < (1ULL << 16) ? 2 : number < (1ULL << 24) ? 3 : 4;
    out[0] = static_cast<uint8_t>(byte(Flag::Ref8) + width - 1);
    for (unsigned i = 0; i < width; ++i) out[1 + i] = static_cast<uint8_t>(number >> (8 * (width - 1 - i)));
    return width + 1;
}

// A back-reference in the smallest form that holds `number`.
template <class Buffer>
[[nodiscard]] inline bool encode_pointer(uint64_t number, Buffer& buffer) {
    if (number >= (1ULL << 32)) [[unlikely]] {
        return buffer.push(byte(Flag::RefLong)) && buffer.template push_size<SizeForm::Value>(number);
    }
    if (buffer.can_write_block(5)) [[likely]] {
        uint8_t* out = buffer.reserve(5);
        if (out == nullptr) return false;
        buffer.commit(write_short_pointer(number, out));
        return true;
    }
    uint8_t field[5];
    return buffer.push_each(field, write_short_pointer(number, field));
}

// The first occurrence of a str value: numbered, then written as flag 18
// (ASCII) or 10 (UTF-8) with its text. `at` is where its lookup ended.
template <class Buffer>
[[nodiscard, gnu::noinline]] bool encode_new_string(PyObject* str, SerializingStringCache::Lookup& at,
                                                    SerializeContext<Buffer>& ctx) {
    StrBytes text;
    if (!str_bytes(str, text)) return false;
    uint64_t number = 0;
    if (!ctx.cache.template insert<SerializingStringCache::Memo::Values>(str, at, number)) return false;
    if (const auto length = static_cast<size_t>(text.length);
        ctx.buffer.can_write_block(1 + MAX_SIZE_FIELD + length, length)) [[likely]] {
        // The flag, size field and text go in with one capacity check.
        uint8_t* out = ctx.buffer.reserve(1 + MAX_SIZE_FIELD + length);
        if (out == nullptr) return false;
        out[0] = byte(text.ascii ? Flag::AsciiStr : Flag::Str);
        const size_t header = 1 + encode_size_field<SizeForm::Value>(length, out + 1);
        copy_bytes(out + header, text.data, length);
        ctx.buffer.commit(header + length);
        return true;
    }
    return ctx.buffer.push(byte(text.ascii ? Flag::AsciiStr : Flag::Str)) &&
           ctx.buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(text.length)) &&
           ctx.buffer.extend(text.data, static_cast<size_t>(text.length));
}

// A str value (exact str): flag 0 when empty, a back-reference when already
// written, else its text, numbered. Repeats are answered from the table's
// copy of the text (or its memo) without converting the string.
template <class Buffer>
[[nodiscard]] inline bool encode_string(PyObject* str, SerializeContext<Buffer>& ctx) {
    using Memo = SerializingStringCache::Memo;
    uint64_t number = 0;
    if (ctx.cache.template find_recent<Memo::Values>(str, number)) return encode_pointer(number, ctx.buffer);
    if (PyUnicode_GET_LENGTH(str) == 0) return ctx.buffer.push(byte(Flag::EmptyStr));
    SerializingStringCache::Lookup at;
    if (ctx.cache.template lookup<Memo::Values>(str, at, number)) return encode_pointer(number, ctx.buffer);
    return encode_new_string(str, at, ctx);
}

// The back-reference form of a dict key: FE and the number.
template <class Buffer>
[[nodiscard]] inline bool encode_key_reference(uint64_t number, Buffer& buffer) {
    if (buffer.can_write_block(1 + MAX_SIZE_FIELD)) [[likely]] {
        uint8_t* out = buffer.reserve(1 + MAX_SIZE_FIELD);
        if (out == nullptr) return false;
        out[0] = KEY_REFERENCE_MARKER;
        buffer.commit(1 + encode_size_field<SizeForm::Value>(number, out + 1));
        return true;
    }
    return buffer.push(KEY_REFERENCE_MARKER) && buffer.template push_size<SizeForm::Value>(number);
}

// A dict key its memo does not know: looked up in (or added to) the table.
template <class Buffer>
[[nodiscard, gnu::noinline]] bool encode_unmemoised_key(PyObject* str, SerializeContext<Buffer>& ctx) {
    using Memo = SerializingStringCache::Memo;
    uint64_t number = 0;
    SerializingStringCache::Lookup at;
    if (ctx.cache.template lookup<Memo::Keys>(str, at, number)) return encode_key_reference(number, ctx.buffer);
    StrBytes text;
    if (!str_bytes(str, text)) return false;
    if (!ctx.cache.template insert<Memo::Keys>(str, at, number)) return false;
    const auto length = static_cast<uint64_t>(text.length);
    if (ctx.buffer.can_write_block(MAX_SIZE_FIELD + 1 + length, length)) [[likely]] {
        uint8_t* out = ctx.buffer.reserve(MAX_SIZE_FIELD + 1 + length);
        if (out == nullptr) return false;
        size_t header = encode_size_field<SizeForm::Key>(text.ascii ? length + 1 : length, out);
        if (text.ascii) out[header++] = ASCII_MARKER;
        copy_bytes(out + header, text.data, static_cast<size_t>(length));
        ctx.buffer.commit(header + static_cast<size_t>(length));
        return true;
    }
    if (text.ascii) {
        return ctx.buffer.template push_size<SizeForm::Key>(length + 1) && ctx.buffer.push(ASCII_MARKER) &&
               ctx.buffer.extend(text.data, static_cast<size_t>(length));
    }
    return ctx.buffer.template push_size<SizeForm::Key>(length) &&
           ctx.buffer.extend(text.data, static_cast<size_t>(length));
}

// A key of a str-keyed dict: FE and the number when already written, else the
// key-form length and the text, an ASCII text behind the FE marker. Empty keys
// are numbered like any other. Most keys are the very objects seen before and
// are answered by their memo without reading the string.
template <class Buffer>
[[nodiscard]] inline bool encode_dict_key(PyObject* str, SerializeContext<Buffer>& ctx) {
    uint64_t number = 0;
    if (ctx.cache.template find_recent<SerializingStringCache::Memo::Keys>(str, number)) [[likely]] {
        return encode_key_reference(number, ctx.buffer);
    }
    return encode_unmemoised_key(str, ctx);
}

}  // namespace quarl
