// Maps exact str objects to numbers: the encoder's reference table (string ->
// reference number) and the column map of structured lists (key -> column).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "serializing/text_hash.hpp"
#include "utils/growable_array.hpp"
#include "utils/prefetch.hpp"
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
// kind, so comparing kind, length and raw data is exact. Texts of up to 16
// bytes (most keys) are compared as one number each, read without a branch
// per length.
[[nodiscard]] inline bool str_equal(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    const auto* x = static_cast<const uint8_t*>(PyUnicode_DATA(a));
    const auto* y = static_cast<const uint8_t*>(PyUnicode_DATA(b));
    const size_t bytes = static_cast<size_t>(length) * static_cast<size_t>(kind);
    if (bytes <= 16) return short_texts_equal(x, y, bytes);
    return equal_bytes(x, y, bytes);
}

// Open-addressing hash table from exact str to a number.
//
// A slot holds the text of a short string itself (up to 11 bytes of its
// stored characters, with their count and width), so an equal string is
// recognised from the slot alone: neither object is read again, and short
// strings are placed by a seeded hash of that copy rather than by their
// Python hash, which a freshly built string has not computed yet. A longer
// string is placed by its Python hash; its slot holds the object and 24 bits
// of that hash, and an equal-looking string is compared with that object.
//
// The memos map objects to numbers by address, and a long string's slot
// holds the object, so those objects must outlive the table. When Python code
// may run during an encode (a writer, converters), the table owns a reference
// to each of them: to every long string it registers and to every object in a
// memo, where strings enter only once they repeat (unique strings would churn
// it). Short strings are kept by their text alone and need no reference, so a
// large streamed document does not touch them all again at the end. When no
// Python code can run, nothing can free a string meanwhile: the table borrows.
// Slots are 16 bytes, so tables of tens of thousands of strings stay in cache.
class StrNumberTable {
public:
    // `expected_capacity`, when known, is where the table grows at once (see grow()).
    explicit StrNumberTable(bool owns_keys, size_t expected_capacity = 0) noexcept
        : owns_keys_(owns_keys), expected_capacity_(expected_capacity) {}
    StrNumberTable(const StrNumberTable&) = delete;
    StrNumberTable& operator=(const StrNumberTable&) = delete;
    ~StrNumberTable() {
        for (PyObject* key : owned_) Py_DECREF(key);
        if (owns_keys_ && memo_on_) {
            for (const Recent& recent : recent_) Py_XDECREF(recent.key);
            for (const Recent& recent : key_recent_) Py_XDECREF(recent.key);
        }
        release_block();
    }

    [[nodiscard]] uint64_t size() const noexcept { return count_; }
    [[nodiscard]] size_t capacity() const noexcept { return capacity_; }

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

    // Requests the slot where the lookup of `key` will start, unless its memo
    // answers. `key` should be in cache already: its text or hash is read.
    template <Memo M = Memo::Values>
    void prefetch_slot(PyObject* key) const noexcept {
        if (capacity_ == 0) return;
        if (uint64_t number = 0; find_recent<M>(key, number)) return;
        prefetch(&slots_[probe_of(key).hash & mask_]);
    }

    // Number of `key`, or -1 when absent.
    [[nodiscard]] int64_t find(PyObject* key) const noexcept {
        if (uint64_t number = 0; find_recent<Memo::Values>(key, number)) return static_cast<int64_t>(number);
        const Slot& slot = slots_[slot_of(probe_of(key), key)];
        return slot.head() == 0 ? -1 : slot.number();
    }

    // Where a lookup ended: the string's probe, and the slot holding it or
    // the empty slot where it goes. insert() starts from there.
    struct Lookup;

    // True with `number` set when `key` is registered; its memo then
    // remembers the object. Otherwise `at` tells insert() where it goes.
    template <Memo M>
    [[nodiscard, gnu::always_inline]] bool lookup(PyObject* key, Lookup& at, uint64_t& number) noexcept {
        at.probe = probe_of(key);
        at.slot = slot_of(at.probe, key);
        const Slot& slot = slots_[at.slot];
        if (slot.head() == 0) return false;
        number = slot.number();
        remember<M>(key, slot.number());
        return true;
    }

    // Registers `key`, found absent by lookup() into `at`, with the next
    // number (the number of entries so far). Returns false with MemoryError
    // set when the table cannot grow.
    template <Memo M>
    [[nodiscard, gnu::noinline]] bool insert(PyObject* key, Lookup& at, uint64_t& number) noexcept {
        if (count_ >= grow_at_) {
            if (!grow()) return false;
            at.slot = slot_of(at.probe, key);
        }
        if (speculation_depth_ != 0 && !undo_.push_back(key)) [[unlikely]] return false;
        if (owns_keys_ && is_long(at.probe.head)) {
            if (!owned_.push_back(key)) [[unlikely]] return false;
            Py_INCREF(key);
        }
        slots_[at.slot] = Slot{count_ | (uint64_t{at.probe.head} << 32), at.probe.rest};
        if (!owns_keys_) remember<M>(key, count_);
        number = count_++;
        return true;
    }

    // Looks `key` up; when absent, registers it. `number` receives the key's
    // number either way. Returns false with MemoryError set when the table cannot grow.
    template <Memo M = Memo::Values>
    [[nodiscard]] bool find_or_insert(PyObject* key, uint64_t& number, bool& found) noexcept {
        found = true;
        if (find_recent<M>(key, number)) return true;
        Lookup at;
        if (lookup<M>(key, at, number)) return true;
        found = false;
        return insert<M>(key, at, number);
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
        if (--speculation_depth_ == 0) undo_.truncate(0);
    }

    // Forgets every string registered since `checkpoint`, newest first.
    void rollback(const Checkpoint& checkpoint) noexcept {
        for (size_t i = undo_.size(); i > checkpoint.undo_size; --i) erase(undo_[i - 1]);
        undo_.truncate(checkpoint.undo_size);
        count_ = checkpoint.count;
        if (memo_on_) {
            for (Recent& recent : recent_) forget_if_taken_back(recent, checkpoint.count);
            for (Recent& recent : key_recent_) forget_if_taken_back(recent, checkpoint.count);
        }
        --speculation_depth_;
    }

private:
    // The number in the low half of `low`; the high half (the head) is zero
    // for an empty slot, else a tag and either the first three bytes of a
    // short text or 24 bits of a long string's hash. `rest` holds the other
    // eight bytes of a short text, or the long string itself.
    struct Slot {
        uint64_t low;
        uint64_t rest;
        [[nodiscard]] uint32_t head() const noexcept { return static_cast<uint32_t>(low >> 32); }
        [[nodiscard]] uint32_t number() const noexcept { return static_cast<uint32_t>(low); }
    };
    // A string's slot contents and the start of its probe.
    struct Probe {
        uint32_t head;
        uint64_t rest;
        uint64_t hash;
    };
    struct Recent {
        PyObject* key;
        int64_t number;
    };

public:
    // (Defined here, after the probe it holds; see lookup().)
    struct Lookup {
        Probe probe;
        size_t slot;
    };

private:
    static constexpr size_t SHORT_BYTES = 11;
    // Tags: 1 + byte count, plus the width in bits 4-6, for a short text; LONG_TAG otherwise.
    static constexpr uint32_t LONG_TAG = 0x80;
    static constexpr size_t RECENT_SIZE = 256;
    static constexpr size_t KEY_RECENT_SIZE = 1024;
    // Numbers fit 32 bits: four billion distinct strings would not fit in memory anyway.
    static constexpr uint64_t MAX_ENTRIES = UINT32_MAX;

    [[nodiscard]] static bool is_long(uint32_t head) noexcept { return (head & 0xFF) == LONG_TAG; }

    // Always inlined: once the slot requests call it too, GCC would otherwise
    // call it out of line on every lookup.
    [[nodiscard, gnu::always_inline]] static Probe probe_of(PyObject* str) noexcept {
        const auto kind = static_cast<uint32_t>(PyUnicode_KIND(str));
        const size_t bytes = static_cast<size_t>(PyUnicode_GET_LENGTH(str)) * kind;
        if (bytes <= SHORT_BYTES) [[likely]] {
            const unsigned __int128 text = load_short_text(static_cast<const uint8_t*>(PyUnicode_DATA(str)), bytes);
            const auto head = static_cast<uint32_t>((1 + bytes) | (kind << 4)) | (static_cast<uint32_t>(text) << 8);
            const auto rest = static_cast<uint64_t>(text >> 24);
            return Probe{head, rest, text_hash(head, rest)};
        }
        const auto hash = static_cast<uint64_t>(str_hash(str));
        return Probe{LONG_TAG | static_cast<uint32_t>((hash & 0xFFFFFF) << 8), reinterpret_cast<uintptr_t>(str),
                     hash};
    }

    [[nodiscard]] static bool matches(const Slot& slot, const Probe& probe, PyObject* key) noexcept {
        if (slot.head() != probe.head) return false;
        if (slot.rest == probe.rest) return true;  // the same short text, or the same long string
        return is_long(probe.head) && str_equal(reinterpret_cast<PyObject*>(slot.rest), key);
    }

    // Where the probe for the string in `slot` starts, in a table of `mask` + 1 slots.
    [[nodiscard]] static size_t home_of(const Slot& slot, size_t mask) noexcept {
        const uint32_t head = slot.head();
        if (!is_long(head)) return text_hash(head, slot.rest) & mask;
        if (mask <= 0xFFFFFF) return (head >> 8) & mask;
        return static_cast<uint64_t>(reinterpret_cast<PyASCIIObject*>(slot.rest)->hash) & mask;
    }

    template <Memo M>
    [[nodiscard]] static size_t recent_index(PyObject* key) noexcept {
        return (reinterpret_cast<uintptr_t>(key) >> 4) % (M == Memo::Keys ? KEY_RECENT_SIZE : RECENT_SIZE);
    }
    template <Memo M>
    void remember(PyObject* key, uint32_t number) noexcept {
        if (!memo_on_) return;
        Recent& recent = memo<M>()[recent_index<M>(key)];
        if (owns_keys_) {
            // Dropping the object pushed out runs no Python code: it is a str.
            Py_INCREF(key);
            Py_XDECREF(recent.key);
        }
        recent = Recent{key, number};
    }
    void forget_if_taken_back(Recent& recent, uint32_t count) noexcept {
        if (recent.key == nullptr || recent.number < count) return;
        if (owns_keys_) Py_DECREF(recent.key);
        recent = Recent{};
    }
    template <Memo M>
    [[nodiscard]] Recent* memo() noexcept {
        return M == Memo::Keys ? key_recent_ : recent_;
    }
    template <Memo M>
    [[nodiscard]] const Recent* memo() const noexcept {
        return M == Memo::Keys ? key_recent_ : recent_;
    }

    // The slot holding `key`, or the empty slot where its probe ends.
    [[nodiscard]] size_t slot_of(const Probe& probe, PyObject* key) const noexcept {
        size_t i = probe.hash & mask_;
        while (slots_[i].head() != 0 && !matches(slots_[i], probe, key)) i = (i + 1) & mask_;
        return i;
    }

    // Removes a registered key, moving later entries of its probe run back so
    // that every remaining key stays reachable from its home slot.
    void erase(PyObject* key) noexcept {
        size_t hole = slot_of(probe_of(key), key);
        for (size_t next = (hole + 1) & mask_; slots_[next].head() != 0; next = (next + 1) & mask_) {
            const size_t home = home_of(slots_[next], mask_);
            // Move the entry unless its home lies cyclically in (hole, next].
            const bool stays = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
            if (!stays) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole] = Slot{};
    }

    [[gnu::noinline]] bool grow() noexcept {
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
        size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        // Towards the expected size at once, which saves rehashing the table
        // through every doubling: a document of a few thousand strings goes
        // from the first 64 slots straight to its size. At most 64 times at a
        // step, so a small document after a large one does not clear a large table.
        if (capacity_ != 0 && expected_capacity_ > capacity) {
            capacity = std::min(expected_capacity_, capacity_ * 64);
        }
        if (!place_slots(capacity)) return false;
        // Three quarters full at most. A table half that size stays in cache
        // better while the document streams past, which saves more than the
        // longer probes cost: they mostly stay within the first slot's cache line.
        grow_at_ = std::min<uint64_t>(capacity / 4 * 3, MAX_ENTRIES);
        return true;
    }

    // Moves the table into `capacity` zeroed slots, rehashing what it holds:
    // within its own block when that is large enough, else into the thread's
    // spare block or a new one. False with MemoryError set.
    [[nodiscard]] bool place_slots(size_t capacity) noexcept {
        Slot* old = slots_;
        if (capacity <= block_capacity_) {
            // The slots beyond the old capacity are zero already: the entries
            // are set aside, their slots cleared, and put back under the new mask.
            auto* moved = static_cast<Slot*>(std::malloc(std::max<size_t>(count_, 1) * sizeof(Slot)));
            if (moved == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            size_t kept = 0;
            for (size_t i = 0; i < capacity_; ++i) {
                if (old[i].head() != 0) moved[kept++] = old[i];
            }
            std::memset(old, 0, capacity_ * sizeof(Slot));
            rehash_into(old, capacity - 1, moved, kept);
            std::free(moved);
        } else {
            Slot* block = nullptr;
            size_t block_capacity = capacity;
            SpareBlock& spare = spare_block();
            if (spare.slots != nullptr && spare.capacity >= capacity) {
                block = spare.slots;
                block_capacity = spare.capacity;
                spare.slots = nullptr;
                spare.capacity = 0;
            } else {
                block = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
                if (block == nullptr) {
                    PyErr_NoMemory();
                    return false;
                }
            }
            rehash_into(block, capacity - 1, old, capacity_);
            release_block();
            slots_ = block;
            block_capacity_ = block_capacity;
        }
        capacity_ = capacity;
        mask_ = capacity - 1;
        return true;
    }

    // Puts the `count` slots of `from` (empty ones skipped) into the zeroed table `to`.
    static void rehash_into(Slot* to, size_t mask, const Slot* from, size_t count) noexcept {
        for (size_t i = 0; i < count; ++i) {
            const Slot& slot = from[i];
            if (slot.head() == 0) continue;
            size_t j = home_of(slot, mask);
            while (to[j].head() != 0) j = (j + 1) & mask;
            to[j] = slot;
        }
    }

    // Hands the block over to the thread's spare, cleared, when it is larger
    // than the spare and not too large to keep; frees it otherwise.
    void release_block() noexcept {
        if (block_capacity_ == 0) return;
        SpareBlock& spare = spare_block();
        if (block_capacity_ <= MAX_SPARE_SLOTS && block_capacity_ > spare.capacity) {
            std::memset(slots_, 0, capacity_ * sizeof(Slot));
            std::free(spare.slots);
            spare.slots = slots_;
            spare.capacity = block_capacity_;
        } else {
            std::free(slots_);
        }
        slots_ = EMPTY_TABLE;
        block_capacity_ = 0;
    }

    // Each thread keeps the zeroed block of its last large table, so that
    // encoding document after document neither asks the system for fresh
    // pages nor waits for them to be faulted in. A table takes the block
    // (an encode nested in a converter finds none and allocates its own) and
    // gives it back cleared; no Python object is in it, so the block may pass
    // between interpreters that run on the thread.
    struct SpareBlock {
        Slot* slots = nullptr;
        size_t capacity = 0;
        ~SpareBlock() { std::free(slots); }
    };
    [[nodiscard]] static SpareBlock& spare_block() noexcept {
        static thread_local SpareBlock spare;
        return spare;
    }
    // Blocks of up to 2 MB are kept (a document of some 95 000 distinct
    // strings): a program with many threads keeps at most that much in each.
    static constexpr size_t MAX_SPARE_SLOTS = size_t{1} << 17;

    const bool owns_keys_;
    const size_t expected_capacity_;
    // Memos of recently seen objects, cleared and used once `memo_on_`.
    bool memo_on_ = false;
    Recent recent_[RECENT_SIZE];
    Recent key_recent_[KEY_RECENT_SIZE];
    // Before the first string, a table of one empty slot (never written:
    // the first insert grows the table).
    inline static Slot EMPTY_TABLE[1] = {};
    Slot* slots_ = EMPTY_TABLE;
    size_t block_capacity_ = 0;  // slots in the block slots_ points into (zero for EMPTY_TABLE)
    size_t capacity_ = 0;        // the table's slots: the first ones of the block
    size_t mask_ = 0;
    uint32_t count_ = 0;
    uint64_t grow_at_ = 0;  // the count at which the next insert grows the table
    unsigned speculation_depth_ = 0;
    GrowableArray<PyObject*> owned_;  // the long strings registered, when the table owns them
    GrowableArray<PyObject*> undo_;   // keys registered under a checkpoint, oldest first
};

// The encoder's reference table: each distinct non-empty string written in
// full gets the next number; later occurrences are written as back-references.
using SerializingStringCache = StrNumberTable;

}  // namespace quarl
