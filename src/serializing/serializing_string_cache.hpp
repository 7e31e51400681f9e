// Maps exact str objects to numbers: the encoder's reference table (string ->
// reference number) and the column map of structured lists (key -> column).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

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

[[gnu::noinline]] inline bool same_text(PyObject* a, PyObject* b) noexcept {
    return str_hash(a) == str_hash(b) && str_equal(a, b);
}

// Equal exact str objects, by identity, cached hash, then text.
[[nodiscard]] inline bool same_str(PyObject* a, PyObject* b) noexcept { return a == b || same_text(a, b); }

// Open-addressing hash table from exact str to a number, keyed on the
// string's own Python hash. When Python code may run during an encode, it
// owns a reference to every key, so a string freed in the middle of the
// encode can never leave a stale entry behind (a new string at the same
// address would otherwise match it). When nothing can free a string while the
// table lives, it borrows them: taking and dropping a reference would touch
// every registered string once more at the end of the encode.
// Slots are 16 bytes, so tables of tens of thousands of strings stay in cache.
class StrNumberTable {
public:
    explicit StrNumberTable(bool owns_keys) noexcept : owns_keys_(owns_keys) {}
    StrNumberTable(const StrNumberTable&) = delete;
    StrNumberTable& operator=(const StrNumberTable&) = delete;
    ~StrNumberTable() {
        if (owns_keys_) {
            for (size_t i = 0; i < capacity_; ++i) Py_XDECREF(slots_[i].key);
        }
        std::free(slots_);
    }

    [[nodiscard]] uint64_t size() const noexcept { return count_; }

    // Which memo of recently seen objects a lookup goes through. Dict keys are
    // few and repeat as the very same objects; a memo of their own keeps them
    // from being pushed out by the many value strings.
    enum class Memo : uint8_t { Values, Keys };

    // The number of `key` when its memo remembers this very object: answered
    // without reading the string or probing the table.
    template <Memo M>
    [[nodiscard]] bool find_recent(PyObject* key, uint64_t& number) const noexcept {
        if (!memo_on_) return false;
        const Recent& recent = memo<M>()[recent_index<M>(key)];
        if (recent.key != key) return false;
        number = recent.number;
        return true;
    }

    // Number of `key`, or -1 when absent.
    [[nodiscard]] int64_t find(PyObject* key) const noexcept {
        if (uint64_t number = 0; find_recent<Memo::Values>(key, number)) return static_cast<int64_t>(number);
        if (capacity_ == 0) return -1;
        const auto hash = static_cast<uint32_t>(str_hash(key));
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.key == nullptr) return -1;
            if (slot.key == key || (slot.hash == hash && str_equal(slot.key, key))) return slot.number;
        }
    }

    // Looks `key` up; when absent, registers it with the next number (the
    // number of entries so far). `number` receives the key's number either way.
    // Returns false with MemoryError set when the table cannot grow.
    template <Memo M = Memo::Values>
    [[nodiscard]] bool find_or_insert(PyObject* key, uint64_t& number, bool& found) noexcept {
        // Most repeats are the very same object (dict keys above all): a small
        // direct-mapped memo of registered objects answers them without
        // touching the table. Those objects are owned by the table or cannot
        // be freed meanwhile, so an address in the memo cannot have been
        // reused by another string.
        if (find_recent<M>(key, number)) {
            found = true;
            return true;
        }
        if (!grow_if_needed()) [[unlikely]] return false;
        const auto hash = static_cast<uint32_t>(str_hash(key));
        size_t i = hash & mask_;
        for (;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (slot.key == nullptr) break;
            if (slot.key == key || (slot.hash == hash && str_equal(slot.key, key))) {
                number = slot.number;
                found = true;
                if (slot.key == key) remember<M>(key, slot.number);
                return true;
            }
        }
        if (speculation_depth_ != 0 && !log_for_undo(key)) [[unlikely]] return false;
        if (owns_keys_) Py_INCREF(key);
        slots_[i] = Slot{key, hash, count_};
        remember<M>(key, count_);
        number = count_++;
        found = false;
        return true;
    }

    // Speculative writing: strings registered after a checkpoint can be taken
    // back, when the bytes that used their numbers are discarded too.
    struct Checkpoint {
        uint32_t count;
        size_t undo_size;
    };

    [[nodiscard]] Checkpoint checkpoint() noexcept {
        ++speculation_depth_;
        return Checkpoint{count_, undo_.size()};
    }

    // Keeps what was registered since `checkpoint` (an enclosing checkpoint
    // may still take it back).
    void commit(const Checkpoint&) noexcept {
        if (--speculation_depth_ == 0) undo_.clear();
    }

    // Forgets every string registered since `checkpoint`, newest first.
    void rollback(const Checkpoint& checkpoint) noexcept {
        while (undo_.size() > checkpoint.undo_size) {
            erase(undo_.back());
            undo_.pop_back();
        }
        count_ = checkpoint.count;
        if (memo_on_) {
            for (Recent& recent : recent_) {
                if (recent.key != nullptr && recent.number >= checkpoint.count) recent = Recent{};
            }
            for (Recent& recent : key_recent_) {
                if (recent.key != nullptr && recent.number >= checkpoint.count) recent = Recent{};
            }
        }
        --speculation_depth_;
    }

private:
    struct Slot {
        PyObject* key;
        uint32_t hash;  // low bits of the Python hash
        uint32_t number;
    };
    struct Recent {
        PyObject* key;
        int64_t number;
    };
    static constexpr size_t RECENT_SIZE = 256;
    static constexpr size_t KEY_RECENT_SIZE = 1024;
    static constexpr size_t LARGE_TABLE = size_t{1} << 20;
    // Numbers fit 32 bits: four billion distinct strings would not fit in memory anyway.
    static constexpr uint64_t MAX_ENTRIES = UINT32_MAX;

    template <Memo M>
    [[nodiscard]] static size_t recent_index(PyObject* key) noexcept {
        return (reinterpret_cast<uintptr_t>(key) >> 4) % (M == Memo::Keys ? KEY_RECENT_SIZE : RECENT_SIZE);
    }
    template <Memo M>
    void remember(PyObject* key, uint32_t number) noexcept {
        if (memo_on_) memo<M>()[recent_index<M>(key)] = Recent{key, number};
    }
    template <Memo M>
    [[nodiscard]] Recent* memo() noexcept {
        return M == Memo::Keys ? key_recent_ : recent_;
    }
    template <Memo M>
    [[nodiscard]] const Recent* memo() const noexcept {
        return M == Memo::Keys ? key_recent_ : recent_;
    }

    [[gnu::noinline]] bool log_for_undo(PyObject* key) noexcept {
        try {
            undo_.push_back(key);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    // Removes a registered key, moving later entries of its probe run back so
    // that every remaining key stays reachable from its home slot.
    void erase(PyObject* key) noexcept {
        size_t hole = static_cast<uint32_t>(str_hash(key)) & mask_;
        while (slots_[hole].key != key) hole = (hole + 1) & mask_;
        for (size_t next = (hole + 1) & mask_; slots_[next].key != nullptr; next = (next + 1) & mask_) {
            const size_t home = slots_[next].hash & mask_;
            // Move the entry unless its home lies cyclically in (hole, next].
            const bool stays = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
            if (!stays) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole] = Slot{};
        if (owns_keys_) Py_DECREF(key);
    }

    [[nodiscard]] bool grow_if_needed() noexcept {
        // Half full at most, up to a million slots; larger tables may fill to
        // three quarters, which halves the encoder's largest allocation after
        // the output. Their probes miss the cache on the first slot anyway, and
        // the next slots mostly share its cache line.
        const size_t limit = capacity_ < LARGE_TABLE ? capacity_ / 2 : capacity_ / 4 * 3;
        if (count_ + 1 <= limit) [[likely]] return true;
        if (capacity_ != 0 && !memo_on_) {
            // A small table answers repeats quickly by itself; the memos are
            // cleared (several kilobytes) only once the document has proved
            // to hold more than a few strings.
            std::memset(recent_, 0, sizeof recent_);
            std::memset(key_recent_, 0, sizeof key_recent_);
            memo_on_ = true;
        }
        if (count_ >= MAX_ENTRIES) {
            PyErr_SetString(PyExc_MemoryError, "too many distinct strings in one document");
            return false;
        }
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
            size_t j = slot.hash & mask;
            while (slots[j].key != nullptr) j = (j + 1) & mask;
            slots[j] = slot;
        }
        std::free(slots_);
        slots_ = slots;
        capacity_ = capacity;
        mask_ = mask;
        return true;
    }

    const bool owns_keys_;
    // Memos of recently seen objects, cleared and used once `memo_on_`.
    bool memo_on_ = false;
    Recent recent_[RECENT_SIZE];
    Recent key_recent_[KEY_RECENT_SIZE];
    Slot* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t mask_ = 0;
    uint32_t count_ = 0;
    unsigned speculation_depth_ = 0;
    std::vector<PyObject*> undo_;  // keys registered under a checkpoint, oldest first
};

// The encoder's reference table: each distinct non-empty string written in
// full gets the next number; later occurrences are written as back-references.
using SerializingStringCache = StrNumberTable;

}  // namespace quarl
