// The batched exp and log against the C library, bit for bit.
#include "core/libm.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

namespace libm = wexo::libm;

// The library's result at run time, never a value the compiler folded.
std::uint32_t library(float (*f)(float), std::uint32_t input) {
    volatile float x = std::bit_cast<float>(input);
    return std::bit_cast<std::uint32_t>(f(x));
}
float exp_of(float x) { return std::exp(x); }
float log_of(float x) { return std::log(x); }

struct Case {
    const char* name;
    void (*batched)(float*, std::size_t, int);
    float (*scalar)(float);
    int lanes;  // the path's width
};

// Each path where this processor has it: eight lanes need AVX-512.
class LibmBatch : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (GetParam().lanes > libm::lanes()) GTEST_SKIP() << GetParam().lanes << " lanes: not on this processor";
    }
};

// Every 97th bit pattern, which crosses every exponent and both signs, plus the edges of the polynomial's range.
TEST_P(LibmBatch, MatchesTheLibraryOnEveryKindOfInput) {
    const Case c = GetParam();
    std::vector<std::uint32_t> inputs = {0x00000000, 0x80000000, 0x7f800000, 0xff800000, 0x7fc00000, 0xffc00001,
                                         0x7f800001, 0x00000001, 0x007fffff, 0x00800000, 0x3f800000, 0x3f7fffff,
                                         0x3f800001, 0x42b17217, 0x42b17218, 0xc2aeac4f, 0xc2aeac50, 0xc2cff1b4,
                                         0xc2cff1b5, 0x42afffff, 0x42b00000, 0xc27c65d9, 0x33d6bf95, 0x3f7ffffe};
    for (std::uint64_t b = 0; b < (std::uint64_t{1} << 32); b += 97) inputs.push_back(static_cast<std::uint32_t>(b));
    std::vector<float> v(inputs.size());
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::bit_cast<float>(inputs[i]);
    c.batched(v.data(), v.size(), c.lanes);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const std::uint32_t want = library(c.scalar, inputs[i]);
        if (std::bit_cast<std::uint32_t>(v[i]) != want && wrong++ < 5)
            ADD_FAILURE() << c.name << " of " << std::hexfloat << std::bit_cast<float>(inputs[i]) << ": " << v[i]
                          << " instead of " << std::bit_cast<float>(want);
    }
    EXPECT_EQ(wrong, 0u);
}

// Lengths around the eight- and four-lane steps, with a lane that needs the library in every position.
TEST_P(LibmBatch, TailsAndSpecialLanesLandInPlace) {
    const Case c = GetParam();
    for (std::size_t n = 0; n <= 21; ++n)
        for (std::size_t special = 0; special <= n; ++special) {
            std::vector<std::uint32_t> inputs(n);
            for (std::size_t i = 0; i < n; ++i) inputs[i] = 0x3e000000u + static_cast<std::uint32_t>(i) * 0x00123457u;
            if (special < n) inputs[special] = 0x7fc00000;  // NaN
            std::vector<float> v(n);
            for (std::size_t i = 0; i < n; ++i) v[i] = std::bit_cast<float>(inputs[i]);
            c.batched(v.data(), n, c.lanes);
            for (std::size_t i = 0; i < n; ++i)
                EXPECT_EQ(std::bit_cast<std::uint32_t>(v[i]), library(c.scalar, inputs[i])) << c.name << " n=" << n
                                                                                            << " lane " << i;
        }
}

INSTANTIATE_TEST_SUITE_P(, LibmBatch,
                         testing::Values(Case{"exp", libm::exp_in_place, exp_of, 4},
                                         Case{"log", libm::log_in_place, log_of, 4},
                                         Case{"exp", libm::exp_in_place, exp_of, 8},
                                         Case{"log", libm::log_in_place, log_of, 8}),
                         [](const auto& info) { return info.param.name + std::to_string(info.param.lanes); });

}  // namespace
