// The skipper: moves the read position past encoded values without building
// them, giving every string it passes its reference number as a position
// entry, exactly as a full decode would number it.
#pragma once

#include <cstdint>

#include "deserializing/input_reader.hpp"
#include "deserializing/pointer_holders/position_pointer_holder.hpp"

namespace quarl {

// Skips `count` consecutive values. Iterative, so nesting depth costs heap,
// not stack. Lengths and counts are checked against the input as they are
// read: a value that claims to run past the end fails at once with
// "Unexpected end of input". Flags 12 and 25-29 and unknown typed-list element
// types are CorruptDataErrors (also TypeErrors). False with an exception set
// on failure.
[[nodiscard]] bool skip_values(InputReader& in, PositionPointerHolder& holder, uint64_t count);

// Skips `count` values of a run whose whole count skip_values() would have
// accepted at its start: passing a run in parts fails exactly where passing
// it at once would.
[[nodiscard]] bool skip_more_values(InputReader& in, PositionPointerHolder& holder, uint64_t count);

[[nodiscard]] inline bool skip_object(InputReader& in, PositionPointerHolder& holder) {
    return skip_values(in, holder, 1);
}

// Skips one inline key of a str-keyed dict (key-form size field and payload),
// recording it for later back-references.
[[nodiscard]] bool skip_string(InputReader& in, PositionPointerHolder& holder);

// Skips the rest of a typed list, after its flag byte.
[[nodiscard]] bool skip_consistent_type_list(InputReader& in, PositionPointerHolder& holder);

// Skips one size field, without needing its value (integer magnitudes, long
// reference numbers).
[[nodiscard]] bool skip_size_field(InputReader& in) noexcept;

}  // namespace quarl
