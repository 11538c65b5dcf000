// Times drawing a dropout mask, per element: the training-mode dropout pass on a (rows, cols) batch (draws, mask
// and product), and one-at-a-time draws from the thread generator for comparison.
//
//   bench_dropout_mask [rows 1797] [cols 128] [keep 0.9] [repeat 200]
//
// Prints one JSON object: the best nanoseconds per element of `repeat` passes, by the wall clock and by the
// thread's CPU clock (the steadier one on a busy machine). benchmarks/bench_dropout.py runs it for two builds.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/matrix.h"
#include "core/rng.h"
#include "nn/dropout.h"

namespace {

double thread_cpu_ns() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double wall_ns() {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Best {
    double wall = 1e300;
    double cpu = 1e300;
};

// Best of `repeat` runs of pass(), in nanoseconds per element of n.
template <class Pass>
Best best_of(int repeat, std::size_t n, Pass&& pass) {
    Best best;
    for (int r = 0; r < repeat; ++r) {
        const double w = wall_ns(), c = thread_cpu_ns();
        pass();
        best.cpu = std::min(best.cpu, (thread_cpu_ns() - c) / static_cast<double>(n));
        best.wall = std::min(best.wall, (wall_ns() - w) / static_cast<double>(n));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1797;
    const std::size_t cols = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 128;
    const float keep = argc > 3 ? std::strtof(argv[3], nullptr) : 0.9f;
    const int repeat = argc > 4 ? std::atoi(argv[4]) : 200;
    wexo::Matrix batch(rows, cols), mask;
    const std::size_t n = batch.size();
    if (n == 0 || repeat <= 0) return 2;
    std::fill(batch.values.begin(), batch.values.end(), 1.0f);
    const Best pass = best_of(repeat, n, [&] {
        wexo::layer::dropout::forward_training(keep, batch, mask);
        std::fill(batch.values.begin(), batch.values.begin() + 1, 1.0f);  // keeps the values finite and the pass live
    });
    std::uint64_t sink = 0;
    const Best single = best_of(repeat, n, [&] {
        for (std::size_t k = 0; k < n; ++k) sink += wexo::rng::next_u64() >> 63;
    });
    std::printf("{\"elements\": %zu, \"keep\": %g, \"mask_pass_ns\": %.3f, \"mask_pass_cpu_ns\": %.3f, "
                "\"next_u64_ns\": %.3f, \"next_u64_cpu_ns\": %.3f, \"sink\": %llu}\n",
                n, static_cast<double>(keep), pass.wall, pass.cpu, single.wall, single.cpu,
                static_cast<unsigned long long>(sink % 2));
    return 0;
}
