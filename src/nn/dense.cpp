// The dense layer's affine step, its parameter gradients with their regularization terms, and its input gradient.
#include "nn/dense.h"

#include <string>
#include <utility>

#include "core/gemm.h"
#include "core/simd.h"
#include "nn/activation.h"

namespace wexo::layer::dense {

namespace {

bool covers(const Matrix& big, const Matrix& small) {
    return big.n_rows >= small.n_rows && big.n_cols >= small.n_cols;
}

// dweights[i][j] += term(weights[i][j]), positions matched by index
template <class Term>
void add_weight_term(const Matrix& weights, Matrix& dweights, Term term) {
    if (!covers(weights, dweights)) [[unlikely]]
        fail("dense backward: weights " + shape_text(weights) + " do not cover the weight gradient " +
             shape_text(dweights));
    for (std::size_t i = 0; i < dweights.n_rows; ++i) {
        const float* w = weights.row(i);
        float* d = dweights.row(i);
        for (std::size_t j = 0; j < dweights.n_cols; ++j) d[j] = d[j] + term(w[j]);
    }
}

template <class Term>
void add_bias_term(const Vector& biases, Vector& dbiases, Term term) {
    if (biases.size() < dbiases.size()) [[unlikely]]
        fail("dense backward: bias index " + std::to_string(biases.size()) + " out of range for " +
             std::to_string(biases.size()) + " biases");
    for (std::size_t j = 0; j < dbiases.size(); ++j) dbiases[j] = dbiases[j] + term(biases[j]);
}

float sign_of(float v) { return v < 0.0f ? -1.0f : 1.0f; }  // zero, -0.0 and NaN count as positive

using simd::kLanes;
using simd::load;
using simd::store;
using simd::V8;

// Columns [j, j + 8T) of column_sums, in registers down all the rows.
template <std::size_t T>
[[gnu::always_inline]] inline void column_piece(const float* g, std::size_t rows, std::size_t n, std::size_t j,
                                                float* sums) {
    V8 acc[T] = {};
    for (std::size_t i = 0; i < rows; ++i)
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q) acc[q] += load(g + i * n + j + q * kLanes);
#pragma GCC unroll 8
    for (std::size_t q = 0; q < T; ++q) store(sums + j + q * kLanes, acc[q]);
}

// Fewer columns than a vector (N < 8): eight rows are N whole vectors, and lane t of vector q belongs to column
// (8q + t) mod N.
template <std::size_t N>
[[gnu::always_inline]] inline void narrow_column_sums(const float* g, std::size_t rows, float* sums) {
    V8 acc[N] = {};
    std::size_t i = 0;
    for (; i + kLanes <= rows; i += kLanes)
#pragma GCC unroll 8
        for (std::size_t q = 0; q < N; ++q) acc[q] += load(g + i * N + q * kLanes);
    float total[N] = {};
    for (std::size_t q = 0; q < N; ++q)
        for (std::size_t t = 0; t < kLanes; ++t) total[(q * kLanes + t) % N] += acc[q][t];
    for (; i < rows; ++i)
        for (std::size_t j = 0; j < N; ++j) total[j] += g[i * N + j];
    for (std::size_t j = 0; j < N; ++j) sums[j] = total[j];
}

// sums[j] = sum over the rows of g[i][j], g dense (rows, n); the order of the additions is free.
WEXO_KERNEL
void column_sums(const float* g, std::size_t rows, std::size_t n, float* sums) {
    switch (n) {
        case 0: return;
        case 1: return narrow_column_sums<1>(g, rows, sums);
        case 2: return narrow_column_sums<2>(g, rows, sums);
        case 3: return narrow_column_sums<3>(g, rows, sums);
        case 4: return narrow_column_sums<4>(g, rows, sums);
        case 5: return narrow_column_sums<5>(g, rows, sums);
        case 6: return narrow_column_sums<6>(g, rows, sums);
        case 7: return narrow_column_sums<7>(g, rows, sums);
        default: break;
    }
    std::size_t j = 0;
    for (; j + 8 * kLanes <= n; j += 8 * kLanes) column_piece<8>(g, rows, n, j, sums);
    for (; j + kLanes <= n; j += kLanes) column_piece<1>(g, rows, n, j, sums);
    for (; j < n; ++j) {
        float s = 0.0f;
        for (std::size_t i = 0; i < rows; ++i) s += g[i * n + j];
        sums[j] = s;
    }
}

}  // namespace

void forward(const Matrix& x, const Matrix& weights, const Vector& biases, Matrix& out, Matrix* relu_inputs) {
    const std::size_t n = weights.n_cols;
    // A shape mismatch is the product's to report; the biases are checked as if added after it.
    if (x.n_cols == weights.n_rows) {
        if (biases.size() < n) [[unlikely]]
            fail("dense forward: bias index " + std::to_string(biases.size()) + " out of range for " +
                 std::to_string(biases.size()) + " biases (" + std::to_string(n) + " weight columns)");
    }
    gemm(x, false, weights, false, out, {biases.data(), relu_inputs});
}

bool backward(Layer& layer, Matrix& grad, Matrix& scratch, InputGrad input) {
    const Matrix& x = layer.inputs;
    const Matrix& w = layer.weights;
    if (x.n_rows != grad.n_rows || grad.n_cols != w.n_cols) [[unlikely]]
        fail("dense backward: inputs " + shape_text(x) + " and gradient " + shape_text(grad) +
             " do not fit weights " + shape_text(w));
    gemm(x, true, grad, false, layer.dweights);

    Vector& db = layer.dbiases;
    db.resize(grad.n_cols);
    column_sums(grad.values.data(), grad.n_rows, grad.n_cols, db.data());

    // A strength that is 0, negative or NaN adds nothing.
    if (const float l1 = layer.weight_regularizer_l1; l1 > 0.0f)
        add_weight_term(w, layer.dweights, [l1](float v) { return l1 * sign_of(v); });
    if (const float l2 = layer.weight_regularizer_l2; l2 > 0.0f)
        add_weight_term(w, layer.dweights, [twice = 2.0f * l2](float v) { return twice * v; });
    if (const float l1 = layer.bias_regularizer_l1; l1 > 0.0f)
        add_bias_term(layer.biases, db, [l1](float v) { return l1 * sign_of(v); });
    if (const float l2 = layer.bias_regularizer_l2; l2 > 0.0f)
        add_bias_term(layer.biases, db, [twice = 2.0f * l2](float v) { return twice * v; });

    if (!input.needed) return false;
    const Matrix* mask = input.relu_inputs_below;
    if (mask) activation::relu::check_covers(*mask, grad.n_rows, w.n_rows);
    gemm(grad, false, w, true, scratch, {nullptr, nullptr, mask});
    std::swap(grad, scratch);
    return mask != nullptr;
}

}  // namespace wexo::layer::dense
