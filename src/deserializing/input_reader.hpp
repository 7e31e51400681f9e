// The decoders' one bounds-checked reader: every byte of a document is read
// through it, and it is the one place that reports truncated input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/cached_objects.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

// Raises `exception_class(message, pos)`: a damaged-data error that knows the
// offset (from the start of the document, marker included) where the damage
// was found. Returns false.
[[gnu::cold]] inline bool raise_at(PyObject* exception_class, PyObject* message, size_t pos) noexcept {
    if (message == nullptr) return false;
    PyObject* error = PyObject_CallFunction(exception_class, "Nn", message, static_cast<Py_ssize_t>(pos));
    if (error != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        Py_DECREF(error);
    }
    return false;
}

// The damaged-data errors, one raiser per condition, each with the offset
// where the damage was found. Every reader raises these and no others, so a
// full decode and a lazy read report the same bytes the same way. Each
// returns false.

// DeserializationError "Unexpected end of input": a read ran past the end, or
// a count claims more than the rest of the input can hold (`pos`: the count).
[[gnu::cold]] inline bool end_of_input(size_t pos) noexcept {
    return raise_at(DESERIALIZATION_ERROR, PyUnicode_FromString(msg::END_OF_INPUT), pos);
}

// CorruptDataError "Unexpected flag": no value starts with the byte at `pos`.
[[gnu::cold]] inline bool unexpected_flag(size_t pos) noexcept {
    return raise_at(CORRUPT_DATA_ERROR, PyUnicode_FromString(msg::UNEXPECTED_FLAG), pos);
}

// CorruptDataError "Unexpected consistent list type": the byte at `pos` is no
// element type of a typed list.
[[gnu::cold]] inline bool unknown_element_type(size_t pos) noexcept {
    return raise_at(CORRUPT_DATA_ERROR, PyUnicode_FromString(msg::UNEXPECTED_LIST_TYPE), pos);
}

// DeserializationError "Corrupted data": the back-reference at `pos` names a
// string that has not been met.
[[gnu::cold]] inline bool bad_reference(size_t pos) noexcept {
    return raise_at(DESERIALIZATION_ERROR, PyUnicode_FromString(msg::CORRUPTED), pos);
}

// DeserializationError with `message`, for damage the bytes' layout does not
// show (invalid text, too many payload-free elements, a list of no rows).
[[gnu::cold]] inline bool corrupted(const char* message, size_t pos) noexcept {
    return raise_at(DESERIALIZATION_ERROR, PyUnicode_FromString(message), pos);
}

// The same without an offset, for the text checks that see the payload
// alone; the reader that called them places the error (place_pending_damage).
[[gnu::cold]] inline bool corrupted(const char* message) noexcept {
    to_py_error(message, DESERIALIZATION_ERROR);
    return false;
}

// Gives the pending DeserializationError the offset `pos` unless it has one.
[[gnu::cold]] [[gnu::noinline]] inline void place_pending_damage(size_t pos) noexcept {
    if (!PyErr_ExceptionMatches(DESERIALIZATION_ERROR)) return;
    PyObject* error = PyErr_GetRaisedException();
    PyObject* old = PyObject_GetAttrString(error, "pos");
    if (old == Py_None) {
        PyObject* value = PyLong_FromSize_t(pos);
        if (value == nullptr || PyObject_SetAttrString(error, "pos", value) != 0) PyErr_Clear();
        Py_XDECREF(value);
    } else if (old == nullptr) {
        PyErr_Clear();
    }
    Py_XDECREF(old);
    PyErr_SetRaisedException(error);
}

// `result`, after placing the pending error at `pos` when it is null.
[[nodiscard]] inline PyObject* placed(PyObject* result, size_t pos) noexcept {
    if (result == nullptr) [[unlikely]] place_pending_damage(pos);
    return result;
}

[[gnu::cold]] inline bool size_field_failed(ReadStatus status, size_t start) noexcept {
    if (status == ReadStatus::Overflow) {
        return raise_at(DESERIALIZATION_ERROR, PyUnicode_FromString(msg::SIZE_OVERFLOW), start);
    }
    return end_of_input(start);
}

struct InputReader {
    const uint8_t* data;
    size_t length;
    size_t position;

    [[nodiscard]] size_t remaining() const noexcept { return length - position; }

    [[nodiscard]] bool read_byte(uint8_t& out) noexcept {
        if (position >= length) [[unlikely]] return end_of_input(position);
        out = data[position++];
        return true;
    }

    [[nodiscard]] bool peek_byte(uint8_t& out) const noexcept {
        if (position >= length) [[unlikely]] return end_of_input(position);
        out = data[position];
        return true;
    }

    template <SizeForm Form = SizeForm::Value>
    [[nodiscard]] bool read_size(uint64_t& out) noexcept {
        if (position < length && data[position] != SIZE_ESCAPE) [[likely]] {
            out = data[position++];
            return true;
        }
        const size_t start = position;
        const ReadStatus status = read_size_field<Form>(data, length, position, out);
        return status == ReadStatus::Ok || size_field_failed(status, start);
    }

    // Takes the next `n` bytes.
    [[nodiscard]] bool take(uint64_t n, const uint8_t*& out) noexcept {
        if (n > remaining()) [[unlikely]] return end_of_input(position);
        out = data + position;
        position += static_cast<size_t>(n);
        return true;
    }

    // An unsigned big-endian number of `width` (1 to 8) bytes.
    [[nodiscard]] bool read_big_endian(unsigned width, uint64_t& out) noexcept {
        if (width > remaining()) [[unlikely]] return end_of_input(position);
        uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i) value = (value << 8) | data[position + i];
        position += width;
        out = value;
        return true;
    }

    [[nodiscard]] bool read_f64(double& out) noexcept {
        if (remaining() < 8) [[unlikely]] return end_of_input(position);
        uint64_t bits = 0;
        std::memcpy(&bits, data + position, 8);
        bits = __builtin_bswap64(bits);
        std::memcpy(&out, &bits, 8);
        position += 8;
        return true;
    }
};

}  // namespace quarl
