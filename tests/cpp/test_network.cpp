// The walks over the layer list: the training batch the first layer holds, and the relu derivative folded into
// the input gradient of the layer above.
#include "nn/network.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "nn/activation.h"
#include "nn/dense.h"
#include "nn/layer_walk.h"
#include "support.h"

using wexo::test_support::abort_message;
using wexo::test_support::bits;
using wexo::test_support::kNaN;
using wexo::test_support::matrix;

using namespace wexo;

namespace {

// "dense:relu 16" -> an initialised dense layer of n_in inputs and 16 neurons with relu; "dropout 0.25" -> dropout
// with that drop fraction; "input 2" first sets n_in; any other type is kept as it is written.
std::vector<Layer> build(const std::vector<std::string>& stack, std::size_t n_in) {
    std::vector<Layer> layers;
    for (const std::string& s : stack) {
        Layer l;
        const std::size_t space = s.find(' ');
        if (s.starts_with("input ")) {
            n_in = std::stoul(s.substr(space + 1));
            continue;
        }
        std::string type = s.substr(0, space);
        if (const std::size_t colon = type.find(':'); colon != std::string::npos) {
            l.activation_type = type.substr(colon + 1);
            type.resize(colon);
        }
        l.layer_type = type;
        if (type == "dense") {
            l.n_inputs = n_in;
            l.n_neurons = std::stoul(s.substr(space + 1));
            n_in = l.n_neurons;
        } else if (type == "dropout") {
            l.dropout_rate = std::stof(s.substr(space + 1));
        }
        layer::init(l);
        layers.push_back(l);
    }
    return layers;
}

Matrix batch(std::size_t rows, std::size_t cols, float offset) {
    Matrix m(rows, cols);
    for (std::size_t k = 0; k < m.size(); ++k) m.values[k] = static_cast<float>((k * 37 + 11) % 23) * 0.1f - offset;
    return m;
}

using Stack = std::vector<std::string>;

// The input width a stack asks for, 5 unless it starts with "input N".
std::size_t width(const Stack& stack) {
    return !stack.empty() && stack[0].starts_with("input ") ? std::stoul(stack[0].substr(6)) : 5;
}

class Walk : public testing::TestWithParam<Stack> {};

// The walk's backward pass, with the relu folds and without the first input gradient, leaves every layer with the
// bits of a layer-by-layer pass that applies each step on its own.
TEST_P(Walk, BackwardGivesTheBitsOfTheStepByStepPass) {
    std::vector<Layer> layers = build(GetParam(), 5);
    const std::size_t n_in = width(GetParam());
    Matrix out;
    network::forward(layers, batch(37, n_in, 1.0f), true, out);
    std::vector<Layer> reference = layers;
    const Matrix out_grad = batch(out.n_rows, out.n_cols, 1.1f);

    Matrix grad = out_grad, scratch;
    network::backward(layers, grad, scratch);
    Matrix ref_grad = out_grad;
    for (std::size_t k = reference.size(); k-- > 0;) layer::backward(reference[k], ref_grad, scratch);
    for (std::size_t k = 0; k < layers.size(); ++k) {
        EXPECT_EQ(bits(layers[k].dweights.values), bits(reference[k].dweights.values)) << k;
        EXPECT_EQ(bits(layers[k].dbiases), bits(reference[k].dbiases)) << k;
        EXPECT_EQ(layers[k].dweights.n_rows, reference[k].dweights.n_rows) << k;
    }
}

// The first layer's stored batch stands in for a copy of it: same outputs, same stored arrays. A validation pass in
// between stores its own batch in the first layer, and the next training pass reads the training batch again from
// the same buffer.
TEST_P(Walk, TheHeldBatchSurvivesValidationPasses) {
    std::vector<Layer> layers = build(GetParam(), 5);
    for (Layer& l : layers)
        if (l.layer_type == "dropout") l.dropout_rate = 1.0f;  // keep everything: the passes draw alike
    const Matrix x = batch(37, width(GetParam()), 1.0f), val_x = batch(6, width(GetParam()), 0.3f);

    std::vector<Layer> copying = layers;
    Matrix want, val_want;
    network::forward(copying, x, true, want);
    const std::vector<Layer> after_training_pass = copying;
    network::forward(copying, val_x, false, val_want);

    network::TrainingBatch held = network::hold(layers, x);
    const float* buffer = network::inputs(held, layers).values.data();
    Matrix out;
    for (int epoch = 0; epoch < 3; ++epoch) {
        network::forward(layers, held, out);
        EXPECT_EQ(bits(out.values), bits(want.values)) << epoch;
        EXPECT_EQ(layers, after_training_pass) << epoch;  // every stored array is what a copying pass leaves
        network::forward(layers, held, val_x, false, out);
        EXPECT_EQ(bits(out.values), bits(val_want.values)) << epoch;
        EXPECT_EQ(layers.front().inputs, val_x) << epoch;  // as a pass on a copy leaves it
        EXPECT_EQ(network::inputs(held, layers), x) << epoch;
        EXPECT_EQ(network::inputs(held, layers).values.data(), buffer) << epoch;
    }
}

// A pass over the layers leaves the output and every stored array as each layer's own pass in turn leaves them,
// where two layers run as one pass too.
TEST_P(Walk, ForwardGivesTheBitsOfTheLayerByLayerPass) {
    std::vector<Layer> layers = build(GetParam(), 5);
    for (Layer& l : layers)
        if (l.layer_type == "dropout") l.dropout_rate = 1.0f;  // keep everything: the passes draw alike
    std::vector<Layer> reference = layers;
    const Matrix x = batch(37, width(GetParam()), 1.0f);
    Matrix out, step = x;
    network::forward(layers, x, true, out);
    for (Layer& l : reference) layer::forward(l, step, true);
    EXPECT_EQ(bits(out.values), bits(step.values));
    EXPECT_EQ(layers, reference);
}

INSTANTIATE_TEST_SUITE_P(Stacks, Walk,
                         testing::Values(Stack{"input 2", "dense:relu 64", "dense 3"},
                                         Stack{"input 3", "dense:relu 16", "dense:relu 4", "dense 2"},
                                         Stack{"input 1", "dropout 0.5", "dense:relu 32", "dense:relu 1"},
                                         Stack{"dense:relu 16", "dropout 0.25", "dense 3"},
                                         Stack{"dense:relu 16", "dense:relu 9", "dense 3"},
                                         Stack{"dropout 0.1", "dense:relu 16", "dropout:relu 0.5", "dense 3"},
                                         Stack{"dense 8", "dropout:relu 0.3", "dense:relu 4", "dense:relu 3"}));

// Two dense layers over a narrow input, as in a small classifier: the walk takes the first layer's gradients
// straight from the second's output gradient, without building the first layer's output gradient; the bits are those
// of the step-by-step pass, with a relu or none on top, regularization terms on both layers, and batches down to
// one row.
TEST(Walk, AFirstLayerUnderADenseLayerGetsTheBitsOfTheStepByStepPass) {
    for (const std::size_t n_in : {1, 2, 3})
        for (const std::size_t hidden : {8, 64, 72})
            for (const std::string top : {"dense 3", "dense:relu 10", "dense 1"})
                for (const std::size_t rows : {1, 3, 300}) {
                    std::vector<Layer> layers = build({"dense:relu " + std::to_string(hidden), top}, n_in);
                    for (Layer& l : layers) {
                        l.weight_regularizer_l1 = 1e-4f;
                        l.weight_regularizer_l2 = 2e-4f;
                        l.bias_regularizer_l1 = 3e-4f;
                        l.bias_regularizer_l2 = 5e-4f;
                    }
                    std::vector<Layer> reference = layers;
                    Matrix out, step = batch(rows, n_in, 1.0f);
                    network::forward(layers, step, true, out);
                    for (Layer& l : reference) layer::forward(l, step, true);
                    ASSERT_EQ(bits(out.values), bits(step.values));
                    ASSERT_EQ(layers, reference);
                    const Matrix out_grad = batch(out.n_rows, out.n_cols, 1.1f);
                    ASSERT_TRUE(layer::dense::first_layer_chain_fits(layers[1], layers[0], out_grad));

                    Matrix grad = out_grad, scratch;
                    network::backward(layers, grad, scratch);
                    Matrix ref_grad = out_grad;
                    for (std::size_t k = reference.size(); k-- > 0;) layer::backward(reference[k], ref_grad, scratch);
                    for (std::size_t k = 0; k < layers.size(); ++k) {
                        ASSERT_EQ(bits(layers[k].dweights.values), bits(reference[k].dweights.values)) << k << top;
                        ASSERT_EQ(bits(layers[k].dbiases), bits(reference[k].dbiases)) << k << top;
                        ASSERT_EQ(layers[k].dweights.shape().n_rows, reference[k].dweights.shape().n_rows);
                    }
                }
}

// Epochs as a training call runs them: after the first, nothing is allocated, and each buffer has the size of what
// it holds, so a network with one hidden layer keeps one buffer of the hidden width for the layer above's input and
// one for the gradient handed down, and none of that width in the output or the loss gradient.
TEST(Walk, EpochsAfterTheFirstKeepTheirBuffersAndEachFitsItsUse) {
    for (const Stack& stack : {Stack{"dense:relu 16", "dense 3"}, Stack{"dense:relu 16", "dense:relu 9", "dense 3"}}) {
        std::vector<Layer> layers = build(stack, 5);
        network::TrainingBatch held = network::hold(layers, batch(37, 5, 1.0f));
        Matrix out, grad, scratch;
        std::vector<const float*> first;
        for (int epoch = 0; epoch < 3; ++epoch) {
            network::forward(layers, held, out);
            grad.reshape(out.n_rows, out.n_cols);  // a loss gradient: the output's shape
            network::backward(layers, grad, scratch);
            std::vector<const float*> now{out.values.data(), grad.values.data(), scratch.values.data()};
            for (const Layer& l : layers)
                now.insert(now.end(), {l.inputs.values.data(), l.activation_inputs.values.data()});
            if (epoch == 0) first = now;
            EXPECT_EQ(now, first) << stack.size() << " layers, epoch " << epoch;
        }
        EXPECT_EQ(out.values.capacity(), std::size_t{37 * 3});
        for (std::size_t k = 1; k < layers.size(); ++k)
            EXPECT_EQ(layers[k].inputs.values.capacity(), layers[k].inputs.size()) << k;
        // the loss gradient's buffer, then every other input gradient: the widest of those
        EXPECT_EQ(grad.values.capacity(), std::size_t{37 * (stack.size() == 2 ? 3 : 16)});
        EXPECT_EQ(scratch.values.capacity(), std::size_t{37 * (stack.size() == 2 ? 16 : 9)});
    }
}

TEST(Walk, AStoredBatchNeedsADenseOrDropoutLayer) {
    std::vector<Layer> layers = build({"dense:relu 2", "dense 1"}, 2);
    const Matrix x = matrix(3, 2, {1, 2, -1, 0.5f, 3, -2});
    Matrix copied, reused;
    network::forward(layers, x, true, copied);
    const std::vector<Layer> after_first = layers;
    network::TrainingBatch held = network::hold(layers, x);
    network::forward(layers, held, reused);
    EXPECT_EQ(copied, reused);
    EXPECT_EQ(layers, after_first);
    layers.front().layer_type = "";
    EXPECT_THROW(layer::walk::forward_stored(layers.front(), reused, true), Abort);  // an inert layer holds no batch

    // an inert first layer or none at all: the call holds the batch itself
    for (std::vector<Layer> inert : {std::vector<Layer>{}, std::vector<Layer>{layers.front()}}) {
        network::TrainingBatch held = network::hold(inert, x);
        Matrix out;
        network::forward(inert, held, out);
        network::forward(inert, held, matrix(1, 2, {5, 6}), false, out);
        EXPECT_EQ(network::inputs(held, inert), x);
    }
}

// The relu derivative of the layer below, folded into a dense layer's input gradient, gives what the two steps
// give on their own, NaN pre-activations included; a mask too small fails with the relu's own message.
TEST(LayerBackward, ReluOfTheLayerBelowFoldsIntoTheInputGradient) {
    Layer above;
    above.layer_type = "dense";
    above.weights = matrix(3, 2, {1, -2, 3, 0.5f, -1, 4});
    above.biases = {0, 0};
    above.inputs = matrix(4, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 2, 3});
    Layer below;
    below.layer_type = "dense";
    below.activation_type = "relu";
    below.activation_inputs = matrix(4, 3, {1, -1, 0, -0.0f, 2, kNaN, 3, -3, 1, 0, 0, 5});
    const Matrix out_grad = matrix(4, 2, {1, 2, -1, 0.5f, 3, -2, 0.25f, 1});

    Matrix separate = out_grad, scratch;
    Layer a1 = above;
    EXPECT_FALSE(layer::walk::backward(a1, separate, scratch, true, nullptr, false));
    wexo::activation::relu::backward(below.activation_inputs, separate);

    Matrix fused = out_grad;
    Layer a2 = above;
    EXPECT_TRUE(layer::walk::backward(a2, fused, scratch, true, layer::walk::relu_inputs(below), false));
    EXPECT_EQ(bits(fused.values), bits(separate.values));
    EXPECT_EQ(a2, a1);

    // told that the layer above applied it, the layer below skips its own relu step
    Layer b = below;
    b.inputs = matrix(4, 1, {1, 1, 1, 1});
    b.weights = matrix(1, 3, {1, 1, 1});
    b.biases = {0, 0, 0};
    const Matrix ones = matrix(4, 3, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    Matrix g = ones;
    layer::walk::backward(b, g, scratch, false, nullptr, true);
    EXPECT_EQ(b.dbiases, (wexo::Vector{4, 4, 4}));
    g = ones;
    layer::backward(b, g, scratch, false);
    EXPECT_EQ(b.dbiases, (wexo::Vector{2, 1, 3}));  // pre-activations > 0 or NaN pass

    const Matrix small = matrix(3, 3, {1, 1, 1, 1, 1, 1, 1, 1, 1});
    Matrix g3 = out_grad, g4 = out_grad;
    Layer a3 = above, a4 = above;
    const std::string fused_message =
        abort_message([&] { layer::walk::backward(a3, g3, scratch, true, &small, false); });
    layer::backward(a4, g4, scratch);
    EXPECT_EQ(fused_message, abort_message([&] { wexo::activation::relu::backward(small, g4); }));
    EXPECT_NE(fused_message, "");
}

}  // namespace
