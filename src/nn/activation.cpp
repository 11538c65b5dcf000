// relu, softmax and the linear prediction.
#include "nn/activation.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/libm.h"
#include "core/relu.h"
#include "core/simd.h"

namespace wexo::activation {

namespace {

// Row maxima subtracted, then the row sums, for rows of n_cols columns; N > 0 fixes the count at compile time,
// which lets the short rows of a classifier's output run without loop overhead.
template <std::size_t N>
void subtract_row_max(float* x, std::size_t rows, std::size_t n_cols) {
    const std::size_t n = N ? N : n_cols;
    for (std::size_t i = 0; i < rows; ++i, x += n) {
        float max = x[0];
        for (std::size_t j = 1; j < n; ++j)
            if (x[j] > max) max = x[j];
        for (std::size_t j = 0; j < n; ++j) x[j] = x[j] - max;
    }
}

template <std::size_t N>
void row_sums(float* x, std::size_t rows, std::size_t n_cols, float* sums) {
    const std::size_t n = N ? N : n_cols;
    for (std::size_t i = 0; i < rows; ++i, x += n) {
        float sum = 0.0f;
        for (std::size_t j = 0; j < n; ++j) sum += x[j];
        if (sums) {
            for (std::size_t j = 0; j < n; ++j) *sums++ = sum;
        } else {
            for (std::size_t j = 0; j < n; ++j) x[j] /= sum;
        }
    }
}

template <std::size_t N>
void softmax_rows_of(float* x, std::size_t rows, std::size_t n_cols, float* sums) {
    subtract_row_max<N>(x, rows, n_cols);
    libm::exp_in_place(x, rows * n_cols);
    row_sums<N>(x, rows, n_cols, sums);
}

// exp(x - row max) in place for each row, with the row's sum repeated once per column into sums; without sums,
// the division is done here. The exponentials of all the rows are one batch.
void softmax_rows(float* x, std::size_t rows, std::size_t n_cols, float* sums) {
    switch (n_cols) {
        case 2: return softmax_rows_of<2>(x, rows, n_cols, sums);
        case 3: return softmax_rows_of<3>(x, rows, n_cols, sums);
        case 4: return softmax_rows_of<4>(x, rows, n_cols, sums);
        case 10: return softmax_rows_of<10>(x, rows, n_cols, sums);
        default: return softmax_rows_of<0>(x, rows, n_cols, sums);
    }
}

// x[k] /= s[k]: each element by its own row's sum, at the processor's full vector width.
WEXO_KERNEL
void divide_by_sums(float* __restrict x, const float* __restrict s, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) x[k] /= s[k];
}

}  // namespace

void relu::forward(Matrix& m, Matrix& activation_inputs) {
    activation_inputs.reshape_for_overwrite(m.n_rows, m.n_cols);
    float* __restrict x = m.values.data();
    float* __restrict kept = activation_inputs.values.data();
    // Branch-free selects: signs are random, and a mispredicted branch per element costs more than the pass.
    for (std::size_t k = 0, n = m.size(); k < n; ++k) {
        kept[k] = x[k];
        x[k] = relu_of(x[k]);
    }
}

void relu::check_covers(const Matrix& activation_inputs, Shape grad) {
    wexo::check_covers(activation_inputs.shape(), grad, "relu backward", "activation inputs", "do", "the gradient");
}

namespace {

// g[k] <- relu_gradient(pre[k], g[k]), eight lanes at a time: no branch on the sign.
WEXO_KERNEL
void mask_by_relu(const float* __restrict pre, float* __restrict g, std::size_t n) {
    std::size_t k = 0;
    for (; k + simd::kLanes <= n; k += simd::kLanes)
        simd::store(g + k, relu_gradient(simd::load(pre + k), simd::load(g + k)));
    for (; k < n; ++k) g[k] = relu_gradient(pre[k], g[k]);
}

}  // namespace

void relu::backward(const Matrix& activation_inputs, Matrix& grad) {
    check_covers(activation_inputs, grad.shape());
    const std::size_t n_cols = grad.n_cols;
    if (activation_inputs.n_cols == n_cols)  // the usual case: one flat pass
        return mask_by_relu(activation_inputs.values.data(), grad.values.data(), grad.size());
    for (std::size_t i = 0; i < grad.n_rows; ++i) mask_by_relu(activation_inputs.row(i), grad.row(i), n_cols);
}

void softmax::forward(Matrix& m) {
    WEXO_CHECK(m.n_rows == 0 || m.n_cols > 0, "softmax of " + shape_text(m) + ": a row without columns has no maximum");
    const std::size_t n_cols = m.n_cols;
    // Rows go in groups whose divisions then run as one flat pass over the group: with few columns a row-by-row
    // division cannot use vector units. Each element is still divided by its own row's sum.
    constexpr std::size_t kGroup = 1024;  // floats
    std::array<float, kGroup> sums;
    const std::size_t rows_per_group = std::max<std::size_t>(1, kGroup / std::max<std::size_t>(n_cols, 1));
    for (std::size_t first = 0; first < m.n_rows; first += rows_per_group) {
        const std::size_t rows = std::min(rows_per_group, m.n_rows - first);
        if (rows * n_cols > kGroup) {  // one wide row: divide in place
            softmax_rows(m.row(first), rows, n_cols, nullptr);
            continue;
        }
        softmax_rows(m.row(first), rows, n_cols, sums.data());
        divide_by_sums(m.row(first), sums.data(), rows * n_cols);
    }
}

void linear::predict(const Matrix& outputs, Vector& p) {
    WEXO_CHECK(outputs.n_rows == 0 || outputs.n_cols > 0,
               "linear prediction: column 0 out of range for " + shape_text(outputs) + " outputs");
    p.resize(outputs.n_rows);
    for (std::size_t i = 0; i < outputs.n_rows; ++i) p[i] = outputs.row(i)[0];
}

}  // namespace wexo::activation
