// The decoders' reference table: strings numbered 0, 1, 2, ... in document
// order, so that back-references resolve to them. Two holders implement it:
// VecPointerHolder for full decodes, PositionPointerHolder for lazy reads.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "utils/python.hpp"

namespace quarl {

template <class Holder>
concept PointerHolder = requires(Holder holder, PyObject* object, uint64_t number, size_t at) {
    // Appends `object` as the next number; the holder takes its own reference.
    // False with MemoryError set on failure.
    { holder.insert(object) } -> std::same_as<bool>;
    // New reference to entry `number`, or null with DeserializationError set
    // (placed at `at`, the reference) when the number is not below the entry count.
    { holder.safe_get(number, at) } -> std::same_as<PyObject*>;
    // Lazy holders record skipped strings as positions.
    { Holder::LAZY } -> std::convertible_to<bool>;
};

}  // namespace quarl
