// dump_bytes: argument handling, then the encoder over an in-memory or a
// streaming buffer.
#include <atomic>

#include "lib/cached_objects.hpp"
#include "lib/entry_points.hpp"
#include "serializing/py_bytes_buffer.hpp"
#include "serializing/serialize.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

namespace {

constexpr uint64_t DEFAULT_FLUSH_THRESHOLD = 10 * 1024 * 1024;
constexpr uint64_t DEFAULT_DIRECT_WRITE_THRESHOLD = 5 * 1024 * 1024;

// Documents dumped one after another are often alike: the output buffer and
// the string table of a dump grow at once towards what the last one needed.
std::atomic<size_t> last_document_size{0};
std::atomic<size_t> last_table_size{0};

struct DumpOptions {
    PyObject* obj = nullptr;
    bool obj_by_keyword = false;
    PyObject* writer = nullptr;
    uint64_t flush_threshold = DEFAULT_FLUSH_THRESHOLD;
    uint64_t direct_write_threshold = DEFAULT_DIRECT_WRITE_THRESHOLD;
    SerializeSettings settings;
};

// An unsigned 64-bit threshold; any int from 0 to 2**64 - 1 (bool included).
bool parse_threshold(PyObject* value, const char* name, uint64_t& out) {
    if (PyNumber_Check(value) != 1) {
        PyErr_Format(PyExc_TypeError, "Expected %s to be of type `int` but got `%R`", name,
                     reinterpret_cast<PyObject*>(Py_TYPE(value)));
        return false;
    }
    // Objects with __index__ (numpy integers, say) count as ints; floats do not.
    PyPointer index = PyPointer::steal(PyNumber_Index(value));
    const size_t converted = index ? PyLong_AsSize_t(index.get()) : static_cast<size_t>(-1);
    if (converted == static_cast<size_t>(-1) && PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "Expected %s to be a positive integer smaller than 2**%d (max: %zu)", name, 64,
                     static_cast<size_t>(-1));
        return false;
    }
    out = converted;
    return true;
}

// The fallback hook: a callable, or None for none.
bool parse_default_hook(PyObject* value, PyPointer& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    if (!PyCallable_Check(value)) {
        to_py_error(msg::DEFAULT_NOT_CALLABLE, PyExc_TypeError);
        return false;
    }
    out = PyPointer::borrow(value);
    return true;
}

bool parse_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, DumpOptions& options) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[positional + i];
        if (keyword_is(name, "obj")) {
            options.obj = value;
            options.obj_by_keyword = true;
        } else if (keyword_is(name, "allow_non_string_keys")) {
            // Accepted for compatibility: dicts with non-str keys are always encoded.
        } else if (keyword_is(name, "serialize_dates")) {
            if (!read_flag(value, options.settings.serialize_dates)) return false;
        } else if (keyword_is(name, "writer")) {
            options.writer = value;
        } else if (keyword_is(name, "flush_threshold")) {
            if (!parse_threshold(value, "flush_threshold", options.flush_threshold)) return false;
        } else if (keyword_is(name, "direct_write_threshold")) {
            if (!parse_threshold(value, "direct_write_threshold", options.direct_write_threshold)) return false;
        } else if (keyword_is(name, "custom_types")) {
            if (!options.settings.custom_types.parse(value)) return false;
        } else if (keyword_is(name, "default")) {
            if (!parse_default_hook(value, options.settings.default_hook)) return false;
        } else if (keyword_is(name, "subclasses_as_base")) {
            if (!read_flag(value, options.settings.subclasses_as_base)) return false;
        } else {
            raise_unexpected_keyword("dump_bytes", name);
            return false;
        }
    }
    if (options.obj_by_keyword) {
        if (positional != 0) {
            PyErr_SetString(PyExc_TypeError, "dump_bytes() got multiple values for argument 'obj'");
            return false;
        }
    } else if (positional != 1) {
        PyErr_Format(PyExc_TypeError, "dump_bytes() expected exactly 1 positional argument, but %zd were provided",
                     positional);
        return false;
    } else {
        options.obj = args[0];
    }
    return true;
}

PyObject* dump_to_bytes(const DumpOptions& options) {
    // With no Python code run, no string can be freed while the table lives.
    SerializingStringCache cache(/*owns_keys=*/!SerializeContext<RawBytesBuffer>::runs_no_python(options.settings),
                                 last_table_size.load(std::memory_order_relaxed));
    RawBytesBuffer buffer(last_document_size.load(std::memory_order_relaxed));
    buffer.init_small();
    if (!buffer.extend(DOCUMENT_MARKER, DOCUMENT_MARKER_SIZE)) return nullptr;
    SerializeContext<RawBytesBuffer> ctx{buffer, cache, options.settings};
    if (!serialize(options.obj, ctx)) return nullptr;
    last_document_size.store(buffer.size(), std::memory_order_relaxed);
    last_table_size.store(cache.capacity(), std::memory_order_relaxed);
    return buffer.finish_bytes();
}

PyObject* dump_to_writer(const DumpOptions& options) {
    PyPointer writer = PyPointer::borrow(options.writer);
    SerializingStringCache cache(/*owns_keys=*/true, last_table_size.load(std::memory_order_relaxed));
    FilePyBytesBuffer buffer(writer.get(), options.flush_threshold, options.direct_write_threshold);
    if (!buffer.init() || !buffer.extend(DOCUMENT_MARKER, DOCUMENT_MARKER_SIZE)) return nullptr;
    SerializeContext<FilePyBytesBuffer> ctx{buffer, cache, options.settings};
    if (!serialize(options.obj, ctx) || !buffer.finish()) return nullptr;
    last_table_size.store(cache.capacity(), std::memory_order_relaxed);
    Py_RETURN_NONE;
}

}  // namespace

PyObject* forget_dump_sizes(PyObject*, PyObject* const*, Py_ssize_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "_forget_dump_sizes() takes no arguments");
        return nullptr;
    }
    last_document_size.store(0, std::memory_order_relaxed);
    last_table_size.store(0, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyObject* dump_plain(PyObject* obj) noexcept {
    return call_without_cpp_exceptions([&]() -> PyObject* {
        DumpOptions options;
        options.obj = obj;
        return dump_to_bytes(options);
    });
}

PyObject* dump_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_without_cpp_exceptions([&]() -> PyObject* {
        DumpOptions options;
        if (!parse_arguments(args, nargsf, kwnames, options)) return nullptr;
        return options.writer != nullptr ? dump_to_writer(options) : dump_to_bytes(options);
    });
}

}  // namespace quarl
