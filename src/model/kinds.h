// What the training loop needs to know about each model kind: target types, predictions, loss and accuracy.
#pragma once

#include "model/model.h"
#include "nn/accuracy.h"
#include "nn/loss.h"

namespace wexo::model {

struct CategoricalKind {
    using Model = CategoricalModel;
    using Targets = ClassVector;
    using Predictions = ClassVector;

    static void predict(const Model& m, const Matrix& outputs, Predictions& p) { model::predict(m.output_type, outputs, p); }
    static float data_loss(const Model& m, const Matrix& outputs, const Predictions&, const Targets& y) {
        return m.loss_type == kCategoricalCrossentropy ? loss::categorical_crossentropy::calculate(outputs, y) : 0.0f;
    }
    static float accuracy(const Model& m, const Predictions& p, const Targets& y) {
        return m.acc_type == kCategorical ? accuracy::categorical::calculate(p, y) : 0.0f;
    }
    // covers the output softmax too, whatever loss_type says
    static void loss_gradient(const Matrix& outputs, const Targets& y, Matrix& grad) {
        loss::categorical_crossentropy::backward(outputs, y, grad);
    }
};

struct LinearKind {
    using Model = LinearModel;
    using Targets = Vector;
    using Predictions = Vector;

    static void predict(const Model& m, const Matrix& outputs, Predictions& p) { model::predict(m.output_type, outputs, p); }
    static float data_loss(const Model& m, const Matrix&, const Predictions& p, const Targets& y) {
        return m.loss_type == kMeanSquaredError ? loss::mean_squared_error::calculate(p, y) : 0.0f;
    }
    // the training loop divides by the number of targets, so surplus targets count as wrong
    static float accuracy(const Model& m, const Predictions& p, const Targets& y) {
        return m.acc_type == kLinear ? accuracy::linear::calculate(p, y, m.acc_precision, y.size()) : 0.0f;
    }
    static void loss_gradient(const Matrix& outputs, const Targets& y, Matrix& grad) {
        loss::mean_squared_error::backward(outputs, y, grad);
    }
};

}  // namespace wexo::model
