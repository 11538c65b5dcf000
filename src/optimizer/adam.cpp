// The two Adam steps: bias-corrected moments, and the correction folded into the step size.
#include "optimizer/optimizer.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/simd.h"

namespace wexo::optimizer {

namespace {

// A matrix or vector (one row) seen as rows and columns, so both share one update loop.
template <class T>
struct Grid {
    T* data;
    std::size_t n_rows;
    std::size_t n_cols;
    T& at(std::size_t i, std::size_t j) const { return data[i * n_cols + j]; }
    Shape shape() const { return {n_rows, n_cols}; }
};

Grid<float> grid(Matrix& m) { return {m.values.data(), m.n_rows, m.n_cols}; }
Grid<const float> grid(const Matrix& m) { return {m.values.data(), m.n_rows, m.n_cols}; }
Grid<float> grid(Vector& v) { return {v.data(), 1, v.size()}; }
Grid<const float> grid(const Vector& v) { return {v.data(), 1, v.size()}; }

bool same_shape(const auto& a, const auto& b) { return a.n_rows == b.n_rows && a.n_cols == b.n_cols; }

// One parameter array with its gradient and moments, by field name for the messages.
struct Arrays {
    Grid<float> w;
    Grid<const float> g;
    Grid<float> m;
    Grid<float> v;
    const char* w_name;
    const char* g_name;
    const char* m_name;
    const char* v_name;
};

void check_arrays(const Arrays& a) {
    auto need = [](const auto& big, const char* big_name, const auto& small, const char* small_name) {
        check_covers(big.shape(), small.shape(), "adam", big_name, "does", small_name);
    };
    need(a.g, a.g_name, a.m, a.m_name);
    need(a.g, a.g_name, a.v, a.v_name);
    need(a.m, a.m_name, a.w, a.w_name);
    need(a.v, a.v_name, a.w, a.w_name);
}

// Float arithmetic with a subnormal operand or result takes a microcode assist on some processors (35x a plain
// multiply here), and the momentum of a dead relu unit decays into the subnormals and stays there. In double every
// float is normal, and rounding to float after each operation gives exactly the float operation's result (double
// has more than twice float's precision, so the second rounding never changes the first), so the element steps
// compute in double: the same bits at the same speed whatever the values.
[[gnu::always_inline]] inline double f32(double x) { return static_cast<float>(x); }

struct Decays {
    double beta_1, one_minus_beta_1, beta_2, one_minus_beta_2;  // floats
};

// m b1 + g (1 - b1) and v b2 + g^2 (1 - b2), each operation rounded to float
[[gnu::always_inline]] inline double next_momentum(double m, double g, const Decays& d) {
    return f32(f32(m * d.beta_1) + f32(g * d.one_minus_beta_1));
}
[[gnu::always_inline]] inline double next_cache(double v, double g, const Decays& d) {
    return f32(f32(v * d.beta_2) + f32(f32(g * g) * d.one_minus_beta_2));
}

// m <- m b1 + g (1 - b1) over m, v <- v b2 + g^2 (1 - b2) over v, then w <- step(w, m, v) over w, positions
// matched by index. Each element depends only on its own position, so with equal shapes one fused pass gives
// the same values as the three passes.
template <class Step>
WEXO_KERNEL void update_flat(std::size_t n, float* __restrict pw, const float* __restrict pg, float* __restrict pm,
                             float* __restrict pv, Decays d, Step step) {
    for (std::size_t k = 0; k < n; ++k) {
        const double g = pg[k];
        const double m = next_momentum(pm[k], g, d);
        const double v = next_cache(pv[k], g, d);
        pm[k] = static_cast<float>(m);
        pv[k] = static_cast<float>(v);
        pw[k] = static_cast<float>(step(pw[k], m, v));
    }
}

template <class Step>
void update_array(const Arrays& a, const Decays& d, Step step) {
    if (same_shape(a.w, a.g) && same_shape(a.w, a.m) && same_shape(a.w, a.v))
        return update_flat(a.w.n_rows * a.w.n_cols, a.w.data, a.g.data, a.m.data, a.v.data, d, step);
    for (std::size_t i = 0; i < a.m.n_rows; ++i)
        for (std::size_t j = 0; j < a.m.n_cols; ++j)
            a.m.at(i, j) = static_cast<float>(next_momentum(a.m.at(i, j), a.g.at(i, j), d));
    for (std::size_t i = 0; i < a.v.n_rows; ++i)
        for (std::size_t j = 0; j < a.v.n_cols; ++j)
            a.v.at(i, j) = static_cast<float>(next_cache(a.v.at(i, j), a.g.at(i, j), d));
    for (std::size_t i = 0; i < a.w.n_rows; ++i)
        for (std::size_t j = 0; j < a.w.n_cols; ++j)
            a.w.at(i, j) = static_cast<float>(step(a.w.at(i, j), a.m.at(i, j), a.v.at(i, j)));
}

// Checks both arrays before changing either, then the weights, then the biases.
template <class Step>
void update_layer(const DynamicOptimizer& opt, Layer& layer, Step step) {
    const Arrays weights{grid(layer.weights),
                         grid(std::as_const(layer.dweights)),
                         grid(layer.weight_momentums),
                         grid(layer.weight_cache),
                         "weights",
                         "dweights",
                         "weight_momentums",
                         "weight_cache"};
    const Arrays biases{grid(layer.biases),         grid(std::as_const(layer.dbiases)),
                        grid(layer.bias_momentums), grid(layer.bias_cache),
                        "biases",                   "dbiases",
                        "bias_momentums",           "bias_cache"};
    check_arrays(weights);
    check_arrays(biases);
    const Decays d{opt.beta_1, 1.0f - opt.beta_1, opt.beta_2, 1.0f - opt.beta_2};
    update_array(weights, d, step);
    update_array(biases, d, step);
}

std::int32_t step_number(const DynamicOptimizer& opt) {
    WEXO_CHECK(opt.iterations < std::numeric_limits<std::int32_t>::max(), "optimizer iteration count overflow");
    return opt.iterations + 1;
}

Matrix zeros_like(const Matrix& m) { return Matrix(m.n_rows, m.n_cols); }

}  // namespace

void adam::update_params(const DynamicOptimizer& opt, Layer& layer) {
    if (layer.weight_cache.empty_shape()) {  // the one test: all four start over together
        layer.weight_momentums = zeros_like(layer.weights);
        layer.weight_cache = zeros_like(layer.weights);
        layer.bias_momentums.assign(layer.biases.size(), 0.0f);
        layer.bias_cache.assign(layer.biases.size(), 0.0f);
    }
    const std::int32_t t = step_number(opt);
    const double m_correction = 1.0f - integer_power(opt.beta_1, t);
    const double v_correction = 1.0f - integer_power(opt.beta_2, t);
    const double neg_lr = -opt.current_learning_rate;
    const double epsilon = opt.epsilon;
    // the corrected moments m / (1 - b1^t) and v / (1 - b2^t) exist only per element
    update_layer(opt, layer, [=](double w, double m, double v) {
        return f32(w + f32(f32(f32(m / m_correction) * neg_lr) / f32(f32(std::sqrt(f32(v / v_correction))) + epsilon)));
    });
}

void adam::update_params_tf(const DynamicOptimizer& opt, Layer& layer) {
    if (layer.weight_cache.empty_shape()) layer.weight_cache = zeros_like(layer.weights);
    if (layer.weight_momentums.empty_shape()) layer.weight_momentums = zeros_like(layer.weights);
    if (layer.bias_momentums.empty()) layer.bias_momentums.assign(layer.biases.size(), 0.0f);
    if (layer.bias_cache.empty()) layer.bias_cache.assign(layer.biases.size(), 0.0f);
    const std::int32_t t = step_number(opt);
    const double lr_t = (std::sqrt(1.0f - integer_power(opt.beta_2, t)) * opt.current_learning_rate) /
                        (1.0f - integer_power(opt.beta_1, t));
    const double epsilon = opt.epsilon;
    update_layer(opt, layer, [=](double w, double m, double v) {
        return f32(w - f32(f32(m * lr_t) / f32(f32(std::sqrt(v)) + epsilon)));
    });
}

}  // namespace wexo::optimizer
