#include "deserializing/pointer_holders/position_pointer_holder.hpp"

#include "deserializing/primitives.hpp"
#include "serializing/serializing_string_cache.hpp"
#include "utils/small_copy.hpp"

namespace quarl {

PyObject* PositionPointerHolder::decode_at(size_t offset, PositionKind kind) const noexcept {
    InputReader in{data_, length_, offset};
    switch (kind) {
        case PositionKind::MarkedValue:
            return decode_string_without_inserting_pointer<StrPayload::Marked, SizeForm::Value>(in);
        case PositionKind::MarkedKey:
            return decode_string_without_inserting_pointer<StrPayload::Marked, SizeForm::Key>(in);
        case PositionKind::Ascii:
            return decode_string_without_inserting_pointer<StrPayload::Ascii>(in);
        case PositionKind::Utf8:
            return decode_string_without_inserting_pointer<StrPayload::Utf8>(in);
    }
    return nullptr;  // (every kind is handled above)
}

bool PositionPointerHolder::payload_equals(PositionKind kind, const uint8_t* payload, size_t length,
                                           const uint8_t* text, size_t text_length, bool ascii) noexcept {
    const bool marked = kind == PositionKind::MarkedKey || kind == PositionKind::MarkedValue;
    if (marked && length != 0 && payload[0] == ASCII_MARKER) {
        // ASCII text behind the marker; a valid one has no byte of 128 or more.
        return ascii && length - 1 == text_length && equal_bytes(payload + 1, text, text_length);
    }
    if (kind == PositionKind::Ascii && !ascii) return false;
    return length == text_length && equal_bytes(payload, text, text_length);
}

PyObject* PositionPointerHolder::base_get(uint64_t number, size_t at) noexcept {
    uintptr_t entry = 0;
    if (!base_->find(number, entry)) {
        missed_ = true;
        missed_number_ = number;
        bad_reference(at);
        return nullptr;
    }
    if (!is_position(entry)) return Py_NewRef(reinterpret_cast<PyObject*>(entry));
    if (!base_decoded_) base_decoded_ = std::make_unique<std::unordered_map<uint64_t, PyPointer>>();
    PyPointer& slot = (*base_decoded_)[number];
    if (!slot) {
        slot = PyPointer::steal(decode_at(static_cast<size_t>(entry >> 3), static_cast<PositionKind>((entry >> 1) & 3u)));
        if (!slot) {
            base_decoded_->erase(number);
            return nullptr;
        }
    }
    return Py_NewRef(slot.get());
}

bool PositionPointerHolder::entry_equals(uint64_t number, size_t at, PyObject* str, const uint8_t* text,
                                         size_t length, bool ascii, bool& equal) const noexcept {
    uintptr_t entry = 0;
    if (number < base_size_) {
        if (!base_->find(number, entry)) {
            missed_ = true;
            missed_number_ = number;
            return bad_reference(at);
        }
    } else {
        number -= base_size_;
        if (number >= entries_.size()) return bad_reference(at);
        entry = entries_[static_cast<size_t>(number)];
    }
    if (!is_position(entry)) {
        equal = str_equal(reinterpret_cast<PyObject*>(entry), str);
        return true;
    }
    const auto kind = static_cast<PositionKind>((entry >> 1) & 3u);
    InputReader in{data_, length_, static_cast<size_t>(entry >> 3)};
    uint64_t payload_length = 0;
    const uint8_t* payload = nullptr;
    const bool read = kind == PositionKind::MarkedKey ? in.read_size<SizeForm::Key>(payload_length)
                                                      : in.read_size<SizeForm::Value>(payload_length);
    if (!read || !in.take(payload_length, payload)) return false;
    equal = payload_equals(kind, payload, static_cast<size_t>(payload_length), text, length, ascii);
    return true;
}

}  // namespace quarl
