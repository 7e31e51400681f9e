// What each flag byte and each typed-list element type byte stands for: the
// kind of value, how its payload is laid out and its name in messages. Every
// reader (decoder, skipper, lazy walk, element loaders, item walk, position
// index) looks bytes up here, so the format and what is an error in it are
// written down once.
#pragma once

#include <array>
#include <cstdint>

#include "utils/wire_format.hpp"

namespace quarl {

// The kind of value a flag byte starts; readers switch on this.
enum class ValueKind : uint8_t {
    Invalid,  // 12 and 25-29: no value starts with these
    EmptyStr,
    EmptyBytes,
    True,
    False,
    None,
    EmptyList,
    EmptyDict,
    SmallInt,     // 30-255: the int is in the flag
    PositiveInt,
    NegativeInt,
    Float,
    Utf8Str,
    AsciiStr,
    Bytes,
    List,
    TypedList,
    Dict,         // keys are encoded values
    StrKeyDict,   // keys are inline strings or FE references
    Rows,         // a list of dicts with the same keys
    Reference,    // a back-reference to an earlier string
    CustomType,
};

// How the bytes after the flag are laid out.
enum class Shape : uint8_t {
    Bare,       // nothing follows
    Fixed,      // `width` bytes
    SizeField,  // one size field that is not a length (int magnitudes, long reference numbers)
    Sized,      // a size field, then that many bytes
    Items,      // a count, then that many values
    Pairs,      // a count, then that many key/value pairs
    Typed,      // an element type, a count, the packed elements
    Rows,       // rows, width, the first row as pairs, the later rows as values
    TwoValues,  // identifier and converted value of a custom type
    Invalid,
};

struct FlagForm {
    ValueKind kind;
    Shape shape;
    uint8_t width;     // bytes after the flag, for Shape::Fixed
    const char* name;  // type name in path messages; null where the byte names no type
};

namespace detail {

constexpr std::array<FlagForm, 256> make_flag_forms() {
    std::array<FlagForm, 256> forms{};
    for (unsigned flag = 0; flag < 256; ++flag) forms[flag] = {ValueKind::SmallInt, Shape::Bare, 0, "int"};
    for (unsigned flag = 0; flag < byte(Flag::SmallIntBase); ++flag) {
        forms[flag] = {ValueKind::Invalid, Shape::Invalid, 0, nullptr};
    }
    auto set = [&forms](Flag flag, ValueKind kind, Shape shape, const char* name, uint8_t width = 0) {
        forms[byte(flag)] = {kind, shape, width, name};
    };
    set(Flag::EmptyStr, ValueKind::EmptyStr, Shape::Bare, "str");
    set(Flag::EmptyBytes, ValueKind::EmptyBytes, Shape::Bare, "bytes");
    set(Flag::True, ValueKind::True, Shape::Bare, "bool");
    set(Flag::False, ValueKind::False, Shape::Bare, "bool");
    set(Flag::None, ValueKind::None, Shape::Bare, "None");
    set(Flag::EmptyList, ValueKind::EmptyList, Shape::Bare, "list");
    set(Flag::EmptyDict, ValueKind::EmptyDict, Shape::Bare, "dict");
    set(Flag::PositiveInt, ValueKind::PositiveInt, Shape::SizeField, "int");
    set(Flag::NegativeInt, ValueKind::NegativeInt, Shape::SizeField, "int");
    set(Flag::Float, ValueKind::Float, Shape::Fixed, "float", 8);
    set(Flag::Str, ValueKind::Utf8Str, Shape::Sized, "str");
    set(Flag::AsciiStr, ValueKind::AsciiStr, Shape::Sized, "str");
    set(Flag::Bytes, ValueKind::Bytes, Shape::Sized, "bytes");
    set(Flag::List, ValueKind::List, Shape::Items, "list");
    set(Flag::TypedList, ValueKind::TypedList, Shape::Typed, "list");
    set(Flag::Dict, ValueKind::Dict, Shape::Pairs, "dict");
    set(Flag::StrKeyDict, ValueKind::StrKeyDict, Shape::Pairs, "dict");
    set(Flag::StructuredList, ValueKind::Rows, Shape::Rows, "list");
    // A long reference names its type in path messages; the short ones do not.
    set(Flag::RefLong, ValueKind::Reference, Shape::SizeField, "str");
    for (Flag flag : {Flag::Ref8, Flag::Ref16, Flag::Ref24, Flag::Ref32}) {
        set(flag, ValueKind::Reference, Shape::Fixed, nullptr, static_cast<uint8_t>(reference_width(flag)));
    }
    set(Flag::CustomType, ValueKind::CustomType, Shape::TwoValues, nullptr);
    return forms;
}

}  // namespace detail

inline constexpr std::array<FlagForm, 256> FLAG_FORMS = detail::make_flag_forms();

// The kinds alone, a byte each, for the hot dispatches.
inline constexpr auto FLAG_KINDS = [] {
    std::array<ValueKind, 256> kinds{};
    for (unsigned flag = 0; flag < 256; ++flag) kinds[flag] = FLAG_FORMS[flag].kind;
    return kinds;
}();

[[nodiscard]] constexpr const FlagForm& flag_form(uint8_t flag) noexcept { return FLAG_FORMS[flag]; }
[[nodiscard]] constexpr ValueKind value_kind(uint8_t flag) noexcept { return FLAG_KINDS[flag]; }

// Type name of the value a flag starts, for path messages; null where the
// byte names no type (short references, custom types, invalid flags).
[[nodiscard]] constexpr const char* flag_type_name(uint8_t flag) noexcept { return FLAG_FORMS[flag].name; }

// Whether the value at a flag is one of the string forms a key lookup can
// match by its bytes.
[[nodiscard]] constexpr bool is_text_kind(ValueKind kind) noexcept {
    return kind == ValueKind::EmptyStr || kind == ValueKind::Utf8Str || kind == ValueKind::AsciiStr ||
           kind == ValueKind::Reference;
}

// Typed-list elements.
enum class ElementKind : uint8_t { Invalid, None, Float, Str, Bytes, Bool };

struct ElementForm {
    ElementKind kind;
    uint8_t min_bytes;  // input bytes per element at the least (bools: see element_claim)
    const char* name;  // null for an unknown element type
};

namespace detail {

constexpr std::array<ElementForm, 256> make_element_forms() {
    std::array<ElementForm, 256> forms{};
    for (auto& form : forms) form = {ElementKind::Invalid, 0, nullptr};
    forms[static_cast<uint8_t>(ElementType::None)] = {ElementKind::None, 0, "None"};
    forms[static_cast<uint8_t>(ElementType::Float)] = {ElementKind::Float, 8, "float"};
    forms[static_cast<uint8_t>(ElementType::Str)] = {ElementKind::Str, 1, "str"};
    forms[static_cast<uint8_t>(ElementType::Bytes)] = {ElementKind::Bytes, 1, "bytes"};
    forms[static_cast<uint8_t>(ElementType::Bool)] = {ElementKind::Bool, 0, "bool"};
    return forms;
}

}  // namespace detail

inline constexpr std::array<ElementForm, 256> ELEMENT_FORMS = detail::make_element_forms();

[[nodiscard]] constexpr const ElementForm& element_form(uint8_t element_type) noexcept {
    return ELEMENT_FORMS[element_type];
}

// Name of an element type for path messages; null for an unknown one.
[[nodiscard]] constexpr const char* element_type_name(uint8_t element_type) noexcept {
    return ELEMENT_FORMS[element_type].name;
}

// Bytes of the packed bits of `n` bools.
[[nodiscard]] constexpr uint64_t packed_bool_bytes(uint64_t n) noexcept { return n / 8 + (n % 8 != 0 ? 1 : 0); }

// What a typed list of `n` elements claims of the input before anything is
// allocated: `units` of at least `min_bytes` each (floats 8 bytes each,
// strings and bytes a size field each, bools their packed bytes). None
// elements claim nothing: they are bounded by the free-element allowance.
struct ElementClaim {
    uint64_t units;
    uint64_t min_bytes;  // 0: nothing to check
};

[[nodiscard]] constexpr ElementClaim element_claim(const ElementForm& form, uint64_t n) noexcept {
    if (form.kind == ElementKind::Bool) return {packed_bool_bytes(n), 1};
    return {n, form.min_bytes};
}

static_assert(FLAG_FORMS[12].kind == ValueKind::Invalid && FLAG_FORMS[25].kind == ValueKind::Invalid &&
              FLAG_FORMS[29].kind == ValueKind::Invalid && FLAG_FORMS[30].kind == ValueKind::SmallInt);
static_assert(FLAG_FORMS[byte(Flag::Ref32)].width == 4 && FLAG_FORMS[byte(Flag::Float)].width == 8);

}  // namespace quarl
