// Products on threads started per product: the same results as on one thread, and no thread left behind.
#include <gtest/gtest.h>

#include <cblas.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/blas_threads.h"
#include "core/gemm.h"
#include "support.h"

using wexo::test_support::bits;
using wexo::test_support::integers;
using wexo::test_support::kNaN;

using wexo::Matrix;

namespace {

int tasks() {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/task"), closedir);
    if (!dir) return -1;
    int n = 0;
    while (const dirent* e = readdir(dir.get())) n += e->d_name[0] != '.';
    return n;
}

// The count once threads that were joined have also left /proc: a joined thread's entry can outlive the join by a
// moment, because the kernel wakes the joiner before it removes the thread. Waits at most a second for `expected`.
int tasks_after_join(int expected) {
    int n = tasks();
    for (int i = 0; i < 1000 && n > expected; ++i, n = tasks()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return n;
}

// The count once the entries of threads joined earlier (by an earlier test, say) have left /proc: a count taken
// while one lingers would see it leave mid-test. Settled when ten reads a millisecond apart agree; a second at most.
int settled_tasks() {
    int n = tasks(), same = 0;
    for (int i = 0; i < 1000 && same < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const int now = tasks();
        same = now == n ? same + 1 : 0;
        n = now;
    }
    return n;
}

// OpenBLAS's thread count for the life of the object; the one it had comes back after.
struct BlasThreads {
    explicit BlasThreads(int n) : saved(scipy_openblas_get_num_threads()) { scipy_openblas_set_num_threads(n); }
    ~BlasThreads() { scipy_openblas_set_num_threads(saved); }
    int saved;
};

// c <- a b through run_blas, counting the process's threads while OpenBLAS runs
Matrix product(const Matrix& a, const Matrix& b, bool parallel, int& tasks_during) {
    Matrix c(a.n_rows, b.n_cols);
    std::fill(c.values.begin(), c.values.end(), kNaN);  // a job that never ran shows
    const auto n = static_cast<blasint>(b.n_cols), m = static_cast<blasint>(a.n_rows), k = static_cast<blasint>(a.n_cols);
    wexo::run_blas(parallel, [&] {
        tasks_during = tasks();
        scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a.values.data(), k,
                          b.values.data(), n, 0.0f, c.values.data(), n);
    });
    return c;
}

}  // namespace

// OpenBLAS splits a product this size over all its threads.
TEST(BlasThreads, ThreadedProductsMatchOneThreadAndLeaveNoThread) {
    const Matrix a = integers(640, 300, 1), b = integers(300, 500, 2);
    for (const int count : {1, 2, 3}) {
        const BlasThreads setting(count);
        const int before = settled_tasks();
        int during_one = 0, during_many = 0;
        const Matrix one = product(a, b, false, during_one);
        const Matrix many = product(a, b, true, during_many);
        EXPECT_EQ(bits(many.values), bits(one.values)) << count << " threads";
        EXPECT_EQ(during_one, before) << "one thread asked for, yet threads were started";
        EXPECT_EQ(during_many, before + count - 1) << "the product's threads start before OpenBLAS runs";
        EXPECT_EQ(tasks_after_join(before), before) << "threads left behind";
        EXPECT_EQ(scipy_openblas_get_num_threads(), count) << "the setting comes back";
    }
}

TEST(BlasThreads, GemmAboveTheThresholdMatchesOneThread) {
    // transposed as the backward pass does, large enough for threads
    const Matrix a = integers(1024, 1024, 3), g = integers(1024, 1024, 4);
    ASSERT_TRUE(wexo::threads_pay(1024, 1024, 1024));
    Matrix one, many;
    {
        const BlasThreads setting(1);
        wexo::gemm(a, true, g, true, one);
    }
    const int before = settled_tasks();
    wexo::gemm(a, true, g, true, many);
    EXPECT_EQ(tasks_after_join(before), before);
    EXPECT_EQ(bits(many.values), bits(one.values));
}

// Mid-size products cut into parts for a training call's helpers: every part runs once, whichever side is cut,
// whatever the transposes and however unevenly the vectors divide; the helpers live as long as the scope.
TEST(BlasThreads, ProductsInPartsMatchOneThread) {
    struct Case {
        std::size_t m, k, n;
        bool ta, tb;
    };
    for (const Case cs : {Case{1797, 64, 128, false, false}, Case{64, 1797, 128, true, false},
                          Case{1001, 130, 67, false, true}, Case{50, 900, 333, true, true}}) {
        const Matrix a = cs.ta ? integers(cs.k, cs.m, 9) : integers(cs.m, cs.k, 9);
        const Matrix b = cs.tb ? integers(cs.n, cs.k, 10) : integers(cs.k, cs.n, 10);
        ASSERT_TRUE(wexo::parts_pay(double(cs.m), double(cs.n), double(cs.k)));
        Matrix one;
        {
            const BlasThreads setting(1);
            wexo::gemm(a, cs.ta, b, cs.tb, one);
        }
        for (const int count : {1, 2, 3}) {
            const BlasThreads setting(count);
            const int before = settled_tasks();
            Matrix many(cs.m, cs.n);
            std::fill(many.values.begin(), many.values.end(), kNaN);  // a part that never ran shows
            {
                wexo::PartHelperScope scope;
                EXPECT_EQ(tasks(), before) << "helpers start with the first product that asks for them";
                wexo::gemm(a, cs.ta, b, cs.tb, many);
                const int threads = wexo::part_threads();
                EXPECT_EQ(threads, count == 1 ? 1 : std::min<int>(count, std::thread::hardware_concurrency()));
                EXPECT_EQ(tasks(), before + threads - 1);
            }
            EXPECT_EQ(tasks_after_join(before), before) << "helpers left behind";
            EXPECT_EQ(bits(many.values), bits(one.values)) << cs.m << "x" << cs.k << "x" << cs.n << ", " << count;
        }
    }
    EXPECT_EQ(wexo::part_threads(), 1) << "no scope, no helpers";
}

// A call long enough for the trial runs epoch 1 with parts, then alternately without and with them, then keeps parts
// only if they gave the clearly faster epochs; a short call, or one whose products never ask for parts, keeps them.
TEST(BlasThreads, ATrainingCallKeepsPartsOnlyWhereItsEpochsRanFasterWithThem) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: no helpers";
    const BlasThreads setting(2);
    struct Case {
        unsigned epochs;
        bool parts_slower;
        bool first_asks;
        std::vector<int> expected;  // part_threads() in each epoch
    };
    const unsigned n = wexo::kPartsTrialFrom;
    std::vector<int> trial{2, 1, 2, 1, 2, 1, 2};
    ASSERT_EQ(trial.size(), 1 + 2 * wexo::kPartsTrialPairs);
    const auto then = [&](int threads) {
        std::vector<int> v = trial;
        v.resize(n, threads);
        return v;
    };
    for (const Case& c : {Case{n, true, true, then(1)}, Case{n, false, true, then(2)},
                          Case{n - 1, true, true, std::vector<int>(n - 1, 2)},
                          Case{n, true, false, std::vector<int>(n, 2)}}) {
        wexo::PartHelperScope scope(c.epochs);
        std::vector<int> seen;
        for (unsigned e = 1; e <= c.epochs; ++e) {
            scope.begin_epoch();
            seen.push_back(e == 1 && !c.first_asks ? 2 : wexo::part_threads());
            if ((seen.back() > 1) == c.parts_slower) std::this_thread::sleep_for(std::chrono::milliseconds(3));
            scope.end_epoch();
        }
        EXPECT_EQ(seen, c.expected) << c.epochs << " epochs, parts slower: " << c.parts_slower;
    }
}

TEST(BlasThreads, ThreadsPayOnlyForLargeWorkWithLongStretchesBetweenWaits) {
    EXPECT_TRUE(wexo::threads_pay(60000, 128, 784));   // the forward product of a 60000x784 batch
    EXPECT_TRUE(wexo::threads_pay(784, 128, 60000));   // its weight gradient: 784x128 output over 60000 samples
    EXPECT_FALSE(wexo::threads_pay(1797, 128, 64));    // a small network
    EXPECT_FALSE(wexo::threads_pay(128, 128, 100000)); // a small output over a long k waits too often
    EXPECT_FALSE(wexo::threads_pay(256, 256, 40000));  // few rows of output: the same
    EXPECT_FALSE(wexo::threads_pay(1e6, 1, 1));        // no work to share
    EXPECT_TRUE(wexo::parts_pay(1797, 128, 64));       // the small network's products go in parts instead
    EXPECT_TRUE(wexo::parts_pay(128, 128, 100000));
    EXPECT_FALSE(wexo::parts_pay(60000, 128, 784));    // OpenBLAS's own jobs
    EXPECT_FALSE(wexo::parts_pay(1000, 64, 64));       // too little to share: a sine network's products
}

TEST(BlasThreads, CallsOutsideRunBlasStillRunEveryJob) {
    // once run_blas has installed the callback, another caller of the same OpenBLAS reaches it too
    int ignored = 0;
    const Matrix a = integers(700, 256, 5), b = integers(256, 400, 6);
    const Matrix expected = product(a, b, false, ignored);
    const BlasThreads setting(2);
    const int before = settled_tasks();
    Matrix c(700, 400);
    std::fill(c.values.begin(), c.values.end(), kNaN);
    scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, 700, 400, 256, 1.0f, a.values.data(), 256,
                      b.values.data(), 400, 0.0f, c.values.data(), 400);
    EXPECT_EQ(bits(c.values), bits(expected.values));
    EXPECT_EQ(tasks_after_join(before), before);
}

// With no process left for the user, pthread_create fails: the product runs on the calling thread, complete.
TEST(BlasThreads, AThreadThatCannotStartLeavesTheProductToTheCaller) {
    const Matrix a = integers(640, 300, 7), b = integers(300, 500, 8);
    int during = 0;
    const Matrix expected = product(a, b, false, during);
    const BlasThreads setting(2);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int during_child = 0;
        // OpenBLAS restarts its own idle workers after a fork when its count is next set: let it, before the limit
        product(a, b, false, during_child);
        // no new thread for this user: root ignores the limit, so the child first becomes nobody
        const rlimit one_process{1, 1};
        if ((geteuid() == 0 && setuid(65534) != 0) || setrlimit(RLIMIT_NPROC, &one_process) != 0) _exit(3);
        try {
            const Matrix got = product(a, b, true, during_child);
            bool same = std::memcmp(got.values.data(), expected.values.data(), got.size() * sizeof(float)) == 0;
            if (!same || during_child != tasks()) _exit(!same ? 1 : 2);
            // the same for a product in parts: no helper, so the caller runs them all
            wexo::PartHelperScope scope;
            Matrix cut;
            wexo::gemm(a, false, b, false, cut);
            same = std::memcmp(cut.values.data(), expected.values.data(), cut.size() * sizeof(float)) == 0;
            _exit(!same ? 1 : during_child != tasks() || wexo::part_threads() != 1 ? 2 : 0);
        } catch (...) {
            _exit(4);
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong product, 2: a thread started, 3: no limit set, 4: an exception";
}
