// The module wexo: its eleven functions in one table, and PyInit_wexo.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "core/openblas.h"
#include "model/model.h"
#include "model/model_file.h"
#include "model/train.h"
#include "python/args.h"

namespace wexo::python {
namespace {

template <class M>
using Targets = std::conditional_t<std::is_same_v<M, LinearModel>, float, std::int32_t>;
template <class M>
using TargetArg = ArrayArg<Targets<M>, 1>;
using InputArg = ArrayArg<float, 2>;

template <class M>
M create_model(std::string output_type, std::string save_best_params) {
    M m;
    m.output_type = std::move(output_type);
    m.save_best_params = std::move(save_best_params);
    return m;
}

template <class M>
M add_layer(M m, std::optional<std::uint64_t> n_inputs, std::optional<std::uint64_t> n_neurons,
            std::optional<std::string> layer_type, std::optional<std::string> activation_type,
            std::optional<float> dropout_rate) {
    Layer l;
    l.n_inputs = n_inputs.value_or(0);
    l.n_neurons = n_neurons.value_or(0);
    l.layer_type = std::move(layer_type).value_or("");
    l.activation_type = std::move(activation_type).value_or("");
    l.dropout_rate = dropout_rate.value_or(0.0f);
    m.layers.push_back(std::move(l));
    return m;
}

DynamicOptimizer create_optimizer(std::string opt_type, float learning_rate, float decay) {
    DynamicOptimizer opt;
    opt.opt_type = std::move(opt_type);
    opt.learning_rate = learning_rate;
    opt.decay = decay;
    return opt;
}

template <class M>
void train(M m, DynamicOptimizer opt, std::uint16_t num_epochs, std::uint16_t print_freq, InputArg x,
           TargetArg<M> y, InputArg val_x, TargetArg<M> val_y) {
    // The training call copies each array when it gets to it, so a zero print_freq aborts before any copy.
    model::train(m, opt, num_epochs, print_freq,
                 {[x] { return copy(x); }, [y] { return copy(y); }, [val_x] { return copy(val_x); },
                  [val_y] { return copy(val_y); }});
}

template <class M>
M load(std::string save_best_params) {
    if constexpr (std::is_same_v<M, LinearModel>)
        return model_file::read_linear(save_best_params);
    else
        return model_file::read_categorical(save_best_params);
}

template <class M>
void evaluate(M m, InputArg val_x, TargetArg<M> val_y) {
    // x is copied a block of rows at a time as the report goes; the call holds the GIL, so the array cannot change
    // in between and the result is that of one copy made up front.
    const model::Rows x_rows{rows(val_x.array), columns(val_x.array),
                             [a = val_x.array](std::size_t first, std::size_t count, float* out) {
                                 copy_rows(a, first, count, out);
                             }};
    const auto y_data = copy(val_y);
    model::test(m, x_rows, y_data);
}

template <Text Sig, auto Body>
PyMethodDef method() {
    // Through void(*)(): METH_FASTCALL | METH_KEYWORDS functions are stored as PyCFunction.
    return {kFunctionName<Sig>.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call<Sig, Body>)),
            METH_FASTCALL | METH_KEYWORDS, kFunctionDoc<Sig>.data()};
}

// In the order of __all__. CPython takes non-const pointers to these but never writes them.
PyMethodDef functions[] = {
    method<"create_linear_model(output_type, save_best_params)", &create_model<LinearModel>>(),
    method<"create_categorical_model(output_type, save_best_params)", &create_model<CategoricalModel>>(),
    method<"add_linear_model_layer(model, n_inputs=None, n_neurons=None, layer_type=None, activation_type=None, "
           "dropout_rate=None)",
           &add_layer<LinearModel>>(),
    method<"add_categorical_model_layer(model, n_inputs=None, n_neurons=None, layer_type=None, "
           "activation_type=None, dropout_rate=None)",
           &add_layer<CategoricalModel>>(),
    method<"create_optimizer(opt_type, learning_rate, decay)", &create_optimizer>(),
    method<"train_linear_model(model, opt, num_epochs, print_freq, x, y, val_x, val_y)", &train<LinearModel>>(),
    method<"train_categorical_model(model, opt, num_epochs, print_freq, x, y, val_x, val_y)",
           &train<CategoricalModel>>(),
    method<"load_linear_model(save_best_params)", &load<LinearModel>>(),
    method<"evaluate_linear_model(model, val_x, val_y)", &evaluate<LinearModel>>(),
    method<"load_categorical_model(save_best_params)", &load<CategoricalModel>>(),
    method<"evaluate_categorical_model(model, val_x, val_y)", &evaluate<CategoricalModel>>(),
};

// No per-module state (size 0), so a second import calls PyInit_wexo again instead of copying a cached
// dict, and the once-only check below is what refuses it.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "wexo", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Set once the module exists: the classes and the abort type are process-wide, so is the module.
bool initialized = false;

PyObject* init_module() {
    if (initialized) {
        PyErr_SetString(PyExc_ImportError, "wexo may only be initialized once per interpreter process");
        throw PyErrorSet{};
    }
    // OpenBLAS loads with the module, as a linked library would, so that thread controls such as threadpoolctl
    // find it from the import on; a missing library fails the import.
    try {
        openblas::functions();
    } catch (const Abort& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        throw PyErrorSet{};
    }
    Ref module = owned(PyModule_Create(&module_def));
    Ref module_name = owned(PyUnicode_FromString("wexo"));
    Ref all = owned(PyList_New(0));
    if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) throw PyErrorSet{};
    for (PyMethodDef& def : functions) {
        Ref function = owned(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        Ref name = owned(PyUnicode_FromString(def.ml_name));
        if (PyList_Append(all.get(), name.get()) < 0) throw PyErrorSet{};
        if (PyObject_SetAttr(module.get(), name.get(), function.get()) < 0) throw PyErrorSet{};
    }
    initialized = true;
    return module.release();
}

}  // namespace
}  // namespace wexo::python

PyMODINIT_FUNC PyInit_wexo(void) { return wexo::python::guarded(&wexo::python::init_module); }
