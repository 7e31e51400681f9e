// The extension module _pyquarl: method table and start-up.
#include "lib/cached_objects.hpp"
#include "lib/entry_points.hpp"
#include "serializing/text_hash.hpp"

namespace quarl {
namespace {

#define QUARL_FASTCALL(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef METHODS[] = {
    {"dump_bytes", QUARL_FASTCALL(dump_bytes), METH_FASTCALL | METH_KEYWORDS,
     "dump_bytes($module, /, obj, *, writer=..., serialize_dates=False, custom_types=..., default=None,\n"
     "           subclasses_as_base=False, flush_threshold=10485760, direct_write_threshold=5242880,\n"
     "           allow_non_string_keys=...)\n--\n\n"
     "Encode obj as a quarl document: returns bytes, or streams it to writer.write and returns None.\n\n"
     "Raises SerializationError for a value no rule writes, RecursionError for too deep or cyclic\n"
     "data, TypeError for a bad option."},
    {"load_bytes", QUARL_FASTCALL(load_bytes), METH_FASTCALL | METH_KEYWORDS,
     "load_bytes($module, /, buffer, *, use_tuples=False, stop_gc=False, ignore_extra_data=False,\n"
     "           custom_types=...)\n--\n\n"
     "Decode the whole quarl document in buffer (bytes or bytearray).\n\n"
     "Raises DeserializationError for damaged data, TypeError for a bad option."},
    {"lazy_load_bytes", QUARL_FASTCALL(lazy_load_bytes), METH_FASTCALL | METH_KEYWORDS,
     "lazy_load_bytes($module, /, buffer, path_to_load, *, include_falsy=True, custom_types=...)\n--\n\n"
     "Decode only the value at path_to_load (a list of keys and Idx steps), skipping the rest.\n\n"
     "Raises DeserializationError for a path that leads nowhere or damaged data on the way."},
    {"bytes_check_if_contains", QUARL_FASTCALL(bytes_check_if_contains), METH_FASTCALL | METH_KEYWORDS,
     "bytes_check_if_contains($module, /, buffer, path_to_load, *, include_falsy=True, custom_types=...)\n--\n\n"
     "Whether path_to_load (a list of keys and Idx steps) leads to a value, without decoding it.\n\n"
     "Damaged data on the way gives False; TypeError for a bad option."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_pyquarl",
    "Native core of pyquarl: encodes Python values to quarl documents and reads them back.",
    0,
    METHODS,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quarl

extern "C" PyMODINIT_FUNC PyInit__pyquarl() {
    if (!quarl::init_cached_objects()) return nullptr;
    quarl::init_text_hash_seed();
    return PyModule_Create2(&quarl::MODULE_DEF, PYTHON_API_VERSION);
}
