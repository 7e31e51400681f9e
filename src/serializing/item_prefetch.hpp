// Requests for the memory of the items of a long list or dict that the
// encoder is about to reach.
//
// A string written for the first time waits on two misses in a row: its
// object (length, kind, hash) and then its string-table slot, found only from
// what the object holds. In a long run of strings that are mostly new (logs,
// identifiers, the keys of a big dict) these waits add up to most of the
// time. Requesting the object a few items ahead, and its slot once it has
// arrived, overlaps them. Prefetching only reads: a wrong guess (the table
// grew meanwhile, the item is no string) costs time, never correctness.
#pragma once

#include "serializing/serialize_context.hpp"
#include "utils/dict_layout.hpp"
#include "utils/prefetch.hpp"
#include "utils/python.hpp"

namespace quarl {

// How far ahead the object, and then its slot, is requested.
inline constexpr Py_ssize_t OBJECT_LOOKAHEAD = 8;
inline constexpr Py_ssize_t SLOT_LOOKAHEAD = 4;

// Containers with fewer items are walked without requests: their items are
// few enough to be in cache, or too few for the requests to pay.
inline constexpr Py_ssize_t LOOKAHEAD_FROM = 64;

// Before item `i` of the `n` items is written: the object OBJECT_LOOKAHEAD on,
// and the table slot of the str SLOT_LOOKAHEAD on.
template <class Buffer, SerializingStringCache::Memo M = SerializingStringCache::Memo::Values>
inline void prefetch_item(PyObject* const* items, Py_ssize_t i, Py_ssize_t n, SerializeContext<Buffer>& ctx) noexcept {
    if (i + OBJECT_LOOKAHEAD < n) prefetch(items[i + OBJECT_LOOKAHEAD]);
    if (i + SLOT_LOOKAHEAD < n) {
        PyObject* const ahead = items[i + SLOT_LOOKAHEAD];
        if (Py_TYPE(ahead) == &PyUnicode_Type) ctx.cache.template prefetch_slot<M>(ahead);
    }
}

// The same for entry `i` of a str-key table of `n` entries: its key's slot
// (through the key memo) and, when the value is a str, the value's slot.
template <class Buffer>
inline void prefetch_entry(const dict_layout::UnicodeEntry* entries, Py_ssize_t i, Py_ssize_t n,
                           SerializeContext<Buffer>& ctx) noexcept {
    using Memo = SerializingStringCache::Memo;
    if (i + OBJECT_LOOKAHEAD < n) {
        const dict_layout::UnicodeEntry& entry = entries[i + OBJECT_LOOKAHEAD];
        prefetch(entry.key);
        if (entry.value != nullptr) prefetch(entry.value);
    }
    if (i + SLOT_LOOKAHEAD < n) {
        const dict_layout::UnicodeEntry& entry = entries[i + SLOT_LOOKAHEAD];
        if (entry.value == nullptr) return;
        ctx.cache.template prefetch_slot<Memo::Keys>(entry.key);
        if (Py_TYPE(entry.value) == &PyUnicode_Type) ctx.cache.template prefetch_slot<Memo::Values>(entry.value);
    }
}

}  // namespace quarl
