// Categorical cross-entropy and mean squared error: values and gradients.
#include "nn/loss.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <string>

#include "core/libm.h"
#include "core/simd.h"

namespace wexo::loss {

namespace {

// 1e-7 and 1 - 1e-7 as computed in float
constexpr float kClipLow = std::bit_cast<float>(0x33D6BF95u);
constexpr float kClipHigh = std::bit_cast<float>(0x3F7FFFFEu);

// Row i and class targets[i] must exist in predictions for every target; the first sample that fails decides the
// message, as if each were checked when it is reached.
void check_targets(const Matrix& predictions, const ClassVector& targets) {
    const std::size_t n = std::min(targets.size(), predictions.n_rows);
    const std::size_t n_cols = predictions.n_cols;
    if (any_class_outside(targets, n, n_cols)) [[unlikely]]
        for (std::size_t i = 0; i < n; ++i) {
            const std::int32_t c = targets[i];
            if (c < 0 || static_cast<std::size_t>(c) >= n_cols)
                fail(index_out_of_range("class", c, n_cols, "output columns"));
        }
    check_samples(predictions.n_rows, targets.size(), "prediction rows");
}

// g[k] = d[k] / divisor, at the processor's full vector width: a division, as reported, not a reciprocal's product.
WEXO_KERNEL
void divide(const float* __restrict d, float* __restrict g, std::size_t n, float divisor) {
    for (std::size_t k = 0; k < n; ++k) g[k] = d[k] / divisor;
}

}  // namespace

// Runs four times an epoch over every label: a maximum, which vectorises, rather than a flag per element.
WEXO_KERNEL
bool any_class_outside(const ClassVector& targets, std::size_t n, std::size_t n_cols) {
    // As unsigned, a negative index is at least 2^31, so one compare against a limit of at most 2^31 finds both
    // kinds (past 2^31 columns every non-negative index is inside).
    const auto limit = static_cast<std::uint32_t>(std::min<std::size_t>(n_cols, std::size_t{1} << 31));
    const std::int32_t* y = targets.data();
    std::uint32_t top = 0;
    for (std::size_t i = 0; i < n; ++i) top = std::max(top, static_cast<std::uint32_t>(y[i]));
    return n > 0 && top >= limit;
}

float categorical_crossentropy::calculate(const Matrix& predictions, const ClassVector& targets) {
    check_targets(predictions, targets);
    // The logarithms go in batches; the sum still runs sample by sample.
    constexpr std::size_t kBatch = 1024;
    std::array<float, kBatch> logs;
    float sum = -0.0f;
    for (std::size_t first = 0; first < targets.size(); first += kBatch) {
        const std::size_t n = std::min(kBatch, targets.size() - first);
        for (std::size_t i = 0; i < n; ++i) {
            float p = predictions.at(first + i, static_cast<std::size_t>(targets[first + i]));
            if (p < kClipLow) p = kClipLow;
            if (p > kClipHigh) p = kClipHigh;
            logs[i] = p;
        }
        libm::log_in_place(logs.data(), n);
        for (std::size_t i = 0; i < n; ++i) sum += -logs[i];
    }
    return sum / static_cast<float>(targets.size());
}

void categorical_crossentropy::backward(const Matrix& dvalues, const ClassVector& targets, Matrix& grad) {
    check_targets(dvalues, targets);
    grad.reshape_for_overwrite(dvalues.n_rows, dvalues.n_cols);
    const auto n_samples = static_cast<float>(dvalues.n_rows);
    // Every element is d / B, the target's one (d - 1) / B: a flat pass, then the one-hot places.
    divide(dvalues.values.data(), grad.values.data(), dvalues.size(), n_samples);
    const float* d = dvalues.values.data();
    float* g = grad.values.data();
    const std::size_t n_cols = dvalues.n_cols;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const std::size_t k = i * n_cols + static_cast<std::size_t>(targets[i]);
        g[k] = (d[k] + -1.0f) / n_samples;
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
