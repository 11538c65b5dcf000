// The relu rule and its gradient rule, shared by the activation passes and the fused product epilogue.
#pragma once

#include <concepts>

#include "core/simd.h"

namespace wexo {

// Strict comparison: NaN and -0.0 pass through unchanged.
inline float relu_of(float v) { return v < 0.0f ? 0.0f : v; }

// The gradient g of an output whose input was `input`: 0 where the input was 0 or below; a NaN input passes g.
inline float relu_gradient(float input, float g) { return input <= 0.0f ? 0.0f : g; }

// The same rules lane by lane, for eight- or sixteen-float vectors.
template <class V>
    requires std::same_as<V, simd::V8> || std::same_as<V, simd::V16>
[[gnu::always_inline]] inline V relu_of(V v) {
    return v < 0.0f ? V{} : v;
}
template <class V>
    requires std::same_as<V, simd::V8> || std::same_as<V, simd::V16>
[[gnu::always_inline]] inline V relu_gradient(V input, V g) {
    return input <= 0.0f ? V{} : g;
}

}  // namespace wexo
