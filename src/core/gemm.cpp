// The only unit that talks to OpenBLAS. Products small enough to live in cache run in kernels of our own:
// at those sizes OpenBLAS's fixed costs (zeroing c, packing, the thread hand-off) outweigh the arithmetic,
// and the epilogue can work on registers instead of making another pass over c.
#include "core/gemm.h"

#include <cblas.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/blas_threads.h"
#include "core/relu.h"
#include "core/simd.h"

namespace wexo {

namespace {

blasint blas_dim(std::size_t n) {
    WEXO_CHECK(n <= static_cast<std::size_t>(std::numeric_limits<blasint>::max()),
               "matrix dimension " + std::to_string(n) + " exceeds the BLAS integer range");
    return static_cast<blasint>(n);
}

using simd::kLanes;
using simd::load;
using simd::store;
using simd::V8;

// The epilogue as the kernels see it: row i of relu_inputs starts at i * ld (dense, like c).
struct Finish {
    const float* add_row = nullptr;
    float* relu_inputs = nullptr;
    std::size_t ld = 0;
    const float* relu_mask = nullptr;  // row i at i * mask_ld
    std::size_t mask_ld = 0;
    float* r_sums = nullptr;  // column sums of the scaled rows (b)
};

// The epilogue steps a kernel is built with: fixed at compile time, so that none costs a test per element.
// sums leaves c alone and also sums the rows that scaled_rows scales.
enum class Steps { none, bias, bias_relu, mask, sums };

template <Steps S>
[[gnu::always_inline]] inline V8 finish(V8 v, const Finish& f, std::size_t i, std::size_t j) {
    if constexpr (S == Steps::bias || S == Steps::bias_relu) v += load(f.add_row + j);
    if constexpr (S == Steps::bias_relu) {
        store(f.relu_inputs + i * f.ld + j, v);
        v = v < 0.0f ? V8{} : v;  // relu_of, lane by lane
    }
    if constexpr (S == Steps::mask) v = load(f.relu_mask + i * f.mask_ld + j) <= 0.0f ? V8{} : v;
    return v;
}

template <Steps S>
[[gnu::always_inline]] inline float finish(float v, const Finish& f, std::size_t i, std::size_t j) {
    if constexpr (S == Steps::bias || S == Steps::bias_relu) v += f.add_row[j];
    if constexpr (S == Steps::bias_relu) {
        f.relu_inputs[i * f.ld + j] = v;
        v = relu_of(v);
    }
    if constexpr (S == Steps::mask) v = f.relu_mask[i * f.mask_ld + j] <= 0.0f ? 0.0f : v;
    return v;
}

// Columns [j, j + 8T) of column_sums, in registers down all the rows.
template <std::size_t T>
[[gnu::always_inline]] inline void column_piece(const float* g, std::size_t rows, std::size_t n, std::size_t j,
                                                float* sums) {
    V8 acc[T] = {};
    for (std::size_t i = 0; i < rows; ++i)
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q) acc[q] += load(g + i * n + j + q * kLanes);
#pragma GCC unroll 8
    for (std::size_t q = 0; q < T; ++q) store(sums + j + q * kLanes, acc[q]);
}

// Fewer columns than a vector (N < 8): eight rows are N whole vectors, and lane t of vector q belongs to column
// (8q + t) mod N.
template <std::size_t N>
[[gnu::always_inline]] inline void narrow_column_sums(const float* g, std::size_t rows, float* sums) {
    V8 acc[N] = {};
    std::size_t i = 0;
    for (; i + kLanes <= rows; i += kLanes)
#pragma GCC unroll 8
        for (std::size_t q = 0; q < N; ++q) acc[q] += load(g + i * N + q * kLanes);
    float total[N] = {};
    for (std::size_t q = 0; q < N; ++q)
        for (std::size_t t = 0; t < kLanes; ++t) total[(q * kLanes + t) % N] += acc[q][t];
    for (; i < rows; ++i)
        for (std::size_t j = 0; j < N; ++j) total[j] += g[i * N + j];
    for (std::size_t j = 0; j < N; ++j) sums[j] = total[j];
}

// sums[j] = sum over the rows of g[i][j], g dense (rows, n); the order of the additions is free. The fused
// kernel below adds in the same order (row by row, one sum per column), so both give the same bits.
WEXO_KERNEL
void column_sums(const float* g, std::size_t rows, std::size_t n, float* sums) {
    switch (n) {
        case 0: return;
        case 1: return narrow_column_sums<1>(g, rows, sums);
        case 2: return narrow_column_sums<2>(g, rows, sums);
        case 3: return narrow_column_sums<3>(g, rows, sums);
        case 4: return narrow_column_sums<4>(g, rows, sums);
        case 5: return narrow_column_sums<5>(g, rows, sums);
        case 6: return narrow_column_sums<6>(g, rows, sums);
        case 7: return narrow_column_sums<7>(g, rows, sums);
        default: break;
    }
    std::size_t j = 0;
    for (; j + 8 * kLanes <= n; j += 8 * kLanes) column_piece<8>(g, rows, n, j, sums);
    for (; j + kLanes <= n; j += kLanes) column_piece<1>(g, rows, n, j, sums);
    for (; j < n; ++j) {
        float s = 0.0f;
        for (std::size_t i = 0; i < rows; ++i) s += g[i * n + j];
        sums[j] = s;
    }
}

// A row-major operand seen through strides: element (i, p) at data[i * row_step + p * col_step].
struct View {
    const float* data;
    std::size_t row_step;
    std::size_t col_step;
    float at(std::size_t i, std::size_t p) const { return data[i * row_step + p * col_step]; }
};

// Rows [i, i + R), columns [j, j + 8T) of scaled_rows, accumulated in registers over all of k: r is read once
// per group of R rows, however long k is.
template <Steps S, std::size_t R, std::size_t T>
[[gnu::always_inline]] inline void tile(std::size_t i, std::size_t j, std::size_t k, View s, const float* r,
                                        std::size_t ldr, float* c, std::size_t ldc, const Finish& f) {
    V8 acc[R][T] = {};
    V8 sum[S == Steps::sums ? T : 1] = {};
    for (std::size_t p = 0; p < k; ++p) {
        const float* rp = r + p * ldr + j;
        V8 rv[T];
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q) rv[q] = load(rp + q * kLanes);
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
        for (std::size_t q = 0; q < T; ++q) store(f.r_sums + j + q * kLanes, sum[q]);
#pragma GCC unroll 3
    for (std::size_t a = 0; a < R; ++a)
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q)
            store(c + (i + a) * ldc + j + q * kLanes, finish<S>(acc[a][q], f, i + a, j + q * kLanes));
}

// At most 12 accumulators, leaving registers for the row pieces and the scalar; the sums count as a row.
constexpr std::size_t kMaxChunks(std::size_t rows, Steps s = Steps::none) {
    if (s == Steps::sums) ++rows;
    return rows == 1 ? 8 : 12 / rows;
}

template <Steps S, std::size_t R>
[[gnu::always_inline]] inline void tile_row_group(std::size_t i, std::size_t n, std::size_t k, View s,
                                                  const float* r, std::size_t ldr, float* c, std::size_t ldc,
                                                  const Finish& f) {
    std::size_t j = 0;
    while (j + kLanes <= n) {
        const std::size_t chunks = std::min(kMaxChunks(R, S), (n - j) / kLanes);
        switch (chunks) {
#define WEXO_TILE(T)                                        \
    case T:                                                 \
        if constexpr (T <= kMaxChunks(R, S)) tile<S, R, T>(i, j, k, s, r, ldr, c, ldc, f); \
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
            f.r_sums[j] = sum;
        }
        for (std::size_t a = 0; a < R; ++a) {
            float acc = 0.0f;
            for (std::size_t p = 0; p < k; ++p) acc += s.at(i + a, p) * r[p * ldr + j];
            c[(i + a) * ldc + j] = finish<S>(acc, f, i + a, j);
        }
    }
}

// Columns [j, j + 8T) of scaled_rows for all m rows when k = K is tiny: the K x 8T piece of r is loaded once
// and kept in registers (with sixteen of them, part of it is read from cache as an operand instead), so each
// row costs K scalars, K * T multiply-adds and its stores.
template <Steps S, std::size_t K, std::size_t T>
[[gnu::always_inline]] inline void few_terms(std::size_t m, std::size_t j, View s, const float* r, std::size_t ldr,
                                             float* c, std::size_t ldc, const Finish& f) {
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
        for (std::size_t q = 0; q < T; ++q) store(c + i * ldc + j + q * kLanes, finish<S>(acc[q], f, i, j + q * kLanes));
    }
}

// c[i][:] = sum over p of s(i, p) * r[p][:] for i < m: rows of r (n contiguous floats, ldr apart) scaled by
// the scalars of s. Good when n is the wide dimension. With Steps::sums (r dense, m > 0) the first group of
// rows also sums r's columns.
template <Steps S>
WEXO_KERNEL void scaled_rows(std::size_t m, std::size_t n, std::size_t k, View s, const float* r, std::size_t ldr,
                             float* c, std::size_t ldc, Finish f) {
    if (k <= 3 && n % kLanes == 0) {  // an outer-product-like step: r stays in registers for every row
        if constexpr (S == Steps::sums) column_sums(r, k, n, f.r_sums);
        for (std::size_t j = 0; j < n;) {
            const std::size_t chunks = std::min<std::size_t>(8, (n - j) / kLanes);
            switch (k * 8 + chunks - 1) {
#define WEXO_FEW(K, T) \
    case K * 8 + T - 1: few_terms<S, K, T>(m, j, s, r, ldr, c, ldc, f); break;
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
    // the first group of rows (at most three) takes the sums; the rest go as before
    constexpr Steps later = S == Steps::sums ? Steps::none : S;
    const std::size_t first = std::min<std::size_t>(m, 3);
    if (first == 3) tile_row_group<S, 3>(0, n, k, s, r, ldr, c, ldc, f);
    if (first == 2) tile_row_group<S, 2>(0, n, k, s, r, ldr, c, ldc, f);
    if (first == 1) tile_row_group<S, 1>(0, n, k, s, r, ldr, c, ldc, f);
    std::size_t i = first;
    for (; i + 3 <= m; i += 3) tile_row_group<later, 3>(i, n, k, s, r, ldr, c, ldc, f);
    if (m - i == 2) tile_row_group<later, 2>(i, n, k, s, r, ldr, c, ldc, f);
    if (m - i == 1) tile_row_group<later, 1>(i, n, k, s, r, ldr, c, ldc, f);
}

// Pairwise sums of neighbouring lanes of a and b: [a0+a1, a2+a3, b0+b1, b2+b3, a4+a5, a6+a7, b4+b5, b6+b7].
[[gnu::always_inline]] inline V8 pair_sums(V8 a, V8 b) {
    return __builtin_shufflevector(a, b, 0, 2, 8, 10, 4, 6, 12, 14) +
           __builtin_shufflevector(a, b, 1, 3, 9, 11, 5, 7, 13, 15);
}

// Lane q of the result is the sum of the lanes of v[q]: eight horizontal sums for the price of about two.
[[gnu::always_inline]] inline V8 lane_sums(const V8 (&v)[8]) {
    const V8 x = pair_sums(pair_sums(v[0], v[1]), pair_sums(v[2], v[3]));  // [s0 s1 s2 s3 | s0' s1' s2' s3']
    const V8 y = pair_sums(pair_sums(v[4], v[5]), pair_sums(v[6], v[7]));
    return __builtin_shufflevector(x, y, 0, 1, 2, 3, 8, 9, 10, 11) +
           __builtin_shufflevector(x, y, 4, 5, 6, 7, 12, 13, 14, 15);
}

// Rows [i, i + R), columns [j, j + C) of dots finished: the vector part of output (a, q) is summed(a * C + q), to
// which the elements from p to k are added one by one before the epilogue.
template <Steps S, std::size_t R, std::size_t C, class Summed>
[[gnu::always_inline]] inline void store_dots(std::size_t i, std::size_t j, std::size_t p, std::size_t k,
                                              const float* u, std::size_t ldu, const float* w, std::size_t ldw,
                                              float* c, std::size_t ldc, const Finish& f, Summed summed) {
#pragma GCC unroll 4
    for (std::size_t a = 0; a < R; ++a) {
        const float* ua = u + (i + a) * ldu;
#pragma GCC unroll 4
        for (std::size_t q = 0; q < C; ++q) {
            const float* wq = w + (j + q) * ldw;
            float sum = summed(a * C + q);
            for (std::size_t t = p; t < k; ++t) sum += ua[t] * wq[t];
            c[(i + a) * ldc + j + q] = finish<S>(sum, f, i + a, j + q);
        }
    }
}

// Rows [i, i + R), columns [j, j + C) of dots: the C columns share each piece of a row of u, the R rows each
// piece of w, and each output has two accumulators to keep the adds overlapped.
template <Steps S, std::size_t R, std::size_t C>
[[gnu::always_inline]] inline void dot_group(std::size_t i, std::size_t j, std::size_t k, const float* u,
                                             std::size_t ldu, const float* w, std::size_t ldw, float* c,
                                             std::size_t ldc, const Finish& f) {
    static_assert(R * C <= 8);
    V8 even[R][C] = {}, odd[R][C] = {};
    std::size_t p = 0;
    for (; p + 2 * kLanes <= k; p += 2 * kLanes)
#pragma GCC unroll 2
        for (std::size_t a = 0; a < R; ++a) {
            const V8 x0 = load(u + (i + a) * ldu + p), x1 = load(u + (i + a) * ldu + p + kLanes);
#pragma GCC unroll 4
            for (std::size_t q = 0; q < C; ++q) {
                const float* wq = w + (j + q) * ldw + p;
                even[a][q] += x0 * load(wq);
                odd[a][q] += x1 * load(wq + kLanes);
            }
        }
    if (p + kLanes <= k) {
#pragma GCC unroll 2
        for (std::size_t a = 0; a < R; ++a) {
            const V8 x0 = load(u + (i + a) * ldu + p);
#pragma GCC unroll 4
            for (std::size_t q = 0; q < C; ++q) even[a][q] += x0 * load(w + (j + q) * ldw + p);
        }
        p += kLanes;
    }
    V8 parts[8] = {};
#pragma GCC unroll 2
    for (std::size_t a = 0; a < R; ++a)
#pragma GCC unroll 4
        for (std::size_t q = 0; q < C; ++q) parts[a * C + q] = even[a][q] + odd[a][q];
    const V8 sums = lane_sums(parts);
    store_dots<S, R, C>(i, j, p, k, u, ldu, w, ldw, c, ldc, f, [&](std::size_t slot) { return sums[slot]; });
}

// The same for 8 < R * C <= 16 outputs: one accumulator each is enough to keep the adds overlapped, and two
// shuffle trees give the sums.
template <Steps S, std::size_t R, std::size_t C>
[[gnu::always_inline]] inline void dot_group_wide(std::size_t i, std::size_t j, std::size_t k, const float* u,
                                                  std::size_t ldu, const float* w, std::size_t ldw, float* c,
                                                  std::size_t ldc, const Finish& f) {
    static_assert(R * C > 8 && R * C <= 16);
    V8 acc[R][C] = {};
    std::size_t p = 0;
    for (; p + kLanes <= k; p += kLanes) {
        V8 wv[C];
#pragma GCC unroll 4
        for (std::size_t q = 0; q < C; ++q) wv[q] = load(w + (j + q) * ldw + p);
#pragma GCC unroll 4
        for (std::size_t a = 0; a < R; ++a) {
            const V8 x = load(u + (i + a) * ldu + p);
#pragma GCC unroll 4
            for (std::size_t q = 0; q < C; ++q) acc[a][q] += x * wv[q];
        }
    }
    V8 low[8] = {}, high[8] = {};
#pragma GCC unroll 4
    for (std::size_t a = 0; a < R; ++a)
#pragma GCC unroll 4
        for (std::size_t q = 0; q < C; ++q) (a * C + q < 8 ? low[a * C + q] : high[a * C + q - 8]) = acc[a][q];
    const V8 sums_low = lane_sums(low), sums_high = lane_sums(high);
    store_dots<S, R, C>(i, j, p, k, u, ldu, w, ldw, c, ldc, f,
                        [&](std::size_t slot) { return slot < 8 ? sums_low[slot] : sums_high[slot - 8]; });
}

template <Steps S, std::size_t R>
[[gnu::always_inline]] inline void dot_rows(std::size_t i, std::size_t n, std::size_t k, const float* u,
                                            std::size_t ldu, const float* w, std::size_t ldw, float* c,
                                            std::size_t ldc, const Finish& f) {
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) dot_group<S, R, 4>(i, j, k, u, ldu, w, ldw, c, ldc, f);
    switch (n - j) {
        case 3: dot_group<S, R, 3>(i, j, k, u, ldu, w, ldw, c, ldc, f); break;
        case 2: dot_group<S, R, 2>(i, j, k, u, ldu, w, ldw, c, ldc, f); break;
        case 1: dot_group<S, R, 1>(i, j, k, u, ldu, w, ldw, c, ldc, f); break;
        default: break;
    }
}

// c[i][j] = dot(u[i], w[j]) for i < m, j < n: rows of k contiguous floats. Good when k is the wide dimension.
template <Steps S>
WEXO_KERNEL void dots(std::size_t m, std::size_t n, std::size_t k, const float* u, std::size_t ldu, const float* w,
                      std::size_t ldw, float* c, std::size_t ldc, Finish f) {
    std::size_t i = 0;
    if (n == 3)  // a classifier's three outputs: four rows at a time fill twelve of sixteen sums
        for (; i + 4 <= m; i += 4) dot_group_wide<S, 4, 3>(i, 0, k, u, ldu, w, ldw, c, ldc, f);
    for (; i + 2 <= m; i += 2) dot_rows<S, 2>(i, n, k, u, ldu, w, ldw, c, ldc, f);
    if (i < m) dot_rows<S, 1>(i, n, k, u, ldu, w, ldw, c, ldc, f);
}

// Runs kernel(steps) for the kernel variant (one per set of epilogue steps, each built for every processor level)
// that matches f; a set without a variant runs the plain one and returns false, leaving the steps to the caller.
template <class Kernel>
bool with_steps(const Finish& f, Kernel kernel) {
    const bool bias = f.add_row, relu = f.relu_inputs, mask = f.relu_mask;
    if (bias && !relu && !mask) return kernel(std::integral_constant<Steps, Steps::bias>{}), true;
    if (bias && relu && !mask) return kernel(std::integral_constant<Steps, Steps::bias_relu>{}), true;
    if (!bias && !relu && mask) return kernel(std::integral_constant<Steps, Steps::mask>{}), true;
    kernel(std::integral_constant<Steps, Steps::none>{});
    return !bias && !relu && !mask;
}

// The epilogue as a pass of its own over a finished c (m, n).
void finish_rows(std::size_t m, std::size_t n, float* c, const Finish& f) {
    for (std::size_t i = 0; i < m; ++i) {
        float* __restrict row = c + i * n;
        if (f.add_row) {
            const float* __restrict b = f.add_row;
            for (std::size_t j = 0; j < n; ++j) row[j] += b[j];
        }
        if (f.relu_inputs) {
            float* __restrict kept = f.relu_inputs + i * n;
            for (std::size_t j = 0; j < n; ++j) {
                kept[j] = row[j];
                row[j] = relu_of(row[j]);
            }
        }
        if (f.relu_mask) {
            const float* __restrict mask = f.relu_mask + i * f.mask_ld;
            for (std::size_t j = 0; j < n; ++j) row[j] = mask[j] <= 0.0f ? 0.0f : row[j];
        }
    }
}

// dst (cols, rows) <- src (rows, cols)^T
void transpose(const float* src, std::size_t rows, std::size_t cols, std::size_t ld, float* dst) {
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) dst[j * rows + i] = src[i * ld + j];
}

constexpr std::size_t kSmallWork = std::size_t{1} << 18;  // multiply-adds
constexpr std::size_t kScratch = 4096;                     // floats of a transposed operand or result

// op(a) (m, k) x op(b) (k, n) into c (m, n, dense) when the product is small; false leaves it to OpenBLAS.
// The epilogue is applied on the way unless `deferred` comes back true, and b's column sums (f.r_sums) only
// where `summed` comes back true.
bool small_gemm(const Matrix& a, bool ta, const Matrix& b, bool tb, std::size_t m, std::size_t n, std::size_t k,
                float* c, const Finish& f, bool& deferred, bool& summed) {
    deferred = false;
    summed = false;
    // each bound first, so that the products cannot wrap
    if (m > kSmallWork || n > kSmallWork || k > kSmallWork || m * n > kSmallWork || m * n * k > kSmallWork)
        return false;
    const float* A = a.values.data();
    const float* B = b.values.data();
    const std::size_t lda = a.n_cols, ldb = b.n_cols;
    std::array<float, kScratch> scratch;
    // rows of b scaled: the pass over b can also sum its columns (the narrow case keeps column_sums' order)
    const auto scale_rows_of_b = [&](View s) {
        if (f.r_sums && n >= kLanes && !f.add_row && !f.relu_inputs && !f.relu_mask) {
            scaled_rows<Steps::sums>(m, n, k, s, B, ldb, c, n, f);
            summed = true;
        } else {
            deferred = !with_steps(f, [&](auto steps) { scaled_rows<steps>(m, n, k, s, B, ldb, c, n, f); });
        }
    };
    if (!ta && !tb) {
        if (n >= kLanes) {
            scale_rows_of_b({A, lda, 1});
        } else {
            if (n * k > kScratch) return false;
            transpose(B, k, n, ldb, scratch.data());  // columns of b as rows
            deferred = !with_steps(f, [&](auto steps) { dots<steps>(m, n, k, A, lda, scratch.data(), k, c, n, f); });
        }
    } else if (!ta && tb) {
        if (k >= kLanes || n < kLanes) {
            deferred = !with_steps(f, [&](auto steps) { dots<steps>(m, n, k, A, lda, B, ldb, c, n, f); });
        } else {
            if (n * k > kScratch) return false;
            transpose(B, n, k, ldb, scratch.data());  // b^T: (k, n)
            deferred = !with_steps(f, [&](auto steps) { scaled_rows<steps>(m, n, k, {A, lda, 1}, scratch.data(), n, c, n, f); });
        }
    } else if (ta && !tb) {
        if (n >= kLanes || m < kLanes) {
            scale_rows_of_b({A, 1, lda});
        } else {
            // few columns: c^T = b^T a, whose rows are long, then turned around
            if (m * n > kScratch) return false;
            scaled_rows<Steps::none>(n, m, k, {B, 1, ldb}, A, lda, scratch.data(), m, {});
            transpose(scratch.data(), n, m, m, c);
            deferred = true;
        }
    } else {
        return false;
    }
    return true;
}

}  // namespace

void gemm(const Matrix& a, bool transpose_a, const Matrix& b, bool transpose_b, Matrix& c, Epilogue epilogue) {
    const std::size_t m = transpose_a ? a.n_cols : a.n_rows;
    const std::size_t k = transpose_a ? a.n_rows : a.n_cols;
    const std::size_t kb = transpose_b ? b.n_cols : b.n_rows;
    const std::size_t n = transpose_b ? b.n_rows : b.n_cols;
    if (k != kb) [[unlikely]] {
        std::string msg = "matrix product shape mismatch: ";
        msg.append(shape_text(a)).append(transpose_a ? "^T" : "").append(" x ");
        msg.append(shape_text(b)).append(transpose_b ? "^T" : "");
        fail(msg);
    }
    WEXO_CHECK(&a != &c && &b != &c && epilogue.relu_inputs != &c && epilogue.relu_inputs != &a &&
                   epilogue.relu_inputs != &b && epilogue.relu_mask != &c,
               "matrix product output aliases an input");
    const Matrix* mask = epilogue.relu_mask;
    WEXO_CHECK(!mask || (mask->n_rows >= m && mask->n_cols >= n), "relu mask does not cover the matrix product");
    WEXO_CHECK(!epilogue.b_column_sums || !transpose_b, "column sums of a transposed matrix product operand");
    c.reshape_for_overwrite(m, n);
    if (epilogue.relu_inputs) epilogue.relu_inputs->reshape_for_overwrite(m, n);
    bool summed = false;
    // b is dense (k, n) here, whether or not the product itself runs
    const auto sum_columns_of_b = [&] {
        if (epilogue.b_column_sums && !summed) column_sums(b.values.data(), k, n, epilogue.b_column_sums);
    };
    if (m == 0 || n == 0) return sum_columns_of_b();
    const Finish f{epilogue.add_row,
                   epilogue.relu_inputs ? epilogue.relu_inputs->values.data() : nullptr,
                   n,
                   mask ? mask->values.data() : nullptr,
                   mask ? mask->n_cols : 0,
                   epilogue.b_column_sums};
    bool deferred = true;
    if (k == 0) {
        std::fill(c.values.begin(), c.values.end(), 0.0f);
    } else if (!small_gemm(a, transpose_a, b, transpose_b, m, n, k, c.values.data(), f, deferred, summed)) {
        deferred = true;
        const blasint bm = blas_dim(m), bn = blas_dim(n), bk = blas_dim(k);
        // Leading dimensions are the stored column counts; an empty one still must be at least 1.
        const blasint lda = blas_dim(std::max<std::size_t>(a.n_cols, 1));
        const blasint ldb = blas_dim(std::max<std::size_t>(b.n_cols, 1));
        const blasint ldc = blas_dim(std::max<std::size_t>(n, 1));
        run_blas(threads_pay(double(m), double(n), double(k)), [&] {
            scipy_cblas_sgemm(CblasRowMajor, transpose_a ? CblasTrans : CblasNoTrans,
                              transpose_b ? CblasTrans : CblasNoTrans, bm, bn, bk, 1.0f, a.values.data(), lda,
                              b.values.data(), ldb, 0.0f, c.values.data(), ldc);
        });
    }
    if (deferred) finish_rows(m, n, c.values.data(), f);
    sum_columns_of_b();
}

}  // namespace wexo
