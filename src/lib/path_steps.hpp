// Turning a path (dict keys and Idx objects) into the lazy walk's steps.
#pragma once

#include <vector>

#include "deserializing/lazy_deserialize.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// The step for one path item: a key, or an index for an Idx. False with
// TypeError set for a negative index (or the error reading it).
[[nodiscard]] bool path_step(PyObject* item, PathStep& step);

// The steps of `path`, which must be a list; `owned` keeps every key alive.
// False with TypeError set for a non-list path or a negative index.
[[nodiscard]] bool build_steps(PyObject* path, std::vector<PathStep>& steps, std::vector<PyPointer>& owned);

}  // namespace quarl
