#include "deserializing/item_walk.hpp"

#include "deserializing/deserialize.hpp"
#include "deserializing/skip.hpp"

namespace quarl {

bool ItemWalk::open(LazyContext& ctx, bool keys_only) {
    InputReader& in = ctx.in;
    const size_t at = in.position;
    uint8_t flag = 0;
    if (!in.read_byte(flag)) return false;
    const ValueKind kind = value_kind(flag);
    index_ = 0;
    keys_only_ = keys_only;
    dict_ = kind == ValueKind::EmptyDict || kind == ValueKind::Dict || kind == ValueKind::StrKeyDict;
    // Counts are checked and reserved as a full decode would, so damage is
    // reported at the same byte.
    switch (kind) {
        case ValueKind::EmptyList:
        case ValueKind::EmptyDict:
            kind_ = Kind::Done;
            return true;
        case ValueKind::List:
            kind_ = Kind::List;
            if (!in.read_size(count_) || !ctx.fits(count_, 1, at + 1)) return false;
            ctx.reserve(count_);
            return true;
        case ValueKind::Dict:
        case ValueKind::StrKeyDict:
            kind_ = kind == ValueKind::Dict ? Kind::Dict : Kind::StrKeyDict;
            if (!in.read_size(count_) || !ctx.fits(count_, 2, at + 1)) return false;
            ctx.reserve(2 * count_);
            return true;
        case ValueKind::TypedList: {
            uint8_t element_type = 0;
            if (!in.read_byte(element_type) || !in.read_size(count_)) return false;
            const ElementForm& form = element_form(element_type);
            if (form.kind == ElementKind::Invalid) return unknown_element_type(at + 1);
            const ElementClaim claim = element_claim(form, count_);
            if (claim.min_bytes != 0 && !ctx.fits(claim.units, claim.min_bytes, at + 2)) return false;
            kind_ = Kind::TypedList;
            element_kind_ = form.kind;
            packed_start_ = in.position;
            return true;
        }
        case ValueKind::Rows:
            if (!open_rows(ctx, count_, width_, true)) return false;
            kind_ = Kind::Rows;
            return true;
        default:
            wrong_container(msg::EXPECTED_ITEMS, flag, at);
            return false;
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
        if (!skip_dict_key(ctx.in, ctx.holder)) return false;
        --values;
    }
    if (!skip_more_values(ctx.in, ctx.holder, values)) return false;
    // The skipper and the decoder read the same bytes; they cannot disagree on valid input.
    if (ctx.in.position != end) return corrupted(msg::CORRUPTED, start);
    return true;
}

PyObject* ItemWalk::next_element(LazyContext& ctx) {
    const size_t mark = ctx.holder.size();
    const size_t start = ctx.in.position;
    ctx.start_item(1);
    PyPointer item = PyPointer::steal(deserialize_object(ctx));
    if (!item || !renumber_as_positions(ctx, mark, start, 1, false)) return nullptr;
    return item.release();
}

PyObject* ItemWalk::next_pair(LazyContext& ctx) {
    const size_t mark = ctx.holder.size();
    const size_t start = ctx.in.position;
    const bool str_keys = kind_ == Kind::StrKeyDict;
    ctx.start_item(1);
    PyPointer key = PyPointer::steal(str_keys ? deserialize_dict_key(ctx) : deserialize_object(ctx));
    if (!key) return nullptr;
    ctx.start_item(1);
    // The key is judged after its value, as the full decode inserts it.
    if (keys_only_) {
        if (!renumber_as_positions(ctx, mark, start, 1, str_keys) || !skip_more_values(ctx.in, ctx.holder, 1) ||
            !check_dict_key(key.get(), start)) {
            return nullptr;
        }
        return key.release();
    }
    PyPointer value = PyPointer::steal(deserialize_object(ctx));
    if (!value || !renumber_as_positions(ctx, mark, start, 2, str_keys) || !check_dict_key(key.get(), start)) {
        return nullptr;
    }
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
            ctx.start_item(1);
            const size_t key_at = ctx.in.position;
            PyPointer key = PyPointer::steal(deserialize_object(ctx));
            if (!key) return nullptr;
            ctx.start_item(1);
            PyPointer value = PyPointer::steal(deserialize_object(ctx));
            if (!value || !set_dict_item(row.get(), key.get(), value.get(), key_at)) return nullptr;
            row_keys_.push_back(std::move(key));
        }
        if (!renumber_as_positions(ctx, mark, start, 2 * width_, false)) return nullptr;
        return row.release();
    }
    for (const PyPointer& key : row_keys_) {
        ctx.start_item(1);
        PyPointer value = PyPointer::steal(deserialize_object(ctx));
        if (!value || !set_dict_item(row.get(), key.get(), value.get(), ctx.in.position)) return nullptr;
    }
    if (!renumber_as_positions(ctx, mark, start, width_, false)) return nullptr;
    return row.release();
}

PyObject* ItemWalk::next_typed(LazyContext& ctx) {
    InputReader& in = ctx.in;
    switch (element_kind_) {
        case ElementKind::None:
            Py_RETURN_NONE;
        case ElementKind::Float:
            return decode_f64(in);
        case ElementKind::Bool: {
            // (the packed bytes were checked against the input when the list was opened)
            const bool set = (in.data[packed_start_ + index_ / 8] >> (7 - index_ % 8)) & 1u;
            return Py_NewRef(set ? Py_True : Py_False);
        }
        case ElementKind::Str: {
            // Numbered by position, like a skipped string: the table keeps no object.
            const size_t at = in.position;
            if (!ctx.holder.insert_position(at, PositionKind::MarkedValue)) return nullptr;
            return placed(decode_string_without_inserting_pointer<StrPayload::Marked>(in), at);
        }
        case ElementKind::Bytes:
            return decode_bytes(in);
        case ElementKind::Invalid:
            break;
    }
    return nullptr;  // (open() refused unknown element types)
}

}  // namespace quarl
