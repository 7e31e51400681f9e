#include "utils/py_helpers.hpp"

namespace quarl {

namespace {

void chain_cause(PyObject* original) noexcept {
    if (original == nullptr) return;
    PyObject* current = PyErr_GetRaisedException();
    if (current != nullptr) {
        PyException_SetCause(current, original);  // steals `original`
        PyErr_SetRaisedException(current);
    } else {
        Py_DECREF(original);
    }
}

// Interrupts and exits (KeyboardInterrupt, SystemExit, ...) are not errors of
// the data: they always pass through unchanged.
bool is_interrupt(PyObject* exception) noexcept {
    return exception != nullptr && !PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}

}  // namespace

void report_as_memory_error() noexcept {
    PyObject* original = PyErr_GetRaisedException();
    if (is_interrupt(original)) {
        PyErr_SetRaisedException(original);
        return;
    }
    PyErr_NoMemory();
    chain_cause(original);
}

void replace_error(PyObject* exception_class, const char* message) noexcept {
    PyObject* original = PyErr_GetRaisedException();
    if (is_interrupt(original)) {
        PyErr_SetRaisedException(original);
        return;
    }
    PyErr_SetString(exception_class, message);
    chain_cause(original);
}

PyObject* import_object_from_python(const char* module_name, const char* attribute_name) noexcept {
    PyPointer name = PyPointer::steal(PyUnicode_FromString(module_name));
    if (!name) {
        report_as_memory_error();
        return nullptr;
    }
    PyPointer module = PyPointer::steal(PyImport_Import(name.get()));
    if (!module) {
        report_as_memory_error();
        return nullptr;
    }
    return PyObject_GetAttrString(module.get(), attribute_name);
}

void raise_unexpected_keyword(const char* function, PyObject* name) noexcept {
    // Keyword names are always str objects; %U keeps names with unusual
    // characters intact instead of failing on a UTF-8 conversion.
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
}

}  // namespace quarl
