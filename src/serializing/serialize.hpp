// The encoder's dispatch: exact type tests, most frequent first, then the
// uncommon path for everything else. Include this header only where the
// encoder is instantiated.
#pragma once

#include "serializing/compound_types.hpp"
#include "serializing/primitives.hpp"
#include "serializing/serialize_context.hpp"
#include "serializing/strings.hpp"
#include "serializing/uncommon_types.hpp"

namespace quarl {

template <class Buffer>
bool serialize(PyObject* obj, SerializeContext<Buffer>& ctx) {
    PyTypeObject* const type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return encode_string(obj, ctx);
    if (type == &PyLong_Type) return encode_int(obj, ctx.buffer);
    if (type == &PyDict_Type) return serialize_dict(obj, ctx);
    if (type == &PyList_Type) return serialize_sequence<true>(obj, ctx);
    if (type == &PyBool_Type) return ctx.buffer.push(byte(obj == Py_True ? Flag::True : Flag::False));
    if (type == &PyFloat_Type) return encode_float(obj, ctx.buffer);
    if (obj == Py_None) return ctx.buffer.push(byte(Flag::None));
    if (type == &PyTuple_Type) return serialize_sequence<false>(obj, ctx);
    if (type == &PyBytes_Type) return encode_bytes(obj, ctx.buffer);
    return serialize_uncommon(obj, ctx);
}

// Always inlined: GCC's own choice flips with the size of unrelated code in
// the unit, and a called serialize_item costs the rows of a list of dicts
// about 6% more instructions.
template <class Buffer>
[[gnu::always_inline]] inline bool serialize_item(PyObject* obj, SerializeContext<Buffer>& ctx) {
    if constexpr (!Buffer::RUNS_PYTHON) {
        PyTypeObject* const type = Py_TYPE(obj);
        if (type == &PyUnicode_Type) return encode_string(obj, ctx);
        if (type == &PyLong_Type) return encode_int(obj, ctx.buffer);
        if (type == &PyFloat_Type) return encode_float(obj, ctx.buffer);
        if (type == &PyBool_Type) return ctx.buffer.push(byte(obj == Py_True ? Flag::True : Flag::False));
        if (obj == Py_None) return ctx.buffer.push(byte(Flag::None));
        if (ctx.no_python) return serialize(obj, ctx);
    }
    Py_INCREF(obj);
    const bool ok = serialize(obj, ctx);
    Py_DECREF(obj);
    return ok;
}

}  // namespace quarl
