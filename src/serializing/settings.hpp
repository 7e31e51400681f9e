// Per-call options of the encoder, built by dump_bytes.
#pragma once

#include <vector>

#include "utils/python.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// One entry of dump_bytes(custom_types=...): how instances of `type` are written.
struct CustomTypeRecord {
    PyPointer type;  // owned, so Python code that empties the caller's dict cannot free it
    PyPointer identifier;
    PyPointer converter;
    bool include_subclasses = false;
    bool one_way = false;
};

// The registered types in the order of the caller's dict; the first entry that
// applies to a type wins, which makes the choice deterministic.
class CustomTypeMap {
public:
    [[nodiscard]] bool empty() const noexcept { return records_.empty(); }

    // The record that applies to instances of `type`, or null.
    [[nodiscard]] const CustomTypeRecord* find(PyTypeObject* type) const noexcept {
        for (const CustomTypeRecord& record : records_) {
            PyObject* registered = record.type.get();
            if (reinterpret_cast<PyObject*>(type) == registered ||
                (record.include_subclasses && PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(registered)))) {
                return &record;
            }
        }
        return nullptr;
    }

    // Builds the map from the `custom_types` argument. False with TypeError (or
    // MemoryError for a CustomType lacking an attribute) set on failure.
    [[nodiscard]] bool parse(PyObject* custom_types);

private:
    std::vector<CustomTypeRecord> records_;
};

struct SerializeSettings {
    CustomTypeMap custom_types;
    // Called with values that no other rule writes; its result is written instead.
    PyPointer default_hook;
    bool serialize_dates = false;
    // Subclasses of the built-in types are written as their base type.
    bool subclasses_as_base = false;
};

}  // namespace quarl
