// The skipper: moves the read position past encoded values without building
// them, giving every string it passes its reference number as a position
// entry, exactly as a full decode would number it.
#pragma once

#include <cstdint>

#include "deserializing/input_reader.hpp"
#include "deserializing/pointer_holders/position_pointer_holder.hpp"

namespace quarl {

// Skips `count` consecutive values. Iterative, so nesting depth costs heap,
// not stack. The counts of containers inside them are checked against the
// input as the decoder checks them, less `held`: the bytes that values after
// these need at the least (one per value the caller's open containers have
// not started), so a claim is refused at the byte where a full decode refuses
// it. A value that runs past the end fails with "Unexpected end of input".
// False with the exception set on failure.
[[nodiscard]] bool skip_values(InputReader& in, PositionPointerHolder& holder, uint64_t count, uint64_t held = 0);

// Skips `count` values of a run whose whole count skip_values() would have
// accepted at its start: passing a run in parts fails exactly where passing
// it at once would.
[[nodiscard]] bool skip_more_values(InputReader& in, PositionPointerHolder& holder, uint64_t count,
                                    uint64_t held = 0);

[[nodiscard]] inline bool skip_object(InputReader& in, PositionPointerHolder& holder, uint64_t held = 0) {
    return skip_values(in, holder, 1, held);
}

// Skips one key of a str-keyed dict (a back-reference, or an inline key,
// which is recorded for later back-references).
[[nodiscard]] bool skip_dict_key(InputReader& in, PositionPointerHolder& holder);

}  // namespace quarl
