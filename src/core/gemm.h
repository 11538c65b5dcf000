// The single-precision matrix product every dense step goes through.
#pragma once

#include "core/matrix.h"

namespace wexo {

// c <- op(a) * op(b), op transposing when the flag is set: op(a): (m, k), op(b): (k, n) -> c: (m, n).
// Checks the shapes and that every dimension fits the BLAS integer; reshapes c (keeping its capacity).
void gemm(const Matrix& a, bool transpose_a, const Matrix& b, bool transpose_b, Matrix& c);

}  // namespace wexo
