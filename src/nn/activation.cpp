// relu, softmax and the linear prediction.
#include "nn/activation.h"

#include <cmath>

namespace wexo::activation {

void relu::forward(Matrix& m, Matrix& activation_inputs) {
    activation_inputs.reshape(m.n_rows, m.n_cols);
    float* __restrict x = m.values.data();
    float* __restrict kept = activation_inputs.values.data();
    // Branch-free selects: signs are random, and a mispredicted branch per element costs more than the pass.
    for (std::size_t k = 0, n = m.size(); k < n; ++k) {
        const float v = x[k];
        kept[k] = v;
        x[k] = v < 0.0f ? 0.0f : v;  // strict: NaN and -0.0 pass
    }
}

void relu::backward(const Matrix& activation_inputs, Matrix& grad) {
    if (activation_inputs.n_rows < grad.n_rows || activation_inputs.n_cols < grad.n_cols) [[unlikely]]
        fail("relu backward: activation inputs " + shape_text(activation_inputs) + " do not cover the gradient " +
             shape_text(grad));
    const std::size_t n_cols = grad.n_cols;
    for (std::size_t i = 0; i < grad.n_rows; ++i) {
        const float* __restrict pre = activation_inputs.row(i);
        float* __restrict g = grad.row(i);
        for (std::size_t j = 0; j < n_cols; ++j) g[j] = pre[j] <= 0.0f ? 0.0f : g[j];  // NaN passes
    }
}

void softmax::forward(Matrix& m) {
    WEXO_CHECK(m.n_rows == 0 || m.n_cols > 0, "softmax of " + shape_text(m) + ": a row without columns has no maximum");
    const std::size_t n_cols = m.n_cols;
    for (std::size_t i = 0; i < m.n_rows; ++i) {
        float* x = m.row(i);
        float max = x[0];
        for (std::size_t j = 1; j < n_cols; ++j)
            if (x[j] > max) max = x[j];
        float sum = 0.0f;
        for (std::size_t j = 0; j < n_cols; ++j) {
            x[j] = std::exp(x[j] - max);
            sum += x[j];
        }
        for (std::size_t j = 0; j < n_cols; ++j) x[j] /= sum;
    }
}

void linear::predict(const Matrix& outputs, Vector& p) {
    WEXO_CHECK(outputs.n_rows == 0 || outputs.n_cols > 0,
               "linear prediction: column 0 out of range for " + shape_text(outputs) + " outputs");
    p.resize(outputs.n_rows);
    for (std::size_t i = 0; i < outputs.n_rows; ++i) p[i] = outputs.row(i)[0];
}

}  // namespace wexo::activation
