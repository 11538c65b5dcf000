// The forward walk both model kinds share, their output activations, predictions, penalty and reports.
#include "model/model.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <utility>

#include "model/fit.h"
#include "model/report.h"
#include "nn/accuracy.h"
#include "nn/activation.h"

namespace wexo::model {

namespace {

// The first layer reads `x`, or with x == nullptr its own stored `inputs` (a dense or dropout layer).
void forward_layers(std::vector<Layer>& layers, const Matrix* x, bool training, Matrix& out) {
    const std::size_t n_cols = x != nullptr ? x->n_cols : layers.empty() ? 0 : layers.front().inputs.n_cols;
    check_layers_fit(layers, n_cols, training ? "x" : "val_x");  // only training passes see x
    auto rest = layers.begin();
    if (x == nullptr) {
        WEXO_CHECK(first_layer_keeps_input(layers), "the first layer does not hold a batch");
        layer::forward_stored(*rest++, out, training);
    } else {
        out.n_rows = x->n_rows;
        out.n_cols = x->n_cols;
        out.values.assign(x->values.begin(), x->values.end());  // keeps out's capacity
    }
    for (; rest != layers.end(); ++rest) layer::forward(*rest, out, training);
}

// Plain float sums vectorise only with several accumulators; any order of additions is acceptable here.
template <class Term>
float sum_of(const Vector& v, Term term) {
    float acc[8] = {};
    const std::size_t n = v.size(), n8 = n - n % 8;
    for (std::size_t i = 0; i < n8; i += 8)
        for (std::size_t k = 0; k < 8; ++k) acc[k] += term(v[i + k]);
    float s = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    for (std::size_t i = n8; i < n; ++i) s += term(v[i]);
    return s;
}

float abs_term(float w) { return std::fabs(w); }
float square_term(float w) { return w * w; }

}  // namespace

bool first_layer_keeps_input(const std::vector<Layer>& layers) {
    return !layers.empty() && (layers.front().layer_type == kDense || layers.front().layer_type == kDropout);
}

namespace {

// The output activation of each kind, applied to the last layer's output.
void apply_output(const CategoricalModel& m, Matrix& out) {
    if (m.output_type == kSoftmax) activation::softmax::forward(out);
}
void apply_output(const LinearModel&, Matrix&) {}  // the linear output is the identity

// Evaluation goes through the batch a block of rows at a time. Rows are independent, so the reports are those of
// one pass over the whole batch, but each block's copy, activations and outputs stay in cache instead of making
// several passes over memory the size of the batch.
std::size_t rows_per_block(const Rows& x) {
    constexpr std::size_t kBlockFloats = 256 * 1024;
    constexpr std::size_t kMinRows = 64;
    const std::size_t rows = std::max(kMinRows, kBlockFloats / std::max<std::size_t>(x.n_cols, 1));
    const std::size_t n_blocks = std::max<std::size_t>(1, (x.n_rows + rows - 1) / rows);
    return (x.n_rows + n_blocks - 1) / n_blocks;  // blocks of nearly equal size, no small tail
}

// per_block(first, outputs) sees the outputs of rows [first, first + outputs.n_rows). It runs at least once, so
// the shape checks of the layers fail before any line is written even for a batch without rows.
template <class Model, class PerBlock>
void forward_in_blocks(Model& m, const Rows& x, PerBlock per_block) {
    check_layers_fit(m.layers, x.n_cols, "val_x");
    const std::size_t block_rows = rows_per_block(x);
    const bool keeps_input = first_layer_keeps_input(m.layers);
    Matrix out;
    std::size_t first = 0;
    do {
        const std::size_t count = std::min(block_rows, x.n_rows - first);
        if (keeps_input) std::swap(out, m.layers.front().inputs);  // last block's copy: a buffer of the right size
        out.reshape_for_overwrite(count, x.n_cols);
        if (count > 0 && x.n_cols > 0) x.copy(first, count, out.values.data());
        for (Layer& l : m.layers) layer::forward(l, out, false);
        apply_output(m, out);
        per_block(first, out);
        first += count;
    } while (first < x.n_rows);
}

// Index of each row's largest element; strict, so ties and NaN keep the lower index. Selects instead of branches,
// since the winning column is as good as random; N > 0 fixes the column count at compile time.
template <std::size_t N>
void argmax_rows(const float* x, std::size_t rows, std::size_t n_cols, std::int32_t* out) {
    const std::size_t n = N ? N : n_cols;
    for (std::size_t i = 0; i < rows; ++i, x += n) {
        std::size_t best = 0;
        float best_value = x[0];
        for (std::size_t j = 1; j < n; ++j) {
            const bool better = x[j] > best_value;
            best = better ? j : best;
            best_value = better ? x[j] : best_value;
        }
        out[i] = static_cast<std::int32_t>(best);
    }
}

}  // namespace

void forward(CategoricalModel& m, const Matrix& x, bool training, Matrix& out) {
    forward_layers(m.layers, &x, training, out);
    apply_output(m, out);
}

void forward(LinearModel& m, const Matrix& x, bool training, Matrix& out) {
    forward_layers(m.layers, &x, training, out);
    apply_output(m, out);
}

void forward_stored(CategoricalModel& m, bool training, Matrix& out) {
    forward_layers(m.layers, nullptr, training, out);
    apply_output(m, out);
}

void forward_stored(LinearModel& m, bool training, Matrix& out) {
    forward_layers(m.layers, nullptr, training, out);
    apply_output(m, out);
}

void predict(std::string_view output_type, const Matrix& outputs, ClassVector& predicted) {
    predicted.clear();
    if (output_type != kSoftmax) return;
    predicted.assign(outputs.n_rows, 0);
    if (outputs.n_cols <= 1) return;
    const float* x = outputs.values.data();
    const std::size_t rows = outputs.n_rows, n_cols = outputs.n_cols;
    switch (n_cols) {
        case 2: return argmax_rows<2>(x, rows, n_cols, predicted.data());
        case 3: return argmax_rows<3>(x, rows, n_cols, predicted.data());
        case 4: return argmax_rows<4>(x, rows, n_cols, predicted.data());
        case 10: return argmax_rows<10>(x, rows, n_cols, predicted.data());
        default: return argmax_rows<0>(x, rows, n_cols, predicted.data());
    }
}

void predict(std::string_view output_type, const Matrix& outputs, Vector& predicted) {
    if (output_type == kLinear)
        activation::linear::predict(outputs, predicted);
    else
        predicted.clear();
}

// Each term is strength x sum, added only for a strength > 0 (false for NaN). The weight-L1 term follows the same
// rule as the other three, so the printed penalty matches the gradient the layers apply.
float regularization_loss(const std::vector<Layer>& layers) {
    float penalty = 0.0f;
    for (const Layer& l : layers) {
        if (l.weight_regularizer_l1 > 0.0f) penalty += l.weight_regularizer_l1 * sum_of(l.weights.values, abs_term);
        if (l.weight_regularizer_l2 > 0.0f) penalty += l.weight_regularizer_l2 * sum_of(l.weights.values, square_term);
        if (l.bias_regularizer_l1 > 0.0f) penalty += l.bias_regularizer_l1 * sum_of(l.biases, abs_term);
        if (l.bias_regularizer_l2 > 0.0f) penalty += l.bias_regularizer_l2 * sum_of(l.biases, square_term);
    }
    return penalty;
}

void test(CategoricalModel& m, const Rows& x, const ClassVector& y) {
    ClassVector predicted;
    std::string line;
    std::size_t n = 0;
    std::int64_t correct = 0;
    const BatchNames names{"val_x", "val_y", x.n_rows, m.layers.size()};
    forward_in_blocks(m, x, [&](std::size_t first, const Matrix& out) {
        predict(m.output_type, out, predicted);
        for (std::size_t i = 0; i < predicted.size(); ++i) {
            const std::size_t sample = first + i;
            // the lines of earlier samples are out already
            if (sample >= y.size()) [[unlikely]] fail_label_count(y.size(), x.n_rows, names);
            const std::int32_t truth = y[sample];
            if (truth < 0 || static_cast<std::size_t>(truth) >= out.n_cols) [[unlikely]]
                fail_class_index(sample, truth, out.n_cols, names);
            report::categorical_sample(line, truth, predicted[i], out.at(i, static_cast<std::size_t>(truth)) * 100.0f);
        }
        if (!predicted.empty()) correct += accuracy::categorical::count(predicted, std::span(y).subspan(first));
        n += predicted.size();
    });
    const float percent = m.acc_type == kCategorical ? accuracy::fraction(correct, n) * 100.0f : 0.0f;
    report::categorical_summary(line, percent);
}

void test(LinearModel& m, const Rows& x, const Vector& y) {
    Vector p;
    std::string line;
    std::size_t n = 0;
    std::int64_t correct = 0;
    float sum = 0.0f;
    const BatchNames names{"val_x", "val_y", x.n_rows, m.layers.size()};
    forward_in_blocks(m, x, [&](std::size_t first, const Matrix& out) {
        predict(m.output_type, out, p);
        for (std::size_t i = 0; i < p.size(); ++i) {
            const std::size_t sample = first + i;
            // the lines of earlier samples are out already
            if (sample >= y.size()) [[unlikely]] fail_label_count(y.size(), x.n_rows, names);
            const float error = std::fabs(y[sample] - p[i]);
            report::linear_sample(line, y[sample], p[i], error);
            sum += error * error;
        }
        if (!p.empty()) correct += accuracy::linear::count(p, std::span(y).subspan(first), m.acc_precision);
        n += p.size();
    });
    const float percent = accuracy::fraction(correct, n) * 100.0f;
    report::linear_summary(line, sum / static_cast<float>(n), percent);
}

}  // namespace wexo::model
