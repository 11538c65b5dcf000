// relu forward and backward, row-wise softmax and the linear prediction.
#include "nn/activation.h"

#include <gtest/gtest.h>

#include <utility>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/gemm.h"
#include "core/kernels.h"
#include "core/relu.h"
#include "nn/dropout.h"
#include "support.h"

using wexo::test_support::abort_message;
using wexo::test_support::bits;
using wexo::test_support::kNaN;
using wexo::test_support::matrix;

namespace {

using wexo::Matrix;
namespace activation = wexo::activation;

TEST(Relu, ForwardZeroesNegativesAndKeepsPreActivation) {
    Matrix m = matrix(1, 5, {-1.5f, 0.0f, -0.0f, 2.0f, kNaN});
    const wexo::Vector before = m.values;
    Matrix kept;
    activation::relu::forward(m, kept);
    EXPECT_EQ(bits(m.values), bits({0.0f, 0.0f, -0.0f, 2.0f, kNaN}));
    EXPECT_EQ(kept.n_rows, 1u);
    EXPECT_EQ(kept.n_cols, 5u);
    EXPECT_EQ(bits(kept.values), bits(before));
}

TEST(Relu, BackwardPassesOnlyPositiveAndNaNPreActivations) {
    Matrix grad = matrix(1, 4, {5, 6, 7, 8});
    activation::relu::backward(matrix(1, 4, {-1, 0, 3, kNaN}), grad);
    EXPECT_EQ(grad.values, (wexo::Vector{0, 0, 7, 8}));
}

TEST(Relu, BackwardMatchesPositionsWhenPreActivationsAreWider) {
    Matrix grad = matrix(2, 1, {5, 6});
    activation::relu::backward(matrix(2, 2, {1, -1, -1, 1}), grad);  // (1, 0) is -1
    EXPECT_EQ(grad.values, (wexo::Vector{5, 0}));
}

TEST(Relu, BackwardAbortsWhenPreActivationsDoNotCoverTheGradient) {
    for (const Matrix& pre : {Matrix(1, 3), Matrix(2, 2)}) {
        Matrix grad(2, 3);
        EXPECT_THROW(activation::relu::backward(pre, grad), wexo::Abort) << wexo::shape_text(pre);
    }
}

TEST(Softmax, RowsBecomeDistributions) {
    Matrix m = matrix(4, 3, {1, 2, 3, 1000, 1000, 7, -4, -4, -4, 1, kNaN, 2});
    activation::softmax::forward(m);
    EXPECT_NEAR(m.at(0, 0), 0.09003057f, 2e-8);
    EXPECT_NEAR(m.at(0, 1), 0.24472847f, 2e-8);
    EXPECT_NEAR(m.at(0, 2), 0.66524096f, 6e-8);
    EXPECT_FLOAT_EQ(m.at(1, 0), 0.5f);  // no overflow for large inputs
    EXPECT_FLOAT_EQ(m.at(1, 1), 0.5f);
    EXPECT_EQ(m.at(1, 2), 0.0f);
    for (std::size_t j = 0; j < 3; ++j) EXPECT_FLOAT_EQ(m.at(2, j), 1.0f / 3.0f);
    for (std::size_t j = 0; j < 3; ++j) EXPECT_TRUE(std::isnan(m.at(3, j))) << j;
}

// Rows are divided in groups (and wide rows on their own); each element must still get its own row's sum, in
// the order max, exp, left-to-right sum, divide.
TEST(Softmax, GroupedDivisionsUseEachRowsOwnSum) {
    for (const auto& [rows, cols] : {std::pair<std::size_t, std::size_t>{700, 3}, {5, 1000}, {3, 2000}, {1, 1}, {301, 2}, {257, 4}, {103, 10}, {9, 5}}) {
        Matrix m(rows, cols);
        for (std::size_t k = 0; k < m.size(); ++k) m.values[k] = static_cast<float>((k * 37) % 23) * 0.37f - 4.0f;
        Matrix want = m;
        for (std::size_t i = 0; i < rows; ++i) {
            float* x = want.row(i);
            float max = x[0];
            for (std::size_t j = 1; j < cols; ++j) max = x[j] > max ? x[j] : max;
            float sum = 0.0f;
            for (std::size_t j = 0; j < cols; ++j) sum += x[j] = std::exp(x[j] - max);
            for (std::size_t j = 0; j < cols; ++j) x[j] /= sum;
        }
        activation::softmax::forward(m);
        EXPECT_EQ(m, want) << rows << " x " << cols;
    }
}

TEST(Softmax, ZeroRowsPassButRowsWithoutColumnsAbort) {
    Matrix empty(0, 4);
    activation::softmax::forward(empty);
    EXPECT_EQ(empty.n_cols, 4u);
    Matrix no_cols(2, 0);
    EXPECT_THROW(activation::softmax::forward(no_cols), wexo::Abort);
}

TEST(LinearPredict, TakesTheFirstColumn) {
    wexo::Vector p = {9, 9, 9, 9, 9};
    activation::linear::predict(matrix(3, 2, {1, 10, 2, 20, 3, 30}), p);
    EXPECT_EQ(p, (wexo::Vector{1, 2, 3}));
    activation::linear::predict(Matrix(0, 0), p);
    EXPECT_TRUE(p.empty());
    EXPECT_THROW(activation::linear::predict(Matrix(1, 0), p), wexo::Abort);
}

TEST(Relu, GradientRuleAgreesWithTheForwardRuleAndAcrossLanes) {
    // zero where the forward rule gave 0 from an input at or below 0; NaN inputs pass the gradient
    const float inputs[8] = {-1.5f, -0.0f, 0.0f, 1e-45f, 2.0f, kNaN, -std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::infinity()};
    const float expected[8] = {0.0f, 0.0f, 0.0f, 3.0f, 3.0f, 3.0f, 0.0f, 3.0f};
    wexo::simd::V8 in_lanes, g_lanes;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(bits({wexo::relu_gradient(inputs[i], 3.0f)}), bits({expected[i]})) << inputs[i];
        in_lanes[i] = inputs[i];
        g_lanes[i] = 3.0f;
    }
    const wexo::simd::V8 grad = wexo::relu_gradient(in_lanes, g_lanes), out = wexo::relu_of(in_lanes);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(bits({grad[i]}), bits({expected[i]})) << i;
        EXPECT_EQ(bits({out[i]}), bits({wexo::relu_of(inputs[i])})) << i;
    }
}

// The passes that apply the relu rules eight lanes at a time give the scalar rule's bits in every position, in the
// vectors and in the tail: relu backward, dropout backward with the relu of the layer below folded in, and the
// epilogue a product runs after OpenBLAS (bias, relu with its kept input, relu mask).
TEST(Relu, VectorPassesGiveTheScalarRuleInEveryLane) {
    const float specials[] = {-1.5f, -0.0f, 0.0f, 1e-45f, 2.0f, kNaN, -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::infinity(), 0.75f, -3.0f, 1e-40f};
    const auto value = [&](std::size_t k, std::size_t salt) { return specials[(k * 7 + salt) % std::size(specials)]; };
    for (const std::size_t n : {1, 7, 8, 9, 16, 23}) {
        Matrix pre(2, n), grad(2, n), mask(2, n), row(1, n);
        for (std::size_t k = 0; k < 2 * n; ++k) {
            pre.values[k] = value(k, 0);
            grad.values[k] = value(k, 3) * 3.0f;
            mask.values[k] = k % 3 ? 1.25f : 0.0f;
        }
        for (std::size_t j = 0; j < n; ++j) row.values[j] = value(j, 5);

        Matrix relu_grad = grad;
        activation::relu::backward(pre, relu_grad);
        Matrix dropout_grad = grad;
        wexo::layer::dropout::backward(mask, dropout_grad, &pre);
        Matrix bias_relu = grad, kept(2, n), masked = grad;
        wexo::kernels::apply_epilogue(2, n, bias_relu.values.data(), {row.values.data(), kept.values.data(), n});
        wexo::kernels::apply_epilogue(2, n, masked.values.data(), {nullptr, nullptr, 0, pre.values.data(), n});
        for (std::size_t k = 0; k < 2 * n; ++k) {
            const float g = grad.values[k], p = pre.values[k], sum = g + row.values[k % n];
            EXPECT_EQ(bits({relu_grad.values[k]}), bits({wexo::relu_gradient(p, g)})) << n << " " << k;
            EXPECT_EQ(bits({dropout_grad.values[k]}), bits({wexo::relu_gradient(p, g * mask.values[k])})) << k;
            EXPECT_EQ(bits({kept.values[k]}), bits({sum})) << n << " " << k;
            EXPECT_EQ(bits({bias_relu.values[k]}), bits({wexo::relu_of(sum)})) << n << " " << k;
            EXPECT_EQ(bits({masked.values[k]}), bits({wexo::relu_gradient(p, g)})) << n << " " << k;
        }
    }
}

TEST(CoverChecks, NameBothArraysAndShapes) {
    const Matrix small(1, 2), grad(2, 2);
    const struct {
        std::string message;
        std::string expected;
    } cases[] = {
        {abort_message([&] { Matrix g = grad; activation::relu::backward(small, g); }),
         "relu backward: activation inputs (1, 2) do not cover the gradient (2, 2)"},
        {abort_message([&] { Matrix g = grad; wexo::layer::dropout::backward(small, g); }),
         "dropout backward: mask (1, 2) does not cover the gradient (2, 2)"},
        {abort_message([&] {
             Matrix c;
             wexo::gemm(Matrix(2, 3), false, Matrix(3, 2), false, c, {nullptr, nullptr, &small});
         }),
         "matrix product: relu mask (1, 2) does not cover the product (2, 2)"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.message, c.expected);
}

}  // namespace
