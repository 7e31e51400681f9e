// Turning a path list (dict keys and Idx objects) into the lazy walk's steps.
#pragma once

#include <vector>

#include "deserializing/lazy_deserialize.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// The steps of `path`, which must be a list; `owned` keeps every key alive.
// False with TypeError set for a non-list path or a negative index.
[[nodiscard]] bool build_steps(PyObject* path, std::vector<PathStep>& steps, std::vector<PyPointer>& owned);

}  // namespace quarl
