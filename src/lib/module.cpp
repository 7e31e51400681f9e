// The extension module _pyquarl: method table, module state and start-up
// (multi-phase, one state per interpreter).
#include "lib/cached_objects.hpp"
#include "lib/entry_points.hpp"

namespace quarl {
namespace {

using FastCallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Runs a function of the method table with its module's state current, so
// that whatever it calls finds this interpreter's classes.
template <FastCallFunction Function>
PyObject* with_module_state(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    ModuleStateScope scope(module);
    return Function(module, args, nargsf, kwnames);
}

#define QUARL_FASTCALL(function) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_module_state<function>))

PyMethodDef METHODS[] = {
    {"dump_bytes", QUARL_FASTCALL(dump_bytes), METH_FASTCALL | METH_KEYWORDS,
     "dump_bytes($module, /, obj, *, writer=..., serialize_dates=False, custom_types=..., default=None,\n"
     "           subclasses_as_base=False, flush_threshold=10485760, direct_write_threshold=5242880,\n"
     "           allow_non_string_keys=...)\n--\n\n"
     "Encode obj as a quarl document: returns bytes, or streams it to writer.write and returns None.\n\n"
     "Raises SerializationError for a value no rule writes, RecursionError for too deep or cyclic\n"
     "data, TypeError for a bad option."},
    {"_forget_dump_sizes", QUARL_FASTCALL(forget_dump_sizes), METH_FASTCALL | METH_KEYWORDS,
     "makes the next dump start as small as the first one of the process did"},
    {"load_bytes", QUARL_FASTCALL(load_bytes), METH_FASTCALL | METH_KEYWORDS,
     "load_bytes($module, /, buffer, *, use_tuples=False, stop_gc=False, ignore_extra_data=False,\n"
     "           custom_types=...)\n--\n\n"
     "Decode the whole quarl document in buffer (bytes or bytearray).\n\n"
     "Raises DeserializationError for damaged data, TypeError for a bad option."},
    {"lazy_load_bytes", QUARL_FASTCALL(lazy_load_bytes), METH_FASTCALL | METH_KEYWORDS,
     "lazy_load_bytes($module, /, buffer, path_to_load, *, include_falsy=True, custom_types=...)\n--\n\n"
     "Decode only the value at path_to_load (a list of keys and Idx steps), skipping the rest.\n\n"
     "Raises DeserializationError for a path that leads nowhere or damaged data on the way."},
    {"bytes_check_if_contains", QUARL_FASTCALL(bytes_check_if_contains), METH_FASTCALL | METH_KEYWORDS,
     "bytes_check_if_contains($module, /, buffer, path_to_load, *, include_falsy=True, custom_types=...)\n--\n\n"
     "Whether path_to_load (a list of keys and Idx steps) leads to a value, without decoding it.\n\n"
     "Damaged data on the way gives False; TypeError for a bad option."},
    {"_fast_function", QUARL_FASTCALL(make_fast_function), METH_FASTCALL | METH_KEYWORDS,
     "_fast_function(fallback, name): a native front for pyquarl's function `name` (dumps, loads, get or\n"
     "contains) that runs calls without options natively and passes every other call to fallback"},
    {"raw_decode", QUARL_FASTCALL(raw_decode), METH_FASTCALL | METH_KEYWORDS,
     "decodes the document at an offset of a buffer; returns (value, offset just past it)"},
    {"document_end", QUARL_FASTCALL(document_end), METH_FASTCALL | METH_KEYWORDS,
     "offset just past the document at an offset of a buffer, found without decoding it"},
    {"iter_items", QUARL_FASTCALL(iter_items), METH_FASTCALL | METH_KEYWORDS,
     "iterates over the items of the list or dict at a path, decoding one item per step"},
    {"document_index_new", QUARL_FASTCALL(document_index_new), METH_FASTCALL | METH_KEYWORDS,
     "a position index of a document's buffer, growing to at most cap bytes"},
    {"document_index_lookup", QUARL_FASTCALL(document_index_lookup), METH_FASTCALL | METH_KEYWORDS,
     "looks up a path through a position index: 0 loads, 1 and 2 test (2: falsy values count as absent), "
     "3 describes"},
    {"document_index_info", QUARL_FASTCALL(document_index_info), METH_FASTCALL | METH_KEYWORDS,
     "(bytes used, cap) of a position index, setting the cap first when one is given"},
    {nullptr, nullptr, 0, nullptr},
};

ModuleState& state_of(PyObject* module) noexcept { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

int exec_module(PyObject* module) noexcept {
    ModuleState& state = state_of(module);
    if (!init_module_state(state)) return -1;
    state.item_iterator_type = make_item_iterator_type(module);
    if (state.item_iterator_type == nullptr) return -1;
    state.fast_function_type = make_fast_function_type(module);
    return state.fast_function_type != nullptr ? 0 : -1;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    return traverse_module_state(state_of(module), visit, arg);
}

int clear_module(PyObject* module) noexcept {
    clear_module_state(state_of(module));
    return 0;
}

void free_module(void* module) noexcept { clear_module_state(state_of(static_cast<PyObject*>(module))); }

// Each interpreter gets its own state, and nothing the module shares across
// interpreters is mutable, so interpreters with their own GIL may import it.
// The decoders and encoders rely on the GIL (unlocked dict internals, per-call
// tables), hence Py_MOD_GIL_USED.
PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_pyquarl",
    "Native core of pyquarl: encodes Python values to quarl documents and reads them back.",
    sizeof(ModuleState),
    METHODS,
    SLOTS,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace quarl

extern "C" PyMODINIT_FUNC PyInit__pyquarl() { return PyModuleDef_Init(&quarl::MODULE_DEF); }
