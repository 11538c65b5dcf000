// The optimizer record, its learning-rate schedule and the dispatch to the update rules.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "nn/layer.h"

namespace wexo {

inline constexpr std::string_view kAdam = "adam";
inline constexpr std::string_view kTfAdam = "tf_adam";
inline constexpr std::string_view kSgd = "sgd";

struct DynamicOptimizer {
    std::string opt_type;
    float learning_rate = 0.0f;
    float current_learning_rate = 0.001f;  // replaced by learning_rate when a training call starts
    float decay = 0.0f;
    std::int32_t iterations = 0;  // updates done in this training call
    float epsilon = 1e-7f;
    float beta_1 = 0.9f;
    float beta_2 = 0.999f;
    float momentum = 0.0f;

    friend bool operator==(const DynamicOptimizer&, const DynamicOptimizer&) = default;
};

namespace optimizer {

void pre_update(DynamicOptimizer& opt);  // learning-rate decay
void update(const DynamicOptimizer& opt, Layer& layer);  // the rule named by opt_type, or nothing
void post_update(DynamicOptimizer& opt);  // iterations + 1

// beta^t in float by repeated squaring, lowest bit first
float integer_power(float beta, std::int32_t t);

namespace adam {
void update_params(const DynamicOptimizer& opt, Layer& layer);
void update_params_tf(const DynamicOptimizer& opt, Layer& layer);
}  // namespace adam

namespace sgd {
void update_params(const DynamicOptimizer& opt, Layer& layer);
}  // namespace sgd

}  // namespace optimizer
}  // namespace wexo
