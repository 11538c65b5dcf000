// Cross-entropy and mean squared error, values and gradients.
#pragma once

#include "core/matrix.h"

namespace wexo::loss {

// Whether any of the first n class indices is negative or not below n_cols: one branch-free pass.
bool any_class_outside(const ClassVector& targets, std::size_t n, std::size_t n_cols);

namespace categorical_crossentropy {
// predictions: (B, K) softmax outputs; targets: class indices, at most B of them -> mean of -ln(clipped p)
float calculate(const Matrix& predictions, const ClassVector& targets);
// grad <- (dvalues - onehot(targets)) / B, shape of dvalues
void backward(const Matrix& dvalues, const ClassVector& targets, Matrix& grad);
}  // namespace categorical_crossentropy

namespace mean_squared_error {
// predictions: (B); targets: at least B entries; B = 0 aborts
float calculate(const Vector& predictions, const Vector& targets);
// dvalues: (B, N) -> grad (B, N): ((y_i - d_ij) * -2) / N / B
void backward(const Matrix& dvalues, const Vector& targets, Matrix& grad);
}  // namespace mean_squared_error

}  // namespace wexo::loss
