#include "deserializing/skip.hpp"

#include <array>
#include <cstring>
#include <vector>

#include "utils/messages.hpp"
#include "utils/value_forms.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

namespace {


// The walk keeps its position as a pointer in a local, so it stays in a
// register: the reader is written back once, when the walk ends.
struct Cursor {
    const uint8_t* const data;
    const uint8_t* p;
    const uint8_t* const end;

    [[nodiscard]] size_t offset() const noexcept { return static_cast<size_t>(p - data); }
    [[nodiscard]] size_t remaining() const noexcept { return static_cast<size_t>(end - p); }

    // Advances past `n` bytes that must lie within the input.
    [[nodiscard]] bool advance(uint64_t n) noexcept {
        if (n > remaining()) [[unlikely]] return end_of_input(offset());
        p += n;
        return true;
    }
};

// The digits and closing FF of an escaped size field longer than 8 bytes, as
// a pointer past them (nullptr at the end of the input).
[[gnu::noinline]] const uint8_t* pass_long_escaped_digits(const uint8_t* p, const uint8_t* end) noexcept {
    const void* terminator = std::memchr(p, SIZE_ESCAPE, static_cast<size_t>(end - p));
    return terminator == nullptr ? nullptr : static_cast<const uint8_t*>(terminator) + 1;
}

// The digits and closing FF of an escaped size field. Fields are short: the
// closing FF is found among the next 8 bytes without branching on the digit
// count.
inline const uint8_t* pass_escaped_digits(const uint8_t* p, const uint8_t* end) noexcept {
    if (end - p >= 8) [[likely]] {
        uint64_t word = 0;
        std::memcpy(&word, p, 8);
        const uint64_t inverted = ~word;  // FF bytes become zero bytes
        const uint64_t zero_bytes = (inverted - 0x0101010101010101ULL) & ~inverted & 0x8080808080808080ULL;
        if (zero_bytes != 0) [[likely]] return p + __builtin_ctzll(zero_bytes) / 8 + 1;
    }
    return pass_long_escaped_digits(p, end);
}

// A size field whose value is not needed (integer magnitudes, long reference numbers).
[[nodiscard]] inline bool pass_size_field(Cursor& at) noexcept {
    if (at.p >= at.end) [[unlikely]] return end_of_input(at.offset());
    const size_t start = at.offset();
    if (*at.p++ != SIZE_ESCAPE) [[likely]] return true;
    at.p = pass_escaped_digits(at.p, at.end);
    if (at.p == nullptr) [[unlikely]] {
        at.p = at.end;
        return end_of_input(start);
    }
    return true;
}

// The value of an escaped size field and the position after it, returned in
// registers so the walk's cursor never leaves them.
struct EscapedSize {
    const uint8_t* next;  // nullptr on failure
    uint64_t value;
};

template <SizeForm Form>
[[gnu::noinline]] EscapedSize read_escaped_size(const uint8_t* data, const uint8_t* p, const uint8_t* end) noexcept {
    size_t position = static_cast<size_t>(p - data);
    uint64_t value = 0;
    const ReadStatus status =
        read_size_field_digits<Form>(data, static_cast<size_t>(end - data), position, value);
    if (status != ReadStatus::Ok) {
        size_field_failed(status, static_cast<size_t>(p - data) - 1);
        return {nullptr, 0};
    }
    return {data + position, value};
}

template <SizeForm Form = SizeForm::Value>
[[nodiscard]] inline bool read_size(Cursor& at, uint64_t& out) noexcept {
    if (at.p >= at.end) [[unlikely]] return end_of_input(at.offset());
    out = *at.p++;
    if (out != SIZE_ESCAPE) [[likely]] return true;
    const EscapedSize size = read_escaped_size<Form>(at.data, at.p, at.end);
    if (size.next == nullptr) [[unlikely]] return false;
    at.p = size.next;
    out = size.value;
    return true;
}

// A string (flags 10 and 18, inline keys, typed-list elements): numbered by its
// position first, then passed over.
template <SizeForm Form = SizeForm::Value>
[[nodiscard]] inline bool pass_string(Cursor& at, PositionPointerHolder& holder, PositionKind kind) {
    if (!holder.insert_position(at.offset(), kind)) return false;
    uint64_t length = 0;
    return read_size<Form>(at, length) && at.advance(length);
}

// A dict key of a str-keyed dict: a back-reference (FE, value-form size field)
// or an inline key.
[[nodiscard]] inline bool pass_dict_key(Cursor& at, PositionPointerHolder& holder) {
    if (at.p >= at.end) [[unlikely]] return end_of_input(at.offset());
    if (*at.p == KEY_REFERENCE_MARKER) {
        ++at.p;
        return pass_size_field(at);
    }
    return pass_string<SizeForm::Key>(at, holder, PositionKind::MarkedKey);
}

// The rest of a typed list, after its flag byte.
[[nodiscard]] inline bool pass_typed_list(Cursor& at, PositionPointerHolder& holder) {
    if (at.p >= at.end) [[unlikely]] return end_of_input(at.offset());
    const size_t type_offset = at.offset();
    const ElementForm& form = element_form(*at.p++);
    uint64_t n = 0;
    if (!read_size(at, n)) return false;
    if (form.kind == ElementKind::Invalid) [[unlikely]] return unknown_element_type(type_offset);
    const ElementClaim claim = element_claim(form, n);
    if (claim.min_bytes != 0 && claim.units > at.remaining() / claim.min_bytes) [[unlikely]] {
        return end_of_input(type_offset + 1);
    }
    switch (form.kind) {
        case ElementKind::Float:
            at.p += n * 8;  // within the input: the claim was checked
            return true;
        case ElementKind::Bool:
            at.p += claim.units;
            return true;
        case ElementKind::Bytes:
            for (uint64_t i = 0; i < n; ++i) {
                uint64_t length = 0;
                if (!read_size(at, length) || !at.advance(length)) return false;
            }
            return true;
        case ElementKind::Str:
            for (uint64_t i = 0; i < n; ++i) {
                if (!pass_string(at, holder, PositionKind::MarkedValue)) return false;
            }
            return true;
        case ElementKind::None:
        case ElementKind::Invalid:
            break;
    }
    return true;
}

// Bytes after the flag of a scalar that is passed by its width alone;
// SIZE_FIELD_SCALAR for flags followed by one size field; OTHER_VALUE for
// strings, containers and flags that start no value.
inline constexpr uint8_t SIZE_FIELD_SCALAR = 9;
inline constexpr uint8_t OTHER_VALUE = 0xFF;
inline constexpr auto SCALAR_WIDTH = [] {
    std::array<uint8_t, 256> widths{};
    for (unsigned flag = 0; flag < 256; ++flag) {
        const FlagForm& form = FLAG_FORMS[flag];
        switch (form.shape) {
            case Shape::Bare:
                widths[flag] = 0;
                break;
            case Shape::Fixed:
                widths[flag] = form.width;
                break;
            case Shape::SizeField:
                // An int's magnitude may be of any length; a reference number
                // must fit in 64 bits, so it is read.
                widths[flag] = form.kind == ValueKind::Reference ? OTHER_VALUE : SIZE_FIELD_SCALAR;
                break;
            default:
                widths[flag] = OTHER_VALUE;
                break;
        }
    }
    return widths;
}();

// Values of one byte (a flag with nothing after it) are the commonest in
// dense documents: small ints, bools, None, empty containers. Their flags
// form two ranges, [0, FIRST_WIDER) and (LAST_WIDER, 255], so eight flags are
// tested at once by one range test on a word.
inline constexpr auto WIDER_RANGE = [] {
    unsigned first = 256;
    unsigned last = 0;
    for (unsigned flag = 0; flag < 256; ++flag) {
        if (FLAG_FORMS[flag].shape != Shape::Bare) {
            if (first == 256) first = flag;
            last = flag;
        }
    }
    return std::array<unsigned, 2>{first, last};
}();
inline constexpr unsigned FIRST_WIDER = WIDER_RANGE[0];
inline constexpr unsigned LAST_WIDER = WIDER_RANGE[1];
static_assert(FIRST_WIDER > 0 && LAST_WIDER + 1 < 128, "the word test needs both bounds below 128");
static_assert([] {
    for (unsigned flag = FIRST_WIDER; flag <= LAST_WIDER; ++flag) {
        if (FLAG_FORMS[flag].shape == Shape::Bare) return false;
    }
    return true;
}(), "one-byte flags lie outside one range of the others");

inline constexpr uint64_t BYTES_OF_ONE = 0x0101010101010101ULL;

// A word whose high bit is set in each byte that is not a one-byte value's
// flag (FIRST_WIDER <= byte <= LAST_WIDER): an exact per-byte test, no
// borrow crosses between bytes.
[[nodiscard]] inline uint64_t wider_flags(uint64_t word) noexcept {
    const uint64_t low7 = word & (BYTES_OF_ONE * 0x7F);
    const uint64_t below_top = (BYTES_OF_ONE * (127 + LAST_WIDER + 1)) - low7;      // high bit: byte < LAST_WIDER + 1
    const uint64_t above_bottom = low7 + BYTES_OF_ONE * (127 - (FIRST_WIDER - 1));  // high bit: byte > FIRST_WIDER - 1
    return below_top & ~word & above_bottom & (BYTES_OF_ONE * 0x80);
}

[[nodiscard]] inline bool is_one_byte_value(uint8_t flag) noexcept {
    return static_cast<uint8_t>(flag - FIRST_WIDER) > LAST_WIDER - FIRST_WIDER;
}

// Bytes a fast loop keeps between its position and the end of the input, so
// that a scalar of fixed width (or a short size field) after it needs no
// bounds test; within that last stretch the general walk goes on.
inline constexpr ptrdiff_t FAST_SLACK = 24;

// Passes the scalar at at.p (the flag and what follows) if it is one of a
// fixed width or an int with a size field that ends within the slack; false,
// the cursor unmoved, for anything else, which the general walk then reads
// with every check. At least FAST_SLACK bytes remain.
[[nodiscard]] inline bool pass_fast_scalar(Cursor& at) noexcept {
    const uint8_t flag = *at.p;
    if (is_one_byte_value(flag)) [[likely]] {
        at.p += 1;
        return true;
    }
    const uint8_t width = SCALAR_WIDTH[flag];
    if (width <= 8) {
        at.p += 1 + width;
        return true;
    }
    if (width != SIZE_FIELD_SCALAR) return false;
    if (at.p[1] != SIZE_ESCAPE) {
        at.p += 2;
        return true;
    }
    // Escaped magnitudes: their closing FF within the next eight bytes.
    uint64_t word = 0;
    std::memcpy(&word, at.p + 2, 8);
    const uint64_t inverted = ~word;
    const uint64_t terminators = (inverted - BYTES_OF_ONE) & ~inverted & (BYTES_OF_ONE * 0x80);
    if (terminators == 0) return false;
    at.p += 2 + __builtin_ctzll(terminators) / 8 + 1;
    return true;
}

// Passes the scalars at the head of a run of `left` values: runs of one-byte
// values eight at a time, other scalars one by one. Stops at a string, a
// container or an unusual field, and where FAST_SLACK bytes no longer remain.
inline void pass_scalar_run(Cursor& at, uint64_t& left) noexcept {
    while (left != 0 && at.end - at.p >= FAST_SLACK) {
        // The word test only where a one-byte value starts: elsewhere it would
        // lengthen the chain of loads each position waits on.
        if (left >= 8 && is_one_byte_value(*at.p)) {
            uint64_t word = 0;
            std::memcpy(&word, at.p, 8);
            const uint64_t wider = wider_flags(word);
            if (wider == 0) {
                at.p += 8;
                left -= 8;
                continue;
            }
            // Fewer than eight: `left` stays above zero.
            const unsigned ones = static_cast<unsigned>(__builtin_ctzll(wider)) / 8;
            at.p += ones;
            left -= ones;
        }
        if (!pass_fast_scalar(at)) return;
        --left;
    }
}

// Passes the pairs at the head of a str-keyed dict's `left` pairs whose key
// is a back-reference of one byte and whose value is a scalar, as
// pass_scalar_run does for values.
inline void pass_scalar_pairs(Cursor& at, uint64_t& left) noexcept {
    while (left != 0 && at.end - at.p >= FAST_SLACK) {
        if (at.p[0] != KEY_REFERENCE_MARKER || at.p[1] == SIZE_ESCAPE) return;
        at.p += 2;
        if (!pass_fast_scalar(at)) {
            at.p -= 2;
            return;
        }
        --left;
    }
}

// An open container: values still to pass, and whether they come as
// key/value pairs of a str-keyed dict (then `left` counts pairs).
struct Open {
    uint64_t left;
    bool keyed;
};

// The containers enclosing the one being walked, innermost last. The first
// levels live in the object itself, so a shallow walk allocates nothing.
class OpenStack {
public:
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    Open pop() noexcept {
        --size_;
        return size_ < INLINE ? inline_[size_] : deeper_[size_ - INLINE];
    }
    void push(Open open) {
        if (size_ < INLINE) {
            inline_[size_++] = open;
            return;
        }
        deeper_.resize(size_ - INLINE + 1);
        deeper_[size_++ - INLINE] = open;
    }

private:
    static constexpr size_t INLINE = 32;
    Open inline_[INLINE];
    std::vector<Open> deeper_;
    size_t size_ = 0;
};

// Passes `count` values from `start`; returns the position after them, or
// nullptr with the error raised. The container being walked is kept in locals
// (`current`); enclosing ones wait on the stack, and a container is stacked
// only while values of it remain.
// `claim_checked`: the count was tested against the input already, as part
// of a longer run that is being passed in parts.
[[nodiscard]] const uint8_t* pass_values(Cursor start, PositionPointerHolder& holder, uint64_t count,
                                         bool claim_checked) {
    Cursor at = start;  // a local the walk's calls never see, so it lives in registers
    if (!claim_checked && count > at.remaining()) [[unlikely]] return end_of_input(at.offset()), nullptr;
    OpenStack stack;
    Open current{count, false};
    // Makes a container of `n` values (or pairs) the current one.
    auto open = [&](uint64_t n, bool keyed) {
        if (current.left != 0) stack.push(current);
        current = Open{n, keyed};
    };
    for (;;) {
        if (current.left == 0) {
            if (stack.empty()) return at.p;
            current = stack.pop();
        }
        // Scalars go through the fast loops; what they leave is read below.
        if (current.keyed) {
            pass_scalar_pairs(at, current.left);
        } else {
            pass_scalar_run(at, current.left);
        }
        if (current.left == 0) continue;
        --current.left;
        if (current.keyed && !pass_dict_key(at, holder)) return nullptr;
        if (at.p >= at.end) [[unlikely]] return end_of_input(at.offset()), nullptr;
        const uint8_t flag = *at.p++;
        // Most values are scalars: one well-predicted test passes them, and
        // only strings and containers go through the switch.
        const uint8_t width = SCALAR_WIDTH[flag];
        if (width <= 8) [[likely]] {
            if (!at.advance(width)) return nullptr;
            continue;
        }
        if (width == SIZE_FIELD_SCALAR) {
            if (!pass_size_field(at)) return nullptr;
            continue;
        }
        switch (value_kind(flag)) {
            case ValueKind::Utf8Str:
                if (!pass_string(at, holder, PositionKind::Utf8)) return nullptr;
                break;
            case ValueKind::AsciiStr:
                if (!pass_string(at, holder, PositionKind::Ascii)) return nullptr;
                break;
            case ValueKind::Bytes: {
                uint64_t length = 0;
                if (!read_size(at, length) || !at.advance(length)) return nullptr;
                break;
            }
            case ValueKind::List: {
                const size_t count_offset = at.offset();
                uint64_t n = 0;
                if (!read_size(at, n)) return nullptr;
                if (n > at.remaining()) return end_of_input(count_offset), nullptr;
                if (n != 0) open(n, false);
                break;
            }
            case ValueKind::TypedList:
                if (!pass_typed_list(at, holder)) return nullptr;
                break;
            case ValueKind::Dict:
            case ValueKind::StrKeyDict: {
                const size_t count_offset = at.offset();
                uint64_t pairs = 0;
                if (!read_size(at, pairs)) return nullptr;
                if (pairs > at.remaining() / 2) return end_of_input(count_offset), nullptr;
                if (pairs == 0) break;
                if (flag == byte(Flag::Dict)) {
                    open(pairs * 2, false);
                } else {
                    open(pairs, true);
                }
                break;
            }
            case ValueKind::Rows: {
                const size_t count_offset = at.offset();
                uint64_t rows = 0;
                uint64_t width = 0;
                if (!read_size(at, rows) || !read_size(at, width)) return nullptr;
                if (rows == 0) return corrupted(msg::EMPTY_STRUCTURED_LIST, count_offset), nullptr;
                if (width == 0) break;
                // The first row holds keys and values; each later row K values.
                const uint64_t free = at.remaining();
                if (width > free / 2 || rows - 1 > (free - 2 * width) / width) {
                    return end_of_input(count_offset), nullptr;
                }
                open(2 * width + (rows - 1) * width, false);
                break;
            }
            case ValueKind::Reference: {
                uint64_t number = 0;
                if (!read_size(at, number)) return nullptr;
                break;
            }
            case ValueKind::CustomType:
                // Identifier and value.
                if (at.remaining() < 2) return end_of_input(at.offset()), nullptr;
                open(2, false);
                break;
            default:
                return unexpected_flag(at.offset() - 1), nullptr;
        }
    }
}

// Runs `pass` on a cursor over `in`, writing the position back.
template <typename Pass>
[[nodiscard]] inline bool with_cursor(InputReader& in, Pass&& pass) {
    Cursor at{in.data, in.data + in.position, in.data + in.length};
    const bool passed = pass(at);
    in.position = passed ? at.offset() : in.length;
    return passed;
}

}  // namespace

namespace {

// The reader's position moves past `count` values, or to the end on failure.
[[nodiscard]] inline bool skip_run(InputReader& in, PositionPointerHolder& holder, uint64_t count, bool claim_checked) {
    if (count == 0) return true;
    const uint8_t* const end =
        pass_values(Cursor{in.data, in.data + in.position, in.data + in.length}, holder, count, claim_checked);
    in.position = end != nullptr ? static_cast<size_t>(end - in.data) : in.length;
    return end != nullptr;
}

}  // namespace

bool skip_values(InputReader& in, PositionPointerHolder& holder, uint64_t count) {
    return skip_run(in, holder, count, false);
}

bool skip_more_values(InputReader& in, PositionPointerHolder& holder, uint64_t count) {
    return skip_run(in, holder, count, true);
}

bool skip_dict_key(InputReader& in, PositionPointerHolder& holder) {
    return with_cursor(in, [&](Cursor& at) { return pass_dict_key(at, holder); });
}

}  // namespace quarl
