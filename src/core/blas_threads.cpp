#include "core/blas_threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/openblas.h"

namespace wexo {

namespace {

// One batch of jobs as OpenBLAS hands it to its threads callback: job i is dojob(i, jobdata + i * elsize, data).
struct Batch {
    openblas_dojob_callback dojob = nullptr;
    char* jobdata = nullptr;
    std::size_t elsize = 0;
    int data = 0;
    int numjobs = 0;

    void run(int i) const { dojob(i, jobdata + static_cast<std::size_t>(i) * elsize, data); }
};

// Threads started for one product. Each sleeps in a futex wait (no spinning) until a batch arrives, runs its job
// and sleeps again; the destructor wakes them to end and joins them. OpenBLAS's jobs wait for each other's packed
// panels, so they must all run at once: that is why the threads exist before the product starts, and why a batch
// never has more jobs than threads plus the caller.
class JobThreads {
public:
    explicit JobThreads(int wanted) {
        try {
            threads_.reserve(static_cast<std::size_t>(wanted));
            for (int i = 1; i <= wanted; ++i) threads_.emplace_back([this, i] { work(i); });
        } catch (const std::system_error&) {  // no more threads now: the product makes do with those started
        } catch (const std::bad_alloc&) {
        }
    }
    ~JobThreads() {
        stop_.store(true, std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
    }  // threads_ goes first, joining every thread before the state they read
    JobThreads(const JobThreads&) = delete;
    JobThreads& operator=(const JobThreads&) = delete;

    int count() const { return static_cast<int>(threads_.size()); }

    // Job 0 on the calling thread, jobs 1.. on the threads; b.numjobs - 1 <= count().
    void run(const Batch& b) noexcept {
        batch_ = b;
        pending_.store(count(), std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
        b.run(0);
        for (int p; (p = pending_.load(std::memory_order_acquire)) != 0;) pending_.wait(p, std::memory_order_acquire);
    }

private:
    void work(int index) noexcept {
        std::uint32_t seen = 0;
        for (;;) {
            generation_.wait(seen, std::memory_order_acquire);
            seen = generation_.load(std::memory_order_acquire);
            if (stop_.load(std::memory_order_relaxed)) return;
            if (index < batch_.numjobs) batch_.run(index);
            if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pending_.notify_one();
        }
    }

    Batch batch_;
    std::atomic<std::uint32_t> generation_{0};
    std::atomic<int> pending_{0};
    std::atomic<bool> stop_{false};
    std::vector<std::jthread> threads_;  // last member: destroyed (joined) first
};

// The callback has no context argument; OpenBLAS calls it on the thread that called OpenBLAS, so that thread's
// pointer finds the product's threads. Set only while run_blas runs.
thread_local JobThreads* current_threads = nullptr;

// OpenBLAS's threads callback. It must return only when every job has run, and may neither throw nor abort.
void run_jobs(int /*sync*/, openblas_dojob_callback dojob, int numjobs, std::size_t elsize, void* jobdata,
              int data) noexcept {
    if (numjobs <= 0) return;
    const Batch b{dojob, static_cast<char*>(jobdata), elsize, data, numjobs};
    if (numjobs == 1) return b.run(0);
    if (current_threads && numjobs - 1 <= current_threads->count()) return current_threads->run(b);
    // A parallel call that did not come through run_blas (another user of this OpenBLAS in the process): threads
    // for this batch alone. Its jobs wait for each other, so running them one after another here would never end;
    // when the system has no thread to spare, try again shortly.
    for (auto pause = std::chrono::microseconds(50);; pause = std::min(pause * 2, std::chrono::microseconds(20000))) {
        JobThreads extra(numjobs - 1);
        if (extra.count() == numjobs - 1) return extra.run(b);
        std::this_thread::sleep_for(pause);
    }
}

// While it lives, OpenBLAS uses at most `limit` threads (0: no limit); the count it had (OPENBLAS_NUM_THREADS, or
// whatever the process set) is put back after. The interpreter lock serialises the calls that change it; both calls
// only store a number.
class BlasThreadLimit {
public:
    BlasThreadLimit(int had, int limit) : saved_(limit > 0 && had > limit ? had : 0) {
        if (saved_) openblas::functions().set_num_threads(limit);
    }
    ~BlasThreadLimit() {
        if (saved_) openblas::functions().set_num_threads(saved_);
    }
    BlasThreadLimit(const BlasThreadLimit&) = delete;
    BlasThreadLimit& operator=(const BlasThreadLimit&) = delete;

private:
    int saved_;  // 0: nothing to put back
};

class CurrentThreads {
public:
    explicit CurrentThreads(JobThreads* t) : saved_(current_threads) { current_threads = t; }
    ~CurrentThreads() { current_threads = saved_; }
    CurrentThreads(const CurrentThreads&) = delete;
    CurrentThreads& operator=(const CurrentThreads&) = delete;

private:
    JobThreads* saved_;
};

thread_local PartHelperScope* current_scope = nullptr;

}  // namespace

// Threads that take the parts of one product at a time as they come free. A part is claimed under the lock and
// run outside it; the caller claims parts too, so parts a helper never reaches (no core for it yet) run on the
// caller, and the only wait is for parts already running elsewhere.
class PartHelpers {
public:
    explicit PartHelpers(int wanted) {
        try {
            threads_.reserve(static_cast<std::size_t>(wanted));
            for (int i = 0; i < wanted; ++i) threads_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {  // fewer helpers, down to none
        } catch (const std::bad_alloc&) {
        }
    }
    ~PartHelpers() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        posted_.notify_all();
    }  // threads_ goes first, joining every thread before the state they read
    PartHelpers(const PartHelpers&) = delete;
    PartHelpers& operator=(const PartHelpers&) = delete;

    int count() const { return static_cast<int>(threads_.size()); }

    void run(std::size_t parts, void (*part)(void*, std::size_t), void* context) noexcept {
        {
            const std::lock_guard lock(mutex_);
            part_ = part;
            context_ = context;
            parts_ = parts;
            next_ = 0;
            done_ = 0;
            ++generation_;
        }
        posted_.notify_all();
        std::unique_lock lock(mutex_);
        while (next_ < parts_) {
            const std::size_t i = next_++;
            lock.unlock();
            part(context, i);
            lock.lock();
            ++done_;
        }
        finished_.wait(lock, [this] { return done_ == parts_; });
    }

private:
    void work() noexcept {
        std::unique_lock lock(mutex_);
        for (std::uint64_t seen = 0;;) {
            posted_.wait(lock, [&] { return stop_ || generation_ != seen; });
            if (stop_) return;
            seen = generation_;
            while (next_ < parts_) {
                const std::size_t i = next_++;
                const auto part = part_;
                void* const context = context_;
                lock.unlock();
                part(context, i);
                lock.lock();
                if (++done_ == parts_) finished_.notify_one();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable posted_;    // a product's parts, or the end
    std::condition_variable finished_;  // the last part is done
    void (*part_)(void*, std::size_t) = nullptr;
    void* context_ = nullptr;
    std::size_t parts_ = 0, next_ = 0, done_ = 0;
    std::uint64_t generation_ = 0;
    bool stop_ = false;
    std::vector<std::jthread> threads_;  // last member: destroyed (joined) first
};

PartHelperScope::PartHelperScope(unsigned epochs) : saved_(current_scope), trial_(epochs >= kPartsTrialFrom) {
    current_scope = this;
}

PartHelperScope::~PartHelperScope() { current_scope = saved_; }

void PartHelperScope::begin_epoch() {
    ++epoch_;
    if (!trial_) return;
    if (epoch_ >= 2) parts_on_ = epoch_ % 2 == 1;
    asked_ = false;
    started_ = std::chrono::steady_clock::now();
}

void PartHelperScope::end_epoch() {
    if (!trial_) return;
    if (epoch_ == 1) {
        trial_ = asked_ && helpers_;  // nothing asks for parts, or no helper to take them: nothing to choose
        return;
    }
    double& fastest = fastest_[parts_on_ ? 1 : 0];
    fastest = std::min(fastest, std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
    if (epoch_ == 1 + 2 * kPartsTrialPairs) {
        parts_on_ = fastest_[1] < kPartsGain * fastest_[0];
        trial_ = false;
    }
}

PartHelpers* PartHelperScope::helpers() {
    asked_ = true;
    if (!parts_on_) return nullptr;
    if (!tried_) {
        tried_ = true;
        const int cores = static_cast<int>(std::thread::hardware_concurrency());
        const int wanted = std::min({openblas::functions().get_num_threads(), std::max(cores, 1), 16}) - 1;
        if (wanted > 0) {
            try {
                helpers_ = std::make_unique<PartHelpers>(wanted);
            } catch (const std::bad_alloc&) {
            }
            if (helpers_ && helpers_->count() == 0) helpers_.reset();
        }
    }
    return helpers_.get();
}

int part_threads() {
    PartHelpers* const h = current_scope ? current_scope->helpers() : nullptr;
    return h ? h->count() + 1 : 1;
}

void run_parts(std::size_t parts, void (*part)(void*, std::size_t), void* context) {
    PartHelpers* const h = current_scope ? current_scope->helpers() : nullptr;
    if (h && parts > 1) return h->run(parts, part, context);
    for (std::size_t i = 0; i < parts; ++i) part(context, i);
}

bool parts_pay(double m, double n, double k) { return m * n * k >= kPartsFrom && !threads_pay(m, n, k); }

bool threads_pay(double m, double n, double k) {
    return m * n * k >= kThreadsFrom && m * n * std::min(k, kThreadsDepth) >= kThreadsStep && m >= kThreadsRows;
}

void run_blas(bool parallel, void (*call)(void*), void* context) {
    // Once per process, before the first product: from then on OpenBLAS's parallel jobs come to run_jobs.
    const openblas::Functions& blas = openblas::functions();
    static const bool installed = (blas.set_threads_callback(run_jobs), true);
    (void)installed;
    const int had = blas.get_num_threads();
    if (!parallel || had <= 1) {
        const BlasThreadLimit one(had, 1);
        return call(context);
    }
    JobThreads threads(had - 1);
    const BlasThreadLimit fewer(had, threads.count() + 1);  // as many jobs as threads started, plus the caller
    const CurrentThreads scope(&threads);
    call(context);
}

}  // namespace wexo
