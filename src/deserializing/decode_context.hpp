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
    // Bytes of the rest of the input that the open containers' values not yet
    // started will take at the least (one each; a dict entry is two values).
    // The skipper keeps the same account, so both refuse a claim at the same byte.
    // Containers are allocated at their claimed size only when the claim fits
    // beside these: however deep the nesting, the slots allocated and not yet
    // filled never outnumber the bytes left to fill them.
    uint64_t reserved = 0;
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
            return corrupted(msg::TOO_MANY_ELEMENTS, in.position);
        }
        free_element_bytes -= bytes;
        return true;
    }

    // The input not yet reserved for items of open containers.
    [[nodiscard]] uint64_t unreserved() const noexcept {
        const uint64_t remaining = in.remaining();
        return remaining > reserved ? remaining - reserved : 0;
    }

    // Checks that `count` items of at least `min_bytes` each fit in the
    // unreserved input; `at` is where the count was read, for the error.
    [[nodiscard]] bool fits(uint64_t count, uint64_t min_bytes, size_t at) const noexcept {
        if (count > unreserved() / min_bytes) [[unlikely]] return end_of_input(at);
        return true;
    }

    // Reserves `bytes` for the items of a container being opened (after fits()).
    void reserve(uint64_t bytes) noexcept { reserved += bytes; }

    // A value of an open container starts: the bytes reserved for it are its own.
    void start_item(uint64_t bytes) noexcept { reserved -= bytes; }
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

// A new list, or a tuple when the caller asked for tuples, of `n` empty
// slots, kept out of the garbage collector's lists until finish_sequence():
// Python code that runs meanwhile (loaders, finalizers or gc callbacks run by
// a collection) must not find it through gc.get_objects() and resize it under
// the stores below. (The collector itself is safe either way: an untracked
// container's items count as referenced from outside.)
template <PointerHolder Holder>
[[nodiscard]] inline PyObject* new_sequence(const DecodeContext<Holder>& ctx, uint64_t n) noexcept {
    const auto size = static_cast<Py_ssize_t>(n);
    PyObject* sequence = (!Holder::LAZY && ctx.use_tuples) ? PyTuple_New(size) : PyList_New(size);
    // (Empty ones may be the interpreter's shared empty tuple: left alone.)
    if (sequence != nullptr && n != 0) PyObject_GC_UnTrack(sequence);
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

// Hands over a filled sequence made by new_sequence: the collector tracks it
// from now on. Returns it.
[[nodiscard]] inline PyObject* finish_sequence(PyObject* sequence) noexcept {
    if (Py_SIZE(sequence) != 0) PyObject_GC_Track(sequence);
    return sequence;
}

// Whether the collector may need to see `object`'s referrers: true for every
// instance of a collected type (a flag test, where PyObject_IS_GC is a call;
// the few it overstates only cost a tracked dict).
[[nodiscard]] inline bool is_collected_type(PyObject* object) noexcept { return PyType_IS_GC(Py_TYPE(object)); }

// Keeps a dict being filled out of the collector's lists, as new_sequence
// does for sequences: inserting a container would have the dict tracked.
class DictUnderConstruction {
public:
    // After `key` and `value` went into `dict`.
    void inserted(PyObject* dict, PyObject* key, PyObject* value) noexcept {
        if (is_collected_type(value) || is_collected_type(key)) {
            PyObject_GC_UnTrack(dict);
            needs_tracking_ = true;
        }
    }
    // Hands over the filled dict, tracked when its contents need it. Returns it.
    [[nodiscard]] PyObject* finish(PyObject* dict) const noexcept {
        if (needs_tracking_) PyObject_GC_Track(dict);
        return dict;
    }

private:
    bool needs_tracking_ = false;
};

}  // namespace quarl
