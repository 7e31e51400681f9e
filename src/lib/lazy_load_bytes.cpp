// lazy_load_bytes and bytes_check_if_contains: shared argument handling, then
// lazy path resolution in load or check mode.
#include <span>
#include <vector>

#include "deserializing/lazy_deserialize.hpp"
#include "lib/cached_objects.hpp"
#include "lib/entry_points.hpp"
#include "lib/input_arguments.hpp"
#include "lib/path_steps.hpp"
#include "utils/input_buffer.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

namespace {

struct LazyOptions {
    PyObject* buffer = nullptr;
    PyObject* path = nullptr;
    bool buffer_by_keyword = false;
    bool path_by_keyword = false;
    bool include_falsy = true;
    LoaderMap loaders;
};

bool parse_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, LazyOptions& options) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[positional + i];
        if (keyword_is(name, "buffer")) {
            if (!check_buffer_type(value)) return false;
            options.buffer = value;
            options.buffer_by_keyword = true;
        } else if (keyword_is(name, "include_falsy")) {
            if (!read_flag(value, options.include_falsy)) return false;
        } else if (keyword_is(name, "path_to_load")) {
            options.path = value;
            options.path_by_keyword = true;
        } else if (keyword_is(name, "custom_types")) {
            if (!options.loaders.parse(value)) return false;
        } else {
            raise_unexpected_keyword("lazy_load_bytes", name);
            return false;
        }
    }

    // Every message names lazy_load_bytes(), whichever function was called.
    auto wrong_count = [positional]() {
        PyErr_Format(PyExc_TypeError,
                     "lazy_load_bytes() expected exactly 2 positional argument, but %zd were provided", positional);
        return false;
    };
    if (options.buffer_by_keyword) {
        if (positional >= 1) {
            PyErr_SetString(PyExc_TypeError, "lazy_load_bytes() got multiple values for argument 'buffer'");
            return false;
        }
        if (!options.path_by_keyword) return wrong_count();
        return true;
    }
    if (positional == 0) {
        PyErr_SetString(PyExc_TypeError, "lazy_load_bytes() missing 1 required positional argument: 'buffer'");
        return false;
    }
    if (options.path_by_keyword) {
        if (positional >= 2) {
            PyErr_SetString(PyExc_TypeError, "lazy_load_bytes() got multiple values for argument 'path_to_load'");
            return false;
        }
    } else if (positional != 2) {
        return wrong_count();
    } else {
        options.path = args[1];
    }
    options.buffer = args[0];
    return check_buffer_type(options.buffer);
}

// Resolves `steps` in `buffer` with the options' loaders and flag.
PyObject* resolve(PyObject* buffer, std::span<const PathStep> steps, LazyOptions& options, LazyMode mode) {
    InputBuffer input;
    if (!input.open(buffer) || !check_marker(input)) return nullptr;
    PositionPointerHolder holder(input.data(), input.size());
    LazyContext ctx(input.data(), input.size(), DOCUMENT_MARKER_SIZE, holder, options.loaders, false);
    return lazy_deserialize(ctx, steps, mode, options.include_falsy);
}

PyObject* call_lazy_load(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, LazyMode mode) {
    LazyOptions options;
    if (!parse_arguments(args, nargsf, kwnames, options)) return nullptr;
    std::vector<PathStep> steps;
    std::vector<PyPointer> owned_keys;
    if (!build_steps(options.path, steps, owned_keys)) return nullptr;
    return resolve(options.buffer, steps, options, mode);
}

// A path given as the call's own arguments: they live as long as the call,
// so its keys need no references, and a short path needs no allocation.
PyObject* call_lazy_plain(PyObject* buffer, PyObject* const* path, size_t length, LazyMode mode) {
    if (!check_buffer_type(buffer)) return nullptr;
    constexpr size_t SHORT_PATH = 8;
    PathStep short_steps[SHORT_PATH];
    std::vector<PathStep> long_steps(length > SHORT_PATH ? length : 0);
    PathStep* steps = length > SHORT_PATH ? long_steps.data() : short_steps;
    for (size_t i = 0; i < length; ++i) {
        if (!path_step(path[i], steps[i])) return nullptr;
    }
    LazyOptions options;
    return resolve(buffer, std::span<const PathStep>(steps, length), options, mode);
}

// A path that does not resolve, or data that cannot be read, is "not contained".
PyObject* false_when_not_found(PyObject* result) noexcept {
    if (result == nullptr && PyErr_ExceptionMatches(DESERIALIZATION_ERROR)) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    return result;
}

}  // namespace

PyObject* lazy_load_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_without_cpp_exceptions([&] { return call_lazy_load(args, nargsf, kwnames, LazyMode::Load); });
}

PyObject* bytes_check_if_contains(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return false_when_not_found(
        call_without_cpp_exceptions([&] { return call_lazy_load(args, nargsf, kwnames, LazyMode::Check); }));
}

PyObject* get_plain(PyObject* buffer, PyObject* const* path, size_t length) noexcept {
    return call_without_cpp_exceptions([&] { return call_lazy_plain(buffer, path, length, LazyMode::Load); });
}

PyObject* contains_plain(PyObject* buffer, PyObject* const* path, size_t length) noexcept {
    return false_when_not_found(
        call_without_cpp_exceptions([&] { return call_lazy_plain(buffer, path, length, LazyMode::Check); }));
}

}  // namespace quarl
