// The per-thread cryptographically strong generator, and the per-layer Xorshift128+ with its normal sampler.
#pragma once

#include <cstdint>

namespace wexo::rng {

// Next 64-bit output of this thread's ChaCha generator (seeded from the OS, reseeded periodically and after fork).
std::uint64_t next_u64();

struct Xorshift128Plus {
    std::uint64_t a;
    std::uint64_t b;
    std::uint64_t next();  // state (a, b) -> (b, h), returns b + h
};

// Standard normal from the 128-layer ziggurat (tail start r = 3.44428647676) on the Xorshift128+ stream.
double standard_normal(Xorshift128Plus& gen);

}  // namespace wexo::rng
