// The learning-rate schedule, the step counter and the dispatch on opt_type.
#include "optimizer/optimizer.h"

#include <limits>

namespace wexo::optimizer {

void pre_update(DynamicOptimizer& opt) {
    if (opt.decay == 0.0f) return;  // also -0.0; NaN decays
    opt.current_learning_rate =
        (1.0f / (opt.decay * static_cast<float>(opt.iterations) + 1.0f)) * opt.learning_rate;
}

void update(const DynamicOptimizer& opt, Layer& layer) {
    if (opt.opt_type == kAdam)
        adam::update_params(opt, layer);
    else if (opt.opt_type == kTfAdam)
        adam::update_params_tf(opt, layer);
    else if (opt.opt_type == kSgd)
        sgd::update_params(opt, layer);
}

void post_update(DynamicOptimizer& opt) {
    WEXO_CHECK(opt.iterations < std::numeric_limits<std::int32_t>::max(), "optimizer iteration count overflow");
    ++opt.iterations;
}

float integer_power(float beta, std::int32_t t) {
    // magnitude as unsigned, so the lowest t does not overflow; a negative t gives the reciprocal
    std::uint32_t n = t < 0 ? 0u - static_cast<std::uint32_t>(t) : static_cast<std::uint32_t>(t);
    float base = beta;
    float result = (n & 1u) ? beta : 1.0f;
    for (n >>= 1; n != 0; n >>= 1) {
        base *= base;
        if (n & 1u) result *= base;
    }
    return t < 0 ? 1.0f / result : result;
}

}  // namespace wexo::optimizer
