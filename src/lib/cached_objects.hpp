// The objects the module keeps between calls: each interpreter's module state
// (exception classes, companion classes, datetime, interned names), the
// process-wide immortal constants, and how a running call reaches its state.
#pragma once

#include "utils/python.hpp"

namespace quarl {

// One per interpreter that imported the module, held by the module object.
// Every field is a strong reference.
struct ModuleState {
    PyObject* deserialization_error;
    PyObject* corrupt_data_error;
    PyObject* serialization_error;
    PyObject* custom_type_class;
    PyObject* idx_class;
    PyObject* datetime_isoformat;
    PyTypeObject* datetime_type;
    PyObject* write_method_name;  // interned "write"
    PyObject* index_attribute_name;  // interned "index"
    PyTypeObject* item_iterator_type;  // iter_items' iterators, a type of this interpreter
    PyTypeObject* fast_function_type;  // the native fronts of dumps, loads, get and contains
};

// The state of the module whose function is running on this thread. Set by
// ModuleStateScope for the length of a call; calls nest (a loader may call
// the module again, even from another interpreter) and each restores the one
// it replaced.
extern thread_local ModuleState* CURRENT_MODULE_STATE [[gnu::tls_model("initial-exec")]];

// Finds the state when no call set one (a slot of a type, say); cold.
[[gnu::cold]] ModuleState& module_state_outside_a_call() noexcept;

[[nodiscard]] inline ModuleState& module_state() noexcept {
    ModuleState* state = CURRENT_MODULE_STATE;
    if (state != nullptr) [[likely]] return *state;
    return module_state_outside_a_call();
}

// Makes `module`'s state the current one for its lifetime. Every function of
// the method table runs inside one (module.cpp wraps them).
class ModuleStateScope {
public:
    explicit ModuleStateScope(PyObject* module) noexcept : saved_(CURRENT_MODULE_STATE) {
        CURRENT_MODULE_STATE = static_cast<ModuleState*>(PyModule_GetState(module));
    }
    explicit ModuleStateScope(ModuleState* state) noexcept : saved_(CURRENT_MODULE_STATE) {
        CURRENT_MODULE_STATE = state;
    }
    ~ModuleStateScope() { CURRENT_MODULE_STATE = saved_; }
    ModuleStateScope(const ModuleStateScope&) = delete;
    ModuleStateScope& operator=(const ModuleStateScope&) = delete;

private:
    ModuleState* saved_;
};

// The names the rest of the module uses, each read from the current state.
#define DESERIALIZATION_ERROR (::quarl::module_state().deserialization_error)
#define CORRUPT_DATA_ERROR (::quarl::module_state().corrupt_data_error)
#define SERIALIZATION_ERROR (::quarl::module_state().serialization_error)
#define CUSTOM_TYPE_CLASS (::quarl::module_state().custom_type_class)
#define IDX_CLASS (::quarl::module_state().idx_class)
#define DATETIME_ISOFORMAT (::quarl::module_state().datetime_isoformat)
#define DATETIME_TYPE (::quarl::module_state().datetime_type)
#define WRITE_METHOD_NAME (::quarl::module_state().write_method_name)
#define INDEX_ATTRIBUTE_NAME (::quarl::module_state().index_attribute_name)
#define ITEM_ITERATOR_TYPE (::quarl::module_state().item_iterator_type)
#define FAST_FUNCTION_TYPE (::quarl::module_state().fast_function_type)

// Immortal singletons of the interpreter, the same object in every
// interpreter of the process: set once, never released.
extern PyObject* EMPTY_TUPLE;
extern PyObject* EMPTY_STR;
extern PyObject* EMPTY_BYTES;
extern PyObject* ZERO;  // the int 0

// Fills `state` for a module being created (process-wide set-up included, once
// per process). Returns false with MemoryError set when anything is missing
// (the companion package included); what was filled is released by
// clear_module_state.
[[nodiscard]] bool init_module_state(ModuleState& state) noexcept;

// The module's garbage-collector support: visit and release the state.
int traverse_module_state(ModuleState& state, visitproc visit, void* arg) noexcept;
void clear_module_state(ModuleState& state) noexcept;

}  // namespace quarl
