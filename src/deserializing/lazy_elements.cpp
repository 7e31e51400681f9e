#include "deserializing/lazy_elements.hpp"

#include "deserializing/deserialize.hpp"
#include "deserializing/skip.hpp"

namespace quarl {

namespace {

PyObject* truth(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }

// Float elements: 8 bytes each, reached by arithmetic.
PyObject* lazy_load_float_list(LazyContext& ctx, uint64_t index, LazyMode mode) {
    InputReader& in = ctx.in;
    if (index > in.remaining() / 8) return end_of_input(in.length), nullptr;
    in.position += static_cast<size_t>(index * 8);
    double value = 0;
    if (!in.read_f64(value)) return nullptr;
    if (mode == LazyMode::Check) return truth(value != 0.0);  // NaN is truthy, +-0 is not
    return PyFloat_FromDouble(value);
}

// String elements: each one before the target is numbered as a position
// entry, as a full decode would number it.
PyObject* lazy_load_str_list(LazyContext& ctx, uint64_t index, LazyMode mode) {
    InputReader& in = ctx.in;
    for (uint64_t i = 0; i < index; ++i) {
        if (!ctx.holder.insert_position(in.position, PositionKind::MarkedValue)) return nullptr;
        uint64_t length = 0;
        const uint8_t* skipped = nullptr;
        if (!in.read_size(length) || !in.take(length, skipped)) return nullptr;
    }
    if (mode == LazyMode::Check) {
        uint64_t length = 0;
        const uint8_t* payload = nullptr;
        if (!in.read_size(length) || !in.take(length, payload)) return nullptr;
        // An empty payload, or the FE marker alone, is the empty string.
        return truth(length != 0 && !(length == 1 && payload[0] == ASCII_MARKER));
    }
    const size_t at = in.position;
    return numbered(ctx, placed(decode_string_without_inserting_pointer<StrPayload::Marked>(in), at));
}

// Bytes elements: size field and payload each.
PyObject* lazy_load_bytes_list(LazyContext& ctx, uint64_t index, LazyMode mode) {
    InputReader& in = ctx.in;
    uint64_t length = 0;
    const uint8_t* payload = nullptr;
    for (uint64_t i = 0; i < index; ++i) {
        if (!in.read_size(length) || !in.take(length, payload)) return nullptr;
    }
    if (!in.read_size(length) || !in.take(length, payload)) return nullptr;
    if (mode == LazyMode::Check) return truth(length != 0);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload), static_cast<Py_ssize_t>(length));
}

// Bool elements: bit 7 - (index % 8) of byte index / 8.
PyObject* lazy_load_bool_list(LazyContext& ctx, uint64_t index) {
    const InputReader& in = ctx.in;
    if (index / 8 >= in.remaining()) return end_of_input(in.length), nullptr;
    return truth((in.data[in.position + index / 8] >> (7 - index % 8)) & 1u);
}

// Truth of a container without building it, for the forms whose empty
// variants decode to falsy values.
PyObject* contains_sized(InputReader& in) {
    uint64_t size = 0;
    if (!in.read_size(size)) return nullptr;
    return truth(size != 0);
}

// Truth of a string or bytes payload: non-empty, and present in the input.
PyObject* contains_payload(InputReader& in) {
    uint64_t size = 0;
    const uint8_t* payload = nullptr;
    if (!in.read_size(size) || !in.take(size, payload)) return nullptr;
    return truth(size != 0);
}

}  // namespace

PyObject* lazy_load_element(LazyContext& ctx, ElementKind kind, uint64_t index, LazyMode mode) {
    switch (kind) {
        case ElementKind::None:
            if (mode == LazyMode::Check) Py_RETURN_FALSE;
            Py_RETURN_NONE;
        case ElementKind::Float:
            return lazy_load_float_list(ctx, index, mode);
        case ElementKind::Str:
            return lazy_load_str_list(ctx, index, mode);
        case ElementKind::Bytes:
            return lazy_load_bytes_list(ctx, index, mode);
        case ElementKind::Bool:
            return lazy_load_bool_list(ctx, index);
        case ElementKind::Invalid:
            break;
    }
    return nullptr;  // (the caller refused unknown element types)
}

PyObject* lazy_contains(LazyContext& ctx, bool include_falsy) {
    InputReader& in = ctx.in;
    const size_t at = in.position;
    uint8_t flag = 0;
    if (!in.read_byte(flag)) return nullptr;  // no value at all
    const ValueKind kind = value_kind(flag);
    if (include_falsy) {
        // Any value is contained; a byte that starts none, or a typed list of
        // an unknown element type, is damage.
        if (kind == ValueKind::Invalid) return unexpected_flag(at), nullptr;
        if (kind == ValueKind::TypedList && in.position < in.length &&
            element_form(in.data[in.position]).kind == ElementKind::Invalid) {
            return unknown_element_type(at + 1), nullptr;
        }
        Py_RETURN_TRUE;
    }
    switch (kind) {
        case ValueKind::SmallInt:
            return truth(flag != byte(Flag::SmallIntBase));
        case ValueKind::EmptyStr:
        case ValueKind::EmptyBytes:
        case ValueKind::False:
        case ValueKind::None:
        case ValueKind::EmptyList:
        case ValueKind::EmptyDict:
            Py_RETURN_FALSE;
        case ValueKind::True:
            Py_RETURN_TRUE;
        case ValueKind::Float: {
            double value = 0;
            if (!in.read_f64(value)) return nullptr;
            return truth(value != 0.0);
        }
        // Forms the encoder never writes empty, but that a document may hold:
        // an int of magnitude 0, an empty payload or an empty container.
        case ValueKind::PositiveInt:
        case ValueKind::NegativeInt: {
            // Only a one-byte magnitude can be 0.
            uint8_t first = 0;
            if (!in.read_byte(first)) return nullptr;
            return truth(first != 0);
        }
        case ValueKind::Utf8Str:
        case ValueKind::AsciiStr:
        case ValueKind::Bytes:
            return contains_payload(in);
        case ValueKind::List:
        case ValueKind::Dict:
        case ValueKind::StrKeyDict:
            return contains_sized(in);
        case ValueKind::TypedList: {
            uint8_t element_type = 0;
            if (!in.read_byte(element_type)) return nullptr;
            PyObject* answer = contains_sized(in);
            if (answer != nullptr && element_form(element_type).kind == ElementKind::Invalid) {
                Py_DECREF(answer);
                return unknown_element_type(at + 1), nullptr;
            }
            return answer;
        }
        case ValueKind::Rows: {
            uint64_t rows = 0;
            if (!in.read_size(rows)) return nullptr;
            if (rows == 0) return corrupted(msg::EMPTY_STRUCTURED_LIST, at + 1), nullptr;
            Py_RETURN_TRUE;
        }
        case ValueKind::Reference: {
            // A back-reference is a non-empty string unless it names an empty key.
            in.position = at;
            PyPointer str = PyPointer::steal(deserialize_object(ctx));
            if (!str) return nullptr;
            return truth(PyUnicode_GET_LENGTH(str.get()) != 0);
        }
        case ValueKind::CustomType: {
            in.position = at;
            PyPointer value = PyPointer::steal(deserialize_object(ctx));
            if (!value) return nullptr;
            const int result = PyObject_IsTrue(value.get());
            if (result < 0) return nullptr;
            return truth(result == 1);
        }
        case ValueKind::Invalid:
            break;
    }
    return unexpected_flag(at), nullptr;
}

}  // namespace quarl
