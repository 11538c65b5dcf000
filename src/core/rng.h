// The per-thread cryptographically strong generator, and the per-layer Xorshift128+ with its normal sampler.
#pragma once

#include <array>
#include <cstdint>

namespace wexo::rng {

// Next 64-bit output of this thread's ChaCha generator (12 rounds; seeded from the OS, reseeded every 4 MiB of
// output and in a forked child).
std::uint64_t next_u64();

// The ChaCha20 block function (20 rounds): key, block counter, nonce -> the 16 words of the keystream block.
std::array<std::uint32_t, 16> chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                                             const std::array<std::uint32_t, 3>& nonce);

struct Xorshift128Plus {
    std::uint64_t a;
    std::uint64_t b;
    std::uint64_t next();  // state (a, b) -> (b, h), returns b + h
};

// Standard normal from the 128-layer ziggurat (tail start r = 3.44428647676) on the Xorshift128+ stream.
double standard_normal(Xorshift128Plus& gen);

}  // namespace wexo::rng
