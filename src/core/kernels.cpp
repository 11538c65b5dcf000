// The hand-written products for operands that fit in cache, with the epilogue fused into them. Each kernel's line
// gives its shapes, its contract and its gain: OpenBLAS's time (one thread, then the epilogue as a pass) over the
// kernel's, as `build/tests/bench_gemm` (benchmarks/bench_gemm.cpp) measures it, best thread-CPU time of 300.
#include "core/kernels.h"

#include <algorithm>
#include <array>
#include <string>
#include <type_traits>

#include "core/kernel_parts.h"

namespace wexo::kernels {

namespace {

using simd::kLanes;
using simd::load;
using simd::store;
using simd::V8;

using simd::load_as;
using simd::store_as;
using simd::V16;

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

}  // namespace

// b's column sums, any shape, row by row as scaled_rows' fused sums add (same bits); no product: OpenBLAS needs it too.
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

namespace {

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
                                              float* c, std::size_t ldc, const Epilogue& f, Summed summed) {
#pragma GCC unroll 4
    for (std::size_t a = 0; a < R; ++a) {
        const float* ua = u + (i + a) * ldu;
#pragma GCC unroll 4
        for (std::size_t q = 0; q < C; ++q) {
            const float* wq = w + (j + q) * ldw;
            float sum = summed(a * C + q);
            for (std::size_t t = p; t < k; ++t) sum += ua[t] * wq[t];
            c[(i + a) * ldc + j + q] = epilogue<S>(sum, f, i + a, j + q);
        }
    }
}

// Rows [i, i + R), columns [j, j + C) of dots: the C columns share each piece of a row of u, the R rows each
// piece of w, and each output has two accumulators to keep the adds overlapped.
template <Steps S, std::size_t R, std::size_t C>
[[gnu::always_inline]] inline void dot_group(std::size_t i, std::size_t j, std::size_t k, const float* u,
                                             std::size_t ldu, const float* w, std::size_t ldw, float* c,
                                             std::size_t ldc, const Epilogue& f) {
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

template <Steps S, std::size_t R>
[[gnu::always_inline]] inline void dot_rows(std::size_t i, std::size_t n, std::size_t k, const float* u,
                                            std::size_t ldu, const float* w, std::size_t ldw, float* c,
                                            std::size_t ldc, const Epilogue& f) {
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) dot_group<S, R, 4>(i, j, k, u, ldu, w, ldw, c, ldc, f);
    switch (n - j) {
        case 3: dot_group<S, R, 3>(i, j, k, u, ldu, w, ldw, c, ldc, f); break;
        case 2: dot_group<S, R, 2>(i, j, k, u, ldu, w, ldw, c, ldc, f); break;
        case 1: dot_group<S, R, 1>(i, j, k, u, ldu, w, ldw, c, ldc, f); break;
        default: break;
    }
}

// c[i][j] = dot(u[i], w[j]), k wide or n < 8, m n k <= 2^18; 1.7x at (300,64)x(64,3).
template <Steps S>
WEXO_KERNEL void dots(std::size_t m, std::size_t n, std::size_t k, const float* u, std::size_t ldu, const float* w,
                      std::size_t ldw, float* c, std::size_t ldc, Epilogue f) {
    // Every output sums the even and the odd vectors of its row apart, whatever its row's group: the layer pair
    // kernel gives the same bits from a row in registers.
    std::size_t i = 0;
    for (; i + 2 <= m; i += 2) dot_rows<S, 2>(i, n, k, u, ldu, w, ldw, c, ldc, f);
    if (i < m) dot_rows<S, 1>(i, n, k, u, ldu, w, ldw, c, ldc, f);
}

// Runs kernel(steps) with f's steps when they are one of the sets `Fused` (one variant each, each built for every
// processor level); any other set runs the plain variant and returns false, leaving the steps to apply_epilogue.
template <Steps... Fused, class Kernel>
bool with_steps(const Epilogue& f, Kernel kernel) {
    const bool bias = f.add_row, relu = f.relu_inputs, mask = f.relu_mask;
    const Steps wanted = bias && !relu && !mask   ? Steps::bias
                         : bias && relu && !mask  ? Steps::bias_relu
                         : !bias && !relu && mask ? Steps::mask
                                                  : Steps::none;
    bool fused = false;
    ((fused = fused || (wanted == Fused && (kernel(std::integral_constant<Steps, Fused>{}), true))), ...);
    if (fused) return true;
    kernel(std::integral_constant<Steps, Steps::none>{});
    return !bias && !relu && !mask;
}

}  // namespace

// One pass over each row, eight lanes at a time: the relu rules as comparisons, not branches a random sign pattern
// would mispredict.
WEXO_KERNEL
void apply_epilogue(std::size_t m, std::size_t n, float* c, const Epilogue& f) {
    if (!f.add_row && !f.relu_inputs && !f.relu_mask) return;  // nothing to do: spare the pass
    const float* __restrict b = f.add_row;
    for (std::size_t i = 0; i < m; ++i) {
        float* __restrict row = c + i * n;
        float* __restrict kept = f.relu_inputs ? f.relu_inputs + i * n : nullptr;
        const float* __restrict mask = f.relu_mask ? f.relu_mask + i * f.mask_ld : nullptr;
        std::size_t j = 0;
        for (; j + kLanes <= n; j += kLanes) {
            V8 v = load(row + j);
            if (b) v += load(b + j);
            if (kept) {
                store(kept + j, v);
                v = relu_of(v);
            }
            if (mask) v = relu_gradient(load(mask + j), v);
            store(row + j, v);
        }
        for (; j < n; ++j) {
            float v = row[j];
            if (b) v += b[j];
            if (kept) {
                kept[j] = v;
                v = relu_of(v);
            }
            if (mask) v = relu_gradient(mask[j], v);
            row[j] = v;
        }
    }
}

namespace {

// dst (cols, rows) <- src (rows, cols)^T
void transpose(const float* src, std::size_t rows, std::size_t cols, std::size_t ld, float* dst) {
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) dst[j * rows + i] = src[i * ld + j];
}

constexpr std::size_t kSmallWork = std::size_t{1} << 18;  // multiply-adds
constexpr std::size_t kScratch = 4096;                     // floats of a transposed operand or result
constexpr std::size_t kFewTerms = 16;                      // where a x b^T goes through b^T's rows
constexpr std::size_t kLongWork = std::size_t{1} << 24;   // the bound of the two kinds of product that pay beyond it
constexpr std::size_t kNarrowFrom = std::size_t{1} << 20;

}  // namespace

bool small_gemm(const Matrix& a, bool ta, const Matrix& b, bool tb, std::size_t m, std::size_t n, std::size_t k,
                float* c, const Epilogue& f, bool& deferred, bool& summed) {
    deferred = false;
    summed = false;
    // Rows of one vector and a part (10 classes) in a x b or a^T x b: OpenBLAS's path for small products beats
    // ours up to about 2^20 multiply-adds, its general path does not where our copies use AVX-512 (ours 1.25x the
    // forward product and 1.65x the weight gradient at 1797 x 128 x 10, 0.6x below). With AVX2 alone OpenBLAS
    // wins at every size (ours 0.80x and 0.83x at 1797 x 128 x 10 on a Zen 3).
    const bool narrow = !tb && n > kLanes && n < 2 * kLanes && n % kLanes != 0 && (!ta || m >= kLanes);
    // a x b^T with few terms is bound by its stores, not its multiply-adds: it pays on long batches too
    const std::size_t limit = (!ta && tb && k <= kFewTerms && n >= kLanes) || narrow ? kLongWork : kSmallWork;
    // each bound first, so that the products cannot wrap
    if (m > limit || n > limit || k > limit || m * n > limit || m * n * k > limit) return false;
    if (narrow && (m * n * k <= kNarrowFrom || !simd::has_avx512())) return false;
    const float* A = a.values.data();
    const float* B = b.values.data();
    const std::size_t lda = a.n_cols, ldb = b.n_cols;
    std::array<float, kScratch> scratch;
    // Each layout fuses only the steps its caller asks for: a layer's forward product (bias, relu), the input
    // gradient (relu mask) and the weight gradient (b's column sums). Other sets go to apply_epilogue.
    if (!ta && !tb) {
        if (n >= kLanes && !narrow) {
            deferred = !with_steps<Steps::bias, Steps::bias_relu>(
                f, [&](auto steps) { scaled_rows<steps>(m, n, k, {A, lda, 1}, B, ldb, c, n, f); });
        } else {
            if (n * k > kScratch) return false;
            transpose(B, k, n, ldb, scratch.data());  // columns of b as rows
            deferred = !with_steps<Steps::bias, Steps::bias_relu>(
                f, [&](auto steps) { dots<steps>(m, n, k, A, lda, scratch.data(), k, c, n, f); });
        }
    } else if (!ta && tb) {
        // Rows of a vector or more: for a few terms b^T's rows beat n dots (a classifier's input gradient, k = 10:
        // 14x), and beyond them OpenBLAS beats both (0.84x and 0.39x at k = 32).
        if (n < kLanes) {
            deferred = !with_steps<Steps::mask>(f, [&](auto steps) { dots<steps>(m, n, k, A, lda, B, ldb, c, n, f); });
        } else {
            if (k > kFewTerms || n * k > kScratch) return false;
            transpose(B, n, k, ldb, scratch.data());  // b^T: (k, n)
            deferred = !with_steps<Steps::mask>(
                f, [&](auto steps) { scaled_rows<steps>(m, n, k, {A, lda, 1}, scratch.data(), n, c, n, f); });
        }
    } else if (ta && !tb) {
        if ((n >= kLanes && !narrow) || m < kLanes) {
            // the pass over b also sums its columns (fewer than a vector of them keep column_sums' order)
            if (f.b_column_sums && n >= kLanes && !f.add_row && !f.relu_inputs && !f.relu_mask) {
                scaled_rows<Steps::sums>(m, n, k, {A, 1, lda}, B, ldb, c, n, f);
                summed = true;
            } else {
                deferred = !with_steps<>(
                    f, [&](auto steps) { scaled_rows<steps>(m, n, k, {A, 1, lda}, B, ldb, c, n, f); });
            }
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

namespace {

// Columns [j, j + T vectors) of x^T h and of h's column sums, R rows of x^T: row i of h is (row i of g) w^T, masked
// by the relu derivative of row i of z, built in registers and used at once. Each sum runs down the rows in order
// with the same operations as the separate products over a stored h (scaled_rows with the mask, then with the
// sums), so the bits are theirs, whatever the vector width. K > 0 fixes the number of terms and keeps w^T's piece
// in registers.
template <class V, std::size_t R, std::size_t T, std::size_t K>
[[gnu::always_inline]] inline void chain_piece(const MaskedChain& c, const float* wt, std::size_t j) {
    constexpr std::size_t L = sizeof(V) / sizeof(float);
    const std::size_t k = K ? K : c.k;
    V rv[K ? K : 1][T];
    if constexpr (K > 0)
#pragma GCC unroll 3
        for (std::size_t p = 0; p < K; ++p)
#pragma GCC unroll 8
            for (std::size_t q = 0; q < T; ++q) rv[p][q] = load_as<V>(wt + p * c.n + j + q * L);
    V acc[R][T] = {};
    V sum[T] = {};
    for (std::size_t i = 0; i < c.m; ++i) {
        V h[T] = {};
        const float* gi = c.g + i * c.ldg;
#pragma GCC unroll 3
        for (std::size_t p = 0; p < k; ++p) {
            const float sv = gi[p];
#pragma GCC unroll 8
            for (std::size_t q = 0; q < T; ++q)
                h[q] += sv * (K ? rv[K ? p : 0][q] : load_as<V>(wt + p * c.n + j + q * L));
        }
        const float* zi = c.z + i * c.ldz + j;
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q) {
            h[q] = relu_gradient(load_as<V>(zi + q * L), h[q]);
            sum[q] += h[q];
        }
#pragma GCC unroll 3
        for (std::size_t a = 0; a < R; ++a) {
            const float xv = c.x[i * c.ldx + a];
#pragma GCC unroll 8
            for (std::size_t q = 0; q < T; ++q) acc[a][q] += xv * h[q];
        }
    }
#pragma GCC unroll 3
    for (std::size_t a = 0; a < R; ++a)
#pragma GCC unroll 8
        for (std::size_t q = 0; q < T; ++q) store_as(c.dw + a * c.n + j + q * L, acc[a][q]);
#pragma GCC unroll 8
    for (std::size_t q = 0; q < T; ++q) store_as(c.sums + j + q * L, sum[q]);
}

// With AVX-512, four sixteen-float vectors of columns (64) beside the accumulators; returns where it stopped.
template <std::size_t R, std::size_t K>
WEXO_AVX512 std::size_t chain_wide(const MaskedChain& c, const float* wt) {
    std::size_t j = 0;
    for (; j + 64 <= c.n; j += 64) chain_piece<V16, R, 4, K>(c, wt, j);
    return j;
}

// Otherwise, and for the columns left, two or one vectors of eight.
template <std::size_t R, std::size_t K>
[[gnu::always_inline]] inline void chain_columns(const MaskedChain& c, const float* wt, bool wide) {
    std::size_t j = wide ? chain_wide<R, K>(c, wt) : 0;
    for (; j + 2 * kLanes <= c.n; j += 2 * kLanes) chain_piece<V8, R, 2, K>(c, wt, j);
    for (; j < c.n; j += kLanes) chain_piece<V8, R, 1, K>(c, wt, j);
}

template <std::size_t R>
WEXO_KERNEL void chain_rows(const MaskedChain& c, const float* wt, bool wide) {
    switch (c.k) {
        case 1: return chain_columns<R, 1>(c, wt, wide);
        case 2: return chain_columns<R, 2>(c, wt, wide);
        case 3: return chain_columns<R, 3>(c, wt, wide);
        default: return chain_columns<R, 0>(c, wt, wide);
    }
}

// The sums of the lanes of v0..v3, each added up as lane_sums adds it (the same bits), in lanes 0..3.
[[gnu::always_inline]] inline V8 quad_lane_sums(V8 v0, V8 v1, V8 v2, V8 v3) {
    const V8 x = pair_sums(pair_sums(v0, v1), pair_sums(v2, v3));
    return x + __builtin_shufflevector(x, x, 4, 5, 6, 7, 0, 1, 2, 3);
}

[[gnu::always_inline]] inline V8 low_half(V16 v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7); }
[[gnu::always_inline]] inline V8 high_half(V16 v) {
    return __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15);
}

// Row i of a dense layer with relu over k <= 3 inputs and n = 16 T2 outputs, as few_terms builds it, and at once the
// N2 <= 4 outputs of the dense layer above from it, as dots builds them from the stored row: each output's even and
// odd vectors summed apart (the low and high halves of a sixteen-float vector), then added and summed across. The
// first layer's row never has to be read back.
template <std::size_t N2, std::size_t T2>
WEXO_AVX512 void pair_rows(const DensePair& d, const float* w2t) {
    constexpr std::size_t L = 2 * kLanes, n = T2 * L;
    V16 rv[3][T2] = {}, bias[T2], w2[N2][T2];
    for (std::size_t p = 0; p < d.k; ++p)
#pragma GCC unroll 4
        for (std::size_t t = 0; t < T2; ++t) rv[p][t] = load_as<V16>(d.w + p * d.ldw + t * L);
#pragma GCC unroll 4
    for (std::size_t t = 0; t < T2; ++t) bias[t] = load_as<V16>(d.b + t * L);
#pragma GCC unroll 4
    for (std::size_t o = 0; o < N2; ++o)
#pragma GCC unroll 4
        for (std::size_t t = 0; t < T2; ++t) w2[o][t] = load_as<V16>(w2t + o * n + t * L);
    for (std::size_t i = 0; i < d.m; ++i) {
        const float* xi = d.x + i * d.ldx;
        V16 h[T2] = {};
#pragma GCC unroll 4
        for (std::size_t t = 0; t < T2; ++t) h[t] += xi[0] * rv[0][t];
        if (d.k > 1)
#pragma GCC unroll 4
            for (std::size_t t = 0; t < T2; ++t) h[t] += xi[1] * rv[1][t];
        if (d.k > 2)
#pragma GCC unroll 4
            for (std::size_t t = 0; t < T2; ++t) h[t] += xi[2] * rv[2][t];
#pragma GCC unroll 4
        for (std::size_t t = 0; t < T2; ++t) {
            h[t] += bias[t];
            store_as(d.z + i * n + t * L, h[t]);
            h[t] = relu_of(h[t]);
            store_as(d.h + i * n + t * L, h[t]);
        }
        V8 parts[4] = {};
#pragma GCC unroll 4
        for (std::size_t o = 0; o < N2; ++o) {
            V16 acc = {};
#pragma GCC unroll 4
            for (std::size_t t = 0; t < T2; ++t) acc += h[t] * w2[o][t];
            parts[o] = low_half(acc) + high_half(acc);
        }
        const V8 sums = quad_lane_sums(parts[0], parts[1], parts[2], parts[3]);
#pragma GCC unroll 4
        for (std::size_t o = 0; o < N2; ++o) {
            float v = sums[o] + d.b2[o];
            if (d.z2) {
                d.z2[i * N2 + o] = v;
                v = relu_of(v);
            }
            d.out[i * N2 + o] = v;
        }
    }
}

}  // namespace

bool masked_chain_fits(std::size_t m, std::size_t n, std::size_t k, std::size_t r) {
    // Where small_gemm runs both products through scaled_rows: h = g w^T with its few terms (the mask fused) and
    // x^T h with the sums fused, n whole vectors wide. Each bound first, so that the products cannot wrap.
    if (m == 0 || n == 0 || k == 0 || r == 0 || r > 3 || n % kLanes != 0 || k > kFewTerms) return false;
    if (m > kSmallWork || n > kSmallWork || n * k > kScratch) return false;
    return m * n <= kSmallWork && m * n * r <= kSmallWork;
}

void masked_chain(const MaskedChain& c, const float* w) {
    std::array<float, kScratch> wt;
    transpose(w, c.n, c.k, c.ldw, wt.data());  // w^T: (k, n), as small_gemm builds it for h
    const bool wide = simd::has_avx512();
    switch (c.r) {
        case 1: return chain_rows<1>(c, wt.data(), wide);
        case 2: return chain_rows<2>(c, wt.data(), wide);
        case 3: return chain_rows<3>(c, wt.data(), wide);
        default: fail("masked chain of " + std::to_string(c.r) + " rows of x^T");
    }
}

bool dense_pair_fits(std::size_t m, std::size_t k, std::size_t n, std::size_t n2) {
    // Where small_gemm builds the first product with few_terms, all n columns at once, and the second with dots.
    // Each bound first, so that the products cannot wrap. The kernel keeps both layers' weights in registers: only
    // AVX-512 has enough of them (with AVX2's sixteen it spilled some 600 times).
    if (!simd::has_avx512() || m == 0 || k == 0 || k > 3 || n == 0 || n % (2 * kLanes) != 0 || n > 8 * kLanes)
        return false;
    if (n2 == 0 || n2 > 4) return false;
    if (m > kSmallWork) return false;
    return m * n * k <= kSmallWork && m * n * n2 <= kSmallWork;
}

void dense_pair(const DensePair& d, const float* w2) {
    std::array<float, 8 * kLanes * kLanes> w2t;  // w2^T: (n2, n), as small_gemm builds it for dots
    transpose(w2, d.n, d.n2, d.ldw2, w2t.data());
    switch (d.n2 * 8 + d.n / (2 * kLanes) - 1) {
#define WEXO_PAIR(N2, T2) \
    case N2 * 8 + T2 - 1: return pair_rows<N2, T2>(d, w2t.data());
#define WEXO_PAIR_ROW(N2) WEXO_PAIR(N2, 1) WEXO_PAIR(N2, 2) WEXO_PAIR(N2, 3) WEXO_PAIR(N2, 4)
        WEXO_PAIR_ROW(1) WEXO_PAIR_ROW(2) WEXO_PAIR_ROW(3) WEXO_PAIR_ROW(4)
#undef WEXO_PAIR_ROW
#undef WEXO_PAIR
        default: fail("dense pair of " + std::to_string(d.n) + " and " + std::to_string(d.n2) + " outputs");
    }
}

}  // namespace wexo::kernels
