// Drawing the dropout keep mask and applying it forward and backward.
#include "nn/dropout.h"

#include <algorithm>
#include <cmath>

#include "core/relu.h"
#include "core/rng.h"
#include "core/simd.h"
#include "nn/activation.h"

namespace wexo::layer::dropout {

namespace {

// Outputs drawn at a time: 4 KiB, still in L1 when the mask pass reads them.
constexpr std::size_t kDrawChunk = 512;

void check_keep(float keep) {
    WEXO_CHECK(keep >= 0.0f, "dropout keep probability is negative or not a number: ProbabilityTooSmall");
    WEXO_CHECK(keep <= 1.0f, "dropout keep probability is above 1: ProbabilityTooLarge");
}

// How a draw r becomes a mask value: the raw draw is 1 when rng::uniform_bits(r) > threshold.
struct DrawRule {
    std::int64_t threshold;
    float on_raw_one;
    float on_raw_zero;
};

// Draw with the rarer outcome's probability and flip when keeping is the likelier one: the raw draw is 1 when
// rng::uniform(r) > q. Scaling both sides by 2^53 is exact, so that is uniform_bits(r) > q * 2^53; and as q lies
// in [0.5, 1], q * 2^53 lies in [2^52, 2^53], where every double is a whole number: the integer comparison with it
// is exactly the comparison of the doubles.
DrawRule draw_rule(float keep) {
    const double p = keep;
    const bool flip = p > 0.5;
    const double q = 1.0 - (flip ? 1.0 - p : p);
    const float kept = 1.0f / keep;
    const float dropped = 0.0f / keep;  // NaN when keep is 0
    static_assert(rng::kUniformBits == 53);
    return {static_cast<std::int64_t>(q * 0x1p53), flip ? dropped : kept, flip ? kept : dropped};
}

// kept (when not null) takes x before it is scaled: the layer stores its input without a pass of its own.
template <bool Keep>
WEXO_KERNEL void mask_from_draws(const DrawRule rule, const std::uint64_t* __restrict draws, float* __restrict x,
                                 float* __restrict m, float* __restrict kept, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        const float v =
            static_cast<std::int64_t>(rng::uniform_bits(draws[k])) > rule.threshold ? rule.on_raw_one : rule.on_raw_zero;
        m[k] = v;
        if constexpr (Keep) kept[k] = x[k];
        x[k] *= v;
    }
}

// g <- g * m over n elements, then with Relu the relu derivative of pre.
template <bool Relu>
WEXO_KERNEL void scale_gradient(const float* __restrict m, const float* __restrict pre, float* __restrict g,
                                std::size_t n) {
    using simd::load;
    std::size_t k = 0;
    for (; k + simd::kLanes <= n; k += simd::kLanes) {  // eight lanes: no branch on the relu sign
        const simd::V8 v = load(g + k) * load(m + k);
        simd::store(g + k, Relu ? relu_gradient(load(pre + k), v) : v);
    }
    for (; k < n; ++k) {
        const float v = g[k] * m[k];
        g[k] = Relu ? relu_gradient(pre[k], v) : v;
    }
}

}  // namespace

void forward_training(float keep, Matrix& batch, Matrix& mask, Matrix* kept) {
    check_keep(keep);
    WEXO_CHECK(&batch != &mask && kept != &batch && kept != &mask,
               "dropout forward: the mask, the batch and its kept copy must be three matrices");
    mask.reshape_for_overwrite(batch.n_rows, batch.n_cols);
    if (kept) kept->reshape_for_overwrite(batch.n_rows, batch.n_cols);
    float* x = batch.values.data();
    float* m = mask.values.data();
    float* s = kept ? kept->values.data() : nullptr;
    const std::size_t n = batch.size();
    if (keep == 0.0f || keep == 1.0f) {  // certain outcomes draw nothing
        const float v = keep == 1.0f ? 1.0f / keep : 0.0f / keep;  // 0 / 0 is NaN
        if (s) std::copy_n(x, n, s);
        for (std::size_t k = 0; k < n; ++k) {
            m[k] = v;
            x[k] *= v;
        }
        return;
    }
    const DrawRule rule = draw_rule(keep);
    rng::ChaChaGenerator& generator = rng::thread_generator();
    std::uint64_t draws[kDrawChunk];
    for (std::size_t k = 0; k < n; k += kDrawChunk) {
        const std::size_t n_chunk = std::min(kDrawChunk, n - k);
        rng::fill_u64(generator, draws, n_chunk);
        if (s)
            mask_from_draws<true>(rule, draws, x + k, m + k, s + k, n_chunk);
        else
            mask_from_draws<false>(rule, draws, x + k, m + k, nullptr, n_chunk);
    }
}

void apply_draws(float keep, const std::uint64_t* draws, float* x, float* m, std::size_t n) {
    check_keep(keep);
    WEXO_CHECK(n == 0 || x != m, "dropout draws: the mask cannot be the batch itself");
    mask_from_draws<false>(draw_rule(keep), draws, x, m, nullptr, n);
}

void backward(const Matrix& mask, Matrix& grad, const Matrix* relu_inputs_below) {
    check_covers(mask.shape(), grad.shape(), "dropout backward", "mask", "does", "the gradient");
    if (relu_inputs_below) activation::relu::check_covers(*relu_inputs_below, grad.shape());
    const std::size_t n_cols = grad.n_cols;
    const bool flat = mask.n_cols == n_cols && (!relu_inputs_below || relu_inputs_below->n_cols == n_cols);
    const std::size_t rows = flat ? 1 : grad.n_rows;
    const std::size_t width = flat ? grad.size() : n_cols;  // the usual case: one flat pass
    for (std::size_t i = 0; i < rows; ++i) {
        if (relu_inputs_below)
            scale_gradient<true>(mask.row(i), relu_inputs_below->row(i), grad.row(i), width);
        else
            scale_gradient<false>(mask.row(i), nullptr, grad.row(i), width);
    }
}

}  // namespace wexo::layer::dropout
