// Owned row-major float matrices, float vectors and class-index vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/check.h"

namespace wexo {

using Vector = std::vector<float>;              // one value per sample or per neuron
using ClassVector = std::vector<std::int32_t>;  // one class index per sample

struct Matrix {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::vector<float> values;  // n_rows * n_cols elements, row i at values[i * n_cols]

    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols) : n_rows(rows), n_cols(cols), values(checked_mul(rows, cols)) {}

    // Changes the shape, keeping the buffer's capacity: a steady-state epoch allocates nothing.
    // New elements are zero; kept ones keep their value.
    void reshape(std::size_t rows, std::size_t cols) {
        values.resize(checked_mul(rows, cols));
        n_rows = rows;
        n_cols = cols;
    }
    bool empty_shape() const { return n_rows == 0 && n_cols == 0; }
    std::size_t size() const { return values.size(); }
    float* row(std::size_t i) { return values.data() + i * n_cols; }
    const float* row(std::size_t i) const { return values.data() + i * n_cols; }
    float& at(std::size_t i, std::size_t j) { return values[i * n_cols + j]; }
    float at(std::size_t i, std::size_t j) const { return values[i * n_cols + j]; }

    friend bool operator==(const Matrix&, const Matrix&) = default;
};

std::string shape_text(const Matrix& m);  // "(rows, cols)"

}  // namespace wexo
