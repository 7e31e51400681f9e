// Reference table of a lazy read. Strings that were decoded are held as
// objects; strings the skipper passed over are recorded by their position and
// decoded only if a back-reference asks for them.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "deserializing/input_reader.hpp"
#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "utils/growable_array.hpp"
#include "utils/safe_py_pointer.hpp"
#include "utils/messages.hpp"

namespace quarl {

// How a skipped string's payload is read back.
enum class PositionKind : uint8_t {
    MarkedValue = 0,  // typed-list element: value-form size, FE marks ASCII
    MarkedKey = 1,    // inline key of a str-keyed dict: key-form size, FE marks ASCII
    Ascii = 2,        // flag 18
    Utf8 = 3,         // flag 10
};

// The strings a document's index keeps by number, of all `count` numbered
// so far: a run from 0 (`dense`), then single ones that lookups asked for.
// Entries are as in PositionPointerHolder; object entries are owned.
struct KnownStrings {
    GrowableArray<uintptr_t> dense;
    std::unordered_map<uint64_t, uintptr_t> sparse;
    size_t count = 0;

    [[nodiscard]] bool find(uint64_t number, uintptr_t& entry) const noexcept {
        if (number < dense.size()) {
            entry = dense[static_cast<size_t>(number)];
            return true;
        }
        const auto found = sparse.find(number);
        if (found == sparse.end()) return false;
        entry = found->second;
        return true;
    }
};

class PositionPointerHolder {
public:
    static constexpr bool LAZY = true;

    PositionPointerHolder(const uint8_t* data, size_t length) noexcept : data_(data), length_(length) {}
    PositionPointerHolder(const PositionPointerHolder&) = delete;
    PositionPointerHolder& operator=(const PositionPointerHolder&) = delete;
    ~PositionPointerHolder() { release_own(); }

    // The entries a document's index learned: numbers below `count` are read
    // from `table` (which outlives the holder), so a walk can start in the
    // middle of a document. A number the table does not keep fails the walk
    // with missed() set. The holder's own entries are dropped.
    void rebase(const KnownStrings* table, size_t count) noexcept {
        release_own();
        entries_.truncate(0);
        base_ = table;
        base_size_ = count;
    }

    // The holder's own entries, numbered from base_size() on.
    [[nodiscard]] size_t base_size() const noexcept { return base_size_; }
    // Whether a walk failed for want of a shared entry the table does not keep.
    [[nodiscard]] bool missed() const noexcept { return missed_; }
    // The number it wanted.
    [[nodiscard]] uint64_t missed_number() const noexcept { return missed_number_; }
    [[nodiscard]] const auto& own_entries() const noexcept { return entries_; }

    [[nodiscard]] bool insert(PyObject* object) noexcept {
        if (!append(reinterpret_cast<uintptr_t>(object))) return false;
        Py_INCREF(object);
        holds_objects_ = true;
        return true;
    }

    // Records the string whose size field starts at `offset`.
    [[nodiscard]] bool insert_position(size_t offset, PositionKind kind) noexcept {
        return append((static_cast<uintptr_t>(offset) << 3) | (static_cast<uintptr_t>(kind) << 1) | 1u);
    }

    // A position entry is decoded on first use and kept, so every later
    // reference yields the same object, as in a full decode.
    [[nodiscard]] PyObject* safe_get(uint64_t number, size_t at) noexcept {
        if (number < base_size_) [[unlikely]] return base_get(number, at);
        number -= base_size_;
        if (number >= entries_.size()) [[unlikely]] {
            bad_reference(at);
            return nullptr;
        }
        uintptr_t& entry = entries_[static_cast<size_t>(number)];
        if (!is_position(entry)) return Py_NewRef(reinterpret_cast<PyObject*>(entry));
        PyObject* str = decode_at(static_cast<size_t>(entry >> 3), static_cast<PositionKind>((entry >> 1) & 3u));
        if (str == nullptr) return nullptr;
        entry = reinterpret_cast<uintptr_t>(Py_NewRef(str));
        holds_objects_ = true;
        return str;
    }

    [[nodiscard]] size_t size() const noexcept { return base_size_ + entries_.size(); }

    // Drops the entries from number `size` on, releasing their objects. A
    // walk that decoded a stretch numbers it again as positions, so decoded
    // strings are not kept alive by the table.
    void truncate(size_t size) noexcept {
        size -= base_size_;  // (never below the shared entries)
        for (size_t i = size; i < entries_.size(); ++i) {
            if (!is_position(entries_[i])) Py_DECREF(reinterpret_cast<PyObject*>(entries_[i]));
        }
        entries_.truncate(size);
    }

    // Whether entry `number` is a string whose UTF-8 form is `text` (`ascii`:
    // the text has no byte of 128 or more), without decoding skipped strings.
    // False with DeserializationError set when the number is out of range
    // (placed at `at`, the reference) or the entry's payload runs past the input.
    [[nodiscard]] bool entry_equals(uint64_t number, size_t at, PyObject* str, const uint8_t* text, size_t length,
                                    bool ascii, bool& equal) const noexcept;

    // Objects are at least 8-byte aligned, so bit 0 tells positions from objects.
    [[nodiscard]] static bool is_position(uintptr_t entry) noexcept { return (entry & 1u) != 0; }

private:
    // (A walk that only skipped holds positions alone: nothing to look through.)
    void release_own() noexcept {
        if (!holds_objects_) return;
        for (uintptr_t entry : entries_) {
            if (!is_position(entry)) Py_DECREF(reinterpret_cast<PyObject*>(entry));
        }
        holds_objects_ = false;
    }

    // A shared entry: its string, decoded once per holder like its own entries.
    [[nodiscard]] PyObject* base_get(uint64_t number, size_t at) noexcept;

    [[nodiscard]] bool append(uintptr_t entry) noexcept { return entries_.push_back(entry); }

    [[nodiscard]] PyObject* decode_at(size_t offset, PositionKind kind) const noexcept;

public:
    // Whether the string payload at `payload` (`length` bytes, read as `kind`)
    // decodes to the str whose UTF-8 form is `text`.
    [[nodiscard]] static bool payload_equals(PositionKind kind, const uint8_t* payload, size_t length,
                                             const uint8_t* text, size_t text_length, bool ascii) noexcept;

private:

    const uint8_t* data_;
    size_t length_;
    GrowableArray<uintptr_t, 32> entries_;  // a small message's strings need no allocation
    const KnownStrings* base_ = nullptr;
    size_t base_size_ = 0;
    bool holds_objects_ = false;  // whether any own entry was ever an object
    mutable bool missed_ = false;
    mutable uint64_t missed_number_ = 0;
    std::unique_ptr<std::unordered_map<uint64_t, PyPointer>> base_decoded_;
};

static_assert(PointerHolder<PositionPointerHolder>);

}  // namespace quarl
