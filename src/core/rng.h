// The per-thread cryptographically strong generator, and the per-layer Xorshift128+ with its normal sampler.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace wexo::rng {

using ChaChaKey = std::array<std::uint32_t, 8>;
using ChaChaNonce = std::array<std::uint32_t, 3>;

// A ChaCha generator with 12 rounds. Its output is the keystream of blocks 0, 1, 2, ... under one key and nonce,
// in groups of 16 blocks stored word-major (output 8w + j of a group: word w of its blocks 2j and 2j + 1, the
// first in the low half); after 4 MiB of output, and first in a forked child, it starts over on a
// fresh key and nonce from the OS.
struct ChaChaGenerator {
    static constexpr std::size_t kBufferWords = 128;  // 64-bit outputs per refill: 16 blocks
    ChaChaKey key{};
    ChaChaNonce nonce{};
    std::uint32_t counter = 0;             // the next block
    std::uint64_t bytes_until_reseed = 0;  // 0: not seeded yet, or due
    std::uint64_t seen_fork_generation = 0;
    std::size_t next = kBufferWords;  // index of the next unused output; kBufferWords: buffer used up
    std::uint64_t buffer[kBufferWords]{};
};

// This thread's generator, seeded from the OS on its first draw. Fetch it once for a run of draws.
ChaChaGenerator& thread_generator();

// A generator at block 0 of the given key and nonce, with the whole reseed interval ahead of it.
ChaChaGenerator make_generator(const ChaChaKey& key, const ChaChaNonce& nonce);

// Next 64-bit output of this thread's generator.
std::uint64_t next_u64();
std::uint64_t next_u64(ChaChaGenerator& g);

// out[0 .. n) <- the next n outputs of g, the same as n calls of next_u64(g); whole groups of blocks are written
// straight into out.
void fill_u64(ChaChaGenerator& g, std::uint64_t* out, std::size_t n);

// The ChaCha block function with 20 and with 12 rounds: key, block counter, nonce -> the 16 keystream words.
std::array<std::uint32_t, 16> chacha20_block(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce);
std::array<std::uint32_t, 16> chacha12_block(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce);

// The uniform draw from a 64-bit output r: its top 53 bits n, standing for u = n * 2^-53 in [0, 1). Comparing n
// with a whole number t is comparing u with t * 2^-53, exactly.
inline constexpr int kUniformBits = 53;
constexpr std::uint64_t uniform_bits(std::uint64_t r) { return r >> (64 - kUniformBits); }
constexpr double uniform(std::uint64_t r) { return static_cast<double>(uniform_bits(r)) * 0x1p-53; }

struct Xorshift128Plus {
    std::uint64_t a;
    std::uint64_t b;
    std::uint64_t next();  // state (a, b) -> (b, h), returns b + h
};

// Standard normal from the 128-layer ziggurat (tail start r = 3.44428647676) on the Xorshift128+ stream.
double standard_normal(Xorshift128Plus& gen);

}  // namespace wexo::rng
