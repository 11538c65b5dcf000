// Cross-entropy and mean squared error values and gradients, bit for bit.
#include "nn/loss.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>
#include "support.h"

using wexo::test_support::bits;
using wexo::test_support::kNaN;
using wexo::test_support::matrix;

using wexo::test_support::abort_message;

namespace {

using wexo::Matrix;
namespace cce = wexo::loss::categorical_crossentropy;
namespace mse = wexo::loss::mean_squared_error;


const Matrix kPredictions = matrix(2, 3, {0.7f, 0.2f, 0.1f, 0.1f, 0.5f, 0.4f});

TEST(CrossEntropy, MeanOfNegativeLogConfidences) {
    EXPECT_EQ(bits(cce::calculate(kPredictions, {0, 1})), bits(0.52491105f));
}

TEST(CrossEntropy, ConfidencesAreClipped) {
    struct Case { float p; float loss; };
    const Case cases[] = {{0.0f, 16.118095f}, {-3.0f, 16.118095f}, {1.0f, 1.1920930e-07f}, {2.0f, 1.1920930e-07f}};
    // the last bit is the C library's logf
    for (const Case& c : cases) EXPECT_FLOAT_EQ(cce::calculate(matrix(1, 2, {c.p, 0.5f}), {0}), c.loss) << c.p;
    EXPECT_TRUE(std::isnan(cce::calculate(matrix(1, 2, {std::numeric_limits<float>::quiet_NaN(), 0.5f}), {0})));
}

TEST(CrossEntropy, AveragesOverTargetsOnly) {
    // the second row has no target; no targets at all is -0 / 0
    EXPECT_EQ(cce::calculate(kPredictions, {1}), -std::log(0.2f));
    EXPECT_TRUE(std::isnan(cce::calculate(Matrix(0, 0), {})));
}

TEST(CrossEntropy, BadIndicesAbortNamingIndexAndBound) {
    EXPECT_EQ(abort_message([] { cce::calculate(kPredictions, {0, 3}); }),
              "class index 3 out of range for 3 output columns");
    EXPECT_EQ(abort_message([] { cce::calculate(kPredictions, {-1, 0}); }),
              "class index -1 out of range for 3 output columns");
    EXPECT_EQ(abort_message([] { cce::calculate(kPredictions, {0, 1, 2}); }),
              "only 2 prediction rows for 3 samples");
    Matrix grad;
    EXPECT_EQ(abort_message([&] { cce::backward(kPredictions, {3, 0}, grad); }),
              "class index 3 out of range for 3 output columns");
    EXPECT_EQ(abort_message([&] { cce::backward(kPredictions, {0, 1, 2}, grad); }),
              "only 2 prediction rows for 3 samples");
}

// Negative indices stay outside however many columns there are, even past 2^32, where their unsigned value is not.
TEST(CrossEntropy, ClassIndexCheckFindsNegativeAndTooLargeIndices) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    const std::size_t huge = (std::size_t{1} << 32) + 5;
    struct Case {
        wexo::ClassVector y;
        std::size_t n_cols;
        bool outside;
    };
    const Case cases[] = {{{0, 1, 2}, 3, false}, {{0, 3, 1}, 3, true},     {{0, -1}, 3, true},
                          {{0}, 0, true},        {{kMax}, huge, false},    {{0, -5}, huge, true},
                          {{kMax}, kMax, true},  {{kMax - 1}, kMax, false}, {{-2147483647 - 1}, huge, true}};
    for (const Case& c : cases)
        EXPECT_EQ(wexo::loss::any_class_outside(c.y, c.y.size(), c.n_cols), c.outside)
            << c.y.back() << " of " << c.n_cols;
    EXPECT_FALSE(wexo::loss::any_class_outside({0, -1}, 1, 3));  // only the first n count
}

TEST(CrossEntropy, BackwardSubtractsOneHotAndDividesEveryRow) {
    Matrix grad(7, 7);  // a reused buffer of another shape
    cce::backward(kPredictions, {0, 1}, grad);
    EXPECT_EQ(grad.n_rows, 2u);
    EXPECT_EQ(grad.n_cols, 3u);
    EXPECT_EQ(bits(grad.values), bits({-0.15f, 0.1f, 0.05f, 0.05f, -0.25f, 0.2f}));
    cce::backward(kPredictions, {2}, grad);  // row 1 has no target but is still divided by B = 2
    EXPECT_EQ(bits(grad.values), bits({0.35f, 0.1f, (0.1f - 1.0f) / 2.0f, 0.05f, 0.25f, 0.2f}));
}

// Many rows, so that rows straddle the internal batches; -0.0, NaN and a missing last target included.
TEST(CrossEntropy, BackwardOfManyRowsMatchesElementByElement) {
    for (const std::size_t n_cols : {std::size_t{3}, std::size_t{7}, std::size_t{1500}}) {
        const std::size_t rows = 2100 / n_cols + 1;
        Matrix d(rows, n_cols);
        for (std::size_t k = 0; k < d.size(); ++k) d.values[k] = static_cast<float>((k * 31) % 17) / 16.0f;
        d.values[4] = -0.0f;
        d.values[d.size() - 2] = kNaN;
        wexo::ClassVector targets(rows - 1);
        for (std::size_t i = 0; i < targets.size(); ++i) targets[i] = static_cast<std::int32_t>((i * 5) % n_cols);
        Matrix grad;
        cce::backward(d, targets, grad);
        Matrix want = d;
        const float b = static_cast<float>(rows);
        for (float& v : want.values) v = v / b;
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const std::size_t k = i * n_cols + static_cast<std::size_t>(targets[i]);
            want.values[k] = (d.values[k] + -1.0f) / b;
        }
        EXPECT_EQ(bits(grad.values), bits(want.values)) << n_cols;
    }
}

TEST(MeanSquaredError, MeanOfSquaredDifferences) {
    EXPECT_EQ(mse::calculate({1, 2, 3}, {1.5f, 2, 2}), 0.41666666f);
    EXPECT_EQ(mse::calculate({1}, {3, 100}), 4.0f);  // surplus targets ignored
}

TEST(MeanSquaredError, NoPredictionsOrTooFewTargetsAbort) {
    EXPECT_EQ(abort_message([] { mse::calculate({}, {}); }), "mean squared error of no predictions");
    EXPECT_EQ(abort_message([] { mse::calculate({1, 2}, {1}); }), "only 1 targets for 2 samples");
    Matrix grad;
    EXPECT_EQ(abort_message([&] { mse::backward(Matrix(2, 1), {1}, grad); }),
              "only 1 targets for 2 samples");
}

TEST(MeanSquaredError, BackwardInTheStatedOrder) {
    Matrix grad;
    mse::backward(matrix(3, 1, {1, 2, 3}), {1.5f, 2, 2}, grad);
    EXPECT_EQ(bits(grad.values), bits({-0.33333334f, -0.0f, 0.6666667f}));
    mse::backward(matrix(1, 2, {1, 5}), {1}, grad);  // every column pulled to the same target
    EXPECT_EQ(grad.n_cols, 2u);
    EXPECT_EQ(bits(grad.values), bits({-0.0f, 4.0f}));
    mse::backward(Matrix(0, 3), {}, grad);
    EXPECT_EQ(grad.n_rows, 0u);
    EXPECT_TRUE(grad.values.empty());
}

}  // namespace
