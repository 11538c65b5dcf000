// The C library's single-precision exp and log over whole arrays, with exactly its results.
#pragma once

#include <cstddef>

namespace wexo::libm {

// v[i] <- expf(v[i]) for i < n, at most max_lanes at a time (the widest path by default; tests pick narrower ones).
void exp_in_place(float* v, std::size_t n, int max_lanes = 8);

// v[i] <- logf(v[i]) for i < n, likewise.
void log_in_place(float* v, std::size_t n, int max_lanes = 8);

// The widest path in use: 8 (AVX-512) or 4 (AVX2 and FMA) where the C library agrees with the path on inputs where
// rounding with and without fused multiply-adds differs; otherwise 1, and every value comes from expf and logf.
int lanes();

}  // namespace wexo::libm
