// The two accuracy measures, as fractions.
#pragma once

#include <cstddef>

#include "core/matrix.h"

namespace wexo::accuracy {

namespace categorical {
// count(P[k] == Y[k]) / n with n = |P|; Y must hold at least n entries; n = 0 -> NaN
float calculate(const ClassVector& predicted, const ClassVector& targets);
}  // namespace categorical

namespace linear {
// count(|p[k] - y[k]| <= tolerance) / denominator, y must hold at least |p| entries
float calculate(const Vector& predictions, const Vector& targets, float tolerance, std::size_t denominator);
}  // namespace linear

}  // namespace wexo::accuracy
