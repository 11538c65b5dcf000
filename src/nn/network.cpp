// The forward and backward walks over the layer list, with the first layer's stored batch and the relu fold.
#include "nn/network.h"

#include <utility>

#include "nn/dense.h"
#include "nn/layer_walk.h"

namespace wexo::network {

namespace {

bool dense_pair(const std::vector<Layer>& layers, std::size_t i) {
    return i + 1 < layers.size() && layers[i].layer_type == kDense && layers[i + 1].layer_type == kDense;
}

// Layers i and i + 1 over x as one pass (a narrow first layer with relu under few outputs): the first layer's output
// is used while it is in registers instead of being read back.
bool one_pass(const std::vector<Layer>& layers, std::size_t i, const Matrix& x) {
    return dense_pair(layers, i) && layer::dense::pair_fits(x, layers[i], layers[i + 1]);
}

// Layers from..end over the batch. A dense layer writes its output into the buffer it takes by swapping with the
// batch. Handing it the next dense layer's input buffer instead, which that layer's own swap takes back, keeps each
// buffer with the layer whose input it holds: a pass then needs one buffer per layer input, not two that trade places.
void forward_from(std::vector<Layer>& layers, std::size_t from, Matrix& batch, bool training) {
    for (std::size_t i = from; i < layers.size(); ++i) {
        if (dense_pair(layers, i)) std::swap(layers[i].inputs, layers[i + 1].inputs);
        if (one_pass(layers, i, batch)) {  // the buffers trade places as the two layers' own passes trade them
            std::swap(layers[i].inputs, batch);
            if (dense_pair(layers, i + 1)) std::swap(layers[i + 1].inputs, layers[i + 2].inputs);
            std::swap(layers[i + 1].inputs, batch);
            layer::dense::forward_pair(layers[i].inputs, layers[i], layers[i + 1], layers[i + 1].inputs, batch);
            ++i;
            continue;
        }
        layer::forward(layers[i], batch, training);
    }
}

}  // namespace

void forward(std::vector<Layer>& layers, const Matrix& x, bool training, Matrix& out) {
    out.n_rows = x.n_rows;
    out.n_cols = x.n_cols;
    out.values.assign(x.values.begin(), x.values.end());  // keeps out's capacity
    forward_in_place(layers, out, training);
}

void forward_in_place(std::vector<Layer>& layers, Matrix& batch, bool training) {
    forward_from(layers, 0, batch, training);
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
    if (one_pass(layers, 0, layers.front().inputs)) {  // the buffers end where the separate passes leave them
        if (dense_pair(layers, 1)) std::swap(out, layers[2].inputs);
        layer::dense::forward_pair(layers[0].inputs, layers[0], layers[1], layers[1].inputs, out);
        return forward_from(layers, 2, out, true);
    }
    if (dense_pair(layers, 0)) std::swap(out, layers[1].inputs);  // the output's buffer, as in forward_from
    layer::walk::forward_stored(layers.front(), out, true);
    forward_from(layers, 1, out, true);
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
    bool swapped = false;  // each dense layer above the first builds its input gradient in scratch and swaps
    for (std::size_t i = layers.size(); i-- > 0;) {
        // the first layer's output gradient is needed only for its own products, which can take it row by row
        if (i == 1 && layer::walk::backward_onto_first(layers[1], layers[0], grad, relu_applied)) break;
        const Matrix* relu_below = i != 0 ? layer::walk::relu_inputs(layers[i - 1]) : nullptr;
        relu_applied = layer::walk::backward(layers[i], grad, scratch, i != 0, relu_below, relu_applied);
        if (i != 0 && layers[i].layer_type == kDense) swapped = !swapped;
    }
    if (swapped) std::swap(grad, scratch);
}

}  // namespace wexo::network
