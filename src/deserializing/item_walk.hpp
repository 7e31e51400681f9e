// Walking the items of one list or dict of an encoded document one at a time:
// each step decodes one item and passes over nothing else, so memory does not
// grow with the container.
#pragma once

#include <cstdint>
#include <vector>

#include "deserializing/lazy_deserialize.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

class ItemWalk {
public:
    // Reads the header of the container at the reader's position. False with
    // DeserializationError set when it is not a list or dict. With
    // `keys_only`, a dict's steps hand out its keys and skip its values.
    [[nodiscard]] bool open(LazyContext& ctx, bool keys_only);

    // Whether the container is a dict (or a row of a list of like dicts).
    [[nodiscard]] bool is_dict() const noexcept { return dict_; }

    // Visits the row keys kept for the garbage collector.
    [[nodiscard]] int traverse(visitproc visit, void* arg) const noexcept {
        for (const PyPointer& key : row_keys_) Py_VISIT(key.get());
        return 0;
    }

    // Items not handed out yet.
    [[nodiscard]] uint64_t remaining() const noexcept { return kind_ == Kind::Done ? 0 : count_ - index_; }

    // Next item as a new reference: a list's element, or a (key, value)
    // tuple of a dict. Null with no exception set after the last item, or
    // with the exception set on failure (the walk is then over).
    [[nodiscard]] PyObject* next(LazyContext& ctx);

private:
    enum class Kind : uint8_t { Done, List, TypedList, Dict, StrKeyDict, Rows };

    [[nodiscard]] PyObject* next_element(LazyContext& ctx);
    [[nodiscard]] PyObject* next_typed(LazyContext& ctx);
    [[nodiscard]] PyObject* next_pair(LazyContext& ctx);
    [[nodiscard]] PyObject* next_row(LazyContext& ctx);
    // Numbers the strings of the item just decoded (from `mark` on, the item
    // having started at `start`) again as positions, so the table keeps no
    // decoded string alive.
    [[nodiscard]] bool renumber_as_positions(LazyContext& ctx, size_t mark, size_t start, uint64_t values,
                                             bool str_key);

    Kind kind_ = Kind::Done;
    bool dict_ = false;
    bool keys_only_ = false;
    ElementKind element_kind_ = ElementKind::None;
    uint64_t count_ = 0;   // items in all
    uint64_t index_ = 0;   // items handed out
    uint64_t width_ = 0;   // keys of a row
    size_t packed_start_ = 0;  // first byte of a typed list of bools
    std::vector<PyPointer> row_keys_;
};

}  // namespace quarl
