// Owned row-major float matrices, float vectors and class-index vectors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "core/check.h"

namespace wexo {

// Large float buffers (a batch, its copy, their gradients) are aligned to huge pages, which the system may use.
void* buffer_allocate(std::size_t n_bytes);
void buffer_free(void* p, std::size_t n_bytes) noexcept;
// Faults in the pages of the first n_bytes of a buffer from buffer_allocate that is about to be written whole: one
// system call instead of a fault per page, a fifth less time for a 188 MB training batch. Only for a size known to be
// written at once: pages faulted in here cost memory whether or not they are used.
void prefault_for_write(void* p, std::size_t n_bytes) noexcept;
// memcpy into a buffer from buffer_allocate that nothing has written yet. A large one is faulted in a chunk at a
// time just before the copy writes it, so that the copy finds the pages the kernel cleared still in cache: a tenth
// faster than faulting it all in first, and a half faster than a fault per page.
void copy_to_new_buffer(void* buffer, const void* from, std::size_t n_bytes) noexcept;

template <class T>
struct BufferAllocator {
    using value_type = T;
    BufferAllocator() = default;
    template <class U>
    BufferAllocator(const BufferAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(buffer_allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { buffer_free(p, n * sizeof(T)); }
    // resize(n) leaves new elements uninitialised: buffers about to be overwritten whole skip a zeroing pass.
    // Whoever needs zeros asks for them (resize(n, 0.0f), assign).
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;  // other constructions go through allocator_traits' placement new
    }
    friend bool operator==(const BufferAllocator&, const BufferAllocator&) { return true; }
};

using Vector = std::vector<float, BufferAllocator<float>>;  // one value per sample or per neuron
using ClassVector = std::vector<std::int32_t>;  // one class index per sample

// The rows and columns of an array; a vector is one row.
struct Shape {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    // At least other's rows and columns: every position of other exists here.
    bool covers(Shape other) const { return n_rows >= other.n_rows && n_cols >= other.n_cols; }
};

struct Matrix {
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    Vector values;  // n_rows * n_cols elements, row i at values[i * n_cols]

    Matrix() = default;
    Matrix(std::size_t rows, std::size_t cols) : n_rows(rows), n_cols(cols), values(checked_mul(rows, cols), 0.0f) {}

    // Changes the shape, keeping the buffer's capacity: a steady-state epoch allocates nothing.
    // New elements are zero; kept ones keep their value.
    void reshape(std::size_t rows, std::size_t cols) {
        values.resize(checked_mul(rows, cols), 0.0f);
        n_rows = rows;
        n_cols = cols;
    }
    // The same for a result that is about to be written whole: new elements are left uninitialised.
    void reshape_for_overwrite(std::size_t rows, std::size_t cols) {
        values.resize(checked_mul(rows, cols));
        n_rows = rows;
        n_cols = cols;
    }
    Shape shape() const { return {n_rows, n_cols}; }
    bool empty_shape() const { return n_rows == 0 && n_cols == 0; }
    std::size_t size() const { return values.size(); }
    float* row(std::size_t i) { return values.data() + i * n_cols; }
    const float* row(std::size_t i) const { return values.data() + i * n_cols; }
    float& at(std::size_t i, std::size_t j) { return values[i * n_cols + j]; }
    float at(std::size_t i, std::size_t j) const { return values[i * n_cols + j]; }

    friend bool operator==(const Matrix&, const Matrix&) = default;
};

std::string shape_text(std::size_t rows, std::size_t cols);  // "(rows, cols)"
inline std::string shape_text(Shape s) { return shape_text(s.n_rows, s.n_cols); }
inline std::string shape_text(const Matrix& m) { return shape_text(m.n_rows, m.n_cols); }

// Aborts unless big covers small, naming both: "<context>: <big_name> (2, 3) <verb> not cover <small_name> (2, 4)",
// where verb is "do" or "does" to agree with big_name ("dropout backward: mask (2, 3) does not cover the gradient
// (2, 4)").
[[noreturn]] void fail_not_covering(Shape big, Shape small, std::string_view context, std::string_view big_name,
                                    std::string_view verb, std::string_view small_name, std::source_location where);
inline void check_covers(Shape big, Shape small, std::string_view context, std::string_view big_name,
                         std::string_view verb, std::string_view small_name,
                         std::source_location where = std::source_location::current()) {
    if (!big.covers(small)) [[unlikely]]
        fail_not_covering(big, small, context, big_name, verb, small_name, where);
}

}  // namespace wexo
