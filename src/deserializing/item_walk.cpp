#include "deserializing/item_walk.hpp"

#include "deserializing/deserialize.hpp"
#include "deserializing/skip.hpp"

namespace quarl {

bool ItemWalk::open(LazyContext& ctx, bool keys_only) {
    InputReader& in = ctx.in;
    uint8_t flag = 0;
    if (!in.read_byte(flag)) return false;
    index_ = 0;
    keys_only_ = keys_only;
    dict_ = flag == byte(Flag::EmptyDict) || flag == byte(Flag::Dict) || flag == byte(Flag::StrKeyDict);
    switch (static_cast<Flag>(flag)) {
        case Flag::EmptyList:
        case Flag::EmptyDict:
            kind_ = Kind::Done;
            return true;
        case Flag::List:
            kind_ = Kind::List;
            return in.read_size(count_);
        case Flag::Dict:
            kind_ = Kind::Dict;
            return in.read_size(count_);
        case Flag::StrKeyDict:
            kind_ = Kind::StrKeyDict;
            return in.read_size(count_);
        case Flag::TypedList:
            if (!in.read_byte(element_type_) || !in.read_size(count_)) return false;
            if (element_type_name(element_type_) == nullptr) {
                PyErr_Format(DESERIALIZATION_ERROR, msg::UNEXPECTED_TYPE_FLAG, static_cast<unsigned>(element_type_));
                return false;
            }
            kind_ = Kind::TypedList;
            packed_start_ = in.position;
            return true;
        case Flag::StructuredList:
            if (!in.read_size(count_) || !in.read_size(width_)) return false;
            if (count_ == 0) return corrupted(msg::EMPTY_STRUCTURED_LIST);
            // Each key of the first row takes at least two bytes with its value:
            // a width the rest of the input cannot hold is refused before the
            // keys are gathered.
            if (width_ > in.remaining() / 2) return end_of_input();
            kind_ = Kind::Rows;
            return true;
        default: {
            const char* name = flag_type_name(flag);
            if (name == nullptr) return corrupted(msg::UNEXPECTED_FLAG_ON_PATH);
            PyErr_Format(DESERIALIZATION_ERROR, msg::EXPECTED_ITEMS, name);
            return false;
        }
    }
}

PyObject* ItemWalk::next(LazyContext& ctx) {
    if (kind_ == Kind::Done || index_ >= count_) return nullptr;
    PyObject* item = nullptr;
    switch (kind_) {
        case Kind::List:
            item = next_element(ctx);
            break;
        case Kind::TypedList:
            item = next_typed(ctx);
            break;
        case Kind::Dict:
        case Kind::StrKeyDict:
            item = next_pair(ctx);
            break;
        case Kind::Rows:
            item = next_row(ctx);
            break;
        case Kind::Done:
            break;
    }
    if (item == nullptr) {
        kind_ = Kind::Done;
        return nullptr;
    }
    ++index_;
    return item;
}

bool ItemWalk::renumber_as_positions(LazyContext& ctx, size_t mark, size_t start, uint64_t values, bool str_key) {
    if (ctx.holder.size() == mark) return true;  // the item held no string
    const size_t end = ctx.in.position;
    ctx.holder.truncate(mark);
    ctx.in.position = start;
    if (str_key) {
        // A key of a str-keyed dict: a back-reference (FE and its number) or an inline key.
        if (ctx.in.data[start] == KEY_REFERENCE_MARKER) {
            ++ctx.in.position;
            if (!skip_size_field(ctx.in)) return false;
        } else if (!skip_string(ctx.in, ctx.holder)) {
            return false;
        }
        --values;
    }
    if (!skip_values(ctx.in, ctx.holder, values)) return false;
    // The skipper and the decoder read the same bytes; they cannot disagree on valid input.
    if (ctx.in.position != end) return corrupted(msg::CORRUPTED);
    return true;
}

PyObject* ItemWalk::next_element(LazyContext& ctx) {
    const size_t mark = ctx.holder.size();
    const size_t start = ctx.in.position;
    PyPointer item = PyPointer::steal(deserialize_object(ctx));
    if (!item || !renumber_as_positions(ctx, mark, start, 1, false)) return nullptr;
    return item.release();
}

PyObject* ItemWalk::next_pair(LazyContext& ctx) {
    const size_t mark = ctx.holder.size();
    const size_t start = ctx.in.position;
    const bool str_keys = kind_ == Kind::StrKeyDict;
    PyPointer key = PyPointer::steal(str_keys ? deserialize_dict_key(ctx) : deserialize_object(ctx));
    if (!key) return nullptr;
    if (keys_only_) {
        if (!renumber_as_positions(ctx, mark, start, 1, str_keys) || !skip_object(ctx.in, ctx.holder)) return nullptr;
        return key.release();
    }
    PyPointer value = PyPointer::steal(deserialize_object(ctx));
    if (!value || !renumber_as_positions(ctx, mark, start, 2, str_keys)) return nullptr;
    return PyTuple_Pack(2, key.get(), value.get());
}

PyObject* ItemWalk::next_row(LazyContext& ctx) {
    const size_t mark = ctx.holder.size();
    const size_t start = ctx.in.position;
    PyPointer row = PyPointer::steal(PyDict_New());
    if (!row) return nullptr;
    if (index_ == 0) {
        // The first row holds the keys, which every later row reuses.
        row_keys_.reserve(static_cast<size_t>(width_));
        for (uint64_t j = 0; j < width_; ++j) {
            PyPointer key = PyPointer::steal(deserialize_object(ctx));
            if (!key) return nullptr;
            PyPointer value = PyPointer::steal(deserialize_object(ctx));
            if (!value || !set_dict_item(row.get(), key.get(), value.get())) return nullptr;
            row_keys_.push_back(std::move(key));
        }
        if (!renumber_as_positions(ctx, mark, start, 2 * width_, false)) return nullptr;
        return row.release();
    }
    for (const PyPointer& key : row_keys_) {
        PyPointer value = PyPointer::steal(deserialize_object(ctx));
        if (!value || !set_dict_item(row.get(), key.get(), value.get())) return nullptr;
    }
    if (!renumber_as_positions(ctx, mark, start, width_, false)) return nullptr;
    return row.release();
}

PyObject* ItemWalk::next_typed(LazyContext& ctx) {
    InputReader& in = ctx.in;
    switch (static_cast<ElementType>(element_type_)) {
        case ElementType::None:
            Py_RETURN_NONE;
        case ElementType::Float:
            return decode_f64(in);
        case ElementType::Bool: {
            const uint64_t byte_offset = packed_start_ + index_ / 8;
            if (byte_offset >= in.length) return end_of_input(), nullptr;
            const bool set = (in.data[byte_offset] >> (7 - index_ % 8)) & 1u;
            return Py_NewRef(set ? Py_True : Py_False);
        }
        case ElementType::Str:
            // Numbered by position, like a skipped string: the table keeps no object.
            if (!ctx.holder.insert_position(in.position, PositionKind::MarkedValue)) return nullptr;
            return decode_string_without_inserting_pointer<StrPayload::Marked>(in);
        case ElementType::Bytes:
            return decode_bytes(in);
    }
    return corrupted(msg::CORRUPTED), nullptr;
}

}  // namespace quarl
