// Writers of str values and dict keys through the string cache: the first
// occurrence of a string is written in full and numbered, later ones are
// back-references to that number.
#pragma once

#include "lib/cached_objects.hpp"
#include "serializing/serialize_context.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
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

// A back-reference in the smallest form that holds `number`.
template <class Buffer>
[[nodiscard]] inline bool encode_pointer(uint64_t number, Buffer& buffer) {
    uint8_t field[5];
    unsigned width;
    if (number < (1ULL << 8)) {
        width = 1;
    } else if (number < (1ULL << 16)) {
        width = 2;
    } else if (number < (1ULL << 24)) {
        width = 3;
    } else if (number < (1ULL << 32)) {
        width = 4;
    } else {
        return buffer.push(byte(Flag::RefLong)) && buffer.template push_size<SizeForm::Value>(number);
    }
    field[0] = static_cast<uint8_t>(byte(Flag::Ref8) + width - 1);
    for (unsigned i = 0; i < width; ++i) field[1 + i] = static_cast<uint8_t>(number >> (8 * (width - 1 - i)));
    return buffer.push_each(field, width + 1);
}

// A str value (exact str): flag 0 when empty, a back-reference when already
// written, else flag 18 (ASCII) or 10 (UTF-8) with the text, numbered.
template <class Buffer>
[[nodiscard]] inline bool encode_string(PyObject* str, SerializeContext<Buffer>& ctx) {
    StrBytes text;
    if (!str_bytes(str, text)) return false;
    if (text.length == 0) return ctx.buffer.push(byte(Flag::EmptyStr));
    uint64_t number = 0;
    bool found = false;
    if (!ctx.cache.find_or_insert(str, str_hash(str), number, found)) return false;
    if (found) return encode_pointer(number, ctx.buffer);
    return ctx.buffer.push(byte(text.ascii ? Flag::AsciiStr : Flag::Str)) &&
           ctx.buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(text.length)) &&
           ctx.buffer.extend(text.data, static_cast<size_t>(text.length));
}

// A key of a str-keyed dict: FE and the number when already written, else the
// key-form length and the text, an ASCII text behind the FE marker. Empty keys
// are numbered like any other.
template <class Buffer>
[[nodiscard]] inline bool encode_dict_key(PyObject* str, SerializeContext<Buffer>& ctx) {
    StrBytes text;
    if (!str_bytes(str, text)) return false;
    uint64_t number = 0;
    bool found = false;
    if (!ctx.cache.find_or_insert(str, str_hash(str), number, found)) return false;
    if (found) {
        return ctx.buffer.push(KEY_REFERENCE_MARKER) && ctx.buffer.template push_size<SizeForm::Value>(number);
    }
    const auto length = static_cast<uint64_t>(text.length);
    if (text.ascii) {
        return ctx.buffer.template push_size<SizeForm::Key>(length + 1) && ctx.buffer.push(ASCII_MARKER) &&
               ctx.buffer.extend(text.data, static_cast<size_t>(length));
    }
    return ctx.buffer.template push_size<SizeForm::Key>(length) &&
           ctx.buffer.extend(text.data, static_cast<size_t>(length));
}

}  // namespace quarl
