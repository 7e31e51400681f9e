// The encoder's path for values of no exact built-in type: datetimes,
// registered custom types, subclasses of the built-in types (on request) and
// last the caller's fallback hook. It is never inlined into the exact-type
// chain, so documents that do not reach it pay nothing for it.
#pragma once

#include "lib/cached_objects.hpp"
#include "serializing/compound_types.hpp"
#include "serializing/custom_types.hpp"
#include "serializing/primitives.hpp"
#include "serializing/serialize_context.hpp"
#include "serializing/strings.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// Calls of the fallback hook in a row on one value (each on the result of the
// one before) before the value is refused: a hook that keeps returning
// values it cannot handle fails rather than looping.
inline constexpr int MAX_DEFAULT_CALLS = 8;

[[nodiscard]] inline bool is_exact_builtin(PyObject* obj) noexcept {
    PyTypeObject* const type = Py_TYPE(obj);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyDict_Type || type == &PyList_Type ||
           type == &PyBool_Type || type == &PyFloat_Type || obj == Py_None || type == &PyTuple_Type ||
           type == &PyBytes_Type;
}

[[nodiscard]] inline bool is_datetime_type(PyTypeObject* type) noexcept {
    return type == DATETIME_TYPE || PyType_IsSubtype(type, DATETIME_TYPE);
}

// A subclass of one of the built-in types with a form of its own (bool
// cannot be subclassed).
[[nodiscard]] inline bool has_builtin_base(PyTypeObject* type) noexcept {
    constexpr unsigned long BASE_FLAGS = Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                         Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS |
                                         Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS;
    return (PyType_GetFlags(type) & BASE_FLAGS) != 0 || PyType_IsSubtype(type, &PyFloat_Type);
}

enum class UncommonRule { Date, Custom, Base, Fallback };

// Which rule writes a value of `type` (no exact built-in type), in order of
// precedence; `record` receives the custom type for UncommonRule::Custom.
[[nodiscard]] inline UncommonRule uncommon_rule(PyTypeObject* type, const SerializeSettings& settings,
                                                const CustomTypeRecord*& record) noexcept {
    if (settings.serialize_dates && is_datetime_type(type)) return UncommonRule::Date;
    if ((record = settings.custom_types.find(type)) != nullptr) return UncommonRule::Custom;
    if (settings.subclasses_as_base && has_builtin_base(type)) return UncommonRule::Base;
    return UncommonRule::Fallback;
}

// A subclass instance written as its base type. Texts are copied to an exact
// str, which the string cache may keep; dicts are copied through their own
// keys() and item lookup, so an OrderedDict keeps its order.
template <class Buffer>
[[nodiscard]] bool serialize_as_base(PyObject* obj, SerializeContext<Buffer>& ctx) {
    if (PyLong_Check(obj)) return encode_int(obj, ctx.buffer);
    if (PyFloat_Check(obj)) return encode_float(obj, ctx.buffer);
    if (PyBytes_Check(obj)) return encode_bytes(obj, ctx.buffer);
    if (PyList_Check(obj)) return serialize_sequence<true>(obj, ctx);
    if (PyTuple_Check(obj)) return serialize_sequence<false>(obj, ctx);
    if (PyUnicode_Check(obj)) {
        PyPointer text = PyPointer::steal(PyUnicode_FromObject(obj));
        if (!text) {
            report_as_memory_error();
            return false;
        }
        return encode_string(text.get(), ctx);
    }
    PyPointer copy = PyPointer::steal(PyDict_New());
    if (!copy) return false;
    if (PyDict_Merge(copy.get(), obj, 1) < 0) return false;
    return serialize_dict(copy.get(), ctx);
}

// The hook raised: its own SerializationError (a hook that refuses a value)
// and RecursionError pass unchanged, anything else becomes the cause of a
// SerializationError.
[[gnu::cold]] inline void report_default_failure() noexcept {
    if (PyErr_ExceptionMatches(SERIALIZATION_ERROR) || PyErr_ExceptionMatches(PyExc_RecursionError)) return;
    replace_error(SERIALIZATION_ERROR, msg::DEFAULT_FAILED);
}

// Writes what the fallback hook returns for `obj`; a result that again needs
// the hook is handed to it again, at most MAX_DEFAULT_CALLS times in a row.
template <class Buffer>
[[nodiscard]] bool serialize_with_default(PyObject* obj, SerializeContext<Buffer>& ctx) {
    // A hook that wraps the value in itself ([obj]) ends here, in RecursionError.
    RecursionGuard guard(ctx.thread, " while serializing through default");
    if (!guard.ok()) return false;
    PyPointer value = PyPointer::borrow(obj);
    for (int call = 0; call < MAX_DEFAULT_CALLS; ++call) {
        PyPointer result = PyPointer::steal(PyObject_CallOneArg(ctx.settings.default_hook.get(), value.get()));
        if (!result) {
            report_default_failure();
            return false;
        }
        const CustomTypeRecord* record = nullptr;
        if (is_exact_builtin(result.get()) ||
            uncommon_rule(Py_TYPE(result.get()), ctx.settings, record) != UncommonRule::Fallback) {
            return serialize(result.get(), ctx);
        }
        value = std::move(result);
    }
    PyErr_Format(SERIALIZATION_ERROR, msg::DEFAULT_GAVE_UP, reinterpret_cast<PyObject*>(Py_TYPE(value.get())),
                 MAX_DEFAULT_CALLS);
    return false;
}

// Everything that is not an exact built-in type.
template <class Buffer>
[[gnu::noinline]] [[nodiscard]] bool serialize_uncommon(PyObject* obj, SerializeContext<Buffer>& ctx) {
    PyTypeObject* const type = Py_TYPE(obj);
    const CustomTypeRecord* record = nullptr;
    switch (uncommon_rule(type, ctx.settings, record)) {
        case UncommonRule::Date:
            return serialize_date(obj, ctx);
        case UncommonRule::Custom:
            return serialize_custom_type(obj, *record, ctx);
        case UncommonRule::Base:
            return serialize_as_base(obj, ctx);
        case UncommonRule::Fallback:
            break;
    }
    if (ctx.settings.default_hook) return serialize_with_default(obj, ctx);
    if (is_datetime_type(type)) {
        to_py_error(msg::DATETIME_DISABLED, SERIALIZATION_ERROR);
    } else {
        PyErr_Format(SERIALIZATION_ERROR, msg::UNEXPECTED_TYPE, reinterpret_cast<PyObject*>(type));
    }
    return false;
}

}  // namespace quarl
