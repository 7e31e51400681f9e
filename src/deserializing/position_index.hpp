// A document's position index: where the long lists, rows and dicts that
// lookups walked through start, every STRIDE-th item of their lists and rows,
// a short fingerprint of every dict key they searched past (and every
// STRIDE-th entry's place), and the reference table up to each of those
// places. A later lookup jumps to the nearest known place before its target
// and resolves every back-reference exactly as a walk from the start would;
// the index only ever saves skipping, never changes a result.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "deserializing/lazy_deserialize.hpp"
#include "utils/custom_type_loaders.hpp"
#include "utils/growable_array.hpp"

namespace quarl {

// A place in the document: where a value (or a dict key) starts, and how many
// strings took a reference number before it.
struct IndexMark {
    size_t position;
    size_t strings;
};

class PositionIndex {
public:
    // Items, rows and dict entries between two remembered positions.
    static constexpr uint64_t STRIDE = 64;
    // Bits of a dict key's fingerprint: a lookup in a dict of n learnt keys
    // walks to about n / 4096 entries whose key is not the one asked for.
    static constexpr unsigned FINGERPRINT_BITS = 12;

    // The fingerprint of a key's UTF-8 text.
    [[nodiscard]] static uint32_t fingerprint(std::string_view text) noexcept;

    // Indexes `length` bytes at `data` (a document, marker checked by the
    // caller), growing to at most `cap` bytes of bookkeeping.
    PositionIndex(const uint8_t* data, size_t length, size_t cap) noexcept;
    PositionIndex(const PositionIndex&) = delete;
    PositionIndex& operator=(const PositionIndex&) = delete;
    ~PositionIndex();

    // As lazy_deserialize from the start of the document, learning positions
    // on the way. What is learnt does not depend on `loaders` (custom types
    // are decoded, never learnt). New reference or null with the error set.
    [[nodiscard]] PyObject* resolve(std::span<const PathStep> steps, LazyMode mode, bool include_falsy,
                                    const LoaderMap& loaders);

    // What the path leads to, for navigation: ("list", length), ("dict",
    // length) or ("value", the decoded value). New reference or null.
    [[nodiscard]] PyObject* describe(std::span<const PathStep> steps, const LoaderMap& loaders);

    [[nodiscard]] size_t memory() const noexcept { return strings_.dense.size() * sizeof(uintptr_t) + other_bytes_; }
    [[nodiscard]] size_t cap() const noexcept { return cap_; }
    void set_cap(size_t cap) noexcept { cap_ = cap; }
    // Narrows fingerprints to their low `bits` (at most FINGERPRINT_BITS), so
    // that tests can make many keys share one. Only before the first lookup.
    void narrow_fingerprints(unsigned bits) noexcept { fingerprint_mask_ = (1u << bits) - 1u; }

    // The dict keys that the next lookups will ask for (get_many's): while
    // dicts are learnt, the entry of each of them is noted exactly, so that
    // finding it again needs no fingerprint search. An empty list ends that.
    void expect_keys(PyObject* texts);
    [[nodiscard]] const uint8_t* data() const noexcept { return data_; }
    [[nodiscard]] size_t length() const noexcept { return length_; }
    // Whether a lookup is running (Python code it runs may look up again: that one walks unindexed).
    [[nodiscard]] bool busy() const noexcept { return busy_; }

private:
    struct Walk;
    enum class Advance { Fallback, Done, Failed };

    // Items of a list (flag 13) or rows of a list of like dicts: marks[m] is
    // item m * STRIDE (rows: row 1 for m = 0, its first row being apart).
    struct Sequence {
        uint64_t count;
        std::vector<IndexMark> marks;
        uint64_t cursor_item = 0;  // the last item looked up, for reads in order
        IndexMark cursor{0, 0};
    };
    struct Rows {
        uint64_t width;
        std::vector<std::string> columns;     // the first row's keys (UTF-8)
        std::vector<IndexMark> first_values;  // the first row's values
        Sequence rows;
    };
    // A dict's entries learnt so far, in entry order: the fingerprint of each
    // one's key (a lookup compares real keys only where fingerprints agree)
    // and where every STRIDE-th entry's key starts. Learning stops for good at
    // a key it cannot fingerprint (not an inline str) or at the cap: the
    // entries from there on are searched as an unindexed walk searches them.
    struct Entries {
        explicit Entries(uint64_t pairs_) noexcept : pairs(pairs_), stop(pairs_) {}

        uint64_t pairs;
        uint64_t stop;          // the first entry that cannot be learnt (pairs if none)
        bool searched = false;  // whether a search went past the learnt entries
        // The expect_keys() call in whose time this dict was first searched,
        // and how many entries were learnt then: later ones with an expected
        // key are in `noted_`.
        uint64_t expected_in = 0;
        uint64_t noted_from = 0;
        std::vector<uint8_t> low;        // per entry: the fingerprint's low 8 bits
        std::vector<uint8_t> high;       // the high 4 bits, two entries a byte
        std::vector<IndexMark> marks;    // marks[m]: the key of entry m * STRIDE

        [[nodiscard]] uint64_t learnt() const noexcept { return low.size(); }
        // The first learnt entry from `from` on whose fingerprint is `print` (learnt() if none).
        [[nodiscard]] uint64_t next_candidate(uint64_t from, uint32_t print) const noexcept;
    };

    [[nodiscard]] bool room(size_t bytes) const noexcept { return memory() + bytes <= cap_; }
    // Appends to one of the index's arrays (which never holds more than
    // `most` items), growing it within the cap; false (no error set) when full.
    template <typename T>
    [[nodiscard]] bool append(std::vector<T>& items, const T& item, uint64_t most) noexcept;
    [[nodiscard]] bool learn_fingerprint(Entries& dict, uint32_t print) noexcept;
    [[nodiscard]] bool skip_entry(Walk& walk, uint8_t flag);
    [[nodiscard]] bool sync(Walk& walk) noexcept;
    void restore(Walk& walk, const IndexMark& mark) noexcept;
    [[nodiscard]] Advance advance(Walk& walk, std::span<const PathStep> steps, size_t& s, LazyMode mode,
                                  bool indexed);
    [[nodiscard]] Advance list_item(Walk& walk, const IndexMark& start, uint64_t index);
    [[nodiscard]] Advance dict_value(Walk& walk, const IndexMark& start, uint8_t flag, PyObject* key, LazyMode mode);
    [[nodiscard]] Advance row_value(Walk& walk, const IndexMark& start, uint64_t row, PyObject* key);
    [[nodiscard]] Rows* learn_rows(Walk& walk, const IndexMark& start);
    [[nodiscard]] bool walk_to(Walk& walk, Sequence& sequence, uint64_t item, uint64_t values_per_item,
                               uint64_t first_marked);
    [[nodiscard]] PyObject* describe_here(Walk& walk);
    [[nodiscard]] PyObject* run(Walk& walk, std::span<const PathStep> steps, LazyMode mode, bool include_falsy,
                                bool indexed);
    [[nodiscard]] PyObject* run_describe(Walk& walk, std::span<const PathStep> steps, bool indexed,
                                         const LoaderMap& loaders);
    // Keeps string `number` as an unindexed walk found it.
    void learn(const Walk& plain, uint64_t number) noexcept;

    const uint8_t* data_;
    size_t length_;
    size_t cap_;
    size_t other_bytes_ = 0;
    bool busy_ = false;
    uint32_t fingerprint_mask_ = (1u << FINGERPRINT_BITS) - 1u;
    // expect_keys(): the keys, their fingerprints (a bit each), and the entry
    // of each one's first occurrence in each dict learnt since ("dict start
    // position" + '\0' + text -> entry).
    uint64_t expected_in_ = 0;
    std::unordered_set<std::string> expected_;
    std::vector<bool> expected_prints_;
    std::unordered_map<std::string, uint64_t> noted_;
    // The reference table: every string numbered up to the furthest place
    // known; the first ones kept (while they take at most half the cap),
    // later ones only once a lookup asked for them.
    KnownStrings strings_;
    std::unordered_map<size_t, Sequence> lists_;
    std::unordered_map<size_t, Rows> rows_;
    std::unordered_map<size_t, Entries> dicts_;
};

}  // namespace quarl
