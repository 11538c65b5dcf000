// Drawing the dropout keep mask and applying it forward and backward.
#include "nn/dropout.h"

#include <algorithm>
#include <cmath>

#include "core/rng.h"
#include "core/simd.h"

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

WEXO_KERNEL void mask_from_draws(const DrawRule rule, const std::uint64_t* __restrict draws, float* __restrict x,
                                 float* __restrict m, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        const float v =
            static_cast<std::int64_t>(rng::uniform_bits(draws[k])) > rule.threshold ? rule.on_raw_one : rule.on_raw_zero;
        m[k] = v;
        x[k] *= v;
    }
}

}  // namespace

void forward_training(float keep, Matrix& batch, Matrix& mask) {
    check_keep(keep);
    WEXO_CHECK(&batch != &mask, "dropout forward: the mask cannot be the batch itself");
    mask.reshape_for_overwrite(batch.n_rows, batch.n_cols);
    float* x = batch.values.data();
    float* m = mask.values.data();
    const std::size_t n = batch.size();
    if (keep == 0.0f || keep == 1.0f) {  // certain outcomes draw nothing
        const float v = keep == 1.0f ? 1.0f / keep : 0.0f / keep;  // 0 / 0 is NaN
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
        mask_from_draws(rule, draws, x + k, m + k, n_chunk);
    }
}

void apply_draws(float keep, const std::uint64_t* draws, float* x, float* m, std::size_t n) {
    check_keep(keep);
    WEXO_CHECK(n == 0 || x != m, "dropout draws: the mask cannot be the batch itself");
    mask_from_draws(draw_rule(keep), draws, x, m, n);
}

void backward(const Matrix& mask, Matrix& grad) {
    check_covers(mask.shape(), grad.shape(), "dropout backward", "mask", "does", "the gradient");
    const std::size_t n_cols = grad.n_cols;
    for (std::size_t i = 0; i < grad.n_rows; ++i) {
        const float* m = mask.row(i);
        float* g = grad.row(i);
        for (std::size_t j = 0; j < n_cols; ++j) g[j] *= m[j];
    }
}

}  // namespace wexo::layer::dropout
