// Layer init, forward and backward: the dispatch on layer_type and activation_type.
#include "nn/layer.h"

#include <cstddef>
#include <limits>
#include <string>
#include <utility>

#include "core/rng.h"
#include "nn/activation.h"
#include "nn/dense.h"
#include "nn/dropout.h"
#include "nn/layer_walk.h"

namespace wexo::layer {

namespace {

static_assert(sizeof(std::uint64_t) <= sizeof(std::size_t), "layer counts must fit a size");

// A clear abort instead of a length error from the allocator for sizes no allocation can meet.
void check_allocatable(std::size_t count, std::size_t element_size, const char* what) {
    const std::size_t n_bytes = checked_mul(count, element_size);
    if (n_bytes > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max())) [[unlikely]]
        fail(std::string("memory allocation of ") + std::to_string(n_bytes) + " bytes for " + what + " failed");
}

void init_dense(Layer& layer) {
    const std::size_t n_inputs = layer.n_inputs;
    const std::size_t n_neurons = layer.n_neurons;
    check_allocatable(checked_mul(n_inputs, n_neurons), sizeof(float), "dense weights");
    check_allocatable(n_neurons, sizeof(float), "dense biases");
    const std::uint64_t s = rng::next_u64();
    // The layer's own stream from one draw: s - 1 and s + 1 are never both zero, a state Xorshift128+ never leaves.
    rng::Xorshift128Plus gen{s - 1, s + 1};
    Matrix weights(n_inputs, n_neurons);
    for (float& w : weights.values) {
        const double sample = 0.0 + 1.0 * rng::standard_normal(gen);  // mean + sd * z: turns -0.0 into 0.0
        w = static_cast<float>(sample) * 0.01f;
    }
    layer.weights = std::move(weights);
    layer.biases.assign(n_neurons, 0.0f);
}

}  // namespace

void init(Layer& layer) {
    if (layer.layer_type == kDropout)
        layer.dropout_rate = 1.0f - layer.dropout_rate;  // the keep probability from here on
    else if (layer.layer_type == kDense)
        init_dense(layer);
}

void forward(Layer& layer, Matrix& batch, bool training) {
    const bool relu = layer.activation_type == kRelu;
    if (layer.layer_type == kDense) {
        std::swap(layer.inputs, batch);  // the record keeps the input; batch's old buffer takes the output
        dense::forward(layer.inputs, layer.weights, layer.biases, batch, relu ? &layer.activation_inputs : nullptr);
        return;
    }
    if (layer.layer_type == kDropout) {
        if (training)  // the input is kept by the masking pass
            dropout::forward_training(keep_probability(layer), batch, layer.binary_mask, &layer.inputs);
        else
            layer.inputs = batch;
    } else {
        batch.reshape(0, 0);
    }
    if (relu) activation::relu::forward(batch, layer.activation_inputs);
}

void backward(Layer& layer, Matrix& grad, Matrix& scratch, bool input_needed) {
    walk::backward(layer, grad, scratch, input_needed, nullptr, false);
}

bool walk::keeps_input(const Layer& layer) { return layer.layer_type == kDense || layer.layer_type == kDropout; }

void walk::forward_stored(Layer& layer, Matrix& out, bool training) {
    const bool relu = layer.activation_type == kRelu;
    if (layer.layer_type == kDense) {
        dense::forward(layer.inputs, layer.weights, layer.biases, out, relu ? &layer.activation_inputs : nullptr);
        return;
    }
    WEXO_CHECK(layer.layer_type == kDropout, "a stored batch exists only for dense and dropout layers");
    out = layer.inputs;
    if (training) dropout::forward_training(keep_probability(layer), out, layer.binary_mask);
    if (relu) activation::relu::forward(out, layer.activation_inputs);
}

const Matrix* walk::relu_inputs(const Layer& layer) {
    return layer.activation_type == kRelu ? &layer.activation_inputs : nullptr;
}

bool walk::backward(Layer& layer, Matrix& grad, Matrix& scratch, bool input_needed, const Matrix* relu_inputs_below,
                    bool relu_applied) {
    const bool relu = layer.activation_type == kRelu;
    if (relu && !relu_applied) activation::relu::backward(layer.activation_inputs, grad);
    if (layer.layer_type == kDropout) {
        dropout::backward(layer.binary_mask, grad, relu_inputs_below);  // folds the relu of the layer below
        return relu_inputs_below != nullptr;
    } else if (layer.layer_type == kDense) {
        return dense::backward(layer, grad, scratch, input_needed, relu_inputs_below);
    } else if (!relu) {
        grad.reshape(0, 0);
    }
    return false;
}

bool walk::backward_onto_first(Layer& upper, Layer& first, Matrix& grad, bool relu_applied) {
    if (!dense::first_layer_chain_fits(upper, first, grad)) return false;
    if (upper.activation_type == kRelu && !relu_applied) activation::relu::backward(upper.activation_inputs, grad);
    dense::parameter_gradients(upper, grad);
    dense::first_layer_gradients(upper, first, grad);
    return true;
}

}  // namespace wexo::layer
