// expf and logf four lanes at a time. glibc's (from Arm's optimized-routines) evaluate a short polynomial in
// double around a table entry; on a processor with FMA it uses fused multiply-adds. Done here with the same
// tables, constants and operations in the same order, each lane's result is bit for bit the library's, and a
// batch costs a fraction of one call per element. Lanes outside the polynomial's range go to the library itself.
#include "core/libm.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "core/simd.h"

#ifdef WEXO_X86_64
#include <immintrin.h>
#endif

namespace wexo::libm {
namespace {

// 2^(i/32) as double bit patterns less i << 47, so that adding k << 47 scales by 2^(k/32)
constexpr std::uint64_t kExpTable[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51, 0x3fef72b83c7d517b,
    0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1, 0x3fef06fe0a31b715, 0x3feef1a7373aa9cb,
    0x3feedea64c123422, 0x3feece086061892d, 0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429,
    0x3feea47eb03a5585, 0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d, 0x3feee89f995ad3ad,
    0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069, 0x3fef5818dcfba487, 0x3fef7c97337b9b5f,
    0x3fefa4afa2a490da, 0x3fefd0765b6e4540};
constexpr std::uint64_t kExpInvLn2N = 0x40471547652b82fe;  // 32 / ln 2
constexpr std::uint64_t kExpShift = 0x4338000000000000;    // 1.5 * 2^52: adding it rounds to an integer
constexpr std::uint64_t kExpPoly[3] = {0x3ebc6af84b912394, 0x3f2ebfce50fac4f3, 0x3f962e42ff0c52d6};

// {1/c, log c} for the 16 subintervals of [0x3f330000, 2 * 0x3f330000) as floats
constexpr std::uint64_t kLogTable[32] = {
    0x3ff661ec79f8f3be, 0xbfd57bf7808caade, 0x3ff571ed4aaf883d, 0xbfd2bef0a7c06ddb, 0x3ff49539f0f010b0,
    0xbfd01eae7f513a67, 0x3ff3c995b0b80385, 0xbfcb31d8a68224e9, 0x3ff30d190c8864a5, 0xbfc6574f0ac07758,
    0x3ff25e227b0b8ea0, 0xbfc1aa2bc79c8100, 0x3ff1bb4a4a1a343f, 0xbfba4e76ce8c0e5e, 0x3ff12358f08ae5ba,
    0xbfb1973c5a611ccc, 0x3ff0953f419900a7, 0xbfa252f438e10c1e, 0x3ff0000000000000, 0x0000000000000000,
    0x3fee608cfd9a47ac, 0x3faaa5aa5df25984, 0x3feca4b31f026aa0, 0x3fbc5e53aa362eb4, 0x3feb2036576afce6,
    0x3fc526e57720db08, 0x3fe9c2d163a1aa2d, 0x3fcbc2860d224770, 0x3fe886e6037841ed, 0x3fd1058bc8a07ee1,
    0x3fe767dcf5534862, 0x3fd4043057b6ee09};
constexpr std::uint64_t kLogLn2 = 0x3fe62e42fefa39ef;
constexpr std::uint64_t kLogPoly[3] = {0xbfd00ea348b88334, 0x3fd5575b0be00b6a, 0xbfdffffef20a4123};
constexpr std::uint32_t kLogOff = 0x3f330000;

// Where the two ways of rounding disagree (-63.0997...), then a spread of softmax-like and probability-like inputs.
constexpr std::uint32_t kExpProbes[] = {0xc27c65d9, 0x00000000, 0x80000000, 0xbf800000, 0xc0000000, 0xbe4ccccd,
                                        0xc1200000, 0xc2a00000, 0xbc23d70a, 0xc0490fdb, 0x3f800000, 0x42b00000,
                                        0xc2cff1b5, 0xbf317218, 0xc1a00000, 0xb3d6bf95};
constexpr std::uint32_t kLogProbes[] = {0x33d6bf95, 0x3f7ffffe, 0x3f000000, 0x3e4ccccd, 0x3f7ae148, 0x3c23d70a,
                                        0x3f317218, 0x3f800001, 0x40490fdb, 0x3dcccccd, 0x38d1b717, 0x3f666666,
                                        0x3f3504f3, 0x3ea8f5c3, 0x3f59999a, 0x00800000};
constexpr std::size_t kProbeCount = 16;
static_assert(std::size(kExpProbes) == kProbeCount && std::size(kLogProbes) == kProbeCount);

#ifdef WEXO_X86_64

WEXO_AVX2_FMA inline __m256d splat(std::uint64_t bits) {
    return _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(bits)));
}

// Four lanes whose exponent field is below that of 88.0f; the others are the caller's.
WEXO_AVX2_FMA inline __m128 exp4(__m128 x) {
    const __m256d xd = _mm256_cvtps_pd(x);
    const __m256d inv_ln2_n = splat(kExpInvLn2N), shift = splat(kExpShift);
    const __m256d shifted = _mm256_fmadd_pd(inv_ln2_n, xd, shift);
    const __m256d kd = _mm256_sub_pd(shifted, shift);
    const __m256d r = _mm256_fmsub_pd(inv_ln2_n, xd, kd);
    const __m256i ki = _mm256_castpd_si256(shifted);
    // four table reads; a gather instruction is slower on some processors
    alignas(32) std::uint64_t index[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(index), _mm256_and_si256(ki, _mm256_set1_epi64x(31)));
    __m256i t = _mm256_set_epi64x(static_cast<long long>(kExpTable[index[3]]), static_cast<long long>(kExpTable[index[2]]),
                                  static_cast<long long>(kExpTable[index[1]]), static_cast<long long>(kExpTable[index[0]]));
    t = _mm256_add_epi64(t, _mm256_slli_epi64(ki, 47));
    const __m256d s = _mm256_castsi256_pd(t);
    const __m256d z = _mm256_fmadd_pd(splat(kExpPoly[0]), r, splat(kExpPoly[1]));
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = _mm256_fmadd_pd(r, splat(kExpPoly[2]), _mm256_set1_pd(1.0));
    y = _mm256_fmadd_pd(z, r2, y);
    return _mm256_cvtpd_ps(_mm256_mul_pd(y, s));
}

// Four lanes of normal, positive, finite inputs other than 1.0; the others are the caller's.
WEXO_AVX2_FMA inline __m128 log4(__m128i ix) {
    const __m128i tmp = _mm_sub_epi32(ix, _mm_set1_epi32(static_cast<int>(kLogOff)));
    const __m128i i = _mm_and_si128(_mm_srli_epi32(tmp, 19), _mm_set1_epi32(15));
    const __m128i k = _mm_srai_epi32(tmp, 23);
    const __m128i iz = _mm_sub_epi32(ix, _mm_and_si128(tmp, _mm_set1_epi32(static_cast<int>(0xff800000u))));
    alignas(16) std::uint32_t index[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(index), i);
    const auto* table = reinterpret_cast<const double*>(kLogTable);
    const __m256d invc = _mm256_set_pd(table[2 * index[3]], table[2 * index[2]], table[2 * index[1]], table[2 * index[0]]);
    const __m256d logc =
        _mm256_set_pd(table[2 * index[3] + 1], table[2 * index[2] + 1], table[2 * index[1] + 1], table[2 * index[0] + 1]);
    const __m256d z = _mm256_cvtps_pd(_mm_castsi128_ps(iz));
    const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
    const __m256d y0 = _mm256_fmadd_pd(_mm256_cvtepi32_pd(k), splat(kLogLn2), logc);
    __m256d y = _mm256_fmadd_pd(r, splat(kLogPoly[1]), splat(kLogPoly[2]));
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d sum = _mm256_add_pd(r, y0);
    y = _mm256_fmadd_pd(r2, splat(kLogPoly[0]), y);
    return _mm256_cvtpd_ps(_mm256_fmadd_pd(r2, y, sum));
}

// Lanes whose bit in `special` is set are recomputed from `original` by `f`, the library function.
template <class F>
void redo_lanes(float* out, const float* original, int special, F f) {
    for (int l = 0; l < 4; ++l)
        if (special & (1 << l)) out[l] = f(original[l]);
}

WEXO_AVX2_FMA void exp_avx2(float* v, std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128 x = _mm_loadu_ps(v + i);
        // an exponent field (bits 20 to 30) above that of 88.0f: overflow, underflow, infinities, NaN
        const __m128i top = _mm_and_si128(_mm_srli_epi32(_mm_castps_si128(x), 20), _mm_set1_epi32(0x7ff));
        const int special = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(top, _mm_set1_epi32(0x42a))));
        _mm_storeu_ps(v + i, exp4(x));
        if (special) [[unlikely]] {
            float original[4];
            _mm_storeu_ps(original, x);
            redo_lanes(v + i, original, special, [](float a) { return std::exp(a); });
        }
    }
    for (; i < n; ++i) v[i] = std::exp(v[i]);
}

WEXO_AVX2_FMA void log_avx2(float* v, std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i ix = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        // 1.0, and outside [2^-126, inf): zero, subnormal, negative, inf, NaN. Unsigned ix - 2^23 >= 0x7f000000,
        // as a signed comparison with the sign bit flipped.
        const __m128i flip = _mm_set1_epi32(static_cast<int>(0x80000000u));
        const __m128i shifted = _mm_xor_si128(_mm_sub_epi32(ix, _mm_set1_epi32(0x00800000)), flip);
        const __m128i outside = _mm_cmpgt_epi32(shifted, _mm_set1_epi32(static_cast<int>(0x7effffffu ^ 0x80000000u)));
        const __m128i one = _mm_cmpeq_epi32(ix, _mm_set1_epi32(0x3f800000));
        const int special = _mm_movemask_ps(_mm_castsi128_ps(_mm_or_si128(outside, one)));
        _mm_storeu_ps(v + i, log4(ix));
        if (special) [[unlikely]] {
            float original[4];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(original), ix);
            redo_lanes(v + i, original, special, [](float a) { return std::log(a); });
        }
    }
    for (; i < n; ++i) v[i] = std::log(v[i]);
}

// The library's own result, computed at run time: a compiler may fold expf of a constant to the correctly
// rounded value, which is not always the library's.
template <class F>
std::uint32_t library_bits(F f, std::uint32_t input_bits) {
    float x = std::bit_cast<float>(input_bits);
    asm("" : "+x"(x));  // x is no longer a known constant
    return std::bit_cast<std::uint32_t>(f(x));
}

template <class F, class Vectorised>
bool agrees_on(const std::uint32_t (&probes)[kProbeCount], F f, Vectorised vectorised) {
    float v[kProbeCount];
    for (std::size_t i = 0; i < kProbeCount; ++i) v[i] = std::bit_cast<float>(probes[i]);
    vectorised(v, kProbeCount);
    for (std::size_t i = 0; i < kProbeCount; ++i)
        if (std::bit_cast<std::uint32_t>(v[i]) != library_bits(f, probes[i])) return false;
    return true;
}

bool library_agrees() {
    if (!simd::has_avx2_fma()) return false;
    return agrees_on(kExpProbes, [](float x) { return std::exp(x); }, exp_avx2) &&
           agrees_on(kLogProbes, [](float x) { return std::log(x); }, log_avx2);
}

#endif  // WEXO_X86_64

}  // namespace

bool vectorised() {
#ifdef WEXO_X86_64
    static const bool agrees = library_agrees();  // a fact about this process's processor and C library
    return agrees;
#else
    return false;
#endif
}

void exp_in_place(float* v, std::size_t n) {
#ifdef WEXO_X86_64
    if (vectorised()) return exp_avx2(v, n);
#endif
    for (std::size_t i = 0; i < n; ++i) v[i] = std::exp(v[i]);
}

void log_in_place(float* v, std::size_t n) {
#ifdef WEXO_X86_64
    if (vectorised()) return log_avx2(v, n);
#endif
    for (std::size_t i = 0; i < n; ++i) v[i] = std::log(v[i]);
}

}  // namespace wexo::libm
