#include "deserializing/skip.hpp"

#include <array>
#include <cstring>
#include <vector>

#include "utils/messages.hpp"
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
    const uint8_t element_type = *at.p++;
    uint64_t n = 0;
    if (!read_size(at, n)) return false;
    switch (static_cast<ElementType>(element_type)) {
        case ElementType::None:
            return true;
        case ElementType::Float:
            if (n > at.remaining() / 8) return end_of_input();
            at.p += n * 8;
            return true;
        case ElementType::Bool:
            return at.advance(n / 8 + (n % 8 != 0 ? 1 : 0));
        case ElementType::Bytes:
            if (n > at.remaining()) return end_of_input();
            for (uint64_t i = 0; i < n; ++i) {
                uint64_t length = 0;
                if (!read_size(at, length) || !at.advance(length)) return false;
            }
            return true;
        case ElementType::Str:
            if (n > at.remaining()) return end_of_input();
            for (uint64_t i = 0; i < n; ++i) {
                if (!pass_string(at, holder, PositionKind::MarkedValue)) return false;
            }
            return true;
    }
    return unexpected_element_type(msg::UNEXPECTED_TYPE_FLAG, element_type, type_offset);
}

// Bytes after the flag of a fixed-width scalar; SIZE_FIELD_SCALAR for flags
// followed by one size field; OTHER_VALUE for strings, containers and flags
// that are never written.
inline constexpr uint8_t SIZE_FIELD_SCALAR = 9;
inline constexpr uint8_t OTHER_VALUE = 0xFF;
inline constexpr auto SCALAR_WIDTH = [] {
    std::array<uint8_t, 256> widths{};
    widths.fill(0);  // 30 to 255: ints in the flag byte
    for (unsigned flag = 0; flag < byte(Flag::SmallIntBase); ++flag) widths[flag] = OTHER_VALUE;
    for (Flag flag : {Flag::EmptyStr, Flag::EmptyBytes, Flag::True, Flag::False, Flag::None, Flag::EmptyList,
                      Flag::EmptyDict}) {
        widths[byte(flag)] = 0;
    }
    widths[byte(Flag::Float)] = 8;
    for (Flag flag : {Flag::Ref8, Flag::Ref16, Flag::Ref24, Flag::Ref32}) {
        widths[byte(flag)] = static_cast<uint8_t>(reference_width(flag));
    }
    for (Flag flag : {Flag::PositiveInt, Flag::NegativeInt, Flag::RefLong}) widths[byte(flag)] = SIZE_FIELD_SCALAR;
    return widths;
}();

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
    if (!claim_checked && count > at.remaining()) [[unlikely]] return end_of_input(), nullptr;
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
        switch (static_cast<Flag>(flag)) {
            case Flag::Str:
                if (!pass_string(at, holder, PositionKind::Utf8)) return nullptr;
                break;
            case Flag::AsciiStr:
                if (!pass_string(at, holder, PositionKind::Ascii)) return nullptr;
                break;
            case Flag::Bytes: {
                uint64_t length = 0;
                if (!read_size(at, length) || !at.advance(length)) return nullptr;
                break;
            }
            case Flag::List: {
                uint64_t n = 0;
                if (!read_size(at, n)) return nullptr;
                if (n > at.remaining()) return end_of_input(), nullptr;
                if (n != 0) open(n, false);
                break;
            }
            case Flag::TypedList:
                if (!pass_typed_list(at, holder)) return nullptr;
                break;
            case Flag::Dict:
            case Flag::StrKeyDict: {
                uint64_t pairs = 0;
                if (!read_size(at, pairs)) return nullptr;
                if (pairs > at.remaining() / 2) return end_of_input(), nullptr;
                if (pairs == 0) break;
                if (flag == byte(Flag::Dict)) {
                    open(pairs * 2, false);
                } else {
                    open(pairs, true);
                }
                break;
            }
            case Flag::StructuredList: {
                uint64_t rows = 0;
                uint64_t width = 0;
                if (!read_size(at, rows) || !read_size(at, width)) return nullptr;
                // The first row holds keys and values; each later row K values.
                uint64_t values = 0;
                if (__builtin_mul_overflow(width, 2, &values)) return end_of_input(), nullptr;
                if (rows >= 2 && width != 0) {
                    uint64_t later = 0;
                    if (__builtin_mul_overflow(rows - 1, width, &later) ||
                        __builtin_add_overflow(values, later, &values)) {
                        return end_of_input(), nullptr;
                    }
                }
                if (values > at.remaining()) return end_of_input(), nullptr;
                if (values != 0) open(values, false);
                break;
            }
            case Flag::CustomType:
                if (at.remaining() < 2) return end_of_input(), nullptr;
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

bool skip_values(InputReader& in, PositionPointerHolder& holder, uint64_t count) {
    if (count == 0) return true;
    const uint8_t* const end =
        pass_values(Cursor{in.data, in.data + in.position, in.data + in.length}, holder, count, false);
    in.position = end != nullptr ? static_cast<size_t>(end - in.data) : in.length;
    return end != nullptr;
}

bool skip_more_values(InputReader& in, PositionPointerHolder& holder, uint64_t count) {
    if (count == 0) return true;
    const uint8_t* const end =
        pass_values(Cursor{in.data, in.data + in.position, in.data + in.length}, holder, count, true);
    in.position = end != nullptr ? static_cast<size_t>(end - in.data) : in.length;
    return end != nullptr;
}

bool skip_size_field(InputReader& in) noexcept {
    return with_cursor(in, [](Cursor& at) { return pass_size_field(at); });
}

bool skip_string(InputReader& in, PositionPointerHolder& holder) {
    return with_cursor(in, [&](Cursor& at) { return pass_string<SizeForm::Key>(at, holder, PositionKind::MarkedKey); });
}

bool skip_consistent_type_list(InputReader& in, PositionPointerHolder& holder) {
    return with_cursor(in, [&](Cursor& at) { return pass_typed_list(at, holder); });
}

}  // namespace quarl
