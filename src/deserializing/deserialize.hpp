// The decoder's dispatch on the flag byte. Include this header only where a
// decoder is instantiated.
#pragma once

#include "deserializing/compound_types.hpp"
#include "deserializing/consistent_typed_list.hpp"
#include "deserializing/custom_types.hpp"
#include "deserializing/decode_context.hpp"
#include "deserializing/primitives.hpp"

namespace quarl {

// A back-reference with a fixed-width number (flags 20-23).
template <PointerHolder Holder>
[[nodiscard]] inline PyObject* decode_reference(DecodeContext<Holder>& ctx, unsigned width) {
    uint64_t number = 0;
    if (!ctx.in.read_big_endian(width, number)) return nullptr;
    return ctx.holder.safe_get(number);
}


template <PointerHolder Holder>
PyObject* deserialize_object(DecodeContext<Holder>& ctx) {
    uint8_t flag = 0;
    if (!ctx.in.read_byte(flag)) return nullptr;
    if (flag >= byte(Flag::SmallIntBase)) return PyLong_FromLong(flag - byte(Flag::SmallIntBase));
    switch (static_cast<Flag>(flag)) {
        case Flag::EmptyStr:
            return Py_NewRef(EMPTY_STR);
        case Flag::EmptyBytes:
            return Py_NewRef(EMPTY_BYTES);
        case Flag::True:
            Py_RETURN_TRUE;
        case Flag::False:
            Py_RETURN_FALSE;
        case Flag::None:
            Py_RETURN_NONE;
        case Flag::EmptyList:
            if (!Holder::LAZY && ctx.use_tuples) return Py_NewRef(EMPTY_TUPLE);
            return PyList_New(0);
        case Flag::EmptyDict:
            return PyDict_New();
        case Flag::PositiveInt:
            return decode_int(ctx.in, false);
        case Flag::NegativeInt:
            return decode_int(ctx.in, true);
        case Flag::Float:
            return decode_f64(ctx.in);
        case Flag::Str:
            return numbered(ctx, decode_string_without_inserting_pointer<StrPayload::Utf8>(ctx.in));
        case Flag::AsciiStr:
            return numbered(ctx, decode_string_without_inserting_pointer<StrPayload::Ascii>(ctx.in));
        case Flag::Bytes:
            return decode_bytes(ctx.in);
        case Flag::List:
            return decode_list(ctx);
        case Flag::TypedList:
            return decode_typed_list(ctx);
        case Flag::Dict:
            return decode_dict<false>(ctx);
        case Flag::StrKeyDict:
            return decode_dict<true>(ctx);
        case Flag::StructuredList:
            return decode_list_of_structured_dicts(ctx);
        case Flag::RefLong: {
            uint64_t number = 0;
            if (!ctx.in.read_size(number)) return nullptr;
            return ctx.holder.safe_get(number);
        }
        case Flag::Ref8:
        case Flag::Ref16:
        case Flag::Ref24:
        case Flag::Ref32:
            return decode_reference(ctx, reference_width(static_cast<Flag>(flag)));
        case Flag::CustomType:
            return deserialize_custom_type(ctx);
        default:
            // Flag 12 and flags 25-29 are not values.
            unexpected_flag(ctx.in.position - 1);
            return nullptr;
    }
}

}  // namespace quarl
