// The row-scaling product's definition, for the two units that build its variants: tiles of rows and vectors of
// columns accumulated in registers over all of k, or for k <= 3 the whole of r kept in registers.
#pragma once

#include <algorithm>
#include <cstddef>

#include "core/kernel_parts.h"

namespace wexo::kernels {

namespace {

using simd::kLanes;
using simd::load;
using simd::load_as;
using simd::store;
using simd::store_as;
using simd::V16;
using simd::V8;

// Rows [i, i + R), columns [j, j + T vectors) of scaled_rows, accumulated in registers over all of k: r is read once
// per group of R rows, however long k is. Sixteen-float vectors (V16) only without an epilogue: each output's sum is
// the same chain whatever the width.
template <Steps S, std::size_t R, std::size_t T, class V = V8>
[[gnu::always_inline]] inline void tile(std::size_t i, std::size_t j, std::size_t k, View s, const float* r,
                                        std::size_t ldr, float* c, std::size_t ldc, const Epilogue& f) {
    constexpr std::size_t L = sizeof(V) / sizeof(float);
    static_assert(L == kLanes || S == Steps::none || S == Steps::sums);
    V acc[R][T] = {};
    V sum[S == Steps::sums ? T : 1] = {};
    for (std::size_t p = 0; p < k; ++p) {
        const float* rp = r + p * ldr + j;
        V rv[T];
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q) rv[q] = load_as<V>(rp + q * L);
        if constexpr (S == Steps::sums)  // plain adds: they run beside the multiply-adds
#pragma GCC unroll 8
            for (std::size_t q = 0; q < T; ++q) sum[q] += rv[q];
#pragma GCC unroll 3
        for (std::size_t a = 0; a < R; ++a) {
            const float sv = s.at(i + a, p);
#pragma GCC unroll 8
            for (std::size_t q = 0; q < T; ++q) acc[a][q] += sv * rv[q];
        }
    }
    if constexpr (S == Steps::sums)
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q) store_as(f.b_column_sums + j + q * L, sum[q]);
#pragma GCC unroll 3
    for (std::size_t a = 0; a < R; ++a)
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q) {
            if constexpr (L == kLanes)
                store(c + (i + a) * ldc + j + q * L, epilogue<S>(acc[a][q], f, i + a, j + q * L));
            else
                store_as(c + (i + a) * ldc + j + q * L, acc[a][q]);
        }
}

// At most 12 accumulators, leaving registers for the row pieces and the scalar; the sums count as a row.
constexpr std::size_t max_chunks(std::size_t rows, Steps s = Steps::none) {
    if (s == Steps::sums) ++rows;
    return rows == 1 ? 8 : 12 / rows;
}

// Columns from 0 in sixteen-float tiles, twice the columns per pass over r in up to 24 of AVX-512's 32 registers;
// returns where it stopped. Built for AVX-512 alone and called only there.
template <Steps S, std::size_t R>
WEXO_AVX512 std::size_t wide_tiles(std::size_t i, std::size_t n, std::size_t k, View s, const float* r,
                                   std::size_t ldr, float* c, std::size_t ldc, const Epilogue& f) {
    std::size_t j = 0;
    while (j + 2 * kLanes <= n) {
        const std::size_t chunks = std::min<std::size_t>(4, (n - j) / (2 * kLanes));
        switch (chunks) {
            case 1: tile<S, R, 1, V16>(i, j, k, s, r, ldr, c, ldc, f); break;
            case 2: tile<S, R, 2, V16>(i, j, k, s, r, ldr, c, ldc, f); break;
            case 3: tile<S, R, 3, V16>(i, j, k, s, r, ldr, c, ldc, f); break;
            default: tile<S, R, 4, V16>(i, j, k, s, r, ldr, c, ldc, f); break;
        }
        j += chunks * 2 * kLanes;
    }
    return j;
}

template <Steps S, std::size_t R>
[[gnu::always_inline]] inline void tile_row_group(std::size_t i, std::size_t n, std::size_t k, View s,
                                                  const float* r, std::size_t ldr, float* c, std::size_t ldc,
                                                  const Epilogue& f) {
    std::size_t j = 0;
    if constexpr (S == Steps::none || S == Steps::sums)
        if (simd::has_avx512()) j = wide_tiles<S, R>(i, n, k, s, r, ldr, c, ldc, f);
    while (j + kLanes <= n) {
        const std::size_t chunks = std::min(max_chunks(R, S), (n - j) / kLanes);
        switch (chunks) {
#define WEXO_TILE(T)                                        \
    case T:                                                 \
        if constexpr (T <= max_chunks(R, S)) tile<S, R, T>(i, j, k, s, r, ldr, c, ldc, f); \
        break;
            WEXO_TILE(1) WEXO_TILE(2) WEXO_TILE(3) WEXO_TILE(4) WEXO_TILE(5) WEXO_TILE(6) WEXO_TILE(7) WEXO_TILE(8)
#undef WEXO_TILE
            default: break;
        }
        j += chunks * kLanes;
    }
    for (; j < n; ++j) {
        if constexpr (S == Steps::sums) {
            float sum = 0.0f;
            for (std::size_t p = 0; p < k; ++p) sum += r[p * ldr + j];
            f.b_column_sums[j] = sum;
        }
        for (std::size_t a = 0; a < R; ++a) {
            float acc = 0.0f;
            for (std::size_t p = 0; p < k; ++p) acc += s.at(i + a, p) * r[p * ldr + j];
            c[(i + a) * ldc + j] = epilogue<S>(acc, f, i + a, j);
        }
    }
}

// Columns [j, j + 8T) of scaled_rows for all m rows when k = K is tiny: the K x 8T piece of r is loaded once
// and kept in registers (with sixteen of them, part of it is read from cache as an operand instead), so each
// row costs K scalars, K * T multiply-adds and its stores.
template <Steps S, std::size_t K, std::size_t T>
[[gnu::always_inline]] inline void few_terms(std::size_t m, std::size_t j, View s, const float* r, std::size_t ldr,
                                             float* c, std::size_t ldc, const Epilogue& f) {
    V8 rv[K][T];
#pragma GCC unroll 3
    for (std::size_t p = 0; p < K; ++p)
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q) rv[p][q] = load(r + p * ldr + j + q * kLanes);
    for (std::size_t i = 0; i < m; ++i) {
        V8 acc[T] = {};
#pragma GCC unroll 3
        for (std::size_t p = 0; p < K; ++p) {
            const float sv = s.at(i, p);
#pragma GCC unroll 8
            for (std::size_t q = 0; q < T; ++q) acc[q] += sv * rv[p][q];
        }
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q)
            store(c + i * ldc + j + q * kLanes, epilogue<S>(acc[q], f, i, j + q * kLanes));
    }
}

}  // namespace

// c[i][:] = sum_p s(i, p) r[p][:], rows of r wide, m n k <= 2^18; 2.5x at (300,2)x(2,64), 3.0x k = 3, 1.5x k = 16.
template <Steps S>
WEXO_KERNEL void scaled_rows(std::size_t m, std::size_t n, std::size_t k, View s, const float* r, std::size_t ldr,
                             float* c, std::size_t ldc, Epilogue f) {
    // Steps::sums (r dense, m > 0): only the pass that reads r, the first group of rows, sums r's columns (1.12x
    // at (2,300)x(300,64); 1.24x for the c^T form, 64 x 3 with k = 300); they leave c alone
    constexpr Steps later = S == Steps::sums ? Steps::none : S;
    if (k <= 3 && n % kLanes == 0) {  // an outer-product-like step: r stays in registers for every row
        if constexpr (S == Steps::sums) column_sums(r, k, n, f.b_column_sums);
        for (std::size_t j = 0; j < n;) {
            const std::size_t chunks = std::min<std::size_t>(8, (n - j) / kLanes);
            switch (k * 8 + chunks - 1) {
#define WEXO_FEW(K, T) \
    case K * 8 + T - 1: few_terms<later, K, T>(m, j, s, r, ldr, c, ldc, f); break;
#define WEXO_FEW_ROW(K) \
    WEXO_FEW(K, 1) WEXO_FEW(K, 2) WEXO_FEW(K, 3) WEXO_FEW(K, 4) WEXO_FEW(K, 5) WEXO_FEW(K, 6) WEXO_FEW(K, 7) WEXO_FEW(K, 8)
                WEXO_FEW_ROW(1) WEXO_FEW_ROW(2) WEXO_FEW_ROW(3)
#undef WEXO_FEW_ROW
#undef WEXO_FEW
                default: break;
            }
            j += chunks * kLanes;
        }
        return;
    }
    // the first group of rows (at most three) takes the sums
    const std::size_t first = std::min<std::size_t>(m, 3);
    if (first == 3) tile_row_group<S, 3>(0, n, k, s, r, ldr, c, ldc, f);
    if (first == 2) tile_row_group<S, 2>(0, n, k, s, r, ldr, c, ldc, f);
    if (first == 1) tile_row_group<S, 1>(0, n, k, s, r, ldr, c, ldc, f);
    std::size_t i = first;
    for (; i + 3 <= m; i += 3) tile_row_group<later, 3>(i, n, k, s, r, ldr, c, ldc, f);
    if (m - i == 2) tile_row_group<later, 2>(i, n, k, s, r, ldr, c, ldc, f);
    if (m - i == 1) tile_row_group<later, 1>(i, n, k, s, r, ldr, c, ldc, f);
}

}  // namespace wexo::kernels
