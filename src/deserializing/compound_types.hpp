// Decoders of lists, dicts (general and str-keyed), str-keyed dict keys and
// lists of structured dicts.
#pragma once

#include <vector>

#include "deserializing/decode_context.hpp"
#include "deserializing/primitives.hpp"
#include "utils/dict_layout.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// Turns the TypeError of an unhashable key into the format's error: such a
// key is corrupt data, placed at `key_at`, where the key starts. Other
// failures (MemoryError, errors that are no Exception) pass unchanged.
[[nodiscard]] inline bool refuse_key(PyObject* key, size_t key_at) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyObject* original = PyErr_GetRaisedException();
    PyErr_Format(DESERIALIZATION_ERROR, msg::INVALID_KEY_TYPE, reinterpret_cast<PyObject*>(Py_TYPE(key)));
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, original);
    PyErr_SetRaisedException(raised);
    place_pending_damage(key_at);
    return false;
}

// Sets dict[key] = value, refusing a key that cannot be inserted.
[[nodiscard]] inline bool set_dict_item(PyObject* dict, PyObject* key, PyObject* value, size_t key_at) noexcept {
    if (PyDict_SetItem(dict, key, value) == 0) [[likely]] return true;
    return refuse_key(key, key_at);
}

// A dict key handed out without a dict (item walks): refused as a dict
// would refuse it, so every reader gives one answer.
[[nodiscard]] inline bool check_dict_key(PyObject* key, size_t key_at) noexcept {
    if (PyObject_Hash(key) != -1) [[likely]] return true;
    return refuse_key(key, key_at);
}

// How many items to presize a dict of n for. The interpreter sizes the table
// one step too large when 3n + 1 is a power of two (n = 21, 85, 341, ...);
// one item fewer gets the smallest table that holds n, as growing does.
[[nodiscard]] constexpr uint64_t presize_count(uint64_t n) noexcept {
    return n > 5 && ((3 * n + 1) & (3 * n)) == 0 ? n - 1 : n;
}

// New empty dict for `n` items. Str-keyed dicts start at the smallest table
// and grow as they fill: the interpreter's presized tables always take the
// general layout, a third larger per entry than the str-key layout that
// growth keeps (the table marshal's result has), and slower to look up.
[[nodiscard]] inline PyObject* new_dict(uint64_t n, bool str_keys) noexcept {
    return str_keys ? PyDict_New() : _PyDict_NewPresized(static_cast<Py_ssize_t>(presize_count(n)));
}

// The keys and values of a str-keyed dict, decoded before the dict is made:
// the interpreter then sizes a str-key table once for all of them, where
// growing one item by item would rebuild it at every doubling.
class CollectedItems {
public:
    explicit CollectedItems(uint64_t n)
        : items_(2 * n <= INLINE ? inline_ : (heap_.resize(2 * static_cast<size_t>(n)), heap_.data())) {}
    CollectedItems(const CollectedItems&) = delete;
    CollectedItems& operator=(const CollectedItems&) = delete;
    ~CollectedItems() {
        for (size_t i = 0; i < count_; ++i) Py_DECREF(items_[i]);
    }
    // Takes a new reference.
    void add(PyObject* item) noexcept { items_[count_++] = item; }
    // New reference to the dict of the collected pairs; null with an exception set.
    [[nodiscard]] PyObject* build() const noexcept {
        const size_t pairs = count_ / 2;
        const size_t presized = presize_count(pairs);  // the last pair, if left out, is added after
        PyObject* dict = _PyDict_FromItems(items_, 2, items_ + 1, 2, static_cast<Py_ssize_t>(presized));
        if (dict != nullptr && presized != pairs && PyDict_SetItem(dict, items_[count_ - 2], items_[count_ - 1]) != 0) {
            Py_CLEAR(dict);
        }
        return dict;
    }

private:
    static constexpr size_t INLINE = 12;  // six pairs: small dicts allocate nothing
    PyObject* inline_[INLINE];
    std::vector<PyObject*> heap_;
    PyObject** items_;
    size_t count_ = 0;
};

// Flag 13, after the flag byte.
template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_list(DecodeContext<Holder>& ctx) {
    const size_t at = ctx.in.position;
    uint64_t n = 0;
    if (!ctx.in.read_size(n) || !ctx.fits(n, 1, at)) return nullptr;
    RecursionGuard guard(ctx.thread, " while deserializing a list");
    if (!guard.ok()) return nullptr;
    PyPointer sequence = PyPointer::steal(new_sequence(ctx, n));
    if (!sequence) return nullptr;
    ctx.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
        ctx.start_item(1);
        PyObject* item = deserialize_object(ctx);
        if (item == nullptr) return nullptr;
        set_sequence_item(ctx, sequence.get(), i, item);
    }
    return finish_sequence(sequence.release());
}

// A key of a str-keyed dict: FE and a reference number, or an inline
// key-form string, which takes the next number.
template <PointerHolder Holder>
[[nodiscard]] PyObject* deserialize_dict_key(DecodeContext<Holder>& ctx) {
    uint8_t first = 0;
    if (!ctx.in.peek_byte(first)) return nullptr;
    const size_t at = ctx.in.position;
    if (first == KEY_REFERENCE_MARKER) {
        ++ctx.in.position;
        uint64_t number = 0;
        if (!ctx.in.read_size(number)) return nullptr;
        return placed(ctx.holder.safe_get(number, at), at);
    }
    return numbered(ctx, placed(decode_string_without_inserting_pointer<StrPayload::Marked, SizeForm::Key>(ctx.in), at));
}

// Flags 15 and 16, after the flag byte: the keys are ordinary encoded values,
// or (`StrKeys`) the key forms of a str-keyed dict. Keys that collide in the
// hash table cost a probe per earlier colliding key, as in any dict built
// item by item.
template <bool StrKeys, PointerHolder Holder>
[[nodiscard]] PyObject* decode_dict(DecodeContext<Holder>& ctx) {
    const size_t at = ctx.in.position;
    uint64_t n = 0;
    if (!ctx.in.read_size(n) || !ctx.fits(n, 2, at)) return nullptr;
    RecursionGuard guard(ctx.thread, " while deserializing a dict");
    if (!guard.ok()) return nullptr;
    if constexpr (StrKeys) {
        // Keys are str, so no insertion can fail on its key: decoding all
        // items first raises the same errors in the same order.
        CollectedItems items(n);
        ctx.reserve(2 * n);
        for (uint64_t i = 0; i < n; ++i) {
            ctx.start_item(1);
            PyObject* key = deserialize_dict_key(ctx);
            if (key == nullptr) return nullptr;
            items.add(key);
            ctx.start_item(1);
            PyObject* value = deserialize_object(ctx);
            if (value == nullptr) return nullptr;
            items.add(value);
        }
        return items.build();
    }
    PyPointer dict = PyPointer::steal(new_dict(n, StrKeys));
    if (!dict) return nullptr;
    DictUnderConstruction building;
    ctx.reserve(2 * n);
    for (uint64_t i = 0; i < n; ++i) {
        ctx.start_item(1);
        const size_t key_at = ctx.in.position;
        PyPointer key = PyPointer::steal(StrKeys ? deserialize_dict_key(ctx) : deserialize_object(ctx));
        if (!key) return nullptr;
        ctx.start_item(1);
        PyPointer value = PyPointer::steal(deserialize_object(ctx));
        if (!value || !set_dict_item(dict.get(), key.get(), value.get(), key_at)) return nullptr;
        building.inserted(dict.get(), key.get(), value.get());
    }
    return building.finish(dict.release());
}

// The rows after the first of a list of structured dicts, when every key of
// the first row is distinct. Each row starts as a copy of `blank`, the first
// row with None for every value (a copy clones the hash table as it is,
// without hashing or comparing a key), and its values are stored straight
// into the copy's entries, which are in key order: keys that collide in the
// table cost nothing per row. Returns the first row not decoded: `rows` when
// all were, or where a copy is laid out otherwise (the caller goes on item by
// item); `failed` is set when an error was raised.
template <PointerHolder Holder>
[[nodiscard]] uint64_t decode_rows_from_blank(DecodeContext<Holder>& ctx, PyObject* sequence, PyObject* blank,
                                              uint64_t rows, uint64_t width, bool keys_need_tracking, bool& failed) {
    for (uint64_t row = 1; row < rows; ++row) {
        PyPointer dict = PyPointer::steal(PyDict_Copy(blank));
        if (!dict) return failed = true, row;
        PyObject_GC_UnTrack(dict.get());  // a copy made by inserting may have been tracked
        const dict_layout::ValueSlots slots = dict_layout::value_slots(dict.get());
        if (slots.first == nullptr || dict_layout::keys_of(dict.get())->nentries != static_cast<Py_ssize_t>(width)) {
            return row;
        }
        bool needs_tracking = keys_need_tracking;
        for (uint64_t j = 0; j < width; ++j) {
            ctx.start_item(1);
            PyObject* value = deserialize_object(ctx);
            if (value == nullptr) return failed = true, row;
            needs_tracking |= is_collected_type(value);
            PyObject* none = slots[j];
            slots[j] = value;
            Py_DECREF(none);
        }
        if (needs_tracking) PyObject_GC_Track(dict.get());
        set_sequence_item(ctx, sequence, row, dict.release());
    }
    return rows;
}

// `first` with None for every value, untracked; null with an error raised.
[[nodiscard]] inline PyObject* blank_copy(PyObject* first) noexcept {
    PyObject* blank = PyDict_Copy(first);
    if (blank == nullptr) return nullptr;
    PyObject_GC_UnTrack(blank);
    const dict_layout::ValueSlots slots = dict_layout::value_slots(blank);
    const Py_ssize_t entries = slots.first != nullptr ? dict_layout::keys_of(blank)->nentries : 0;
    for (Py_ssize_t i = 0; i < entries; ++i) Py_SETREF(slots[static_cast<size_t>(i)], Py_None);
    return blank;
}

// Flag 19, after the flag byte: N rows, K keys; the first row as key/value
// pairs, then K values per further row in the first row's key order.
template <PointerHolder Holder>
[[nodiscard]] PyObject* decode_list_of_structured_dicts(DecodeContext<Holder>& ctx) {
    const size_t at = ctx.in.position;
    uint64_t rows = 0;
    uint64_t width = 0;
    if (!ctx.in.read_size(rows) || !ctx.in.read_size(width)) return nullptr;
    if (rows == 0) return corrupted(msg::EMPTY_STRUCTURED_LIST, at), nullptr;
    // Every key and value takes at least one byte of input.
    const uint64_t unreserved = ctx.unreserved();
    uint64_t claimed = 0;
    if (width == 0) {
        if (!ctx.charge_free_elements(rows, sizeof(PyObject*) + sizeof(PyDictObject) + 16)) return nullptr;
    } else if (width > unreserved / 2 || rows - 1 > (unreserved - 2 * width) / width) {
        return end_of_input(at), nullptr;
    } else {
        claimed = 2 * width + (rows - 1) * width;
    }
    RecursionGuard guard(ctx.thread, " while deserializing a list of dicts");
    if (!guard.ok()) return nullptr;

    PyPointer sequence = PyPointer::steal(new_sequence(ctx, rows));
    if (!sequence) return nullptr;
    ctx.reserve(claimed);
    std::vector<PyPointer> keys(static_cast<size_t>(width));
    PyPointer first = PyPointer::steal(new_dict(width, true));
    if (!first) return nullptr;
    DictUnderConstruction building;
    for (PyPointer& key : keys) {
        ctx.start_item(1);
        const size_t key_at = ctx.in.position;
        key = PyPointer::steal(deserialize_object(ctx));
        if (!key) return nullptr;
        ctx.start_item(1);
        PyPointer value = PyPointer::steal(deserialize_object(ctx));
        if (!value || !set_dict_item(first.get(), key.get(), value.get(), key_at)) return nullptr;
        building.inserted(first.get(), key.get(), value.get());
    }
    uint64_t row = 1;
    if (rows > 1 && width != 0 && PyDict_GET_SIZE(first.get()) == static_cast<Py_ssize_t>(width)) {
        bool keys_need_tracking = false;
        for (const PyPointer& key : keys) keys_need_tracking |= is_collected_type(key.get());
        PyPointer blank = PyPointer::steal(blank_copy(first.get()));
        if (!blank) return nullptr;
        set_sequence_item(ctx, sequence.get(), 0, building.finish(first.release()));
        bool failed = false;
        row = decode_rows_from_blank(ctx, sequence.get(), blank.get(), rows, width, keys_need_tracking, failed);
        if (failed) return nullptr;
    } else {
        set_sequence_item(ctx, sequence.get(), 0, building.finish(first.release()));
    }
    // A first row with a repeated key (or a table laid out otherwise): each
    // row is filled item by item.
    for (; row < rows; ++row) {
        PyPointer dict = PyPointer::steal(new_dict(width, true));
        if (!dict) return nullptr;
        DictUnderConstruction row_building;
        for (const PyPointer& key : keys) {
            ctx.start_item(1);
            PyPointer value = PyPointer::steal(deserialize_object(ctx));
            if (!value || !set_dict_item(dict.get(), key.get(), value.get(), ctx.in.position)) return nullptr;
            row_building.inserted(dict.get(), key.get(), value.get());
        }
        set_sequence_item(ctx, sequence.get(), row, row_building.finish(dict.release()));
    }
    return finish_sequence(sequence.release());
}

}  // namespace quarl
