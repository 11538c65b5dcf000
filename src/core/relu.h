// The relu rule and its gradient rule, shared by the activation passes and the fused product epilogue.
#pragma once

#include "core/simd.h"

namespace wexo {

// Strict comparison: NaN and -0.0 pass through unchanged.
inline float relu_of(float v) { return v < 0.0f ? 0.0f : v; }

// The gradient g of an output whose input was `input`: 0 where the input was 0 or below; a NaN input passes g.
inline float relu_gradient(float input, float g) { return input <= 0.0f ? 0.0f : g; }

// The same rules lane by lane.
[[gnu::always_inline]] inline simd::V8 relu_of(simd::V8 v) { return v < 0.0f ? simd::V8{} : v; }
[[gnu::always_inline]] inline simd::V8 relu_gradient(simd::V8 input, simd::V8 g) {
    return input <= 0.0f ? simd::V8{} : g;
}

}  // namespace wexo
