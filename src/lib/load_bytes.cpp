// load_bytes: argument handling, then a full decode of the document.
#include "deserializing/deserialize.hpp"
#include "deserializing/pointer_holders/vec_pointer_holder.hpp"
#include "lib/cached_objects.hpp"
#include "lib/entry_points.hpp"
#include "lib/input_arguments.hpp"
#include "utils/input_buffer.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

namespace {

struct LoadOptions {
    PyObject* buffer = nullptr;
    bool buffer_by_keyword = false;
    bool use_tuples = false;
    bool stop_gc = false;
    bool ignore_extra_data = false;
    LoaderMap loaders;
};

bool parse_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, LoadOptions& options) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[positional + i];
        if (keyword_is(name, "buffer")) {
            if (!check_buffer_type(value)) return false;
            options.buffer = value;
            options.buffer_by_keyword = true;
        } else if (keyword_is(name, "use_tuples")) {
            if (!read_flag(value, options.use_tuples)) return false;
        } else if (keyword_is(name, "stop_gc")) {
            if (!read_flag(value, options.stop_gc)) return false;
        } else if (keyword_is(name, "ignore_extra_data")) {
            if (!read_flag(value, options.ignore_extra_data)) return false;
        } else if (keyword_is(name, "custom_types")) {
            if (!options.loaders.parse(value)) return false;
        } else {
            raise_unexpected_keyword("load_bytes", name);
            return false;
        }
    }
    if (options.buffer_by_keyword) {
        if (positional != 0) {
            PyErr_SetString(PyExc_TypeError, "load_bytes() got multiple values for argument 'buffer'");
            return false;
        }
        return true;
    }
    if (positional != 1) {
        PyErr_Format(PyExc_TypeError, "load_bytes() expected exactly 1 positional argument, but %zd were provided",
                     positional);
        return false;
    }
    options.buffer = args[0];
    return check_buffer_type(options.buffer);
}

PyObject* load(LoadOptions& options) {
    GcPause gc_pause(options.stop_gc);
    InputBuffer input;
    if (!input.open(options.buffer) || !check_marker(input)) return nullptr;

    VecPointerHolder holder;
    DecodeContext<VecPointerHolder> ctx(input.data(), input.size(), DOCUMENT_MARKER_SIZE, holder, options.loaders,
                                        options.use_tuples);
    PyPointer value = PyPointer::steal(deserialize_object(ctx));
    if (!value) return nullptr;
    if (!options.ignore_extra_data && ctx.in.position != input.size()) {
        PyErr_Format(DESERIALIZATION_ERROR, msg::EXTRA_DATA, ctx.in.position);
        return nullptr;
    }
    return value.release();
}

}  // namespace

PyObject* load_plain(PyObject* buffer) noexcept {
    return call_without_cpp_exceptions([&]() -> PyObject* {
        LoadOptions options;
        options.buffer = buffer;
        return check_buffer_type(buffer) ? load(options) : nullptr;
    });
}

PyObject* load_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_without_cpp_exceptions([&]() -> PyObject* {
        LoadOptions options;
        if (!parse_arguments(args, nargsf, kwnames, options)) return nullptr;
        return load(options);
    });
}

}  // namespace quarl
