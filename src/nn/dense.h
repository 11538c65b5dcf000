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

}  // namespace wexo::layer::dense
