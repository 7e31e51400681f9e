// Output buffers of the encoder: RawBytesBuffer builds the document inside the
// bytes object that dump_bytes returns; FilePyBytesBuffer streams it to a
// writer's write() in chunks.
//
// Both offer the same operations, used by the encoder templates:
//   push(byte)                 one byte (flags, packed bools)
//   push_size<Form>(n)         a size field, byte by byte
//   push_each(p, n)            n single bytes (same flush points as n pushes)
//   extend(p, n)               a chunk (string data, float bytes, headers)
//   extend_bytes(object)       the whole content of a bytes value as a chunk
// and return false with a Python exception set on failure.
#pragma once

#include <cstdint>
#include <cstring>

#include "utils/python.hpp"
#include "utils/wire_format.hpp"

namespace quarl {

class RawBytesBuffer {
public:
    // Whether Python code can run inside a buffer operation (the writer's write).
    static constexpr bool RUNS_PYTHON = false;

    // `expected_size`, when known, is where the buffer grows at once (see grow()).
    explicit RawBytesBuffer(size_t expected_size = 0) noexcept : expected_size_(expected_size) {}
    RawBytesBuffer(const RawBytesBuffer&) = delete;
    RawBytesBuffer& operator=(const RawBytesBuffer&) = delete;
    ~RawBytesBuffer() { Py_XDECREF(storage_); }

    // Creates the 8-byte storage. False with MemoryError set on failure.
    [[nodiscard]] bool init() noexcept { return reset_storage(INITIAL_CAPACITY); }

    // Starts in the buffer's own array of SMALL_CAPACITY bytes instead: the
    // bytes object is made when the output outgrows it (and the output built
    // in place from there on), or by finish_bytes() at its exact size. A
    // small message then costs one allocation instead of three.
    void init_small() noexcept {
        data_ = small_;
        len_ = 0;
        capacity_ = SMALL_CAPACITY;
    }

    [[nodiscard]] size_t size() const noexcept { return len_; }
    [[nodiscard]] size_t capacity() const noexcept { return capacity_; }

    // Always inlined: a call per flag byte shows on documents of small values.
    [[nodiscard, gnu::always_inline]] bool push(uint8_t value) noexcept {
        if (len_ == capacity_ && !grow(1)) [[unlikely]] return false;
        data_[len_++] = value;
        return true;
    }

    template <SizeForm Form>
    [[nodiscard]] bool push_size(uint64_t n) noexcept {
        if (capacity_ - len_ < MAX_SIZE_FIELD && !grow(MAX_SIZE_FIELD)) [[unlikely]] return false;
        len_ += encode_size_field<Form>(n, data_ + len_);
        return true;
    }

    [[nodiscard]] bool push_each(const uint8_t* bytes, size_t n) noexcept { return extend(bytes, n); }

    [[nodiscard]] bool extend(const void* bytes, size_t n) noexcept {
        if (capacity_ - len_ < n && !grow(n)) [[unlikely]] return false;
        std::memcpy(data_ + len_, bytes, n);
        len_ += n;
        return true;
    }

    [[nodiscard]] bool extend_bytes(PyObject* bytes) noexcept {
        return extend(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    }

    // Whether `n` bytes (holding a chunk of `chunk` bytes) may be written as
    // one block through reserve()/commit(): always, in memory.
    [[nodiscard]] static constexpr bool can_write_block(size_t, size_t = 0) noexcept { return true; }

    // Makes room for `n` more bytes and returns where they go; the caller then
    // calls commit(k) with k <= n. Null with MemoryError set on failure.
    [[nodiscard]] uint8_t* reserve(size_t n) noexcept {
        if (capacity_ - len_ < n && !grow(n)) [[unlikely]] return nullptr;
        return data_ + len_;
    }
    void commit(size_t n) noexcept { len_ += n; }

    // Discards everything written after the first `size` bytes.
    void truncate(size_t size) noexcept { len_ = size; }

    // Shrinks the storage to the written bytes and returns it (borrowed: the
    // buffer keeps its reference); afterwards the buffer is empty.
    PyObject* take_bytes() noexcept;

    // The written bytes as a bytes object of their size (a new reference);
    // afterwards the buffer has no storage. Null with MemoryError set on failure.
    [[nodiscard]] PyObject* finish_bytes() noexcept;

    // Gives the storage object to the caller (a new reference) and leaves the
    // buffer without storage.
    [[nodiscard]] PyObject* release_storage() noexcept {
        PyObject* storage = storage_;
        storage_ = nullptr;
        data_ = nullptr;
        len_ = capacity_ = 0;
        return storage;
    }

    // Replaces the storage with a fresh object of `capacity` bytes.
    [[nodiscard]] bool reset_storage(size_t capacity) noexcept;

    static constexpr size_t INITIAL_CAPACITY = 8;
    // Copying up to this many bytes once costs less than the two resizes a
    // bytes object needs to reach its final size; most RPC and cache messages fit.
    static constexpr size_t SMALL_CAPACITY = 256;
    static constexpr size_t FAST_GROWTH_LIMIT = size_t{1} << 16;
    static constexpr size_t HINT_FROM = 4096;

private:
    [[nodiscard]] bool grow(size_t n) noexcept;

    size_t expected_size_;
    PyObject* storage_ = nullptr;  // owned bytes object used as mutable storage; null while in small_
    uint8_t* data_ = nullptr;
    size_t len_ = 0;
    size_t capacity_ = 0;
    uint8_t small_[SMALL_CAPACITY];  // not cleared: only written bytes are read
};

class FilePyBytesBuffer {
public:
    static constexpr bool RUNS_PYTHON = true;

    // `writer` is borrowed: dump_bytes holds a reference for the whole call.
    FilePyBytesBuffer(PyObject* writer, uint64_t flush_threshold, uint64_t direct_write_threshold) noexcept
        : writer_(writer), flush_threshold_(flush_threshold), direct_write_threshold_(direct_write_threshold) {}

    [[nodiscard]] bool init() noexcept { return raw_.init(); }
    [[nodiscard]] size_t size() const noexcept { return raw_.size(); }

    [[nodiscard]] bool push(uint8_t value) noexcept {
        if (!raw_.push(value)) [[unlikely]] return false;
        return raw_.size() < flush_threshold_ || flush();
    }

    template <SizeForm Form>
    [[nodiscard]] bool push_size(uint64_t n) noexcept {
        uint8_t field[MAX_SIZE_FIELD];
        return push_each(field, encode_size_field<Form>(n, field));
    }

    [[nodiscard]] bool push_each(const uint8_t* bytes, size_t n) noexcept {
        for (size_t i = 0; i < n; ++i) {
            if (!push(bytes[i])) return false;
        }
        return true;
    }

    [[nodiscard]] bool extend(const void* bytes, size_t n) noexcept {
        if (n >= direct_write_threshold_) return write_direct(bytes, n, nullptr);
        return extend_small(bytes, n);
    }

    // A bytes value at or above the direct threshold goes to the writer as the
    // very object being encoded, without a copy.
    [[nodiscard]] bool extend_bytes(PyObject* bytes) noexcept {
        const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
        if (n >= direct_write_threshold_) return write_direct(PyBytes_AS_STRING(bytes), n, bytes);
        return extend_small(PyBytes_AS_STRING(bytes), n);
    }

    // A block write gives the same chunks as byte-by-byte writes when it cannot
    // reach the flush threshold and holds no chunk that would go directly.
    [[nodiscard]] bool can_write_block(size_t n, size_t chunk = 0) const noexcept {
        return raw_.size() + n < flush_threshold_ && chunk < direct_write_threshold_;
    }
    [[nodiscard]] uint8_t* reserve(size_t n) noexcept { return raw_.reserve(n); }
    void commit(size_t n) noexcept { raw_.commit(n); }

    // Always through the buffer, never directly.
    [[nodiscard]] bool extend_small(const void* bytes, size_t n) noexcept {
        if (!raw_.extend(bytes, n)) [[unlikely]] return false;
        return raw_.size() == 0 || raw_.size() < flush_threshold_ || flush();
    }

    // Hands whatever is buffered to the writer (the end of dump_bytes).
    [[nodiscard]] bool finish() noexcept { return raw_.size() == 0 || flush(); }

private:
    [[nodiscard]] bool flush() noexcept;
    [[nodiscard]] bool write_direct(const void* bytes, size_t n, PyObject* whole_object) noexcept;
    [[nodiscard]] bool call_write(PyObject* chunk) noexcept;

    RawBytesBuffer raw_;
    PyObject* writer_;
    uint64_t flush_threshold_;
    uint64_t direct_write_threshold_;
};

}  // namespace quarl
