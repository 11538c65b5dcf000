// The dense layer's affine step, its parameter gradients with their regularization terms, and its input gradient.
#include "nn/dense.h"

#include <string>
#include <utility>

#include "core/gemm.h"
#include "nn/activation.h"

namespace wexo::layer::dense {

namespace {

// dweights[i][j] += term(weights[i][j]), positions matched by index
template <class Term>
void add_weight_term(const Matrix& weights, Matrix& dweights, Term term) {
    check_covers(weights.shape(), dweights.shape(), "dense backward", "weights", "do", "the weight gradient");
    for (std::size_t i = 0; i < dweights.n_rows; ++i) {
        const float* w = weights.row(i);
        float* d = dweights.row(i);
        for (std::size_t j = 0; j < dweights.n_cols; ++j) d[j] = d[j] + term(w[j]);
    }
}

template <class Term>
void add_bias_term(const Vector& biases, Vector& dbiases, Term term) {
    if (biases.size() < dbiases.size()) [[unlikely]]
        fail(index_out_of_range("dense backward: bias", biases.size(), biases.size(), "biases"));
    for (std::size_t j = 0; j < dbiases.size(); ++j) dbiases[j] = dbiases[j] + term(biases[j]);
}

float sign_of(float v) { return v < 0.0f ? -1.0f : 1.0f; }  // zero, -0.0 and NaN count as positive

// The four regularization terms of the gradients the last backward pass stored.
void add_regularization(Layer& layer) {
    const Matrix& w = layer.weights;
    Vector& db = layer.dbiases;
    // A strength that is 0, negative or NaN adds nothing.
    if (const float l1 = layer.weight_regularizer_l1; l1 > 0.0f)
        add_weight_term(w, layer.dweights, [l1](float v) { return l1 * sign_of(v); });
    if (const float l2 = layer.weight_regularizer_l2; l2 > 0.0f)
        add_weight_term(w, layer.dweights, [twice = 2.0f * l2](float v) { return twice * v; });
    if (const float l1 = layer.bias_regularizer_l1; l1 > 0.0f)
        add_bias_term(layer.biases, db, [l1](float v) { return l1 * sign_of(v); });
    if (const float l2 = layer.bias_regularizer_l2; l2 > 0.0f)
        add_bias_term(layer.biases, db, [twice = 2.0f * l2](float v) { return twice * v; });
}

}  // namespace

void forward(const Matrix& x, const Matrix& weights, const Vector& biases, Matrix& out, Matrix* relu_inputs) {
    const std::size_t n = weights.n_cols;
    // A shape mismatch is the product's to report; the biases are checked as if added after it.
    if (x.n_cols == weights.n_rows) {
        if (biases.size() < n) [[unlikely]]
            fail(index_out_of_range("dense forward: bias", biases.size(), biases.size(), "biases (") +
                 std::to_string(n) + " weight columns)");
    }
    gemm(x, false, weights, false, out, {biases.data(), relu_inputs});
}

bool pair_fits(const Matrix& x, const Layer& lower, const Layer& upper) {
    return lower.layer_type == kDense && lower.activation_type == kRelu && upper.layer_type == kDense &&
           gemm_dense_pair_fits(x, lower.weights, lower.biases, upper.weights, upper.biases);
}

void forward_pair(const Matrix& x, Layer& lower, Layer& upper, Matrix& h, Matrix& out) {
    gemm_dense_pair(x, lower.weights, lower.biases, lower.activation_inputs, h, upper.weights, upper.biases,
                    upper.activation_type == kRelu ? &upper.activation_inputs : nullptr, out);
}

void parameter_gradients(Layer& layer, const Matrix& grad) {
    const Matrix& x = layer.inputs;
    const Matrix& w = layer.weights;
    if (x.n_rows != grad.n_rows || grad.n_cols != w.n_cols) [[unlikely]]
        fail("dense backward: inputs " + shape_text(x) + " and gradient " + shape_text(grad) +
             " do not fit weights " + shape_text(w));
    // dbiases, the column sums of grad, come out of the same pass over grad as dweights
    Vector& db = layer.dbiases;
    db.resize(grad.n_cols);
    gemm(x, true, grad, false, layer.dweights, {.b_column_sums = db.data()});
    add_regularization(layer);
}

bool first_layer_chain_fits(const Layer& upper, const Layer& first, const Matrix& grad) {
    if (upper.layer_type != kDense || first.layer_type != kDense || first.activation_type != kRelu) return false;
    const Matrix& w = upper.weights;
    return upper.inputs.n_rows == grad.n_rows && grad.n_cols == w.n_cols && first.weights.n_cols == w.n_rows &&
           gemm_masked_chain_fits(grad, w, first.activation_inputs, first.inputs);
}

void first_layer_gradients(const Layer& upper, Layer& first, const Matrix& grad) {
    gemm_masked_chain(grad, upper.weights, first.activation_inputs, first.inputs, first.dweights, first.dbiases);
    add_regularization(first);
}

bool backward(Layer& layer, Matrix& grad, Matrix& scratch, bool input_needed, const Matrix* relu_inputs_below) {
    parameter_gradients(layer, grad);
    if (!input_needed) return false;
    const Matrix& w = layer.weights;
    const Matrix* mask = relu_inputs_below;
    if (mask) activation::relu::check_covers(*mask, {grad.n_rows, w.n_rows});
    gemm(grad, false, w, true, scratch, {nullptr, nullptr, mask});
    std::swap(grad, scratch);
    return mask != nullptr;
}

}  // namespace wexo::layer::dense
