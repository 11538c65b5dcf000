// The affine step of a dense layer and its gradients.
#pragma once

#include "core/matrix.h"
#include "nn/layer.h"

namespace wexo::layer::dense {

// x: (B, C), weights: (C, N), biases: at least N (extra ones ignored) -> out: (B, N) = x * weights + biases
// With relu_inputs given, relu follows in the same pass: relu_inputs <- the affine result, out <- its relu.
void forward(const Matrix& x, const Matrix& weights, const Vector& biases, Matrix& out,
             Matrix* relu_inputs = nullptr);

// layer.inputs: (B, C), grad: (B, N) -> dweights (C, N) = inputs^T * grad, dbiases (N) = column sums, each
// with its regularization terms; with input_needed, grad <- grad * weights^T (B, C), built in scratch, and then
// masked by the relu derivative of relu_inputs_below when given. Returns whether that mask was applied.
bool backward(Layer& layer, Matrix& grad, Matrix& scratch, bool input_needed, const Matrix* relu_inputs_below);

// Whether forward_pair applies: lower a dense layer with relu over x, upper a dense layer, every shape fits and both
// products are small enough for the kernel that runs them as one pass.
bool pair_fits(const Matrix& x, const Layer& lower, const Layer& upper);

// forward of lower over x into h (upper's input) and of upper over h into out, storing what the two passes store
// (lower's activation_inputs, upper's when it applies relu), in one pass over the rows: the bits of the two
// forward passes. Only where pair_fits.
void forward_pair(const Matrix& x, Layer& lower, Layer& upper, Matrix& h, Matrix& out);

// backward's first half: dweights and dbiases with their regularization terms.
void parameter_gradients(Layer& layer, const Matrix& grad);

// Whether first_layer_gradients applies: upper and first are dense layers, first applies relu, grad is upper's
// output gradient, and every shape fits where the two products of the separate passes run in the cache kernels.
bool first_layer_chain_fits(const Layer& upper, const Layer& first, const Matrix& grad);

// The first layer's dweights and dbiases, with their regularization terms, straight from the upper layer's output
// gradient: the same bits as upper's input gradient (relu-masked) and then first's backward, without building that
// gradient. Only where first_layer_chain_fits.
void first_layer_gradients(const Layer& upper, Layer& first, const Matrix& grad);

}  // namespace wexo::layer::dense
