// Model-level arithmetic: predictions and the penalty; the training call's start and its first-layer shortcut.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "model/model.h"
#include "model/train.h"
#include "support.h"

using wexo::test_support::abort_message;
using wexo::test_support::bits;
using wexo::test_support::dense;
using wexo::test_support::kNaN;
using wexo::test_support::matrix;

using namespace wexo;

TEST(Predict, ArgmaxTakesTheFirstMaximumAndSkipsNaN) {
    ClassVector p;
    model::predict("softmax", matrix(3, 3, {0.2f, 0.5f, 0.5f, kNaN, 3, 4, 1, kNaN, 2}), p);
    EXPECT_EQ(p, (ClassVector{1, 0, 2}));
    model::predict("softmax", matrix(2, 1, {5, 6}), p);
    EXPECT_EQ(p, (ClassVector{0, 0}));
    model::predict("Softmax", matrix(2, 2, {5, 6, 7, 8}), p);
    EXPECT_TRUE(p.empty());
}

// Every column count, fixed or not, against the first-maximum rule; values repeat often, and some are NaN.
TEST(Predict, ArgmaxOfEveryWidthMatchesTheRule) {
    for (const std::size_t n_cols : {2, 3, 4, 5, 10, 11}) {
        Matrix out(50, n_cols);
        for (std::size_t k = 0; k < out.size(); ++k)
            out.values[k] = k % 13 == 5 ? kNaN : static_cast<float>((k * 7 + k / 3) % 5);
        ClassVector p;
        model::predict("softmax", out, p);
        ASSERT_EQ(p.size(), out.n_rows);
        for (std::size_t i = 0; i < out.n_rows; ++i) {
            std::size_t best = 0;
            for (std::size_t j = 1; j < n_cols; ++j)
                if (out.at(i, j) > out.at(i, best)) best = j;
            EXPECT_EQ(p[i], static_cast<std::int32_t>(best)) << n_cols << " columns, row " << i;
        }
    }
}

struct PenaltyCase {
    float weight_l1, weight_l2, bias_l1, bias_l2, expected;
};

class Penalty : public testing::TestWithParam<PenaltyCase> {};

// weights [[1, -2], [0.5, 0]], biases [1, -1]: sum|w| = 3.5, sum w^2 = 5.25, sum|b| = 2, sum b^2 = 2
TEST_P(Penalty, EachTermNeedsAPositiveStrength) {
    const PenaltyCase c = GetParam();
    Layer l = dense(matrix(2, 2, {1, -2, 0.5f, 0}), {1, -1});
    l.weight_regularizer_l1 = c.weight_l1;
    l.weight_regularizer_l2 = c.weight_l2;
    l.bias_regularizer_l1 = c.bias_l1;
    l.bias_regularizer_l2 = c.bias_l2;
    Layer drop;
    drop.layer_type = "dropout";
    EXPECT_FLOAT_EQ(model::regularization_loss({l, drop}), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Terms, Penalty,
                         testing::Values(PenaltyCase{0, 0, 0, 0, 0.0f},  // built from Python: no penalty
                                         PenaltyCase{1, 0, 0, 0, 3.5f}, PenaltyCase{0.5f, 0, 0, 0, 1.75f},
                                         PenaltyCase{0, 0.1f, 0, 0, 0.525f}, PenaltyCase{0, 0.1f, 0.25f, 0, 1.025f},
                                         PenaltyCase{0, 0, 0, 0.5f, 1.0f}, PenaltyCase{-1, kNaN, -0.5f, kNaN, 0.0f}));

TEST(Penalty, NaNWeightMakesItNaN) {
    Layer l = dense(matrix(1, 2, {kNaN, 1}), {0, 0});
    l.weight_regularizer_l2 = 1.0f;
    EXPECT_TRUE(std::isnan(model::regularization_loss({l})));
    EXPECT_EQ(model::regularization_loss({}), 0.0f);
}

// Training hands its batch to the first layer; a validation pass between epochs stores val_x there, and the next
// epoch must still train on x. Validation changes no parameter, so both runs end with the same ones.
TEST(Train, ValidationBetweenEpochsLeavesTheTrainingBatchIntact) {
    const auto build = [] {
        LinearModel m;
        m.output_type = "linear";
        m.layers = {dense(matrix(2, 3, {0.5f, -1, 0.25f, 2, 0.75f, -0.5f}), {0.1f, 0, -0.2f}),
                    dense(matrix(3, 1, {1, -2, 0.5f}), {0})};
        m.layers[0].activation_type = "relu";
        return m;
    };
    const Matrix x = matrix(4, 2, {1, 2, -1, 0.5f, 3, -2, 0.25f, 1});
    const Vector y = {1, -1, 2, 0.5f};
    const Matrix val_x = matrix(2, 2, {-3, 4, 5, -6});
    const Vector val_y = {0, 1};
    for (const std::string_view first_type : {"dense", "dropout"}) {
        LinearModel plain = build(), validated = build();
        if (first_type == "dropout") {  // keep everything: the masks are all ones and draw the same way
            for (LinearModel* m : {&plain, &validated}) {
                Layer drop;
                drop.layer_type = "dropout";
                drop.dropout_rate = 1.0f;  // keep probability
                m->layers.insert(m->layers.begin(), drop);
            }
        }
        DynamicOptimizer a, b;
        a.opt_type = b.opt_type = "sgd";
        a.learning_rate = b.learning_rate = a.current_learning_rate = b.current_learning_rate = 0.1f;
        model::run_epochs(plain, a, 5, 0, x, y, Matrix{}, Vector{});  // interval 0: no lines
        model::run_epochs(validated, b, 5, 0, x, y, val_x, val_y);
        for (std::size_t i = 0; i < plain.layers.size(); ++i) {
            EXPECT_EQ(bits(plain.layers[i].weights.values), bits(validated.layers[i].weights.values)) << first_type;
            EXPECT_EQ(bits(plain.layers[i].biases), bits(validated.layers[i].biases)) << first_type;
        }
        EXPECT_EQ(plain.layers.front().inputs, x);          // the last pass saw the training batch
        EXPECT_EQ(validated.layers.front().inputs, val_x);  // ... and here the validation batch
    }
}

// A zero print_freq aborts after the layers' init and before any array is copied; the copies follow in signature
// order.
TEST(Train, TheCallInitsThenChecksPrintFreqThenCopiesInOrder) {
    for (const std::uint16_t print_freq : {0, 7}) {
        std::string order;
        auto copy_x = [&order] { order += "x "; return matrix(2, 1, {1, 2}); };
        const model::TrainingArrays<Vector> arrays{copy_x, [&order] { order += "y "; return Vector{1, 2}; },
                                                   [&order] { order += "val_x "; return Matrix{}; },
                                                   [&order] { order += "val_y"; return Vector{}; }};
        LinearModel m;
        m.layers = {dense(Matrix{}, Vector{})};
        m.layers[0].n_inputs = 1;
        m.layers[0].n_neurons = 1;
        DynamicOptimizer opt;
        opt.opt_type = "sgd";
        opt.learning_rate = 0.5f;
        if (print_freq == 0) {
            EXPECT_EQ(abort_message([&] { model::train(m, opt, 3, print_freq, arrays); }), "attempt to divide by zero");
            EXPECT_EQ(order, "");
        } else {
            model::train(m, opt, 3, print_freq, arrays);  // 3 div 7: no lines
            EXPECT_EQ(order, "x y val_x val_y");
        }
        EXPECT_EQ(m.layers[0].weights.n_rows, 1u);  // initialised either way
        EXPECT_EQ(opt.current_learning_rate, 0.5f);
    }
}
