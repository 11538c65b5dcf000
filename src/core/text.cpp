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

// Flattened so that the digit search and the layout inline into one loop body: a tenth faster than the calls.
[[gnu::flatten]] char* write_json_float_list(char* p, const float* v, std::size_t n) {
    if (n == 0) return p;
    for (std::size_t i = 0; i < n; ++i) {
        p = write_json_float(p, v[i]);
        *p++ = ',';
    }
    return p - 1;  // no comma after the last
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
