#include "deserializing/lazy_deserialize.hpp"

#include "deserializing/deserialize.hpp"
#include "deserializing/lazy_elements.hpp"
#include "deserializing/skip.hpp"
#include "utils/value_forms.hpp"

namespace quarl {

PyObject* wrong_container(const char* message, uint8_t flag, size_t at) noexcept {
    const FlagForm& form = flag_form(flag);
    if (form.kind == ValueKind::Invalid) {
        unexpected_flag(at);
    } else if (form.name == nullptr) {
        to_py_error(msg::UNEXPECTED_FLAG_ON_PATH, DESERIALIZATION_ERROR);
    } else {
        PyErr_Format(DESERIALIZATION_ERROR, message, form.name);
    }
    return nullptr;
}

namespace {

// Passes the next `n` values of a container stepped into. Its count was not
// judged, so they are passed as far as the input goes, however the run is
// cut into parts (the position index passes it in parts).
bool skip_run(LazyContext& ctx, uint64_t n) { return skip_more_values(ctx.in, ctx.holder, n); }

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
    const size_t at = in.position;
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
        const FlagForm& form = flag_form(first);
        switch (form.kind) {
            case ValueKind::EmptyStr:
                return key.length == 0 ? Match::Yes : Match::No;
            case ValueKind::AsciiStr:
                kind = PositionKind::Ascii;
                break;
            case ValueKind::Utf8Str:
                kind = PositionKind::Utf8;
                break;
            default: {  // a reference: the caller let no other kind through
                const bool read = form.shape == Shape::Fixed ? in.read_big_endian(form.width, number)
                                                             : in.read_size(number);
                if (!read) return Match::Failed;
                reference = true;
                break;
            }
        }
    }
    bool equal = false;
    if (reference) {
        if (!ctx.holder.entry_equals(number, at, key.str, key.text, key.length, key.ascii, equal)) return Match::Failed;
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
    return in.position < in.length && is_text_kind(value_kind(in.data[in.position]));
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
            const size_t key_at = ctx.in.position;
            PyPointer key = PyPointer::steal(deserialize_object(ctx));
            if (!key) return nullptr;
            PyPointer value = PyPointer::steal(deserialize_object(ctx));
            if (!value || !set_dict_item(dict.get(), key.get(), value.get(), key_at)) return nullptr;
        }
        return dict.release();
    }
    // Each key and its value take at least one byte: a width the rest of the
    // input cannot hold is refused before the key array is allocated.
    if (width > ctx.in.remaining() / 2) return end_of_input(ctx.in.position), nullptr;
    std::vector<PyPointer> keys;
    keys.reserve(static_cast<size_t>(width));
    for (uint64_t j = 0; j < width; ++j) {
        keys.push_back(PyPointer::steal(deserialize_object(ctx)));
        if (!keys.back() || !skip_run(ctx, 1)) return nullptr;
    }
    uint64_t skipped = 0;
    if (__builtin_mul_overflow(row - 1, width, &skipped)) return end_of_input(ctx.in.position), nullptr;
    if (!skip_run(ctx, skipped)) return nullptr;
    for (const PyPointer& key : keys) {
        PyPointer value = PyPointer::steal(deserialize_object(ctx));
        if (!value || !set_dict_item(dict.get(), key.get(), value.get(), ctx.in.position)) return nullptr;
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
            if (!skip_run(ctx, 2)) return false;
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
        if (!skip_run(ctx, 1)) return false;
    }
    if (!found) {
        key_not_found(key, mode);
        return false;
    }
    uint64_t skipped = 0;
    if (__builtin_mul_overflow(row - 1, width, &skipped) || __builtin_add_overflow(skipped, column, &skipped)) {
        return end_of_input(ctx.in.position);
    }
    return skip_run(ctx, skipped);
}

}  // namespace

bool open_rows(LazyContext& ctx, uint64_t& rows, uint64_t& width, bool judge) {
    const size_t at = ctx.in.position;
    if (!ctx.in.read_size(rows) || !ctx.in.read_size(width)) return false;
    if (rows == 0) return corrupted(msg::EMPTY_STRUCTURED_LIST, at);
    if (!judge || width == 0) return true;
    const uint64_t free = ctx.unreserved();
    if (width > free / 2 || rows - 1 > (free - 2 * width) / width) return end_of_input(at);
    ctx.reserve(2 * width + (rows - 1) * width);
    return true;
}

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
    // next step applies to, so long paths need no recursion. The counts of the
    // containers stepped into are not judged: only what the path needs is read.
    for (size_t s = 0;; ++s) {
        if (s == steps.size()) {
            if (mode == LazyMode::Load) return deserialize_object(ctx);
            if (mode == LazyMode::Locate) Py_RETURN_NONE;
            return lazy_contains(ctx, include_falsy);
        }
        const PathStep& step = steps[s];
        const bool last = s + 1 == steps.size();
        const size_t at = in.position;
        uint8_t flag = 0;
        if (!in.read_byte(flag)) return nullptr;
        const ValueKind kind = value_kind(flag);

        if (!step.is_index()) {
            if (kind == ValueKind::EmptyDict) return key_not_found(step.key, mode);
            if (kind != ValueKind::Dict && kind != ValueKind::StrKeyDict) {
                return wrong_container(msg::EXPECTED_DICT, flag, at);
            }
            uint64_t pairs = 0;
            if (!in.read_size(pairs)) return nullptr;
            const bool found = kind == ValueKind::StrKeyDict ? find_key<true>(ctx, pairs, step.key, mode)
                                                             : find_key<false>(ctx, pairs, step.key, mode);
            if (!found) return nullptr;
            continue;
        }

        const uint64_t index = step.index;
        switch (kind) {
            case ValueKind::EmptyList:
                return out_of_range(index, 0);
            case ValueKind::List: {
                uint64_t count = 0;
                if (!in.read_size(count)) return nullptr;
                if (index >= count) return out_of_range(index, count);
                if (!skip_run(ctx, index)) return nullptr;
                continue;
            }
            case ValueKind::TypedList: {
                uint8_t element_type = 0;
                uint64_t count = 0;
                if (!in.read_byte(element_type) || !in.read_size(count)) return nullptr;
                const ElementForm& form = element_form(element_type);
                if (form.kind == ElementKind::Invalid) return unknown_element_type(at + 1), nullptr;
                if (index >= count) return out_of_range(index, count);
                if (!last) {
                    PyErr_Format(DESERIALIZATION_ERROR, msg::EXPECTED_CONTAINER,
                                 steps[s + 1].is_index() ? "list" : "dict", form.name);
                    return nullptr;
                }
                if (mode == LazyMode::Check && include_falsy) Py_RETURN_TRUE;
                if (mode == LazyMode::Locate) {
                    PyErr_Format(DESERIALIZATION_ERROR, msg::EXPECTED_ITEMS, form.name);
                    return nullptr;
                }
                return lazy_load_element(ctx, form.kind, index, mode);
            }
            case ValueKind::Rows: {
                uint64_t rows = 0;
                uint64_t width = 0;
                if (!open_rows(ctx, rows, width, false)) return nullptr;
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
                return wrong_container(msg::EXPECTED_LIST, flag, at);
        }
    }
}

}  // namespace quarl
