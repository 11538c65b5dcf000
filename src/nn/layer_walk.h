// What walking the layer list needs of a layer beyond its own passes: the batch a first layer already holds, and
// the relu derivative a dense layer folds into the input gradient it hands down. Private to nn: included by
// nn/network.cpp and nn/layer.cpp (and the tests).
#pragma once

#include "core/matrix.h"
#include "nn/layer.h"

namespace wexo::layer::walk {

// Whether a forward pass leaves its input in the layer's `inputs` ("dense" and "dropout" layers).
bool keeps_input(const Layer& layer);

// forward on a copy of the batch the layer already holds in `inputs`, without making the copy: a training loop
// whose first layer keeps seeing the same batch skips copying it every epoch. Aborts unless keeps_input.
void forward_stored(Layer& layer, Matrix& out, bool training);

// The pre-relu output the layer stored on its last forward pass, for the layer above to fold the relu derivative
// into the gradient it hands down; nullptr when the layer applies no relu.
const Matrix* relu_inputs(const Layer& layer);

// backward as the walk runs it. input_needed false: a dense layer skips grad * W^T (the first layer's input
// gradient is discarded). relu_inputs_below: the relu_inputs of the layer below, whose relu derivative a dense layer
// then applies inside its grad * W^T, and a dropout layer inside its pass over the gradient, which spares a pass of
// its own. relu_applied: the layer above already did that for this layer. Returns whether grad now holds the relu derivative of the layer below.
bool backward(Layer& layer, Matrix& grad, Matrix& scratch, bool input_needed, const Matrix* relu_inputs_below,
              bool relu_applied);

// backward of a second dense layer above a first dense layer with relu, whose own pass it takes over: where the
// products allow (dense::first_layer_chain_fits), both layers' gradients without building the first layer's output
// gradient, and true; false having changed nothing otherwise. relu_applied as for backward.
bool backward_onto_first(Layer& upper, Layer& first, Matrix& grad, bool relu_applied);

}  // namespace wexo::layer::walk
