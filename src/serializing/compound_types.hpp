// Encoders of lists, tuples, dicts and lists of like dicts.
//
// Python code can run in the middle of these walks (converters, isoformat, a
// streaming writer), so each container's size is checked again after every
// item, and items are held while they are encoded.
#pragma once

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "serializing/item_prefetch.hpp"
#include "serializing/primitives.hpp"
#include "serializing/row_prefetch.hpp"
#include "serializing/serialize_context.hpp"
#include "serializing/strings.hpp"
#include "utils/dict_layout.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

template <bool IsList>
[[nodiscard]] inline PyObject** sequence_items(PyObject* sequence) noexcept {
    if constexpr (IsList) {
        return reinterpret_cast<PyListObject*>(sequence)->ob_item;
    } else {
        return reinterpret_cast<PyTupleObject*>(sequence)->ob_item;
    }
}

// A list that changed size under us; tuples cannot.
template <bool IsList>
[[nodiscard]] inline bool sequence_changed(PyObject* sequence, Py_ssize_t expected) noexcept {
    if constexpr (IsList) {
        if (PyList_GET_SIZE(sequence) != expected) [[unlikely]] {
            to_py_error(msg::LIST_CHANGED, PyExc_RuntimeError);
            return true;
        }
    }
    (void)sequence;
    (void)expected;
    return false;
}

// ---- lists of like dicts -------------------------------------------------

enum class StructuredResult { Declined, Done, Failed };

// The columns of a structured list: the first row's keys (exact str, owned)
// in its order. Rows usually repeat the very same key objects in the same
// order, so a lookup first tries the expected column by identity; wide rows
// also get a hash table.
class ColumnMap {
public:
    ColumnMap() noexcept {}
    ColumnMap(const ColumnMap&) = delete;  // `keys_` may point into the map itself
    ColumnMap& operator=(const ColumnMap&) = delete;
    ~ColumnMap() {
        if (keys_ == narrow_.keys) std::destroy_n(narrow_.keys, size_);
    }

    // Builds the map from `dict`; false (with nothing set) when a key is not
    // an exact str, false with MemoryError set when `failed`.
    [[nodiscard]] bool build(PyObject* dict, bool& failed) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // Most lists of rows are narrow and short: their keys stay in the map
        // itself, so building it allocates nothing.
        const auto width = static_cast<size_t>(PyDict_GET_SIZE(dict));
        if (width > LINEAR_LIMIT) {
            wide_keys_.reserve(width);
            keys_ = wide_keys_.data();
        }
        while (PyDict_Next(dict, &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key) || size_ == width) return false;
            PyPointer held = PyPointer::borrow(key);
            if (width > LINEAR_LIMIT) {
                wide_keys_.push_back(std::move(held));
            } else {
                new (&narrow_.keys[size_]) PyPointer(std::move(held));
            }
            ++size_;
        }
        if (width > LINEAR_LIMIT) {
            build_identities();
            table_ = std::make_unique<StrNumberTable>(/*owns_keys=*/false);  // the map holds them
            for (size_t i = 0; i < size_; ++i) {
                uint64_t column = 0;
                bool found = false;
                if (!table_->find_or_insert(keys_[i].get(), column, found)) {
                    failed = true;
                    return false;
                }
            }
        }
        return true;
    }

    [[nodiscard]] uint64_t size() const noexcept { return size_; }
    [[nodiscard]] PyObject* key(size_t column) const noexcept { return keys_[column].get(); }

    // True when `key` (an exact str) is the key of `column` or has its text:
    // the test every key of every row takes.
    [[nodiscard]] bool matches(PyObject* key, size_t column) const noexcept {
        return str_equal(key, keys_[column].get());
    }

    // Column of `key` (an exact str), or -1; `expected` is where it usually is.
    [[nodiscard]] int64_t find(PyObject* key, size_t expected) const noexcept {
        if (expected < size_ && keys_[expected].get() == key) return static_cast<int64_t>(expected);
        if (table_) {
            // Rows in another key order mostly repeat the very key objects:
            // found by address without reading the string.
            for (size_t i = identity_home(key);; i = (i + 1) & identity_mask_) {
                if (identities_[i].key == key) return identities_[i].column;
                if (identities_[i].key == nullptr) break;
            }
            if (expected < size_ && matches(key, expected)) return static_cast<int64_t>(expected);
            return table_->find(key);
        }
        if (expected < size_ && matches(key, expected)) return static_cast<int64_t>(expected);
        for (size_t i = 0; i < size_; ++i) {
            if (keys_[i].get() == key) return static_cast<int64_t>(i);
        }
        for (size_t i = 0; i < size_; ++i) {
            if (str_equal(keys_[i].get(), key)) return static_cast<int64_t>(i);
        }
        return -1;
    }

private:
    static constexpr size_t LINEAR_LIMIT = 16;

    struct Identity {
        PyObject* key;
        int64_t column;
    };

    [[nodiscard]] size_t identity_home(PyObject* key) const noexcept {
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ULL >> 32) &
               identity_mask_;
    }

    // The column keys by address, in a table at most a quarter full.
    void build_identities() {
        size_t capacity = 16;
        while (capacity < 4 * size_) capacity *= 2;
        identities_.assign(capacity, Identity{nullptr, -1});
        identity_mask_ = capacity - 1;
        for (size_t column = 0; column < size_; ++column) {
            size_t i = identity_home(keys_[column].get());
            while (identities_[i].key != nullptr) i = (i + 1) & identity_mask_;
            identities_[i] = Identity{keys_[column].get(), static_cast<int64_t>(column)};
        }
    }
    // The keys of a narrow map, the first `size_` constructed: a map is made
    // for every list of dicts, and zeroing all sixteen each time shows.
    union NarrowKeys {
        NarrowKeys() noexcept {}
        ~NarrowKeys() {}
        PyPointer keys[LINEAR_LIMIT];
    } narrow_;
    std::vector<PyPointer> wide_keys_;
    PyPointer* keys_ = narrow_.keys;
    size_t size_ = 0;
    std::unique_ptr<StrNumberTable> table_;
    std::vector<Identity> identities_;  // wide maps only, with `table_`
    size_t identity_mask_ = 0;
};

// True when the row's table holds keys equal to the column keys, in column
// order: then its values can be written in place. Equal keys are often other
// objects (rows parsed from text each get their own key strings).
[[nodiscard, gnu::noinline]] inline bool row_is_aligned(const dict_layout::KeysHeader* keys,
                                                        const ColumnMap& columns) noexcept {
    const dict_layout::UnicodeEntry* entries = dict_layout::entries_of(keys);
    size_t column = 0;
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        if (entries[i].value == nullptr) continue;
        if (column >= columns.size() || !columns.matches(entries[i].key, column)) return false;
        ++column;
    }
    return column == columns.size();
}

// True when `dict` has exactly the keys of `columns`; `aligned` tells
// whether they also sit in column order in its str-key table.
[[nodiscard]] inline bool compare_dict_keys(PyObject* dict, const ColumnMap& columns, bool& aligned) noexcept {
    aligned = false;
    if (static_cast<uint64_t>(PyDict_GET_SIZE(dict)) != columns.size()) return false;
    if (const dict_layout::KeysHeader* keys = dict_layout::str_key_table(dict)) {
        if (row_is_aligned(keys, columns)) return aligned = true;
        const dict_layout::UnicodeEntry* entries = dict_layout::entries_of(keys);
        size_t expected = 0;
        for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
            if (entries[i].value != nullptr && columns.find(entries[i].key, expected++) < 0) return false;
        }
        return true;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    size_t expected = 0;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || columns.find(key, expected++) < 0) return false;
    }
    return true;
}

// Lists of rows up to this long are checked and written with all their
// rows' memory requested at once, rather than a few rows ahead.
inline constexpr Py_ssize_t SHORT_ROW_LIST = 64;

// Rows checked before a speculative structured list is started; shorter
// lists are checked in full (their rows stay in cache for the writing pass).
inline constexpr Py_ssize_t PRECHECKED_ROWS = 1024;

// True when a list of `n` rows is checked as it is written, past its first
// PRECHECKED_ROWS rows: only when no Python code can run meanwhile, since a
// mismatch takes back what was written.
template <class Buffer>
[[nodiscard]] inline bool checked_as_written(Py_ssize_t n, const SerializeContext<Buffer>& ctx) noexcept {
    return n > PRECHECKED_ROWS && ctx.no_python;
}

// A stretch of output that may be taken back: the buffer's length and the
// string cache's checkpoint at its start. Inactive unless `active`.
template <class Buffer>
class Speculation {
public:
    Speculation(SerializeContext<Buffer>& ctx, bool active) noexcept : ctx_(ctx), active_(active) {
        if (active_) {
            size_ = ctx_.buffer.size();
            checkpoint_ = ctx_.cache.checkpoint();
        }
    }
    Speculation(const Speculation&) = delete;
    Speculation& operator=(const Speculation&) = delete;
    // A failed encode leaves it open; the whole call fails and drops the cache.
    ~Speculation() = default;

    void keep() noexcept {
        if (active_) ctx_.cache.commit(checkpoint_);
    }

    void take_back() noexcept {
        if constexpr (!Buffer::RUNS_PYTHON) {
            ctx_.buffer.truncate(size_);
            ctx_.cache.rollback(checkpoint_);
        }
    }

private:
    SerializeContext<Buffer>& ctx_;
    bool active_;
    size_t size_ = 0;
    SerializingStringCache::Checkpoint checkpoint_{};
};

// Writes the values of a row whose str-key table holds the column keys in
// column order, read in place: only when nothing can edit the row meanwhile.
template <class Buffer>
[[nodiscard]] inline bool write_aligned_row(const dict_layout::KeysHeader* keys, SerializeContext<Buffer>& ctx) {
    const dict_layout::UnicodeEntry* entries = dict_layout::entries_of(keys);
    for (Py_ssize_t e = 0; e < keys->nentries; ++e) {
        if (entries[e].value != nullptr && !serialize_item(entries[e].value, ctx)) return false;
    }
    return true;
}

// A row whose keys changed while earlier values were written (by Python code
// run meanwhile): failing is the only way not to write a value into the wrong column.
[[nodiscard]] inline StructuredResult row_changed() noexcept {
    to_py_error(msg::ROW_KEYS_CHANGED, SERIALIZATION_ERROR);
    return StructuredResult::Failed;
}

// The values of a row whose keys are the columns in another order, by
// column: `slots` (one per column, all null on entry) receives each value.
// False when the row's keys are not the columns (a key missing, foreign or
// met twice); the row's size was checked by the caller.
[[nodiscard]] inline bool sort_row_by_columns(PyObject* row, const ColumnMap& columns, PyObject** slots) noexcept {
    size_t expected = 0;
    auto place = [&](PyObject* key, PyObject* value) {
        const int64_t column = PyUnicode_CheckExact(key) ? columns.find(key, expected++) : -1;
        if (column < 0 || slots[column] != nullptr) return false;
        slots[column] = value;
        return true;
    };
    if (const dict_layout::KeysHeader* keys = dict_layout::str_key_table(row)) {
        const dict_layout::UnicodeEntry* entries = dict_layout::entries_of(keys);
        for (Py_ssize_t e = 0; e < keys->nentries; ++e) {
            if (entries[e].value != nullptr && !place(entries[e].key, entries[e].value)) return false;
        }
        return true;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(row, &position, &key, &value)) {
        if (!place(key, value)) return false;
    }
    return true;
}

// Checks rows 1 to `checked` - 1 against the columns before anything is
// written. False when one differs; bit i of `aligned_rows` is set for each of
// the first 64 rows whose keys sit in column order.
[[nodiscard]] inline bool check_rows(PyObject** items, Py_ssize_t n, Py_ssize_t checked, bool short_list,
                                     const ColumnMap& columns, uint64_t& aligned_rows) noexcept {
    aligned_rows = 0;
    for (Py_ssize_t i = 1; i < checked; ++i) {
        if (!short_list) prefetch_row(items, i, n);
        bool aligned = false;
        if (!compare_dict_keys(items[i], columns, aligned)) return false;
        if (aligned && i < 64) aligned_rows |= uint64_t{1} << i;
        // A short list is written right after this check: request its values.
        if (short_list) prefetch_values(items[i]);
    }
    return true;
}

// Writes the header and the first row, keys and values alternating in the
// dict's order, which fixes the columns.
template <bool IsList, class Buffer>
[[nodiscard]] StructuredResult write_key_row(PyObject* sequence, Py_ssize_t n, PyObject* first,
                                             const ColumnMap& columns, SerializeContext<Buffer>& ctx) {
    const uint64_t width = columns.size();
    Buffer& buffer = ctx.buffer;
    if (!buffer.push(byte(Flag::StructuredList)) ||
        !buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n)) ||
        !buffer.template push_size<SizeForm::Value>(width)) {
        return StructuredResult::Failed;
    }
    // Long lists request each row's slots while the row before is written.
    if (ctx.no_python && n > SHORT_ROW_LIST) prefetch_value_slots(sequence_items<IsList>(sequence)[1], ctx);
    PyPointer row = PyPointer::borrow(first);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    uint64_t column = 0;
    while (PyDict_Next(row.get(), &position, &key, &value)) {
        if (column >= width || !PyUnicode_CheckExact(key) ||
            columns.find(key, static_cast<size_t>(column)) != static_cast<int64_t>(column)) {
            return row_changed();
        }
        PyPointer held_value = PyPointer::borrow(value);
        if (!encode_string(key, ctx) || !serialize(held_value.get(), ctx)) return StructuredResult::Failed;
        ++column;
        if (static_cast<uint64_t>(PyDict_GET_SIZE(row.get())) != width) {
            return row_changed();
        }
    }
    if (column != width) return row_changed();
    if (sequence_changed<IsList>(sequence, n)) return StructuredResult::Failed;
    return StructuredResult::Done;
}

// Writes a row whose keys sit in column order, reading its table in place
// while checking it again before every value, since writing one value may
// run Python code that edits the row.
template <class Buffer>
[[nodiscard]] StructuredResult write_aligned_row_checked(PyObject* row, const dict_layout::KeysHeader* keys,
                                                         const ColumnMap& columns, SerializeContext<Buffer>& ctx) {
    const uint64_t width = columns.size();
    const dict_layout::UnicodeEntry* entries = dict_layout::entries_of(keys);
    uint64_t column = 0;
    for (Py_ssize_t e = 0;; ++e) {
        if (dict_layout::keys_of(row) != keys || static_cast<uint64_t>(PyDict_GET_SIZE(row)) != width) {
            return row_changed();
        }
        if (e >= keys->nentries) break;
        PyObject* const value = entries[e].value;
        if (value == nullptr) continue;
        if (column >= width || !columns.matches(entries[e].key, static_cast<size_t>(column))) {
            return row_changed();
        }
        if (!serialize_item(value, ctx)) return StructuredResult::Failed;
        ++column;
    }
    return column == width ? StructuredResult::Done : row_changed();
}

// Writes the values of a row whose keys are the columns in another order, in
// column order. Declined (nothing written) when its keys are not the columns.
// The values are held while they are written when Python code may run.
template <class Buffer>
[[nodiscard]] StructuredResult write_row_by_columns(PyObject* row, const ColumnMap& columns, std::vector<PyObject*>& slots,
                                                    SerializeContext<Buffer>& ctx) {
    std::fill(slots.begin(), slots.end(), nullptr);
    if (!sort_row_by_columns(row, columns, slots.data())) return StructuredResult::Declined;
    if (ctx.no_python) {
        for (PyObject* value : slots) {
            if (!serialize_item(value, ctx)) return StructuredResult::Failed;
        }
        return StructuredResult::Done;
    }
    for (PyObject* value : slots) Py_INCREF(value);
    bool ok = true;
    for (PyObject* value : slots) {
        if (!(ok = serialize(value, ctx))) break;
    }
    for (PyObject* value : slots) Py_DECREF(value);
    return ok ? StructuredResult::Done : StructuredResult::Failed;
}

// Writes rows 1 to n - 1, values only, in the first row's column order
// whatever each row's own key order. Rows from `checked` on were not checked
// beforehand: an odd one declines, and the caller takes back what was written.
template <bool IsList, class Buffer>
[[nodiscard]] StructuredResult write_value_rows(PyObject* sequence, Py_ssize_t n, Py_ssize_t checked,
                                                uint64_t aligned_rows, const ColumnMap& columns,
                                                SerializeContext<Buffer>& ctx) {
    const bool short_list = n <= SHORT_ROW_LIST;
    const uint64_t width = columns.size();
    PyObject** items = sequence_items<IsList>(sequence);
    std::vector<PyObject*> slots;  // made for the first row read key by key
    for (Py_ssize_t i = 1; i < n; ++i) {
        if (i < 64 && (aligned_rows >> i & 1) != 0) {
            if (!short_list) {
                prefetch_row(items, i, n);
                if (i + 1 < n) prefetch_value_slots(items[i + 1], ctx);
            }
            if (!write_aligned_row(dict_layout::str_key_table(items[i]), ctx)) return StructuredResult::Failed;
            continue;
        }
        prefetch_row(sequence_items<IsList>(sequence), i, n);
        PyPointer row = PyPointer::borrow(sequence_items<IsList>(sequence)[i]);
        const bool is_row = PyDict_CheckExact(row.get()) && static_cast<uint64_t>(PyDict_GET_SIZE(row.get())) == width;
        // The usual row: the same keys in the same order, read in place.
        const dict_layout::KeysHeader* keys = is_row ? dict_layout::str_key_table(row.get()) : nullptr;
        StructuredResult written = StructuredResult::Declined;
        if (keys != nullptr && row_is_aligned(keys, columns)) {
            if (ctx.no_python) {
                if (i + 1 < n) prefetch_value_slots(items[i + 1], ctx);
                written = write_aligned_row(keys, ctx) ? StructuredResult::Done : StructuredResult::Failed;
            } else {
                written = write_aligned_row_checked(row.get(), keys, columns, ctx);
            }
        } else if (is_row) {
            if (slots.empty()) slots.resize(static_cast<size_t>(width));
            written = write_row_by_columns(row.get(), columns, slots, ctx);
        }
        if (written == StructuredResult::Failed) return written;
        if (written == StructuredResult::Declined) {
            // Past the checked rows, an odd row ends the attempt; before
            // them, it can only be Python code editing the list meanwhile.
            return i < checked ? row_changed() : StructuredResult::Declined;
        }
        if (!ctx.no_python && sequence_changed<IsList>(sequence, n)) return StructuredResult::Failed;
    }
    return StructuredResult::Done;
}

// Writes a list or tuple of n >= 2 exact dicts as one key row plus value rows
// when all share one set of exact-str keys; declines (writing nothing) otherwise.
template <bool IsList, class Buffer>
[[nodiscard]] StructuredResult encode_structured_list(PyObject* sequence, Py_ssize_t n, SerializeContext<Buffer>& ctx) {
    // The decision is made before anything is written or any Python code runs.
    PyObject** items = sequence_items<IsList>(sequence);
    const bool short_list = n <= SHORT_ROW_LIST;
    if (short_list) {
        // The rows themselves were read by the caller's type check: request
        // all their entry tables at once, so that their misses overlap.
        for (Py_ssize_t i = 0; i < n; ++i) prefetch_table(items[i], 4);
    }
    ColumnMap columns;
    bool failed = false;
    // Held from here: a writer run by the header may drop it from the list.
    PyPointer first_row = PyPointer::borrow(items[0]);
    if (!columns.build(first_row.get(), failed)) return failed ? StructuredResult::Failed : StructuredResult::Declined;

    // When no Python code can run during the walk, only the first rows are
    // checked up front; the others are checked as they are written, and a
    // mismatch takes back what was written (bytes and string numbers). This
    // reads every row once instead of twice.
    const bool speculative = checked_as_written(n, ctx);
    const Py_ssize_t checked = speculative ? std::min(n, PRECHECKED_ROWS) : n;
    // Rows found aligned here need no second check when nothing can edit them meanwhile.
    uint64_t aligned_rows = 0;
    if (!check_rows(items, n, checked, short_list, columns, aligned_rows)) return StructuredResult::Declined;
    if (!ctx.no_python) aligned_rows = 0;

    Speculation<Buffer> speculation(ctx, speculative);
    StructuredResult result = write_key_row<IsList>(sequence, n, first_row.get(), columns, ctx);
    if (result == StructuredResult::Done) result = write_value_rows<IsList>(sequence, n, checked, aligned_rows, columns, ctx);
    if (result == StructuredResult::Declined) {
        speculation.take_back();
        return StructuredResult::Declined;
    }
    if (result == StructuredResult::Done) speculation.keep();
    return result;
}

// ---- lists and tuples ----------------------------------------------------

// The items of a long list of strings, each string and its table slot
// requested a few items ahead. Only when no Python code can run meanwhile.
template <class Buffer>
[[nodiscard, gnu::noinline]] bool write_items_ahead(PyObject* const* items, Py_ssize_t n, SerializeContext<Buffer>& ctx) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        prefetch_item(items, i, n, ctx);
        if (!serialize_item(items[i], ctx)) return false;
    }
    return true;
}

template <bool IsList, class Buffer>
[[nodiscard]] bool serialize_sequence(PyObject* sequence, SerializeContext<Buffer>& ctx) {
    const Py_ssize_t n = Py_SIZE(sequence);
    Buffer& buffer = ctx.buffer;
    if (n == 0) return buffer.push(byte(Flag::EmptyList));

    // Only lists of None, of bools and of dicts have forms of their own, so
    // the pass over the item types is made only when the first item is one.
    PyObject** items = sequence_items<IsList>(sequence);
    PyTypeObject* const first_type = Py_TYPE(items[0]);
    if (n >= 2 && (items[0] == Py_None || first_type == &PyBool_Type || first_type == &PyDict_Type)) {
        // Rows of a list of dicts past the first ones may be checked as they
        // are written (an odd one takes the attempt back): their types too.
        const bool rows_checked_later = first_type == &PyDict_Type && checked_as_written(n, ctx);
        const Py_ssize_t type_checked = rows_checked_later ? PRECHECKED_ROWS : n;
        bool uniform = true;
        for (Py_ssize_t i = 1; i < type_checked; ++i) {
            if (Py_TYPE(items[i]) != first_type) {
                uniform = false;
                break;
            }
        }
        if (uniform) {
            if (items[0] == Py_None) {
                const uint8_t header[2] = {byte(Flag::TypedList), static_cast<uint8_t>(ElementType::None)};
                return buffer.extend(header, 2) && buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n));
            }
            if (first_type == &PyBool_Type) {
                // Eight to a byte, first element in the most significant bit;
                // packed before anything is written, as a writer may edit the list.
                std::vector<uint8_t> packed(static_cast<size_t>((n + 7) / 8), 0);
                for (Py_ssize_t i = 0; i < n; ++i) {
                    if (items[i] == Py_True) packed[static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(0x80u >> (i % 8));
                }
                const uint8_t header[2] = {byte(Flag::TypedList), static_cast<uint8_t>(ElementType::Bool)};
                return buffer.extend(header, 2) &&
                       buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n)) &&
                       buffer.push_each(packed.data(), packed.size());
            }
            RecursionGuard guard(ctx.thread, " while serializing a list of dicts");
            if (!guard.ok()) return false;
            switch (encode_structured_list<IsList>(sequence, n, ctx)) {
                case StructuredResult::Done:
                    return true;
                case StructuredResult::Failed:
                    return false;
                case StructuredResult::Declined:
                    break;
            }
        }
    }

    RecursionGuard guard(ctx.thread, " while serializing a list");
    if (!guard.ok()) return false;
    if (!buffer.push(byte(Flag::List)) || !buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n))) {
        return false;
    }
    if (ctx.no_python) {
        // Long lists of strings only: lists of numbers or of containers
        // gain nothing from the requests and would pay for the tests.
        if (n >= LOOKAHEAD_FROM && first_type == &PyUnicode_Type) return write_items_ahead(items, n, ctx);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!serialize_item(items[i], ctx)) return false;
        }
        return true;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Python code run meanwhile (a writer, a converter) may have resized the
        // list: check before every read, and read the item array afresh.
        if (sequence_changed<IsList>(sequence, n)) return false;
        if (!serialize_item(sequence_items<IsList>(sequence)[i], ctx)) return false;
    }
    return !sequence_changed<IsList>(sequence, n);
}

// ---- dicts ---------------------------------------------------------------

[[nodiscard]] inline bool dict_changed(PyObject* dict, Py_ssize_t expected) noexcept {
    if (PyDict_GET_SIZE(dict) != expected) [[unlikely]] {
        to_py_error(msg::DICT_CHANGED, PyExc_RuntimeError);
        return true;
    }
    return false;
}

// The `n` entries of a big dict's str-key table, keys and values and their
// table slots requested a few entries ahead. Only when no Python code can
// run meanwhile: nothing can edit the dict.
template <class Buffer>
[[nodiscard, gnu::noinline]] bool write_entries_ahead(const dict_layout::KeysHeader* keys, Py_ssize_t n,
                                                      SerializeContext<Buffer>& ctx) {
    const dict_layout::UnicodeEntry* entries = dict_layout::entries_of(keys);
    Py_ssize_t written = 0;
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        prefetch_entry(entries, i, keys->nentries, ctx);
        PyObject* const value = entries[i].value;
        if (value == nullptr) continue;
        ++written;
        if (!encode_dict_key(entries[i].key, ctx) || !serialize_item(value, ctx)) return false;
    }
    if (written != n) {
        to_py_error(msg::DICT_CHANGED, PyExc_RuntimeError);
        return false;
    }
    return true;
}

// A dict whose keys sit in a combined str-key table: all keys are exact str,
// and the entries are read in place. Python code run for a value may resize
// the dict; the table pointer and size are checked after every item, so a
// replaced table is never read again.
template <class Buffer>
[[nodiscard]] bool serialize_str_key_table(PyObject* dict, const dict_layout::KeysHeader* keys, Py_ssize_t n,
                                           SerializeContext<Buffer>& ctx) {
    Buffer& buffer = ctx.buffer;
    if (!buffer.push(byte(Flag::StrKeyDict)) ||
        !buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n))) {
        return false;
    }
    // A writer run by the header may have edited the dict.
    if constexpr (Buffer::RUNS_PYTHON) {
        if (dict_layout::keys_of(dict) != keys) {
            to_py_error(msg::DICT_KEYS_CHANGED, PyExc_RuntimeError);
            return false;
        }
        if (dict_changed(dict, n)) return false;
    }
    // Nothing can edit a big dict meanwhile: its entries can be requested ahead.
    if (ctx.no_python && n >= LOOKAHEAD_FROM) return write_entries_ahead(keys, n, ctx);
    const dict_layout::UnicodeEntry* entries = dict_layout::entries_of(keys);
    Py_ssize_t written = 0;
    for (Py_ssize_t i = 0; i < keys->nentries; ++i) {
        PyObject* const value = entries[i].value;
        if (value == nullptr) continue;
        if (written == n) [[unlikely]] {
            to_py_error(msg::DICT_CHANGED, PyExc_RuntimeError);
            return false;
        }
        PyObject* const key = entries[i].key;
        ++written;
        if constexpr (Buffer::RUNS_PYTHON) {
            PyPointer held_key = PyPointer::borrow(key);
            PyPointer held_value = PyPointer::borrow(value);
            if (!encode_dict_key(key, ctx) || !serialize(value, ctx)) return false;
        } else {
            if (!encode_dict_key(key, ctx)) return false;
            // Scalars run no Python code: the dict cannot have changed.
            PyTypeObject* const type = Py_TYPE(value);
            if (type == &PyUnicode_Type) {
                if (!encode_string(value, ctx)) return false;
                continue;
            }
            if (type == &PyLong_Type) {
                if (!encode_int(value, ctx.buffer)) return false;
                continue;
            }
            if (!serialize_item(value, ctx)) return false;
            if (ctx.no_python) continue;
        }
        if (dict_layout::keys_of(dict) != keys) [[unlikely]] {
            to_py_error(msg::DICT_KEYS_CHANGED, PyExc_RuntimeError);
            return false;
        }
        if (dict_changed(dict, n)) return false;
    }
    if (written != n) {
        to_py_error(msg::DICT_CHANGED, PyExc_RuntimeError);
        return false;
    }
    return true;
}

template <class Buffer>
[[nodiscard]] bool serialize_dict(PyObject* dict, SerializeContext<Buffer>& ctx) {
    const Py_ssize_t n = PyDict_GET_SIZE(dict);
    Buffer& buffer = ctx.buffer;
    if (n == 0) return buffer.push(byte(Flag::EmptyDict));

    RecursionGuard guard(ctx.thread, " while serializing a dict");
    if (!guard.ok()) return false;
    if (const dict_layout::KeysHeader* keys = dict_layout::str_key_table(dict)) {
        return serialize_str_key_table(dict, keys, n, ctx);
    }

    bool all_str_keys = true;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            all_str_keys = false;
            break;
        }
    }

    if (!buffer.push(byte(all_str_keys ? Flag::StrKeyDict : Flag::Dict)) ||
        !buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n))) {
        return false;
    }
    Py_ssize_t written = 0;
    position = 0;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (written == n) [[unlikely]] {
            to_py_error(msg::DICT_CHANGED, PyExc_RuntimeError);
            return false;
        }
        if (all_str_keys) {
            if (!PyUnicode_CheckExact(key)) [[unlikely]] {
                to_py_error(msg::DICT_KEYS_CHANGED, PyExc_RuntimeError);
                return false;
            }
            if constexpr (Buffer::RUNS_PYTHON) {
                PyPointer held_key = PyPointer::borrow(key);
                PyPointer held_value = PyPointer::borrow(value);
                if (!encode_dict_key(key, ctx) || !serialize(value, ctx)) return false;
            } else {
                if (!encode_dict_key(key, ctx) || !serialize_item(value, ctx)) return false;
            }
        } else {
            if (Py_TYPE(key) == &PyTuple_Type) {
                to_py_error(msg::TUPLE_KEY, SERIALIZATION_ERROR);
                return false;
            }
            PyPointer held_key = PyPointer::borrow(key);
            PyPointer held_value = PyPointer::borrow(value);
            if (!serialize(key, ctx) || !serialize(value, ctx)) return false;
        }
        ++written;
        if (dict_changed(dict, n)) return false;
    }
    if (written != n) {
        to_py_error(msg::DICT_CHANGED, PyExc_RuntimeError);
        return false;
    }
    return true;
}

}  // namespace quarl
