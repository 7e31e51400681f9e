#include "serializing/py_bytes_buffer.hpp"

#include <algorithm>

#include "lib/cached_objects.hpp"

namespace quarl {

bool RawBytesBuffer::reset_storage(size_t capacity) noexcept {
    PyObject* fresh = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (fresh == nullptr) return false;
    Py_XSETREF(storage_, fresh);
    data_ = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(storage_));
    len_ = 0;
    capacity_ = capacity;
    return true;
}

bool RawBytesBuffer::grow(size_t n) noexcept {
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX) - len_) {
        PyErr_NoMemory();
        return false;
    }
    const size_t needed = len_ + n;
    if (needed <= capacity_) return true;
    // Small buffers grow eightfold: each resize may copy everything written so
    // far, and they reach tens of kilobytes in five resizes instead of
    // thirteen. From 64 kB on, doubling keeps the spare room (and the peak
    // memory of a dump) within the output's size.
    size_t capacity = needed;
    if (capacity_ < FAST_GROWTH_LIMIT) {
        capacity = std::max(needed, std::min(capacity_ * 8, FAST_GROWTH_LIMIT));
    } else if (capacity_ <= static_cast<size_t>(PY_SSIZE_T_MAX) / 2) {
        capacity = std::max(needed, capacity_ * 2);
    }
    // Once past a few kilobytes, the buffer goes straight to the expected
    // size, with an eighth to spare (a block is reserved for its longest form,
    // so an exact fit would still double at the last write), but within 64
    // times its capacity, so a small document expected to be huge does not
    // reserve all of it.
    if (const size_t hint = expected_size_ + expected_size_ / 8 + HINT_FROM;
        capacity_ >= HINT_FROM && hint > capacity && expected_size_ < static_cast<size_t>(PY_SSIZE_T_MAX) / 2 &&
        capacity_ <= static_cast<size_t>(PY_SSIZE_T_MAX) / 64) {
        capacity = std::max(needed, std::min(hint, capacity_ * 64));
    }
    if (storage_ == nullptr) {
        // Leaving the small array: its bytes move to the first bytes object.
        PyObject* fresh = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
        if (fresh == nullptr) return false;
        std::memcpy(PyBytes_AS_STRING(fresh), data_, len_);
        storage_ = fresh;
    } else if (_PyBytes_Resize(&storage_, static_cast<Py_ssize_t>(capacity)) < 0) {
        // The bytes object is private to this buffer (reference count 1), which
        // is what makes resizing it in place valid.
        data_ = nullptr;
        len_ = capacity_ = 0;
        PyErr_NoMemory();
        return false;
    }
    data_ = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(storage_));
    capacity_ = capacity;
    return true;
}

PyObject* RawBytesBuffer::take_bytes() noexcept {
    if (len_ != capacity_) {
        // Shrinking a privately owned bytes object does not fail.
        (void)_PyBytes_Resize(&storage_, static_cast<Py_ssize_t>(len_));
        data_ = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(storage_));
    }
    capacity_ = len_;
    len_ = 0;
    return storage_;
}

PyObject* RawBytesBuffer::finish_bytes() noexcept {
    if (storage_ != nullptr) {
        (void)take_bytes();
        return release_storage();
    }
    PyObject* exact = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data_), static_cast<Py_ssize_t>(len_));
    data_ = nullptr;
    len_ = capacity_ = 0;
    return exact;
}

bool FilePyBytesBuffer::call_write(PyObject* chunk) noexcept {
    PyObject* result = PyObject_CallMethodOneArg(writer_, WRITE_METHOD_NAME, chunk);
    if (result == nullptr) return false;
    Py_DECREF(result);
    return true;
}

bool FilePyBytesBuffer::flush() noexcept {
    PyObject* chunk = raw_.take_bytes();
    const size_t chunk_size = raw_.capacity();
    if (!call_write(chunk)) return false;
    if (Py_REFCNT(chunk) != 1) {
        // The writer kept the chunk: it must never change, so continue in new storage.
        return raw_.reset_storage(std::max(chunk_size, RawBytesBuffer::INITIAL_CAPACITY)) || (PyErr_NoMemory(), false);
    }
    // The storage is ours again and is reused; its cached hash (if the writer
    // hashed the chunk) must not survive into the next chunk.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    reinterpret_cast<PyBytesObject*>(chunk)->ob_shash = -1;
#pragma GCC diagnostic pop
    return true;
}

bool FilePyBytesBuffer::write_direct(const void* bytes, size_t n, PyObject* whole_object) noexcept {
    // Everything buffered so far goes first, so the bytes stay in order.
    if (raw_.size() != 0 && !flush()) return false;
    if (whole_object != nullptr) return call_write(whole_object);
    PyObject* chunk = PyBytes_FromStringAndSize(static_cast<const char*>(bytes), static_cast<Py_ssize_t>(n));
    if (chunk == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    const bool ok = call_write(chunk);
    Py_DECREF(chunk);
    return ok;
}

}  // namespace quarl
