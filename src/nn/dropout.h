// The random scaled keep mask of a dropout layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/matrix.h"

namespace wexo::layer::dropout {

// keep: the keep probability p, which must lie in [0, 1]. mask (B, C) <- d / p per element with P(d = 1) = p,
// drawn row-major from the thread generator; batch (B, C) <- batch * mask. With kept, kept (B, C) <- the batch as
// it came in, from the same pass.
void forward_training(float keep, Matrix& batch, Matrix& mask, Matrix* kept = nullptr);

// The mask and product of n elements from their generator outputs, one output an element (keep in [0, 1]):
// m[k] <- 1/keep when draws[k] keeps element k, else 0/keep; x[k] <- x[k] * m[k].
void apply_draws(float keep, const std::uint64_t* draws, float* x, float* m, std::size_t n);

// grad (B, C) <- grad * mask, positions matched by index; mask must cover grad. With relu_inputs_below (which must
// cover grad too), the relu derivative of the layer below follows in the same pass, as relu::backward would give it.
void backward(const Matrix& mask, Matrix& grad, const Matrix* relu_inputs_below = nullptr);

}  // namespace wexo::layer::dropout
