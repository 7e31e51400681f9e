// Lazy path resolution: follows a path of dict keys and list indices through
// an encoded document, skipping everything off the path, and decodes (load
// mode) or tests (check mode) only the value at its end.
#pragma once

#include <cstdint>
#include <span>

#include "deserializing/decode_context.hpp"
#include "deserializing/pointer_holders/position_pointer_holder.hpp"
#include "utils/python.hpp"

namespace quarl {

// One step of a path: a list index (from an Idx) or a dict key (any other
// object, borrowed from the caller's owned copy of the path).
struct PathStep {
    PyObject* key;  // null for an index step
    uint64_t index;

    [[nodiscard]] bool is_index() const noexcept { return key == nullptr; }
};

enum class LazyMode { Load, Check };

using LazyContext = DecodeContext<PositionPointerHolder>;

// New reference to the value at the path (load mode) or to True/False (check
// mode); null with an exception set on failure.
[[nodiscard]] PyObject* lazy_deserialize(LazyContext& ctx, std::span<const PathStep> steps, LazyMode mode,
                                         bool include_falsy);

}  // namespace quarl
