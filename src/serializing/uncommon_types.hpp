// The encoder's path for values of no exact built-in type: datetimes,
// registered custom types, subclasses of the built-in types (on request) and
// last the caller's fallback hook. It is never inlined into the exact-type
// chain, so documents that do not reach it pay nothing for it.
#pragma once

#include "lib/cached_objects.hpp"
#include "serializing/custom_types.hpp"
#include "serializing/serialize_context.hpp"
#include "serializing/settings.hpp"
#include "serializing/subclass_copies.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// Calls of the fallback hook in a row on one value (each on the result of the
// one before) before the value is refused: a hook that keeps returning
// values it cannot handle fails rather than looping.
inline constexpr int MAX_DEFAULT_CALLS = 8;

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

// SerializationError for a value that no rule writes.
[[gnu::cold]] void raise_unexpected_type(PyTypeObject* type) noexcept;

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

// New reference to what the fallback hook makes of `obj`: a value that some
// rule writes, asking the hook again (at most MAX_DEFAULT_CALLS times in a
// row) while it is not. Null with an exception set on failure.
[[nodiscard]] PyObject* call_default(PyObject* obj, const SerializeSettings& settings) noexcept;

// Everything that is not an exact built-in type. Subclasses and the hook's
// results are written through the one call of serialize() at the end, so
// this path adds no call of the per-type writers beside the exact-type chain.
template <class Buffer>
[[gnu::noinline]] [[nodiscard]] bool serialize_uncommon(PyObject* obj, SerializeContext<Buffer>& ctx) {
    PyTypeObject* const type = Py_TYPE(obj);
    const CustomTypeRecord* record = nullptr;
    PyPointer replacement;
    switch (uncommon_rule(type, ctx.settings, record)) {
        case UncommonRule::Date:
            return serialize_date(obj, ctx);
        case UncommonRule::Custom:
            return serialize_custom_type(obj, *record, ctx);
        case UncommonRule::Base:
            replacement = PyPointer::steal(copy_as_base(obj));
            break;
        case UncommonRule::Fallback:
            if (!ctx.settings.default_hook) {
                raise_unexpected_type(type);
                return false;
            }
            replacement = PyPointer::steal(call_default(obj, ctx.settings));
            break;
    }
    // A hook that wraps the value in itself ([obj]) ends here, in RecursionError.
    RecursionGuard guard(ctx.thread, " while serializing a replaced value");
    return replacement && guard.ok() && serialize(replacement.get(), ctx);
}

}  // namespace quarl
