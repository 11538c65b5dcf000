// expf and logf four lanes at a time, or eight with AVX-512. glibc's (from Arm's optimized-routines) evaluate a
// short polynomial in double around a table entry; on a processor with FMA it uses fused multiply-adds. Done here
// with the same tables, constants and operations in the same order, each lane's result is bit for bit the
// library's, and a batch costs a fraction of one call per element. Lanes outside the polynomial's range go to the
// library itself.
#include "core/libm.h"

#include <algorithm>
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
template <int Lanes, class F>
void redo_lanes(float* out, const float* original, int special, F f) {
    for (int l = 0; l < Lanes; ++l)
        if (special & (1 << l)) out[l] = f(original[l]);
}

// The same operations eight lanes at a time, each lane's result the same bits; the tables are read by permutes
// from registers instead of one load a lane.
#define WEXO_LIBM_AVX512 __attribute__((target("avx512f,avx2,fma")))

// The log table's 1/c and log c apart, sixteen of each: two registers each.
struct LogHalves {
    std::uint64_t invc[16], logc[16];
};
constexpr LogHalves kLogHalves = [] {
    LogHalves h{};
    for (int i = 0; i < 16; ++i) {
        h.invc[i] = kLogTable[2 * i];
        h.logc[i] = kLogTable[2 * i + 1];
    }
    return h;
}();

// Every lane: the conversions and shifts go through their zero-masked forms, which compile to the plain instructions,
// because g++ 12 warns that the plain forms start from an undefined register.
constexpr __mmask8 kAll = 0xff;

WEXO_LIBM_AVX512 inline __m512d splat8(std::uint64_t bits) {
    return _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(bits)));
}
WEXO_LIBM_AVX512 inline __m512i table_part(const std::uint64_t* t) { return _mm512_loadu_si512(t); }

struct ExpTable8 {
    __m512i t0, t1, t2, t3;  // entries 0-7, 8-15, 16-23, 24-31
};

WEXO_LIBM_AVX512 inline __m256 exp8(__m256 x, const ExpTable8& table) {
    const __m512d xd = _mm512_maskz_cvtps_pd(kAll, x);
    const __m512d inv_ln2_n = splat8(kExpInvLn2N), shift = splat8(kExpShift);
    const __m512d shifted = _mm512_fmadd_pd(inv_ln2_n, xd, shift);
    const __m512d kd = _mm512_sub_pd(shifted, shift);
    const __m512d r = _mm512_fmsub_pd(inv_ln2_n, xd, kd);
    const __m512i ki = _mm512_castpd_si512(shifted);
    // index bits 0-3 pick one of sixteen entries of a pair of registers, bit 4 the pair
    const __m512i low = _mm512_permutex2var_epi64(table.t0, ki, table.t1);
    const __m512i high = _mm512_permutex2var_epi64(table.t2, ki, table.t3);
    __m512i t = _mm512_mask_blend_epi64(_mm512_test_epi64_mask(ki, _mm512_set1_epi64(16)), low, high);
    t = _mm512_add_epi64(t, _mm512_maskz_slli_epi64(kAll, ki, 47));
    const __m512d s = _mm512_castsi512_pd(t);
    const __m512d z = _mm512_fmadd_pd(splat8(kExpPoly[0]), r, splat8(kExpPoly[1]));
    const __m512d r2 = _mm512_mul_pd(r, r);
    __m512d y = _mm512_fmadd_pd(r, splat8(kExpPoly[2]), _mm512_set1_pd(1.0));
    y = _mm512_fmadd_pd(z, r2, y);
    return _mm512_maskz_cvtpd_ps(kAll, _mm512_mul_pd(y, s));
}

struct LogTable8 {
    __m512i invc0, invc1, logc0, logc1;  // entries 0-7 and 8-15 of each
};

WEXO_LIBM_AVX512 inline __m256 log8(__m256i ix, const LogTable8& table) {
    const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32(static_cast<int>(kLogOff)));
    const __m256i i = _mm256_and_si256(_mm256_srli_epi32(tmp, 19), _mm256_set1_epi32(15));
    const __m256i k = _mm256_srai_epi32(tmp, 23);
    const __m256i iz = _mm256_sub_epi32(ix, _mm256_and_si256(tmp, _mm256_set1_epi32(static_cast<int>(0xff800000u))));
    const __m512i index = _mm512_maskz_cvtepu32_epi64(kAll, i);
    const __m512d invc = _mm512_castsi512_pd(_mm512_permutex2var_epi64(table.invc0, index, table.invc1));
    const __m512d logc = _mm512_castsi512_pd(_mm512_permutex2var_epi64(table.logc0, index, table.logc1));
    const __m512d z = _mm512_maskz_cvtps_pd(kAll, _mm256_castsi256_ps(iz));
    const __m512d r = _mm512_fmadd_pd(z, invc, _mm512_set1_pd(-1.0));
    const __m512d y0 = _mm512_fmadd_pd(_mm512_maskz_cvtepi32_pd(kAll, k), splat8(kLogLn2), logc);
    __m512d y = _mm512_fmadd_pd(r, splat8(kLogPoly[1]), splat8(kLogPoly[2]));
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d sum = _mm512_add_pd(r, y0);
    y = _mm512_fmadd_pd(r2, splat8(kLogPoly[0]), y);
    return _mm512_maskz_cvtpd_ps(kAll, _mm512_fmadd_pd(r2, y, sum));
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
            redo_lanes<4>(v + i, original, special, [](float a) { return std::exp(a); });
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
            redo_lanes<4>(v + i, original, special, [](float a) { return std::log(a); });
        }
    }
    for (; i < n; ++i) v[i] = std::log(v[i]);
}

// Eight lanes at a time, the lanes left four at a time and then one by one as above.
WEXO_LIBM_AVX512 void exp_avx512(float* v, std::size_t n) {
    const ExpTable8 table{table_part(kExpTable), table_part(kExpTable + 8), table_part(kExpTable + 16),
                          table_part(kExpTable + 24)};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 x = _mm256_loadu_ps(v + i);
        const __m256i top = _mm256_and_si256(_mm256_srli_epi32(_mm256_castps_si256(x), 20), _mm256_set1_epi32(0x7ff));
        const int special = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(top, _mm256_set1_epi32(0x42a))));
        _mm256_storeu_ps(v + i, exp8(x, table));
        if (special) [[unlikely]] {
            float original[8];
            _mm256_storeu_ps(original, x);
            redo_lanes<8>(v + i, original, special, [](float a) { return std::exp(a); });
        }
    }
    exp_avx2(v + i, n - i);
}

WEXO_LIBM_AVX512 void log_avx512(float* v, std::size_t n) {
    const LogTable8 table{table_part(kLogHalves.invc), table_part(kLogHalves.invc + 8), table_part(kLogHalves.logc),
                          table_part(kLogHalves.logc + 8)};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i ix = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i));
        const __m256i flip = _mm256_set1_epi32(static_cast<int>(0x80000000u));
        const __m256i shifted = _mm256_xor_si256(_mm256_sub_epi32(ix, _mm256_set1_epi32(0x00800000)), flip);
        const __m256i outside =
            _mm256_cmpgt_epi32(shifted, _mm256_set1_epi32(static_cast<int>(0x7effffffu ^ 0x80000000u)));
        const __m256i one = _mm256_cmpeq_epi32(ix, _mm256_set1_epi32(0x3f800000));
        const int special = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(outside, one)));
        _mm256_storeu_ps(v + i, log8(ix, table));
        if (special) [[unlikely]] {
            float original[8];
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(original), ix);
            redo_lanes<8>(v + i, original, special, [](float a) { return std::log(a); });
        }
    }
    log_avx2(v + i, n - i);
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

bool library_agrees(void (*exp_path)(float*, std::size_t), void (*log_path)(float*, std::size_t)) {
    return agrees_on(kExpProbes, [](float x) { return std::exp(x); }, exp_path) &&
           agrees_on(kLogProbes, [](float x) { return std::log(x); }, log_path);
}

// Facts about this process's processor and C library, found once.
int lanes_in_use() {
    static const int lanes = !simd::has_avx2_fma() || !library_agrees(exp_avx2, log_avx2) ? 1
                             : simd::has_avx512() && library_agrees(exp_avx512, log_avx512) ? 8
                                                                                           : 4;
    return lanes;
}

#endif  // WEXO_X86_64

}  // namespace

int lanes() {
#ifdef WEXO_X86_64
    return lanes_in_use();
#else
    return 1;
#endif
}

void exp_in_place(float* v, std::size_t n, int max_lanes) {
    const int width = std::min(lanes(), max_lanes);
#ifdef WEXO_X86_64
    if (width >= 8) return exp_avx512(v, n);
    if (width >= 4) return exp_avx2(v, n);
#endif
    for (std::size_t i = 0; i < n; ++i) v[i] = std::exp(v[i]);
}

void log_in_place(float* v, std::size_t n, int max_lanes) {
    const int width = std::min(lanes(), max_lanes);
#ifdef WEXO_X86_64
    if (width >= 8) return log_avx512(v, n);
    if (width >= 4) return log_avx2(v, n);
#endif
    for (std::size_t i = 0; i < n; ++i) v[i] = std::log(v[i]);
}

}  // namespace wexo::libm
