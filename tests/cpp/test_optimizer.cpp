// Learning-rate schedule, dispatch, integer powers and the Adam, TF-Adam and SGD steps, bit for bit.
#include "optimizer/optimizer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>
#include "support.h"

using wexo::test_support::bits;
using wexo::test_support::kNaN;
using wexo::test_support::matrix;

namespace {

using wexo::DynamicOptimizer;
using wexo::Layer;
using wexo::Matrix;
using wexo::Vector;
namespace optimizer = wexo::optimizer;

DynamicOptimizer make_optimizer(const char* type, float learning_rate, float decay = 0.0f) {
    DynamicOptimizer opt;
    opt.opt_type = type;
    opt.learning_rate = learning_rate;
    opt.current_learning_rate = learning_rate;
    opt.decay = decay;
    return opt;
}

// One weight 0.0 and one bias 0.0, both with gradient 0.5.
Layer one_weight() {
    Layer l;
    l.layer_type = "dense";
    l.weights = matrix(1, 1, {0.0f});
    l.biases = {0.0f};
    l.dweights = matrix(1, 1, {0.5f});
    l.dbiases = {0.5f};
    return l;
}

TEST(Schedule, DecayFollowsTheIterationCount) {
    DynamicOptimizer opt = make_optimizer("adam", 0.001f, 0.0002f);
    struct Step { std::int32_t iterations; float rate; };
    for (const Step s : {Step{0, 0.001f}, Step{1, 0.00099980005f}, Step{2, 0.00099960028f}, Step{48, 0.00099049124f}}) {
        opt.iterations = s.iterations;
        optimizer::pre_update(opt);
        EXPECT_EQ(bits(opt.current_learning_rate), bits(s.rate)) << s.iterations;
    }
}

TEST(Schedule, ZeroDecayKeepsTheRateAndOddDecaysPropagate) {
    for (const float decay : {0.0f, -0.0f}) {
        DynamicOptimizer opt = make_optimizer("adam", 0.001f, decay);
        opt.iterations = 7;
        optimizer::pre_update(opt);
        EXPECT_EQ(bits(opt.current_learning_rate), bits(0.001f));
    }
    DynamicOptimizer negative = make_optimizer("sgd", 0.001f, -0.1f);
    negative.iterations = 10;
    optimizer::pre_update(negative);
    EXPECT_TRUE(std::isinf(negative.current_learning_rate));
    DynamicOptimizer nan = make_optimizer("sgd", 0.001f, std::numeric_limits<float>::quiet_NaN());
    optimizer::pre_update(nan);
    EXPECT_TRUE(std::isnan(nan.current_learning_rate));
}

TEST(Schedule, PostUpdateCountsAndRefusesToWrap) {
    DynamicOptimizer opt = make_optimizer("adam", 0.001f);
    optimizer::post_update(opt);
    optimizer::post_update(opt);
    EXPECT_EQ(opt.iterations, 2);
    opt.iterations = std::numeric_limits<std::int32_t>::max();
    EXPECT_THROW(optimizer::post_update(opt), wexo::Abort);
}

TEST(IntegerPower, OneMinusPowersOfTheBetas) {
    struct Case { std::int32_t t; float one_minus_beta_1, one_minus_beta_2; };
    const Case cases[] = {{1, 0.10000002384185791f, 0.00099998713f},
                          {2, 0.19000006f, 0.0019989610f},
                          {3, 0.27100009f, 0.0029969215f},
                          {10, 0.65132165f, 0.0099549293f}};
    for (const Case& c : cases) {
        EXPECT_EQ(bits(1.0f - optimizer::integer_power(0.9f, c.t)), bits(c.one_minus_beta_1)) << c.t;
        EXPECT_EQ(bits(1.0f - optimizer::integer_power(0.999f, c.t)), bits(c.one_minus_beta_2)) << c.t;
    }
    EXPECT_EQ(optimizer::integer_power(0.9f, 0), 1.0f);
    EXPECT_EQ(bits(optimizer::integer_power(0.9f, 2)), bits(0.9f * 0.9f));
    EXPECT_EQ(bits(optimizer::integer_power(3.0f, 5)), bits(243.0f));
}

TEST(Dispatch, OnlyExactNamesUpdate) {
    for (const char* type : {"Adam", "adam ", "", "rmsprop", "SGD"}) {
        DynamicOptimizer opt = make_optimizer(type, 0.001f);
        Layer l = one_weight();
        const Layer before = l;
        optimizer::update(opt, l);
        EXPECT_EQ(l, before) << type;
    }
    struct Case { const char* type; float weight; };
    for (const Case c : {Case{"adam", -0.0009999998f}, Case{"tf_adam", -0.0009999936f}, Case{"sgd", -0.00050000002f}}) {
        Layer l = one_weight();
        optimizer::update(make_optimizer(c.type, 0.001f), l);
        EXPECT_EQ(bits(l.weights.values[0]), bits(c.weight)) << c.type;
        EXPECT_EQ(bits(l.biases[0]), bits(c.weight)) << c.type;
    }
}

TEST(Adam, FirstStepFromEmptyState) {
    Layer l = one_weight();
    optimizer::adam::update_params(make_optimizer("adam", 0.001f), l);
    EXPECT_EQ(bits(l.weights.values[0]), bits(-0.0009999998f));
    EXPECT_EQ(bits(l.biases[0]), bits(-0.0009999998f));
    // stored uncorrected
    EXPECT_EQ(l.weight_momentums, matrix(1, 1, {0.050000012f}));
    EXPECT_EQ(l.weight_cache, matrix(1, 1, {0.00024999678f}));
    EXPECT_EQ(l.bias_momentums, Vector{0.050000012f});
    EXPECT_EQ(l.bias_cache, Vector{0.00024999678f});
}

TEST(Adam, LaterStepUsesTheCorrectionOfItsIteration) {
    Layer l = one_weight();
    l.weight_momentums = matrix(1, 1, {0.050000012f});
    l.weight_cache = matrix(1, 1, {0.00024999678f});
    l.bias_momentums = {0.050000012f};
    l.bias_cache = {0.00024999678f};
    DynamicOptimizer opt = make_optimizer("adam", 0.001f);
    opt.iterations = 1;
    optimizer::adam::update_params(opt, l);
    // step 2 in float, in the stated order
    const float m = 0.050000012f * 0.9f + 0.5f * (1.0f - 0.9f);
    const float v = 0.00024999678f * 0.999f + (0.5f * 0.5f) * (1.0f - 0.999f);
    const float w = 0.0f + ((m / 0.19000006f) * -0.001f) / (std::sqrt(v / 0.0019989610f) + 1e-7f);
    EXPECT_EQ(bits(l.weights.values[0]), bits(w));
    EXPECT_EQ(bits(l.weight_momentums.values[0]), bits(m));
    EXPECT_EQ(bits(l.weight_cache.values[0]), bits(v));
}

TEST(Adam, EmptyCacheRestartsAllFourArrays) {
    Layer l = one_weight();
    l.weight_momentums = matrix(1, 1, {123.0f});
    l.bias_momentums = {123.0f};
    l.bias_cache = {5.0f};
    optimizer::adam::update_params(make_optimizer("adam", 0.001f), l);
    EXPECT_EQ(l.weight_momentums, matrix(1, 1, {0.050000012f}));
    EXPECT_EQ(l.bias_momentums, Vector{0.050000012f});
    EXPECT_EQ(l.bias_cache, Vector{0.00024999678f});
}

TEST(Adam, ZeroGradientLeavesParametersAndDropoutLayersAlone) {
    for (const char* type : {"adam", "tf_adam"}) {
        Layer l = one_weight();
        l.weights.values[0] = 0.75f;
        l.dweights.values[0] = 0.0f;
        l.dbiases[0] = 0.0f;
        optimizer::update(make_optimizer(type, 0.001f), l);
        EXPECT_EQ(l.weights.values[0], 0.75f) << type;
        EXPECT_EQ(l.biases[0], 0.0f) << type;

        Layer drop;
        drop.layer_type = "dropout";
        drop.dropout_rate = 0.8f;
        const Layer before = drop;
        optimizer::update(make_optimizer(type, 0.001f), drop);
        EXPECT_EQ(drop, before) << type;
    }
}

TEST(Adam, CoveringArraysOfOtherShapesMatchByPosition) {
    // a loaded layer whose gradient and moments are wider than its weights
    Layer l;
    l.weights = matrix(1, 1, {0.0f});
    l.biases = {0.0f};
    l.dweights = matrix(1, 2, {0.5f, 0.25f});
    l.dbiases = {0.5f, 0.25f};
    l.weight_momentums = matrix(1, 2, {0, 0});
    l.weight_cache = matrix(1, 2, {0, 0});
    l.bias_momentums = {0, 0};
    l.bias_cache = {0, 0};
    optimizer::adam::update_params(make_optimizer("adam", 0.001f), l);
    EXPECT_EQ(bits(l.weights.values[0]), bits(-0.0009999998f));
    EXPECT_EQ(bits(l.biases[0]), bits(-0.0009999998f));
    EXPECT_EQ(l.weight_momentums.values[1], 0.25f * (1.0f - 0.9f));  // moments cover their own shape
    EXPECT_EQ(l.bias_cache[1], (0.25f * 0.25f) * (1.0f - 0.999f));
}

TEST(Adam, UncoveredArraysAbortBeforeChangingAnything) {
    struct Case { const char* what; void (*spoil)(Layer&); };
    const Case cases[] = {
        {"short dweights", [](Layer& l) { l.dweights = Matrix(1, 1); }},
        {"short dbiases", [](Layer& l) { l.dbiases = {0.5f}; }},
        {"short weight_momentums", [](Layer& l) { l.weight_momentums = Matrix(2, 1); }},
        {"short bias_cache", [](Layer& l) { l.bias_cache = {0.0f}; }},
    };
    for (const char* type : {"adam", "tf_adam"}) {
        for (const Case& c : cases) {
            Layer l;
            l.weights = Matrix(2, 2);
            l.biases = {0, 0};
            l.dweights = matrix(2, 2, {1, 1, 1, 1});
            l.dbiases = {1, 1};
            l.weight_momentums = Matrix(2, 2);
            l.weight_cache = Matrix(2, 2);
            l.bias_momentums = {0, 0};
            l.bias_cache = {0, 0};
            c.spoil(l);
            const Layer before = l;
            EXPECT_THROW(optimizer::update(make_optimizer(type, 0.001f), l), wexo::Abort) << type << " " << c.what;
            EXPECT_EQ(l, before) << type << " " << c.what;
        }
    }
}

// Both steps compute in double, rounding to float after each operation, which must give the bits of the same
// steps in float for every kind of value: subnormals (where a dead unit's momentum sits), zeros of both signs,
// huge values, infinities and NaN, and rates and epsilons small enough to make the step itself subnormal.
TEST(Adam, BothStepsGiveTheBitsOfTheFloatStepsForEveryKindOfValue) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-152, 24);
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float specials[] = {0.0f, -0.0f, kInf, -kInf, kNaN, std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::min()};
    const std::size_t n = 4096;
    // in each element at most one of the four arrays holds a special value, so that no two NaNs meet
    auto values = [&](std::size_t which) {
        Vector out(n);
        for (std::size_t k = 0; k < n; ++k)
            out[k] = k % 16 == 0 && (k / 16) % 4 == which ? specials[(k / 64) % 8] : std::ldexp(unit(gen), exponent(gen));
        return out;
    };
    struct Rates {
        float lr, epsilon;
    };
    for (const Rates r : {Rates{0.001f, 1e-7f}, Rates{1e-30f, 1e-38f}, Rates{3.0f, 0.0f}})
        for (const bool tf : {false, true})
            for (const std::int32_t t : {1, 2, 50}) {
                const Vector w = values(0), g = values(1), m = values(2), v = values(3);
                Layer l;
                l.layer_type = "dense";
                l.weights = matrix(1, n, w);
                l.dweights = matrix(1, n, g);
                l.weight_momentums = matrix(1, n, m);
                l.weight_cache = matrix(1, n, v);
                l.biases = l.dbiases = l.bias_momentums = l.bias_cache = {0.0f};
                DynamicOptimizer opt = make_optimizer(tf ? "tf_adam" : "adam", r.lr);
                opt.epsilon = r.epsilon;
                opt.iterations = t - 1;
                optimizer::update(opt, l);
                const float b1 = opt.beta_1, b2 = opt.beta_2;
                const float mc = 1.0f - optimizer::integer_power(b1, t), vc = 1.0f - optimizer::integer_power(b2, t);
                const float lr_t = (std::sqrt(vc) * r.lr) / mc;
                for (std::size_t k = 0; k < n; ++k) {
                    const float mk = m[k] * b1 + g[k] * (1.0f - b1);
                    const float vk = v[k] * b2 + (g[k] * g[k]) * (1.0f - b2);
                    const float wk = tf ? w[k] - (mk * lr_t) / (std::sqrt(vk) + r.epsilon)
                                        : w[k] + ((mk / mc) * -r.lr) / (std::sqrt(vk / vc) + r.epsilon);
                    ASSERT_EQ(bits(l.weight_momentums.values[k]), bits(mk)) << k;
                    ASSERT_EQ(bits(l.weight_cache.values[k]), bits(vk)) << k;
                    ASSERT_EQ(bits(l.weights.values[k]), bits(wk)) << k << " tf " << tf << " t " << t << " lr " << r.lr;
                }
            }
}

TEST(TfAdam, FirstStepFoldsTheCorrectionIntoTheRate) {
    Layer l = one_weight();
    optimizer::adam::update_params_tf(make_optimizer("tf_adam", 0.001f), l);
    EXPECT_EQ(bits(l.weights.values[0]), bits(-0.0009999936f));
    EXPECT_EQ(bits(l.biases[0]), bits(-0.0009999936f));
    EXPECT_EQ(l.weight_momentums, matrix(1, 1, {0.050000012f}));
    EXPECT_EQ(l.weight_cache, matrix(1, 1, {0.00024999678f}));
}

TEST(TfAdam, CreatesOnlyTheEmptyArrays) {
    Layer l = one_weight();
    l.weight_momentums = matrix(1, 1, {1.0f});  // kept: only weight_cache is created
    optimizer::adam::update_params_tf(make_optimizer("tf_adam", 0.001f), l);
    EXPECT_EQ(bits(l.weight_momentums.values[0]), bits(1.0f * 0.9f + 0.5f * (1.0f - 0.9f)));
    EXPECT_EQ(l.weight_cache, matrix(1, 1, {0.00024999678f}));
    EXPECT_EQ(l.bias_momentums, Vector{0.050000012f});
}

TEST(Sgd, StepsAgainstTheGradientAndKeepsStateArrays) {
    Layer l = one_weight();
    l.weight_momentums = matrix(1, 1, {9.0f});  // e.g. from an earlier Adam training: neither used nor cleared
    optimizer::sgd::update_params(make_optimizer("sgd", 0.001f), l);
    EXPECT_EQ(bits(l.weights.values[0]), bits(-0.00050000002f));
    EXPECT_EQ(bits(l.biases[0]), bits(-0.00050000002f));
    EXPECT_EQ(l.weight_momentums, matrix(1, 1, {9.0f}));
    EXPECT_TRUE(l.weight_cache.empty_shape());
    EXPECT_TRUE(l.bias_momentums.empty());
    EXPECT_TRUE(l.bias_cache.empty());
}

TEST(Sgd, ZeroGradientAndEmptyLayersChangeNothing) {
    Layer l = one_weight();
    l.weights.values[0] = 0.75f;
    l.dweights.values[0] = 0.0f;
    optimizer::sgd::update_params(make_optimizer("sgd", 0.001f), l);
    EXPECT_EQ(l.weights.values[0], 0.75f);
    Layer drop;
    drop.layer_type = "dropout";
    const Layer before = drop;
    optimizer::sgd::update_params(make_optimizer("sgd", 0.001f), drop);
    EXPECT_EQ(drop, before);
}

TEST(Sgd, ShortGradientsAbort) {
    Layer l = one_weight();
    l.dweights = Matrix(0, 0);
    EXPECT_THROW(optimizer::sgd::update_params(make_optimizer("sgd", 0.001f), l), wexo::Abort);
    Layer b = one_weight();
    b.dbiases.clear();
    EXPECT_THROW(optimizer::sgd::update_params(make_optimizer("sgd", 0.001f), b), wexo::Abort);
}

TEST(Sgd, ShortGradientsAbortWithTheirShapes) {
    Layer l;
    l.weights = Matrix(2, 2);
    l.biases = {0, 0};
    l.dweights = Matrix(1, 2);
    l.dbiases = {0};
    EXPECT_EQ(wexo::test_support::abort_message([&] { optimizer::sgd::update_params(make_optimizer("sgd", 1.0f), l); }),
              "sgd: weight gradient (1, 2) does not cover weights (2, 2)");
    l.dweights = Matrix(2, 2);
    EXPECT_EQ(wexo::test_support::abort_message([&] { optimizer::sgd::update_params(make_optimizer("sgd", 1.0f), l); }),
              "sgd: bias gradient index 1 out of range for 1 bias gradients");
}

}  // namespace
