// Message texts raised by the module. Texts with placeholders are PyErr_Format
// templates; each is raised from one place.
#pragma once

namespace quarl::msg {

// Decoding, lazy loading and containment checks (DeserializationError unless noted).
inline constexpr const char* END_OF_INPUT = "Unexpected end of input";
inline constexpr const char* CORRUPTED = "Corrupted data";
inline constexpr const char* MISSING_MARKER = "Corrupted data: missing starting marker `<o>`";
inline constexpr const char* EXTRA_DATA =
    "Unexpected extra data, from position %zu. If you want to ignore it use the flag `ignore_extra_data`";
inline constexpr const char* INVALID_ASCII = "Corrupted data: a string marked as ASCII holds a byte above 127";
inline constexpr const char* INVALID_UTF8 = "Corrupted data: a string is not valid UTF-8";
inline constexpr const char* SIZE_OVERFLOW = "Corrupted data: a size field does not fit in 64 bits";
inline constexpr const char* EMPTY_STRUCTURED_LIST = "Corrupted data: a list of structured dicts with no rows";
inline constexpr const char* INTEGER_TOO_LARGE = "Corrupted data: integer magnitude of more than %zu digits";
inline constexpr const char* TOO_MANY_ELEMENTS =
    "Corrupted data: more elements without payload than this document can hold";
inline constexpr const char* INVALID_KEY_TYPE = "Invalid type for a key: %R";
inline constexpr const char* UNKNOWN_CUSTOM_TYPE =
    "Unknown custom type. please provide the correct mapping when deserializing. identifier: `%U` (type: `%R`)";
inline constexpr const char* CUSTOM_TYPE_LOAD_FAILED = "Failed to deserialize custom type";
// CorruptDataError (a DeserializationError that is also a TypeError), with the offset:
inline constexpr const char* UNEXPECTED_FLAG = "Unexpected flag";
inline constexpr const char* UNEXPECTED_LIST_TYPE = "Unexpected consistent list type";  // a typed list's element type

// Lazy paths (DeserializationError).
inline constexpr const char* EXPECTED_DICT = "Invalid path, expected `dict` but found `%s`";
inline constexpr const char* EXPECTED_LIST = "Invalid path, expected `list` but found `%s`";
inline constexpr const char* EXPECTED_CONTAINER = "Invalid path, expected `%s` but found `%s`";
inline constexpr const char* EXPECTED_ITEMS = "Invalid path, expected `list` or `dict` but found `%s`";
inline constexpr const char* ITERATOR_RUNNING = "the item iterator is already running";
inline constexpr const char* UNEXPECTED_FLAG_ON_PATH = "Corrupt data: unexpected flag";
inline constexpr const char* INDEX_OUT_OF_RANGE = "Index out of range, index is `%llu` but list is of len `%llu`";
inline constexpr const char* KEY_NOT_FOUND = "Key not found, key: `%U` (type `%R`)";
// TypeError:
inline constexpr const char* PATH_NOT_LIST = "path_to_load must be a list";
inline constexpr const char* NEGATIVE_INDEX = "Index must not be negative";

// Encoding (SerializationError unless noted).
inline constexpr const char* TUPLE_KEY = "Invalid type for dict key: tuple";
inline constexpr const char* UNEXPECTED_TYPE = "Unexpected type: %R";
inline constexpr const char* DATETIME_DISABLED = "Unexpected type: datetime, with flag serialize_dates disabled";
inline constexpr const char* DATE_FAILED = "Failed to serialize date";
inline constexpr const char* CUSTOM_TYPE_FAILED = "Failed to serialize custom type";
inline constexpr const char* DEFAULT_FAILED = "Failed to serialize value: default raised an exception";
inline constexpr const char* DEFAULT_GAVE_UP = "Unexpected type: %R, still after %d calls of default in a row";
inline constexpr const char* INVALID_STR = "Failed to serialize str: it cannot be encoded as UTF-8";
inline constexpr const char* INT_TOO_LARGE_TO_WRITE = "Failed to serialize int: magnitude of more than %zu bits";
inline constexpr const char* ROW_KEYS_CHANGED =
    "Failed to serialize list of dicts: a dict's keys changed while it was being written";
// RuntimeError:
inline constexpr const char* LIST_CHANGED = "list changed size during iteration";
inline constexpr const char* DICT_CHANGED = "dictionary changed size during iteration";
inline constexpr const char* DICT_KEYS_CHANGED = "dictionary keys changed during iteration";

// Argument errors (TypeError).
inline constexpr const char* CUSTOM_TYPES_NOT_DICT = "custom_types must be a dict";
inline constexpr const char* CUSTOM_TYPES_BAD_KEY = "custom_types key must be a valid type";
inline constexpr const char* CUSTOM_TYPES_BAD_VALUE = "custom_types value must be of type CustomType";
inline constexpr const char* CUSTOM_TYPES_NOT_CALLABLE = "custom_types value must be a function";
inline constexpr const char* DEFAULT_NOT_CALLABLE = "default must be callable or None";
inline constexpr const char* BUFFER_TYPE = "buffer must be of type `bytes` or `bytearray` but got `%R`";
inline constexpr const char* BUFFER_ITEM_SIZE = "buffer must hold single bytes, but its items are %zd bytes each";
inline constexpr const char* BUFFER_NOT_CONTIGUOUS = "buffer must be C-contiguous";
inline constexpr const char* NEGATIVE_OFFSET = "offset must not be negative";
inline constexpr const char* OFFSET_PAST_END = "offset %zu is past the end of the buffer (%zu bytes)";

}  // namespace quarl::msg
