// Eight-float vectors and every choice made by processor features: the attribute that builds a hot loop for AVX2
// with FMA besides the baseline, and the attribute and run-time test of hand-written AVX2 paths.
#pragma once

#include <cstddef>
#include <cstring>

// WEXO_X86_64: hand-written AVX2 paths exist. A function marked WEXO_AVX2_FMA may use those instructions; call it
// only after simd::has_avx2_fma().
#if defined(__x86_64__) && defined(__GNUC__)
#define WEXO_X86_64 1
#define WEXO_AVX2_FMA __attribute__((target("avx2,fma")))
#endif

// The better copy is picked once, at load time, from what the processor supports.
#if defined(WEXO_X86_64) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define WEXO_KERNEL_COPIES 1
#define WEXO_KERNEL __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define WEXO_KERNEL
#endif

// A function built for AVX-512 alone (x86-64-v4), besides the copies above: call it only where has_avx512(). Where
// the kernels get no copies, neither does it: it must contract multiply-adds as they do, or the bits differ (and
// clang refuses the shared helpers' vector arguments across the two targets).
#ifdef WEXO_KERNEL_COPIES
#define WEXO_AVX512 __attribute__((target("arch=x86-64-v4")))
#else
#define WEXO_AVX512
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

// Sixteen-float vectors, for kernels that run them only with AVX-512, where their registers hold twice the floats.
using V16 = float __attribute__((vector_size(64)));

// load and store for either width.
template <class V>
[[gnu::always_inline]] inline V load_as(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
[[gnu::always_inline]] inline void store_as(float* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

#ifdef WEXO_X86_64
inline bool has_avx2_fma() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }
#endif

// Whether the kernels run their AVX-512 copies (the features that copy is built with).
inline bool has_avx512() {
#ifdef WEXO_X86_64
    static const bool yes = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                            __builtin_cpu_supports("avx512cd");
    return yes;
#else
    return false;
#endif
}

}  // namespace wexo::simd
