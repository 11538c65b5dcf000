// Where OpenBLAS's parallel jobs run. OpenBLAS's own worker threads spin between calls, so with another process
// busy on the machine they slowed small networks many times over. Instead its jobs run on threads started for one
// product and joined before that product returns: between products no thread of ours exists, let alone spins.
#pragma once

#include <type_traits>

namespace wexo {

// Whether a product op(a) (m, k) x op(b) (k, n) may run on several threads, measured on two cores beside one busy
// process (benchmarks/bench_training.py --mode crossover):
// - kThreadsFrom multiply-adds in all: there a worker that starts late costs a small share (2^30.9 gained 1.12-1.18x,
//   2^29.9 lost up to 1.3x);
// - kThreadsStep multiply-adds between the points where OpenBLAS's jobs wait for each other (one step of its k
//   loop, about kThreadsDepth deep, over the whole m x n output), and at least kThreadsRows output rows: a product
//   with a small output over a long k (a weight gradient of a narrow layer) waits often, and each wait on a worker
//   kept off its core costs a scheduler slice. 40000x256 transposed times 40000x256 ran 8x slower on two threads,
//   40000x384 times 40000x192 and 60000x784 times 60000x128 1.15-1.2x faster.
inline constexpr double kThreadsFrom = double(1 << 30);
inline constexpr double kThreadsStep = double(1 << 24);
inline constexpr double kThreadsDepth = 256;
inline constexpr double kThreadsRows = 384;
bool threads_pay(double m, double n, double k);

// Calls `call(context)`, which makes one OpenBLAS call. When `parallel` and OpenBLAS's thread count is above one,
// that call's parallel jobs run on threads started for it (at most that count less one) and joined before this
// returns; otherwise OpenBLAS runs on the calling thread alone for this call. The count itself is never raised, so
// OPENBLAS_NUM_THREADS=1 means no thread besides the caller's. A thread that cannot be started leaves the product
// with fewer threads, down to the calling thread alone.
void run_blas(bool parallel, void (*call)(void*), void* context);

template <class F>
void run_blas(bool parallel, F&& f) {
    using Fn = std::remove_reference_t<F>;
    run_blas(parallel, [](void* p) { (*static_cast<Fn*>(p))(); }, const_cast<void*>(static_cast<const void*>(&f)));
}

}  // namespace wexo
