// Copies of subclass instances as their built-in base type, for
// subclasses_as_base=True.
#pragma once

#include "utils/python.hpp"

namespace quarl {

// New reference to an object of the exact base type of `obj` (an instance of
// a subclass of int, float, str, bytes, list, tuple or dict) with its value;
// null with an exception set on failure. A dict is copied through its own
// keys() and item lookup, so an OrderedDict keeps its order; lists and
// tuples are copied shallowly.
[[nodiscard]] PyObject* copy_as_base(PyObject* obj) noexcept;

}  // namespace quarl
