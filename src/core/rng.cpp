// The thread's ChaCha12 generator, Xorshift128+ and the ziggurat normal sampler.
#include "core/rng.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "core/check.h"

// Vectors never cross this unit's boundary, so the ABI note about passing them in AVX registers does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace wexo::rng {

namespace {

// The thread generator runs 12 rounds: the best known attacks reach 7, and a dropout mask draws one output per
// element, so the cheaper permutation is worth having.
constexpr int kGeneratorRounds = 12;
constexpr std::size_t kBulkBlocks = ChaChaGenerator::kBufferWords / 8;  // blocks per call of the bulk kernel
constexpr std::uint64_t kReseedBytes = 4u << 20;  // well below the 2^32-block counter range
static_assert(kReseedBytes % (kBulkBlocks * 64) == 0, "a reseed falls between two bulk calls");

using Lanes4 = std::uint32_t __attribute__((vector_size(16)));
using Lanes8 = std::uint32_t __attribute__((vector_size(32)));
using Lanes16 = std::uint32_t __attribute__((vector_size(64)));

template <std::size_t n_bytes, class W, std::size_t... B>
[[gnu::always_inline]] inline W rotl_bytes(W v, std::index_sequence<B...>) {
    using Bytes32 = std::uint8_t __attribute__((vector_size(32)));
    using Bytes64 = std::uint8_t __attribute__((vector_size(64)));
    using Bytes = std::conditional_t<sizeof(W) == 32, Bytes32, Bytes64>;
    static_assert(sizeof(Bytes) == sizeof(W));
    const auto b = reinterpret_cast<Bytes>(v);  // little end first: byte i of a word moves to byte i + n_bytes
    return reinterpret_cast<W>(__builtin_shufflevector(b, b, (B & ~std::size_t{3}) | ((B - n_bytes) & 3)...));
}

template <int n, class W>
[[gnu::always_inline]] inline W rotl(W v) {
    // AVX2 has no rotation, but one byte shuffle does it by whole bytes (AVX-512 rotates either way).
    if constexpr (n % 8 == 0 && sizeof(W) >= 32 && std::endian::native == std::endian::little)
        return rotl_bytes<n / 8>(v, std::make_index_sequence<sizeof(W)>{});
    return (v << n) | (v >> (32 - n));
}

// The block function with kRounds rounds on W = one word (one block) or a vector of words (one block a lane);
// x: the input state, replaced by the keystream words.
template <int kRounds, class W>
[[gnu::always_inline]] inline void chacha_rounds(W (&x)[16]) {
    W in[16];
    for (int w = 0; w < 16; ++w) in[w] = x[w];
    auto quarter = [&x](int a, int b, int c, int d) {
        x[a] += x[b]; x[d] = rotl<16>(x[d] ^ x[a]);
        x[c] += x[d]; x[b] = rotl<12>(x[b] ^ x[c]);
        x[a] += x[b]; x[d] = rotl<8>(x[d] ^ x[a]);
        x[c] += x[d]; x[b] = rotl<7>(x[b] ^ x[c]);
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
[[gnu::always_inline]] inline void chacha_state(const ChaChaKey& key, W counter, const ChaChaNonce& nonce,
                                                W (&x)[16]) {
    const std::uint32_t constants[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};  // "expand 32-byte k"
    for (int w = 0; w < 4; ++w) x[w] = W{} + constants[w];
    for (int w = 0; w < 8; ++w) x[4 + w] = W{} + key[w];
    x[12] = counter;
    for (int w = 0; w < 3; ++w) x[13 + w] = W{} + nonce[w];
}

// out[0 .. 8 kBulkBlocks) <- the keystream of blocks counter, counter + 1, ..., W's lane count of blocks at a
// time, one block a lane. Each group of 16 blocks is stored word-major, as the vectors come out of the rounds (no
// transpose back into block order): output 8w + j of a group is word w of its blocks 2j and 2j + 1. Every width
// stores the same order, so the stream does not depend on the processor.
template <class W>
[[gnu::always_inline]] inline void chacha_bulk(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce,
                                               std::uint64_t* out) {
    constexpr std::size_t kLanes = sizeof(W) / 4;
    constexpr std::size_t kGroup = 16;  // blocks stored word-major together
    static_assert(kBulkBlocks % kGroup == 0 && kGroup % kLanes == 0);
    for (std::size_t group = 0; group < kBulkBlocks; group += kLanes) {
        W lane_counter;
        for (std::size_t l = 0; l < kLanes; ++l) lane_counter[l] = counter + static_cast<std::uint32_t>(group + l);
        W x[16];
        chacha_state(key, lane_counter, nonce, x);
        chacha_rounds<kGeneratorRounds>(x);
        // the group's first output, and this vector's first pair of blocks within the group
        std::uint64_t* group_out = out + (group / kGroup) * kGroup * 8 + (group % kGroup) / 2;
        for (std::size_t w = 0; w < 16; ++w) {
            if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(group_out + w * 8, &x[w], sizeof(W));
            } else {
                for (std::size_t l = 0; l < kLanes; l += 2)
                    group_out[w * 8 + l / 2] = x[w][l] | std::uint64_t{x[w][l + 1]} << 32;
            }
        }
    }
}

// The bulk kernel at the vector width the processor has: 16 lanes with AVX-512, 8 with AVX2, 4 otherwise (SSE2 or
// NEON, or plain scalar code). Picked once, at load time, like the other kernels.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
[[gnu::target("default")]] void chacha12_bulk(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce,
                                              std::uint64_t* out) {
    chacha_bulk<Lanes4>(key, counter, nonce, out);
}
[[gnu::target("arch=x86-64-v3")]] void chacha12_bulk(const ChaChaKey& key, std::uint32_t counter,
                                                     const ChaChaNonce& nonce, std::uint64_t* out) {
    chacha_bulk<Lanes8>(key, counter, nonce, out);
}
[[gnu::target("arch=x86-64-v4")]] void chacha12_bulk(const ChaChaKey& key, std::uint32_t counter,
                                                     const ChaChaNonce& nonce, std::uint64_t* out) {
    chacha_bulk<Lanes16>(key, counter, nonce, out);
}
#else
void chacha12_bulk(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce, std::uint64_t* out) {
    chacha_bulk<Lanes4>(key, counter, nonce, out);
}
#endif

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
            const int saved = got == 0 ? EIO : errno;  // an early end of the device sets no errno
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

// Constant-initialised, so access needs no per-call initialisation guard.
thread_local ChaChaGenerator tls_generator;

bool forked_since_seeding(const ChaChaGenerator& g) {
    return g.seen_fork_generation != fork_generation.load(std::memory_order_relaxed);
}

void reseed(ChaChaGenerator& g) {
    static const bool registered = [] { return ::pthread_atfork(nullptr, nullptr, on_fork_child) == 0; }();
    WEXO_CHECK(registered, "cannot register the random generator's fork handler");
    unsigned char seed[sizeof(ChaChaKey) + sizeof(ChaChaNonce)];
    os_entropy(seed, sizeof seed);
    ChaChaKey key;
    ChaChaNonce nonce;
    std::memcpy(key.data(), seed, sizeof key);
    std::memcpy(nonce.data(), seed + sizeof key, sizeof nonce);
    g = make_generator(key, nonce);
}

// out[0 .. kBufferWords) <- the next kBulkBlocks blocks of g's keystream, after a reseed when one is due.
[[gnu::noinline]] void generate(ChaChaGenerator& g, std::uint64_t* out) {
    if (g.bytes_until_reseed == 0 || forked_since_seeding(g)) reseed(g);
    chacha12_bulk(g.key, g.counter, g.nonce, out);
    g.counter += kBulkBlocks;
    g.bytes_until_reseed -= kBulkBlocks * 64;
}

template <int kRounds>
std::array<std::uint32_t, 16> chacha_block(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce) {
    std::uint32_t x[16];
    chacha_state(key, counter, nonce, x);
    chacha_rounds<kRounds>(x);
    std::array<std::uint32_t, 16> out;
    for (int w = 0; w < 16; ++w) out[w] = x[w];
    return out;
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

double uniform(Xorshift128Plus& gen) { return rng::uniform(gen.next()); }

}  // namespace

std::array<std::uint32_t, 16> chacha20_block(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce) {
    return chacha_block<20>(key, counter, nonce);
}

std::array<std::uint32_t, 16> chacha12_block(const ChaChaKey& key, std::uint32_t counter, const ChaChaNonce& nonce) {
    return chacha_block<kGeneratorRounds>(key, counter, nonce);
}

ChaChaGenerator& thread_generator() { return tls_generator; }

ChaChaGenerator make_generator(const ChaChaKey& key, const ChaChaNonce& nonce) {
    ChaChaGenerator g;
    g.key = key;
    g.nonce = nonce;
    g.bytes_until_reseed = kReseedBytes;
    g.seen_fork_generation = fork_generation.load(std::memory_order_relaxed);
    return g;
}

std::uint64_t next_u64() { return next_u64(tls_generator); }

std::uint64_t next_u64(ChaChaGenerator& g) {
    if (g.next == ChaChaGenerator::kBufferWords || forked_since_seeding(g)) [[unlikely]] {
        generate(g, g.buffer);
        g.next = 0;
    }
    return g.buffer[g.next++];
}

void fill_u64(ChaChaGenerator& g, std::uint64_t* out, std::size_t n) {
    constexpr std::size_t kBuffer = ChaChaGenerator::kBufferWords;
    if (n == 0) return;
    if (forked_since_seeding(g)) [[unlikely]] g.next = kBuffer;  // what the parent buffered is the parent's
    const std::size_t buffered = std::min(n, kBuffer - g.next);
    std::memcpy(out, g.buffer + g.next, buffered * sizeof *out);
    g.next += buffered;
    out += buffered;
    n -= buffered;
    for (; n >= kBuffer; n -= kBuffer, out += kBuffer) generate(g, out);
    if (n > 0) {
        generate(g, g.buffer);
        std::memcpy(out, g.buffer, n * sizeof *out);
        g.next = n;
    }
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
