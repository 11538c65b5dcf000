// The C library's single-precision exp and log over whole arrays, with exactly its results.
#pragma once

#include <cstddef>

namespace wexo::libm {

// v[i] <- expf(v[i]) for i < n.
void exp_in_place(float* v, std::size_t n);

// v[i] <- logf(v[i]) for i < n.
void log_in_place(float* v, std::size_t n);

// Whether the vector path is in use: the processor has AVX2 and FMA, and the C library agrees with it on inputs
// where rounding with and without fused multiply-adds differs. Otherwise every value comes from expf and logf.
bool vectorised();

}  // namespace wexo::libm
