// The relu rule itself, shared by the activation pass and the fused product epilogue.
#pragma once

namespace wexo {

// Strict comparison: NaN and -0.0 pass through unchanged.
inline float relu_of(float v) { return v < 0.0f ? 0.0f : v; }

}  // namespace wexo
