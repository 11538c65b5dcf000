// The only unit that multiplies through OpenBLAS. Products small enough to live in cache run in the kernels of
// core/kernels.cpp instead.
#include "core/gemm.h"

#include <algorithm>
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
        const auto sgemm = openblas::functions().sgemm;
        run_blas(threads_pay(double(m), double(n), double(k)), [&] {
            sgemm(CblasRowMajor, transpose_a ? CblasTrans : CblasNoTrans,
                              transpose_b ? CblasTrans : CblasNoTrans, bm, bn, bk, 1.0f, a.values.data(), lda,
                              b.values.data(), ldb, 0.0f, c.values.data(), ldc);
        });
    }
    if (deferred) apply_epilogue(m, n, c.values.data(), f);
    sum_columns_of_b();
}

}  // namespace wexo
