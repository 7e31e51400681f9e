// Decoders of typed lists (flag 14): packed None, float, str, bytes and bool elements.
#pragma once

#include "deserializing/decode_context.hpp"
#include "deserializing/primitives.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_null_list(DecodeContext<Holder>& ctx, uint64_t n) {
    if (!ctx.charge_free_elements(n, sizeof(PyObject*))) return nullptr;
    PyObject* sequence = new_sequence(ctx, n);
    if (sequence == nullptr) return nullptr;
    for (uint64_t i = 0; i < n; ++i) set_sequence_item(ctx, sequence, i, Py_None);  // immortal: no reference needed
    return finish_sequence(sequence);
}

template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_floats_list(DecodeContext<Holder>& ctx, uint64_t n, size_t at) {
    if (!ctx.fits(n, 8, at)) return nullptr;
    PyPointer sequence = PyPointer::steal(new_sequence(ctx, n));
    if (!sequence) return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        PyObject* item = decode_f64(ctx.in);
        if (item == nullptr) return nullptr;
        set_sequence_item(ctx, sequence.get(), i, item);
    }
    return finish_sequence(sequence.release());
}

template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_str_list(DecodeContext<Holder>& ctx, uint64_t n, size_t at) {
    if (!ctx.fits(n, 1, at)) return nullptr;
    PyPointer sequence = PyPointer::steal(new_sequence(ctx, n));
    if (!sequence) return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        PyObject* item = decode_string_without_inserting_pointer<StrPayload::Marked>(ctx.in);
        if (item == nullptr) return nullptr;
        set_sequence_item(ctx, sequence.get(), i, item);
        if (!ctx.holder.insert(item)) return nullptr;
    }
    return finish_sequence(sequence.release());
}

template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_bytes_list(DecodeContext<Holder>& ctx, uint64_t n, size_t at) {
    if (!ctx.fits(n, 1, at)) return nullptr;
    PyPointer sequence = PyPointer::steal(new_sequence(ctx, n));
    if (!sequence) return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        PyObject* item = decode_bytes(ctx.in);
        if (item == nullptr) return nullptr;
        set_sequence_item(ctx, sequence.get(), i, item);
    }
    return finish_sequence(sequence.release());
}

template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_bool_list(DecodeContext<Holder>& ctx, uint64_t n, size_t at) {
    const uint64_t packed_size = n / 8 + (n % 8 != 0 ? 1 : 0);
    const uint8_t* packed = nullptr;
    if (!ctx.fits(packed_size, 1, at) || !ctx.in.take(packed_size, packed)) return nullptr;
    PyObject* sequence = new_sequence(ctx, n);
    if (sequence == nullptr) return nullptr;
    // First element in the most significant bit; the last byte's spare bits are ignored.
    for (uint64_t i = 0; i < n; ++i) {
        const bool set = (packed[i / 8] >> (7 - i % 8)) & 1u;
        set_sequence_item(ctx, sequence, i, set ? Py_True : Py_False);  // immortal
    }
    return finish_sequence(sequence);
}

// After the flag byte: element type, count, elements.
template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_typed_list(DecodeContext<Holder>& ctx) {
    uint8_t element_type = 0;
    uint64_t n = 0;
    const size_t type_offset = ctx.in.position;
    if (!ctx.in.read_byte(element_type) || !ctx.in.read_size(n)) return nullptr;
    const size_t count_offset = type_offset + 1;
    switch (static_cast<ElementType>(element_type)) {
        case ElementType::None:
            return decode_null_list(ctx, n);
        case ElementType::Float:
            return decode_floats_list(ctx, n, count_offset);
        case ElementType::Str:
            return decode_str_list(ctx, n, count_offset);
        case ElementType::Bytes:
            return decode_bytes_list(ctx, n, count_offset);
        case ElementType::Bool:
            return decode_bool_list(ctx, n, count_offset);
    }
    unexpected_element_type(msg::UNEXPECTED_LIST_TYPE, element_type, type_offset);
    return nullptr;
}

}  // namespace quarl
