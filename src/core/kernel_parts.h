// What the hand-written product units share: the epilogue steps a kernel is built with, applied in registers, the
// strided view of an operand, and the row-scaling product that two units build between them (its variants are many
// and slow to compile, so they are split by step set to compile side by side).
#pragma once

#include <cstddef>

#include "core/kernels.h"
#include "core/relu.h"
#include "core/simd.h"

namespace wexo::kernels {

// The epilogue steps a kernel is built with: fixed at compile time, so that none costs a test per element.
// sums leaves c alone and also sums the rows that scaled_rows scales.
enum class Steps { none, bias, bias_relu, mask, sums };

template <Steps S>
[[gnu::always_inline]] inline simd::V8 epilogue(simd::V8 v, const Epilogue& f, std::size_t i, std::size_t j) {
    if constexpr (S == Steps::bias || S == Steps::bias_relu) v += simd::load(f.add_row + j);
    if constexpr (S == Steps::bias_relu) {
        simd::store(f.relu_inputs + i * f.ld + j, v);
        v = relu_of(v);
    }
    if constexpr (S == Steps::mask) v = relu_gradient(simd::load(f.relu_mask + i * f.mask_ld + j), v);
    return v;
}

template <Steps S>
[[gnu::always_inline]] inline float epilogue(float v, const Epilogue& f, std::size_t i, std::size_t j) {
    if constexpr (S == Steps::bias || S == Steps::bias_relu) v += f.add_row[j];
    if constexpr (S == Steps::bias_relu) {
        f.relu_inputs[i * f.ld + j] = v;
        v = relu_of(v);
    }
    if constexpr (S == Steps::mask) v = relu_gradient(f.relu_mask[i * f.mask_ld + j], v);
    return v;
}

// A row-major operand seen through strides: element (i, p) at data[i * row_step + p * col_step].
struct View {
    const float* data;
    std::size_t row_step;
    std::size_t col_step;
    float at(std::size_t i, std::size_t p) const { return data[i * row_step + p * col_step]; }
};

// c[i][:] = sum_p s(i, p) r[p][:] with the steps S fused, rows of r wide, m n k <= 2^18. Built in
// scaled_rows_forward.cpp (bias, bias_relu) and scaled_rows_gradients.cpp (none, sums, mask).
template <Steps S>
void scaled_rows(std::size_t m, std::size_t n, std::size_t k, View s, const float* r, std::size_t ldr, float* c,
                 std::size_t ldc, Epilogue f);

}  // namespace wexo::kernels
