#include "deserializing/skip.hpp"

#include <cstring>
#include <vector>

#include "utils/messages.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

namespace {

// Work still to do for one open container.
struct Pending {
    uint64_t count;      // values left (or pairs left, for a str-keyed dict)
    bool str_key_dict;   // pairs of an inline-or-referenced key and a value
    bool at_value;       // str-keyed dict: the pair's key is done
};

// The open containers of one skip, innermost last. The first levels live in
// the object itself, so skipping a shallow value allocates nothing.
class PendingStack {
public:
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] Pending& back() noexcept { return at(size_ - 1); }
    void pop_back() noexcept { --size_; }
    void push_back(const Pending& pending) {
        if (size_ >= INLINE) deeper_.resize(size_ - INLINE + 1);
        at(size_++) = pending;
    }

private:
    static constexpr size_t INLINE = 32;
    [[nodiscard]] Pending& at(size_t i) noexcept { return i < INLINE ? inline_[i] : deeper_[i - INLINE]; }

    Pending inline_[INLINE];
    std::vector<Pending> deeper_;
    size_t size_ = 0;
};

[[gnu::cold]] bool unexpected_flag() noexcept {
    to_py_error(msg::UNEXPECTED_FLAG, PyExc_TypeError);
    return false;
}

// Advances past `n` bytes that must lie within the input.
[[nodiscard]] inline bool advance(InputReader& in, uint64_t n) noexcept {
    if (n > in.remaining()) [[unlikely]] {
        in.position = in.length;
        return end_of_input();
    }
    in.position += static_cast<size_t>(n);
    return true;
}

// A string value (flags 10, 18): numbered first, then passed over.
[[nodiscard]] inline bool skip_string_value(InputReader& in, PositionPointerHolder& holder, PositionKind kind) {
    if (!holder.insert_position(in.position, kind)) return false;
    uint64_t length = 0;
    return in.read_size(length) && advance(in, length);
}

// Pushes a container of `count` values, refusing counts the input cannot hold.
[[nodiscard]] inline bool open_values(PendingStack& stack, InputReader& in, uint64_t count) {
    if (count > in.remaining()) [[unlikely]] return end_of_input();
    if (count != 0) stack.push_back(Pending{count, false, false});
    return true;
}

// Reads one flag and passes over a scalar, or opens a container on `stack`.
[[nodiscard]] bool step_value(InputReader& in, PositionPointerHolder& holder, PendingStack& stack) {
    uint8_t flag = 0;
    if (!in.read_byte(flag)) return false;
    if (flag >= byte(Flag::SmallIntBase)) return true;
    switch (static_cast<Flag>(flag)) {
        case Flag::EmptyStr:
        case Flag::EmptyBytes:
        case Flag::True:
        case Flag::False:
        case Flag::None:
        case Flag::EmptyList:
        case Flag::EmptyDict:
            return true;
        case Flag::PositiveInt:
        case Flag::NegativeInt:
        case Flag::RefLong:
            return skip_size_field(in);
        case Flag::Float:
            return advance(in, 8);
        case Flag::Str:
            return skip_string_value(in, holder, PositionKind::Utf8);
        case Flag::AsciiStr:
            return skip_string_value(in, holder, PositionKind::Ascii);
        case Flag::Bytes: {
            uint64_t length = 0;
            return in.read_size(length) && advance(in, length);
        }
        case Flag::List: {
            uint64_t count = 0;
            return in.read_size(count) && open_values(stack, in, count);
        }
        case Flag::TypedList:
            return skip_consistent_type_list(in, holder);
        case Flag::Dict: {
            uint64_t pairs = 0;
            if (!in.read_size(pairs)) return false;
            if (pairs > in.remaining() / 2) return end_of_input();
            return open_values(stack, in, pairs * 2);
        }
        case Flag::StrKeyDict: {
            uint64_t pairs = 0;
            if (!in.read_size(pairs)) return false;
            if (pairs > in.remaining() / 2) return end_of_input();
            if (pairs != 0) stack.push_back(Pending{pairs, true, false});
            return true;
        }
        case Flag::StructuredList: {
            uint64_t rows = 0;
            uint64_t width = 0;
            if (!in.read_size(rows) || !in.read_size(width)) return false;
            // The first row holds keys and values; each later row K values.
            uint64_t values = 0;
            if (__builtin_mul_overflow(width, 2, &values)) return end_of_input();
            if (rows >= 2 && width != 0) {
                uint64_t later = 0;
                if (__builtin_mul_overflow(rows - 1, width, &later) || __builtin_add_overflow(values, later, &values)) {
                    return end_of_input();
                }
            }
            return open_values(stack, in, values);
        }
        case Flag::Ref8:
        case Flag::Ref16:
        case Flag::Ref24:
        case Flag::Ref32:
            return advance(in, reference_width(static_cast<Flag>(flag)));
        case Flag::CustomType:
            return open_values(stack, in, 2);
        default:
            return unexpected_flag();
    }
}

}  // namespace

namespace {

// The digits and closing FF of an escaped size field. Fields are short: the
// closing FF is found among the next 8 bytes without branching on the digit
// count, which varies from field to field.
[[gnu::noinline]] bool skip_escaped_digits(InputReader& in) noexcept {
    if (in.length - in.position >= 8) {
        uint64_t word = 0;
        std::memcpy(&word, in.data + in.position, 8);
        const uint64_t inverted = ~word;  // FF bytes become zero bytes
        const uint64_t zero_bytes = (inverted - 0x0101010101010101ULL) & ~inverted & 0x8080808080808080ULL;
        if (zero_bytes != 0) {
            in.position += static_cast<size_t>(__builtin_ctzll(zero_bytes) / 8) + 1;
            return true;
        }
    }
    const void* terminator = std::memchr(in.data + in.position, SIZE_ESCAPE, in.length - in.position);
    if (terminator == nullptr) {
        in.position = in.length;
        return end_of_input();
    }
    in.position = static_cast<size_t>(static_cast<const uint8_t*>(terminator) - in.data) + 1;
    return true;
}

}  // namespace

bool skip_size_field(InputReader& in) noexcept {
    if (in.position >= in.length) return end_of_input();
    if (in.data[in.position++] != SIZE_ESCAPE) return true;
    return skip_escaped_digits(in);
}

bool skip_string(InputReader& in, PositionPointerHolder& holder) {
    if (!holder.insert_position(in.position, PositionKind::MarkedKey)) return false;
    uint64_t length = 0;
    return in.read_size<SizeForm::Key>(length) && advance(in, length);
}

bool skip_consistent_type_list(InputReader& in, PositionPointerHolder& holder) {
    uint8_t element_type = 0;
    uint64_t n = 0;
    if (!in.read_byte(element_type) || !in.read_size(n)) return false;
    switch (static_cast<ElementType>(element_type)) {
        case ElementType::None:
            return true;
        case ElementType::Float:
            if (n > in.remaining() / 8) return end_of_input();
            return advance(in, n * 8);
        case ElementType::Bool:
            return advance(in, n / 8 + (n % 8 != 0 ? 1 : 0));
        case ElementType::Bytes:
            if (n > in.remaining()) return end_of_input();
            for (uint64_t i = 0; i < n; ++i) {
                uint64_t length = 0;
                if (!in.read_size(length) || !advance(in, length)) return false;
            }
            return true;
        case ElementType::Str:
            if (n > in.remaining()) return end_of_input();
            for (uint64_t i = 0; i < n; ++i) {
                if (!skip_string_value(in, holder, PositionKind::MarkedValue)) return false;
            }
            return true;
    }
    PyErr_Format(PyExc_TypeError, msg::UNEXPECTED_TYPE_FLAG, static_cast<unsigned>(element_type));
    return false;
}

bool skip_values(InputReader& in, PositionPointerHolder& holder, uint64_t count) {
    if (count == 0) return true;
    PendingStack stack;
    if (!open_values(stack, in, count)) return false;
    while (!stack.empty()) {
        Pending& top = stack.back();
        if (top.str_key_dict) {
            if (!top.at_value) {
                top.at_value = true;
                uint8_t first = 0;
                if (!in.peek_byte(first)) return false;
                if (first == KEY_REFERENCE_MARKER) {
                    ++in.position;
                    if (!skip_size_field(in)) return false;
                } else if (!skip_string(in, holder)) {
                    return false;
                }
                continue;
            }
            top.at_value = false;
        }
        if (--top.count == 0) stack.pop_back();  // `top` may dangle after step_value pushes
        if (!step_value(in, holder, stack)) return false;
    }
    return true;
}

}  // namespace quarl
