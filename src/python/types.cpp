// Heap types for the records: one template for all three, no constructor, no subclasses, no dict.
#include "python/types.h"

#include <new>
#include <type_traits>
#include <utility>

#include "python/boundary.h"

namespace wexo::python {
namespace {

template <class R>
struct RecordObject {
    PyObject_HEAD
    R record;  // built in place by wrap, destroyed by dealloc
};

template <class R>
struct Class;

// The docstrings keep their literal backslash-n pairs: they are part of the text, not line breaks.
template <>
struct Class<LinearModel> {
    static constexpr const char* full_name = "builtins.LinearModel";
    static constexpr const char* doc =
        "Create a model for categorical outcome data comprised of the\n"
        "cells specified in `layers`. Output types options are:\n"
        "- `linear` (oskel::activation::linear)\n"
        "\\n Loss type options are:\n"
        "- `mean_squared_error` (oskel::loss::mean_squared_error)\n"
        "\\n Accuracy type options are:\n"
        "- `linear` (oskel::accuracy::linear)\n"
        "\\n The `save_best_params` argument specifies where to save\n"
        "the best weights, if desired. `.json` is the supported file\n"
        "extension for saved models.";
};

template <>
struct Class<CategoricalModel> {
    static constexpr const char* full_name = "builtins.CategoricalModel";
    static constexpr const char* doc =
        "Create a model for categorical outcome data comprised of the\n"
        "cells specified in `layers`. Output types options are:\n"
        "- `softmax`     (oskel::activation::softmax)\n"
        "\\n Loss type options are:\n"
        "- `categorical_crossentropy` (oskel::loss::categorical_crossentropy)\n"
        "\\n Accuracy type options are:\n"
        "- `categorical` (oskel::accuracy::categorical)\n"
        "\\n The `save_best_params` argument specifies where to save\n"
        "the best weights, if desired. `.json` is the supported file\n"
        "extension for saved models.";
};

template <>
struct Class<DynamicOptimizer> {
    static constexpr const char* full_name = "builtins.DynamicOptimizer";
    static constexpr const char* doc =
        "Dynamic optimizer struct that can be either of `opt_type`\n"
        "`adam` or `sgd`, which correspond to the parameter update\n"
        "methods used in `oskel::optimizer::adam` and\n"
        "`oskel::optimizer::sgd`, respectively.";
};

// An inherited tp_new would hand out an object without a record.
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

template <class R>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<RecordObject<R>*>(self)->record.~R();
    type->tp_free(self);
    Py_DECREF(type);  // each instance holds a reference to its heap type
}

template <class R>
PyTypeObject* create_type() {
    // Records hold no Python objects, so no GC; no BASETYPE, no dict, no weakref slot.
    unsigned int flags = Py_TPFLAGS_DEFAULT;
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    flags |= Py_TPFLAGS_IMMUTABLETYPE;
#endif
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(Class<R>::doc)},
        {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<R>)},
        {0, nullptr},
    };
    PyType_Spec type_shape = {Class<R>::full_name, static_cast<int>(sizeof(RecordObject<R>)), 0, flags, slots};
    return reinterpret_cast<PyTypeObject*>(owned(PyType_FromSpec(&type_shape)).release());
}

}  // namespace

template <class R>
const char* record_name() noexcept {
    return Class<R>::full_name + sizeof("builtins.") - 1;
}

template <class R>
PyTypeObject* record_type() {
    // Lives until the process exits; a static Ref would decref after the interpreter is gone.
    static PyTypeObject* type = nullptr;
    if (!type) type = create_type<R>();
    return type;
}

template <class R>
Ref wrap(R record) {
    static_assert(std::is_nothrow_move_constructible_v<R>);
    PyTypeObject* type = record_type<R>();  // borrowed
    Ref obj = owned(type->tp_alloc(type, 0));
    new (&reinterpret_cast<RecordObject<R>*>(obj.get())->record) R(std::move(record));
    return obj;
}

template <class R>
const R* record_of(PyObject* o) {
    if (Py_TYPE(o) != record_type<R>()) return nullptr;
    return &reinterpret_cast<RecordObject<R>*>(o)->record;
}

template const char* record_name<LinearModel>() noexcept;
template PyTypeObject* record_type<LinearModel>();
template Ref wrap<LinearModel>(LinearModel);
template const LinearModel* record_of<LinearModel>(PyObject*);

template const char* record_name<CategoricalModel>() noexcept;
template PyTypeObject* record_type<CategoricalModel>();
template Ref wrap<CategoricalModel>(CategoricalModel);
template const CategoricalModel* record_of<CategoricalModel>(PyObject*);

template const char* record_name<DynamicOptimizer>() noexcept;
template PyTypeObject* record_type<DynamicOptimizer>();
template Ref wrap<DynamicOptimizer>(DynamicOptimizer);
template const DynamicOptimizer* record_of<DynamicOptimizer>(PyObject*);

}  // namespace wexo::python
