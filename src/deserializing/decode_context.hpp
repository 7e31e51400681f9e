// What every decoding routine receives, and the declaration of the recursive
// entry `deserialize_object` that container decoders call for nested values.
#pragma once

#include <cstdint>

#include "deserializing/input_reader.hpp"
#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "utils/custom_type_loaders.hpp"
#include "utils/python.hpp"

namespace quarl {

// Elements that occupy no input (packed None lists, rows of a list of empty
// dicts) are the one way a small document could claim a huge result. Their
// memory is bounded per call: a base allowance plus a share per input byte.
inline constexpr uint64_t FREE_ELEMENT_BYTES_BASE = uint64_t{1} << 29;
inline constexpr uint64_t FREE_ELEMENT_BYTES_PER_INPUT_BYTE = 64;

template <PointerHolder Holder>
struct DecodeContext {
    InputReader in;
    Holder& holder;
    const LoaderMap& loaders;
    bool use_tuples;  // full decodes only; lazy reads always build lists
    uint64_t free_element_bytes = FREE_ELEMENT_BYTES_BASE;
    PyThreadState* thread = PyThreadState_Get();  // for the recursion guard

    DecodeContext(const uint8_t* data, size_t length, size_t position, Holder& holder_, const LoaderMap& loaders_,
                  bool use_tuples_) noexcept
        : in{data, length, position},
          holder(holder_),
          loaders(loaders_),
          use_tuples(use_tuples_),
          free_element_bytes(FREE_ELEMENT_BYTES_BASE + FREE_ELEMENT_BYTES_PER_INPUT_BYTE * length) {}

    // Accounts for `count` payload-free elements of `bytes_each` bytes of memory.
    [[nodiscard]] bool charge_free_elements(uint64_t count, uint64_t bytes_each) noexcept {
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(count, bytes_each, &bytes) || bytes > free_element_bytes) [[unlikely]] {
            return corrupted(msg::TOO_MANY_ELEMENTS);
        }
        free_element_bytes -= bytes;
        return true;
    }
};

// Decodes the value at the read position. New reference, or null with an exception set.
template <PointerHolder Holder>
[[nodiscard]] PyObject* deserialize_object(DecodeContext<Holder>& ctx);

// Gives a freshly decoded string (a new reference, or null after a failed
// decode) the next reference number; returns it, or null on failure.
template <PointerHolder Holder>
[[nodiscard]] inline PyObject* numbered(DecodeContext<Holder>& ctx, PyObject* str) noexcept {
    if (str == nullptr || ctx.holder.insert(str)) return str;
    Py_DECREF(str);
    return nullptr;
}

// A new list, or a tuple when the caller asked for tuples, of `n` slots that
// hold None until they are filled: Python code that runs meanwhile (loaders,
// finalizers or gc callbacks run by a collection) may reach the container
// through gc.get_objects(), and must never find an empty slot.
template <PointerHolder Holder>
[[nodiscard]] inline PyObject* new_sequence(const DecodeContext<Holder>& ctx, uint64_t n) noexcept {
    const auto size = static_cast<Py_ssize_t>(n);
    PyObject* sequence = (!Holder::LAZY && ctx.use_tuples) ? PyTuple_New(size) : PyList_New(size);
    if (sequence != nullptr && n != 0) {
        PyObject** items = (!Holder::LAZY && ctx.use_tuples) ? reinterpret_cast<PyTupleObject*>(sequence)->ob_item
                                                             : reinterpret_cast<PyListObject*>(sequence)->ob_item;
        for (Py_ssize_t i = 0; i < size; ++i) items[i] = Py_None;  // immortal: no reference counted
    }
    return sequence;
}

// Stores a new reference in slot `i` of a sequence made by new_sequence.
template <PointerHolder Holder>
inline void set_sequence_item(const DecodeContext<Holder>& ctx, PyObject* sequence, uint64_t i,
                              PyObject* item) noexcept {
    if (!Holder::LAZY && ctx.use_tuples) {
        PyTuple_SET_ITEM(sequence, static_cast<Py_ssize_t>(i), item);
    } else {
        PyList_SET_ITEM(sequence, static_cast<Py_ssize_t>(i), item);
    }
}

}  // namespace quarl
