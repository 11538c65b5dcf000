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
// with its regularization terms; with need_input_grad, grad <- grad * weights^T (B, C), built in scratch.
void backward(Layer& layer, Matrix& grad, Matrix& scratch, bool need_input_grad);

}  // namespace wexo::layer::dense
