// Direct reading of a dict's entry table, for the encoder's hot loop.
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

inline constexpr uint8_t KIND_UNICODE = 1;

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

}  // namespace quarl::dict_layout
