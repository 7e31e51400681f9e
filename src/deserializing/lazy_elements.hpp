// Single elements of typed lists, fetched or truth-tested straight from the
// packed data, and the containment test for the value at the end of a path.
#pragma once

#include <cstdint>

#include "deserializing/lazy_deserialize.hpp"

namespace quarl {

// Element `index` (below the count) of a typed list of elements of `kind`
// whose elements start at the read position: the element itself in load
// mode, True/False by its truth in check mode.
[[nodiscard]] PyObject* lazy_load_element(LazyContext& ctx, ElementKind kind, uint64_t index, LazyMode mode);

// Check mode with no steps left: whether the value at the read position counts
// as contained (any value when `include_falsy`, else only truthy ones).
[[nodiscard]] PyObject* lazy_contains(LazyContext& ctx, bool include_falsy);

}  // namespace quarl
