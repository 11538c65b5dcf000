// The forward passes of both model kinds, their output activations, predictions, penalty and reports.
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

// The output activation of each kind, applied to the last layer's output.
void apply_output(const CategoricalModel& m, Matrix& out) {
    if (m.output_type == kSoftmax) activation::softmax::forward(out);
}
void apply_output(const LinearModel&, Matrix&) {}  // the linear output is the identity

// Only training passes see x; the rest see val_x.
template <class Model>
void forward_model(Model& m, const Matrix& x, bool training, Matrix& out) {
    check_layers_fit(m.layers, x.n_cols, training ? "x" : "val_x");
    network::forward(m.layers, x, training, out);
    apply_output(m, out);
}

template <class Model>
void forward_model(Model& m, network::TrainingBatch& batch, Matrix& out) {
    check_layers_fit(m.layers, network::inputs(batch, m.layers).n_cols, "x");
    network::forward(m.layers, batch, out);
    apply_output(m, out);
}

template <class Model>
void forward_model(Model& m, network::TrainingBatch& batch, const Matrix& val_x, Matrix& out) {
    check_layers_fit(m.layers, val_x.n_cols, "val_x");
    network::forward(m.layers, batch, val_x, false, out);
    apply_output(m, out);
}

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
    Matrix out;
    std::size_t first = 0;
    do {
        const std::size_t count = std::min(block_rows, x.n_rows - first);
        network::reuse_input_buffer(m.layers, out);  // the last block's copy: a buffer of the right size
        out.reshape_for_overwrite(count, x.n_cols);
        if (count > 0 && x.n_cols > 0) x.copy(first, count, out.values.data());
        network::forward_in_place(m.layers, out, false);
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

void forward(CategoricalModel& m, const Matrix& x, bool training, Matrix& out) { forward_model(m, x, training, out); }
void forward(LinearModel& m, const Matrix& x, bool training, Matrix& out) { forward_model(m, x, training, out); }

void forward(CategoricalModel& m, network::TrainingBatch& batch, Matrix& out) { forward_model(m, batch, out); }
void forward(LinearModel& m, network::TrainingBatch& batch, Matrix& out) { forward_model(m, batch, out); }

void forward_validation(CategoricalModel& m, network::TrainingBatch& batch, const Matrix& val_x, Matrix& out) {
    forward_model(m, batch, val_x, out);
}
void forward_validation(LinearModel& m, network::TrainingBatch& batch, const Matrix& val_x, Matrix& out) {
    forward_model(m, batch, val_x, out);
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
