// The module's functions, each with the fast-call-with-keywords signature.
#pragma once

#include "utils/python.hpp"

namespace quarl {

PyObject* dump_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// Makes the next dump start from the smallest buffer and string table, as the
// first dump of a process does (for tests whose outcome must not depend on order).
PyObject* forget_dump_sizes(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* load_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* lazy_load_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* bytes_check_if_contains(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* raw_decode(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* iter_items(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
// The type of iter_items' iterators for `module` (a new reference), or null with an exception set.
PyObject* document_index_new(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* document_index_lookup(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* document_index_info(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyTypeObject* make_item_iterator_type(PyObject* module) noexcept;
// The same calls with no options (a path given as the call's arguments): the
// fast paths of dumps, loads, get and contains (fast_functions.cpp).
PyObject* dump_plain(PyObject* obj) noexcept;
PyObject* load_plain(PyObject* buffer) noexcept;
PyObject* get_plain(PyObject* buffer, PyObject* const* path, size_t length) noexcept;
PyObject* contains_plain(PyObject* buffer, PyObject* const* path, size_t length) noexcept;
// fast_function(fallback, name): the type of the everyday functions' native fronts.
PyObject* make_fast_function(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyTypeObject* make_fast_function_type(PyObject* module) noexcept;
PyObject* document_end(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quarl
