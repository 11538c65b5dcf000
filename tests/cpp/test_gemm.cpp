// The GEMM wrapper: products with transpose flags, shape checks, capacity reuse.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/gemm.h"
#include "core/simd.h"
#include "support.h"

using wexo::test_support::bits;
using wexo::test_support::integers;
using wexo::test_support::kNaN;
using wexo::test_support::matrix;

using wexo::Matrix;

namespace {

float element(const Matrix& m, bool transposed, std::size_t i, std::size_t j) {
    return transposed ? m.at(j, i) : m.at(i, j);
}

Matrix reference(const Matrix& a, bool ta, const Matrix& b, bool tb, const float* add_row, bool relu,
                 Matrix* kept) {
    const std::size_t m = ta ? a.n_cols : a.n_rows, k = ta ? a.n_rows : a.n_cols, n = tb ? b.n_rows : b.n_cols;
    Matrix c(m, n);
    if (kept) *kept = Matrix(m, n);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            float s = 0.0f;
            for (std::size_t p = 0; p < k; ++p) s += element(a, ta, i, p) * element(b, tb, p, j);
            if (add_row) s += add_row[j];
            if (kept) kept->at(i, j) = s;
            c.at(i, j) = relu && s < 0.0f ? 0.0f : s;
        }
    return c;
}

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

// Every kernel path (wide or narrow outputs, long or short inner dimensions, tails of each, transposed or not, and
// the sizes left to OpenBLAS) against a plain triple loop.
TEST(Gemm, EveryShapePathMatchesThePlainProduct) {
    const std::size_t sizes[] = {1, 2, 3, 7, 8, 9, 17, 64, 70, 300};
    unsigned seed = 0;
    for (const std::size_t m : sizes)
        for (const std::size_t n : sizes)
            for (const std::size_t k : {std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{19}, std::size_t{64}})
                for (const int flags : {0, 1, 2}) {  // NN, TN, NT
                    const bool ta = flags == 1, tb = flags == 2;
                    const Matrix a = ta ? integers(k, m, ++seed) : integers(m, k, ++seed);
                    const Matrix b = tb ? integers(n, k, ++seed) : integers(k, n, ++seed);
                    Matrix c;
                    wexo::gemm(a, ta, b, tb, c);
                    ASSERT_EQ(c, reference(a, ta, b, tb, nullptr, false, nullptr))
                        << "m " << m << " n " << n << " k " << k << " flags " << flags;
                }
}

TEST(Gemm, EpilogueAddsTheRowThenKeepsAndAppliesRelu) {
    for (const std::size_t n : {std::size_t{3}, std::size_t{64}, std::size_t{70}})
        for (const std::size_t m : {std::size_t{5}, std::size_t{300}, std::size_t{3000}}) {  // 3000 x 64 x 70: OpenBLAS
            const Matrix a = integers(m, 70, 1), b = integers(70, n, 2), bias = integers(1, n, 3);
            Matrix c, kept, want_kept;
            wexo::gemm(a, false, b, false, c, {bias.values.data(), &kept});
            EXPECT_EQ(c, reference(a, false, b, false, bias.values.data(), true, &want_kept)) << m << " x " << n;
            EXPECT_EQ(kept, want_kept);
            wexo::gemm(a, false, b, false, c, {bias.values.data(), nullptr});
            EXPECT_EQ(c, reference(a, false, b, false, bias.values.data(), false, nullptr));
        }
}

TEST(Gemm, EpilogueReluLetsNaNThrough) {
    for (const std::size_t n : {std::size_t{3}, std::size_t{8}}) {  // the scalar and the vector epilogue
        const Matrix a = matrix(1, 1, {1});
        Matrix b(1, n);
        b.values[0] = kNaN;
        b.values[1] = -2.0f;
        b.values[2] = 3.0f;
        Matrix c, kept;
        wexo::gemm(a, false, b, false, c, {nullptr, &kept});
        EXPECT_TRUE(std::isnan(c.values[0]));
        EXPECT_EQ(c.values[1], 0.0f);
        EXPECT_EQ(c.values[2], 3.0f);
        EXPECT_EQ(kept.values[1], -2.0f);
    }
}

// The relu-derivative mask on every kernel path, including OpenBLAS's, a mask wider than c, NaN and -0.0 in it,
// and a combination no kernel variant has (bias and mask), which takes the separate pass.
TEST(Gemm, EpilogueMaskZeroesWhereThePreActivationIsNotPositive) {
    const float pattern[] = {1.0f, -1.0f, 0.0f, -0.0f, kNaN, 2.0f, -3.0f};
    for (const std::size_t n : {std::size_t{3}, std::size_t{64}, std::size_t{70}})
        for (const std::size_t m : {std::size_t{5}, std::size_t{300}, std::size_t{3000}})
            for (const int flags : {0, 1, 2})
                for (const std::size_t k : {std::size_t{3}, std::size_t{10}, std::size_t{70}}) {  // 3: b in registers;
                                                                                                // 10: a x b^T through b^T's rows
                    const bool ta = flags == 1, tb = flags == 2;
                    const Matrix a = ta ? integers(k, m, 4) : integers(m, k, 4);
                    const Matrix b = tb ? integers(n, k, 5) : integers(k, n, 5);
                    Matrix mask(m, n + 2);
                    for (std::size_t q = 0; q < mask.size(); ++q) mask.values[q] = pattern[(q * 5) % 7];
                    Matrix want = reference(a, ta, b, tb, nullptr, false, nullptr);
                    for (std::size_t i = 0; i < m; ++i)
                        for (std::size_t j = 0; j < n; ++j)
                            if (mask.at(i, j) <= 0.0f) want.at(i, j) = 0.0f;
                    Matrix c;
                    wexo::gemm(a, ta, b, tb, c, {nullptr, nullptr, &mask});
                    ASSERT_EQ(bits(c.values), bits(want.values)) << m << " x " << n << " x " << k << " flags " << flags;

                    const Matrix bias = integers(1, n, 6);
                    want = reference(a, ta, b, tb, bias.values.data(), false, nullptr);
                    for (std::size_t i = 0; i < m; ++i)
                        for (std::size_t j = 0; j < n; ++j)
                            if (mask.at(i, j) <= 0.0f) want.at(i, j) = 0.0f;
                    wexo::gemm(a, ta, b, tb, c, {bias.values.data(), nullptr, &mask});
                    ASSERT_EQ(bits(c.values), bits(want.values)) << "with bias, " << m << " x " << n;
                }
    const Matrix a = integers(4, 3, 1), b = integers(3, 5, 2), small(4, 4);
    Matrix c;
    EXPECT_THROW(wexo::gemm(a, false, b, false, c, {nullptr, nullptr, &small}), wexo::Abort);
}

// Inner dimensions of 1 to 3 keep the whole of b in registers; every column-block width, and blocks past 64
// columns, with each epilogue.
TEST(Gemm, TinyInnerDimensionsMatchThePlainProduct) {
    for (const std::size_t k : {1, 2, 3})
        for (const std::size_t n : {8, 16, 24, 32, 40, 48, 56, 64, 72, 128, 136, 208})
            for (const std::size_t m : {1, 5, 300})
                for (const int flags : {0, 1, 2}) {
                    const bool ta = flags == 1, tb = flags == 2;
                    const Matrix a = ta ? integers(k, m, 7) : integers(m, k, 7);
                    const Matrix b = tb ? integers(n, k, 8) : integers(k, n, 8);
                    const Matrix bias = integers(1, n, 9);
                    Matrix c, kept, want_kept;
                    wexo::gemm(a, ta, b, tb, c);
                    ASSERT_EQ(c, reference(a, ta, b, tb, nullptr, false, nullptr)) << m << " " << n << " " << k;
                    wexo::gemm(a, ta, b, tb, c, {bias.values.data(), &kept});
                    ASSERT_EQ(c, reference(a, ta, b, tb, bias.values.data(), true, &want_kept));
                    ASSERT_EQ(kept, want_kept);
                }
}

// Outputs of one vector and a part (10 classes) have their own paths once a product is long enough, on processors
// with AVX-512: a x b through b's columns, a^T x b through c^T, with each epilogue and b's column sums. Short ones,
// and all of them elsewhere, go to OpenBLAS.
TEST(Gemm, NarrowOutputsOfLongProductsMatchThePlainProduct) {
    for (const std::size_t n : {9, 10, 15})
        for (const std::size_t rows : {5, 1100}) {  // 1100 x 9 x 128 is past 2^20 multiply-adds
            const Matrix a = integers(rows, 128, 11), b = integers(128, n, 12), bias = integers(1, n, 13);
            Matrix c, kept, want_kept;
            wexo::gemm(a, false, b, false, c, {bias.values.data(), &kept});
            ASSERT_EQ(c, reference(a, false, b, false, bias.values.data(), true, &want_kept)) << rows << " x " << n;
            ASSERT_EQ(kept, want_kept);

            const Matrix g = integers(rows, n, 14);  // the gradient of a layer whose inputs are a
            std::vector<float> sums(n, kNaN), want(n, 0.0f);
            for (std::size_t p = 0; p < rows; ++p)
                for (std::size_t j = 0; j < n; ++j) want[j] += g.at(p, j);
            wexo::gemm(a, true, g, false, c, {nullptr, nullptr, nullptr, sums.data()});
            ASSERT_EQ(c, reference(a, true, g, false, nullptr, false, nullptr)) << rows << " x " << n;
            ASSERT_EQ(sums, want);
        }
}

// The column sums of b that a product can take on its way through b (a dense layer's bias gradient): every
// path, fused or not, and the product itself unchanged by asking for them.
TEST(Gemm, ColumnSumsOfBComeWithTheProduct) {
    unsigned seed = 0;
    for (const std::size_t m : {0, 1, 2, 3, 4, 7, 64})
        for (const std::size_t n : {1, 3, 8, 13, 64, 70})
            for (const std::size_t k : {0, 1, 3, 5, 300})
                for (const bool ta : {false, true})
                    for (const bool bias : {false, true}) {
                        const Matrix a = ta ? integers(k, m, ++seed) : integers(m, k, ++seed);
                        const Matrix b = integers(k, n, ++seed), row = integers(1, n, ++seed);
                        std::vector<float> want(n, 0.0f), sums(n, kNaN);
                        for (std::size_t p = 0; p < k; ++p)
                            for (std::size_t j = 0; j < n; ++j) want[j] += b.at(p, j);
                        Matrix c, plain;
                        const float* add_row = bias ? row.values.data() : nullptr;
                        wexo::gemm(a, ta, b, false, plain, {add_row});
                        wexo::gemm(a, ta, b, false, c, {add_row, nullptr, nullptr, sums.data()});
                        ASSERT_EQ(c, plain) << "m " << m << " n " << n << " k " << k << " ta " << ta;
                        ASSERT_EQ(sums, want) << "m " << m << " n " << n << " k " << k << " ta " << ta;
                    }
    Matrix c;
    std::vector<float> sums(2);
    EXPECT_THROW(wexo::gemm(Matrix(3, 2), false, Matrix(2, 2), true, c, {nullptr, nullptr, nullptr, sums.data()}),
                 wexo::Abort);
}

// Fused, the sums add row by row as the standalone pass does, so rounding is the same: a spiral layer's shape.
TEST(Gemm, FusedColumnSumsAddRowByRow) {
    Matrix x(300, 2), g(300, 64);
    for (std::size_t i = 0; i < x.size(); ++i) x.values[i] = std::sin(0.37f * static_cast<float>(i));
    for (std::size_t i = 0; i < g.size(); ++i) g.values[i] = std::cos(1.3f * static_cast<float>(i)) * 1e-3f;
    wexo::Vector want(64, 0.0f), sums(64);
    for (std::size_t p = 0; p < 300; ++p)
        for (std::size_t j = 0; j < 64; ++j) want[j] += g.at(p, j);
    Matrix dw;
    wexo::gemm(x, true, g, false, dw, {nullptr, nullptr, nullptr, sums.data()});
    EXPECT_EQ(bits(sums), bits(want));
}

namespace {

// Values with fractions and signs of all kinds, so that any change in the order of the additions shows in the bits.
Matrix fractions(std::size_t rows, std::size_t cols, float scale) {
    Matrix m(rows, cols);
    for (std::size_t k = 0; k < m.size(); ++k) m.values[k] = std::sin(scale * static_cast<float>(k + 1)) * scale;
    return m;
}

}  // namespace

// A first layer's weight and bias gradients straight from the gradient above: the bits of building the masked
// input gradient and then its product, for every column-block width, term count and row count the chain takes,
// with pre-activations that are negative, zero, -0.0 and NaN, and a mask wider than the product.
TEST(Gemm, MaskedChainGivesTheBitsOfItsTwoProducts) {
    for (const std::size_t m : {1, 2, 3, 5, 300})
        for (const std::size_t n : {8, 16, 24, 64, 72, 128, 200})
            for (const std::size_t k : {1, 2, 3, 4, 10, 16})
                for (const std::size_t r : {1, 2, 3}) {
                    const Matrix g = fractions(m, k, 0.37f), w = fractions(n, k, 1.3f), x = fractions(m, r, 0.71f);
                    Matrix z = fractions(m, n + 3, 0.9f);
                    for (std::size_t q = 0; q < z.size(); q += 7) z.values[q] = q % 3 == 0 ? kNaN : q % 3 == 1 ? 0.0f : -0.0f;
                    ASSERT_TRUE(wexo::gemm_masked_chain_fits(g, w, z, x)) << m << " " << n << " " << k << " " << r;
                    Matrix h, want, dw;
                    wexo::Vector want_sums(n), sums;
                    wexo::gemm(g, false, w, true, h, {.relu_mask = &z});
                    wexo::gemm(x, true, h, false, want, {.b_column_sums = want_sums.data()});
                    wexo::gemm_masked_chain(g, w, z, x, dw, sums);
                    ASSERT_EQ(bits(dw.values), bits(want.values)) << m << " " << n << " " << k << " " << r;
                    ASSERT_EQ(bits(sums), bits(want_sums)) << m << " " << n << " " << k << " " << r;
                    ASSERT_EQ(dw.shape().n_rows, r);
                }
}

// Where the separate products would not both run in the cache kernels, or the shapes do not fit, the chain is not
// taken and asking for it anyway aborts.
TEST(Gemm, MaskedChainOnlyWhereItsProductsRunInTheCacheKernels) {
    const auto fits = [](std::size_t m, std::size_t n, std::size_t k, std::size_t r, std::size_t z_cols = 0) {
        return wexo::gemm_masked_chain_fits(Matrix(m, k), Matrix(n, k), Matrix(m, z_cols ? z_cols : n), Matrix(m, r));
    };
    EXPECT_TRUE(fits(300, 64, 3, 2));
    EXPECT_FALSE(fits(300, 60, 3, 2));     // not whole vectors
    EXPECT_FALSE(fits(300, 64, 17, 2));    // too many terms
    EXPECT_FALSE(fits(300, 64, 3, 4));     // too many rows of x^T
    EXPECT_TRUE(fits(2048, 64, 3, 2));     // 2^18 multiply-adds
    EXPECT_FALSE(fits(2049, 64, 3, 2));    // past them: OpenBLAS's
    EXPECT_FALSE(fits(0, 64, 3, 2));
    EXPECT_FALSE(fits(300, 64, 3, 2, 63));  // a mask that does not cover h
    EXPECT_FALSE(wexo::gemm_masked_chain_fits(Matrix(300, 3), Matrix(64, 2), Matrix(300, 64), Matrix(300, 2)));
    EXPECT_FALSE(wexo::gemm_masked_chain_fits(Matrix(300, 3), Matrix(64, 3), Matrix(300, 64), Matrix(299, 2)));
    Matrix dw;
    wexo::Vector sums;
    EXPECT_THROW(wexo::gemm_masked_chain(Matrix(300, 3), Matrix(60, 3), Matrix(300, 60), Matrix(300, 2), dw, sums),
                 wexo::Abort);
}

// A narrow dense layer with relu and the few outputs above it in one pass: the bits of the two products with their
// epilogues (pre-activations, relu, biases), for every width and output count the pair takes, with and without relu
// on top, and row counts around the groups the separate product takes rows in.
TEST(Gemm, DensePairGivesTheBitsOfItsTwoProducts) {
    for (const std::size_t m : {1, 2, 3, 4, 5, 7, 300, 301})
        for (const std::size_t k : {1, 2, 3})
            for (const std::size_t n : {16, 32, 48, 64})
                for (const std::size_t n2 : {1, 2, 3, 4})
                    for (const bool relu2 : {false, true}) {
                        Matrix x = fractions(m, k, 0.37f);
                        x.values[m * k / 2] = kNaN;
                        const Matrix w = fractions(k, n, 1.3f), w2 = fractions(n, n2, 0.71f);
                        const wexo::Vector b = fractions(1, n, 0.5f).values, b2 = fractions(1, n2, 0.9f).values;
                        ASSERT_EQ(wexo::gemm_dense_pair_fits(x, w, b, w2, b2), wexo::simd::has_avx512());
                        if (!wexo::simd::has_avx512()) continue;
                        Matrix z, h, out, z2, want_z, want_h, want_out, want_z2;
                        wexo::gemm(x, false, w, false, want_h, {b.data(), &want_z});
                        wexo::gemm(want_h, false, w2, false, want_out, {b2.data(), relu2 ? &want_z2 : nullptr});
                        wexo::gemm_dense_pair(x, w, b, z, h, w2, b2, relu2 ? &z2 : nullptr, out);
                        const auto where = [&] { return testing::Message() << m << " " << k << " " << n << " " << n2; };
                        ASSERT_EQ(bits(z.values), bits(want_z.values)) << where();
                        ASSERT_EQ(bits(h.values), bits(want_h.values)) << where();
                        ASSERT_EQ(bits(out.values), bits(want_out.values)) << where();
                        ASSERT_EQ(bits(z2.values), bits(want_z2.values)) << where();
                        ASSERT_EQ(out.shape().n_cols, n2);
                    }
}

// Shapes the pair does not take run as two products; asking for the pair anyway aborts.
TEST(Gemm, DensePairOnlyWhereItsProductsRunInItsKernels) {
    const auto fits = [](std::size_t m, std::size_t k, std::size_t n, std::size_t n2, std::size_t biases = 0) {
        return wexo::gemm_dense_pair_fits(Matrix(m, k), Matrix(k, n), wexo::Vector(biases ? biases : n),
                                          Matrix(n, n2), wexo::Vector(n2));
    };
    EXPECT_EQ(fits(300, 2, 64, 3), wexo::simd::has_avx512());
    EXPECT_FALSE(fits(300, 2, 8, 3));     // not a multiple of sixteen
    EXPECT_FALSE(fits(300, 2, 80, 3));    // wider than the registers hold
    EXPECT_FALSE(fits(300, 2, 64, 5));    // more outputs above
    EXPECT_FALSE(fits(300, 4, 64, 3));    // more inputs
    EXPECT_FALSE(fits(1366, 3, 64, 1));   // past 2^18 multiply-adds
    EXPECT_FALSE(fits(0, 2, 64, 3));
    EXPECT_FALSE(fits(300, 2, 64, 3, 63));  // too few biases: the separate pass reports it
    EXPECT_FALSE(wexo::gemm_dense_pair_fits(Matrix(300, 2), Matrix(3, 64), wexo::Vector(64), Matrix(64, 3),
                                            wexo::Vector(3)));
    Matrix z, h, out;
    EXPECT_THROW(wexo::gemm_dense_pair(Matrix(300, 2), Matrix(2, 8), wexo::Vector(8), z, h, Matrix(8, 3),
                                       wexo::Vector(3), nullptr, out),
                 wexo::Abort);
}
