// The categorical and linear accuracy measures.
#include "nn/accuracy.h"

#include <cmath>

namespace wexo::accuracy {

std::int64_t categorical::count(std::span<const std::int32_t> predicted, std::span<const std::int32_t> targets) {
    const std::size_t n = predicted.size();
    check_samples(targets.size(), n, "targets");
    std::int64_t correct = 0;
    for (std::size_t k = 0; k < n; ++k) correct += predicted[k] == targets[k];
    return correct;
}

float categorical::calculate(const ClassVector& predicted, const ClassVector& targets) {
    return fraction(count(predicted, targets), predicted.size());
}

std::int64_t linear::count(std::span<const float> predictions, std::span<const float> targets, float tolerance) {
    const std::size_t n = predictions.size();
    check_samples(targets.size(), n, "targets");
    std::int64_t correct = 0;
    for (std::size_t k = 0; k < n; ++k) correct += std::abs(predictions[k] - targets[k]) <= tolerance;
    return correct;
}

float linear::calculate(const Vector& predictions, const Vector& targets, float tolerance, std::size_t denominator) {
    return fraction(count(predictions, targets, tolerance), denominator);
}

}  // namespace wexo::accuracy
