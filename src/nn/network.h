// Walking the layer list: the forward pass from the first layer to the last, the backward pass from the last
// layer to the first, and the training batch that a call's passes share.
#pragma once

#include <vector>

#include "core/matrix.h"
#include "nn/layer.h"

namespace wexo::network {

// x: (B, C) -> out: the last layer's output. Each layer keeps what its backward pass needs.
void forward(std::vector<Layer>& layers, const Matrix& x, bool training, Matrix& out);

// The same with the batch handed over: batch holds x on entry, the last layer's output on return.
void forward_in_place(std::vector<Layer>& layers, Matrix& batch, bool training);

// Before a forward pass on another batch of the same size: out takes back the buffer that the first layer keeps
// the last batch in, so a run of such passes allocates nothing. Leaves out alone when the first layer keeps none.
void reuse_input_buffer(std::vector<Layer>& layers, Matrix& out);

// The training batch of a call, held once: in the first layer's `inputs` when that layer keeps its input, and
// read there by every training pass instead of being copied again. Use it only through the functions below.
struct TrainingBatch {
    Matrix held;           // the batch, unless the first layer holds it; there, the batch while it is set aside
    bool in_first_layer = false;
    bool set_aside = false;  // a pass on another batch has the first layer's `inputs`; the batch is in `held`
};

// Takes the call's own copy of the batch (moved in).
TrainingBatch hold(std::vector<Layer>& layers, Matrix x);

// The training batch, wherever it is. Its buffer stays in place for the life of the TrainingBatch.
const Matrix& inputs(const TrainingBatch& batch, const std::vector<Layer>& layers);

// A training pass (dropout on) over the training batch -> out, as forward(layers, inputs(batch), true, out) gives it.
void forward(std::vector<Layer>& layers, TrainingBatch& batch, Matrix& out);

// A pass over another batch between training passes (validation): the training batch is set aside first and comes
// back at the next training pass. Until then the first layer keeps x, as a pass on a copy would leave it.
void forward(std::vector<Layer>& layers, TrainingBatch& batch, const Matrix& x, bool training, Matrix& out);

// grad: the gradient of the last layer's output on entry, then used as a buffer (as scratch is); each layer stores
// its parameter gradients. The first layer's input gradient is not computed. The two buffers end where they
// started, so the next pass writes each gradient into the buffer that held it before and nothing has to grow.
void backward(std::vector<Layer>& layers, Matrix& grad, Matrix& scratch);

}  // namespace wexo::network
