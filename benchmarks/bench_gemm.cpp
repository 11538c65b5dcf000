// Times each hand-written product kernel against OpenBLAS at the shapes it serves: wexo::gemm (which picks the
// kernel) versus scipy_cblas_sgemm on one thread followed by the same epilogue as a pass of its own, which is what
// gemm does for a product too large for the kernels.
//
//   bench_gemm [repeat 300]
//
// Prints one line per case: the best thread-CPU nanoseconds per product of `repeat` samples for each side
// (samples of both sides interleaved) and OpenBLAS's time over the kernel's. The cases are the products of the
// spiral example's network (300 samples, layers 2 -> 64 -> 3) and two shapes of the general paths.
#include <cblas.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "core/gemm.h"
#include "core/kernels.h"
#include "core/matrix.h"

namespace {

double thread_cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

wexo::Matrix random_matrix(std::size_t rows, std::size_t cols, std::mt19937& gen) {
    std::normal_distribution<float> normal;
    wexo::Matrix m(rows, cols);
    for (float& v : m.values) v = normal(gen);
    return m;
}

enum class Steps { none, bias_relu, bias, mask, sums };

struct Case {
    const char* kernel;
    bool ta, tb;
    std::size_t m, n, k;
    Steps steps;
};

void run(const Case& cs, int repeat, std::mt19937& gen) {
    const wexo::Matrix a = cs.ta ? random_matrix(cs.k, cs.m, gen) : random_matrix(cs.m, cs.k, gen);
    const wexo::Matrix b = cs.tb ? random_matrix(cs.n, cs.k, gen) : random_matrix(cs.k, cs.n, gen);
    const wexo::Matrix bias = random_matrix(1, cs.n, gen);
    const wexo::Matrix mask = random_matrix(cs.m, cs.n, gen);
    wexo::Matrix c(cs.m, cs.n), kept(cs.m, cs.n);
    std::vector<float> sums(cs.n);
    wexo::Epilogue e;
    if (cs.steps == Steps::bias || cs.steps == Steps::bias_relu) e.add_row = bias.values.data();
    if (cs.steps == Steps::bias_relu) e.relu_inputs = &kept;
    if (cs.steps == Steps::mask) e.relu_mask = &mask;
    if (cs.steps == Steps::sums) e.b_column_sums = sums.data();
    const wexo::kernels::Epilogue f{e.add_row, e.relu_inputs ? kept.values.data() : nullptr, cs.n,
                                    e.relu_mask ? mask.values.data() : nullptr, cs.n, nullptr};
    const auto kernel = [&] { wexo::gemm(a, cs.ta, b, cs.tb, c, e); };
    const auto blas = [&] {
        scipy_cblas_sgemm(CblasRowMajor, cs.ta ? CblasTrans : CblasNoTrans, cs.tb ? CblasTrans : CblasNoTrans,
                          static_cast<blasint>(cs.m), static_cast<blasint>(cs.n), static_cast<blasint>(cs.k), 1.0f,
                          a.values.data(), static_cast<blasint>(a.n_cols), b.values.data(),
                          static_cast<blasint>(b.n_cols), 0.0f, c.values.data(), static_cast<blasint>(cs.n));
        wexo::kernels::apply_epilogue(cs.m, cs.n, c.values.data(), f);
        if (e.b_column_sums) wexo::kernels::column_sums(b.values.data(), cs.k, cs.n, e.b_column_sums);
    };
    // enough products per sample to span about 50 microseconds
    const int per_sample = std::max<int>(1, static_cast<int>(200000 / (cs.m * cs.n * cs.k / 64 + 1)));
    double best_kernel = 1e300, best_blas = 1e300;
    for (int r = 0; r < repeat; ++r) {
        double t = thread_cpu_ns();
        for (int i = 0; i < per_sample; ++i) kernel();
        best_kernel = std::min(best_kernel, (thread_cpu_ns() - t) / per_sample);
        t = thread_cpu_ns();
        for (int i = 0; i < per_sample; ++i) blas();
        best_blas = std::min(best_blas, (thread_cpu_ns() - t) / per_sample);
    }
    static const char* const step_names[] = {"none", "bias+relu", "bias", "mask", "sums"};
    std::printf("%-28s %s x %s  m %4zu n %4zu k %4zu  %-9s  kernel %9.0f ns  openblas %9.0f ns  ratio %5.2f\n",
                cs.kernel, cs.ta ? "a^T" : "a  ", cs.tb ? "b^T" : "b  ", cs.m, cs.n, cs.k,
                step_names[static_cast<int>(cs.steps)], best_kernel, best_blas, best_blas / best_kernel);
}

}  // namespace

int main(int argc, char** argv) {
    const int repeat = argc > 1 ? std::atoi(argv[1]) : 300;
    if (repeat <= 0) return 2;
    scipy_openblas_set_num_threads(1);  // gemm runs products this small on the calling thread only
    std::mt19937 gen(1);
    const Case cases[] = {
        {"scaled_rows (k <= 3)", false, false, 300, 64, 2, Steps::bias_relu},  // spiral layer 1 forward
        {"dots (n = 3)", false, false, 300, 3, 64, Steps::bias},              // spiral layer 2 forward
        {"scaled_rows (b^T, k <= 3)", false, true, 300, 64, 3, Steps::mask},  // spiral input gradient
        {"scaled_rows + sums", true, false, 2, 64, 300, Steps::sums},         // spiral layer 1 weights
        {"scaled_rows (c^T), sums", true, false, 64, 3, 300, Steps::sums},    // spiral layer 2 weights
        {"scaled_rows (k > 3)", false, false, 300, 32, 16, Steps::bias_relu},
        {"scaled_rows (b^T)", false, true, 100, 128, 10, Steps::mask},  // a 10-class input gradient
        {"scaled_rows (b^T)", false, true, 1797, 128, 10, Steps::mask},  // digits-like input gradient
        {"narrow", false, false, 1797, 10, 128, Steps::bias},  // digits-like layer 2 forward
        {"narrow", true, false, 128, 10, 1797, Steps::sums},   // digits-like layer 2 weights
        {"narrow", false, false, 100, 10, 128, Steps::bias},
        {"narrow", true, false, 128, 10, 100, Steps::sums},
        {"narrow", false, false, 300, 12, 64, Steps::bias_relu},
        {"scaled_rows (b^T)", false, true, 60000, 128, 10, Steps::mask},
        {"openblas (b^T, k > 16)", false, true, 100, 64, 32, Steps::mask},
        {"dots (n k > 4096)", false, true, 20, 64, 128, Steps::mask},
    };
    for (const Case& c : cases) run(c, repeat, gen);
    return 0;
}
