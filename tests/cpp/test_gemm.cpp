// The GEMM wrapper: products with transpose flags, shape checks, capacity reuse.
#include <gtest/gtest.h>

#include "core/gemm.h"
#include "support.h"

using wexo::test_support::bits;
using wexo::test_support::kNaN;
using wexo::test_support::matrix;

using wexo::Matrix;

namespace {
}  // namespace

TEST(Gemm, TransposeFlagsMatchExplicitProducts) {
    const Matrix a = matrix(2, 3, {1, 2, 3, 4, 5, 6});
    const Matrix b = matrix(3, 2, {7, 8, 9, 10, 11, 12});
    Matrix c;
    wexo::gemm(a, false, b, false, c);
    EXPECT_EQ(c, matrix(2, 2, {58, 64, 139, 154}));
    wexo::gemm(a, true, a, false, c);  // a^T a: (3, 3)
    EXPECT_EQ(c, matrix(3, 3, {17, 22, 27, 22, 29, 36, 27, 36, 45}));
    wexo::gemm(a, false, a, true, c);  // a a^T: (2, 2)
    EXPECT_EQ(c, matrix(2, 2, {14, 32, 32, 77}));
}

TEST(Gemm, ShapeMismatchAborts) {
    Matrix c;
    EXPECT_THROW(wexo::gemm(Matrix(2, 3), false, Matrix(2, 3), false, c), wexo::Abort);
}

TEST(Gemm, EmptyInnerDimensionGivesZeros) {
    Matrix c = matrix(1, 1, {5});
    wexo::gemm(Matrix(2, 0), false, Matrix(0, 3), false, c);
    EXPECT_EQ(c, Matrix(2, 3));
}

TEST(CheckedMul, OverflowAborts) {
    EXPECT_EQ(wexo::checked_mul(1u << 20, 1u << 20), std::size_t{1} << 40);
    EXPECT_THROW(wexo::checked_mul(std::size_t{1} << 40, std::size_t{1} << 40), wexo::Abort);
}
