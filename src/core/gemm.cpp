// The only unit that multiplies through OpenBLAS. Products small enough to live in cache run in the hand-written
// kernels of core/kernels.h instead.
#include "core/gemm.h"

#include <algorithm>
#include <initializer_list>
#include <limits>

#include "core/blas_threads.h"
#include "core/kernels.h"
#include "core/openblas.h"

namespace wexo {

using kernels::apply_epilogue;
using kernels::column_sums;
using kernels::small_gemm;

namespace {

blasint blas_dim(std::size_t n) {
    WEXO_CHECK(n <= static_cast<std::size_t>(std::numeric_limits<blasint>::max()),
               "matrix dimension " + std::to_string(n) + " exceeds the BLAS integer range");
    return static_cast<blasint>(n);
}

// One OpenBLAS product, runnable in independent parts: part i covers rows (split_rows) or columns
// [i * step, (i + 1) * step) of c, all of it when step is 0.
struct BlasProduct {
    const float* a;
    blasint lda;
    bool transpose_a;
    const float* b;
    blasint ldb;
    bool transpose_b;
    float* c;
    blasint ldc;
    blasint m, n, k;
    bool split_rows;
    blasint step;
    decltype(openblas::functions().sgemm) sgemm;
};

void run_part(const BlasProduct& p, std::size_t i) {
    const std::size_t step = p.step, lda = p.lda, ldb = p.ldb, ldc = p.ldc;
    const std::size_t whole = p.split_rows ? p.m : p.n;
    const std::size_t from = step ? std::min(i * step, whole) : 0, to = step ? std::min(from + step, whole) : whole;
    const float* a = p.a;
    const float* b = p.b;
    float* c = p.c;
    if (p.split_rows) {  // rows of op(a): rows of a, or columns of a stored (k, m)
        a += p.transpose_a ? from : from * lda;
        c += from * ldc;
    } else {  // columns of op(b): columns of b, or rows of b stored (n, k)
        b += p.transpose_b ? from * ldb : from;
        c += from;
    }
    const auto count = static_cast<blasint>(to - from);
    p.sgemm(CblasRowMajor, p.transpose_a ? CblasTrans : CblasNoTrans, p.transpose_b ? CblasTrans : CblasNoTrans,
            p.split_rows ? count : p.m, p.split_rows ? p.n : count, p.k, 1.0f, a, p.lda, b, p.ldb, 0.0f, c, p.ldc);
}

// Cuts along the longer side of c, in a few parts per thread so that a thread slow to start leaves less behind,
// each a whole number of vectors wide.
void run_in_parts(BlasProduct p, int threads) {
    constexpr std::size_t kAlign = 16;
    p.split_rows = p.m >= p.n;
    const std::size_t whole = p.split_rows ? p.m : p.n;
    const std::size_t wanted = 2 * static_cast<std::size_t>(threads);
    const std::size_t step = std::max(kAlign, (whole / wanted + kAlign - 1) / kAlign * kAlign);
    p.step = static_cast<blasint>(step);
    run_parts((whole + step - 1) / step, [](void* q, std::size_t i) { run_part(*static_cast<const BlasProduct*>(q), i); },
              &p);
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
    if (mask) check_covers(mask->shape(), {m, n}, "matrix product", "relu mask", "does", "the product");
    WEXO_CHECK(!epilogue.b_column_sums || !transpose_b, "column sums of a transposed matrix product operand");
    c.reshape_for_overwrite(m, n);
    if (epilogue.relu_inputs) epilogue.relu_inputs->reshape_for_overwrite(m, n);
    bool summed = false;
    // b is dense (k, n) here, whether or not the product itself runs
    const auto sum_columns_of_b = [&] {
        if (epilogue.b_column_sums && !summed) column_sums(b.values.data(), k, n, epilogue.b_column_sums);
    };
    if (m == 0 || n == 0) return sum_columns_of_b();
    const kernels::Epilogue f{epilogue.add_row,
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
        const BlasProduct p{a.values.data(), lda,         transpose_a, b.values.data(), ldb, transpose_b,
                            c.values.data(), ldc,         bm,          bn,              bk,  false,
                            0,               openblas::functions().sgemm};
        const int threads = parts_pay(double(m), double(n), double(k)) ? part_threads() : 1;
        if (threads > 1) {
            run_blas(false, [&] { run_in_parts(p, threads); });
        } else {
            run_blas(threads_pay(double(m), double(n), double(k)), [&] { run_part(p, 0); });
        }
    }
    if (deferred) apply_epilogue(m, n, c.values.data(), f);
    sum_columns_of_b();
}

bool gemm_masked_chain_fits(const Matrix& g, const Matrix& w, const Matrix& relu_inputs, const Matrix& x) {
    const std::size_t m = g.n_rows, n = w.n_rows;
    return w.n_cols == g.n_cols && x.n_rows == m && relu_inputs.shape().covers({m, n}) &&
           kernels::masked_chain_fits(m, n, g.n_cols, x.n_cols);
}

void gemm_masked_chain(const Matrix& g, const Matrix& w, const Matrix& relu_inputs, const Matrix& x, Matrix& dw,
                       Vector& column_sums) {
    WEXO_CHECK(gemm_masked_chain_fits(g, w, relu_inputs, x), "masked product chain of shapes it does not fit");
    WEXO_CHECK(&dw != &g && &dw != &w && &dw != &relu_inputs && &dw != &x, "matrix product output aliases an input");
    const std::size_t m = g.n_rows, n = w.n_rows;
    dw.reshape_for_overwrite(x.n_cols, n);
    column_sums.resize(n);
    kernels::masked_chain({m, n, g.n_cols, x.n_cols, g.values.data(), g.n_cols, w.n_cols, relu_inputs.values.data(),
                           relu_inputs.n_cols, x.values.data(), x.n_cols, dw.values.data(), column_sums.data()},
                          w.values.data());
}

bool gemm_dense_pair_fits(const Matrix& x, const Matrix& w, const Vector& b, const Matrix& w2, const Vector& b2) {
    return x.n_cols == w.n_rows && w.n_cols == w2.n_rows && b.size() >= w.n_cols && b2.size() >= w2.n_cols &&
           kernels::dense_pair_fits(x.n_rows, x.n_cols, w.n_cols, w2.n_cols);
}

void gemm_dense_pair(const Matrix& x, const Matrix& w, const Vector& b, Matrix& relu_inputs, Matrix& h,
                     const Matrix& w2, const Vector& b2, Matrix* relu2_inputs, Matrix& out) {
    WEXO_CHECK(gemm_dense_pair_fits(x, w, b, w2, b2), "dense pair of shapes it does not fit");
    for (const Matrix* written : std::initializer_list<const Matrix*>{&relu_inputs, &h, relu2_inputs, &out})
        WEXO_CHECK(written != &x && written != &w && written != &w2, "matrix product output aliases an input");
    WEXO_CHECK(&relu_inputs != &h && &out != &h && &out != &relu_inputs && relu2_inputs != &out &&
                   relu2_inputs != &h && relu2_inputs != &relu_inputs,
               "matrix product outputs alias each other");
    const std::size_t m = x.n_rows, n = w.n_cols, n2 = w2.n_cols;
    relu_inputs.reshape_for_overwrite(m, n);
    h.reshape_for_overwrite(m, n);
    out.reshape_for_overwrite(m, n2);
    if (relu2_inputs) relu2_inputs->reshape_for_overwrite(m, n2);
    kernels::dense_pair({m, x.n_cols, n, n2, x.values.data(), x.n_cols, w.values.data(), w.n_cols, b.data(), n2,
                         b2.data(), relu_inputs.values.data(), h.values.data(),
                         relu2_inputs ? relu2_inputs->values.data() : nullptr, out.values.data()},
                        w2.values.data());
}

}  // namespace wexo
