// PyPointer: the project's one owning handle for a Python object.
#pragma once

#include <utility>

#include "utils/python.hpp"

namespace quarl {

// Owns exactly one strong reference (or nothing). Construction states whether
// the reference is taken over (`steal`, for the result of a C-API call that
// returns a new reference) or added (`borrow`). Moving leaves the source empty;
// `release` hands the reference to the caller.
class PyPointer {
public:
    constexpr PyPointer() noexcept = default;

    // Takes over a new reference; a null pointer (a failed call) gives an empty handle.
    [[nodiscard]] static PyPointer steal(PyObject* object) noexcept { return PyPointer(object); }

    // Adds a reference of its own to a borrowed object.
    [[nodiscard]] static PyPointer borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyPointer(object);
    }

    PyPointer(const PyPointer&) = delete;
    PyPointer& operator=(const PyPointer&) = delete;

    PyPointer(PyPointer&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}

    PyPointer& operator=(PyPointer&& other) noexcept {
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }

    ~PyPointer() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Returns the owned reference (a new reference for the caller) and empties the handle.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void reset() noexcept {
        PyObject* old = std::exchange(object_, nullptr);
        Py_XDECREF(old);
    }

private:
    explicit PyPointer(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace quarl
