// The hand-written single-precision products for operands that fit in cache. At those sizes OpenBLAS's fixed costs
// (zeroing c, packing, the thread hand-off) outweigh the arithmetic, and the epilogue can work on registers
// instead of making another pass over c. core/gemm.cpp calls them after checking the shapes.
#pragma once

#include <cstddef>

#include "core/matrix.h"

namespace wexo::kernels {

// The product's epilogue (wexo::Epilogue) as raw rows, in the same order of steps.
struct Epilogue {
    const float* add_row = nullptr;    // n values
    float* relu_inputs = nullptr;      // row i at i * ld (dense, like c)
    std::size_t ld = 0;
    const float* relu_mask = nullptr;  // row i at i * mask_ld
    std::size_t mask_ld = 0;
    float* b_column_sums = nullptr;    // n values: the sums down the k rows of b
};

// op(a) (m, k) x op(b) (k, n) into c (m, n, dense), m, n, k > 0, when the product is small; false leaves it to
// OpenBLAS. The epilogue's steps are applied on the way unless `deferred` comes back true, and b's column sums
// only where `summed` comes back true.
bool small_gemm(const Matrix& a, bool ta, const Matrix& b, bool tb, std::size_t m, std::size_t n, std::size_t k,
                float* c, const Epilogue& f, bool& deferred, bool& summed);

// The epilogue's steps (not the sums) as a pass of their own over a finished c (m, n).
void apply_epilogue(std::size_t m, std::size_t n, float* c, const Epilogue& f);

// sums[j] = sum over the rows of g[i][j], g dense (rows, n); the order of the additions is free.
void column_sums(const float* g, std::size_t rows, std::size_t n, float* sums);

// x^T h and the column sums of h, for h = g w^T masked by the relu derivative of z, without storing h. Shapes:
// g (m, k), w (n, k), z and h (m, n), x (m, r), dw (r, n) dense, sums n values; rows at the given strides.
struct MaskedChain {
    std::size_t m, n, k, r;
    const float* g;
    std::size_t ldg;
    std::size_t ldw;
    const float* z;
    std::size_t ldz;
    const float* x;
    std::size_t ldx;
    float* dw;
    float* sums;
};

// Whether small_gemm would run both products of a chain (h, then x^T h with the sums) in the kernels that
// masked_chain shares its bits with.
bool masked_chain_fits(std::size_t m, std::size_t n, std::size_t k, std::size_t r);

// The chain's dw and sums, only where masked_chain_fits: the same bits as the two products.
void masked_chain(const MaskedChain& c, const float* w);

// A dense layer with relu, x (m, k) w (k, n) + b, and the dense layer above it, (m, n) w2 (n, n2) + b2: z gets the
// first's pre-activation and h its relu (both (m, n) dense), out (m, n2) the second's output, z2 its pre-activation
// when it has relu (nullptr otherwise).
struct DensePair {
    std::size_t m, k, n, n2;
    const float* x;
    std::size_t ldx;
    const float* w;
    std::size_t ldw;
    const float* b;
    std::size_t ldw2;
    const float* b2;
    float* z;
    float* h;
    float* z2;
    float* out;
};

// Whether small_gemm would build the two layers' products in the kernels whose bits dense_pair gives: k <= 3
// inputs, n a multiple of 16 up to 64, at most 4 outputs above; with AVX-512 only.
bool dense_pair_fits(std::size_t m, std::size_t k, std::size_t n, std::size_t n2);

// Both layers in one pass over the rows, only where dense_pair_fits: the bits of the two products with their
// epilogues.
void dense_pair(const DensePair& d, const float* w2);

}  // namespace wexo::kernels
