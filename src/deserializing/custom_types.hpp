// Decoder of custom-type values (flag 24): identifier, value, then the loader
// registered for the identifier rebuilds the object.
#pragma once

#include "deserializing/decode_context.hpp"
#include "lib/cached_objects.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// Raises the unknown-identifier error, chaining the lookup's own error if any.
[[gnu::cold]] inline void unknown_custom_type(PyObject* identifier, PyPointer lookup_error) noexcept {
    PyPointer text = PyPointer::steal(PyObject_Str(identifier));
    if (!text) {
        report_as_memory_error();
        return;
    }
    PyErr_Format(DESERIALIZATION_ERROR, msg::UNKNOWN_CUSTOM_TYPE, text.get(),
                 reinterpret_cast<PyObject*>(Py_TYPE(identifier)));
    if (lookup_error) {
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetCause(raised, lookup_error.release());
        PyErr_SetRaisedException(raised);
    }
}

// After the flag byte.
template <PointerHolder Holder>
[[nodiscard]] PyObject* deserialize_custom_type(DecodeContext<Holder>& ctx) {
    // Identifier and value take a byte each at the least.
    if (!ctx.fits(2, 1, ctx.in.position)) return nullptr;
    RecursionGuard guard(ctx.thread, " while deserializing a custom type");
    if (!guard.ok()) return nullptr;
    ctx.reserve(2);
    ctx.start_item(1);
    PyPointer identifier = PyPointer::steal(deserialize_object(ctx));
    if (!identifier) return nullptr;
    ctx.start_item(1);
    PyPointer value = PyPointer::steal(deserialize_object(ctx));
    if (!value) return nullptr;
    PyPointer lookup_error;
    PyPointer loader = PyPointer::borrow(ctx.loaders.find(identifier.get(), lookup_error));
    if (!loader) {
        unknown_custom_type(identifier.get(), std::move(lookup_error));
        return nullptr;
    }
    PyObject* result = PyObject_CallOneArg(loader.get(), value.get());
    if (result == nullptr) replace_error(DESERIALIZATION_ERROR, msg::CUSTOM_TYPE_LOAD_FAILED);
    return result;
}

}  // namespace quarl
