// Decoders of typed lists (flag 14): packed None, float, str, bytes and bool elements.
#pragma once

#include "deserializing/decode_context.hpp"
#include "deserializing/primitives.hpp"
#include "utils/safe_py_pointer.hpp"
#include "utils/value_forms.hpp"

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
[[nodiscard]] PyObject* decode_floats_list(DecodeContext<Holder>& ctx, uint64_t n) {
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
[[nodiscard]] PyObject* decode_str_list(DecodeContext<Holder>& ctx, uint64_t n) {
    PyPointer sequence = PyPointer::steal(new_sequence(ctx, n));
    if (!sequence) return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        const size_t at = ctx.in.position;
        PyObject* item = placed(decode_string_without_inserting_pointer<StrPayload::Marked>(ctx.in), at);
        if (item == nullptr) return nullptr;
        set_sequence_item(ctx, sequence.get(), i, item);
        if (!ctx.holder.insert(item)) return nullptr;
    }
    return finish_sequence(sequence.release());
}

template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_bytes_list(DecodeContext<Holder>& ctx, uint64_t n) {
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
[[nodiscard]] PyObject* decode_bool_list(DecodeContext<Holder>& ctx, uint64_t n) {
    const uint64_t packed_size = packed_bool_bytes(n);
    const uint8_t* packed = nullptr;
    if (!ctx.in.take(packed_size, packed)) return nullptr;
    PyObject* sequence = new_sequence(ctx, n);
    if (sequence == nullptr) return nullptr;
    // First element in the most significant bit; the last byte's spare bits are ignored.
    for (uint64_t i = 0; i < n; ++i) {
        const bool set = (packed[i / 8] >> (7 - i % 8)) & 1u;
        set_sequence_item(ctx, sequence, i, set ? Py_True : Py_False);  // immortal
    }
    return finish_sequence(sequence);
}

// After the flag byte: element type, count, elements. The type is judged
// after the count is read, and the count against the input before anything
// is allocated.
template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_typed_list(DecodeContext<Holder>& ctx) {
    uint8_t element_type = 0;
    uint64_t n = 0;
    const size_t type_offset = ctx.in.position;
    if (!ctx.in.read_byte(element_type) || !ctx.in.read_size(n)) return nullptr;
    const ElementForm& form = element_form(element_type);
    if (form.kind == ElementKind::Invalid) return unknown_element_type(type_offset), nullptr;
    const ElementClaim claim = element_claim(form, n);
    if (claim.min_bytes != 0 && !ctx.fits(claim.units, claim.min_bytes, type_offset + 1)) return nullptr;
    switch (form.kind) {
        case ElementKind::None:
            return decode_null_list(ctx, n);
        case ElementKind::Float:
            return decode_floats_list(ctx, n);
        case ElementKind::Str:
            return decode_str_list(ctx, n);
        case ElementKind::Bytes:
            return decode_bytes_list(ctx, n);
        case ElementKind::Bool:
            return decode_bool_list(ctx, n);
        case ElementKind::Invalid:
            break;
    }
    return nullptr;
}

}  // namespace quarl
