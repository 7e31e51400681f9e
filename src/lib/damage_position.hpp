// Where a failed read of one document among several went wrong, in the
// caller's terms: the offset in the whole buffer, not in the document.
#pragma once

#include <cstddef>

namespace quarl {

// With a DeserializationError pending: gives it the byte offset of the damage
// (`pos`), shifting an offset the reader already set by `document_offset`, or
// else taking `document_offset + position`. A bare TypeError raised by the
// reader for a byte that is no flag of the format becomes a CorruptDataError
// with that offset. Any other exception is left as it is.
void place_damage(size_t document_offset, size_t position) noexcept;

}  // namespace quarl
