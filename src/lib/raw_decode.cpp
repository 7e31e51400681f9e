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
    PyObject* leading[2] = {nullptr, nullptr};  // data, offset
    bool use_tuples = false;
    bool stop_gc = false;
    LoaderMap loaders;
};

constexpr const char* LEADING_NAMES[2] = {"data", "offset"};

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

// The document at an offset of a buffer, as a reader over it alone, just
// past its marker.
struct Document {
    InputBuffer input;
    InputReader reader{};
    size_t offset = 0;

    // False with the error set (and placed at the offset when the marker is missing).
    [[nodiscard]] bool open(const RawOptions& options) {
        if (!read_offset(options.leading[1], offset) || !input.open(options.leading[0])) return false;
        const size_t start = offset <= input.size() ? offset : input.size();
        reader = InputReader{input.data() + start, input.size() - start, 0};
        if (reader.length >= DOCUMENT_MARKER_SIZE &&
            std::memcmp(reader.data, DOCUMENT_MARKER, DOCUMENT_MARKER_SIZE) == 0) {
            reader.position = DOCUMENT_MARKER_SIZE;
            return true;
        }
        raise_at(DESERIALIZATION_ERROR, PyUnicode_FromString(msg::MISSING_MARKER), 0);
        place_damage(offset);
        return false;
    }
};

// New reference to the tuple (value, end), stealing `value`.
PyObject* value_and_end(PyObject* value, size_t end) noexcept {
    PyPointer held = PyPointer::steal(value);
    PyPointer position = PyPointer::steal(PyLong_FromSize_t(end));
    if (!position) return nullptr;
    return PyTuple_Pack(2, held.get(), position.get());
}

PyObject* raw_decode_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    RawOptions options;
    const bool parsed = parse_leading_arguments(
        "raw_decode", LEADING_NAMES, options.leading, args, nargsf, kwnames, [&](PyObject* name, PyObject* value) {
            bool ok = true;
            if (keyword_is(name, "use_tuples")) {
                ok = read_flag(value, options.use_tuples);
            } else if (keyword_is(name, "stop_gc")) {
                ok = read_flag(value, options.stop_gc);
            } else if (keyword_is(name, "custom_types")) {
                ok = options.loaders.parse(value);
            } else if (!keyword_is(name, "ignore_extra_data")) {  // never looks past the document anyway
                return Keyword::Unknown;
            }
            return ok ? Keyword::Taken : Keyword::Failed;
        });
    if (!parsed) return nullptr;
    GcPause gc_pause(options.stop_gc);
    Document document;
    if (!document.open(options)) return nullptr;

    VecPointerHolder holder;
    const InputReader& in = document.reader;
    DecodeContext<VecPointerHolder> ctx(in.data, in.length, in.position, holder, options.loaders, options.use_tuples);
    PyObject* value = deserialize_object(ctx);
    if (value == nullptr) {
        place_damage(document.offset);
        return nullptr;
    }
    return value_and_end(value, document.offset + ctx.in.position);
}

PyObject* document_end_impl(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    RawOptions options;
    if (!parse_leading_arguments("document_end", LEADING_NAMES, options.leading, args, nargsf, kwnames,
                                 [](PyObject*, PyObject*) { return Keyword::Unknown; })) {
        return nullptr;
    }
    Document document;
    if (!document.open(options)) return nullptr;
    // The skipper numbers the strings it passes; nothing here reads them back.
    InputReader& in = document.reader;
    PositionPointerHolder holder(in.data, in.length);
    if (!skip_object(in, holder)) {
        place_damage(document.offset);
        return nullptr;
    }
    return PyLong_FromSize_t(document.offset + in.position);
}

}  // namespace

PyObject* raw_decode(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_without_cpp_exceptions([&] { return raw_decode_impl(args, nargsf, kwnames); });
}

PyObject* document_end(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_without_cpp_exceptions([&] { return document_end_impl(args, nargsf, kwnames); });
}

}  // namespace quarl
