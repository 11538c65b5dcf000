// Categorical cross-entropy and mean squared error: values and gradients.
#include "nn/loss.h"

#include <bit>
#include <cmath>
#include <string>

namespace wexo::loss {

namespace {

// 1e-7 and 1 - 1e-7 as computed in float
constexpr float kClipLow = std::bit_cast<float>(0x33D6BF95u);
constexpr float kClipHigh = std::bit_cast<float>(0x3F7FFFFEu);

// Row i and class targets[i] must exist in predictions.
void check_target(const Matrix& predictions, const ClassVector& targets, std::size_t i) {
    check_samples(predictions.n_rows, i + 1, "prediction rows");
    const std::int32_t c = targets[i];
    if (c < 0 || static_cast<std::size_t>(c) >= predictions.n_cols) [[unlikely]]
        fail("class index " + std::to_string(c) + " out of range for " + std::to_string(predictions.n_cols) +
             " output columns");
}

}  // namespace

float categorical_crossentropy::calculate(const Matrix& predictions, const ClassVector& targets) {
    float sum = -0.0f;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        check_target(predictions, targets, i);
        float p = predictions.at(i, static_cast<std::size_t>(targets[i]));
        if (p < kClipLow) p = kClipLow;
        if (p > kClipHigh) p = kClipHigh;
        sum += -std::log(p);
    }
    return sum / static_cast<float>(targets.size());
}

void categorical_crossentropy::backward(const Matrix& dvalues, const ClassVector& targets, Matrix& grad) {
    for (std::size_t i = 0; i < targets.size(); ++i) check_target(dvalues, targets, i);
    grad.reshape(dvalues.n_rows, dvalues.n_cols);
    const auto n_samples = static_cast<float>(dvalues.n_rows);
    const std::size_t n_cols = dvalues.n_cols;
    for (std::size_t i = 0; i < dvalues.n_rows; ++i) {
        const float* d = dvalues.row(i);
        float* g = grad.row(i);
        const std::size_t hot = i < targets.size() ? static_cast<std::size_t>(targets[i]) : n_cols;
        for (std::size_t j = 0; j < n_cols; ++j) {
            float v = d[j];
            if (j == hot) v += -1.0f;
            g[j] = v / n_samples;  // a division, as the reported gradients are
        }
    }
}

float mean_squared_error::calculate(const Vector& predictions, const Vector& targets) {
    const std::size_t n = predictions.size();
    WEXO_CHECK(n > 0, "mean squared error of no predictions");
    check_samples(targets.size(), n, "targets");
    float sum = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float e = targets[i] - predictions[i];
        sum += e * e;
    }
    return sum / static_cast<float>(n);
}

void mean_squared_error::backward(const Matrix& dvalues, const Vector& targets, Matrix& grad) {
    check_samples(targets.size(), dvalues.n_rows, "targets");
    grad.reshape(dvalues.n_rows, dvalues.n_cols);
    const auto n_outputs = static_cast<float>(dvalues.n_cols);
    const auto n_samples = static_cast<float>(dvalues.n_rows);
    const std::size_t n_cols = dvalues.n_cols;
    for (std::size_t i = 0; i < dvalues.n_rows; ++i) {
        const float* d = dvalues.row(i);
        float* g = grad.row(i);
        const float y = targets[i];
        for (std::size_t j = 0; j < n_cols; ++j) g[j] = ((y - d[j]) * -2.0f) / n_outputs / n_samples;
    }
}

}  // namespace wexo::loss
