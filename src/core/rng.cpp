// The thread's ChaCha20 generator, Xorshift128+ and the ziggurat normal sampler.
#include "core/rng.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "core/check.h"

namespace wexo::rng {

namespace {

// Four consecutive blocks at once, one per vector lane (SSE2 or NEON width; plain scalar code elsewhere).
using Lanes = std::uint32_t __attribute__((vector_size(16)));
constexpr std::size_t kLanes = 4;
// The thread generator runs 12 rounds: the best known attacks reach 7, and a dropout mask draws one output per
// element, so the cheaper permutation is worth having.
constexpr int kGeneratorRounds = 12;

template <class W>
W rotl(W v, int n) { return (v << n) | (v >> (32 - n)); }

// The block function with kRounds rounds on W = one word (one block) or Lanes (kLanes blocks); x: the input
// state, replaced by the keystream words.
template <int kRounds, class W>
void chacha_rounds(W (&x)[16]) {
    W in[16];
    for (int w = 0; w < 16; ++w) in[w] = x[w];
    auto quarter = [&x](int a, int b, int c, int d) {
        x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
        x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
        x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
        x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
    };
    for (int round = 0; round < kRounds; round += 2) {
        quarter(0, 4, 8, 12);
        quarter(1, 5, 9, 13);
        quarter(2, 6, 10, 14);
        quarter(3, 7, 11, 15);
        quarter(0, 5, 10, 15);
        quarter(1, 6, 11, 12);
        quarter(2, 7, 8, 13);
        quarter(3, 4, 9, 14);
    }
    for (int w = 0; w < 16; ++w) x[w] += in[w];
}

template <class W>
void chacha_state(const std::array<std::uint32_t, 8>& key, W counter, const std::array<std::uint32_t, 3>& nonce,
                  W (&x)[16]) {
    const std::uint32_t constants[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};  // "expand 32-byte k"
    for (int w = 0; w < 4; ++w) x[w] = W{} + constants[w];
    for (int w = 0; w < 8; ++w) x[4 + w] = W{} + key[w];
    x[12] = counter;
    for (int w = 0; w < 3; ++w) x[13 + w] = W{} + nonce[w];
}

constexpr std::size_t kBufferWords = kLanes * 16 / 2;    // 64-bit outputs per refill
constexpr std::uint64_t kReseedBytes = 4u << 20;         // well below the 2^32-block counter range

// Bumped in every forked child, so a child never replays its parent's buffered or future output.
std::atomic<std::uint64_t> fork_generation{0};

void on_fork_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

bool read_urandom(unsigned char* p, std::size_t n) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (n > 0) {
        const ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    ::close(fd);
    return true;
}

void os_entropy(unsigned char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSYS || errno == EPERM) break;  // no such call here (old kernel or seccomp)
            fail("cannot read the operating system's entropy source: " + os_error_text(errno));
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    if (n > 0 && !read_urandom(p, n))
        fail("cannot read /dev/urandom: " + os_error_text(errno));
}

struct ChaChaGenerator {
    std::array<std::uint32_t, 8> key{};
    std::array<std::uint32_t, 3> nonce{};
    std::uint32_t counter = 0;
    std::uint64_t bytes_until_reseed = 0;  // 0: not seeded yet or due
    std::uint64_t seen_fork_generation = 0;
    std::size_t next = kBufferWords;  // index of the next unused output; kBufferWords: buffer used up
    std::uint64_t buffer[kBufferWords]{};
};

// Constant-initialised, so access needs no per-call initialisation guard.
thread_local ChaChaGenerator tls_generator;

void reseed(ChaChaGenerator& g, std::uint64_t generation) {
    static const bool registered = [] { return ::pthread_atfork(nullptr, nullptr, on_fork_child) == 0; }();
    WEXO_CHECK(registered, "cannot register the random generator's fork handler");
    unsigned char seed[sizeof g.key + sizeof g.nonce];
    os_entropy(seed, sizeof seed);
    std::memcpy(g.key.data(), seed, sizeof g.key);
    std::memcpy(g.nonce.data(), seed + sizeof g.key, sizeof g.nonce);
    g.counter = 0;
    g.bytes_until_reseed = kReseedBytes;
    g.seen_fork_generation = generation;
}

[[gnu::noinline]] void refill(ChaChaGenerator& g) {
    const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
    if (g.bytes_until_reseed == 0 || g.seen_fork_generation != generation) reseed(g, generation);
    const std::uint32_t c = g.counter;
    Lanes words[16];
    chacha_state(g.key, Lanes{c, c + 1, c + 2, c + 3}, g.nonce, words);
    chacha_rounds<kGeneratorRounds>(words);
    g.counter += kLanes;
    g.bytes_until_reseed -= kLanes * 64;
    // keystream order: block by block, each block's words in order, two words per output (little end first)
    std::size_t k = 0;
    for (std::size_t l = 0; l < kLanes; ++l)
        for (int w = 0; w < 16; w += 2)
            g.buffer[k++] = static_cast<std::uint64_t>(words[w][l]) | static_cast<std::uint64_t>(words[w + 1][l]) << 32;
    g.next = 0;
}

// Ziggurat of 128 equal-area strips under f(x) = exp(-x^2 / 2). Strip 0 is the rectangle [0, r] x [0, f(r)]
// plus the exponential wedge exp(-r (x - r/2)) beyond r, whose area f(r) / r is the part of strip 0 past r;
// that choice of area closes the stack at f(0) = 1 for this r.
constexpr double kTailStart = 3.44428647676;
constexpr int kStrips = 128;

double density(double x) { return std::exp(-0.5 * x * x); }

struct ZigguratTables {
    double x[kStrips + 1];  // right edge of strip i (x[0]: strip 0's width as a rectangle), x[128] = 0
    double y[kStrips + 1];  // f(x[i]): strip i spans heights y[i] to y[i + 1]; y[128] = 1
};

ZigguratTables build_tables() {
    ZigguratTables t{};
    const double r = kTailStart;
    const double area = r * density(r) + density(r) / r;
    t.x[0] = area / density(r);
    t.x[1] = r;
    for (int i = 1; i < kStrips - 1; ++i) t.x[i + 1] = std::sqrt(-2.0 * std::log(density(t.x[i]) + area / t.x[i]));
    t.x[kStrips] = 0.0;
    for (int i = 1; i < kStrips; ++i) t.y[i] = density(t.x[i]);
    t.y[0] = 0.0;
    t.y[kStrips] = 1.0;
    return t;
}

// [0, 1) with 53 random bits
double uniform(Xorshift128Plus& gen) { return static_cast<double>(gen.next() >> 11) * 0x1p-53; }

}  // namespace

std::array<std::uint32_t, 16> chacha20_block(const std::array<std::uint32_t, 8>& key, std::uint32_t counter,
                                             const std::array<std::uint32_t, 3>& nonce) {
    std::uint32_t x[16];
    chacha_state(key, counter, nonce, x);
    chacha_rounds<20>(x);
    std::array<std::uint32_t, 16> out;
    for (int w = 0; w < 16; ++w) out[w] = x[w];
    return out;
}

std::uint64_t next_u64() {
    ChaChaGenerator& g = tls_generator;
    if (g.next == kBufferWords || g.seen_fork_generation != fork_generation.load(std::memory_order_relaxed))
        [[unlikely]] refill(g);
    return g.buffer[g.next++];
}

std::uint64_t Xorshift128Plus::next() {
    const std::uint64_t s = a ^ (a << 23);
    const std::uint64_t h = s ^ b ^ (s >> 17) ^ (b >> 26);
    a = b;
    b = h;
    return a + h;
}

double standard_normal(Xorshift128Plus& gen) {
    static const ZigguratTables t = build_tables();
    const double r = kTailStart;
    for (;;) {
        const auto bits = static_cast<std::uint32_t>(gen.next());
        const unsigned i = bits & 0x7f;
        const double sign = (bits & 0x80) ? 1.0 : -1.0;
        double x = static_cast<double>(bits >> 8) * 0x1p-24 * t.x[i];
        if (x < t.x[i + 1]) return sign * x;  // inside the part of the strip that lies wholly under f
        double y;
        if (i == 0) {
            x = r - std::log(1.0 - uniform(gen)) / r;
            y = uniform(gen) * std::exp(-r * (x - 0.5 * r));
        } else {
            y = t.y[i] + uniform(gen) * (t.y[i + 1] - t.y[i]);
        }
        if (y < density(x)) return sign * x;  // otherwise a fresh candidate
    }
}

}  // namespace wexo::rng
