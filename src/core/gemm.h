// The single-precision matrix product every dense step goes through.
#pragma once

#include <cstddef>

#include "core/matrix.h"

namespace wexo {

// What a product does to each of its rows before storing it, in this order: c[i][j] += add_row[j]; then, with
// relu_inputs, relu_inputs[i][j] <- c[i][j] and c[i][j] <- relu(c[i][j]); then, with relu_mask, c[i][j] <- 0
// where relu_mask[i][j] <= 0 (the relu derivative; NaN passes). Fused, these cost no extra pass.
// b_column_sums (b not transposed) also receives the sums down the k rows of b, from the pass that reads b
// for the product where the kernel allows it.
struct Epilogue {
    const float* add_row = nullptr;      // n values
    Matrix* relu_inputs = nullptr;       // reshaped to (m, n)
    const Matrix* relu_mask = nullptr;   // at least (m, n); positions matched by index
    float* b_column_sums = nullptr;      // n values
};

// c <- op(a) * op(b), op transposing when the flag is set: op(a): (m, k), op(b): (k, n) -> c: (m, n).
// Checks the shapes and that every dimension fits the BLAS integer; reshapes c (keeping its capacity).
void gemm(const Matrix& a, bool transpose_a, const Matrix& b, bool transpose_b, Matrix& c, Epilogue epilogue = {});

// dw <- x^T h and column_sums <- the column sums of h, where h = g w^T masked by the relu derivative of relu_inputs:
// to the bit what gemm(g, false, w, true, h, {.relu_mask = &relu_inputs}) and then gemm(x, true, h, false, dw,
// {.b_column_sums = column_sums}) give, without building h. Only where every shape fits and both products are small
// enough for the kernels whose bits these are (gemm_masked_chain_fits).
bool gemm_masked_chain_fits(const Matrix& g, const Matrix& w, const Matrix& relu_inputs, const Matrix& x);
void gemm_masked_chain(const Matrix& g, const Matrix& w, const Matrix& relu_inputs, const Matrix& x, Matrix& dw,
                       Vector& column_sums);

// A dense layer with relu and the dense layer above it in one pass: relu_inputs <- x w + b, h <- its relu, and
// out <- h w2 + b2 (with relu2_inputs, those values, and out their relu): to the bit what the two gemm calls with
// those epilogues give, without reading h back. Only where every shape fits (b and b2 at least as long as the
// columns) and both products are small enough for the kernels whose bits these are (gemm_dense_pair_fits).
bool gemm_dense_pair_fits(const Matrix& x, const Matrix& w, const Vector& b, const Matrix& w2, const Vector& b2);
void gemm_dense_pair(const Matrix& x, const Matrix& w, const Vector& b, Matrix& relu_inputs, Matrix& h,
                     const Matrix& w2, const Vector& b2, Matrix* relu2_inputs, Matrix& out);

}  // namespace wexo
