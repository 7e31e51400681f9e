#include "lib/cached_objects.hpp"

#include <mutex>

#include "serializing/text_hash.hpp"
#include "utils/dict_layout.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

thread_local ModuleState* CURRENT_MODULE_STATE [[gnu::tls_model("initial-exec")]] = nullptr;

PyObject* EMPTY_TUPLE = nullptr;
PyObject* EMPTY_STR = nullptr;
PyObject* EMPTY_BYTES = nullptr;
PyObject* ZERO = nullptr;

namespace {

// The module as the companion package imports it.
constexpr const char* MODULE_NAME = "pyquarl._pyquarl";

// What every interpreter shares: immortal constants, the string hash seed
// and the dict layout check. Done once: interpreters with their own GIL may
// start the module at the same time, and a table being filled in one of them
// must never see the seed change.
void init_process_wide() noexcept {
    static std::once_flag done;
    std::call_once(done, [] {
        EMPTY_TUPLE = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_TUPLE);
        EMPTY_STR = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR);
        EMPTY_BYTES = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_BYTES);
        ZERO = Py_GetConstantBorrowed(Py_CONSTANT_ZERO);
        init_text_hash_seed();
        dict_layout::self_test();
    });
}

}  // namespace

ModuleState& module_state_outside_a_call() noexcept {
    PyObject* name = PyUnicode_FromString(MODULE_NAME);
    PyObject* module = name != nullptr ? PyImport_GetModule(name) : nullptr;
    Py_XDECREF(name);
    if (module == nullptr) Py_FatalError("pyquarl: the native module's state was used before it was imported");
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    Py_DECREF(module);  // sys.modules keeps it
    return *state;
}

bool init_module_state(ModuleState& state) noexcept {
    init_process_wide();
    state.write_method_name = PyUnicode_InternFromString("write");
    state.index_attribute_name = PyUnicode_InternFromString("index");
    if (!state.write_method_name || !state.index_attribute_name) {
        report_as_memory_error();
        return false;
    }

    // The companion package's classes and the datetime type; any failure (a
    // missing package or class included) is reported as MemoryError. The
    // datetime class is taken from its module rather than from the C API
    // capsule, which an interpreter with its own GIL may not offer.
    struct Import {
        PyObject*& slot;
        const char* module;
        const char* attribute;
    };
    PyObject* datetime_type = nullptr;
    const Import imports[] = {
        {state.deserialization_error, "pyquarl.exceptions", "DeserializationError"},
        {state.corrupt_data_error, "pyquarl.exceptions", "CorruptDataError"},
        {state.serialization_error, "pyquarl.exceptions", "SerializationError"},
        {state.custom_type_class, "pyquarl.serialize.settings", "CustomType"},
        {state.idx_class, "pyquarl.deserialize.lazy_load", "Idx"},
        {datetime_type, "datetime", "datetime"},
    };
    for (const Import& item : imports) {
        item.slot = import_object_from_python(item.module, item.attribute);
        if (item.slot == nullptr) {
            report_as_memory_error();
            return false;
        }
    }
    if (!PyType_Check(datetime_type)) {
        Py_DECREF(datetime_type);
        PyErr_NoMemory();
        return false;
    }
    state.datetime_type = reinterpret_cast<PyTypeObject*>(datetime_type);
    state.datetime_isoformat = PyObject_GetAttrString(datetime_type, "isoformat");
    if (state.datetime_isoformat == nullptr) {
        report_as_memory_error();
        return false;
    }
    return true;
}

int traverse_module_state(ModuleState& state, visitproc visit, void* arg) noexcept {
    Py_VISIT(state.deserialization_error);
    Py_VISIT(state.corrupt_data_error);
    Py_VISIT(state.serialization_error);
    Py_VISIT(state.custom_type_class);
    Py_VISIT(state.idx_class);
    Py_VISIT(state.datetime_isoformat);
    Py_VISIT(state.datetime_type);
    Py_VISIT(state.write_method_name);
    Py_VISIT(state.index_attribute_name);
    Py_VISIT(state.item_iterator_type);
    Py_VISIT(state.fast_function_type);
    return 0;
}

void clear_module_state(ModuleState& state) noexcept {
    Py_CLEAR(state.deserialization_error);
    Py_CLEAR(state.corrupt_data_error);
    Py_CLEAR(state.serialization_error);
    Py_CLEAR(state.custom_type_class);
    Py_CLEAR(state.idx_class);
    Py_CLEAR(state.datetime_isoformat);
    Py_CLEAR(state.datetime_type);
    Py_CLEAR(state.write_method_name);
    Py_CLEAR(state.index_attribute_name);
    Py_CLEAR(state.item_iterator_type);
    Py_CLEAR(state.fast_function_type);
}

}  // namespace quarl
