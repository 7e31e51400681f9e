#include "deserializing/lazy_elements.hpp"

#include "deserializing/deserialize.hpp"
#include "deserializing/skip.hpp"

namespace quarl {

namespace {

PyObject* truth(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }

// Float elements: 8 bytes each, reached by arithmetic.
PyObject* lazy_load_float_list(LazyContext& ctx, uint64_t index, LazyMode mode) {
    InputReader& in = ctx.in;
    if (index > in.remaining() / 8 || in.remaining() - index * 8 < 8) {
        end_of_input();
        return nullptr;
    }
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
    return numbered(ctx, decode_string_without_inserting_pointer<StrPayload::Marked>(in));
}

PyObject* lazy_load_bytes_list(LazyContext& ctx, uint64_t index, LazyMode mode) {
    InputReader& in = ctx.in;
    for (uint64_t i = 0; i <= index; ++i) {
        uint64_t length = 0;
        const uint8_t* payload = nullptr;
        if (!in.read_size(length) || !in.take(length, payload)) return nullptr;
        if (i == index) {
            if (mode == LazyMode::Check) return truth(length != 0);
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload), static_cast<Py_ssize_t>(length));
        }
    }
    to_py_error(msg::UNREACHABLE, DESERIALIZATION_ERROR);
    return nullptr;
}

// Bool elements: bit 7 - (index % 8) of byte index / 8.
PyObject* lazy_load_bool_list(LazyContext& ctx, uint64_t index, uint64_t count) {
    InputReader& in = ctx.in;
    if (index >= count) {
        to_py_error(msg::UNREACHABLE, DESERIALIZATION_ERROR);
        return nullptr;
    }
    if (index / 8 >= in.remaining()) {
        end_of_input();
        return nullptr;
    }
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

PyObject* lazy_load_element(LazyContext& ctx, uint8_t element_type, uint64_t index, uint64_t count, LazyMode mode) {
    switch (static_cast<ElementType>(element_type)) {
        case ElementType::None:
            if (mode == LazyMode::Check) Py_RETURN_FALSE;
            Py_RETURN_NONE;
        case ElementType::Float:
            return lazy_load_float_list(ctx, index, mode);
        case ElementType::Str:
            return lazy_load_str_list(ctx, index, mode);
        case ElementType::Bytes:
            return lazy_load_bytes_list(ctx, index, mode);
        case ElementType::Bool:
            return lazy_load_bool_list(ctx, index, count);
    }
    PyErr_Format(CORRUPT_DATA_ERROR, msg::UNEXPECTED_TYPE_FLAG, static_cast<unsigned>(element_type));
    return nullptr;
}

PyObject* lazy_contains(LazyContext& ctx, bool include_falsy) {
    if (include_falsy) Py_RETURN_TRUE;
    InputReader& in = ctx.in;
    uint8_t flag = 0;
    if (!in.read_byte(flag)) return nullptr;
    if (flag >= byte(Flag::SmallIntBase)) return truth(flag != byte(Flag::SmallIntBase));
    switch (static_cast<Flag>(flag)) {
        case Flag::EmptyStr:
        case Flag::EmptyBytes:
        case Flag::False:
        case Flag::None:
        case Flag::EmptyList:
        case Flag::EmptyDict:
            Py_RETURN_FALSE;
        case Flag::True:
            Py_RETURN_TRUE;
        case Flag::Float: {
            double value = 0;
            if (!in.read_f64(value)) return nullptr;
            return truth(value != 0.0);
        }
        // Forms the encoder never writes empty, but that a document may hold:
        // an int of magnitude 0, an empty payload or an empty container.
        case Flag::PositiveInt:
        case Flag::NegativeInt: {
            // Only a one-byte magnitude can be 0.
            uint8_t first = 0;
            if (!in.read_byte(first)) return nullptr;
            return truth(first != 0);
        }
        case Flag::Str:
        case Flag::AsciiStr:
        case Flag::Bytes:
            return contains_payload(in);
        case Flag::List:
        case Flag::Dict:
        case Flag::StrKeyDict:
            return contains_sized(in);
        case Flag::TypedList: {
            uint8_t element_type = 0;
            if (!in.read_byte(element_type)) return nullptr;
            return contains_sized(in);
        }
        case Flag::StructuredList: {
            uint64_t rows = 0;
            if (!in.read_size(rows)) return nullptr;
            if (rows == 0) return corrupted(msg::EMPTY_STRUCTURED_LIST), nullptr;
            Py_RETURN_TRUE;
        }
        case Flag::RefLong:
        case Flag::Ref8:
        case Flag::Ref16:
        case Flag::Ref24:
        case Flag::Ref32: {
            // A back-reference is a non-empty string unless it names an empty key.
            --in.position;
            PyPointer str = PyPointer::steal(deserialize_object(ctx));
            if (!str) return nullptr;
            return truth(PyUnicode_GET_LENGTH(str.get()) != 0);
        }
        case Flag::CustomType: {
            PyPointer value = PyPointer::steal(deserialize_custom_type(ctx));
            if (!value) return nullptr;
            const int result = PyObject_IsTrue(value.get());
            if (result < 0) return nullptr;
            return truth(result == 1);
        }
        default:
            unexpected_flag(in.position - 1);
            return nullptr;
    }
}

}  // namespace quarl
