// Direct access to a dict's entry table: reading it in the encoder's hot
// loop, and storing values into fresh rows in the decoder.
//
// CPython 3.13 keeps the entries of a dict whose keys are all exact str in a
// combined table of (key, value) pairs, in insertion order. Reading it
// directly avoids a PyDict_Next call per item, and the table kind tells at
// once that every key is an exact str. The layout below mirrors the
// interpreter's private structure; a self-test at start-up checks it against
// real dicts and turns the fast path off if anything differs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/python.hpp"

namespace quarl::dict_layout {

// Set at start-up when the self-test passes.
extern bool enabled;

// Runs the self-test and sets `enabled`. Never fails; leaves no exception set.
void self_test() noexcept;

struct UnicodeEntry {
    PyObject* key;
    PyObject* value;  // null for a deleted entry
};

// The private keys object: only the header fields read here.
struct KeysHeader {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 0 general, 1 str keys, 2 split
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};

inline constexpr uint8_t KIND_GENERAL = 0;
inline constexpr uint8_t KIND_UNICODE = 1;

// An entry of a table with keys of any type.
struct GeneralEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};

[[nodiscard]] inline const KeysHeader* keys_of(PyObject* dict) noexcept {
    return reinterpret_cast<const KeysHeader*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

// The combined str-key table of `dict`, or null when the dict has another
// layout (split table, non-str keys) or the fast path is off.
[[nodiscard]] inline const KeysHeader* str_key_table(PyObject* dict) noexcept {
    if (!enabled || reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr) return nullptr;
    const KeysHeader* keys = keys_of(dict);
    return keys->kind == KIND_UNICODE ? keys : nullptr;
}

[[nodiscard]] inline const UnicodeEntry* entries_of(const KeysHeader* keys) noexcept {
    const char* indices = reinterpret_cast<const char*>(keys) + sizeof(KeysHeader);
    return reinterpret_cast<const UnicodeEntry*>(indices + (size_t{1} << keys->log2_index_bytes));
}

// The value slots of a combined table (str or general keys) in entry order,
// as a base pointer and a stride in pointers; null base for any other layout
// or when the fast path is off.
struct ValueSlots {
    PyObject** first;
    size_t stride;

    [[nodiscard]] PyObject*& operator[](size_t i) const noexcept { return first[i * stride]; }
};

[[nodiscard]] inline ValueSlots value_slots(PyObject* dict) noexcept {
    if (!enabled || reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr) return {nullptr, 0};
    auto* keys = const_cast<KeysHeader*>(keys_of(dict));
    char* entries = reinterpret_cast<char*>(keys) + sizeof(KeysHeader) + (size_t{1} << keys->log2_index_bytes);
    if (keys->kind == KIND_UNICODE) {
        return {&reinterpret_cast<UnicodeEntry*>(entries)->value, sizeof(UnicodeEntry) / sizeof(PyObject*)};
    }
    if (keys->kind == KIND_GENERAL) {
        return {&reinterpret_cast<GeneralEntry*>(entries)->value, sizeof(GeneralEntry) / sizeof(PyObject*)};
    }
    return {nullptr, 0};
}

}  // namespace quarl::dict_layout
