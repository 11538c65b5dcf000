// The one record of every layer kind, and its init, forward and backward passes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/matrix.h"

namespace wexo {

inline constexpr std::string_view kDense = "dense";
inline constexpr std::string_view kDropout = "dropout";
inline constexpr std::string_view kRelu = "relu";

// Fields in their declared order, which is also the order of a model file. B: rows of the last batch.
struct Layer {
    std::string layer_type;       // "dense", "dropout"; anything else is inert
    std::string activation_type;  // "relu" or no activation
    std::uint64_t n_inputs = 0;   // used only by init
    std::uint64_t n_neurons = 0;  // used only by init
    Matrix weights;               // (n_inputs, n_neurons)
    Vector biases;                // (n_neurons)
    float weight_regularizer_l1 = 0.0f;
    float weight_regularizer_l2 = 0.0f;
    float bias_regularizer_l1 = 0.0f;
    float bias_regularizer_l2 = 0.0f;
    Matrix inputs;             // (B, input columns): last forward input of a dense or dropout layer
    Matrix activation_inputs;  // (B, output columns): last pre-relu output
    Matrix dweights;           // as weights
    Vector dbiases;            // as biases
    Matrix weight_momentums;   // optimizer state, empty or as weights
    Matrix weight_cache;
    Vector bias_momentums;  // optimizer state, empty or as biases
    Vector bias_cache;
    float dropout_rate = 0.0f;  // drop fraction as built; keep probability after init of a dropout layer
    Matrix binary_mask;         // (B, input columns): scaled keep mask, 0 or 1/keep

    friend bool operator==(const Layer&, const Layer&) = default;
};

namespace layer {

// Fresh weights and zero biases for "dense"; drop fraction -> keep probability for "dropout".
void init(Layer& layer);

// batch: (B, C) on entry, the layer's output on return. The input is kept in `inputs` by swapping
// buffers, so a pass copies nothing it does not have to store.
void forward(Layer& layer, Matrix& batch, bool training);

// The same as forward on a copy of the batch a "dense" or "dropout" layer already holds in `inputs`, without making
// the copy: a training loop whose first layer keeps seeing the same batch skips copying it every epoch.
void forward_stored(Layer& layer, Matrix& out, bool training);

// What a backward pass is to do with the gradient of its input.
struct InputGrad {
    bool needed = true;  // false: a dense layer skips g * W^T (the first layer's result is discarded)
    // The activation_inputs of the layer below when that layer applies relu: a dense layer then folds the relu
    // derivative into its g * W^T, which spares a pass over the gradient.
    const Matrix* relu_inputs_below = nullptr;
};

// grad: the gradient of the layer's output on entry (B, N), of its input on return (B, C); without the input
// gradient, grad is left holding the relu-masked output gradient. relu_applied: the layer above already folded
// this layer's relu derivative into grad. Returns whether the returned grad holds the relu derivative of the layer
// below. scratch is a reusable buffer.
bool backward(Layer& layer, Matrix& grad, Matrix& scratch, InputGrad input = {}, bool relu_applied = false);

}  // namespace layer
}  // namespace wexo
