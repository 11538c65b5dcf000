// What the training loop needs to know about each model kind: target types, predictions, loss and accuracy.
#pragma once

#include "model/fit.h"
#include "model/model.h"
#include "nn/accuracy.h"
#include "nn/loss.h"

namespace wexo::model {

// Each function checks y against what the step reads before the step runs, so that an abort names the arrays
// as the user passed them (names); the steps' own checks stay as the last line of defence.
struct CategoricalKind {
    using Model = CategoricalModel;
    using Targets = ClassVector;
    using Predictions = ClassVector;

    static void predict(const Model& m, const Matrix& outputs, Predictions& p) { model::predict(m.output_type, outputs, p); }
    static float data_loss(const Model& m, const Matrix& outputs, const Predictions&, const Targets& y,
                           const BatchNames& names) {
        if (m.loss_type != kCategoricalCrossentropy) return 0.0f;
        check_class_labels(y, outputs.n_rows, outputs.n_cols, names);
        return loss::categorical_crossentropy::calculate(outputs, y);
    }
    static float accuracy(const Model& m, const Predictions& p, const Targets& y, const BatchNames& names) {
        if (m.acc_type != kCategorical) return 0.0f;
        if (y.size() < p.size()) [[unlikely]] fail_label_count(y.size(), p.size(), names);
        return accuracy::categorical::calculate(p, y);
    }
    // covers the output softmax too, whatever loss_type says
    static void loss_gradient(const Matrix& outputs, const Targets& y, Matrix& grad, const BatchNames& names) {
        check_class_labels(y, outputs.n_rows, outputs.n_cols, names);
        loss::categorical_crossentropy::backward(outputs, y, grad);
    }
};

struct LinearKind {
    using Model = LinearModel;
    using Targets = Vector;
    using Predictions = Vector;

    static void predict(const Model& m, const Matrix& outputs, Predictions& p) { model::predict(m.output_type, outputs, p); }
    static float data_loss(const Model& m, const Matrix& outputs, const Predictions& p, const Targets& y,
                           const BatchNames& names) {
        if (m.loss_type != kMeanSquaredError) return 0.0f;
        if (p.empty()) [[unlikely]] fail_no_predictions(m, outputs.n_rows, names);
        if (y.size() < p.size()) [[unlikely]] fail_label_count(y.size(), p.size(), names);
        return loss::mean_squared_error::calculate(p, y);
    }
    // the training loop divides by the number of targets, so surplus targets count as wrong
    static float accuracy(const Model& m, const Predictions& p, const Targets& y, const BatchNames& names) {
        if (m.acc_type != kLinear) return 0.0f;
        if (y.size() < p.size()) [[unlikely]] fail_label_count(y.size(), p.size(), names);
        return accuracy::linear::calculate(p, y, m.acc_precision, y.size());
    }
    static void loss_gradient(const Matrix& outputs, const Targets& y, Matrix& grad, const BatchNames& names) {
        if (y.size() < outputs.n_rows) [[unlikely]] fail_label_count(y.size(), outputs.n_rows, names);
        loss::mean_squared_error::backward(outputs, y, grad);
    }
};

}  // namespace wexo::model
