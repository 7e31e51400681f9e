// Lazy path resolution: follows a path of dict keys and list indices through
// an encoded document, skipping everything off the path, and decodes (load
// mode) or tests (check mode) only the value at its end.
#pragma once

#include <cstdint>
#include <span>

#include "deserializing/decode_context.hpp"
#include "deserializing/pointer_holders/position_pointer_holder.hpp"
#include "utils/python.hpp"
#include "utils/value_forms.hpp"

namespace quarl {

// One step of a path: a list index (from an Idx) or a dict key (any other
// object, borrowed from the caller's owned copy of the path).
struct PathStep {
    PyObject* key;  // null for an index step
    uint64_t index;

    [[nodiscard]] bool is_index() const noexcept { return key == nullptr; }
};

// Load decodes the value at the path, Check tests it, Locate leaves the reader
// on it (for walking its items).
enum class LazyMode { Load, Check, Locate };

using LazyContext = DecodeContext<PositionPointerHolder>;

// New reference to the value at the path (load mode) or to True/False (check
// mode); null with an exception set on failure. In locate mode: None with the
// reader on the value, or the value itself when it is no run of bytes of its
// own (a row of a list of like dicts, an element of a typed list).
[[nodiscard]] PyObject* lazy_deserialize(LazyContext& ctx, std::span<const PathStep> steps, LazyMode mode,
                                         bool include_falsy);

// Finds `key` among the next `pairs` entries of a dict whose flag is `flag`
// (general or str-keyed) and leaves the reader on its value; false with the
// error set when no entry matches or the walk fails.
[[nodiscard]] bool find_dict_key(LazyContext& ctx, uint8_t flag, uint64_t pairs, PyObject* key, LazyMode mode);

// The same over `pairs` entries of a longer run, where not finding `key` is
// no error: true with `found` set, or false with the error set.
[[nodiscard]] bool search_dict_entries(LazyContext& ctx, uint8_t flag, uint64_t pairs, PyObject* key, bool& found);

// Raises the path error for a step into the value at `at` (flag `flag`),
// which is not the container `message` names: "Unexpected flag" for a byte
// that starts no value. Returns null.
PyObject* wrong_container(const char* message, uint8_t flag, size_t at) noexcept;

// Reads the rows and width of a list of structured dicts (after its flag).
// With `judge` (a walk that reads every row), refuses a claim the input
// cannot hold and reserves it, as the decoder does. False with the error set.
[[nodiscard]] bool open_rows(LazyContext& ctx, uint64_t& rows, uint64_t& width, bool judge);

}  // namespace quarl
