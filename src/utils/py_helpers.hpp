// Small interpreter helpers shared by every part of the module.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>

#include "utils/python.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

// Raises `exception_class` with a fixed message, replacing any pending exception.
// Failures are rare: the paths that raise are kept out of the hot code.
[[gnu::cold]] inline void to_py_error(const char* message, PyObject* exception_class) noexcept {
    PyErr_SetString(exception_class, message);
}

// (Both leave a pending KeyboardInterrupt, SystemExit or other non-Exception
// as it is.)
// Replaces the pending exception (if any) by MemoryError, keeping the original
// as its __cause__ so the real reason stays visible in tracebacks. This is how a
// failed interpreter call that should have produced an object is reported.
[[gnu::cold]] void report_as_memory_error() noexcept;

// Replaces the pending exception by `exception_class(message)`, chaining the
// original as __cause__.
[[gnu::cold]] void replace_error(PyObject* exception_class, const char* message) noexcept;

// New reference to `module_name.attribute_name`, or null with an exception set
// (MemoryError when the module cannot be imported).
PyObject* import_object_from_python(const char* module_name, const char* attribute_name) noexcept;

// Truth value of a keyword option. Returns false with the exception set when
// the object's truth test raises.
[[nodiscard]] inline bool read_flag(PyObject* value, bool& out) noexcept {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth == 1;
    return true;
}

// True when the keyword name equals `expected` (an ASCII literal).
[[nodiscard]] inline bool keyword_is(PyObject* name, const char* expected) noexcept {
    return PyUnicode_EqualToUTF8(name, expected) == 1;
}

// Raises TypeError "<function>() got an unexpected keyword argument '<name>'".
void raise_unexpected_keyword(const char* function, PyObject* name) noexcept;

// Runs an entry point's body, turning a C++ allocation failure (std::bad_alloc,
// or std::length_error for a size no container can hold) into MemoryError:
// no C++ exception ever reaches the interpreter.
template <class Body>
[[nodiscard]] PyObject* call_without_cpp_exceptions(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    PyErr_NoMemory();
    return nullptr;
}

// Holds one level of the interpreter's C recursion budget for the lifetime of
// the guard, so deep or self-containing data ends in RecursionError instead of
// a stack overflow. The budget is the thread state's own counter, read
// through a pointer taken once per call instead of a thread-local lookup per
// container.
class RecursionGuard {
public:
    RecursionGuard(PyThreadState* thread, const char* where) noexcept : thread_(thread) {
        if (thread_->c_recursion_remaining-- > 0) [[likely]] return;
        ++thread_->c_recursion_remaining;
        thread_ = nullptr;
        // Let the interpreter raise its own RecursionError.
        if (Py_EnterRecursiveCall(where) == 0) {
            Py_LeaveRecursiveCall();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        }
    }
    ~RecursionGuard() {
        if (thread_ != nullptr) ++thread_->c_recursion_remaining;
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // False when the budget is exhausted; RecursionError is then set.
    [[nodiscard]] bool ok() const noexcept { return thread_ != nullptr; }

private:
    PyThreadState* thread_;
};

// Disables the cyclic garbage collector for its lifetime when asked to and the
// collector was enabled, and re-enables it on every exit.
class GcPause {
public:
    explicit GcPause(bool pause) noexcept : paused_(pause && PyGC_Disable() == 1) {}
    ~GcPause() {
        if (paused_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool paused_;
};

}  // namespace quarl
