// raw_decode and document_end: one document read from a given offset of a
// buffer that may hold several, for callers that do their own framing.
#include "deserializing/deserialize.hpp"
#include "deserializing/pointer_holders/position_pointer_holder.hpp"
#include "deserializing/pointer_holders/vec_pointer_holder.hpp"
#include "deserializing/skip.hpp"
#include "lib/cached_objects.hpp"
#include "lib/damage_position.hpp"
#include "lib/entry_points.hpp"
#include "lib/input_arguments.hpp"
#include "utils/input_buffer.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

namespace {

struct RawOptions {
    PyObject* data = nullptr;
    PyObject* offset = nullptr;
    bool use_tuples = false;
    bool stop_gc = false;
    LoaderMap loaders;
};

// (data, offset=0) by position or keyword, plus the decoding options when
// `decoding` (document_end takes none).
bool parse_arguments(const char* function, bool decoding, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, RawOptions& options) {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (positional > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 2 positional arguments (%zd given)", function, positional);
        return false;
    }
    if (positional >= 1) options.data = args[0];
    if (positional == 2) options.offset = args[1];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[positional + i];
        PyObject** slot = nullptr;
        if (keyword_is(name, "data")) {
            slot = &options.data;
        } else if (keyword_is(name, "offset")) {
            slot = &options.offset;
        } else if (decoding && keyword_is(name, "use_tuples")) {
            if (!read_flag(value, options.use_tuples)) return false;
            continue;
        } else if (decoding && keyword_is(name, "stop_gc")) {
            if (!read_flag(value, options.stop_gc)) return false;
            continue;
        } else if (decoding && keyword_is(name, "ignore_extra_data")) {
            continue;  // never looks past the document anyway
        } else if (decoding && keyword_is(name, "custom_types")) {
            if (!options.loaders.parse(value)) return false;
            continue;
        } else {
            raise_unexpected_keyword(function, name);
            return false;
        }
        if (*slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, name);
            return false;
        }
        *slot = value;
    }
    if (options.data == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: 'data'", function);
        return false;
    }
    return check_buffer_type(options.data);
}

// The offset argument as a size; ValueError when negative.
bool read_offset(PyObject* value, size_t& out) noexcept {
    if (value == nullptr) {
        out = 0;
        return true;
    }
    const Py_ssize_t offset = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (offset == -1 && PyErr_Occurred()) return false;
    if (offset < 0) {
        to_py_error(msg::NEGATIVE_OFFSET, PyExc_ValueError);
        return false;
    }
    out = static_cast<size_t>(offset);
    return true;
}

// The document at `offset` of `input`, as a reader over it alone; null (with
// the error placed) when it does not start with the marker.
bool open_document(const InputBuffer& input, size_t offset, InputReader& document) {
    const size_t available = offset <= input.size() ? input.size() - offset : 0;
    document = InputReader{input.data() + (offset <= input.size() ? offset : input.size()), available, 0};
    if (available >= DOCUMENT_MARKER_SIZE &&
        std::memcmp(document.data, DOCUMENT_MARKER, DOCUMENT_MARKER_SIZE) == 0) {
        document.position = DOCUMENT_MARKER_SIZE;
        return true;
    }
    to_py_error(msg::MISSING_MARKER, DESERIALIZATION_ERROR);
    place_damage(offset, 0);
    return false;
}

// New reference to the tuple (value, end), stealing `value`.
PyObject* value_and_end(PyObject* value, size_t end) noexcept {
    PyPointer held = PyPointer::steal(value);
    PyPointer position = PyPointer::steal(PyLong_FromSize_t(end));
    if (!position) return nullptr;
    return PyTuple_Pack(2, held.get(), position.get());
}

PyObject* raw_decode_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    RawOptions options;
    size_t offset = 0;
    if (!parse_arguments("raw_decode", true, args, nargsf, kwnames, options) ||
        !read_offset(options.offset, offset)) {
        return nullptr;
    }
    GcPause gc_pause(options.stop_gc);
    InputBuffer input;
    if (!input.open(options.data)) return nullptr;
    InputReader document{};
    if (!open_document(input, offset, document)) return nullptr;

    VecPointerHolder holder;
    DecodeContext<VecPointerHolder> ctx(document.data, document.length, document.position, holder, options.loaders,
                                        options.use_tuples);
    PyObject* value = deserialize_object(ctx);
    if (value == nullptr) {
        place_damage(offset, ctx.in.position < document.length ? ctx.in.position : document.length);
        return nullptr;
    }
    return value_and_end(value, offset + ctx.in.position);
}

PyObject* document_end_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    RawOptions options;
    size_t offset = 0;
    if (!parse_arguments("document_end", false, args, nargsf, kwnames, options) ||
        !read_offset(options.offset, offset)) {
        return nullptr;
    }
    InputBuffer input;
    if (!input.open(options.data)) return nullptr;
    InputReader document{};
    if (!open_document(input, offset, document)) return nullptr;
    // The skipper numbers the strings it passes; nothing here reads them back.
    PositionPointerHolder holder(document.data, document.length);
    if (!skip_object(document, holder)) {
        place_damage(offset, document.position);
        return nullptr;
    }
    return PyLong_FromSize_t(offset + document.position);
}

}  // namespace

PyObject* raw_decode(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_without_cpp_exceptions([&] { return raw_decode_impl(args, nargsf, kwnames); });
}

PyObject* document_end(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_without_cpp_exceptions([&] { return document_end_impl(args, nargsf, kwnames); });
}

}  // namespace quarl
