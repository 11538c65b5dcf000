// Where OpenBLAS's parallel jobs run. OpenBLAS's own worker threads spin between calls, so with another process
// busy on the machine they slowed small networks many times over. Instead its jobs run on threads started for one
// product and joined before that product returns: between products no thread of ours exists, let alone spins.
#pragma once

#include <type_traits>

namespace wexo {

// From this many multiply-adds on, a product may run on several threads; below it, on the calling thread only.
// benchmarks/bench_training.py --mode crossover measures both sides, quiet and with a busy process.
inline constexpr double kThreadsFrom = double(1 << 28);

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
