// Aborts that say which of the arrays a call was given does not fit the model, and how.
#include "model/fit.h"

#include <algorithm>
#include <string>

#include "nn/loss.h"

namespace wexo::model {

namespace {

// only an unknown layer type changes the number of rows
constexpr const char* kEmptiedBatch = ": a layer that is neither \"dense\" nor \"dropout\" passes nothing on";

std::string layer_text(const std::vector<Layer>& layers, std::size_t i) {
    const std::string& type = layers[i].layer_type;
    const bool known = type == kDense || type == kDropout;
    return "layer " + std::to_string(i + 1) + " (" + (known ? type : "\"" + type + "\"") + ")";
}

std::string count_text(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

void check_layers_fit(const std::vector<Layer>& layers, std::size_t n_cols, std::string_view x_name) {
    // what the next layer receives: x, a dense layer's output, or nothing after a layer of another type
    std::size_t cols = n_cols;
    std::size_t source = layers.size();  // index of the layer that shaped it; layers.size(): x itself
    for (std::size_t i = 0; i < layers.size(); ++i) {
        const Layer& l = layers[i];
        if (l.layer_type == kDropout) continue;
        if (l.layer_type != kDense) {
            cols = 0;  // the layer passes an empty batch on
            source = i;
            continue;
        }
        const Matrix& w = l.weights;
        if (cols != w.n_rows) [[unlikely]] {
            if (w.n_rows == 0 && w.n_cols == 0 && l.n_inputs != 0)
                fail(layer_text(layers, i) + " has no weights: the model was never trained or loaded (only a model "
                     "returned by a load function holds trained weights)");
            std::string given;
            if (source == layers.size())
                given = std::string(x_name) + " has " + count_text(cols, "column", "columns");
            else if (layers[source].layer_type == kDense)
                given = layer_text(layers, source) + " gives " + count_text(cols, "output", "outputs");
            else
                given = layer_text(layers, source) + " passes nothing on (only \"dense\" and \"dropout\" layers do)";
            std::string takes = layer_text(layers, i) + " takes " + count_text(w.n_rows, "input", "inputs");
            if (w.n_rows != l.n_inputs)
                takes += " (its weights are " + shape_text(w) + ", its n_inputs " + std::to_string(l.n_inputs) + ")";
            fail(given + ", but " + takes);
        }
        if (l.biases.size() < w.n_cols) [[unlikely]]
            fail(layer_text(layers, i) + " has " + count_text(l.biases.size(), "bias", "biases") + " for the " +
                 std::to_string(w.n_cols) + " columns of its weights " + shape_text(w));
        cols = w.n_cols;
        source = i;
    }
}

void fail_label_count(std::size_t n_labels, std::size_t n_out_rows, const BatchNames& names) {
    std::string msg = std::string(names.y) + " has " + count_text(n_labels, "entry", "entries") + " for the " +
                      count_text(n_out_rows, "row", "rows");
    if (n_out_rows == names.n_rows)
        msg += " of " + std::string(names.x);
    else
        msg += " of the model's output (" + std::string(names.x) + " has " + std::to_string(names.n_rows) + ")" +
               kEmptiedBatch;
    fail(msg);
}

void check_class_labels(const ClassVector& y, std::size_t n_out_rows, std::size_t n_cols, const BatchNames& names) {
    const std::size_t n = std::min(y.size(), n_out_rows);
    if (loss::any_class_outside(y, n, n_cols)) [[unlikely]]
        for (std::size_t i = 0; i < n; ++i)
            if (y[i] < 0 || static_cast<std::size_t>(y[i]) >= n_cols) fail_class_index(i, y[i], n_cols, names);
    if (y.size() > n_out_rows) [[unlikely]]
        fail_label_count(y.size(), n_out_rows, names);
}

void fail_class_index(std::size_t i, std::int32_t label, std::size_t n_cols, const BatchNames& names) {
    std::string msg = std::string(names.y) + "[" + std::to_string(i) + "] = " + std::to_string(label) +
                      " is not a class index of the model's " + count_text(n_cols, "output column", "output columns");
    if (n_cols > 0) msg += " (0 to " + std::to_string(n_cols - 1) + ")";
    if (names.n_layers == 0) msg += ": a model without layers outputs " + std::string(names.x) + " as it is";
    fail(msg);
}

void fail_no_predictions(const LinearModel& m, std::size_t n_out_rows, const BatchNames& names) {
    const std::string what = "no predictions to compare with " + std::string(names.y) + ": ";
    if (m.output_type != kLinear)
        fail(what + "output_type \"" + m.output_type +
             "\" predicts nothing (the linear model predicts with \"linear\")");
    if (names.n_rows == 0) fail(what + std::string(names.x) + " has no rows");
    fail(what + "the model's output has " + std::to_string(n_out_rows) + " rows (" + std::string(names.x) + " has " +
         std::to_string(names.n_rows) + ")" + kEmptiedBatch);
}

}  // namespace wexo::model
