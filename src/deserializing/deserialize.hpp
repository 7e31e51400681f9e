// The decoder's dispatch on the flag byte. Include this header only where a
// decoder is instantiated.
#pragma once

#include "deserializing/compound_types.hpp"
#include "deserializing/consistent_typed_list.hpp"
#include "deserializing/custom_types.hpp"
#include "deserializing/decode_context.hpp"
#include "deserializing/primitives.hpp"
#include "utils/value_forms.hpp"

namespace quarl {

template <PointerHolder Holder>
PyObject* deserialize_object(DecodeContext<Holder>& ctx) {
    uint8_t flag = 0;
    if (!ctx.in.read_byte(flag)) return nullptr;
    // Ints in the flag byte are the commonest values: tested before the dispatch.
    if (flag >= byte(Flag::SmallIntBase)) return PyLong_FromLong(flag - byte(Flag::SmallIntBase));
    const size_t at = ctx.in.position - 1;
    switch (value_kind(flag)) {
        case ValueKind::SmallInt:
            break;  // (taken above)
        case ValueKind::EmptyStr:
            return Py_NewRef(EMPTY_STR);
        case ValueKind::EmptyBytes:
            return Py_NewRef(EMPTY_BYTES);
        case ValueKind::True:
            Py_RETURN_TRUE;
        case ValueKind::False:
            Py_RETURN_FALSE;
        case ValueKind::None:
            Py_RETURN_NONE;
        case ValueKind::EmptyList:
            if (!Holder::LAZY && ctx.use_tuples) return Py_NewRef(EMPTY_TUPLE);
            return PyList_New(0);
        case ValueKind::EmptyDict:
            return PyDict_New();
        case ValueKind::PositiveInt:
            return placed(decode_int(ctx.in, false), at);
        case ValueKind::NegativeInt:
            return placed(decode_int(ctx.in, true), at);
        case ValueKind::Float:
            return decode_f64(ctx.in);
        case ValueKind::Utf8Str:
            return numbered(ctx, placed(decode_string_without_inserting_pointer<StrPayload::Utf8>(ctx.in), at));
        case ValueKind::AsciiStr:
            return numbered(ctx, placed(decode_string_without_inserting_pointer<StrPayload::Ascii>(ctx.in), at));
        case ValueKind::Bytes:
            return decode_bytes(ctx.in);
        case ValueKind::List:
            return decode_list(ctx);
        case ValueKind::TypedList:
            return decode_typed_list(ctx);
        case ValueKind::Dict:
            return decode_dict<false>(ctx);
        case ValueKind::StrKeyDict:
            return decode_dict<true>(ctx);
        case ValueKind::Rows:
            return decode_list_of_structured_dicts(ctx);
        case ValueKind::Reference: {
            const FlagForm& form = flag_form(flag);
            uint64_t number = 0;
            const bool read = form.shape == Shape::Fixed ? ctx.in.read_big_endian(form.width, number)
                                                         : ctx.in.read_size(number);
            if (!read) return nullptr;
            return placed(ctx.holder.safe_get(number, at), at);
        }
        case ValueKind::CustomType:
            return deserialize_custom_type(ctx);
        case ValueKind::Invalid:
            break;
    }
    unexpected_flag(at);
    return nullptr;
}

}  // namespace quarl
