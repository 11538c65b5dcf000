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
    // As built, the fraction of values a dropout layer drops; init turns it into the probability of keeping a
    // value, which is what it holds from then on (and what a model file records). Read it as keep_probability.
    float dropout_rate = 0.0f;
    Matrix binary_mask;  // (B, input columns): scaled keep mask, 0 or 1/keep

    friend bool operator==(const Layer&, const Layer&) = default;
};

namespace layer {

// Fresh weights and zero biases for "dense"; drop fraction -> keep probability for "dropout".
void init(Layer& layer);

// batch: (B, C) on entry, the layer's output on return. The input is kept in `inputs` by swapping
// buffers, so a pass copies nothing it does not have to store.
void forward(Layer& layer, Matrix& batch, bool training);

// grad: the gradient of the layer's output on entry (B, N), of its input on return (B, C); with input_needed false,
// a dense layer leaves grad holding its relu-masked output gradient. scratch is a reusable buffer.
void backward(Layer& layer, Matrix& grad, Matrix& scratch, bool input_needed = true);

// The keep probability of a dropout layer after init, which its dropout_rate field holds.
inline float keep_probability(const Layer& layer) { return layer.dropout_rate; }

}  // namespace layer
}  // namespace wexo
