// iter_items: an iterator over the items of the list or dict at a path,
// decoding one item per step with the lazy reader's reference table.
#include <optional>
#include <vector>

#include "deserializing/item_walk.hpp"
#include "lib/cached_objects.hpp"
#include "lib/entry_points.hpp"
#include "lib/input_arguments.hpp"
#include "lib/path_steps.hpp"
#include "utils/input_buffer.hpp"
#include "utils/messages.hpp"
#include "utils/py_helpers.hpp"

namespace quarl {

namespace {

// Everything a walk keeps between steps. The buffer stays exported while the
// iterator lives, so the bytes it reads cannot change under it.
struct ItemState {
    PyPointer source;  // bytes are read without an export: the reference keeps them alive
    InputBuffer input;
    LoaderMap loaders;
    std::optional<PositionPointerHolder> holder;
    std::optional<LazyContext> ctx;
    ItemWalk walk;
    PyPointer row_items;  // iterator over a row of a list of like dicts, built whole
    Py_ssize_t row_remaining = 0;
    bool keys_only = false;
    bool running = false;
};

struct ItemIterator {
    PyObject_HEAD
    ItemState* state;  // null once the walk is over
    bool was_dict;     // what `kind` answers after the walk
};

void finish(ItemIterator* self) noexcept {
    if (self->state != nullptr) self->was_dict = self->state->row_items || self->state->walk.is_dict();
    delete self->state;
    self->state = nullptr;
}

void item_iterator_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<ItemIterator*>(object);
    PyTypeObject* type = Py_TYPE(object);
    PyObject_GC_UnTrack(object);
    finish(self);
    type->tp_free(object);
    Py_DECREF(type);
}

// Loaders, and keys their loaders built, may refer back to the iterator.
int item_iterator_traverse(PyObject* object, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(object));
    const ItemState* state = reinterpret_cast<ItemIterator*>(object)->state;
    if (state == nullptr) return 0;
    Py_VISIT(state->source.get());
    Py_VISIT(state->row_items.get());
    if (const int failed = state->loaders.traverse(visit, arg)) return failed;
    return state->walk.traverse(visit, arg);
}

int item_iterator_clear(PyObject* object) {
    auto* self = reinterpret_cast<ItemIterator*>(object);
    if (self->state != nullptr && !self->state->running) finish(self);
    return 0;
}

PyObject* item_iterator_next(PyObject* object) {
    // Runs outside the module's functions: its interpreter's state is the type's module's.
    ModuleStateScope scope(PyType_GetModule(Py_TYPE(object)));
    auto* self = reinterpret_cast<ItemIterator*>(object);
    ItemState* state = self->state;
    if (state == nullptr) return nullptr;
    // A loader or a finalizer that runs mid-step must not advance the walk.
    if (state->running) {
        to_py_error(msg::ITERATOR_RUNNING, PyExc_ValueError);
        return nullptr;
    }
    state->running = true;
    PyObject* item = nullptr;
    if (state->row_items) {
        item = PyIter_Next(state->row_items.get());
        --state->row_remaining;
        if (item != nullptr && state->keys_only) {
            PyObject* key = Py_NewRef(PyTuple_GET_ITEM(item, 0));
            Py_DECREF(item);
            item = key;
        }
    } else {
        state->ctx->thread = PyThreadState_Get();  // the iterator may move between threads
        item = call_without_cpp_exceptions([&] { return state->walk.next(*state->ctx); });
    }
    state->running = false;
    if (item == nullptr) finish(self);  // releases the buffer as soon as the walk ends
    return item;
}

// Items not handed out yet (PEP 424), read from the container's header.
PyObject* item_iterator_length_hint(PyObject* object, PyObject*) {
    ItemState* state = reinterpret_cast<ItemIterator*>(object)->state;
    if (state == nullptr) return PyLong_FromLong(0);
    if (state->row_items) return PyLong_FromSsize_t(state->row_remaining);
    return PyLong_FromUnsignedLongLong(state->walk.remaining());
}

// "dict" or "list": what the path led to, known before any item is read.
PyObject* item_iterator_kind(PyObject* object, void*) {
    auto* self = reinterpret_cast<ItemIterator*>(object);
    const bool dict = self->state == nullptr ? self->was_dict : self->state->row_items || self->state->walk.is_dict();
    return PyUnicode_FromString(dict ? "dict" : "list");
}

PyMethodDef ITEM_ITERATOR_METHODS[] = {
    {"__length_hint__", item_iterator_length_hint, METH_NOARGS, "number of items not handed out yet"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ITEM_ITERATOR_GETSET[] = {
    {"kind", item_iterator_kind, nullptr, "'dict' or 'list': the container walked", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ITEM_ITERATOR_SLOTS[] = {
    {Py_tp_methods, ITEM_ITERATOR_METHODS},
    {Py_tp_getset, ITEM_ITERATOR_GETSET},
    {Py_tp_dealloc, reinterpret_cast<void*>(item_iterator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(item_iterator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(item_iterator_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(item_iterator_next)},
    {Py_tp_doc, const_cast<char*>("Items of a list or dict in an encoded document, decoded one per step.")},
    {0, nullptr},
};

PyType_Spec ITEM_ITERATOR_SPEC = {
    "pyquarl._pyquarl.ItemIterator",
    sizeof(ItemIterator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    ITEM_ITERATOR_SLOTS,
};


struct ItemOptions {
    PyObject* leading[2] = {nullptr, nullptr};  // buffer, path_to_load
    bool keys_only = false;
    LoaderMap loaders;
};

constexpr const char* LEADING_NAMES[2] = {"buffer", "path_to_load"};

bool parse_arguments(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, ItemOptions& options) {
    return parse_leading_arguments(
        "iter_items", LEADING_NAMES, options.leading, args, nargsf, kwnames, [&](PyObject* name, PyObject* value) {
            bool ok = true;
            if (keyword_is(name, "custom_types")) {
                ok = options.loaders.parse(value);
            } else if (keyword_is(name, "keys_only")) {
                ok = read_flag(value, options.keys_only);
            } else {
                return Keyword::Unknown;
            }
            return ok ? Keyword::Taken : Keyword::Failed;
        });
}

PyObject* make_item_iterator(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    ItemOptions options;
    if (!parse_arguments(args, nargsf, kwnames, options)) return nullptr;
    std::vector<PathStep> steps;
    std::vector<PyPointer> owned_keys;
    PyPointer empty_path;
    PyObject* path = options.leading[1];
    if (path == nullptr) {
        empty_path = PyPointer::steal(PyList_New(0));
        if (!empty_path) return nullptr;
        path = empty_path.get();
    }
    if (!build_steps(path, steps, owned_keys)) return nullptr;

    PyTypeObject* type = ITEM_ITERATOR_TYPE;
    PyPointer iterator = PyPointer::steal(type->tp_alloc(type, 0));
    if (!iterator) return nullptr;
    auto* self = reinterpret_cast<ItemIterator*>(iterator.get());
    self->state = new ItemState{};
    ItemState& state = *self->state;
    state.source = PyPointer::borrow(options.leading[0]);
    state.keys_only = options.keys_only;
    if (!state.input.open(options.leading[0]) || !check_marker(state.input)) return nullptr;
    state.loaders = std::move(options.loaders);
    state.holder.emplace(state.input.data(), state.input.size());
    state.ctx.emplace(state.input.data(), state.input.size(), DOCUMENT_MARKER_SIZE, *state.holder, state.loaders,
                      false);
    PyPointer located = PyPointer::steal(lazy_deserialize(*state.ctx, steps, LazyMode::Locate, true));
    if (!located) return nullptr;
    if (located.get() != Py_None) {
        // A row of a list of like dicts is not one run of bytes: it was built
        // whole, and its pairs are handed out from it.
        PyPointer pairs = PyPointer::steal(PyDict_Items(located.get()));
        if (!pairs) return nullptr;
        state.row_remaining = PyList_GET_SIZE(pairs.get());
        state.row_items = PyPointer::steal(PyObject_GetIter(pairs.get()));
        if (!state.row_items) return nullptr;
        return iterator.release();
    }
    if (!state.walk.open(*state.ctx, state.keys_only)) return nullptr;
    return iterator.release();
}

}  // namespace

PyTypeObject* make_item_iterator_type(PyObject* module) noexcept {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &ITEM_ITERATOR_SPEC, nullptr));
}

PyObject* iter_items(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return call_without_cpp_exceptions([&] { return make_item_iterator(args, nargsf, kwnames); });
}

}  // namespace quarl
