// The plain gradient-descent step.
#include "optimizer/optimizer.h"

#include <string>

namespace wexo::optimizer {

void sgd::update_params(const DynamicOptimizer& opt, Layer& layer) {
    const Matrix& dw = layer.dweights;
    Matrix& w = layer.weights;
    check_covers(dw.shape(), w.shape(), "sgd", "weight gradient", "does", "weights");
    if (layer.dbiases.size() < layer.biases.size()) [[unlikely]]
        fail(index_out_of_range("sgd: bias gradient", layer.dbiases.size(), layer.dbiases.size(), "bias gradients"));
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
