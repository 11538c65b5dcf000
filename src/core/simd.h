// Eight-float vectors and the attribute that builds a hot loop for AVX2 with FMA besides the baseline.
#pragma once

#include <cstddef>
#include <cstring>

// The better copy is picked once, at load time, from what the processor supports.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define WEXO_KERNEL __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define WEXO_KERNEL
#endif

// Vectors never cross a unit's boundary, so the ABI note about passing them in AVX registers does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace wexo::simd {

using V8 = float __attribute__((vector_size(32)));
inline constexpr std::size_t kLanes = 8;

[[gnu::always_inline]] inline V8 load(const float* p) {
    V8 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
[[gnu::always_inline]] inline void store(float* p, V8 v) { std::memcpy(p, &v, sizeof v); }

}  // namespace wexo::simd
