// The forward and backward walks over the layer list, with the first layer's stored batch and the relu fold.
#include "nn/network.h"

#include <utility>

#include "nn/layer_walk.h"

namespace wexo::network {

void forward(std::vector<Layer>& layers, const Matrix& x, bool training, Matrix& out) {
    out.n_rows = x.n_rows;
    out.n_cols = x.n_cols;
    out.values.assign(x.values.begin(), x.values.end());  // keeps out's capacity
    forward_in_place(layers, out, training);
}

void forward_in_place(std::vector<Layer>& layers, Matrix& batch, bool training) {
    for (Layer& l : layers) layer::forward(l, batch, training);
}

void reuse_input_buffer(std::vector<Layer>& layers, Matrix& out) {
    if (!layers.empty() && layer::walk::keeps_input(layers.front())) std::swap(out, layers.front().inputs);
}

TrainingBatch hold(std::vector<Layer>& layers, Matrix x) {
    TrainingBatch batch;
    batch.in_first_layer = !layers.empty() && layer::walk::keeps_input(layers.front());
    (batch.in_first_layer ? layers.front().inputs : batch.held) = std::move(x);
    return batch;
}

const Matrix& inputs(const TrainingBatch& batch, const std::vector<Layer>& layers) {
    return batch.in_first_layer && !batch.set_aside ? layers.front().inputs : batch.held;
}

void forward(std::vector<Layer>& layers, TrainingBatch& batch, Matrix& out) {
    if (!batch.in_first_layer) return forward(layers, batch.held, true, out);
    if (batch.set_aside) std::swap(batch.held, layers.front().inputs);
    batch.set_aside = false;
    layer::walk::forward_stored(layers.front(), out, true);
    for (auto l = layers.begin() + 1; l != layers.end(); ++l) layer::forward(*l, out, true);
}

void forward(std::vector<Layer>& layers, TrainingBatch& batch, const Matrix& x, bool training, Matrix& out) {
    if (batch.in_first_layer && !batch.set_aside) {
        std::swap(batch.held, layers.front().inputs);  // the pass below stores x there
        batch.set_aside = true;
    }
    forward(layers, x, training, out);
}

void backward(std::vector<Layer>& layers, Matrix& grad, Matrix& scratch) {
    bool relu_applied = false;
    for (std::size_t i = layers.size(); i-- > 0;) {
        const Matrix* relu_below = i != 0 ? layer::walk::relu_inputs(layers[i - 1]) : nullptr;
        relu_applied = layer::walk::backward(layers[i], grad, scratch, i != 0, relu_below, relu_applied);
    }
}

}  // namespace wexo::network
