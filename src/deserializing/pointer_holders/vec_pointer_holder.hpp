// Reference table of a full decode: an array of owned strings.
#pragma once

#include "deserializing/input_reader.hpp"
#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "utils/growable_array.hpp"
#include "utils/messages.hpp"

namespace quarl {

class VecPointerHolder {
public:
    static constexpr bool LAZY = false;

    VecPointerHolder() noexcept = default;
    VecPointerHolder(const VecPointerHolder&) = delete;
    VecPointerHolder& operator=(const VecPointerHolder&) = delete;
    ~VecPointerHolder() {
        for (PyObject* entry : entries_) Py_DECREF(entry);
    }

    [[nodiscard]] bool insert(PyObject* object) noexcept {
        if (!entries_.push_back(object)) return false;
        Py_INCREF(object);
        return true;
    }

    [[nodiscard]] PyObject* safe_get(uint64_t number, size_t at) noexcept {
        if (number >= entries_.size()) [[unlikely]] {
            bad_reference(at);
            return nullptr;
        }
        return Py_NewRef(entries_[static_cast<size_t>(number)]);
    }

    [[nodiscard]] size_t size() const noexcept { return entries_.size(); }

private:
    GrowableArray<PyObject*, 32> entries_;  // a small message's strings need no allocation
};

static_assert(PointerHolder<VecPointerHolder>);

}  // namespace quarl
