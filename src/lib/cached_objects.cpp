#include "lib/cached_objects.hpp"

#include "utils/dict_layout.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

PyObject* EMPTY_TUPLE = nullptr;
PyObject* EMPTY_STR = nullptr;
PyObject* EMPTY_BYTES = nullptr;
PyObject* DESERIALIZATION_ERROR = nullptr;
PyObject* SERIALIZATION_ERROR = nullptr;
PyObject* CUSTOM_TYPE_CLASS = nullptr;
PyObject* IDX_CLASS = nullptr;
PyObject* DATETIME_ISOFORMAT = nullptr;
PyTypeObject* DATETIME_TYPE = nullptr;
PyObject* WRITE_METHOD_NAME = nullptr;
PyObject* INDEX_ATTRIBUTE_NAME = nullptr;
PyObject* ZERO = nullptr;

namespace {

// The datetime C API is imported once per process; a failed import leaves it
// unset so a later start-up tries again.
bool import_datetime_api() noexcept {
    if (PyDateTimeAPI == nullptr) {
        PyDateTimeAPI = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    }
    return PyDateTimeAPI != nullptr;
}

// A repeated start-up (after a failed one) replaces what an earlier one cached.
void fill(PyObject*& slot, PyObject* value) noexcept { Py_XSETREF(slot, value); }

}  // namespace

bool init_cached_objects() noexcept {
    fill(EMPTY_TUPLE, PyTuple_New(0));
    fill(EMPTY_STR, PyUnicode_New(0, 127));
    fill(EMPTY_BYTES, PyBytes_FromStringAndSize(nullptr, 0));
    fill(WRITE_METHOD_NAME, PyUnicode_InternFromString("write"));
    fill(INDEX_ATTRIBUTE_NAME, PyUnicode_InternFromString("index"));
    fill(ZERO, PyLong_FromLong(0));
    if (!EMPTY_TUPLE || !EMPTY_STR || !EMPTY_BYTES || !WRITE_METHOD_NAME || !INDEX_ATTRIBUTE_NAME || !ZERO) {
        report_as_memory_error();
        return false;
    }

    // The companion package's classes; any failure (a missing package or
    // class included) is reported as MemoryError.
    struct Import {
        PyObject*& slot;
        const char* module;
        const char* attribute;
    };
    const Import imports[] = {
        {DESERIALIZATION_ERROR, "pyquarl.exceptions", "DeserializationError"},
        {SERIALIZATION_ERROR, "pyquarl.exceptions", "SerializationError"},
        {CUSTOM_TYPE_CLASS, "pyquarl.serialize.settings", "CustomType"},
        {IDX_CLASS, "pyquarl.deserialize.lazy_load", "Idx"},
    };
    for (const Import& item : imports) {
        fill(item.slot, import_object_from_python(item.module, item.attribute));
        if (item.slot == nullptr) {
            report_as_memory_error();
            return false;
        }
    }

    if (!import_datetime_api()) {
        report_as_memory_error();
        return false;
    }
    DATETIME_TYPE = PyDateTimeAPI->DateTimeType;
    fill(DATETIME_ISOFORMAT, PyObject_GetAttrString(reinterpret_cast<PyObject*>(DATETIME_TYPE), "isoformat"));
    if (DATETIME_ISOFORMAT == nullptr) {
        report_as_memory_error();
        return false;
    }
    dict_layout::self_test();
    return true;
}

}  // namespace quarl
