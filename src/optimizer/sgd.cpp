// The plain gradient-descent step.
#include "optimizer/optimizer.h"

#include <string>

namespace wexo::optimizer {

void sgd::update_params(const DynamicOptimizer& opt, Layer& layer) {
    const Matrix& dw = layer.dweights;
    Matrix& w = layer.weights;
    if (dw.n_rows < w.n_rows || dw.n_cols < w.n_cols) [[unlikely]]
        fail("sgd: weight gradient " + shape_text(dw) + " does not cover weights " + shape_text(w));
    if (layer.dbiases.size() < layer.biases.size()) [[unlikely]]
        fail("sgd: bias gradient index " + std::to_string(layer.dbiases.size()) + " out of range for " +
             std::to_string(layer.dbiases.size()) + " bias gradients");
    const float neg_lr = -opt.current_learning_rate;
    // u = g * (-lr), then w = u + w, fused per element
    for (std::size_t i = 0; i < w.n_rows; ++i) {
        const float* g = dw.row(i);
        float* p = w.row(i);
        for (std::size_t j = 0; j < w.n_cols; ++j) p[j] = g[j] * neg_lr + p[j];
    }
    const float* g = layer.dbiases.data();
    float* b = layer.biases.data();
    for (std::size_t k = 0; k < layer.biases.size(); ++k) b[k] = g[k] * neg_lr + b[k];
}

}  // namespace wexo::optimizer
