#include "deserializing/pointer_holders/position_pointer_holder.hpp"

#include "deserializing/primitives.hpp"

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
    end_of_input();
    return nullptr;
}

}  // namespace quarl
