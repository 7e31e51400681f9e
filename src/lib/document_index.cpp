// The native side of a Document's position index: the index lives in a
// capsule that the Document keeps beside the buffer it reads.
#include <new>
#include <vector>

#include "deserializing/position_index.hpp"
#include "lib/cached_objects.hpp"
#include "lib/entry_points.hpp"
#include "lib/input_arguments.hpp"
#include "lib/path_steps.hpp"
#include "utils/input_buffer.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

namespace {

constexpr const char* CAPSULE_NAME = "pyquarl.PositionIndex";

// What a lookup asks: the value, whether the path holds one (falsy values
// counted or not), or what navigation shows of it.
// Or (Expect) which dict keys the next lookups ask for: `path` lists them.
enum class Ask : long { Load = 0, Contains = 1, ContainsTruthy = 2, Describe = 3, Expect = 4 };

void free_index(PyObject* capsule) noexcept {
    delete static_cast<PositionIndex*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
}

PositionIndex* index_of(PyObject* capsule) noexcept {
    return static_cast<PositionIndex*>(PyCapsule_GetPointer(capsule, CAPSULE_NAME));
}

bool positional_only(const char* function, Py_ssize_t nargsf, PyObject* kwnames, Py_ssize_t low, Py_ssize_t high) {
    const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", function);
        return false;
    }
    if (count < low || count > high) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd to %zd arguments (%zd given)", function, low, high, count);
        return false;
    }
    return true;
}

bool read_size_argument(PyObject* value, size_t& out) {
    const size_t size = PyLong_AsSize_t(value);
    if (size == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
    out = size;
    return true;
}

PyObject* lookup(PositionIndex& index, const InputBuffer& input, PyObject* path, Ask ask, const LoaderMap& loaders) {
    std::vector<PathStep> steps;
    std::vector<PyPointer> owned_keys;
    if (!build_steps(path, steps, owned_keys)) return nullptr;
    if (!check_marker(input)) return nullptr;
    const LazyMode mode = ask == Ask::Load ? LazyMode::Load : ask == Ask::Describe ? LazyMode::Locate : LazyMode::Check;
    if (!index.busy()) {
        if (ask == Ask::Describe) return index.describe(steps, loaders);
        return index.resolve(steps, mode, ask != Ask::ContainsTruthy, loaders);
    }
    // Python code run by this lookup's caller (a key's __eq__) looked up again:
    // that lookup walks without the index, which is in use.
    if (ask == Ask::Describe) {
        PyErr_SetString(PyExc_RuntimeError, "a document cannot be navigated while it is being read");
        return nullptr;
    }
    PositionPointerHolder holder(input.data(), input.size());
    LazyContext ctx(input.data(), input.size(), DOCUMENT_MARKER_SIZE, holder, loaders, false);
    return lazy_deserialize(ctx, steps, mode, ask != Ask::ContainsTruthy);
}

}  // namespace

// document_index_new(buffer, cap[, fingerprint_bits]): an empty index of the
// bytes of `buffer`; tests narrow its dict keys' fingerprints to make them collide.
PyObject* document_index_new(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_without_cpp_exceptions([&]() -> PyObject* {
        if (!positional_only("document_index_new", nargsf, kwnames, 2, 3)) return nullptr;
        size_t cap = 0;
        if (!read_size_argument(args[1], cap)) return nullptr;
        size_t bits = PositionIndex::FINGERPRINT_BITS;
        if (PyVectorcall_NARGS(nargsf) == 3 && !read_size_argument(args[2], bits)) return nullptr;
        if (bits > PositionIndex::FINGERPRINT_BITS) {
            PyErr_SetString(PyExc_ValueError, "fingerprint_bits is too large");
            return nullptr;
        }
        InputBuffer input;
        if (!InputBuffer::accepts(args[0])) {
            PyErr_SetString(PyExc_TypeError, "document_index_new() needs a buffer");
            return nullptr;
        }
        if (!input.open(args[0])) return nullptr;
        auto* index = new PositionIndex(input.data(), input.size(), cap);
        index->narrow_fingerprints(static_cast<unsigned>(bits));
        PyObject* capsule = PyCapsule_New(index, CAPSULE_NAME, free_index);
        if (capsule == nullptr) delete index;
        return capsule;
    });
}

// document_index_lookup(index, buffer, path, ask[, custom_types]): the buffer
// must be the one the index was made for, still exported by its document.
PyObject* document_index_lookup(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* result = call_without_cpp_exceptions([&]() -> PyObject* {
        if (!positional_only("document_index_lookup", nargsf, kwnames, 4, 5)) return nullptr;
        LoaderMap loaders;
        if (PyVectorcall_NARGS(nargsf) == 5 && args[4] != Py_None && !loaders.parse(args[4])) return nullptr;
        PositionIndex* index = index_of(args[0]);
        if (index == nullptr) return nullptr;
        const long ask = PyLong_AsLong(args[3]);
        if (ask == -1 && PyErr_Occurred()) return nullptr;
        if (ask < 0 || ask > 4) {
            PyErr_SetString(PyExc_ValueError, "unknown lookup");
            return nullptr;
        }
        InputBuffer input;
        if (!InputBuffer::accepts(args[1]) || !input.open(args[1])) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "document_index_lookup() needs a buffer");
            return nullptr;
        }
        if (input.data() != index->data() || input.size() != index->length()) {
            PyErr_SetString(PyExc_ValueError, "the buffer is not the one indexed");
            return nullptr;
        }
        if (static_cast<Ask>(ask) == Ask::Expect) {
            if (!PyList_CheckExact(args[2])) {
                PyErr_SetString(PyExc_TypeError, "expected keys come as a list");
                return nullptr;
            }
            if (!index->busy()) index->expect_keys(args[2]);  // (a lookup running now keeps its own)
            Py_RETURN_NONE;
        }
        return lookup(*index, input, args[2], static_cast<Ask>(ask), loaders);
    });
    if (result == nullptr && PyLong_Check(args[3]) && (PyLong_AsLong(args[3]) == 1 || PyLong_AsLong(args[3]) == 2) &&
        PyErr_ExceptionMatches(DESERIALIZATION_ERROR)) {
        // As bytes_check_if_contains: a path that does not resolve is "not contained".
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    return result;
}

// document_index_info(index[, cap]): (bytes used, cap), setting the cap first when given.
PyObject* document_index_info(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    if (!positional_only("document_index_info", nargsf, kwnames, 1, 2)) return nullptr;
    PositionIndex* index = index_of(args[0]);
    if (index == nullptr) return nullptr;
    if (PyVectorcall_NARGS(nargsf) == 2) {
        size_t cap = 0;
        if (!read_size_argument(args[1], cap)) return nullptr;
        index->set_cap(cap);
    }
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(index->memory()), static_cast<Py_ssize_t>(index->cap()));
}

}  // namespace quarl
