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
    PyThreadState* thread = PyThreadState_Get();  // for the recursion guard
};

// Writes the encoding of `obj` (borrowed). False with an exception set on failure.
template <class Buffer>
[[nodiscard]] bool serialize(PyObject* obj, SerializeContext<Buffer>& ctx);

// serialize() for an item of a container: holds a reference to it while it
// is encoded, since a converter or a writer may drop the container's last
// reference to it; values whose encoding cannot run Python code with this
// buffer are written directly.
template <class Buffer>
[[nodiscard]] bool serialize_item(PyObject* obj, SerializeContext<Buffer>& ctx);

}  // namespace quarl
