// Encoders of lists, tuples, dicts and lists of like dicts.
//
// Python code can run in the middle of these walks (converters, isoformat, a
// streaming writer), so each container's size is checked again after every
// item, and items are held while they are encoded.
#pragma once

#include <vector>

#include "serializing/serialize_context.hpp"
#include "serializing/strings.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

template <bool IsList>
[[nodiscard]] inline PyObject** sequence_items(PyObject* sequence) noexcept {
    if constexpr (IsList) {
        return reinterpret_cast<PyListObject*>(sequence)->ob_item;
    } else {
        return reinterpret_cast<PyTupleObject*>(sequence)->ob_item;
    }
}

// A list that changed size under us; tuples cannot.
template <bool IsList>
[[nodiscard]] inline bool sequence_changed(PyObject* sequence, Py_ssize_t expected) noexcept {
    if constexpr (IsList) {
        if (PyList_GET_SIZE(sequence) != expected) [[unlikely]] {
            to_py_error(msg::LIST_CHANGED, PyExc_RuntimeError);
            return true;
        }
    }
    (void)sequence;
    (void)expected;
    return false;
}

// ---- lists of like dicts -------------------------------------------------

enum class StructuredResult { Declined, Done, Failed };

// The key map of a candidate structured list: each key of the first dict
// (all exact str) with its column. False when a key is not an exact str.
[[nodiscard]] inline bool get_dict_keys(PyObject* dict, StrNumberTable& columns, bool& failed) noexcept {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        uint64_t column = 0;
        bool found = false;
        if (!columns.find_or_insert(key, str_hash(key), column, found)) {
            failed = true;
            return false;
        }
    }
    return true;
}

// True when `dict` has exactly the keys of `columns`.
[[nodiscard]] inline bool compare_dict_keys(PyObject* dict, const StrNumberTable& columns) noexcept {
    if (static_cast<uint64_t>(PyDict_GET_SIZE(dict)) != columns.size()) return false;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || columns.find(key, str_hash(key)) < 0) return false;
    }
    return true;
}

// A row whose keys changed while earlier values were written (by Python code
// run meanwhile): failing is the only way not to write a value into the wrong column.
[[nodiscard]] inline StructuredResult row_changed() noexcept {
    to_py_error(msg::ROW_KEYS_CHANGED, SERIALIZATION_ERROR);
    return StructuredResult::Failed;
}

// Writes a list or tuple of n >= 2 exact dicts as one key row plus value rows
// when all share one set of exact-str keys; declines (writing nothing) otherwise.
template <bool IsList, class Buffer>
[[nodiscard]] StructuredResult encode_structured_list(PyObject* sequence, Py_ssize_t n, SerializeContext<Buffer>& ctx) {
    // The decision is made before anything is written or any Python code runs.
    StrNumberTable columns;
    bool failed = false;
    PyObject* first = sequence_items<IsList>(sequence)[0];
    if (!get_dict_keys(first, columns, failed)) return failed ? StructuredResult::Failed : StructuredResult::Declined;
    for (Py_ssize_t i = 1; i < n; ++i) {
        if (!compare_dict_keys(sequence_items<IsList>(sequence)[i], columns)) return StructuredResult::Declined;
    }
    const uint64_t width = columns.size();
    Buffer& buffer = ctx.buffer;
    if (!buffer.push(byte(Flag::StructuredList)) ||
        !buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n)) ||
        !buffer.template push_size<SizeForm::Value>(width)) {
        return StructuredResult::Failed;
    }

    // First row: keys and values alternate, in the dict's order, which fixes the columns.
    {
        PyPointer row = PyPointer::borrow(first);
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        uint64_t column = 0;
        while (PyDict_Next(row.get(), &position, &key, &value)) {
            if (column >= width || !PyUnicode_CheckExact(key) ||
                columns.find(key, str_hash(key)) != static_cast<int64_t>(column)) {
                return row_changed();
            }
            PyPointer held_value = PyPointer::borrow(value);
            if (!encode_string(key, ctx) || !serialize(held_value.get(), ctx)) return StructuredResult::Failed;
            ++column;
            if (static_cast<uint64_t>(PyDict_GET_SIZE(row.get())) != width) {
                return row_changed();
            }
        }
        if (column != width) return row_changed();
        if (sequence_changed<IsList>(sequence, n)) return StructuredResult::Failed;
    }

    // Later rows: values only, in the first row's column order whatever the
    // row's own key order. Slots hold their values, since writing one value
    // may run Python code that edits the row.
    std::vector<PyPointer> slots(width);
    for (Py_ssize_t i = 1; i < n; ++i) {
        PyPointer row = PyPointer::borrow(sequence_items<IsList>(sequence)[i]);
        if (!PyDict_CheckExact(row.get()) || static_cast<uint64_t>(PyDict_GET_SIZE(row.get())) != width) {
            return row_changed();
        }
        for (PyPointer& slot : slots) slot.reset();
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(row.get(), &position, &key, &value)) {
            const int64_t column = PyUnicode_CheckExact(key) ? columns.find(key, str_hash(key)) : -1;
            if (column < 0 || slots[static_cast<size_t>(column)]) {
                return row_changed();
            }
            slots[static_cast<size_t>(column)] = PyPointer::borrow(value);
        }
        for (const PyPointer& slot : slots) {
            if (!serialize(slot.get(), ctx)) return StructuredResult::Failed;
        }
        if (sequence_changed<IsList>(sequence, n)) return StructuredResult::Failed;
    }
    return StructuredResult::Done;
}

// ---- lists and tuples ----------------------------------------------------

template <bool IsList, class Buffer>
[[nodiscard]] bool serialize_sequence(PyObject* sequence, SerializeContext<Buffer>& ctx) {
    const Py_ssize_t n = Py_SIZE(sequence);
    Buffer& buffer = ctx.buffer;
    if (n == 0) return buffer.push(byte(Flag::EmptyList));

    PyObject** items = sequence_items<IsList>(sequence);
    if (n >= 2) {
        PyTypeObject* const type = Py_TYPE(items[0]);
        bool uniform = true;
        for (Py_ssize_t i = 1; i < n; ++i) {
            if (Py_TYPE(items[i]) != type) {
                uniform = false;
                break;
            }
        }
        if (uniform) {
            if (items[0] == Py_None) {
                const uint8_t header[2] = {byte(Flag::TypedList), static_cast<uint8_t>(ElementType::None)};
                return buffer.extend(header, 2) && buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n));
            }
            if (type == &PyBool_Type) {
                const uint8_t header[2] = {byte(Flag::TypedList), static_cast<uint8_t>(ElementType::Bool)};
                if (!buffer.extend(header, 2) ||
                    !buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n))) {
                    return false;
                }
                // Eight to a byte, first element in the most significant bit.
                std::vector<uint8_t> packed(static_cast<size_t>((n + 7) / 8), 0);
                for (Py_ssize_t i = 0; i < n; ++i) {
                    if (items[i] == Py_True) packed[static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(0x80u >> (i % 8));
                }
                return buffer.push_each(packed.data(), packed.size());
            }
            if (type == &PyDict_Type) {
                RecursionGuard guard(" while serializing a list of dicts");
                if (!guard.ok()) return false;
                switch (encode_structured_list<IsList>(sequence, n, ctx)) {
                    case StructuredResult::Done:
                        return true;
                    case StructuredResult::Failed:
                        return false;
                    case StructuredResult::Declined:
                        break;
                }
            }
        }
    }

    RecursionGuard guard(" while serializing a list");
    if (!guard.ok()) return false;
    if (!buffer.push(byte(Flag::List)) || !buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n))) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Re-read the item array: Python code run for an earlier item may have
        // reallocated it.
        if (!serialize_item(sequence_items<IsList>(sequence)[i], ctx)) return false;
        if (sequence_changed<IsList>(sequence, n)) return false;
    }
    return true;
}

// ---- dicts ---------------------------------------------------------------

[[nodiscard]] inline bool dict_changed(PyObject* dict, Py_ssize_t expected) noexcept {
    if (PyDict_GET_SIZE(dict) != expected) [[unlikely]] {
        to_py_error(msg::DICT_CHANGED, PyExc_RuntimeError);
        return true;
    }
    return false;
}

template <class Buffer>
[[nodiscard]] bool serialize_dict(PyObject* dict, SerializeContext<Buffer>& ctx) {
    const Py_ssize_t n = PyDict_GET_SIZE(dict);
    Buffer& buffer = ctx.buffer;
    if (n == 0) return buffer.push(byte(Flag::EmptyDict));

    RecursionGuard guard(" while serializing a dict");
    if (!guard.ok()) return false;

    bool all_str_keys = true;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            all_str_keys = false;
            break;
        }
    }

    if (!buffer.push(byte(all_str_keys ? Flag::StrKeyDict : Flag::Dict)) ||
        !buffer.template push_size<SizeForm::Value>(static_cast<uint64_t>(n))) {
        return false;
    }
    Py_ssize_t written = 0;
    position = 0;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (written == n) [[unlikely]] {
            to_py_error(msg::DICT_CHANGED, PyExc_RuntimeError);
            return false;
        }
        if (all_str_keys) {
            if (!PyUnicode_CheckExact(key)) [[unlikely]] {
                to_py_error(msg::DICT_KEYS_CHANGED, PyExc_RuntimeError);
                return false;
            }
            if constexpr (Buffer::RUNS_PYTHON) {
                PyPointer held_key = PyPointer::borrow(key);
                PyPointer held_value = PyPointer::borrow(value);
                if (!encode_dict_key(key, ctx) || !serialize(value, ctx)) return false;
            } else {
                if (!encode_dict_key(key, ctx) || !serialize_item(value, ctx)) return false;
            }
        } else {
            if (Py_TYPE(key) == &PyTuple_Type) {
                to_py_error(msg::TUPLE_KEY, SERIALIZATION_ERROR);
                return false;
            }
            PyPointer held_key = PyPointer::borrow(key);
            PyPointer held_value = PyPointer::borrow(value);
            if (!serialize(key, ctx) || !serialize(value, ctx)) return false;
        }
        ++written;
        if (dict_changed(dict, n)) return false;
    }
    if (written != n) {
        to_py_error(msg::DICT_CHANGED, PyExc_RuntimeError);
        return false;
    }
    return true;
}

}  // namespace quarl
