// Number formatting: fixed decimals, positional shortest digits, the model-file float layout, integers.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/shortest.h"
#include "core/text.h"

namespace text = wexo::text;

namespace {

std::string json_float(float v) {
    char buf[text::kMaxJsonFloat];
    return std::string(buf, text::write_json_float(buf, v));
}

std::string fixed(float v, int decimals) {
    std::string out = "x";
    text::append_fixed(out, v, decimals);
    return out.substr(1);
}

std::string positional(float v) {
    std::string out;
    text::append_shortest_positional(out, v);
    return out;
}

float from_bits(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

}  // namespace

TEST(JsonFloat, EveryLayoutBranchAndBoundary) {
    const struct {
        float v;
        const char* text;
    } cases[] = {
        {1.0f, "1.0"},
        {1200.0f, "1200.0"},
        {100.0f, "100.0"},
        {1e12f, "1000000000000.0"},
        {5e12f, "5000000000000.0"},  // e = 13: the last positional layout
        {1e13f, "1e13"},                          // e = 14
        {1.2345679e14f, "1.2345679e14"},
        {3e20f, "3e20"},
        {3.4028235e38f, "3.4028235e38"},
        {12.5f, "12.5"},
        {0.1f, "0.1"},
        {-2.5f, "-2.5"},
        {0.013f, "0.013"},
        {-0.0071f, "-0.0071"},
        {0.001f, "0.001"},
        {0.000001f, "0.000001"},    // e = -5
        {0.0000015f, "0.0000015"},  // e = -5 with two digits
        {1e-7f, "1e-7"},            // e = -6
        {1.5e-7f, "1.5e-7"},
        {1.4e-45f, "1e-45"},  // smallest subnormal
        {0.0f, "0.0"},
        {-0.0f, "-0.0"},
        {std::numeric_limits<float>::quiet_NaN(), "null"},
        {std::numeric_limits<float>::infinity(), "null"},
        {-std::numeric_limits<float>::infinity(), "null"},
    };
    for (const auto& c : cases) EXPECT_EQ(json_float(c.v), c.text) << c.text;
}

TEST(JsonFloat, RandomBitPatternsReadBackExactly) {
    std::mt19937 gen(12345);
    char buf[text::kMaxJsonFloat + 1];
    for (int i = 0; i < 400000; ++i) {
        const float v = from_bits(static_cast<std::uint32_t>(gen()));
        char* end = text::write_json_float(buf, v);
        ASSERT_LE(end - buf, text::kMaxJsonFloat);
        if (!std::isfinite(v)) {
            ASSERT_EQ(std::string(buf, end), "null");
            continue;
        }
        float back = 0;
        const auto r = std::from_chars(buf, end, back);
        ASSERT_TRUE(r.ec == std::errc() && r.ptr == end) << std::string(buf, end);
        ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << std::string(buf, end);
        // the standard library's shortest digits are the reference: same digit string
        char ref[64];
        const auto rr = std::to_chars(ref, ref + sizeof ref, v, std::chars_format::scientific);
        std::string ref_digits, got_digits;
        for (const char* p = ref; p < rr.ptr && *p != 'e'; ++p)
            if (*p >= '0' && *p <= '9') ref_digits += *p;
        for (const char* p = buf; p < end && *p != 'e'; ++p)
            if (*p >= '0' && *p <= '9') got_digits += *p;
        while (!got_digits.empty() && got_digits.back() == '0') got_digits.pop_back();
        got_digits.erase(0, got_digits.find_first_not_of('0'));
        ASSERT_EQ(got_digits, ref_digits) << std::string(buf, end);
    }
}

// The scaling exponents come from multiply-and-shift forms of log10; every exponent a float can have must get
// the exact floor (checked in long double, far from any integer here except at q = 0).
TEST(ShortestDigits, ScalingExponentsAreExactOverTheFloatRange) {
    namespace sd = text::shortest_detail;
    for (int q = -149; q <= 104; ++q) {
        const long double l = q * std::log10(2.0L);
        EXPECT_EQ(sd::floor_log10_pow2(q), static_cast<int>(std::floor(l))) << q;
        EXPECT_EQ(sd::floor_log10_three_quarters_pow2(q), static_cast<int>(std::floor(l + std::log10(0.75L)))) << q;
        const int m = -sd::floor_log10_three_quarters_pow2(q);
        ASSERT_GE(m - sd::kMinPow10, 0);
        ASSERT_LT(m - sd::kMinPow10, static_cast<int>(std::size(sd::kPow10)));
    }
}

// Powers of two (the lower neighbour twice as near), their neighbours, and the ends of the range, where an
// interval-scaling search goes wrong first; the same digits as std::to_chars.
TEST(ShortestDigits, PowersOfTwoAndRangeEndsMatchTheStandardLibrary) {
    std::vector<std::uint32_t> patterns = {0x00000001, 0x00000002, 0x007FFFFF, 0x00800000, 0x7F7FFFFF, 0x3F800000};
    for (std::uint32_t e = 0; e < 255; ++e)
        for (const std::uint32_t f : {0u, 1u, 2u, 0x7FFFFEu, 0x7FFFFFu}) patterns.push_back(e << 23 | f);
    for (const std::uint32_t b : patterns) {
        const float v = from_bits(b);
        if (v == 0) continue;
        char ref[64];
        const auto r = std::to_chars(ref, ref + sizeof ref, v, std::chars_format::scientific);
        const std::string s(ref, r.ptr);
        const std::size_t e_at = s.find('e');
        std::string digits;
        for (std::size_t i = 0; i < e_at; ++i)
            if (s[i] != '.') digits += s[i];
        const int exponent = std::stoi(s.substr(e_at + 1)) - static_cast<int>(digits.size() - 1);
        const text::Decimal d = text::shortest_f32(v);
        EXPECT_EQ(std::to_string(d.significand), digits) << s;
        EXPECT_EQ(d.exponent, exponent) << s;
    }
}

TEST(JsonFloat, ListSeparatesWithCommasAndNothingTrails) {
    const float v[] = {1.0f, -0.5f, 1e-7f};
    char buf[3 * (text::kMaxJsonFloat + 1)];
    EXPECT_EQ(std::string(buf, text::write_json_float_list(buf, v, 3)), "1.0,-0.5,1e-7");
    EXPECT_EQ(text::write_json_float_list(buf, v, 0), buf);
}

TEST(JsonFloat, ListIsTheSingleNumbersJoinedByCommas) {
    // the list loop is compiled apart from write_json_float (inlined for speed); both must give the same bytes
    std::mt19937 gen(777);
    std::normal_distribution<float> normal;
    const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(), 1e-45f, 3e20f, 5e12f};
    std::vector<float> v;
    std::string list;
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{17}, std::size_t{5000}}) {
        v.resize(n);
        std::string joined;
        for (float& x : v) {
            const std::uint32_t pick = gen() % 8;
            x = pick < 4   ? normal(gen)
                : pick < 6 ? from_bits(static_cast<std::uint32_t>(gen()))
                           : specials[gen() % 7];
            joined += json_float(x) + ",";
        }
        joined.pop_back();
        list.resize(n * (text::kMaxJsonFloat + 1));
        list.resize(static_cast<std::size_t>(text::write_json_float_list(list.data(), v.data(), n) - list.data()));
        ASSERT_EQ(list, joined) << n;
    }
}

TEST(ShortestPositional, WholeNumbersHaveNoPointAndSmallOnesNoExponent) {
    const struct {
        float v;
        const char* text;
    } cases[] = {
        {1.0f, "1"},
        {0.001f, "0.001"},
        {1e-7f, "0.0000001"},
        {0.05f, "0.05"},
        {12.5f, "12.5"},
        {1e12f, "1000000000000"},
        {3e20f, "300000000000000000000"},
        {-0.5f, "-0.5"},
        {0.0f, "0"},
        {-0.0f, "-0"},
        {std::numeric_limits<float>::quiet_NaN(), "NaN"},
        {std::numeric_limits<float>::infinity(), "inf"},
        {-std::numeric_limits<float>::infinity(), "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(positional(c.v), c.text) << c.text;
}

TEST(ShortestPositional, DoubleDigitsForMessages) {
    std::string out;
    text::append_shortest_positional_f64(out, 1.5);
    out += ' ';
    text::append_shortest_positional_f64(out, 1e20);
    out += ' ';
    text::append_shortest_positional_f64(out, 0.1);
    EXPECT_EQ(out, "1.5 100000000000000000000 0.1");
}

TEST(Fixed, ExactValueRoundedTiesToEven) {
    const struct {
        float v;
        int decimals;
        const char* text;
    } cases[] = {
        {0.0625f, 3, "0.062"},    // exact tie, down to even
        {0.1875f, 3, "0.188"},    // exact tie, up to even
        {2.5f, 0, "2"},           // tie at zero places
        {3.5f, 0, "4"},
        {0.125f, 2, "0.12"},
        {1.0005f, 3, "1.000"},   // 1.0005f is below 1.0005: not a tie
        {0.3f, 1, "0.3"},
        {99.95f, 1, "99.9"},     // 99.95f is below 99.95
        {99.96f, 1, "100.0"},    // the carry adds a digit
        {1.23456f, 3, "1.235"},
        {-1.5f, 3, "-1.500"},
        {-0.0f, 3, "-0.000"},
        {-0.0001f, 3, "-0.000"},  // the sign survives rounding to zero, as printf keeps it
        {0.0f, 1, "0.0"},
        {100.0f, 1, "100.0"},
        {16777216.0f, 3, "16777216.000"},
        {3.4028235e38f, 3, "340282346638528859811704183484516925440.000"},  // beyond the integer path
        {1e-45f, 12, "0.000000000000"},
        {std::numeric_limits<float>::quiet_NaN(), 3, "NaN"},
        {std::numeric_limits<float>::infinity(), 3, "inf"},
        {-std::numeric_limits<float>::infinity(), 1, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(fixed(c.v, c.decimals), c.text) << c.text;
}

TEST(Fixed, MatchesPrintfOnRandomValues) {
    std::mt19937 gen(7);
    char ref[128];
    for (int i = 0; i < 200000; ++i) {
        float v = from_bits(static_cast<std::uint32_t>(gen()));
        if (!std::isfinite(v) || std::fabs(v) > 1e12f) v = std::ldexp(static_cast<float>(gen() % 100000), -10);
        const int decimals = static_cast<int>(gen() % 6);
        std::snprintf(ref, sizeof ref, "%.*f", decimals, static_cast<double>(v));
        ASSERT_EQ(fixed(v, decimals), ref);
    }
}

TEST(Fixed, AppendsWithoutReallocatingAReservedString) {
    std::string out;
    out.reserve(64);
    const char* data = out.data();
    text::append_fixed(out, 0.5f, 3);
    text::append_fixed(out, -12345.678f, 3);
    EXPECT_EQ(out, "0.500-12345.678");
    EXPECT_EQ(out.data(), data);
}

TEST(U64, PlainDecimal) {
    char buf[20];
    for (const unsigned long long v : {0ULL, 7ULL, 10ULL, 99ULL, 100ULL, 1234567ULL, 18446744073709551615ULL})
        EXPECT_EQ(std::string(buf, text::write_u64(buf, v)), std::to_string(v));
}

TEST(Stdout, WholeLineReachesFd1AndAClosedFd1IsIgnored) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int saved = dup(1);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(fds[1], 1), 1);
    text::write_stdout("epoch:    1, acc: 0.500\n");
    close(1);
    text::write_stdout("lost\n");  // EBADF: dropped, no abort
    ASSERT_EQ(dup2(saved, 1), 1);
    close(saved);
    close(fds[1]);
    char buf[64];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "epoch:    1, acc: 0.500\n");
}
