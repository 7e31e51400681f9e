#include "lib/damage_position.hpp"

#include "lib/cached_objects.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

void place_damage(size_t document_offset) noexcept {
    if (document_offset == 0 || !PyErr_ExceptionMatches(DESERIALIZATION_ERROR)) return;
    PyObject* error = PyErr_GetRaisedException();
    PyObject* within = PyObject_GetAttrString(error, "pos");
    if (within != nullptr && PyLong_Check(within)) {
        const size_t offset = PyLong_AsSize_t(within);
        PyObject* shifted = PyErr_Occurred() ? nullptr : PyLong_FromSize_t(document_offset + offset);
        if (shifted == nullptr || PyObject_SetAttrString(error, "pos", shifted) != 0) PyErr_Clear();
        Py_XDECREF(shifted);
    }
    PyErr_Clear();  // (no attribute, or a shift that failed: the error keeps its own offset)
    Py_XDECREF(within);
    PyErr_SetRaisedException(error);
}

}  // namespace quarl
