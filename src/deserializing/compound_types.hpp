// Decoders of lists, dicts (general and str-keyed), str-keyed dict keys and
// lists of structured dicts.
#pragma once

#include <vector>

#include "deserializing/decode_context.hpp"
#include "deserializing/primitives.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// Sets dict[key] = value; a key that cannot be inserted (unhashable) is
// corrupt data for this format.
[[nodiscard]] inline bool set_dict_item(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    if (PyDict_SetItem(dict, key, value) == 0) [[likely]] return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyObject* original = PyErr_GetRaisedException();
    PyErr_Format(DESERIALIZATION_ERROR, msg::INVALID_KEY_TYPE, reinterpret_cast<PyObject*>(Py_TYPE(key)));
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, original);
    PyErr_SetRaisedException(raised);
    return false;
}

// Flag 13, after the flag byte.
template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_list(DecodeContext<Holder>& ctx) {
    uint64_t n = 0;
    if (!ctx.in.read_count(n, 1)) return nullptr;
    RecursionGuard guard(ctx.thread, " while deserializing a list");
    if (!guard.ok()) return nullptr;
    PyPointer sequence = PyPointer::steal(new_sequence(ctx, n));
    if (!sequence) return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        PyObject* item = deserialize_object(ctx);
        if (item == nullptr) return nullptr;
        set_sequence_item(ctx, sequence.get(), i, item);
    }
    return sequence.release();
}

// A key of a str-keyed dict: FE and a reference number, or an inline
// key-form string, which takes the next number.
template <PointerHolder Holder>
[[nodiscard]] PyObject* deserialize_dict_key(DecodeContext<Holder>& ctx) {
    uint8_t first = 0;
    if (!ctx.in.peek_byte(first)) return nullptr;
    if (first == KEY_REFERENCE_MARKER) {
        ++ctx.in.position;
        uint64_t number = 0;
        if (!ctx.in.read_size(number)) return nullptr;
        return ctx.holder.safe_get(number);
    }
    return numbered(ctx, decode_string_without_inserting_pointer<StrPayload::Marked, SizeForm::Key>(ctx.in));
}

// Flags 15 and 16, after the flag byte: the keys are ordinary encoded values,
// or (`StrKeys`) the key forms of a str-keyed dict.
template <bool StrKeys, PointerHolder Holder>
[[nodiscard]] PyObject* decode_dict(DecodeContext<Holder>& ctx) {
    uint64_t n = 0;
    if (!ctx.in.read_count(n, 2)) return nullptr;
    RecursionGuard guard(ctx.thread, " while deserializing a dict");
    if (!guard.ok()) return nullptr;
    PyPointer dict = PyPointer::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
    if (!dict) return nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        PyPointer key = PyPointer::steal(StrKeys ? deserialize_dict_key(ctx) : deserialize_object(ctx));
        if (!key) return nullptr;
        PyPointer value = PyPointer::steal(deserialize_object(ctx));
        if (!value || !set_dict_item(dict.get(), key.get(), value.get())) return nullptr;
    }
    return dict.release();
}

// Flag 19, after the flag byte: N rows, K keys; the first row as key/value
// pairs, then K values per further row in the first row's key order.
template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_list_of_structured_dicts(DecodeContext<Holder>& ctx) {
    uint64_t rows = 0;
    uint64_t width = 0;
    if (!ctx.in.read_size(rows) || !ctx.in.read_size(width)) return nullptr;
    if (rows == 0) return corrupted(msg::EMPTY_STRUCTURED_LIST), nullptr;
    // Every key and value takes at least one byte of input.
    const uint64_t remaining = ctx.in.remaining();
    if (width == 0) {
        if (!ctx.charge_free_elements(rows, sizeof(PyObject*) + sizeof(PyDictObject) + 16)) return nullptr;
    } else if (width > remaining / 2 || rows - 1 > (remaining - 2 * width) / width) {
        return end_of_input(), nullptr;
    }
    RecursionGuard guard(ctx.thread, " while deserializing a list of dicts");
    if (!guard.ok()) return nullptr;

    PyPointer sequence = PyPointer::steal(new_sequence(ctx, rows));
    if (!sequence) return nullptr;
    std::vector<PyPointer> keys(static_cast<size_t>(width));
    {
        PyPointer first = PyPointer::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(width)));
        if (!first) return nullptr;
        for (PyPointer& key : keys) {
            key = PyPointer::steal(deserialize_object(ctx));
            if (!key) return nullptr;
            PyPointer value = PyPointer::steal(deserialize_object(ctx));
            if (!value || !set_dict_item(first.get(), key.get(), value.get())) return nullptr;
        }
        set_sequence_item(ctx, sequence.get(), 0, first.release());
    }
    for (uint64_t row = 1; row < rows; ++row) {
        PyPointer dict = PyPointer::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(width)));
        if (!dict) return nullptr;
        for (const PyPointer& key : keys) {
            PyPointer value = PyPointer::steal(deserialize_object(ctx));
            if (!value || !set_dict_item(dict.get(), key.get(), value.get())) return nullptr;
        }
        set_sequence_item(ctx, sequence.get(), row, dict.release());
    }
    return sequence.release();
}

}  // namespace quarl
