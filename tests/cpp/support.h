// Builders the unit tests share.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/check.h"
#include "core/matrix.h"
#include "nn/layer.h"

namespace wexo::test_support {

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A row-major (n_rows, n_cols) matrix holding `values`.
inline Matrix matrix(std::size_t n_rows, std::size_t n_cols, Vector values) {
    WEXO_CHECK(values.size() == n_rows * n_cols, "test matrix: wrong number of values");
    Matrix m;
    m.n_rows = n_rows;
    m.n_cols = n_cols;
    m.values = std::move(values);
    return m;
}

// Small integers keep every product and sum exact, so any kernel, order, split over threads or fused multiply-add
// gives the same bits.
inline Matrix integers(std::size_t rows, std::size_t cols, unsigned seed) {
    Matrix m(rows, cols);
    for (std::size_t k = 0; k < m.size(); ++k) m.values[k] = static_cast<float>(static_cast<int>((k * 7 + seed * 13) % 9) - 4);
    return m;
}

// Bit patterns, so that -0.0 and NaN compare exactly.
inline std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

inline std::vector<std::uint32_t> bits(const Vector& v) {
    std::vector<std::uint32_t> out;
    for (float x : v) out.push_back(bits(x));
    return out;
}

// A dense layer with these weights (n_inputs, n_neurons) and biases.
inline Layer dense(Matrix weights, Vector biases, std::string activation = "") {
    Layer l;
    l.layer_type = "dense";
    l.activation_type = std::move(activation);
    l.n_inputs = weights.n_rows;
    l.n_neurons = weights.n_cols;
    l.weights = std::move(weights);
    l.biases = std::move(biases);
    return l;
}

// The message of the abort that body raises, or empty when it returns.
template <class Body>
std::string abort_message(Body&& body) {
    try {
        body();
    } catch (const Abort& e) {
        return e.what();
    }
    return "";
}

}  // namespace wexo::test_support
