// The full-batch training loop shared by both model kinds.
#pragma once

#include <cstdint>

#include "model/records.h"
#include "optimizer/optimizer.h"

namespace wexo::model {

// A training call's start: init every layer of the working copy, current rate <- base rate.
void prepare(std::vector<Layer>& layers, DynamicOptimizer& opt);

// num_epochs div print_freq; print_freq 0 aborts with "attempt to divide by zero".
std::uint16_t print_interval(std::uint16_t num_epochs, std::uint16_t print_freq);

// val_x of shape (0, 0): no validation pass. x is consumed: pass the call's own copy by move, and training keeps
// it as the first layer's stored batch instead of copying it again.
void train(CategoricalModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
           Matrix x, const ClassVector& y, const Matrix& val_x, const ClassVector& val_y);
void train(LinearModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
           Matrix x, const Vector& y, const Matrix& val_x, const Vector& val_y);

}  // namespace wexo::model
