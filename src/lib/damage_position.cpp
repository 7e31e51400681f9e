#include "lib/damage_position.hpp"

#include "lib/cached_objects.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

namespace {

// Sets `pos` on `error` (a DeserializationError); false if that fails.
bool set_position(PyObject* error, size_t document_offset, size_t position) noexcept {
    PyPointer old = PyPointer::steal(PyObject_GetAttrString(error, "pos"));
    if (!old) return false;
    size_t offset = document_offset + position;
    if (PyLong_Check(old.get())) {
        const size_t within = PyLong_AsSize_t(old.get());
        if (within == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
        offset = document_offset + within;
    }
    PyPointer value = PyPointer::steal(PyLong_FromSize_t(offset));
    return value && PyObject_SetAttrString(error, "pos", value.get()) == 0;
}

}  // namespace

void place_damage(size_t document_offset, size_t position) noexcept {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr) return;
    if (PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(DESERIALIZATION_ERROR))) {
        if (!set_position(error, document_offset, position)) PyErr_Clear();
        PyErr_SetRaisedException(error);
        return;
    }
    if (Py_TYPE(error) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(error);
        return;
    }
    // The readers' own TypeErrors ("Unexpected flag" and the like) are
    // damaged data: raised again as the error family's member for them.
    PyPointer original = PyPointer::steal(error);
    PyPointer corrupt_class = PyPointer::steal(import_object_from_python("pyquarl.exceptions", "CorruptDataError"));
    PyPointer message = PyPointer::steal(PyObject_Str(original.get()));
    PyPointer offset = PyPointer::steal(PyLong_FromSize_t(document_offset + position));
    if (!corrupt_class || !message || !offset) {
        PyErr_Clear();
        PyErr_SetRaisedException(original.release());
        return;
    }
    PyPointer corrupt = PyPointer::steal(PyObject_CallFunctionObjArgs(corrupt_class.get(), message.get(), offset.get(), nullptr));
    if (!corrupt) {
        PyErr_Clear();
        PyErr_SetRaisedException(original.release());
        return;
    }
    PyException_SetCause(corrupt.get(), original.release());
    PyErr_SetRaisedException(corrupt.release());
}

}  // namespace quarl
