// Read-only view of the document passed to a decoding function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/python.hpp"

namespace quarl {

// The bytes of any object with the buffer protocol (bytes, bytearray,
// memoryview, mmap, array.array, ...), read in place. Everything but bytes is
// exported for the lifetime of the view, so Python code run during decoding
// (a loader, a key comparison) cannot resize, close or free the storage being
// read: the attempt fails with BufferError instead.
class InputBuffer {
public:
    InputBuffer() noexcept = default;
    InputBuffer(const InputBuffer&) = delete;
    InputBuffer& operator=(const InputBuffer&) = delete;
    ~InputBuffer() { release(); }

    // Whether `obj` can be read at all (open() may still refuse its layout).
    [[nodiscard]] static bool accepts(PyObject* obj) noexcept {
        return PyBytes_Check(obj) || PyByteArray_Check(obj) || PyObject_CheckBuffer(obj);
    }

    // `obj` must pass accepts(). False with an exception set on failure: a
    // buffer that is not one C-contiguous run of single bytes is a TypeError.
    [[nodiscard]] bool open(PyObject* obj) noexcept;

    // Drops the export (if any); the view is empty afterwards.
    void release() noexcept;

    [[nodiscard]] const uint8_t* data() const noexcept { return data_; }
    [[nodiscard]] size_t size() const noexcept { return size_; }

private:
    enum class Export : uint8_t { None, ByteArray, Generic };

    Py_buffer view_{};
    Export export_ = Export::None;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace quarl
