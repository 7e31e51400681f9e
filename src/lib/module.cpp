// The extension module _pyquarl: method table and start-up.
#include "lib/cached_objects.hpp"
#include "lib/entry_points.hpp"
#include "serializing/text_hash.hpp"

namespace quarl {
namespace {

#define QUARL_FASTCALL(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef METHODS[] = {
    {"dump_bytes", QUARL_FASTCALL(dump_bytes), METH_FASTCALL | METH_KEYWORDS, "serializes quarl"},
    {"load_bytes", QUARL_FASTCALL(load_bytes), METH_FASTCALL | METH_KEYWORDS, "deserializes quarl"},
    {"lazy_load_bytes", QUARL_FASTCALL(lazy_load_bytes), METH_FASTCALL | METH_KEYWORDS, "lazily deserializes quarl"},
    {"bytes_check_if_contains", QUARL_FASTCALL(bytes_check_if_contains), METH_FASTCALL | METH_KEYWORDS,
     "lazily deserializes quarl"},
    {"raw_decode", QUARL_FASTCALL(raw_decode), METH_FASTCALL | METH_KEYWORDS,
     "decodes the document at an offset of a buffer; returns (value, offset just past it)"},
    {"document_end", QUARL_FASTCALL(document_end), METH_FASTCALL | METH_KEYWORDS,
     "offset just past the document at an offset of a buffer, found without decoding it"},
    {"iter_items", QUARL_FASTCALL(iter_items), METH_FASTCALL | METH_KEYWORDS,
     "iterates over the items of the list or dict at a path, decoding one item per step"},
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
