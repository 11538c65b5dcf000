// The ChaCha20 block function, the per-thread generator, Xorshift128+ and the ziggurat normal sampler.
#include "core/rng.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

namespace {

using wexo::rng::ChaChaGenerator;
using wexo::rng::Xorshift128Plus;

const wexo::rng::ChaChaKey kKey = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                   0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c};
const wexo::rng::ChaChaNonce kNonce = {0x09000000, 0x4a000000, 0x00000000};

// Output k of the generator on (key, nonce) from block 0: blocks go in groups of 16, stored word-major; output
// 8w + j of a group is word w of its blocks 2j (low half) and 2j + 1 (high half).
std::vector<std::uint64_t> reference_outputs(const wexo::rng::ChaChaKey& key, const wexo::rng::ChaChaNonce& nonce,
                                             std::size_t n) {
    std::vector<std::uint64_t> out;
    for (std::uint32_t group = 0; out.size() < n; group += 16) {
        std::array<std::uint32_t, 16> words[16];
        for (std::uint32_t b = 0; b < 16; ++b) words[b] = wexo::rng::chacha12_block(key, group + b, nonce);
        for (int w = 0; w < 16; ++w)
            for (int j = 0; j < 8 && out.size() < n; ++j)
                out.push_back(words[2 * j][w] | static_cast<std::uint64_t>(words[2 * j + 1][w]) << 32);
    }
    return out;
}

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

TEST(ChaCha12, BlockMatchesPublishedTestVector) {
    // all-zero key, nonce and counter: the first 64 keystream bytes 9b f4 9a 6a 07 55 f9 53 ...
    const std::array<std::uint32_t, 16> expected = {
        0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f, 0xbbc32904, 0x1474e049, 0xa589007e, 0x5f15ae2e,
        0x79f86405, 0xc0e37ad2, 0x3428e82c, 0x798cfaac, 0x2c9f623a, 0x1969dea0, 0x2fe80b61, 0xbe261341};
    EXPECT_EQ(wexo::rng::chacha12_block({}, 0, {}), expected);
}

// The same stream whichever way it is drawn: one output at a time, or in runs of any length (the buffered rest of
// a refill first, then whole groups of blocks written straight into the destination).
TEST(ChaChaGenerator, BulkDrawsGiveTheOneAtATimeStream) {
    constexpr std::size_t kDraws = 5000;
    const std::vector<std::uint64_t> expected = reference_outputs(kKey, kNonce, kDraws);
    ChaChaGenerator single = wexo::rng::make_generator(kKey, kNonce);
    for (std::size_t k = 0; k < kDraws; ++k) ASSERT_EQ(wexo::rng::next_u64(single), expected[k]) << k;
    for (const std::size_t run : {1u, 3u, 127u, 128u, 129u, 256u, 1000u}) {
        ChaChaGenerator bulk = wexo::rng::make_generator(kKey, kNonce);
        std::vector<std::uint64_t> got(kDraws);
        for (std::size_t k = 0; k < kDraws; k += run) wexo::rng::fill_u64(bulk, got.data() + k, std::min(run, kDraws - k));
        EXPECT_EQ(got, expected) << run;
        EXPECT_EQ(bulk.counter, single.counter) << run;
        EXPECT_EQ(bulk.next, single.next) << run;
    }
    ChaChaGenerator mixed = wexo::rng::make_generator(kKey, kNonce);
    std::vector<std::uint64_t> got(kDraws);
    for (std::size_t k = 0; k < kDraws;) {  // alternating single draws and runs
        got[k++] = wexo::rng::next_u64(mixed);
        const std::size_t n = std::min<std::size_t>(k % 300, kDraws - k);
        wexo::rng::fill_u64(mixed, got.data() + k, n);
        k += n;
    }
    EXPECT_EQ(got, expected);
}

// With one reseed interval left at two groups of blocks, both ways of drawing take exactly those blocks from the
// old key and then start the new key's stream at block 0.
TEST(ChaChaGenerator, ReseedsAtTheSamePointEitherWay) {
    constexpr std::size_t kLeft = 2 * ChaChaGenerator::kBufferWords;
    const std::vector<std::uint64_t> expected = reference_outputs(kKey, kNonce, kLeft);
    for (const bool bulk : {false, true}) {
        ChaChaGenerator g = wexo::rng::make_generator(kKey, kNonce);
        g.bytes_until_reseed = kLeft * 8;
        std::vector<std::uint64_t> got(kLeft + 10);
        if (bulk) {
            wexo::rng::fill_u64(g, got.data(), 5);
            wexo::rng::fill_u64(g, got.data() + 5, got.size() - 5);
        } else {
            for (auto& v : got) v = wexo::rng::next_u64(g);
        }
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.begin())) << bulk;
        EXPECT_NE(g.key, kKey) << bulk;
        EXPECT_EQ(g.counter, ChaChaGenerator::kBufferWords / 8) << bulk;
        const std::vector<std::uint64_t> fresh = reference_outputs(g.key, g.nonce, 10);
        EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), got.begin() + kLeft)) << bulk;
    }
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
    constexpr std::size_t kDraws = 300;  // past the buffered rest, into blocks drawn in bulk
    for (const bool bulk : {false, true}) {
        wexo::rng::next_u64();  // leave most of a buffered refill unused, as a child would inherit it
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        auto draw = [bulk](std::uint64_t* out) {
            if (bulk) {
                wexo::rng::fill_u64(wexo::rng::thread_generator(), out, kDraws);
            } else {
                for (std::size_t k = 0; k < kDraws; ++k) out[k] = wexo::rng::next_u64();
            }
        };
        if (pid == 0) {
            std::uint64_t child[kDraws];
            draw(child);
            const ssize_t n = write(fds[1], child, sizeof child);
            _exit(n == static_cast<ssize_t>(sizeof child) ? 0 : 1);
        }
        std::uint64_t parent[kDraws], child[kDraws];
        draw(parent);
        ASSERT_EQ(read(fds[0], child, sizeof child), static_cast<ssize_t>(sizeof child));
        int status = 0;
        waitpid(pid, &status, 0);
        close(fds[0]);
        close(fds[1]);
        EXPECT_EQ(status, 0);
        const std::set<std::uint64_t> seen(parent, parent + kDraws);
        for (std::size_t k = 0; k < kDraws; ++k) EXPECT_FALSE(seen.count(child[k])) << bulk << " " << k;
    }
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

TEST(Uniform, TopFiftyThreeBitsOnTheUnitInterval) {
    EXPECT_EQ(wexo::rng::uniform_bits(0x7ffu), 0u);  // the low 11 bits never count
    EXPECT_EQ(wexo::rng::uniform_bits(0x800u), 1u);
    EXPECT_EQ(wexo::rng::uniform(0), 0.0);
    EXPECT_EQ(wexo::rng::uniform(~std::uint64_t{0}), 1.0 - 0x1p-53);  // never reaches 1
    EXPECT_EQ(wexo::rng::uniform(std::uint64_t{1} << 63), 0.5);
}

}  // namespace
