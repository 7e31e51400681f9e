// Read-only view of the document passed to a decoding function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/python.hpp"

namespace quarl {

// The bytes of a `bytes` or `bytearray` object (subclasses included), read in
// place. A bytearray is exported for the lifetime of the view, so Python code
// run during decoding (a loader, a key comparison) cannot resize or free the
// storage being read: the attempt fails with BufferError instead.
class InputBuffer {
public:
    InputBuffer() noexcept = default;
    InputBuffer(const InputBuffer&) = delete;
    InputBuffer& operator=(const InputBuffer&) = delete;
    ~InputBuffer() {
        if (exported_) {
            // The bytearray's own slots, not the type's: a subclass may define
            // __buffer__ and would then hand out some other memory.
            PyByteArray_Type.tp_as_buffer->bf_releasebuffer(view_.obj, &view_);
            Py_DECREF(view_.obj);
        }
    }

    [[nodiscard]] static bool accepts(PyObject* obj) noexcept { return PyBytes_Check(obj) || PyByteArray_Check(obj); }

    // `obj` must pass accepts(). False with an exception set on failure.
    [[nodiscard]] bool open(PyObject* obj) noexcept {
        if (PyByteArray_Check(obj)) {
            if (PyByteArray_Type.tp_as_buffer->bf_getbuffer(obj, &view_, PyBUF_SIMPLE) < 0) return false;
            exported_ = true;
            data_ = static_cast<const uint8_t*>(view_.buf);
            size_ = static_cast<size_t>(view_.len);
        } else {
            data_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
            size_ = static_cast<size_t>(PyBytes_GET_SIZE(obj));
        }
        return true;
    }

    [[nodiscard]] const uint8_t* data() const noexcept { return data_; }
    [[nodiscard]] size_t size() const noexcept { return size_; }

private:
    Py_buffer view_{};
    bool exported_ = false;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace quarl
