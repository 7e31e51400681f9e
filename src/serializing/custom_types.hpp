// Encoders of values without a built-in form: datetimes (as their ISO text)
// and types registered through custom_types (identifier plus converted value).
// uncommon_types.hpp decides when they apply.
#pragma once

#include "lib/cached_objects.hpp"
#include "serializing/serialize_context.hpp"
#include "serializing/strings.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

// A datetime as the text of the base type's isoformat(), through the string
// cache (which keeps the text alive once registered).
template <class Buffer>
[[nodiscard]] bool serialize_date(PyObject* obj, SerializeContext<Buffer>& ctx) {
    PyPointer text = PyPointer::steal(PyObject_CallOneArg(DATETIME_ISOFORMAT, obj));
    if (!text || !PyUnicode_CheckExact(text.get())) {
        replace_error(SERIALIZATION_ERROR, msg::DATE_FAILED);
        return false;
    }
    return encode_string(text.get(), ctx);
}

// Flag 24, the identifier, then the converter's result; a one-way type writes
// only the result.
template <class Buffer>
[[nodiscard]] bool serialize_custom_type(PyObject* obj, const CustomTypeRecord& record,
                                         SerializeContext<Buffer>& ctx) {
    // A converter whose result needs the same converter again ends here, in RecursionError.
    RecursionGuard guard(ctx.thread, " while serializing a custom type");
    if (!guard.ok()) return false;
    if (!record.one_way) {
        if (!ctx.buffer.push(byte(Flag::CustomType)) || !serialize(record.identifier.get(), ctx)) return false;
    }
    PyPointer converted = PyPointer::steal(PyObject_CallOneArg(record.converter.get(), obj));
    if (!converted) {
        replace_error(SERIALIZATION_ERROR, msg::CUSTOM_TYPE_FAILED);
        return false;
    }
    return serialize(converted.get(), ctx);
}

}  // namespace quarl
