#include "serializing/uncommon_types.hpp"

#include "utils/messages.hpp"

namespace quarl {

namespace {

[[nodiscard]] bool is_exact_builtin(PyObject* obj) noexcept {
    PyTypeObject* const type = Py_TYPE(obj);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyDict_Type || type == &PyList_Type ||
           type == &PyBool_Type || type == &PyFloat_Type || obj == Py_None || type == &PyTuple_Type ||
           type == &PyBytes_Type;
}

// The hook raised: its own SerializationError (a hook that refuses a value)
// and RecursionError pass unchanged, anything else becomes the cause of a
// SerializationError.
[[gnu::cold]] void report_default_failure() noexcept {
    if (PyErr_ExceptionMatches(SERIALIZATION_ERROR) || PyErr_ExceptionMatches(PyExc_RecursionError)) return;
    replace_error(SERIALIZATION_ERROR, msg::DEFAULT_FAILED);
}

}  // namespace

void raise_unexpected_type(PyTypeObject* type) noexcept {
    if (is_datetime_type(type)) {
        to_py_error(msg::DATETIME_DISABLED, SERIALIZATION_ERROR);
    } else {
        PyErr_Format(SERIALIZATION_ERROR, msg::UNEXPECTED_TYPE, reinterpret_cast<PyObject*>(type));
    }
}

PyObject* call_default(PyObject* obj, const SerializeSettings& settings) noexcept {
    PyPointer value = PyPointer::borrow(obj);
    for (int call = 0; call < MAX_DEFAULT_CALLS; ++call) {
        PyPointer result = PyPointer::steal(PyObject_CallOneArg(settings.default_hook.get(), value.get()));
        if (!result) {
            report_default_failure();
            return nullptr;
        }
        const CustomTypeRecord* record = nullptr;
        if (is_exact_builtin(result.get()) ||
            uncommon_rule(Py_TYPE(result.get()), settings, record) != UncommonRule::Fallback) {
            return result.release();
        }
        value = std::move(result);
    }
    PyErr_Format(SERIALIZATION_ERROR, msg::DEFAULT_GAVE_UP, reinterpret_cast<PyObject*>(Py_TYPE(value.get())),
                 MAX_DEFAULT_CALLS);
    return nullptr;
}

}  // namespace quarl
