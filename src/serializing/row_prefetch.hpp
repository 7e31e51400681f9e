// Requests for the memory of rows the list-of-rows writer is about to reach.
//
// Writing a row waits on a chain of cache misses: the dict, its entry table,
// its keys and values, and the string-table slot of each string, which is
// known only once the string has arrived. Each request is made for a row a
// little further ahead than the next link needs, so that every link has
// arrived by the time the following one reads it. Prefetching only reads: a
// wrong guess costs time, never correctness.
#pragma once

#include "serializing/serialize_context.hpp"
#include "utils/dict_layout.hpp"
#include "utils/prefetch.hpp"
#include "utils/python.hpp"

namespace quarl {

// The str-key table of `row` when it is an exact dict read in place, else null.
[[nodiscard]] inline const dict_layout::KeysHeader* row_table(PyObject* row) noexcept {
    return Py_TYPE(row) == &PyDict_Type ? dict_layout::str_key_table(row) : nullptr;
}

// Calls `visit(key, value)` for each entry of `row` read in place.
template <class Visit>
inline void for_each_entry(PyObject* row, Visit&& visit) noexcept {
    const dict_layout::KeysHeader* keys = row_table(row);
    if (keys == nullptr) return;
    const dict_layout::UnicodeEntry* entries = dict_layout::entries_of(keys);
    for (Py_ssize_t e = 0; e < keys->nentries; ++e) {
        if (entries[e].value != nullptr) visit(entries[e].key, entries[e].value);
    }
}

// The first lines of a dict's keys object: header, indices and the first entries.
inline void prefetch_table(PyObject* dict, int lines) noexcept {
    const auto* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    for (int line = 0; line < lines; ++line) prefetch(keys + 64 * line);
}

// Requests the values of `row`, when it is a dict read in place.
inline void prefetch_values(PyObject* row) noexcept {
    for_each_entry(row, [](PyObject*, PyObject* value) { prefetch(value); });
}

// Requests the string-table slot of each str value of `row` (a dict read in
// place) whose string has arrived.
template <class Buffer>
inline void prefetch_value_slots(PyObject* row, SerializeContext<Buffer>& ctx) noexcept {
    for_each_entry(row, [&](PyObject*, PyObject* value) {
        if (Py_TYPE(value) == &PyUnicode_Type) ctx.cache.prefetch_slot(value);
    });
}

// Before row `i` of the `n` rows is written: the dict eight rows on, its
// entry table four rows on, its keys and values two on.
inline void prefetch_row(PyObject** rows, Py_ssize_t i, Py_ssize_t n) noexcept {
    if (i + 8 < n) prefetch(rows[i + 8]);
    if (i + 4 < n && Py_TYPE(rows[i + 4]) == &PyDict_Type) prefetch_table(rows[i + 4], 5);
    if (i + 2 < n) {
        for_each_entry(rows[i + 2], [](PyObject* key, PyObject* value) {
            prefetch(key);
            prefetch(value);
        });
    }
}

}  // namespace quarl
