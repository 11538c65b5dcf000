// The two model records held by the Python model objects.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nn/layer.h"

namespace wexo {

inline constexpr std::string_view kSoftmax = "softmax";
inline constexpr std::string_view kLinear = "linear";
inline constexpr std::string_view kCategoricalCrossentropy = "categorical_crossentropy";
inline constexpr std::string_view kMeanSquaredError = "mean_squared_error";
inline constexpr std::string_view kCategorical = "categorical";

struct CategoricalModel {
    std::vector<Layer> layers;
    std::string output_type = std::string(kSoftmax);
    std::string loss_type = std::string(kCategoricalCrossentropy);
    std::string acc_type = std::string(kCategorical);
    std::string save_best_params;  // empty: training writes no file

    friend bool operator==(const CategoricalModel&, const CategoricalModel&) = default;
};

struct LinearModel {
    std::vector<Layer> layers;
    std::string output_type = std::string(kLinear);
    std::string loss_type = std::string(kMeanSquaredError);
    std::string acc_type = std::string(kLinear);
    float acc_precision = 1.0f;  // tolerance of the linear accuracy, bound included
    std::string save_best_params;

    friend bool operator==(const LinearModel&, const LinearModel&) = default;
};

}  // namespace wexo
