// A training call: its start (layer init, learning rate, print interval, the copies) and its epoch loop.
#pragma once

#include <cstdint>
#include <functional>

#include "model/records.h"
#include "optimizer/optimizer.h"

namespace wexo::model {

// The arrays of a training call as its caller holds them; each function returns the call's own copy of one.
template <class Targets>
struct TrainingArrays {
    std::function<Matrix()> x;
    std::function<Targets()> y;
    std::function<Matrix()> val_x;  // shape (0, 0): no validation pass
    std::function<Targets()> val_y;
};

// A whole training call on the working copies m and opt: init every layer, first layer first; current rate <- base
// rate; print interval <- num_epochs div print_freq (print_freq 0 aborts with "attempt to divide by zero", before
// any copy); the copies of x, y, val_x and val_y, in that order; then the epochs.
void train(CategoricalModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_freq,
           const TrainingArrays<ClassVector>& arrays);
void train(LinearModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_freq,
           const TrainingArrays<Vector>& arrays);

// The epochs of a training call on layers and optimizer as the call's start leaves them. val_x of shape (0, 0): no
// validation pass. x is consumed: training keeps it as the first layer's stored batch instead of copying it again.
void run_epochs(CategoricalModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
                Matrix x, const ClassVector& y, const Matrix& val_x, const ClassVector& val_y);
void run_epochs(LinearModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
                Matrix x, const Vector& y, const Matrix& val_x, const Vector& val_y);

}  // namespace wexo::model
