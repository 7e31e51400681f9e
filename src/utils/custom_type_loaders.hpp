// The load side of custom types: identifier -> loader callable, from the
// `custom_types` argument of the decoding functions.
#pragma once

#include "utils/python.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// A private dict copy of the caller's mapping: it owns its keys and loaders,
// so a loader that edits the caller's dict cannot free them mid-decode, and it
// matches identifiers by Python hash and equality.
class LoaderMap {
public:
    // Validates and copies `custom_types`. False with TypeError set when it is
    // not a dict or holds a value that is not callable.
    [[nodiscard]] bool parse(PyObject* custom_types) noexcept;

    // Borrowed loader for `identifier`, or null (no exception set) when there
    // is none or the identifier cannot be looked up (unhashable, say). In that
    // case `lookup_error` receives the lookup's exception, if any.
    [[nodiscard]] PyObject* find(PyObject* identifier, PyPointer& lookup_error) const noexcept;

    // For the garbage collector of an object that keeps the map: its loaders
    // may refer back to that object.
    [[nodiscard]] int traverse(visitproc visit, void* arg) const noexcept {
        Py_VISIT(loaders_.get());
        return 0;
    }

private:
    PyPointer loaders_;
};

}  // namespace quarl
