// The two accuracy measures, as fractions, and the counts behind them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/matrix.h"

namespace wexo::accuracy {

// count / denominator in float; a zero denominator gives NaN
inline float fraction(std::int64_t count, std::size_t denominator) {
    return static_cast<float>(count) / static_cast<float>(denominator);
}

namespace categorical {
// count(P[k] == Y[k]) over the predictions; Y must hold at least |P| entries
std::int64_t count(std::span<const std::int32_t> predicted, std::span<const std::int32_t> targets);
// count / n with n = |P|; n = 0 -> NaN
float calculate(const ClassVector& predicted, const ClassVector& targets);
}  // namespace categorical

namespace linear {
// count(|p[k] - y[k]| <= tolerance) over the predictions; y must hold at least |p| entries
std::int64_t count(std::span<const float> predictions, std::span<const float> targets, float tolerance);
// count / denominator
float calculate(const Vector& predictions, const Vector& targets, float tolerance, std::size_t denominator);
}  // namespace linear

}  // namespace wexo::accuracy
