// What every encoder routine receives, and the declaration of the recursive
// entry `serialize` that the per-type writers call back for nested values.
#pragma once

#include "serializing/serializing_string_cache.hpp"
#include "serializing/settings.hpp"
#include "utils/python.hpp"

namespace quarl {

template <class Buffer>
struct SerializeContext {
    SerializeContext(Buffer& buffer_, SerializingStringCache& cache_, const SerializeSettings& settings_) noexcept
        : buffer(buffer_),
          cache(cache_),
          settings(settings_),
          no_python(runs_no_python(settings_)) {}

    // Whether an encode into this kind of buffer with these settings runs no
    // Python code at all (no writer, no converters, no dates, no fallback
    // hook, no subclasses, whose copies may call their own methods).
    [[nodiscard]] static bool runs_no_python(const SerializeSettings& settings) noexcept {
        return !Buffer::RUNS_PYTHON && settings.custom_types.empty() && !settings.serialize_dates &&
               !settings.default_hook && !settings.subclasses_as_base;
    }

    Buffer& buffer;
    SerializingStringCache& cache;
    const SerializeSettings& settings;
    // True when this encode runs no Python code at all (no writer, no
    // converters, no dates): then nothing can change the values being walked,
    // containers need no re-checks, and what was written can be taken back.
    const bool no_python;
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
