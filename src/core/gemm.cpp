// The only unit that talks to OpenBLAS.
#include "core/gemm.h"

#include <cblas.h>

#include <algorithm>
#include <limits>

namespace wexo {

namespace {

blasint blas_dim(std::size_t n) {
    WEXO_CHECK(n <= static_cast<std::size_t>(std::numeric_limits<blasint>::max()),
               "matrix dimension " + std::to_string(n) + " exceeds the BLAS integer range");
    return static_cast<blasint>(n);
}

}  // namespace

std::string shape_text(const Matrix& m) {
    std::string s;
    s.append("(").append(std::to_string(m.n_rows)).append(", ").append(std::to_string(m.n_cols)).append(")");
    return s;
}

void gemm(const Matrix& a, bool transpose_a, const Matrix& b, bool transpose_b, Matrix& c) {
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
    WEXO_CHECK(&a != &c && &b != &c, "matrix product output aliases an input");
    c.reshape(m, n);
    if (m == 0 || n == 0) return;
    if (k == 0) {
        std::fill(c.values.begin(), c.values.end(), 0.0f);
        return;
    }
    const blasint bm = blas_dim(m), bn = blas_dim(n), bk = blas_dim(k);
    // Leading dimensions are the stored column counts; an empty one still must be at least 1.
    const blasint lda = blas_dim(std::max<std::size_t>(a.n_cols, 1));
    const blasint ldb = blas_dim(std::max<std::size_t>(b.n_cols, 1));
    const blasint ldc = blas_dim(std::max<std::size_t>(n, 1));
    scipy_cblas_sgemm(CblasRowMajor, transpose_a ? CblasTrans : CblasNoTrans, transpose_b ? CblasTrans : CblasNoTrans,
                      bm, bn, bk, 1.0f, a.values.data(), lda, b.values.data(), ldb, 0.0f, c.values.data(), ldc);
}

}  // namespace wexo
