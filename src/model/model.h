// Forward pass, predictions, penalty and evaluation report of both model kinds.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "model/records.h"
#include "nn/network.h"

namespace wexo::model {

// x: (B, C) -> out: the last layer's output, softmaxed when output_type is "softmax".
// The layers keep what their backward passes need.
void forward(CategoricalModel& m, const Matrix& x, bool training, Matrix& out);
void forward(LinearModel& m, const Matrix& x, bool training, Matrix& out);

// A training pass over the batch a training call holds, and a pass over val_x (dropout off) between training passes.
void forward(CategoricalModel& m, network::TrainingBatch& batch, Matrix& out);
void forward(LinearModel& m, network::TrainingBatch& batch, Matrix& out);
void forward_validation(CategoricalModel& m, network::TrainingBatch& batch, const Matrix& val_x, Matrix& out);
void forward_validation(LinearModel& m, network::TrainingBatch& batch, const Matrix& val_x, Matrix& out);

// One class per output row (argmax, ties and NaN to the lowest index); empty unless output_type is "softmax".
void predict(std::string_view output_type, const Matrix& outputs, ClassVector& predicted);
// One value per output row (its first column); empty unless output_type is "linear".
void predict(std::string_view output_type, const Matrix& outputs, Vector& predicted);

// Sum of the layers' L1/L2 penalties on their current parameters.
float regularization_loss(const std::vector<Layer>& layers);

// The rows of an evaluation batch, handed out a block at a time so that a large batch is never copied whole.
struct Rows {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    // Writes rows [first, first + count) in order to out: count * n_cols floats. Only called with
    // first + count <= n_rows and count, n_cols > 0.
    std::function<void(std::size_t first, std::size_t count, float* out)> copy;
};

// Evaluation reports: one line per sample, then the summary line, on fd 1.
void test(CategoricalModel& m, const Rows& x, const ClassVector& y);
void test(LinearModel& m, const Rows& x, const Vector& y);

}  // namespace wexo::model
