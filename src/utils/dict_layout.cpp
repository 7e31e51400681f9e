#include "utils/dict_layout.hpp"

#include "utils/safe_py_pointer.hpp"

namespace quarl::dict_layout {

bool enabled = false;

namespace {

// Compares the direct view of `dict` with what PyDict_Next reports.
bool matches_dict_next(PyObject* dict) noexcept {
    const KeysHeader* keys = str_key_table(dict);
    if (keys == nullptr) return false;
    const UnicodeEntry* entries = entries_of(keys);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t i = 0;
    while (PyDict_Next(dict, &position, &key, &value)) {
        while (i < keys->nentries && entries[i].value == nullptr) ++i;
        if (i >= keys->nentries || entries[i].key != key || entries[i].value != value) return false;
        ++i;
    }
    while (i < keys->nentries && entries[i].value == nullptr) ++i;
    return i == keys->nentries;
}

// Compares the value slots of `dict` (no deleted entries) with PyDict_Next.
bool value_slots_match(PyObject* dict) noexcept {
    const ValueSlots slots = value_slots(dict);
    if (slots.first == nullptr) return false;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    size_t i = 0;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (slots[i++] != value) return false;
    }
    return i == static_cast<size_t>(keys_of(dict)->nentries);
}

}  // namespace

void self_test() noexcept {
    enabled = false;
    PyObject* saved = PyErr_GetRaisedException();
    bool ok = true;
    {
        // Small and resized tables, with a deleted entry, and a general table.
        PyPointer small = PyPointer::steal(PyDict_New());
        PyPointer large = PyPointer::steal(PyDict_New());
        PyPointer general = PyPointer::steal(PyDict_New());
        ok = small && large && general;
        for (int i = 0; ok && i < 300; ++i) {
            PyPointer key = PyPointer::steal(PyUnicode_FromFormat("key%d", i));
            PyPointer number = PyPointer::steal(PyLong_FromLong(i));
            ok = key && number && PyDict_SetItem(large.get(), key.get(), number.get()) == 0 &&
                 (i >= 5 || PyDict_SetItem(small.get(), key.get(), number.get()) == 0);
        }
        if (ok) {
            PyPointer deleted = PyPointer::steal(PyUnicode_FromString("key2"));
            PyPointer one = PyPointer::steal(PyLong_FromLong(1));
            ok = deleted && one && PyDict_DelItem(small.get(), deleted.get()) == 0 &&
                 PyDict_SetItem(general.get(), one.get(), one.get()) == 0;
        }
        enabled = true;  // str_key_table() reads the flag
        ok = ok && matches_dict_next(small.get()) && matches_dict_next(large.get()) &&
             str_key_table(general.get()) == nullptr && value_slots_match(large.get());
        // A general table, small and resized, as the decoder's rows use it.
        for (int size : {3, 300}) {
            PyPointer ints = PyPointer::steal(PyDict_New());
            ok = ok && ints;
            for (int i = 0; ok && i < size; ++i) {
                PyPointer key = PyPointer::steal(PyLong_FromLong(i * 7 + 1000));
                PyPointer number = PyPointer::steal(PyFloat_FromDouble(i));
                ok = key && number && PyDict_SetItem(ints.get(), key.get(), number.get()) == 0;
            }
            ok = ok && keys_of(ints.get())->kind == KIND_GENERAL && value_slots_match(ints.get());
        }
        enabled = ok;
    }
    PyErr_Clear();
    PyErr_SetRaisedException(saved);
}

}  // namespace quarl::dict_layout
