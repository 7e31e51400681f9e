#include "utils/input_buffer.hpp"

#include "utils/messages.hpp"

namespace quarl {

bool InputBuffer::open(PyObject* obj) noexcept {
    if (PyBytes_Check(obj)) {
        // Immutable: nothing to pin.
        data_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
        size_ = static_cast<size_t>(PyBytes_GET_SIZE(obj));
        return true;
    }
    if (PyByteArray_Check(obj)) {
        // The bytearray's own slots, not the type's: a subclass may define
        // __buffer__ and would then hand out some other memory.
        if (PyByteArray_Type.tp_as_buffer->bf_getbuffer(obj, &view_, PyBUF_SIMPLE) < 0) return false;
        export_ = Export::ByteArray;
    } else {
        // Strides and format are asked for so that any exporter answers, and
        // the layout is then checked here with a message of our own.
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) return false;
        export_ = Export::Generic;
        if (view_.itemsize != 1) {
            PyErr_Format(PyExc_TypeError, msg::BUFFER_ITEM_SIZE, view_.itemsize);
            release();
            return false;
        }
        if (!PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_SetString(PyExc_TypeError, msg::BUFFER_NOT_CONTIGUOUS);
            release();
            return false;
        }
    }
    data_ = static_cast<const uint8_t*>(view_.buf);
    size_ = static_cast<size_t>(view_.len);
    return true;
}

void InputBuffer::release() noexcept {
    switch (export_) {
        case Export::None:
            break;
        case Export::ByteArray:
            PyByteArray_Type.tp_as_buffer->bf_releasebuffer(view_.obj, &view_);
            Py_DECREF(view_.obj);
            break;
        case Export::Generic:
            PyBuffer_Release(&view_);
            break;
    }
    export_ = Export::None;
    data_ = nullptr;
    size_ = 0;
}

}  // namespace quarl
