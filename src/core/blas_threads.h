// Where OpenBLAS's work runs. OpenBLAS's own worker threads spin between calls, so with another process busy on the
// machine they slowed small networks many times over. Instead a large product's parallel jobs run on threads
// started for that product and joined before it returns, and a mid-size product in a training call is cut into
// independent parts shared with helper threads that sleep between products and end with the call. Nothing spins.
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>
#include <memory>
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

// Products from kPartsFrom multiply-adds that do not pay for OpenBLAS's parallel jobs may still be cut into
// independent parts of their output, each one OpenBLAS call on one thread: nothing waits for anything but the
// product's end, and a helper that does not get a core in time leaves its parts to the caller. Measured in whole
// epochs, not only in a loop of products: a helper woken between products arrives late, so a 1000x64x64 product
// (2^22) that ran 1.3-1.7x faster in parts in a loop made a sine epoch 1.2x slower.
inline constexpr double kPartsFrom = double(1 << 23);
bool parts_pay(double m, double n, double k);

// Whether parts pay in a whole epoch depends on the machine more than on the product: the helper woken for a product
// starts late by a machine-dependent amount, and the caller then reads what the helper wrote from another core's
// cache. On one 2-core machine parts made a digits-like epoch 1.15x faster, on another 1.2x slower. So a training
// call of at least kPartsTrialFrom epochs times its epochs 2 to 1 + 2 kPartsTrialPairs, alternately without and
// with parts, and keeps parts only if its fastest epoch with them was kPartsGain or less of its fastest without (a
// tie goes to the caller alone, which leaves the other cores to other work). Both give the same bits.
inline constexpr unsigned kPartsTrialFrom = 16;
inline constexpr unsigned kPartsTrialPairs = 3;
inline constexpr double kPartsGain = 0.97;

class PartHelpers;

// While it lives on a thread (a training call), run_parts there may share the parts with helper threads: at most
// OpenBLAS's thread count less one, started at the first product that asks for them, sleeping (futex, no spinning)
// between products and joined when the scope ends. Without a scope, or with one OpenBLAS thread, there are none.
class PartHelperScope {
public:
    explicit PartHelperScope(unsigned epochs = 0);  // epochs: how many the call will run, for the trial
    ~PartHelperScope();
    PartHelperScope(const PartHelperScope&) = delete;
    PartHelperScope& operator=(const PartHelperScope&) = delete;

    PartHelpers* helpers();  // nullptr: none, or parts are off for now

    // Brackets one epoch's work, for the trial; an epoch outside them keeps the current choice.
    void begin_epoch();
    void end_epoch();

private:
    std::unique_ptr<PartHelpers> helpers_;
    PartHelperScope* saved_;
    bool tried_ = false;
    bool trial_;           // epochs are still being timed
    bool parts_on_ = true;
    bool asked_ = false;   // a product of the current epoch asked for helpers
    unsigned epoch_ = 0;
    double fastest_[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    std::chrono::steady_clock::time_point started_;  // of the current epoch; seconds in fastest_: [without, with]
};

// Runs part(context, i) once for every i < parts, on the calling thread and on the current scope's helpers that
// come free while parts are left; returns when every part has run. part must not throw.
void run_parts(std::size_t parts, void (*part)(void*, std::size_t), void* context);

// How many threads run_parts may use on this thread now (1: the caller alone).
int part_threads();

}  // namespace wexo
