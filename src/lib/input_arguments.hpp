// Checks shared by the decoding functions' argument handling.
#pragma once

#include <cstring>

#include "lib/cached_objects.hpp"
#include "utils/input_buffer.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

// TypeError unless `value` is bytes or bytearray (or a subclass of either).
[[nodiscard]] inline bool check_buffer_type(PyObject* value) noexcept {
    if (InputBuffer::accepts(value)) return true;
    PyErr_Format(PyExc_TypeError, msg::BUFFER_TYPE, reinterpret_cast<PyObject*>(Py_TYPE(value)));
    return false;
}

// DeserializationError unless the document starts with "<o>".
[[nodiscard]] inline bool check_marker(const InputBuffer& input) noexcept {
    if (input.size() >= DOCUMENT_MARKER_SIZE &&
        std::memcmp(input.data(), DOCUMENT_MARKER, DOCUMENT_MARKER_SIZE) == 0) {
        return true;
    }
    to_py_error(msg::MISSING_MARKER, DESERIALIZATION_ERROR);
    return false;
}

}  // namespace quarl
