// The ChaCha20 block function, the per-thread generator, Xorshift128+ and the ziggurat normal sampler.
#include "core/rng.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

namespace {

using wexo::rng::Xorshift128Plus;

TEST(ChaCha20, BlockMatchesPublishedTestVector) {
    std::array<std::uint32_t, 8> key;
    for (int w = 0; w < 8; ++w) {
        const auto b = static_cast<std::uint32_t>(4 * w);
        key[w] = b | (b + 1) << 8 | (b + 2) << 16 | (b + 3) << 24;  // bytes 00 01 02 ... 1f
    }
    const std::array<std::uint32_t, 3> nonce = {0x09000000u, 0x4a000000u, 0x00000000u};
    const std::array<std::uint32_t, 16> expected = {
        0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3, 0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
        0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9, 0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(wexo::rng::chacha20_block(key, 1, nonce), expected);
}

TEST(ThreadGenerator, OutputLooksUniform) {
    constexpr int kDraws = 1 << 16;
    std::set<std::uint64_t> seen;
    double ones = 0;
    for (int k = 0; k < kDraws; ++k) {
        const std::uint64_t v = wexo::rng::next_u64();
        seen.insert(v);
        ones += std::popcount(v);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kDraws));
    EXPECT_NEAR(ones / kDraws, 32.0, 0.2);  // standard error 4 / 256
}

TEST(ThreadGenerator, ForkedChildDoesNotReplayTheParent) {
    wexo::rng::next_u64();  // leave most of a buffered block unused, as a child would inherit it
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::uint64_t child[8];
        for (auto& v : child) v = wexo::rng::next_u64();
        const ssize_t n = write(fds[1], child, sizeof child);
        _exit(n == static_cast<ssize_t>(sizeof child) ? 0 : 1);
    }
    std::uint64_t parent[8], child[8];
    for (auto& v : parent) v = wexo::rng::next_u64();
    ASSERT_EQ(read(fds[0], child, sizeof child), static_cast<ssize_t>(sizeof child));
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(status, 0);
    for (int k = 0; k < 8; ++k) EXPECT_NE(parent[k], child[k]) << k;
}

TEST(ThreadGenerator, KeepsGoingPastTheReseedInterval) {
    std::set<std::uint64_t> last;
    for (int k = 0; k < (9 << 17); ++k) {  // 9 MiB of output: two reseeds
        const std::uint64_t v = wexo::rng::next_u64();
        if (k >= (8 << 17) - 512 && k < (8 << 17) + 512) last.insert(v);
    }
    EXPECT_EQ(last.size(), 1024u);
}

TEST(Xorshift128Plus, StreamFollowsTheStepFormula) {
    struct Case {
        std::uint64_t a, b;
        std::vector<std::uint64_t> outputs;
    };
    // worked by hand from h = a ^ b ^ (a << 23) ^ (b >> 26) ^ ((a ^ (a << 23)) >> 17), output b + h
    const Case cases[] = {
        {1, 2, {0x800045, 0x2000104, 0x4000020010c3, 0xc00002103045, 0x1000801c450c4}},
        {~std::uint64_t{0}, 1, {0x7fffc2, 0x17fff41, 0x400000ffefbe}},  // the layer seed s = 0: (s - 1, s + 1)
    };
    for (const Case& c : cases) {
        Xorshift128Plus gen{c.a, c.b};
        for (std::size_t k = 0; k < c.outputs.size(); ++k) EXPECT_EQ(gen.next(), c.outputs[k]) << c.a << " " << k;
    }
}

TEST(StandardNormal, MomentsTailAndDistributionFunction) {
    constexpr int kDraws = 1'000'000;
    Xorshift128Plus gen{0x9e3779b97f4a7c15u, 0xbf58476d1ce4e5b9u};
    const double grid[] = {-3.5, -2.5, -1.5, -1.0, -0.5, -0.1, 0.0, 0.3, 0.7, 1.2, 2.0, 2.8, 3.44428647676, 4.0};
    std::vector<int> below(std::size(grid));
    double sum = 0, sum_sq = 0;
    int beyond_3 = 0;
    for (int k = 0; k < kDraws; ++k) {
        const double z = wexo::rng::standard_normal(gen);
        sum += z;
        sum_sq += z * z;
        beyond_3 += std::abs(z) > 3.0;
        for (std::size_t g = 0; g < std::size(grid); ++g) below[g] += z < grid[g];
    }
    const double mean = sum / kDraws;
    EXPECT_NEAR(mean, 0.0, 5e-3);
    EXPECT_NEAR(std::sqrt(sum_sq / kDraws - mean * mean), 1.0, 3e-3);
    EXPECT_NEAR(static_cast<double>(beyond_3) / kDraws, 0.0026998, 3e-4);
    for (std::size_t g = 0; g < std::size(grid); ++g) {
        const double expected = 0.5 * std::erfc(-grid[g] / std::sqrt(2.0));
        const double se = std::sqrt(expected * (1 - expected) / kDraws);
        EXPECT_NEAR(static_cast<double>(below[g]) / kDraws, expected, 5 * se + 1e-6) << grid[g];
    }
}

}  // namespace
