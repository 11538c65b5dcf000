// JSON tokens: the writer's escaping and buffering, the reader's numbers, strings, skipping, depth and
// positions, across every read boundary.
#include <gtest/gtest.h>

#include "support.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/check.h"
#include "io/json.h"

using wexo::Abort;
using wexo::json::Reader;
using wexo::json::Writer;

using wexo::test_support::abort_message;

namespace {

// Chunk sizes that put a read boundary inside every token, and the default.
constexpr std::size_t kChunks[] = {1, 2, 3, 7, 64, wexo::json::kChunk};


std::string skip_error(std::string_view text, std::size_t chunk = wexo::json::kChunk) {
    return abort_message([&] {
        Reader r(text, chunk);
        r.skip_value();
        r.finish();
    });
}

std::string escaped(std::string_view s) {
    std::string out;
    {
        Writer w(out);
        w.string(s);
        w.finish();
    }
    return out;
}

}  // namespace

TEST(JsonWriter, EscapesQuotesBackslashesAndControlBytesOnly) {
    EXPECT_EQ(escaped("plain"), "\"plain\"");
    EXPECT_EQ(escaped("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(escaped("\b\t\n\f\r"), "\"\\b\\t\\n\\f\\r\"");
    EXPECT_EQ(escaped(std::string("\x00\x01\x1f\x7f", 4)), "\"\\u0000\\u0001\\u001f\x7f\"");
    EXPECT_EQ(escaped("h\xc3\xa9llo \xe2\x82\xac"), "\"h\xc3\xa9llo \xe2\x82\xac\"");  // UTF-8 copied
    EXPECT_EQ(escaped(""), "\"\"");
}

TEST(JsonWriter, AppendsToExistingTextAndGrowsPastItsFirstBlock) {
    std::string out = "prefix:";
    wexo::Vector values(5000, 0.5f);
    {
        Writer w(out);
        w.f32_list(values.data(), values.size());
        w.finish();
    }
    ASSERT_EQ(out.size(), 7 + 5000 * 3 + 4999);
    EXPECT_EQ(out.substr(0, 15), "prefix:0.5,0.5,");
    EXPECT_EQ(out.substr(out.size() - 4), ",0.5");
}

TEST(JsonReader, FloatsRoundTheDecimalTextToTheNearestFloat) {
    const struct {
        const char* text;
        float value;
    } cases[] = {
        {"0", 0.0f},
        {"-0", -0.0f},
        {"1", 1.0f},
        {"16777217", 16777216.0f},           // halfway between floats: to even
        {"16777219", 16777220.0f},
        {"0.1", 0.1f},
        {"1e-7", 1e-7f},
        {"1.5E+3", 1500.0f},
        {"3.4028235e38", 3.4028235e38f},
        {"1e-50", 0.0f},                      // below the smallest subnormal: zero
        {"-1e-400", -0.0f},
        {"1.4e-45", 1.4e-45f},
        {"7.1e-46", 1.4e-45f},                // rounds up to the smallest subnormal
        {"0.000000000000000000000000000000000000000000000000001e51", 1.0f},
        {"1000000000000000000000000000000000000000e-38", 10.0f},  // 1e39, more than float holds, scaled
        // a double would round this to 1 + 2^-24 first and then, as a tie, to 1.0
        {"1.00000005960464477550", 1.00000011920928955f},
        // 20 and 21 digits whose 64-bit accumulation wraps to exactly zero (found by fuzzing)
        {"92233720368547758080", 9.223372e19f},
        {"92233720368547758080.0", 9.223372e19f},
        {"9223372036854775808.0", 9.223372e18f},
        {"0.00000092233720368547758080", 9.223372e-7f},
    };
    for (const auto& c : cases) {
        for (const std::size_t chunk : kChunks) {
            Reader r(c.text, chunk);
            const float v = r.read_f32();
            EXPECT_EQ(std::memcmp(&v, &c.value, sizeof v), 0) << c.text << " chunk " << chunk << " got " << v;
        }
    }
}

TEST(JsonReader, RandomDecimalsRoundAsTheStandardConversionDoes) {
    std::mt19937_64 gen(2024);
    const auto check = [](const std::string& text) {
        float expected = 0;
        const auto r = std::from_chars(text.data(), text.data() + text.size(), expected);
        if (r.ec != std::errc()) return;  // past the float range: covered below
        std::string followed = text;  // followed by more, as inside an array
        followed += ',';
        Reader reader(followed, 64);
        const float got = reader.read_f32();
        ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << text;
    };
    char buf[64];
    for (int i = 0; i < 150000; ++i) {
        // 1 to 19 digits, a point anywhere, an exponent around the exact-power range
        std::string digits = std::to_string(gen() % 10'000'000'000'000'000'000ULL);
        digits.resize(1 + gen() % digits.size());
        const std::size_t point = gen() % (digits.size() + 1);
        std::string text = gen() & 1 ? "-" : "";
        text.append(point == 0 ? "0" : digits.substr(0, point));
        if (point < digits.size()) text.append(".").append(digits.substr(point));
        if (gen() & 1) text.append("e").append(std::to_string(static_cast<int>(gen() % 61) - 30));
        check(text);
        // halfway points between neighbouring floats, and their last-digit neighbours
        std::uint32_t bits = static_cast<std::uint32_t>(gen() % 0x7f000000u) + 0x00800000u;
        float lo;
        std::memcpy(&lo, &bits, sizeof lo);
        const double mid = (static_cast<double>(lo) + static_cast<double>(std::nextafter(lo, INFINITY))) / 2;
        std::snprintf(buf, sizeof buf, "%.17g", mid);
        check(buf);
        std::snprintf(buf, sizeof buf, "%.9g", mid);
        check(buf);
    }
    for (const char* text : {"8388608.5", "8388609.5", "16777217", "16777219", "33554434", "0.5", "4.5e-1"}) check(text);
}

TEST(JsonReader, LongNumbersKeepTheirValue) {
    // 1200 digits, a point after the first, then a tiny tail that decides nothing
    std::string text = "1." + std::string(1198, '0') + "1";
    for (const std::size_t chunk : kChunks) {
        Reader r(text, chunk);
        EXPECT_EQ(r.read_f32(), 1.0f) << chunk;
    }
    // just above the halfway point between 1 and the next float, decided by the last of 900 digits
    std::string above = "1.000000059604644775390625" + std::string(900, '0') + "1";
    for (const std::size_t chunk : kChunks) {
        Reader r(above, chunk);
        EXPECT_EQ(r.read_f32(), 1.00000011920928955f) << chunk;
    }
    std::string big = "1";  // (built in steps: GCC 12 misreports a chain of + on strings)
    big.append(2000, '0').append("e-2000");
    for (const std::size_t chunk : kChunks) {
        Reader r(big, chunk);
        EXPECT_EQ(r.read_f32(), 1.0f) << chunk;
    }
}

// A number's text never depends on where a read ended: an integer too long to keep whole (past 800 significant
// digits) is quoted in the same shortened form whether it lies in one read or crosses reads.
TEST(JsonReader, TooLongIntegersAreQuotedAlikeInPlaceAndAcrossReads) {
    std::string text = "12";
    text.append(900, '0').append("7,");  // 903 digits
    std::string shortened = "12";
    shortened.append(798, '0').append("1e102");  // 800 digits kept, a 1 for the nonzero ones dropped
    for (const std::size_t chunk : kChunks) {
        EXPECT_EQ(abort_message([&] { Reader(text, chunk).read_unsigned(UINT64_MAX, "usize"); }),
                  "Error(\"invalid value: integer `" + shortened + "`, expected usize\", line: 1, column: 904)")
            << chunk;
        EXPECT_EQ(abort_message([&] {
                      std::string s;
                      Reader(text, chunk).read_string(s);
                  }),
                  "Error(\"invalid type: integer `" + shortened + "`, expected a string\", line: 1, column: 904)")
            << chunk;
    }
}

TEST(JsonReader, FloatsPastTheRangeFail) {
    for (const char* text : {"3.5e38", "-1e39", "1e400", "1e99999999999999999999"})
        EXPECT_EQ(abort_message([&] { Reader(text).read_f32(); }),
                  "Error(\"number out of range\", line: 1, column: " + std::to_string(std::strlen(text)) + ")")
            << text;
}

TEST(JsonReader, UnsignedIntegersRejectFractionsNegativesAndOverflow) {
    const auto read = [](const char* text, std::uint64_t max = UINT64_MAX) {
        return abort_message([&] { Reader(text, 3).read_unsigned(max, "usize"); });
    };
    {
        Reader r("18446744073709551615", 3);
        EXPECT_EQ(r.read_unsigned(UINT64_MAX, "usize"), 18446744073709551615ULL);
    }
    {
        Reader r("-0");
        EXPECT_EQ(r.read_unsigned(UINT64_MAX, "usize"), 0u);
    }
    EXPECT_EQ(read("1.5"), "Error(\"invalid type: floating point `1.5`, expected usize\", line: 1, column: 3)");
    EXPECT_EQ(read("2.0"), "Error(\"invalid type: floating point `2.0`, expected usize\", line: 1, column: 3)");
    EXPECT_EQ(read("1e3"), "Error(\"invalid type: floating point `1000.0`, expected usize\", line: 1, column: 3)");
    EXPECT_EQ(read("-1"), "Error(\"invalid value: integer `-1`, expected usize\", line: 1, column: 2)");
    EXPECT_EQ(read("18446744073709551616"),
              "Error(\"invalid value: integer `18446744073709551616`, expected usize\", line: 1, column: 20)");
    EXPECT_EQ(read("256", 255), "Error(\"invalid value: integer `256`, expected usize\", line: 1, column: 3)");
    EXPECT_EQ(read("\"5\""), "Error(\"invalid type: string \"5\", expected usize\", line: 1, column: 3)");
    EXPECT_EQ(read("true"), "Error(\"invalid type: boolean `true`, expected usize\", line: 1, column: 4)");
    EXPECT_EQ(read("null"), "Error(\"invalid type: null, expected usize\", line: 1, column: 4)");
    EXPECT_EQ(read("[1]"), "Error(\"invalid type: sequence, expected usize\", line: 1, column: 1)");
    EXPECT_EQ(read("{}"), "Error(\"invalid type: map, expected usize\", line: 1, column: 1)");
}

// A byte-by-byte reader consumes the byte that ends a number to see that it has ended, so an error found after
// a number counts that byte, whether the number is scanned in place or across reads.
TEST(JsonReader, ErrorsAfterANumberCountTheByteThatEndedIt) {
    const auto unsigned_error = [](const char* text, std::size_t chunk) {
        return abort_message([&] { Reader(text, chunk).read_unsigned(255, "u8"); });
    };
    const auto string_error = [](const char* text, std::size_t chunk) {
        return abort_message([&] {
            std::string s;
            Reader(text, chunk).read_string(s);
        });
    };
    for (const std::size_t chunk : kChunks) {
        EXPECT_EQ(unsigned_error("1.5,", chunk),
                  "Error(\"invalid type: floating point `1.5`, expected u8\", line: 1, column: 4)") << chunk;
        EXPECT_EQ(unsigned_error("-1 ]", chunk), "Error(\"invalid value: integer `-1`, expected u8\", line: 1, column: 3)")
            << chunk;
        EXPECT_EQ(unsigned_error("256}", chunk), "Error(\"invalid value: integer `256`, expected u8\", line: 1, column: 4)")
            << chunk;
        // a line feed that ends the number moves the position to the start of the next line
        EXPECT_EQ(unsigned_error("2e0\n", chunk),
                  "Error(\"invalid type: floating point `2.0`, expected u8\", line: 2, column: 0)") << chunk;
        EXPECT_EQ(string_error("5,", chunk), "Error(\"invalid type: integer `5`, expected a string\", line: 1, column: 2)")
            << chunk;
        EXPECT_EQ(string_error("-0.25]", chunk),
                  "Error(\"invalid type: floating point `-0.25`, expected a string\", line: 1, column: 6)") << chunk;
        EXPECT_EQ(abort_message([&] { Reader("1e39 ", chunk).read_f32(); }),
                  "Error(\"number out of range\", line: 1, column: 5)") << chunk;
    }
}

TEST(JsonReader, StringsDecodeEscapesAndSurrogatePairs) {
    const struct {
        const char* json;
        std::string value;
    } cases[] = {
        {R"("")", ""},
        {R"("a\"b\\c\/d")", "a\"b\\c/d"},
        {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
        {R"("\u0041\u00e9\u20AC")", "A\xc3\xa9\xe2\x82\xac"},
        {R"("\u0000")", std::string(1, '\0')},
        {R"("\ud834\udd1e")", "\xf0\x9d\x84\x9e"},
        {"\"h\xc3\xa9 \xe2\x82\xac \xf4\x8f\xbf\xbf\"", "h\xc3\xa9 \xe2\x82\xac \xf4\x8f\xbf\xbf"},
    };
    for (const auto& c : cases) {
        for (const std::size_t chunk : kChunks) {
            Reader r(c.json, chunk);
            std::string s = "old";
            r.read_string(s);
            EXPECT_EQ(s, c.value) << c.json << " chunk " << chunk;
        }
    }
}

TEST(JsonReader, SyntaxErrorsNameTheProblemAndWhereTheReaderStopped) {
    const struct {
        const char* json;
        const char* error;
    } cases[] = {
        {"", "Error(\"EOF while parsing a value\", line: 1, column: 0)"},
        {"   \n  ", "Error(\"EOF while parsing a value\", line: 2, column: 2)"},
        {"[1 2]", "Error(\"expected `,` or `]`\", line: 1, column: 4)"},
        {"[1,]", "Error(\"trailing comma\", line: 1, column: 4)"},
        {"[1", "Error(\"EOF while parsing a list\", line: 1, column: 2)"},
        {"[1,", "Error(\"EOF while parsing a value\", line: 1, column: 3)"},
        {"{\"a\" 1}", "Error(\"expected `:`\", line: 1, column: 6)"},
        {"{\"a\":1 \"b\":2}", "Error(\"expected `,` or `}`\", line: 1, column: 8)"},
        {"{\"a\":1,}", "Error(\"trailing comma\", line: 1, column: 8)"},
        {"{1:2}", "Error(\"key must be a string\", line: 1, column: 2)"},
        {"{\"a\":1", "Error(\"EOF while parsing an object\", line: 1, column: 6)"},
        {"\"abc", "Error(\"EOF while parsing a string\", line: 1, column: 4)"},
        {"\"a\\qb\"", "Error(\"invalid escape\", line: 1, column: 4)"},
        {"\"\\u12g4\"", "Error(\"invalid escape\", line: 1, column: 6)"},
        {"\"a\tb\"", "Error(\"control character (\\u0000-\\u001F) found while parsing a string\", line: 1, column: 3)"},
        {"\"\\ud800x\"", "Error(\"lone leading surrogate in hex escape\", line: 1, column: 8)"},
        {"\"\\udc00\"", "Error(\"lone trailing surrogate in hex escape\", line: 1, column: 7)"},
        {"\"\xc3\x28\"", "Error(\"invalid unicode code point\", line: 1, column: 3)"},
        {"\"\xed\xa0\x80\"", "Error(\"invalid unicode code point\", line: 1, column: 3)"},  // an encoded surrogate
        {"\"\xc0\xaf\"", "Error(\"invalid unicode code point\", line: 1, column: 2)"},      // overlong
        {"01", "Error(\"invalid number\", line: 1, column: 2)"},
        {"-", "Error(\"invalid number\", line: 1, column: 1)"},
        {"1.", "Error(\"invalid number\", line: 1, column: 2)"},
        {"1.e5", "Error(\"invalid number\", line: 1, column: 3)"},
        {"1e+", "Error(\"invalid number\", line: 1, column: 3)"},
        {"tru", "Error(\"EOF while parsing a value\", line: 1, column: 3)"},
        {"trux", "Error(\"expected ident\", line: 1, column: 4)"},
        {"1 2", "Error(\"trailing characters\", line: 1, column: 3)"},
        {"{}\n\n x", "Error(\"trailing characters\", line: 3, column: 2)"},
        {"\xef\xbb\xbf{}", "Error(\"expected value\", line: 1, column: 1)"},
        {"[\n1,\n]", "Error(\"trailing comma\", line: 3, column: 1)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(skip_error(c.json), c.error) << c.json;
        for (const std::size_t chunk : kChunks) EXPECT_EQ(skip_error(c.json, chunk), c.error) << c.json << chunk;
    }
}

TEST(JsonReader, SkipsAnyValidValueWithoutKeepingIt) {
    const char* docs[] = {
        "null", "true", "false", "-0.5e-3", "\"\\u00e9\\ud834\\udd1e\"", "[]", "{}", "[[],[{}],{\"a\":[1,{\"b\":null}]}]",
        " { \"a\" : [ 1 , 2 ] , \"a\" : \"dup keys are fine here\" } ",
        "1e999999",  // no range check on a value nobody reads
    };
    for (const char* d : docs)
        for (const std::size_t chunk : kChunks) EXPECT_EQ(skip_error(d, chunk), "") << d << chunk;
}

TEST(JsonReader, NestingStopsPastTheDepthLimit) {
    const int limit = wexo::json::kMaxDepth;
    const std::string ok = std::string(limit, '[') + std::string(limit, ']');
    EXPECT_EQ(skip_error(ok), "");
    const std::string deep = std::string(limit + 1, '[') + std::string(limit + 1, ']');
    EXPECT_EQ(skip_error(deep), "Error(\"recursion limit exceeded\", line: 1, column: 129)");
    std::string objects;
    for (int i = 0; i <= limit; ++i) objects += "{\"a\":";
    EXPECT_EQ(skip_error(objects), "Error(\"recursion limit exceeded\", line: 1, column: " +
                                       std::to_string(5 * limit + 1) + ")");
    // far deeper input is refused just as early, without using the stack
    EXPECT_NE(skip_error(std::string(1'000'000, '[')).find("recursion limit exceeded"), std::string::npos);
}

TEST(JsonReader, FloatArraysGrowFromTheNumbersActuallyRead) {
    for (const std::size_t chunk : kChunks) {
        Reader r("[1, 2.5 ,-3e0]", chunk);
        wexo::Vector v;
        r.read_f32_array(v, 0);
        EXPECT_EQ(v, (wexo::Vector{1.0f, 2.5f, -3.0f}));
    }
    EXPECT_EQ(abort_message([] {
                  wexo::Vector v;
                  Reader("[1,null]").read_f32_array(v, 2);
              }),
              "Error(\"invalid type: null, expected f32\", line: 1, column: 7)");
}
