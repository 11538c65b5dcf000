// Where threads pay: each product the workloads run, through OpenBLAS on the calling thread alone, on threads
// started for the product (what wexo does from kThreadsFrom on) and cut into parts shared with a training call's
// helper threads (what wexo does from kPartsFrom up to there), alternating, the fastest of each.
//   bench_gemm_threads [SECONDS per product, default 1] [m k n ...: these shapes instead of the usual ones]
// benchmarks/bench_training.py --mode crossover runs it on a quiet machine and beside a busy process.
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/blas_threads.h"
#include "core/gemm.h"
#include "core/matrix.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 1.0;
    struct Shape {
        int m, k, n;
    };
    // forward, weight gradient and input gradient of the digits-like, sine and 60000x784 layers, and sizes between
    // the digits-like layer, the 60000x784 layers and sizes around the threshold: x w, x^T g and g w^T of each
    std::vector<Shape> shapes = {{1797, 64, 128},   {4000, 128, 128},  {16000, 128, 128},  {60000, 128, 10},
                            {10000, 256, 256}, {6000, 784, 128},  {30000, 256, 128},  {20000, 784, 128},
                            {40000, 256, 256}, {60000, 784, 128}};
    if (argc > 4) {
        shapes.clear();
        for (int i = 2; i + 2 < argc; i += 3) shapes.push_back({std::atoi(argv[i]), std::atoi(argv[i + 1]), std::atoi(argv[i + 2])});
    }
    std::printf("OpenBLAS threads: %d\n", scipy_openblas_get_num_threads());
    std::printf("%6s %5s %5s %12s %3s %12s %12s %10s %12s %8s %6s\n", "m", "k", "n", "madds", "op", "1 thread us",
                "threads us", "1/threads", "parts us", "1/parts", "wexo");
    wexo::PartHelperScope helpers;
    helpers.helpers();  // started before the timing, as a training call's are after its first product
    for (const Shape s : shapes) {
        wexo::Matrix a(s.m, s.k), b(s.k, s.n), g(s.m, s.n), c(s.m, s.n), w(s.k, s.n), gi(s.m, s.k);
        std::fill(a.values.begin(), a.values.end(), 0.5f);
        std::fill(b.values.begin(), b.values.end(), 0.25f);
        std::fill(g.values.begin(), g.values.end(), 1.0f);
        // the three products of a dense layer: x w, x^T g, g w^T
        for (const char* op : {"NN", "TN", "NT"}) {
            const auto product = [&] {
                if (op[0] == 'N' && op[1] == 'N')
                    scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, s.m, s.n, s.k, 1.0f, a.values.data(),
                                      s.k, b.values.data(), s.n, 0.0f, c.values.data(), s.n);
                else if (op[0] == 'T')
                    scipy_cblas_sgemm(CblasRowMajor, CblasTrans, CblasNoTrans, s.k, s.n, s.m, 1.0f, a.values.data(),
                                      s.k, g.values.data(), s.n, 0.0f, w.values.data(), s.n);
                else
                    scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, s.m, s.k, s.n, 1.0f, g.values.data(),
                                      s.n, b.values.data(), s.n, 0.0f, gi.values.data(), s.k);
            };
            // wexo::gemm itself: in parts where it cuts products, OpenBLAS's own jobs where those pay
            const auto in_parts = [&] {
                if (op[0] == 'N' && op[1] == 'N')
                    wexo::gemm(a, false, b, false, c);
                else if (op[0] == 'T')
                    wexo::gemm(a, true, g, false, w);
                else
                    wexo::gemm(g, false, b, true, gi);
            };
            double one = 1e30, many = 1e30, parts = 1e30;
            const auto start = std::chrono::steady_clock::now();
            do {
                auto t = std::chrono::steady_clock::now();
                wexo::run_blas(false, product);
                one = std::min(one, seconds_since(t));
                t = std::chrono::steady_clock::now();
                wexo::run_blas(true, product);
                many = std::min(many, seconds_since(t));
                t = std::chrono::steady_clock::now();
                in_parts();
                parts = std::min(parts, seconds_since(t));
            } while (seconds_since(start) < budget);
            // the product's own (m, n, k): the TN product's output is k x n over the m samples
            const bool tn = op[0] == 'T', nt = op[1] == 'T';
            const bool pays = wexo::threads_pay(tn ? s.k : s.m, tn ? s.n : nt ? s.k : s.n, tn ? s.m : nt ? s.n : s.k);
            const bool cut = wexo::parts_pay(tn ? s.k : s.m, tn ? s.n : nt ? s.k : s.n, tn ? s.m : nt ? s.n : s.k);
            std::printf("%6d %5d %5d %12.0f %3s %12.1f %12.1f %10.2f %12.1f %8.2f %6s\n", s.m, s.k, s.n,
                        double(s.m) * s.k * s.n, op, one * 1e6, many * 1e6, one / many, parts * 1e6, one / parts,
                        pays ? "thr" : cut ? "parts" : "one");
            std::fflush(stdout);
        }
    }
}
