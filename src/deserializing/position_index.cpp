#include "deserializing/position_index.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "deserializing/deserialize.hpp"
#include "deserializing/skip.hpp"
#include "utils/small_copy.hpp"

namespace quarl {

// One lookup: a reader and a reference table whose older entries are the index's.
struct PositionIndex::Walk {
    PositionPointerHolder holder;
    LazyContext ctx;

    Walk(const uint8_t* data, size_t length, const LoaderMap& loaders) noexcept
        : holder(data, length), ctx(data, length, DOCUMENT_MARKER_SIZE, holder, loaders, false) {}

    [[nodiscard]] IndexMark here() const noexcept { return IndexMark{ctx.in.position, holder.size()}; }
};

namespace {

// Rough heap cost of a map node, for the cap.
constexpr size_t NODE_BYTES = 64;

// Marks the index busy for one lookup.
class BusyScope {
public:
    explicit BusyScope(bool& busy) noexcept : busy_(busy) { busy_ = true; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
    ~BusyScope() { busy_ = false; }

private:
    bool& busy_;
};

// The UTF-8 form of an exact str, or nothing (a lone surrogate has none).
bool text_of(PyObject* str, std::string_view& text) noexcept {
    if (!PyUnicode_CheckExact(str)) return false;
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &length);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    text = std::string_view(data, static_cast<size_t>(length));
    return true;
}

bool all_ascii(const uint8_t* bytes, size_t length) noexcept {
    uint64_t high_bits = 0;
    for (; length >= 8; length -= 8, bytes += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes, 8);
        high_bits |= word;
    }
    for (; length != 0; --length) high_bits |= *bytes++;
    return (high_bits & 0x8080808080808080ULL) == 0;
}

// An inline key read by a dict search: its payload as the matcher sees it,
// and its text when that text alone decides every match (`exact`).
struct InlineKey {
    PositionKind kind = PositionKind::MarkedKey;
    const uint8_t* payload = nullptr;
    size_t length = 0;
    bool empty_flag = false;  // flag 0 in a general dict: the empty str, no number
    bool exact = false;
    std::string_view text;
};

enum class KeyRead { Inline, Other, Failed };

// Reads the key at the reader when it is written inline (giving it its
// reference number, as the search of an unindexed walk does); leaves the
// reader alone for keys of other forms.
KeyRead read_inline_key(LazyContext& ctx, uint8_t dict_flag, InlineKey& key) {
    InputReader& in = ctx.in;
    uint8_t first = 0;
    if (!in.peek_byte(first)) return KeyRead::Failed;
    uint64_t length = 0;
    if (dict_flag == byte(Flag::StrKeyDict)) {
        if (first == KEY_REFERENCE_MARKER) return KeyRead::Other;
        key.kind = PositionKind::MarkedKey;
        if (!ctx.holder.insert_position(in.position, key.kind) || !in.read_size<SizeForm::Key>(length)) {
            return KeyRead::Failed;
        }
    } else {
        if (first == byte(Flag::EmptyStr)) {
            ++in.position;
            key.empty_flag = true;
            key.exact = true;
            return KeyRead::Inline;
        }
        if (first != byte(Flag::Str) && first != byte(Flag::AsciiStr)) return KeyRead::Other;
        ++in.position;
        key.kind = first == byte(Flag::Str) ? PositionKind::Utf8 : PositionKind::Ascii;
        if (!ctx.holder.insert_position(in.position, key.kind) || !in.read_size(length)) return KeyRead::Failed;
    }
    if (!in.take(length, key.payload)) return KeyRead::Failed;
    key.length = static_cast<size_t>(length);
    const uint8_t* text = key.payload;
    size_t text_length = key.length;
    bool ascii_only = key.kind == PositionKind::Ascii;
    if (key.kind == PositionKind::MarkedKey && text_length != 0 && text[0] == ASCII_MARKER) {
        ++text;
        --text_length;
        ascii_only = true;
    }
    // ASCII forms holding other bytes match no key; such a key is left unlearnt.
    key.exact = !ascii_only || all_ascii(text, text_length);
    key.text = std::string_view(reinterpret_cast<const char*>(text), text_length);
    return KeyRead::Inline;
}

// A learnt entry compared with a key: `Lost` when it no longer reads as learnt.
enum class Match { No, Yes, Failed, Lost };

// The key under which get_many's noted entries are kept: the dict, then the text.
std::string noted_key(size_t dict_start, std::string_view text) {
    std::string key(reinterpret_cast<const char*>(&dict_start), sizeof dict_start);
    key.append(text);
    return key;
}

bool key_matches(const InlineKey& key, std::string_view text, bool ascii) noexcept {
    if (key.empty_flag) return text.empty();
    return PositionPointerHolder::payload_equals(key.kind, key.payload, key.length,
                                                 reinterpret_cast<const uint8_t*>(text.data()), text.size(), ascii);
}

}  // namespace

PositionIndex::PositionIndex(const uint8_t* data, size_t length, size_t cap) noexcept
    : data_(data), length_(length), cap_(cap) {}

PositionIndex::~PositionIndex() {
    for (uintptr_t entry : strings_.dense) {
        if (!PositionPointerHolder::is_position(entry)) Py_DECREF(reinterpret_cast<PyObject*>(entry));
    }
    for (const auto& [number, entry] : strings_.sparse) {
        if (!PositionPointerHolder::is_position(entry)) Py_DECREF(reinterpret_cast<PyObject*>(entry));
    }
}

// Numbers the walk's strings in the shared table (keeping the first ones),
// so that a mark taken now names a table state the index can return to.
bool PositionIndex::sync(Walk& walk) noexcept {
    PositionPointerHolder& holder = walk.holder;
    const size_t total = holder.size();
    if (total > strings_.count) {
        const auto& own = holder.own_entries();
        GrowableArray<uintptr_t>& dense = strings_.dense;
        for (size_t number = strings_.count; number < total && number == dense.size(); ++number) {
            if ((dense.size() + 1) * sizeof(uintptr_t) > cap_ / 4 || !room(sizeof(uintptr_t))) break;
            const uintptr_t entry = own[number - holder.base_size()];
            if (!dense.push_back(entry)) {
                PyErr_Clear();
                break;
            }
            if (!PositionPointerHolder::is_position(entry)) Py_INCREF(reinterpret_cast<PyObject*>(entry));
        }
        strings_.count = total;
    }
    holder.rebase(&strings_, total);
    return true;
}

void PositionIndex::learn(const Walk& plain, uint64_t number) noexcept {
    uintptr_t entry = 0;
    if (number >= strings_.count || number >= plain.holder.size() || strings_.find(number, entry)) return;
    if (!room(NODE_BYTES)) return;
    entry = plain.holder.own_entries()[static_cast<size_t>(number)];
    strings_.sparse.emplace(number, entry);
    if (!PositionPointerHolder::is_position(entry)) Py_INCREF(reinterpret_cast<PyObject*>(entry));
    other_bytes_ += NODE_BYTES;
}

void PositionIndex::restore(Walk& walk, const IndexMark& mark) noexcept {
    walk.holder.rebase(&strings_, mark.strings);
    walk.ctx.in.position = mark.position;
}

// Moves the walk from item `sequence.cursor`-or-nearest-mark to `item`; each
// item is `values_per_item` encoded values; marks[0] is item `first_marked`.
bool PositionIndex::walk_to(Walk& walk, Sequence& sequence, uint64_t item, uint64_t values_per_item,
                            uint64_t first_marked) {
    const auto item_of = [&](size_t m) { return m == 0 ? first_marked : m * STRIDE; };
    size_t m = std::min<size_t>(static_cast<size_t>(item / STRIDE), sequence.marks.size() - 1);
    while (m > 0 && item_of(m) > item) --m;
    uint64_t from = item_of(m);
    IndexMark at = sequence.marks[m];
    if (sequence.cursor_item <= item && sequence.cursor_item > from) {
        from = sequence.cursor_item;
        at = sequence.cursor;
    }
    restore(walk, at);
    while (from < item) {
        const uint64_t next_mark = (from / STRIDE + 1) * STRIDE;
        const uint64_t until = std::min(next_mark, item);
        if (!skip_more_values(walk.ctx.in, walk.holder, (until - from) * values_per_item)) return false;
        from = until;
        if (from == next_mark && next_mark / STRIDE == sequence.marks.size() && sync(walk)) {
            (void)append(sequence.marks, walk.here(), sequence.count / STRIDE + 1);  // a full index keeps what it has
        }
    }
    if (sync(walk)) {
        sequence.cursor_item = item;
        sequence.cursor = walk.here();
    }
    return true;
}

PositionIndex::Advance PositionIndex::list_item(Walk& walk, const IndexMark& start, uint64_t index) {
    auto found = lists_.find(start.position);
    if (found == lists_.end()) {
        InputReader& in = walk.ctx.in;
        in.position = start.position + 1;
        uint64_t count = 0;
        const bool read = in.read_size(count);
        if (!read) PyErr_Clear();
        if (read && count <= STRIDE && index < count && index <= in.remaining()) {
            // A short list is passed as an unindexed walk passes it: an index of it would save nothing.
            return skip_values(in, walk.holder, index) ? Advance::Done : Advance::Failed;
        }
        if (!read || count <= STRIDE || !sync(walk) || !room(sizeof(Sequence) + NODE_BYTES)) {
            restore(walk, start);
            return Advance::Fallback;
        }
        found = lists_.emplace(start.position, Sequence{count, {walk.here()}}).first;
        other_bytes_ += sizeof(Sequence) + NODE_BYTES;
    }
    Sequence& list = found->second;
    // An unindexed walk tests the whole run of items before the target against
    // the input at once: a claim the input cannot hold fails there, unplaced.
    if (index >= list.count || index > length_ - list.marks[0].position) {
        restore(walk, start);  // the unindexed walk names the error
        return Advance::Fallback;
    }
    return walk_to(walk, list, index, 1, 0) ? Advance::Done : Advance::Failed;
}

void PositionIndex::expect_keys(PyObject* texts) {
    expected_.clear();
    noted_.clear();
    ++expected_in_;
    expected_prints_.assign(size_t{1} << FINGERPRINT_BITS, false);
    const Py_ssize_t count = PyList_GET_SIZE(texts);
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::string_view text;
        if (!text_of(PyList_GET_ITEM(texts, i), text)) continue;  // not an exact str: looked up as ever
        expected_.emplace(text);
        expected_prints_[fingerprint(text) & fingerprint_mask_] = true;
    }
}

uint32_t PositionIndex::fingerprint(std::string_view text) noexcept {
    // Eight bytes at a time, each word multiplied in, then a finaliser that
    // spreads every input bit over the top bits (keys are short: one or two words).
    constexpr uint64_t MULTIPLIER = 0x9E3779B97F4A7C15ULL;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    size_t left = text.size();
    uint64_t hash = 0xcbf29ce484222325ULL ^ (left * MULTIPLIER);
    for (; left >= 8; left -= 8, bytes += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes, 8);
        hash = (hash ^ word) * MULTIPLIER;
        hash ^= hash >> 29;
    }
    if (left != 0) {
        uint64_t word = 0;
        std::memcpy(&word, bytes, left);
        hash = (hash ^ word) * MULTIPLIER;
    }
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    return static_cast<uint32_t>(hash >> (64 - FINGERPRINT_BITS));
}

uint64_t PositionIndex::Entries::next_candidate(uint64_t from, uint32_t print) const noexcept {
    const uint64_t count = learnt();
    const auto low_byte = static_cast<uint8_t>(print);
    const uint32_t high_bits = print >> 8;
    while (from < count) {
        // memchr finds the low byte many entries at a time; the high bits then settle it.
        const void* hit = std::memchr(low.data() + from, low_byte, static_cast<size_t>(count - from));
        if (hit == nullptr) return count;
        const auto entry = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - low.data());
        if (((high[entry / 2] >> ((entry % 2) * 4)) & 0xFu) == high_bits) return entry;
        from = entry + 1;
    }
    return count;
}

template <typename T>
bool PositionIndex::append(std::vector<T>& items, const T& item, uint64_t most) noexcept {
    if (items.size() == items.capacity()) {
        // Grows by half, never past the most it can hold nor the cap, counting
        // what is allocated against the cap.
        const size_t have = items.capacity();
        const size_t free_bytes = cap_ > memory() ? cap_ - memory() : 0;
        const uint64_t step = std::min<uint64_t>({std::max<size_t>(have / 2, 16), free_bytes / sizeof(T),
                                                  most > have ? most - have : 1});
        const size_t want = have + static_cast<size_t>(step);
        if (want == have) return false;
        try {
            items.reserve(want);
        } catch (...) {
            return false;
        }
        other_bytes_ += (items.capacity() - have) * sizeof(T);
    }
    items.push_back(item);
    return true;
}

bool PositionIndex::learn_fingerprint(Entries& dict, uint32_t print) noexcept {
    const uint64_t entry = dict.learnt();
    if (entry % 2 == 0 && !append(dict.high, static_cast<uint8_t>(print >> 8), (dict.pairs + 1) / 2)) return false;
    if (!append(dict.low, static_cast<uint8_t>(print), dict.pairs)) {
        if (entry % 2 == 0) dict.high.pop_back();
        return false;
    }
    if (entry % 2 == 1) dict.high.back() |= static_cast<uint8_t>((print >> 8) << 4);
    return true;
}

// Passes over one entry of a dict (flag 15 or 16): its key, then its value.
bool PositionIndex::skip_entry(Walk& walk, uint8_t flag) {
    InputReader& in = walk.ctx.in;
    if (flag != byte(Flag::StrKeyDict)) return skip_values(in, walk.holder, 2);
    return skip_dict_key(in, walk.holder) && skip_object(in, walk.holder);
}

PositionIndex::Advance PositionIndex::dict_value(Walk& walk, const IndexMark& start, uint8_t flag, PyObject* key,
                                                 LazyMode mode) {
    std::string_view text;
    if (!text_of(key, text)) return Advance::Fallback;
    const bool ascii = PyUnicode_IS_ASCII(key);
    auto found = dicts_.find(start.position);
    if (found == dicts_.end()) {
        InputReader& in = walk.ctx.in;
        in.position = start.position + 1;
        uint64_t pairs = 0;
        const bool read = in.read_size(pairs);
        if (!read) PyErr_Clear();
        if (read && pairs <= STRIDE) {  // a short dict is searched as an unindexed walk searches it
            return find_dict_key(walk.ctx, flag, pairs, key, mode) ? Advance::Done : Advance::Failed;
        }
        if (!read || !sync(walk) || !room(sizeof(Entries) + NODE_BYTES + sizeof(IndexMark))) {
            restore(walk, start);
            return Advance::Fallback;
        }
        found = dicts_.emplace(start.position, Entries(pairs)).first;
        other_bytes_ += sizeof(Entries) + NODE_BYTES;
        if (!append(found->second.marks, walk.here(), pairs / STRIDE + 1)) found->second.stop = 0;
    }
    Entries& dict = found->second;
    if (dict.marks.empty()) {  // nothing could be learnt: searched as an unindexed walk does
        restore(walk, start);
        return Advance::Fallback;
    }
    if (dict.expected_in != expected_in_) {
        dict.expected_in = expected_in_;
        dict.noted_from = dict.learnt();
    }
    const uint32_t print = fingerprint(text) & fingerprint_mask_;
    uint64_t at = UINT64_MAX;  // the entry whose key the walk is on
    // Reaches learnt entry `entry` (from the mark of its run of STRIDE
    // entries, or from the one before it in the same run) and compares its real key.
    const auto compare_entry = [&](uint64_t entry) -> Match {
        if (at > entry || at / STRIDE != entry / STRIDE) {
            restore(walk, dict.marks[static_cast<size_t>(entry / STRIDE)]);
            at = entry / STRIDE * STRIDE;
        }
        for (; at < entry; ++at) {
            if (!skip_entry(walk, flag)) return Match::Failed;
        }
        InlineKey inline_key;
        const KeyRead read = read_inline_key(walk.ctx, flag, inline_key);
        if (read == KeyRead::Failed) return Match::Failed;
        if (read == KeyRead::Other) return Match::Lost;  // (learnt keys are inline: not reached)
        if (key_matches(inline_key, text, ascii)) return Match::Yes;
        if (!skip_object(walk.ctx.in, walk.holder)) return Match::Failed;
        ++at;
        return Match::No;
    };
    const auto done = [&](Match match) {
        if (match == Match::Lost) restore(walk, start);
        return match == Match::Yes ? Advance::Done : match == Match::Failed ? Advance::Failed : Advance::Fallback;
    };
    // The learnt entries whose fingerprint agrees, in entry order (the first
    // equal key wins). An expected key is searched so only among the entries
    // learnt before it was expected; after those, its first entry was noted.
    const bool expected = !expected_.empty() && expected_.contains(std::string(text));
    const uint64_t searched = expected ? dict.noted_from : dict.learnt();
    for (uint64_t entry = dict.next_candidate(0, print); entry < searched;
         entry = dict.next_candidate(entry + 1, print)) {
        const Match match = compare_entry(entry);
        if (match != Match::No) return done(match);
    }
    if (expected) {
        if (const auto noted = noted_.find(noted_key(start.position, text)); noted != noted_.end()) {
            const Match match = compare_entry(noted->second);
            if (match != Match::No) return done(match);
        }
    }
    if (dict.learnt() == dict.pairs) {
        // Every key was learnt and none is this one: an unindexed walk would
        // pass them all and report the miss.
        return find_dict_key(walk.ctx, flag, 0, key, mode) ? Advance::Done : Advance::Failed;
    }
    // On from the first entry not learnt, reached from the mark of its run.
    const size_t resume = std::min<size_t>(static_cast<size_t>(dict.learnt() / STRIDE), dict.marks.size() - 1);
    if (at < resume * STRIDE || at > dict.learnt()) {
        restore(walk, dict.marks[resume]);
        at = resume * STRIDE;
    }
    for (; at < dict.learnt(); ++at) {
        if (!skip_entry(walk, flag)) return Advance::Failed;
    }
    // A dict's first search notes only every STRIDE-th entry's place, and so
    // costs about what an unindexed search costs; keys are learnt by the
    // searches after it (by the first one when get_many expects keys).
    if (!dict.searched && expected_.empty()) {
        dict.searched = true;
        while (at < dict.pairs) {
            if (at / STRIDE == dict.marks.size() &&
                (!sync(walk) || !append(dict.marks, walk.here(), dict.pairs / STRIDE + 1))) {
                break;
            }
            const uint64_t run = std::min(STRIDE - at % STRIDE, dict.pairs - at);
            bool found = false;
            if (!search_dict_entries(walk.ctx, flag, run, key, found)) return Advance::Failed;
            if (found) return Advance::Done;
            at += run;
        }
        return find_dict_key(walk.ctx, flag, dict.pairs - at, key, mode) ? Advance::Done : Advance::Failed;
    }
    dict.searched = true;
    for (; at < dict.stop; ++at) {
        if (at % STRIDE == 0 && at / STRIDE == dict.marks.size()) {
            if (!sync(walk) || !append(dict.marks, walk.here(), dict.pairs / STRIDE + 1)) {
                dict.stop = at;
                break;
            }
        }
        InlineKey inline_key;
        const KeyRead read = read_inline_key(walk.ctx, flag, inline_key);
        if (read == KeyRead::Failed) return Advance::Failed;
        if (read == KeyRead::Other) {
            dict.stop = at;
            break;
        }
        if (!inline_key.exact) {
            dict.stop = at;
        } else {
            const uint32_t entry_print = fingerprint(inline_key.text) & fingerprint_mask_;
            if (!learn_fingerprint(dict, entry_print)) {
                dict.stop = at;
            } else if (!expected_.empty() && expected_prints_[entry_print] &&
                       expected_.contains(std::string(inline_key.text))) {
                (void)noted_.try_emplace(noted_key(start.position, inline_key.text), at);  // the first one stays
            }
        }
        if (key_matches(inline_key, text, ascii)) return Advance::Done;
        if (!skip_object(walk.ctx.in, walk.holder)) return Advance::Failed;
        if (at == dict.stop) {  // that entry could not be learnt, nor can the ones after it
            ++at;
            break;
        }
    }
    // The rest of the entries are searched as an unindexed walk searches them.
    return find_dict_key(walk.ctx, flag, dict.pairs - at, key, mode) ? Advance::Done : Advance::Failed;
}

// Learns the keys and first values of a list of like dicts, or gives null
// (no error set, the walk back at `start`) when they cannot all be learnt.
PositionIndex::Rows* PositionIndex::learn_rows(Walk& walk, const IndexMark& start) {
    InputReader& in = walk.ctx.in;
    const auto give_up = [&] {
        PyErr_Clear();
        restore(walk, start);
        return nullptr;
    };
    in.position = start.position + 1;
    uint64_t count = 0;
    uint64_t width = 0;
    if (!in.read_size(count) || !in.read_size(width)) return give_up();
    if (count == 0 || width == 0 || width > in.remaining() / 2) return give_up();
    if (!sync(walk) || !room(sizeof(Rows) + NODE_BYTES)) return give_up();
    Rows rows{width, {}, {}, Sequence{count, {}}};
    size_t cost = sizeof(Rows) + NODE_BYTES;
    for (uint64_t j = 0; j < width; ++j) {
        PyPointer column = PyPointer::steal(deserialize_object(walk.ctx));
        std::string_view text;
        if (!column || !text_of(column.get(), text)) return give_up();
        cost += text.size() + sizeof(std::string) + sizeof(IndexMark);
        if (!sync(walk) || !room(cost)) return give_up();
        rows.columns.emplace_back(text);
        rows.first_values.push_back(walk.here());
        if (!skip_object(in, walk.holder)) return give_up();
    }
    if (!sync(walk) || !room(cost + sizeof(IndexMark))) return give_up();
    rows.rows.marks.push_back(walk.here());  // row 1
    other_bytes_ += cost + sizeof(IndexMark);
    return &rows_.emplace(start.position, std::move(rows)).first->second;
}

PositionIndex::Advance PositionIndex::row_value(Walk& walk, const IndexMark& start, uint64_t row, PyObject* key) {
    std::string_view text;
    if (!text_of(key, text)) return Advance::Fallback;
    auto found = rows_.find(start.position);
    Rows* rows = found != rows_.end() ? &found->second : learn_rows(walk, start);
    if (rows == nullptr) return Advance::Fallback;
    const auto column = std::find(rows->columns.begin(), rows->columns.end(), text);
    if (column == rows->columns.end() || row >= rows->rows.count) {
        restore(walk, start);
        return Advance::Fallback;
    }
    const auto j = static_cast<size_t>(column - rows->columns.begin());
    if (row == 0) {
        restore(walk, rows->first_values[j]);
        return Advance::Done;
    }
    // The run from row 1 to the value is tested against the input at once, as
    // an unindexed walk tests it.
    uint64_t run = 0;
    if (__builtin_mul_overflow(row - 1, rows->width, &run) || __builtin_add_overflow(run, j, &run) ||
        run > length_ - rows->rows.marks[0].position) {
        restore(walk, start);
        return Advance::Fallback;
    }
    if (!walk_to(walk, rows->rows, row, rows->width, 1)) return Advance::Failed;
    return skip_more_values(walk.ctx.in, walk.holder, j) ? Advance::Done : Advance::Failed;
}

PositionIndex::Advance PositionIndex::advance(Walk& walk, std::span<const PathStep> steps, size_t& s,
                                              LazyMode mode, bool indexed) {
    if (!indexed) return Advance::Fallback;
    // Every fallback leaves the walk where it found it: that place must be one
    // the index can return to.
    if (!sync(walk)) return Advance::Fallback;
    const IndexMark start = walk.here();
    if (start.position >= length_) return Advance::Fallback;
    const uint8_t flag = data_[start.position];
    const PathStep& step = steps[s];
    Advance result = Advance::Fallback;
    if (step.is_index()) {
        if (flag == byte(Flag::List)) {
            result = list_item(walk, start, step.index);
        } else if (flag == byte(Flag::StructuredList) && s + 1 < steps.size() && !steps[s + 1].is_index()) {
            result = row_value(walk, start, step.index, steps[s + 1].key);
            if (result == Advance::Done) ++s;
        }
    } else if (flag == byte(Flag::Dict) || flag == byte(Flag::StrKeyDict)) {
        result = dict_value(walk, start, flag, step.key, mode);
    }
    if (result == Advance::Done) ++s;
    return result;
}

PyObject* PositionIndex::resolve(std::span<const PathStep> steps, LazyMode mode, bool include_falsy,
                                 const LoaderMap& loaders) {
    BusyScope busy(busy_);
    uint64_t missed = 0;
    {
        Walk walk(data_, length_, loaders);
        PyObject* result = run(walk, steps, mode, include_falsy, true);
        if (result != nullptr || !walk.holder.missed()) return result;
        missed = walk.holder.missed_number();
    }
    // A string the index did not keep was referred to: the lookup is made
    // again from the start, and the string kept for the next ones.
    PyErr_Clear();
    Walk plain(data_, length_, loaders);
    PyObject* result = run(plain, steps, mode, include_falsy, false);
    learn(plain, missed);
    return result;
}

PyObject* PositionIndex::run(Walk& walk, std::span<const PathStep> steps, LazyMode mode, bool include_falsy,
                             bool indexed) {
    size_t s = 0;
    while (s < steps.size()) {
        const Advance result = advance(walk, steps, s, mode, indexed);
        if (result == Advance::Failed) return nullptr;
        if (result == Advance::Fallback) break;
    }
    return lazy_deserialize(walk.ctx, steps.subspan(s), mode, include_falsy);
}

PyObject* PositionIndex::describe_here(Walk& walk) {
    InputReader& in = walk.ctx.in;
    const size_t start = in.position;
    uint8_t flag = 0;
    if (in.position < in.length) flag = in.data[in.position];
    const char* kind = nullptr;
    uint64_t count = 0;
    bool read = true;
    switch (value_kind(flag)) {
        case ValueKind::EmptyList:
            kind = "list";
            break;
        case ValueKind::EmptyDict:
            kind = "dict";
            break;
        case ValueKind::List:
        case ValueKind::Rows:
            kind = "list";
            ++in.position;
            read = in.read_size(count);
            break;
        case ValueKind::TypedList: {
            kind = "list";
            in.position += 2;
            read = in.position <= in.length && in.read_size(count);
            break;
        }
        case ValueKind::Dict:
        case ValueKind::StrKeyDict:
            kind = "dict";
            ++in.position;
            read = in.read_size(count);
            break;
        default:
            break;
    }
    if (kind == nullptr || !read) {
        // A value, or a header that cannot be read: decoding names the error.
        PyErr_Clear();
        in.position = start;
        PyPointer value = PyPointer::steal(deserialize_object(walk.ctx));
        if (!value) return nullptr;
        return Py_BuildValue("(sO)", "value", value.get());
    }
    return Py_BuildValue("(sK)", kind, static_cast<unsigned long long>(count));
}

PyObject* PositionIndex::describe(std::span<const PathStep> steps, const LoaderMap& loaders) {
    BusyScope busy(busy_);
    uint64_t missed = 0;
    {
        Walk walk(data_, length_, loaders);
        PyObject* result = run_describe(walk, steps, true, loaders);
        if (result != nullptr || !walk.holder.missed()) return result;
        missed = walk.holder.missed_number();
    }
    PyErr_Clear();  // as in resolve()
    Walk plain(data_, length_, loaders);
    PyObject* result = run_describe(plain, steps, false, loaders);
    learn(plain, missed);
    return result;
}

PyObject* PositionIndex::run_describe(Walk& walk, std::span<const PathStep> steps, bool indexed,
                                     const LoaderMap& loaders) {
    size_t s = 0;
    while (s < steps.size()) {
        const Advance result = advance(walk, steps, s, LazyMode::Locate, indexed);
        if (result == Advance::Failed) return nullptr;
        if (result == Advance::Fallback) break;
    }
    if (s == steps.size()) return describe_here(walk);
    const size_t last = steps.size() - 1;
    if (steps[last].is_index()) {
        // An element of a typed list is a value; a row of a list of like dicts
        // a dict of its width. Neither is a run of bytes of its own.
        PyPointer located = PyPointer::steal(lazy_deserialize(walk.ctx, steps.subspan(s, last - s), LazyMode::Locate, true));
        if (located && located.get() == Py_None) {
            InputReader& in = walk.ctx.in;
            const size_t start = in.position;
            uint8_t flag = 0;
            if (in.position < in.length) flag = in.data[in.position];
            if (flag == byte(Flag::TypedList)) {
                PyPointer value = PyPointer::steal(lazy_deserialize(walk.ctx, steps.subspan(last), LazyMode::Load, true));
                if (!value) return nullptr;
                return Py_BuildValue("(sO)", "value", value.get());
            }
            if (flag == byte(Flag::StructuredList)) {
                ++in.position;
                uint64_t count = 0;
                uint64_t width = 0;
                if (in.read_size(count) && in.read_size(width) && steps[last].index < count) {
                    return Py_BuildValue("(sK)", "dict", static_cast<unsigned long long>(width));
                }
                PyErr_Clear();
                in.position = start;
            }
            located = PyPointer::steal(lazy_deserialize(walk.ctx, steps.subspan(last), LazyMode::Locate, true));
            if (located && located.get() == Py_None) return describe_here(walk);
        }
    } else {
        PyPointer located = PyPointer::steal(lazy_deserialize(walk.ctx, steps.subspan(s), LazyMode::Locate, true));
        if (located && located.get() == Py_None) return describe_here(walk);
    }
    if (walk.holder.missed()) return nullptr;  // describe() walks again, unindexed
    // The rest of the path held something a locating walk reads otherwise:
    // a walk from the start that decodes names the outcome exactly.
    PyErr_Clear();
    Walk plain(data_, length_, loaders);
    PyPointer value = PyPointer::steal(lazy_deserialize(plain.ctx, steps, LazyMode::Load, true));
    if (!value) return nullptr;
    return Py_BuildValue("(sO)", "value", value.get());
}

}  // namespace quarl
