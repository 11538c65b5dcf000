// Layer init, forward and backward for dense, dropout, relu and unknown layers.
#include "nn/layer.h"

#include "core/rng.h"
#include "nn/activation.h"
#include "nn/dropout.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>
#include "support.h"

using wexo::test_support::bits;
using wexo::test_support::dense;
using wexo::test_support::kNaN;
using wexo::test_support::matrix;

using wexo::test_support::abort_message;

namespace {

using wexo::Layer;
using wexo::Matrix;
using wexo::Vector;
namespace layer = wexo::layer;

Layer dropout(float keep) {
    Layer l;
    l.layer_type = "dropout";
    l.dropout_rate = keep;
    return l;
}

// A layer whose transient fields hold values that a pass must either replace or leave alone.
Layer with_sentinels(Layer l) {
    l.inputs = matrix(1, 1, {42});
    l.activation_inputs = matrix(1, 1, {43});
    l.dweights = matrix(1, 1, {44});
    l.dbiases = {45};
    l.weight_momentums = matrix(1, 1, {46});
    l.weight_cache = matrix(1, 1, {47});
    l.bias_momentums = {48};
    l.bias_cache = {49};
    l.binary_mask = matrix(1, 1, {50});
    return l;
}


bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(LayerInit, DropoutRateBecomesKeepProbability) {
    Layer l = dropout(0.2f);
    layer::init(l);
    EXPECT_EQ(l.dropout_rate, 0.8f);
    layer::init(l);
    EXPECT_EQ(l.dropout_rate, std::nextafter(0.2f, 0.0f));  // 1 - 0.8 in float, just below 0.2
    Layer unset = dropout(0.0f);
    layer::init(unset);
    EXPECT_EQ(unset.dropout_rate, 1.0f);
}

TEST(LayerInit, UnknownLayerTypesAreLeftAlone) {
    for (const char* type : {"", "Dense", "dense ", "conv"}) {
        Layer l = with_sentinels(dense(matrix(1, 1, {3}), {4}));
        l.layer_type = type;
        l.dropout_rate = 0.3f;
        const Layer before = l;
        layer::init(l);
        EXPECT_EQ(l, before) << type;
    }
}

TEST(LayerInit, DenseGetsFreshScaledNormalWeightsAndZeroBiases) {
    Layer l = with_sentinels(Layer{});
    l.layer_type = "dense";
    l.n_inputs = 300;
    l.n_neurons = 400;
    l.weights = matrix(1, 2, {1, 2});
    l.biases = {7, 7, 7};
    const Layer before = l;
    layer::init(l);
    ASSERT_EQ(l.weights.n_rows, 300u);
    ASSERT_EQ(l.weights.n_cols, 400u);
    EXPECT_EQ(l.biases, Vector(400, 0.0f));
    double sum = 0, sum_sq = 0;
    for (float w : l.weights.values) {
        sum += w;
        sum_sq += static_cast<double>(w) * w;
    }
    const double n = static_cast<double>(l.weights.size());
    EXPECT_NEAR(sum / n, 0.0, 1e-4);  // standard error 0.01 / sqrt(120000)
    EXPECT_NEAR(std::sqrt(sum_sq / n), 0.01, 1e-4);

    Layer rest = l;  // everything but weights and biases is untouched
    rest.weights = before.weights;
    rest.biases = before.biases;
    EXPECT_EQ(rest, before);

    const Matrix first = l.weights;
    layer::init(l);
    EXPECT_NE(l.weights, first);  // a fresh seed every time
    EXPECT_EQ(l.biases, Vector(400, 0.0f));
}

TEST(LayerInit, DenseWithZeroCountsDrawsNothing) {
    struct Case { std::uint64_t n_inputs, n_neurons; };
    for (const Case c : {Case{0, 5}, Case{5, 0}, Case{0, 0}}) {
        Layer l;
        l.layer_type = "dense";
        l.n_inputs = c.n_inputs;
        l.n_neurons = c.n_neurons;
        layer::init(l);
        EXPECT_EQ(l.weights.n_rows, c.n_inputs);
        EXPECT_EQ(l.weights.n_cols, c.n_neurons);
        EXPECT_TRUE(l.weights.values.empty());
        EXPECT_EQ(l.biases, Vector(c.n_neurons, 0.0f));
    }
}

TEST(LayerInit, ImpossibleSizesAbort) {
    struct Case { std::uint64_t n_inputs, n_neurons; };
    for (const Case c : {Case{1ull << 40, 1ull << 40}, Case{1ull << 61, 1}, Case{1, 1ull << 62}}) {
        Layer l;
        l.layer_type = "dense";
        l.n_inputs = c.n_inputs;
        l.n_neurons = c.n_neurons;
        EXPECT_THROW(layer::init(l), wexo::Abort) << c.n_inputs << " x " << c.n_neurons;
        EXPECT_TRUE(l.weights.values.empty());
    }
}

TEST(LayerForward, DenseIsAffineAndKeepsItsInput) {
    Layer l = dense(matrix(2, 1, {0.5f, -1.0f}), {0.25f, 100.0f});  // the extra bias is ignored
    Matrix batch = matrix(2, 2, {1, 2, 3, 4});
    layer::forward(l, batch, true);
    EXPECT_EQ(batch, matrix(2, 1, {-1.25f, -2.25f}));
    EXPECT_EQ(l.inputs, matrix(2, 2, {1, 2, 3, 4}));
    EXPECT_TRUE(l.activation_inputs.empty_shape());
}

TEST(LayerForward, DenseWithNoSamples) {
    Layer l = dense(Matrix(2, 3), {0, 0, 0});
    Matrix batch(0, 2);
    layer::forward(l, batch, false);
    EXPECT_EQ(batch.n_rows, 0u);
    EXPECT_EQ(batch.n_cols, 3u);
    EXPECT_EQ(l.inputs.n_cols, 2u);
}

TEST(LayerForward, DenseShapeFailuresAbortAfterKeepingTheInput) {
    Layer short_biases = dense(Matrix(2, 3), {0, 0});
    Matrix batch = matrix(1, 2, {1, 2});
    EXPECT_EQ(abort_message([&] { layer::forward(short_biases, batch, true); }),
              "dense forward: bias index 2 out of range for 2 biases (3 weight columns)");
    EXPECT_EQ(short_biases.inputs, matrix(1, 2, {1, 2}));
    Layer narrow = dense(Matrix(3, 1), {0});
    Matrix wide(1, 2);
    EXPECT_THROW(layer::forward(narrow, wide, true), wexo::Abort);
}

TEST(LayerForward, ReluKeepsPreActivationOutput) {
    Layer l = dense(matrix(1, 3, {1, -1, 2}), {0, 0, 0}, "relu");
    Matrix batch = matrix(2, 1, {1, 0.5f});
    layer::forward(l, batch, true);
    EXPECT_EQ(l.activation_inputs, matrix(2, 3, {1, -1, 2, 0.5f, -0.5f, 1}));
    EXPECT_EQ(batch, matrix(2, 3, {1, 0, 2, 0.5f, 0, 1}));

    Layer positive = dense(matrix(1, 1, {1}), {0}, "relu");
    Matrix ones = matrix(1, 1, {1});
    layer::forward(positive, ones, false);
    EXPECT_EQ(positive.activation_inputs, matrix(1, 1, {1}));
}

TEST(LayerForward, UnknownTypeGivesEmptyOutput) {
    for (const char* activation : {"relu", "", "Relu"}) {
        Layer l = with_sentinels(Layer{});
        l.layer_type = "Dense";
        l.activation_type = activation;
        Matrix batch = matrix(1, 2, {1, 2});
        layer::forward(l, batch, true);
        EXPECT_TRUE(batch.empty_shape()) << activation;
        EXPECT_EQ(l.inputs, matrix(1, 1, {42}));
        EXPECT_EQ(l.activation_inputs.empty_shape(), std::string(activation) == "relu") << activation;
    }
}

TEST(LayerForward, DropoutEvaluationPassesTheBatchThrough) {
    Layer l = with_sentinels(dropout(-0.5f));  // invalid, but not checked outside training
    Matrix batch = matrix(1, 3, {1, 2, 3});
    layer::forward(l, batch, false);
    EXPECT_EQ(batch, matrix(1, 3, {1, 2, 3}));
    EXPECT_EQ(l.inputs, batch);
    EXPECT_EQ(l.binary_mask, matrix(1, 1, {50}));
}

// The mask element that the draw rule gives for one generator output r, in doubles as the rule states it.
float mask_by_the_rule(float keep, std::uint64_t r) {
    const double p = keep;
    const double rarer = p <= 0.5 ? p : 1.0 - p;
    const double u = static_cast<double>(r >> 11) * 0x1p-53;
    const bool raw = u > 1.0 - rarer;
    const bool d = p <= 0.5 ? raw : !raw;
    return (d ? 1.0f : 0.0f) / keep;
}

TEST(LayerForward, DropoutMaskIsScaledAndKeepsAboutPOfTheValues) {
    struct Case { float keep; };
    for (const Case c : {Case{0.8f}, Case{0.3f}, Case{0.5f}, Case{0.9f}, Case{0.1f}}) {
        Layer l = dropout(c.keep);
        Matrix batch(400, 250);  // not a whole number of draw chunks or block groups
        for (std::size_t k = 0; k < batch.size(); ++k) batch.values[k] = static_cast<float>(k % 7) - 3.0f;
        const Matrix input = batch;
        layer::forward(l, batch, true);
        ASSERT_EQ(l.binary_mask.n_rows, 400u);
        ASSERT_EQ(l.binary_mask.n_cols, 250u);
        EXPECT_EQ(l.inputs, input);
        const float kept = 1.0f / c.keep;
        std::size_t n_kept = 0;
        for (std::size_t k = 0; k < batch.size(); ++k) {
            const float m = l.binary_mask.values[k];
            ASSERT_TRUE(m == 0.0f || m == kept) << m;
            n_kept += m == kept;
            ASSERT_EQ(batch.values[k], input.values[k] * m);
        }
        const double se = std::sqrt(c.keep * (1.0 - c.keep) / batch.size());
        EXPECT_NEAR(static_cast<double>(n_kept) / batch.size(), c.keep, 5 * se) << c.keep;
        // neighbours are independent: a kept element is followed by a kept one at the keep rate too
        std::size_t n_pairs = 0, n_both = 0;
        for (std::size_t k = 0; k + 1 < batch.size(); ++k) {
            if (l.binary_mask.values[k] != kept) continue;
            ++n_pairs;
            n_both += l.binary_mask.values[k + 1] == kept;
        }
        EXPECT_NEAR(static_cast<double>(n_both) / n_pairs, c.keep, 5 * std::sqrt(c.keep * (1.0 - c.keep) / n_pairs));
    }
    EXPECT_EQ(1.0f / 0.8f, 1.25f);
}

// From a known generator state the mask is bit for bit the rule applied to the next B x C outputs, row-major, and
// the generator moves on by exactly that many.
TEST(LayerForward, DropoutMaskFollowsTheDrawRuleOnTheGeneratorStream) {
    const wexo::rng::ChaChaKey key = {1, 2, 3, 4, 5, 6, 7, 8};
    const wexo::rng::ChaChaNonce nonce = {9, 10, 11};
    wexo::rng::ChaChaGenerator& thread = wexo::rng::thread_generator();
    const wexo::rng::ChaChaGenerator saved = thread;
    for (const float keep : {0.9f, 0.25f, 0.5f, std::nextafter(0.5f, 1.0f), 0.7f}) {
        thread = wexo::rng::make_generator(key, nonce);
        thread.counter = 48;  // somewhere in the stream
        wexo::rng::ChaChaGenerator expected_stream = thread;
        Layer l = dropout(keep);
        Matrix batch(37, 29);
        for (std::size_t k = 0; k < batch.size(); ++k) batch.values[k] = 0.5f + static_cast<float>(k % 5);
        const Matrix input = batch;
        layer::forward(l, batch, true);
        for (std::size_t k = 0; k < batch.size(); ++k) {
            const float m = mask_by_the_rule(keep, wexo::rng::next_u64(expected_stream));
            ASSERT_EQ(l.binary_mask.values[k], m) << keep << " " << k;
            ASSERT_EQ(batch.values[k], input.values[k] * m) << keep << " " << k;
        }
        EXPECT_EQ(thread.counter, expected_stream.counter);
        EXPECT_EQ(thread.next, expected_stream.next);
    }
    thread = saved;  // the rest of the run draws from the OS-seeded stream again
}

// The mask pass compares integers; at the edges of the threshold, for keep probabilities of every kind, it gives
// what the comparison of doubles gives.
TEST(DropoutDraws, IntegerComparisonMatchesTheDoubleRule) {
    const float keeps[] = {0.1f, 0.3f, 0.5f, std::nextafter(0.5f, 0.0f), std::nextafter(0.5f, 1.0f), 0.75f, 0.9f,
                           std::nextafter(1.0f, 0.0f), 1e-30f, std::numeric_limits<float>::denorm_min(),
                           std::numeric_limits<float>::min(), 0.0f, 1.0f};
    for (const float keep : keeps) {
        const double p = keep;
        const double edge = (1.0 - (p <= 0.5 ? p : 1.0 - p)) * 0x1p53;  // q * 2^53, the last raw 0
        std::vector<std::uint64_t> draws = {0, ~std::uint64_t{0}, std::uint64_t{1} << 63};
        for (std::int64_t d = -3; d <= 3; ++d) {
            const auto top = static_cast<std::int64_t>(edge) + d;
            if (top < 0 || top >= (std::int64_t{1} << 53)) continue;
            for (const std::uint64_t low : {0u, 1u, 0x400u, 0x7ffu}) draws.push_back(static_cast<std::uint64_t>(top) << 11 | low);
        }
        std::vector<float> x(draws.size(), -2.0f), m(draws.size());
        layer::dropout::apply_draws(keep, draws.data(), x.data(), m.data(), draws.size());
        for (std::size_t k = 0; k < draws.size(); ++k) {
            const float expected = mask_by_the_rule(keep, draws[k]);
            EXPECT_EQ(bits(m[k]), bits(expected)) << keep << " " << draws[k];
            EXPECT_EQ(bits(x[k]), bits(-2.0f * expected)) << keep;
        }
    }
}

TEST(LayerForward, DropoutCertainOutcomes) {
    wexo::rng::ChaChaGenerator& thread = wexo::rng::thread_generator();
    wexo::rng::next_u64();  // seeded, part of a refill left
    const wexo::rng::ChaChaGenerator before = thread;
    Layer all = dropout(1.0f);
    Matrix batch = matrix(1, 3, {1, -2, 3});
    layer::forward(all, batch, true);
    EXPECT_EQ(all.binary_mask, matrix(1, 3, {1, 1, 1}));
    EXPECT_EQ(batch, matrix(1, 3, {1, -2, 3}));

    Layer none = dropout(0.0f);  // 0 / 0 everywhere
    layer::forward(none, batch, true);
    EXPECT_EQ(all.inputs, matrix(1, 3, {1, -2, 3}));  // both keep their input as it came
    EXPECT_EQ(none.inputs, matrix(1, 3, {1, -2, 3}));
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_TRUE(std::isnan(none.binary_mask.values[k]));
        EXPECT_TRUE(std::isnan(batch.values[k]));
    }
    // neither drew from the generator
    EXPECT_EQ(thread.counter, before.counter);
    EXPECT_EQ(thread.next, before.next);
    EXPECT_EQ(thread.key, before.key);
}

TEST(LayerForward, DropoutRejectsProbabilitiesOutsideTheUnitInterval) {
    struct Case { float keep; const char* tail; };
    const Case cases[] = {{-0.5f, "ProbabilityTooSmall"}, {kNaN, "ProbabilityTooSmall"},
                          {-std::numeric_limits<float>::infinity(), "ProbabilityTooSmall"},
                          {1.5f, "ProbabilityTooLarge"}, {std::nextafter(1.0f, 2.0f), "ProbabilityTooLarge"}};
    for (const Case& c : cases) {
        for (Matrix batch : {Matrix(2, 2), Matrix(0, 0)}) {  // checked even when nothing is drawn
            Layer l = dropout(c.keep);
            const std::string msg = abort_message([&] { layer::forward(l, batch, true); });
            EXPECT_TRUE(ends_with(msg, c.tail)) << c.keep << ": " << msg;
        }
        const std::uint64_t draw = 0;
        float x = 1.0f, m = 0.0f;
        const std::string msg = abort_message([&] { layer::dropout::apply_draws(c.keep, &draw, &x, &m, 1); });
        EXPECT_TRUE(ends_with(msg, c.tail)) << c.keep << ": " << msg;
    }
}

TEST(LayerBackward, DenseGradients) {
    Layer l = dense(matrix(2, 1, {0.5f, -1.0f}), {0});
    l.inputs = matrix(1, 2, {1, 2});
    Matrix grad = matrix(1, 1, {3}), scratch;
    layer::backward(l, grad, scratch);
    EXPECT_EQ(l.dweights, matrix(2, 1, {3, 6}));
    EXPECT_EQ(l.dbiases, Vector{3});
    EXPECT_EQ(grad, matrix(1, 2, {1.5f, -3.0f}));

    Layer r = dense(matrix(2, 1, {0.5f, -1.0f}), {0}, "relu");
    r.inputs = matrix(1, 2, {1, 2});
    r.activation_inputs = matrix(1, 1, {-0.2f});
    grad = matrix(1, 1, {3});
    layer::backward(r, grad, scratch);
    EXPECT_EQ(r.dweights, matrix(2, 1, {0, 0}));
    EXPECT_EQ(r.dbiases, Vector{0});
    EXPECT_EQ(grad, matrix(1, 2, {0, 0}));
}

// Narrow gradients are summed eight rows at a time as flat vectors, wide ones column block by column block; row
// counts off the multiple of eight leave tails on both.
TEST(LayerBackward, DenseBiasGradientSumsEveryColumnWidth) {
    for (const std::size_t cols : {1, 2, 3, 5, 7, 8, 9, 64, 70})
        for (const std::size_t rows : {1, 7, 8, 300}) {
            Layer l = dense(Matrix(1, cols), Vector(cols, 0.0f));
            l.inputs = Matrix(rows, 1);
            Matrix grad(rows, cols), scratch;
            Vector want(cols, 0.0f);
            for (std::size_t i = 0; i < rows; ++i)
                for (std::size_t j = 0; j < cols; ++j) {
                    grad.at(i, j) = static_cast<float>((i * 31 + j * 7) % 11) - 5.0f;
                    want[j] += grad.at(i, j);
                }
            layer::backward(l, grad, scratch, false);
            EXPECT_EQ(l.dbiases, want) << rows << " x " << cols;
        }
}

TEST(LayerBackward, DenseBiasGradientSumsOverSamples) {
    Layer l = dense(Matrix(1, 2), {0, 0});
    l.inputs = matrix(3, 1, {1, 1, 1});
    Matrix grad = matrix(3, 2, {1, 10, 2, 20, 3, 30}), scratch;
    layer::backward(l, grad, scratch, false);
    EXPECT_EQ(l.dbiases, (Vector{6, 60}));
    EXPECT_EQ(grad, matrix(3, 2, {1, 10, 2, 20, 3, 30}));  // no input gradient asked for
}

TEST(LayerBackward, RegularizationTerms) {
    struct Case {
        float weight_l1, weight_l2, bias_l1, bias_l2;
        Vector dweights, dbiases;
    };
    // weights [[-2], [0]], biases [4], zero inputs: the gradients hold the regularization terms alone
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {0.1f, 0, 0, 0, {-0.1f, 0.1f}, {0}},
        {0, 0.25f, 0, 0, {-1.0f, 0.0f}, {0}},
        {0, 0, 0.5f, 0, {0, 0}, {0.5f}},
        {0, 0, 0, 0.5f, {0, 0}, {4.0f}},
        {-0.1f, kNaN, -inf, kNaN, {0, 0}, {0}},  // not positive: nothing added
    };
    for (const Case& c : cases) {
        Layer l = dense(matrix(2, 1, {-2, 0}), {4});
        l.weight_regularizer_l1 = c.weight_l1;
        l.weight_regularizer_l2 = c.weight_l2;
        l.bias_regularizer_l1 = c.bias_l1;
        l.bias_regularizer_l2 = c.bias_l2;
        l.inputs = matrix(1, 2, {0, 0});
        Matrix grad = matrix(1, 1, {0}), scratch;
        layer::backward(l, grad, scratch);
        EXPECT_EQ(l.dweights.values, c.dweights) << c.weight_l1 << " " << c.weight_l2;
        EXPECT_EQ(l.dbiases, c.dbiases) << c.bias_l1 << " " << c.bias_l2;
    }
    Layer nan_weight = dense(matrix(1, 1, {kNaN}), {-0.0f});  // NaN and -0.0 count as positive for L1
    nan_weight.weight_regularizer_l1 = 0.5f;
    nan_weight.bias_regularizer_l1 = 0.5f;
    nan_weight.inputs = matrix(1, 1, {0});
    Matrix grad = matrix(1, 1, {0}), scratch;
    layer::backward(nan_weight, grad, scratch);
    EXPECT_EQ(nan_weight.dweights.values, Vector{0.5f});
    EXPECT_EQ(nan_weight.dbiases, Vector{0.5f});
}

TEST(LayerBackward, DenseShapeFailuresAbort) {
    Layer l = dense(Matrix(2, 1), {0});
    Matrix scratch;
    l.inputs = Matrix(2, 2);
    Matrix wrong_rows(1, 1);
    EXPECT_THROW(layer::backward(l, wrong_rows, scratch), wexo::Abort);
    Matrix wrong_cols(2, 2);
    EXPECT_THROW(layer::backward(l, wrong_cols, scratch), wexo::Abort);
    Layer short_biases = dense(Matrix(1, 2), {0});
    short_biases.bias_regularizer_l2 = 1.0f;
    short_biases.inputs = Matrix(1, 1);
    Matrix grad(1, 2);
    EXPECT_THROW(layer::backward(short_biases, grad, scratch), wexo::Abort);
}

TEST(LayerBackward, DropoutAppliesTheMaskAndChangesNoField) {
    Layer l = dropout(0.8f);
    l.binary_mask = matrix(1, 2, {1.25f, 0});
    const Layer before = l;
    Matrix grad = matrix(1, 2, {2, 2}), scratch;
    layer::backward(l, grad, scratch);
    EXPECT_EQ(grad, matrix(1, 2, {2.5f, 0}));
    EXPECT_EQ(l, before);
    Matrix taller(2, 2);
    EXPECT_THROW(layer::backward(l, taller, scratch), wexo::Abort);  // mask (1, 2) after a smaller batch
}

TEST(LayerBackward, ReluNeedsPreActivationsCoveringTheGradient) {
    Layer l = dense(Matrix(1, 2), {0, 0}, "relu");
    l.inputs = Matrix(2, 1);
    l.activation_inputs = Matrix(1, 2);
    Matrix grad(2, 2), scratch;
    EXPECT_THROW(layer::backward(l, grad, scratch), wexo::Abort);
}

TEST(LayerBackward, UnknownTypePassesOnlyWhatReluProduced) {
    Layer plain;
    plain.layer_type = "Dropout";
    Matrix grad = matrix(1, 2, {1, 2}), scratch;
    layer::backward(plain, grad, scratch);
    EXPECT_TRUE(grad.empty_shape());

    Layer relu = plain;
    relu.activation_type = "relu";
    relu.activation_inputs = matrix(1, 2, {-1, 1});
    grad = matrix(1, 2, {1, 2});
    layer::backward(relu, grad, scratch);
    EXPECT_EQ(grad, matrix(1, 2, {0, 2}));
}

// After a few epochs every buffer has the capacity its positions need: further epochs allocate nothing.
TEST(LayerPasses, SteadyStateEpochsReuseEveryBuffer) {
    std::vector<Layer> net;
    for (auto [n_in, n_out] : {std::pair{5, 16}, std::pair{16, 3}}) {
        Layer l;
        l.layer_type = "dense";
        l.activation_type = "relu";
        l.n_inputs = n_in;
        l.n_neurons = n_out;
        layer::init(l);
        net.push_back(l);
        net.push_back(dropout(0.9f));
    }
    const Matrix x(64, 5);
    Matrix batch, grad, scratch;
    auto epoch = [&] {
        batch = x;
        for (Layer& l : net) layer::forward(l, batch, true);
        grad = batch;
        for (std::size_t k = net.size(); k-- > 0;) layer::backward(net[k], grad, scratch, k > 0);
    };
    auto buffers = [&] {
        std::set<const float*> s = {batch.values.data(), grad.values.data(), scratch.values.data()};
        for (const Layer& l : net)
            for (const Matrix* m : {&l.inputs, &l.activation_inputs, &l.dweights, &l.binary_mask})
                s.insert(m->values.data());
        for (const Layer& l : net) s.insert(l.dbiases.data());
        return s;
    };
    for (int k = 0; k < 8; ++k) epoch();
    const auto settled = buffers();
    for (int k = 0; k < 4; ++k) {
        epoch();
        EXPECT_EQ(buffers(), settled) << k;
    }
}

}  // namespace
