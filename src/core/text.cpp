// Number formatting for printed lines and model files, and whole-line writes to fd 1.
#include "core/text.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/check.h"
#include "core/shortest.h"

// The model-file number lists have an AVX-512 path, picked at run time.
#if defined(__x86_64__) && defined(__GNUC__)
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // gcc 12 flags the intrinsics' own undefined vectors
#endif
#include <immintrin.h>
#define WEXO_TEXT_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512dq,avx512cd")))
#endif

namespace wexo::text {
namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Digits of v right-aligned so that they end at `end`; returns their start.
template <class U>
char* digits_backwards(char* end, U v) {
    while (v >= 100) {
        const unsigned pair = static_cast<unsigned>(v % 100) * 2;
        v /= 100;
        end -= 2;
        end[0] = kDigitPairs[pair];
        end[1] = kDigitPairs[pair + 1];
    }
    if (v >= 10) {
        end -= 2;
        end[0] = kDigitPairs[v * 2];
        end[1] = kDigitPairs[v * 2 + 1];
    } else {
        *--end = static_cast<char>('0' + v);
    }
    return end;
}

// The shortest digits that read back to the same value: value = significand * 10^exponent, no trailing zeros.
struct Shortest {
    std::uint64_t significand;
    int exponent;
};

// The digits and exponent of a double's shortest form, from the standard library (messages only).
Shortest shortest_from_chars(char* buf, char* end) {
    // buf holds "d[.ddd]e[+-]xx" from to_chars in scientific form
    Shortest s{0, 0};
    int n_frac = 0;
    char* p = buf;
    for (; p < end && *p != 'e'; ++p) {
        if (*p == '.') continue;
        s.significand = s.significand * 10 + static_cast<unsigned>(*p - '0');
        if (p > buf + 1) ++n_frac;
    }
    ++p;  // 'e'
    const bool negative_exponent = *p == '-';
    ++p;  // sign
    int e = 0;
    for (; p < end; ++p) e = e * 10 + (*p - '0');
    s.exponent = (negative_exponent ? -e : e) - n_frac;
    return s;
}

Shortest shortest(float v) {
    const Decimal d = shortest_f32(v);
    return {d.significand, d.exponent};
}

Shortest shortest(double v) {
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    return shortest_from_chars(buf, r.ptr);
}

int digit_count(std::uint64_t v) {
    // floor(log10) from the bit width (1233 / 4096 ~ log10 2), corrected by one comparison
    const int t = static_cast<int>((std::bit_width(v | 1) * 1233) >> 12);
    return t + 1 - (v < kPow10u64[t]);
}

// v < 10^9 as exactly nine digits, leading zeros included, without divisions: y holds v / 10^8 in 57-bit
// fixed point, rounded up by less than 2e-9, which stays below the next digit boundary after four steps
// of multiplying by 100.
void put_nine_digits(char* p, std::uint32_t v) {
    constexpr std::uint64_t kMask = (std::uint64_t{1} << 57) - 1;
    std::uint64_t y = v * std::uint64_t{1441151881};  // ceil(2^57 / 10^8)
    p[0] = static_cast<char>('0' + (y >> 57));
    for (int i = 1; i < 9; i += 2) {
        y = (y & kMask) * 100;
        std::memcpy(p + i, kDigitPairs + 2 * (y >> 57), 2);
    }
}

// The n digits of v at p; a float's nine digits or fewer take the cheaper 32-bit division.
void put_digits(char* p, std::uint64_t v, int n) {
    if (v <= UINT32_MAX)
        digits_backwards(p + n, static_cast<std::uint32_t>(v));
    else
        digits_backwards(p + n, v);
}

// Positional layout of finite, non-zero |v| with shortest digits: no exponent, no trailing zeros, whole numbers
// without a point.
void append_positional(std::string& out, bool negative, Shortest s) {
    char digits[20];
    const int n = digit_count(s.significand);
    put_digits(digits, s.significand, n);
    const int e = s.exponent + n;  // value = 0.d1...dn * 10^e
    if (negative) out.push_back('-');
    if (e >= n) {
        out.append(digits, static_cast<std::size_t>(n));
        out.append(static_cast<std::size_t>(e - n), '0');
    } else if (e > 0) {
        out.append(digits, static_cast<std::size_t>(e));
        out.push_back('.');
        out.append(digits + e, static_cast<std::size_t>(n - e));
    } else {
        out.append("0.");
        out.append(static_cast<std::size_t>(-e), '0');
        out.append(digits, static_cast<std::size_t>(n));
    }
}

template <class F>
void append_shortest_positional_any(std::string& out, F v) {
    if (std::isnan(v)) {
        out.append("NaN");
    } else if (std::isinf(v)) {
        out.append(v < 0 ? "-inf" : "inf");
    } else if (v == 0) {
        out.append(std::signbit(v) ? "-0" : "0");
    } else {
        append_positional(out, std::signbit(v), shortest(std::fabs(v)));
    }
}

}  // namespace

void append_fixed(std::string& out, float v, int decimals) {
    WEXO_CHECK(decimals >= 0 && decimals <= 100, "decimal places out of range");
    if (std::isnan(v)) {
        out.append("NaN");
        return;
    }
    if (std::isinf(v)) {
        out.append(v < 0 ? "-inf" : "inf");
        return;
    }
    char buf[160];
    if (decimals <= 12) {
        // A float has 24 significant bits and 10^d = 5^d * 2^d with 5^12 < 2^29, so the product is exact in
        // a double and rounding it to an integer is rounding the exact binary value, ties to even.
        const double scaled = std::nearbyint(std::fabs(static_cast<double>(v)) * kPow10f64[decimals]);
        if (scaled < 1e18) {
            const auto n = static_cast<std::uint64_t>(scaled);
            char* end = buf + sizeof buf;
            char* p = end;
            if (decimals > 0) {
                const std::uint64_t frac = n % kPow10u64[decimals];
                char* frac_start = digits_backwards(end, frac);
                while (end - frac_start < decimals) *--frac_start = '0';
                p = frac_start;
                *--p = '.';
            }
            p = digits_backwards(p, decimals > 0 ? n / kPow10u64[decimals] : n);
            if (std::signbit(v)) *--p = '-';
            out.append(p, static_cast<std::size_t>(end - p));
            return;
        }
    }
    // Large magnitudes or many places: the C library rounds the exact value the same way.
    const int len = std::snprintf(buf, sizeof buf, "%.*f", decimals, static_cast<double>(v));
    WEXO_CHECK(len > 0 && static_cast<std::size_t>(len) < sizeof buf, "number formatting failed");
    out.append(buf, static_cast<std::size_t>(len));
}

void append_shortest_positional(std::string& out, float v) { append_shortest_positional_any(out, v); }

void append_shortest_positional_f64(std::string& out, double v) { append_shortest_positional_any(out, v); }

char* write_json_float(char* p, float v) {
    if (!std::isfinite(v)) {
        std::memcpy(p, "null", 4);
        return p + 4;
    }
    // Branch-free where the data decides (sign, digit count): random signs would mispredict every other time.
    *p = '-';
    p += std::signbit(v);
    v = std::fabs(v);
    if (v == 0) {
        std::memcpy(p, "0.0", 3);
        return p + 3;
    }
    const Shortest s = shortest(v);
    const auto sig = static_cast<std::uint32_t>(s.significand);  // at most 9 digits
    const int n = digit_count(sig);
    const int e = s.exponent + n;  // value = 0.d1...dn * 10^e
    // digits[0, 15) = six zeros and the nine-digit form; z: the significant digits preceded by six zeros
    char digits[32];
    std::memset(digits, '0', sizeof digits);
    put_nine_digits(digits + 6, sig);
    const char* z = digits + 9 - n;
    const char* d = z + 6;
    // The fixed 16-byte copies may write past the text's end, staying within kMaxJsonFloat bytes; they compile
    // to plain moves where copies of the exact length would be library calls.
    if (-6 < e && e < n) {
        // "12.5" and "0.001" are one layout: integer part (a single 0 when e <= 0), point, fraction; no branch
        // on which, since data mixes both at random
        const int n_int = std::max(e, 1);
        std::memcpy(p, z + 6 + e - n_int, 16);
        p[n_int] = '.';
        std::memcpy(p + n_int + 1, z + 6 + e, 16);
        return p + n_int + 1 + (n - e);
    }
    if (n <= e && e <= 13) {
        std::memcpy(p, d, 16);
        std::memset(p + n, '0', 16);
        std::memcpy(p + e, ".0", 2);
        return p + e + 2;
    }
    // scientific: d[.ddd]e<exp>, |exp| <= 45
    p[0] = d[0];
    p[1] = '.';
    std::memcpy(p + 2, d + 1, 16);
    p += n > 1 ? n + 1 : 1;
    *p++ = 'e';
    int exp10 = e - 1;
    if (exp10 < 0) {
        *p++ = '-';
        exp10 = -exp10;
    }
    if (exp10 >= 10) {
        std::memcpy(p, kDigitPairs + 2 * exp10, 2);
        return p + 2;
    }
    *p = static_cast<char>('0' + exp10);
    return p + 1;
}

namespace {

// Each number followed by a comma. Flattened so that the digit search and the layout inline into one loop body: a
// tenth faster than the calls.
[[gnu::flatten]] char* write_json_floats_scalar(char* p, const float* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        p = write_json_float(p, v[i]);
        *p++ = ',';
    }
    return p;
}

#ifdef WEXO_TEXT_AVX512

// The vector path builds each number's 16-byte source: the nine-digit form (significant digits last), then '0',
// '.', 'e', '-' and the two digits of |exponent|. Every layout is a byte shuffle of it, chosen by the digit count
// and the decimal exponent from a table made at compile time.
enum SourceByte : std::uint8_t { kZeroAt = 9, kPointAt = 10, kEAt = 11, kMinusAt = 12, kTensAt = 13, kUnitsAt = 14 };
constexpr int kExponentClasses = 22;  // e = -5 ... 13, then scientific: e > 13, -8 <= e < -5, e < -8
constexpr int kZeroLayout = 9 * kExponentClasses;

struct Layouts {
    std::array<std::array<std::uint8_t, 16>, kZeroLayout + 1> control{};
    std::array<std::uint8_t, kZeroLayout + 1> length{};
};

// value = 0.d1...dn * 10^e, the same rules as write_json_float
constexpr Layouts make_layouts() {
    Layouts t;
    for (int n = 1; n <= 9; ++n) {
        for (int cls = 0; cls < kExponentClasses; ++cls) {
            std::array<std::uint8_t, 16> c{};
            int len = 0;
            const auto put = [&](int at) { c[static_cast<std::size_t>(len++)] = static_cast<std::uint8_t>(at); };
            const int first = 9 - n;  // the first significant digit
            const int e = cls - 5;
            if (cls <= 18 && e <= 0) {
                put(kZeroAt);
                put(kPointAt);
                for (int z = 0; z < -e; ++z) put(kZeroAt);
                for (int i = 0; i < n; ++i) put(first + i);
            } else if (cls <= 18 && e < n) {
                for (int i = 0; i < e; ++i) put(first + i);
                put(kPointAt);
                for (int i = e; i < n; ++i) put(first + i);
            } else if (cls <= 18) {
                for (int i = 0; i < n; ++i) put(first + i);
                for (int z = 0; z < e - n; ++z) put(kZeroAt);
                put(kPointAt);
                put(kZeroAt);
            } else {
                put(first);
                if (n > 1) put(kPointAt);
                for (int i = 1; i < n; ++i) put(first + i);
                put(kEAt);
                if (cls > 19) put(kMinusAt);
                if (cls != 20) put(kTensAt);
                put(kUnitsAt);
            }
            const int at = (n - 1) * kExponentClasses + cls;
            t.control[static_cast<std::size_t>(at)] = c;
            t.length[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(len);
        }
    }
    t.control[kZeroLayout] = {kZeroAt, kPointAt, kZeroAt};
    t.length[kZeroLayout] = 3;
    return t;
}
constexpr Layouts kLayouts = make_layouts();

// floor(m * log2(10)) for the powers of ten in the digit search's table
constexpr int floor_log2_pow10(int m) { return (m * 1741647) >> 19; }
constexpr bool log2_pow10_matches_table() {
    int m = shortest_detail::kMinPow10;
    for (const shortest_detail::Pow10& p : shortest_detail::kPow10)
        if (floor_log2_pow10(m++) - 63 != p.r) return false;
    return true;
}
static_assert(log2_pow10_matches_table());

WEXO_TEXT_AVX512 inline __m512i u64s(std::uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }

// round_odd of the scalar search in eight 64-bit lanes: g * cp is 96 bits at most, from two 32 x 32 products.
WEXO_TEXT_AVX512 inline __m512i round_odd8(__m512i g, __m512i cp) {
    const __m512i lo32 = u64s(0xFFFFFFFFu);
    const __m512i a = _mm512_mul_epu32(_mm512_srli_epi64(g, 32), cp);
    const __m512i b = _mm512_mul_epu32(g, cp);
    const __m512i sum = _mm512_add_epi64(a, _mm512_srli_epi64(b, 32));
    const __mmask8 inexact = _mm512_test_epi64_mask(sum, lo32) | _mm512_cmpge_epu64_mask(_mm512_and_si512(b, lo32), cp);
    return _mm512_mask_or_epi64(_mm512_srli_epi64(sum, 32), inexact, _mm512_srli_epi64(sum, 32), u64s(1));
}

// x / 10 for x < 2^32
WEXO_TEXT_AVX512 inline __m512i div10(__m512i x) {
    return _mm512_srli_epi64(_mm512_mul_epu32(x, u64s(0xCCCCCCCDu)), 35);
}

WEXO_TEXT_AVX512 char* write_json_floats_avx512(char* p, const float* v, std::size_t n) {
    using namespace shortest_detail;
    alignas(64) char source[128];
    alignas(64) std::uint64_t layout[8];
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m512i bits = _mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i)));
        const __m512i mag = _mm512_and_si512(bits, u64s(0x7FFFFFFFu));
        if (_mm512_cmpge_epu64_mask(mag, u64s(0x7F800000u)) != 0) {  // null for a non-finite number: rare
            p = write_json_floats_scalar(p, v + i, 8);
            continue;
        }
        const __mmask8 negative = _mm512_test_epi64_mask(bits, u64s(0x80000000u));
        const __mmask8 zero = _mm512_cmpeq_epu64_mask(mag, _mm512_setzero_si512());
        const __m512i biased = _mm512_srli_epi64(mag, 23);
        const __m512i fraction = _mm512_and_si512(mag, u64s(0x7FFFFFu));
        const __mmask8 normal = _mm512_test_epi64_mask(biased, biased);
        const __m512i c = _mm512_mask_or_epi64(fraction, normal, fraction, u64s(0x800000u));
        const __m512i q = _mm512_mask_sub_epi64(u64s(static_cast<std::uint64_t>(-149)), normal, biased, u64s(150));
        const __mmask8 asymmetric =
            _mm512_cmpeq_epu64_mask(fraction, _mm512_setzero_si512()) & _mm512_cmpgt_epu64_mask(biased, u64s(1));
        __m512i k = _mm512_mul_epi32(q, u64s(315653));
        k = _mm512_srai_epi64(_mm512_mask_sub_epi64(k, asymmetric, k, u64s(131237)), 20);
        const __m512i m = _mm512_sub_epi64(_mm512_setzero_si512(), k);  // the power of ten that scales
        const __m512i g = _mm512_i64gather_epi64(_mm512_slli_epi64(_mm512_sub_epi64(m, u64s(kMinPow10)), 1),
                                                 reinterpret_cast<const long long*>(kPow10), 8);
        // h = 64 + q + r, r = floor(m * log2(10)) - 63
        const __m512i h = _mm512_add_epi64(
            _mm512_add_epi64(q, u64s(1)), _mm512_srai_epi64(_mm512_mul_epi32(m, u64s(1741647)), 19));
        const __m512i c4 = _mm512_slli_epi64(c, 2);
        const __m512i vb = round_odd8(g, _mm512_sllv_epi64(c4, h));
        const __m512i vbl = round_odd8(
            g, _mm512_sllv_epi64(_mm512_mask_add_epi64(_mm512_sub_epi64(c4, u64s(2)), asymmetric,
                                                       _mm512_sub_epi64(c4, u64s(2)), u64s(1)),
                                 h));
        const __m512i vbr = round_odd8(g, _mm512_sllv_epi64(_mm512_add_epi64(c4, u64s(2)), h));
        const __m512i out = _mm512_and_si512(c, u64s(1));
        const __m512i s = _mm512_srli_epi64(vb, 2);
        const __m512i s4 = _mm512_slli_epi64(s, 2);
        const __m512i mid = _mm512_add_epi64(s4, u64s(2));
        const __mmask8 up = _mm512_cmpgt_epu64_mask(vb, mid) |
                            (_mm512_cmpeq_epu64_mask(vb, mid) & _mm512_test_epi64_mask(s, u64s(1)));
        const __m512i nearer = _mm512_mask_add_epi64(s, up, s, u64s(1));
        const __mmask8 s_in = _mm512_cmple_epu64_mask(_mm512_add_epi64(vbl, out), s4);
        const __mmask8 t_in = _mm512_cmple_epu64_mask(_mm512_add_epi64(_mm512_add_epi64(s4, u64s(4)), out), vbr);
        __m512i digits = _mm512_mask_mov_epi64(nearer, s_in ^ t_in, _mm512_mask_add_epi64(s, t_in, s, u64s(1)));
        const __m512i s10 = div10(s);
        const __m512i s40 = _mm512_mul_epu32(s10, u64s(40));
        const __mmask8 s10_in = _mm512_cmple_epu64_mask(_mm512_add_epi64(vbl, out), s40);
        const __mmask8 t10_in =
            _mm512_cmple_epu64_mask(_mm512_add_epi64(_mm512_add_epi64(s40, u64s(40)), out), vbr);
        const __mmask8 shorter = s10_in ^ t10_in;
        digits = _mm512_mask_mov_epi64(digits, shorter, _mm512_mask_add_epi64(s10, t10_in, s10, u64s(1)));
        __m512i exponent = _mm512_mask_add_epi64(k, shorter, k, u64s(1));
        digits = _mm512_mask_mov_epi64(digits, zero, u64s(1));  // zero has no digits to strip
        for (;;) {
            const __m512i tenth = div10(digits);
            const __mmask8 trailing = _mm512_cmpeq_epu64_mask(_mm512_mul_epu32(tenth, u64s(10)), digits);
            if (trailing == 0) break;
            digits = _mm512_mask_mov_epi64(digits, trailing, tenth);
            exponent = _mm512_mask_add_epi64(exponent, trailing, exponent, u64s(1));
        }
        __m512i count = u64s(1);
        for (std::size_t d = 1; d < 9; ++d)
            count = _mm512_mask_add_epi64(count, _mm512_cmpge_epu64_mask(digits, u64s(kPow10u64[d])), count, u64s(1));
        const __m512i e = _mm512_add_epi64(exponent, count);  // value = 0.d1...dn * 10^e
        // the nine-digit form as put_nine_digits makes it, one digit per step of multiplying by ten
        constexpr std::uint64_t kMask57 = (std::uint64_t{1} << 57) - 1;
        __m512i y = _mm512_mul_epu32(digits, u64s(1441151881));
        __m512i low = _mm512_srli_epi64(y, 57);
        for (int d = 1; d < 8; ++d) {
            y = _mm512_and_si512(y, u64s(kMask57));
            y = _mm512_add_epi64(_mm512_slli_epi64(y, 3), _mm512_slli_epi64(y, 1));
            low = _mm512_or_si512(low, _mm512_slli_epi64(_mm512_srli_epi64(y, 57), 8 * d));
        }
        y = _mm512_and_si512(y, u64s(kMask57));
        y = _mm512_add_epi64(_mm512_slli_epi64(y, 3), _mm512_slli_epi64(y, 1));
        const __m512i e1 = _mm512_abs_epi64(_mm512_sub_epi64(e, u64s(1)));
        const __m512i tens = div10(e1);
        const __m512i units = _mm512_sub_epi64(e1, _mm512_mul_epu32(tens, u64s(10)));
        __m512i high = _mm512_or_si512(_mm512_srli_epi64(y, 57),
                                       _mm512_or_si512(_mm512_slli_epi64(tens, 40), _mm512_slli_epi64(units, 48)));
        low = _mm512_add_epi64(low, u64s(0x3030303030303030u));
        high = _mm512_add_epi64(high, u64s(0x3030302D652E3030u));  // d9 '0' '.' 'e' '-' tens units '0'
        _mm512_store_si512(source, _mm512_unpacklo_epi64(low, high));       // numbers 0, 2, 4, 6
        _mm512_store_si512(source + 64, _mm512_unpackhi_epi64(low, high));  // numbers 1, 3, 5, 7
        // layout class: e = -5 ... 13 directly, else scientific by exponent sign and width
        __m512i cls = _mm512_add_epi64(e, u64s(5));
        cls = _mm512_mask_mov_epi64(cls, _mm512_cmpgt_epi64_mask(e, u64s(13)), u64s(19));
        cls = _mm512_mask_mov_epi64(cls, _mm512_cmplt_epi64_mask(e, u64s(static_cast<std::uint64_t>(-5))), u64s(20));
        cls = _mm512_mask_mov_epi64(cls, _mm512_cmplt_epi64_mask(e, u64s(static_cast<std::uint64_t>(-8))), u64s(21));
        __m512i at = _mm512_add_epi64(_mm512_mul_epu32(_mm512_sub_epi64(count, u64s(1)), u64s(kExponentClasses)), cls);
        at = _mm512_mask_mov_epi64(at, zero, u64s(kZeroLayout));
        _mm512_store_si512(layout, at);
        for (unsigned j = 0; j < 8; ++j) {
            const auto text = _mm_shuffle_epi8(
                _mm_load_si128(reinterpret_cast<const __m128i*>(source + (j & 1) * 64 + (j >> 1) * 16)),
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLayouts.control[layout[j]].data())));
            *p = '-';
            p += (negative >> j) & 1;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), text);
            p += kLayouts.length[layout[j]];
            *p++ = ',';
        }
    }
    return write_json_floats_scalar(p, v + i, n - i);
}

#endif

}  // namespace

char* write_json_float_list(char* p, const float* v, std::size_t n) {
    if (n == 0) return p;
#ifdef WEXO_TEXT_AVX512
    static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    if (avx512) return write_json_floats_avx512(p, v, n) - 1;
#endif
    return write_json_floats_scalar(p, v, n) - 1;  // no comma after the last
}

char* write_u64(char* p, unsigned long long v) {
    char tmp[20];
    char* start = digits_backwards(tmp + sizeof tmp, v);
    const auto n = static_cast<std::size_t>(tmp + sizeof tmp - start);
    std::memcpy(p, start, n);
    return p + n;
}

void write_stdout(std::string_view line) {
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(1, p, left);
        if (n < 0 && errno == EINTR) continue;
        // A closed or full stdout loses the report, never the computation.
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace wexo::text
