// Where a failed read of one document among several went wrong, in the
// caller's terms: the offset in the whole buffer, not in the document.
#pragma once

#include <cstddef>

namespace quarl {

// With a DeserializationError pending that knows where in its document the
// damage is (`pos`): shifts that offset by `document_offset`, where the
// document starts in the buffer. An error with no offset (a loader that
// failed) and any other exception are left as they are.
void place_damage(size_t document_offset) noexcept;

}  // namespace quarl
