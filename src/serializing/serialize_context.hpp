// What every encoder routine receives, and the declaration of the recursive
// entry `serialize` that the per-type writers call back for nested values.
#pragma once

#include "serializing/serializing_string_cache.hpp"
#include "serializing/settings.hpp"
#include "utils/python.hpp"

namespace quarl {

template <class Buffer>
struct SerializeContext {
    Buffer& buffer;
    SerializingStringCache& cache;
    const SerializeSettings& settings;
};

// Writes the encoding of `obj` (borrowed). False with an exception set on failure.
template <class Buffer>
[[nodiscard]] bool serialize(PyObject* obj, SerializeContext<Buffer>& ctx);

// Values whose encoding cannot run Python code with this buffer: they may be
// encoded through a borrowed reference. Anything else is held while encoded,
// since a converter or a writer may drop the container's last reference to it.
template <class Buffer>
[[nodiscard]] inline bool encodes_without_python(PyObject* obj) noexcept {
    if constexpr (Buffer::RUNS_PYTHON) {
        return false;
    } else {
        PyTypeObject* type = Py_TYPE(obj);
        return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type ||
               obj == Py_None || type == &PyBytes_Type;
    }
}

// serialize(), holding a reference to `obj` when its encoding may run Python code.
template <class Buffer>
[[nodiscard]] inline bool serialize_item(PyObject* obj, SerializeContext<Buffer>& ctx) {
    if (encodes_without_python<Buffer>(obj)) return serialize(obj, ctx);
    Py_INCREF(obj);
    const bool ok = serialize(obj, ctx);
    Py_DECREF(obj);
    return ok;
}

}  // namespace quarl
