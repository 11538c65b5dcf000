// relu (inside layers), softmax and the linear prediction (model outputs).
#pragma once

#include "core/matrix.h"

namespace wexo::activation {

namespace relu {
// x < 0 -> 0; NaN and -0.0 stay. Writes activation_inputs <- m (pre-activation) and m <- relu(m) in one pass.
void forward(Matrix& m, Matrix& activation_inputs);
// grad[i][j] <- 0 where activation_inputs[i][j] <= 0; activation_inputs must cover grad's shape.
void backward(const Matrix& activation_inputs, Matrix& grad);
// Aborts as backward does unless activation_inputs covers a gradient of shape `grad`.
void check_covers(const Matrix& activation_inputs, Shape grad);
}  // namespace relu

namespace softmax {
// Row-wise, in place: max scan, exp(x - max), sum, divide. Rows without columns abort.
void forward(Matrix& m);
}  // namespace softmax

namespace linear {
// p[i] <- outputs[i][0]; rows without columns abort.
void predict(const Matrix& outputs, Vector& p);
}  // namespace linear

}  // namespace wexo::activation
