// The random scaled keep mask of a dropout layer.
#pragma once

#include "core/matrix.h"

namespace wexo::layer::dropout {

// keep: the keep probability p, which must lie in [0, 1]. mask (B, C) <- d / p per element with P(d = 1) = p,
// drawn row-major from the thread generator; batch (B, C) <- batch * mask.
void forward_training(float keep, Matrix& batch, Matrix& mask);

// grad (B, C) <- grad * mask, positions matched by index; mask must cover grad.
void backward(const Matrix& mask, Matrix& grad);

}  // namespace wexo::layer::dropout
