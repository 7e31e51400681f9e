#include "deserializing/lazy_deserialize.hpp"

#include "deserializing/deserialize.hpp"
#include "deserializing/lazy_elements.hpp"
#include "deserializing/skip.hpp"

namespace quarl {

const char* flag_type_name(uint8_t flag) noexcept {
    if (flag >= byte(Flag::SmallIntBase)) return "int";
    switch (static_cast<Flag>(flag)) {
        case Flag::EmptyStr:
        case Flag::Str:
        case Flag::RefLong:
        case Flag::AsciiStr:
            return "str";
        case Flag::EmptyBytes:
        case Flag::Bytes:
            return "bytes";
        case Flag::True:
        case Flag::False:
            return "bool";
        case Flag::None:
            return "None";
        case Flag::EmptyList:
        case Flag::List:
        case Flag::TypedList:
        case Flag::StructuredList:
            return "list";
        case Flag::EmptyDict:
        case Flag::Dict:
        case Flag::StrKeyDict:
            return "dict";
        case Flag::PositiveInt:
        case Flag::NegativeInt:
            return "int";
        case Flag::Float:
            return "float";
        default:
            return nullptr;  // fixed-width references, custom types, flags 12 and 25-29
    }
}

const char* element_type_name(uint8_t element_type) noexcept {
    switch (static_cast<ElementType>(element_type)) {
        case ElementType::None:
            return "None";
        case ElementType::Float:
            return "float";
        case ElementType::Str:
            return "str";
        case ElementType::Bytes:
            return "bytes";
        case ElementType::Bool:
            return "bool";
    }
    return nullptr;
}

namespace {

PyObject* wrong_container(const char* message, uint8_t flag) noexcept {
    const char* name = flag_type_name(flag);
    if (name == nullptr) {
        to_py_error(msg::UNEXPECTED_FLAG_ON_PATH, DESERIALIZATION_ERROR);
    } else {
        PyErr_Format(DESERIALIZATION_ERROR, message, name);
    }
    return nullptr;
}

PyObject* key_not_found(PyObject* key, LazyMode mode) noexcept {
    // A check answers False on a miss without showing the message, so it is
    // not built (and a key whose str() fails cannot turn the answer into an error).
    if (mode == LazyMode::Check) {
        PyErr_SetNone(DESERIALIZATION_ERROR);
        return nullptr;
    }
    PyPointer text = PyPointer::steal(PyObject_Str(key));
    if (!text) {
        report_as_memory_error();
        return nullptr;
    }
    PyErr_Format(DESERIALIZATION_ERROR, msg::KEY_NOT_FOUND, text.get(), reinterpret_cast<PyObject*>(Py_TYPE(key)));
    return nullptr;
}

PyObject* out_of_range(uint64_t index, uint64_t length) noexcept {
    PyErr_Format(DESERIALIZATION_ERROR, msg::INDEX_OUT_OF_RANGE, static_cast<unsigned long long>(index),
                 static_cast<unsigned long long>(length));
    return nullptr;
}

// Key equality by rich comparison. A comparison that raises fails the lookup
// with its exception rather than being taken as "no match".
enum class Match { No, Yes, Failed };

Match compare(PyObject* left, PyObject* right) noexcept {
    const int result = PyObject_RichCompareBool(left, right, Py_EQ);
    if (result < 0) return Match::Failed;
    return result == 1 ? Match::Yes : Match::No;
}

// An exact str path key in its UTF-8 form, for matching encoded keys by their
// bytes: equal text means equal strings, so no key object need be built.
struct TextKey {
    PyObject* str;
    const uint8_t* text;
    size_t length;
    bool ascii;
};

// Matches the key at the position against `key`, passing over it. The key is
// a str-keyed dict's key (`StrKeys`) or, in a general dict, a string value
// (flags 0, 10, 18, 17, 20-23: the caller peeked the flag). Every inline key
// still takes its reference number, as a position entry.
template <bool StrKeys>
Match match_text_key(LazyContext& ctx, const TextKey& key) {
    InputReader& in = ctx.in;
    uint8_t first = 0;
    if (!in.read_byte(first)) return Match::Failed;
    uint64_t number = 0;
    bool reference = false;
    PositionKind kind = PositionKind::MarkedKey;
    if constexpr (StrKeys) {
        if (first == KEY_REFERENCE_MARKER) {
            if (!in.read_size(number)) return Match::Failed;
            reference = true;
        } else {
            --in.position;  // the byte read was the start of the key-form size field
        }
    } else {
        switch (static_cast<Flag>(first)) {
            case Flag::EmptyStr:
                return key.length == 0 ? Match::Yes : Match::No;
            case Flag::AsciiStr:
                kind = PositionKind::Ascii;
                break;
            case Flag::Str:
                kind = PositionKind::Utf8;
                break;
            case Flag::RefLong:
                if (!in.read_size(number)) return Match::Failed;
                reference = true;
                break;
            default:
                if (!in.read_big_endian(reference_width(static_cast<Flag>(first)), number)) return Match::Failed;
                reference = true;
                break;
        }
    }
    bool equal = false;
    if (reference) {
        if (!ctx.holder.entry_equals(number, key.str, key.text, key.length, key.ascii, equal)) return Match::Failed;
        return equal ? Match::Yes : Match::No;
    }
    if (!ctx.holder.insert_position(in.position, kind)) return Match::Failed;
    uint64_t length = 0;
    const uint8_t* payload = nullptr;
    const bool read = kind == PositionKind::MarkedKey ? in.read_size<SizeForm::Key>(length) : in.read_size(length);
    if (!read || !in.take(length, payload)) return Match::Failed;
    equal = PositionPointerHolder::payload_equals(kind, payload, static_cast<size_t>(length), key.text, key.length,
                                                  key.ascii);
    return equal ? Match::Yes : Match::No;
}

// Whether the value at the position is a plain string form that
// match_text_key() reads (any other key of a general dict is decoded).
bool is_text_key_flag(const InputReader& in) noexcept {
    if (in.position >= in.length) return false;
    const uint8_t flag = in.data[in.position];
    return flag == byte(Flag::EmptyStr) || flag == byte(Flag::Str) || flag == byte(Flag::AsciiStr) ||
           flag == byte(Flag::RefLong) || (flag >= byte(Flag::Ref8) && flag <= byte(Flag::Ref32));
}

// Finds `key` among the `pairs` entries of a dict body (flag 15 or 16) and
// leaves the position on its value. Returns false with an exception set when
// it is missing or the walk fails.
template <bool StrKeys>
bool find_key(LazyContext& ctx, uint64_t pairs, PyObject* key, LazyMode mode, bool* found = nullptr) {
    // An exact str key is matched against the encoded bytes; other keys (and
    // keys of other forms in a general dict) are decoded and compared.
    TextKey text_key{key, nullptr, 0, false};
    bool by_text = PyUnicode_CheckExact(key);
    if (by_text) {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &length);
        if (text == nullptr) {
            PyErr_Clear();  // no UTF-8 form (a lone surrogate): compare decoded keys instead
            by_text = false;
        } else {
            text_key = TextKey{key, reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(length),
                               static_cast<bool>(PyUnicode_IS_ASCII(key))};
        }
    }
    for (uint64_t i = 0; i < pairs; ++i) {
        Match match;
        if (by_text && (StrKeys || is_text_key_flag(ctx.in))) {
            match = match_text_key<StrKeys>(ctx, text_key);
        } else {
            PyPointer candidate = PyPointer::steal(StrKeys ? deserialize_dict_key(ctx) : deserialize_object(ctx));
            if (!candidate) return false;
            match = StrKeys ? compare(candidate.get(), key) : compare(key, candidate.get());
        }
        if (match == Match::Failed) return false;
        if (match == Match::Yes) {
            if (found != nullptr) *found = true;
            return true;
        }
        if (!skip_object(ctx.in, ctx.holder)) return false;
    }
    if (found != nullptr) {
        *found = false;
        return true;
    }
    key_not_found(key, mode);
    return false;
}

// Row `row` of a list of structured dicts with `width` keys, as a new dict.
PyObject* load_structured_row(LazyContext& ctx, uint64_t row, uint64_t width) {
    PyPointer dict = PyPointer::steal(PyDict_New());
    if (!dict) return nullptr;
    if (row == 0) {
        for (uint64_t j = 0; j < width; ++j) {
            PyPointer key = PyPointer::steal(deserialize_object(ctx));
            if (!key) return nullptr;
            PyPointer value = PyPointer::steal(deserialize_object(ctx));
            if (!value || !set_dict_item(dict.get(), key.get(), value.get())) return nullptr;
        }
        return dict.release();
    }
    // Each key and its value take at least one byte: a width the rest of the
    // input cannot hold is refused before the key array is allocated.
    if (width > ctx.in.remaining() / 2) return end_of_input(), nullptr;
    std::vector<PyPointer> keys;
    keys.reserve(static_cast<size_t>(width));
    for (uint64_t j = 0; j < width; ++j) {
        keys.push_back(PyPointer::steal(deserialize_object(ctx)));
        if (!keys.back() || !skip_object(ctx.in, ctx.holder)) return nullptr;
    }
    uint64_t skipped = 0;
    if (__builtin_mul_overflow(row - 1, width, &skipped)) return end_of_input(), nullptr;
    if (!skip_values(ctx.in, ctx.holder, skipped)) return nullptr;
    for (const PyPointer& key : keys) {
        PyPointer value = PyPointer::steal(deserialize_object(ctx));
        if (!value || !set_dict_item(dict.get(), key.get(), value.get())) return nullptr;
    }
    return dict.release();
}

// Positions the reader on the value of `key` in row `row`. The key is looked
// up in the first row, whose other pairs are then passed over.
bool find_structured_value(LazyContext& ctx, uint64_t row, uint64_t width, PyObject* key, LazyMode mode) {
    bool found = false;
    uint64_t column = 0;
    for (uint64_t j = 0; j < width; ++j) {
        if (found) {
            if (!skip_values(ctx.in, ctx.holder, 2)) return false;
            continue;
        }
        PyPointer candidate = PyPointer::steal(deserialize_object(ctx));
        if (!candidate) return false;
        const Match match = compare(candidate.get(), key);
        if (match == Match::Failed) return false;
        if (match == Match::Yes) {
            if (row == 0) return true;
            found = true;
            column = j;
        }
        candidate.reset();
        if (!skip_object(ctx.in, ctx.holder)) return false;
    }
    if (!found) {
        key_not_found(key, mode);
        return false;
    }
    uint64_t skipped = 0;
    if (__builtin_mul_overflow(row - 1, width, &skipped) || __builtin_add_overflow(skipped, column, &skipped)) {
        return end_of_input();
    }
    return skip_values(ctx.in, ctx.holder, skipped);
}

}  // namespace

bool find_dict_key(LazyContext& ctx, uint8_t flag, uint64_t pairs, PyObject* key, LazyMode mode) {
    return flag == byte(Flag::StrKeyDict) ? find_key<true>(ctx, pairs, key, mode)
                                          : find_key<false>(ctx, pairs, key, mode);
}

bool search_dict_entries(LazyContext& ctx, uint8_t flag, uint64_t pairs, PyObject* key, bool& found) {
    return flag == byte(Flag::StrKeyDict) ? find_key<true>(ctx, pairs, key, LazyMode::Check, &found)
                                          : find_key<false>(ctx, pairs, key, LazyMode::Check, &found);
}

PyObject* lazy_deserialize(LazyContext& ctx, std::span<const PathStep> steps, LazyMode mode, bool include_falsy) {
    InputReader& in = ctx.in;
    // One iteration per step: each step leaves the position on the value the
    // next step applies to, so long paths need no recursion.
    for (size_t s = 0;; ++s) {
        if (s == steps.size()) {
            if (mode == LazyMode::Load) return deserialize_object(ctx);
            if (mode == LazyMode::Locate) Py_RETURN_NONE;
            return lazy_contains(ctx, include_falsy);
        }
        const PathStep& step = steps[s];
        const bool last = s + 1 == steps.size();
        uint8_t flag = 0;
        if (!in.read_byte(flag)) return nullptr;

        if (!step.is_index()) {
            if (flag == byte(Flag::EmptyDict)) return key_not_found(step.key, mode);
            if (flag != byte(Flag::Dict) && flag != byte(Flag::StrKeyDict)) {
                return wrong_container(msg::EXPECTED_DICT, flag);
            }
            uint64_t pairs = 0;
            if (!in.read_size(pairs)) return nullptr;
            const bool found = flag == byte(Flag::StrKeyDict) ? find_key<true>(ctx, pairs, step.key, mode)
                                                               : find_key<false>(ctx, pairs, step.key, mode);
            if (!found) return nullptr;
            continue;
        }

        const uint64_t index = step.index;
        switch (static_cast<Flag>(flag)) {
            case Flag::EmptyList:
                return out_of_range(index, 0);
            case Flag::List: {
                uint64_t count = 0;
                if (!in.read_size(count)) return nullptr;
                if (index >= count) return out_of_range(index, count);
                if (!skip_values(in, ctx.holder, index)) return nullptr;
                continue;
            }
            case Flag::TypedList: {
                uint8_t element_type = 0;
                uint64_t count = 0;
                const size_t type_offset = in.position;
                if (!in.read_byte(element_type) || !in.read_size(count)) return nullptr;
                if (index >= count) return out_of_range(index, count);
                if (!last) {
                    const char* name = element_type_name(element_type);
                    if (name == nullptr) {
                        unexpected_element_type(msg::UNEXPECTED_TYPE_FLAG, element_type, type_offset);
                        return nullptr;
                    }
                    PyErr_Format(DESERIALIZATION_ERROR, msg::EXPECTED_CONTAINER,
                                 steps[s + 1].is_index() ? "list" : "dict", name);
                    return nullptr;
                }
                if (mode == LazyMode::Check && include_falsy) Py_RETURN_TRUE;
                if (mode == LazyMode::Locate) {
                    const char* name = element_type_name(element_type);
                    PyErr_Format(DESERIALIZATION_ERROR, msg::EXPECTED_ITEMS, name != nullptr ? name : "?");
                    return nullptr;
                }
                return lazy_load_element(ctx, element_type, index, count, mode);
            }
            case Flag::StructuredList: {
                uint64_t rows = 0;
                uint64_t width = 0;
                if (!in.read_size(rows) || !in.read_size(width)) return nullptr;
                if (index >= rows) return out_of_range(index, rows);
                if (last) {
                    // A row is present whatever its values; only a row of no keys
                    // is an empty, falsy dict.
                    if (mode == LazyMode::Check) return Py_NewRef(include_falsy || width != 0 ? Py_True : Py_False);
                    return load_structured_row(ctx, index, width);
                }
                const PathStep& next = steps[s + 1];
                if (next.is_index()) {
                    PyErr_Format(DESERIALIZATION_ERROR, msg::EXPECTED_LIST, "dict");
                    return nullptr;
                }
                if (!find_structured_value(ctx, index, width, next.key, mode)) return nullptr;
                ++s;  // the key step is done too
                continue;
            }
            default:
                return wrong_container(msg::EXPECTED_LIST, flag);
        }
    }
}

}  // namespace quarl
