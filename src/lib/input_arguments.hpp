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

// What a function's handler made of one of its own keyword options.
enum class Keyword { Taken, Failed, Unknown };

// Parses a call whose first argument (`names[0]`, required) and second
// (`names[1]`, optional) may come by position or by keyword; every other
// keyword goes to `option(name, value)`. The first argument must be a buffer.
// False with TypeError (or the option's error) set on failure.
template <class Option>
[[nodiscard]] bool parse_leading_arguments(const char* function, const char* const (&names)[2], PyObject* (&values)[2],
                                           PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                                           Option&& option) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 2 positional arguments (%zd given)", function, positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) values[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[positional + i];
        const int leading = keyword_is(name, names[0]) ? 0 : keyword_is(name, names[1]) ? 1 : -1;
        if (leading < 0) {
            const Keyword outcome = option(name, value);
            if (outcome == Keyword::Failed) return false;
            if (outcome == Keyword::Unknown) {
                raise_unexpected_keyword(function, name);
                return false;
            }
            continue;
        }
        if (values[leading] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, name);
            return false;
        }
        values[leading] = value;
    }
    if (values[0] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", function, names[0]);
        return false;
    }
    return check_buffer_type(values[0]);
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
