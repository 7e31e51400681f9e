// The native fronts of dumps, loads, get and contains: a call without options
// runs natively; every other call goes, unchanged, to the Python function the
// front stands for, which stays the one place for options, messages and
// documentation.
#include <cstddef>
#include <cstring>

#include "lib/cached_objects.hpp"
#include "lib/entry_points.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

namespace {

// Which call runs natively: dumps(obj), loads(data), get(data, *path) or contains(data, *path).
enum class Front : uint8_t { Dumps, Loads, Get, Contains };

struct FastFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* fallback;  // the Python function, a strong reference; null once cleared
    ModuleState* state;  // of the module that made the type, which the type keeps alive
    Front front;
};

FastFunction* as_fast(PyObject* object) noexcept { return reinterpret_cast<FastFunction*>(object); }

[[gnu::noinline]] PyObject* call_fallback(FastFunction* self, PyObject* const* args, size_t nargsf,
                                          PyObject* kwnames) noexcept {
    if (self->fallback == nullptr) [[unlikely]] {
        PyErr_SetString(PyExc_ReferenceError, "the function was cleared");
        return nullptr;
    }
    return PyObject_Vectorcall(self->fallback, args, nargsf, kwnames);
}

PyObject* fast_function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) noexcept {
    FastFunction* self = as_fast(callable);
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr || positional == 0) return call_fallback(self, args, nargsf, kwnames);
    // The arguments live as long as the call: the path needs no copy.
    const auto path_length = static_cast<size_t>(positional - 1);
    ModuleStateScope scope(self->state);
    switch (self->front) {
        case Front::Dumps:
            if (positional == 1) return dump_plain(args[0]);
            break;
        case Front::Loads:
            if (positional == 1) return load_plain(args[0]);
            break;
        case Front::Get:
            return get_plain(args[0], args + 1, path_length);
        case Front::Contains:
            return contains_plain(args[0], args + 1, path_length);
    }
    return call_fallback(self, args, nargsf, kwnames);
}

// Bound to an instance when set on a class, as a Python function would be.
PyObject* fast_function_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* fast_function_repr(PyObject* self) noexcept {
    FastFunction* fast = as_fast(self);
    if (fast->fallback == nullptr) return PyUnicode_FromString("<cleared pyquarl function>");
    return PyObject_Repr(fast->fallback);
}

// Pickled by name, as functions are: the name found in its module is this object.
PyObject* fast_function_reduce(PyObject* self, PyObject*) noexcept {
    return PyObject_GetAttrString(self, "__qualname__");
}

int fast_function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_fast(self)->fallback);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int fast_function_clear(PyObject* self) noexcept {
    Py_CLEAR(as_fast(self)->fallback);
    PyObject_ClearManagedDict(self);
    return 0;
}

void fast_function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    (void)fast_function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef FAST_FUNCTION_METHODS[] = {
    {"__reduce__", fast_function_reduce, METH_NOARGS, "pickled by its qualified name"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef FAST_FUNCTION_MEMBERS[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FastFunction, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The dict holds what functools.update_wrapper copies from the Python function.
PyGetSetDef FAST_FUNCTION_GETSET[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot FAST_FUNCTION_SLOTS[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fast_function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(fast_function_repr)},
    {Py_tp_methods, FAST_FUNCTION_METHODS},
    {Py_tp_members, FAST_FUNCTION_MEMBERS},
    {Py_tp_getset, FAST_FUNCTION_GETSET},
    {Py_tp_traverse, reinterpret_cast<void*>(fast_function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(fast_function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(fast_function_dealloc)},
    {Py_tp_doc, const_cast<char*>("A pyquarl function whose calls without options run natively.")},
    {0, nullptr},
};

PyType_Spec FAST_FUNCTION_SPEC = {
    "pyquarl._pyquarl.fast_function",
    sizeof(FastFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_MANAGED_DICT |
        Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    FAST_FUNCTION_SLOTS,
};

struct FrontName {
    const char* name;
    Front front;
};
constexpr FrontName FRONTS[] = {
    {"dumps", Front::Dumps}, {"loads", Front::Loads}, {"get", Front::Get}, {"contains", Front::Contains}};

}  // namespace

PyTypeObject* make_fast_function_type(PyObject* module) noexcept {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &FAST_FUNCTION_SPEC, nullptr));
}

PyObject* make_fast_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 2 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "_fast_function() takes exactly 2 positional arguments");
        return nullptr;
    }
    PyObject* fallback = args[0];
    PyObject* name = args[1];
    if (!PyCallable_Check(fallback)) {
        PyErr_SetString(PyExc_TypeError, "_fast_function() needs a callable");
        return nullptr;
    }
    const FrontName* found = nullptr;
    for (const FrontName& candidate : FRONTS) {
        if (PyUnicode_Check(name) && keyword_is(name, candidate.name)) found = &candidate;
    }
    if (found == nullptr) {
        PyErr_Format(PyExc_ValueError, "_fast_function() has no native front for %R", name);
        return nullptr;
    }
    PyTypeObject* type = FAST_FUNCTION_TYPE;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    FastFunction* self = as_fast(object);
    self->vectorcall = fast_function_vectorcall;
    self->fallback = Py_NewRef(fallback);
    self->state = static_cast<ModuleState*>(PyModule_GetState(module));
    self->front = found->front;
    return object;
}

}  // namespace quarl
