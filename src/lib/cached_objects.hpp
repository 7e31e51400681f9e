// Process-wide objects created once at module start-up and never released.
#pragma once

#include "utils/python.hpp"

namespace quarl {

extern PyObject* EMPTY_TUPLE;
extern PyObject* EMPTY_STR;
extern PyObject* EMPTY_BYTES;
extern PyObject* DESERIALIZATION_ERROR;
extern PyObject* SERIALIZATION_ERROR;
extern PyObject* CUSTOM_TYPE_CLASS;
extern PyObject* IDX_CLASS;
extern PyObject* DATETIME_ISOFORMAT;
extern PyTypeObject* DATETIME_TYPE;  // PyDateTimeAPI->DateTimeType
extern PyObject* WRITE_METHOD_NAME;  // interned "write"
extern PyObject* INDEX_ATTRIBUTE_NAME;  // interned "index"
extern PyObject* ZERO;  // the int 0

// Fills the cache. Returns false with MemoryError set when anything is missing
// (the companion package included).
[[nodiscard]] bool init_cached_objects() noexcept;

}  // namespace quarl
