// The skipper: moves the read position past encoded values without building
// them, giving every string it passes its reference number as a position
// entry, exactly as a full decode would number it.
#pragma once

#include <cstdint>

#include "deserializing/input_reader.hpp"
#include "deserializing/pointer_holders/position_pointer_holder.hpp"

namespace quarl {

// Skips `count` consecutive values. Iterative, so nesting depth costs heap,
// not stack. Counts are checked against the input as they are read: a value
// that claims more than the rest of the input can hold fails at its count
// with "Unexpected end of input", as does one that runs past the end. (The
// full decode also reserves input for the values after a container, so on a
// cut document it may refuse a count that the skipper passes, and stop
// earlier.) False with the exception set on failure.
[[nodiscard]] bool skip_values(InputReader& in, PositionPointerHolder& holder, uint64_t count);

// Skips `count` values of a run whose whole count skip_values() would have
// accepted at its start: passing a run in parts fails exactly where passing
// it at once would.
[[nodiscard]] bool skip_more_values(InputReader& in, PositionPointerHolder& holder, uint64_t count);

[[nodiscard]] inline bool skip_object(InputReader& in, PositionPointerHolder& holder) {
    return skip_values(in, holder, 1);
}

// Skips one key of a str-keyed dict (a back-reference, or an inline key,
// which is recorded for later back-references).
[[nodiscard]] bool skip_dict_key(InputReader& in, PositionPointerHolder& holder);

}  // namespace quarl
