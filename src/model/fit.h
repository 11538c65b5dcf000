// Whether the arrays a call was given fit the model, with aborts that name them as the user knows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "model/records.h"

namespace wexo::model {

// A batch and its labels as the user passed them: x and y to training, val_x and val_y to validation and
// evaluation.
struct BatchNames {
    std::string_view x;
    std::string_view y;
    std::size_t n_rows;    // rows of x
    std::size_t n_layers;  // of the model: without layers, its output is x itself
};

// Aborts, before a forward pass, unless a batch of n_cols columns fits every layer in turn: each dense layer
// takes as many inputs as its weights have rows and holds a bias per weight column. The pass itself would stop
// at the same layer; this names what does not fit ("x has 3 columns, but layer 1 (dense) takes 2 inputs").
void check_layers_fit(const std::vector<Layer>& layers, std::size_t n_cols, std::string_view x_name);

// "y has 10 entries for the 12 rows of x": n_labels labels where the model's output has n_out_rows rows.
[[noreturn]] void fail_label_count(std::size_t n_labels, std::size_t n_out_rows, const BatchNames& names);

// Aborts unless y[i] is below n_cols for each of the first min(y.size(), n_out_rows) labels, and unless y has
// no more labels than the output has rows: what the categorical loss and its gradient need.
void check_class_labels(const ClassVector& y, std::size_t n_out_rows, std::size_t n_cols, const BatchNames& names);

// "val_y[3] = 5 is not a class index of the model's 3 output columns"
[[noreturn]] void fail_class_index(std::size_t i, std::int32_t label, std::size_t n_cols, const BatchNames& names);

// The mean squared error of no predictions: output_type is not "linear", or the output (n_out_rows) has no rows.
[[noreturn]] void fail_no_predictions(const LinearModel& m, std::size_t n_out_rows, const BatchNames& names);

}  // namespace wexo::model
