// Maps exact str objects to numbers: the encoder's reference table (string ->
// reference number) and the column map of structured lists (key -> column).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "utils/python.hpp"
#include "utils/small_copy.hpp"

namespace quarl {

// The string's cached hash, computed on first use. Hashing an exact str never
// runs Python code and never fails.
[[nodiscard]] inline Py_hash_t str_hash(PyObject* str) noexcept {
    const Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(str)->hash;
    return cached != -1 ? cached : PyObject_Hash(str);
}

// Equal text of two exact str objects. Equal strings always share a storage
// kind, so comparing kind, length and raw data is exact.
[[nodiscard]] inline bool str_equal(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return equal_bytes(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind);
}

// Open-addressing hash table from exact str to a number, keyed on the
// string's own Python hash. It owns a reference to every key, so a string
// that Python code frees in the middle of an encode can never leave a stale
// entry behind (a new string at the same address would otherwise match it).
class StrNumberTable {
public:
    StrNumberTable() noexcept = default;
    StrNumberTable(const StrNumberTable&) = delete;
    StrNumberTable& operator=(const StrNumberTable&) = delete;
    ~StrNumberTable() {
        for (const Recent& recent : recent_) Py_XDECREF(recent.key);
        for (size_t i = 0; i < capacity_; ++i) Py_XDECREF(slots_[i].key);
        std::free(slots_);
    }

    [[nodiscard]] uint64_t size() const noexcept { return count_; }

    // Number of `key`, or -1 when absent.
    [[nodiscard]] int64_t find(PyObject* key) const noexcept {
        const Recent& recent = recent_[(reinterpret_cast<uintptr_t>(key) >> 4) % RECENT_SIZE];
        if (recent.key == key) return static_cast<int64_t>(recent.number);
        if (capacity_ == 0) return -1;
        const Py_hash_t hash = str_hash(key);
        for (size_t i = static_cast<size_t>(hash) & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.key == nullptr) return -1;
            if (slot.key == key || (slot.hash == hash && str_equal(slot.key, key))) {
                return static_cast<int64_t>(slot.number);
            }
        }
    }

    // Looks `key` up; when absent, registers it with the next number (the
    // number of entries so far). `number` receives the key's number either way.
    // Returns false with MemoryError set when the table cannot grow.
    [[nodiscard]] bool find_or_insert(PyObject* key, uint64_t& number, bool& found) noexcept {
        // Most repeats are the very same object (dict keys above all): a small
        // direct-mapped memo of recent objects answers them without touching
        // the table. The memo owns a reference to each object in it, so an
        // address in it can never have been reused by another string.
        Recent& recent = recent_[(reinterpret_cast<uintptr_t>(key) >> 4) % RECENT_SIZE];
        if (recent.key == key) {
            number = recent.number;
            found = true;
            return true;
        }
        if (!find_or_insert_slow(key, str_hash(key), number, found)) return false;
        Py_INCREF(key);
        Py_XDECREF(recent.key);
        recent = Recent{key, number};
        return true;
    }

private:
    [[nodiscard]] bool find_or_insert_slow(PyObject* key, Py_hash_t hash, uint64_t& number, bool& found) noexcept {
        if ((count_ + 1) * 2 > capacity_ && !grow()) [[unlikely]] return false;
        size_t i = static_cast<size_t>(hash) & mask_;
        for (;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.key == nullptr) break;
            if (slot.key == key || (slot.hash == hash && str_equal(slot.key, key))) {
                number = slot.number;
                found = true;
                return true;
            }
        }
        Py_INCREF(key);
        slots_[i] = Slot{key, hash, count_};
        number = count_++;
        found = false;
        return true;
    }

    struct Slot {
        PyObject* key;
        Py_hash_t hash;
        uint64_t number;
    };

    [[nodiscard]] bool grow() noexcept {
        const size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
        if (slots == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        const size_t mask = capacity - 1;
        for (size_t i = 0; i < capacity_; ++i) {
            const Slot& slot = slots_[i];
            if (slot.key == nullptr) continue;
            size_t j = static_cast<size_t>(slot.hash) & mask;
            while (slots[j].key != nullptr) j = (j + 1) & mask;
            slots[j] = slot;
        }
        std::free(slots_);
        slots_ = slots;
        capacity_ = capacity;
        mask_ = mask;
        return true;
    }

    struct Recent {
        PyObject* key;
        uint64_t number;
    };
    static constexpr size_t RECENT_SIZE = 256;

    Recent recent_[RECENT_SIZE] = {};
    Slot* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t mask_ = 0;
    uint64_t count_ = 0;
};

// The encoder's reference table: each distinct non-empty string written in
// full gets the next number; later occurrences are written as back-references.
using SerializingStringCache = StrNumberTable;

}  // namespace quarl
