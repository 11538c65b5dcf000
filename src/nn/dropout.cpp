// Drawing the dropout keep mask and applying it forward and backward.
#include "nn/dropout.h"

#include <cmath>

#include "core/rng.h"

namespace wexo::layer::dropout {

void forward_training(float keep, Matrix& batch, Matrix& mask) {
    WEXO_CHECK(keep >= 0.0f, "dropout keep probability is negative or not a number: ProbabilityTooSmall");
    WEXO_CHECK(keep <= 1.0f, "dropout keep probability is above 1: ProbabilityTooLarge");
    mask.reshape(batch.n_rows, batch.n_cols);
    const float dropped = 0.0f / keep;  // NaN when keep is 0
    const float kept = 1.0f / keep;
    float* x = batch.values.data();
    float* m = mask.values.data();
    const std::size_t n = batch.size();
    if (keep == 0.0f || keep == 1.0f) {  // certain outcomes draw nothing
        const float v = keep == 1.0f ? kept : dropped;
        for (std::size_t k = 0; k < n; ++k) {
            m[k] = v;
            x[k] *= v;
        }
        return;
    }
    // Draw with the rarer outcome's probability and flip when keeping is the likelier one.
    const double p = keep;
    const bool flip = p > 0.5;
    const double q = 1.0 - (flip ? 1.0 - p : p);
    for (std::size_t k = 0; k < n; ++k) {
        const double u = static_cast<double>(rng::next_u64() >> 11) * 0x1p-53;
        const bool d = (u > q) != flip;
        m[k] = d ? kept : dropped;
        x[k] *= m[k];
    }
}

void backward(const Matrix& mask, Matrix& grad) {
    if (mask.n_rows < grad.n_rows || mask.n_cols < grad.n_cols) [[unlikely]]
        fail("dropout backward: mask " + shape_text(mask) + " does not cover the gradient " + shape_text(grad));
    const std::size_t n_cols = grad.n_cols;
    for (std::size_t i = 0; i < grad.n_rows; ++i) {
        const float* m = mask.row(i);
        float* g = grad.row(i);
        for (std::size_t j = 0; j < n_cols; ++j) g[j] *= m[j];
    }
}

}  // namespace wexo::layer::dropout
