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
// with its regularization terms; with input.needed, grad <- grad * weights^T (B, C), built in scratch, and then
// masked by input.relu_inputs_below when given. Returns whether that mask was applied.
bool backward(Layer& layer, Matrix& grad, Matrix& scratch, InputGrad input);

}  // namespace wexo::layer::dense
