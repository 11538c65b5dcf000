// The categorical and linear accuracy measures.
#include "nn/accuracy.h"

#include <cmath>
#include <cstdint>
#include <string>

namespace wexo::accuracy {

float categorical::calculate(const ClassVector& predicted, const ClassVector& targets) {
    const std::size_t n = predicted.size();
    check_samples(targets.size(), n, "targets");
    std::int64_t count = 0;
    for (std::size_t k = 0; k < n; ++k) count += predicted[k] == targets[k];
    return static_cast<float>(count) / static_cast<float>(n);
}

float linear::calculate(const Vector& predictions, const Vector& targets, float tolerance, std::size_t denominator) {
    const std::size_t n = predictions.size();
    check_samples(targets.size(), n, "targets");
    std::int64_t count = 0;
    for (std::size_t k = 0; k < n; ++k) count += std::abs(predictions[k] - targets[k]) <= tolerance;
    return static_cast<float>(count) / static_cast<float>(denominator);
}

}  // namespace wexo::accuracy
