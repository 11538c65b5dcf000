// Checks the float32 shortest-digits search and the model-file number layout over all 2^32 bit patterns:
// the digits and exponent must equal std::to_chars's shortest form, and the layout must be the text written out
// rule by rule from those digits and read back through the model-file reader to the same bits (non-finite
// values are written as null). Usage: check_shortest [threads]
// [first last] (a bit-pattern range, inclusive, for quick runs); exits 1 on any mismatch.
#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/check.h"
#include "core/shortest.h"
#include "core/text.h"
#include "io/json.h"

namespace {

constexpr std::uint64_t kBlock = 1 << 14;  // numbers per read-back document
constexpr int kMaxReported = 8;             // mismatches printed per thread

struct Tally {
    std::uint64_t checked = 0;
    std::uint64_t digit_mismatches = 0;
    std::uint64_t layout_mismatches = 0;
    std::vector<std::uint32_t> reported;
};

// significand and exponent of to_chars's scientific shortest form "d[.ddd]e[+-]xx"
wexo::text::Decimal reference(float v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::uint64_t sig = 0;
    int n_frac = 0;
    const char* p = buf;
    if (*p == '-') ++p;
    const char* first = p;
    for (; p < r.ptr && *p != 'e'; ++p) {
        if (*p == '.') continue;
        sig = sig * 10 + static_cast<unsigned>(*p - '0');
        if (p > first + 1) ++n_frac;
    }
    ++p;
    const bool negative = *p == '-';
    int e = 0;
    for (++p; p < r.ptr; ++p) e = e * 10 + (*p - '0');
    return {static_cast<std::uint32_t>(sig), (negative ? -e : e) - n_frac};
}

// The model-file text of finite v from its reference digits d, written out rule by rule into out: the digits with
// the point at e (value = 0.d1...dn * 10^e), zeros to fill, or scientific notation outside -6 < e <= 13. A reused
// buffer: this runs 2^32 times.
void reference_layout(float v, const wexo::text::Decimal& d, std::string& out) {
    out.clear();
    if (std::signbit(v)) out.push_back('-');
    if (v == 0) {
        out.append("0.0");
        return;
    }
    char buf[16];
    const std::string_view digits(buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, d.significand).ptr - buf));
    const int n = static_cast<int>(digits.size());
    const int e = d.exponent + n;
    const auto count = [](int k) { return static_cast<std::size_t>(k); };
    if (n <= e && e <= 13) {
        out.append(digits).append(count(e - n), '0').append(".0");
    } else if (0 < e && e < n) {
        out.append(digits.substr(0, count(e))).append(".").append(digits.substr(count(e)));
    } else if (-6 < e && e <= 0) {
        out.append("0.").append(count(-e), '0').append(digits);
    } else {
        out.append(digits.substr(0, 1));
        if (n > 1) out.append(".").append(digits.substr(1));
        char exp[8];
        out.append("e").append(exp, static_cast<std::size_t>(std::to_chars(exp, exp + sizeof exp, e - 1).ptr - exp));
    }
}

void note(Tally& t, std::uint32_t bits) {
    if (t.reported.size() < kMaxReported) t.reported.push_back(bits);
}

// Bit patterns [first, last], inclusive. Each block goes through the list writer that files use (a vector path
// where the processor has one); every number's text must also be what the single-number writer gives.
void check_range(std::uint64_t first, std::uint64_t last, Tally& t) {
    std::string doc, layout;
    std::vector<float> block, expected;
    std::vector<char> list(kBlock * (wexo::text::kMaxJsonFloat + 1));
    wexo::Vector got;
    for (std::uint64_t start = first; start <= last; start += kBlock) {
        const std::uint64_t end = std::min(last + 1, start + kBlock);
        block.clear();
        for (std::uint64_t b = start; b < end; ++b) block.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(b)));
        const char* list_end = wexo::text::write_json_float_list(list.data(), block.data(), block.size());
        const char* at = list.data();
        doc.assign(1, '[');
        expected.clear();
        for (const float v : block) {
            const auto bits = std::bit_cast<std::uint32_t>(v);
            const char* comma = std::find(at, list_end, ',');
            const std::string_view text(at, static_cast<std::size_t>(comma - at));
            at = comma + (comma < list_end);
            char num[wexo::text::kMaxJsonFloat];
            const std::string_view single(num, static_cast<std::size_t>(wexo::text::write_json_float(num, v) - num));
            if (!std::isfinite(v)) {
                if (text != "null" || single != "null") {
                    ++t.layout_mismatches;
                    note(t, bits);
                }
                continue;
            }
            const bool nonzero = v != 0;
            const wexo::text::Decimal theirs = nonzero ? reference(v) : wexo::text::Decimal{0, 0};
            // The layout writes the digits the search found, so equal text means equal digits; the search is
            // asked again only to say which of the two went wrong.
            reference_layout(v, theirs, layout);
            if (text != layout || single != layout) {
                const wexo::text::Decimal ours = nonzero ? wexo::text::shortest_f32(v) : theirs;
                ++(ours.significand != theirs.significand || ours.exponent != theirs.exponent ? t.digit_mismatches
                                                                                                : t.layout_mismatches);
                note(t, bits);
            }
            if (expected.size() > 0) doc.push_back(',');
            doc.append(text);
            expected.push_back(v);
        }
        if (at != list_end) {
            t.layout_mismatches += block.size();  // the list holds another number count
            note(t, static_cast<std::uint32_t>(start));
        }
        doc.push_back(']');
        t.checked += end - start;
        wexo::json::Reader r(doc);
        r.read_f32_array(got, expected.size());
        r.finish();
        if (got.size() != expected.size()) {
            t.layout_mismatches += expected.size();
            note(t, static_cast<std::uint32_t>(start));
            continue;
        }
        for (std::size_t i = 0; i < got.size(); ++i) {
            if (std::bit_cast<std::uint32_t>(got[i]) != std::bit_cast<std::uint32_t>(expected[i])) {
                ++t.layout_mismatches;
                note(t, std::bit_cast<std::uint32_t>(expected[i]));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned n_threads = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 2;
    const std::uint64_t first = argc > 3 ? std::strtoull(argv[2], nullptr, 0) : 0;
    const std::uint64_t last = argc > 3 ? std::strtoull(argv[3], nullptr, 0) : UINT32_MAX;
    if (n_threads == 0 || n_threads > 256 || first > last || last > UINT32_MAX) {
        std::fprintf(stderr, "usage: check_shortest [threads] [first last]\n");
        return 2;
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Tally> tallies(n_threads);
    std::vector<std::thread> threads;
    const std::uint64_t total = last - first + 1;
    for (unsigned i = 0; i < n_threads; ++i) {
        const std::uint64_t a = first + total * i / n_threads;
        const std::uint64_t b = first + total * (i + 1) / n_threads;
        if (a == b) continue;
        threads.emplace_back([a, b, &tally = tallies[i]] {
            try {
                check_range(a, b - 1, tally);
            } catch (const wexo::Abort& e) {
                std::fprintf(stderr, "reader failed: %s\n", e.what());
                ++tally.layout_mismatches;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    Tally all;
    for (const Tally& t : tallies) {
        all.checked += t.checked;
        all.digit_mismatches += t.digit_mismatches;
        all.layout_mismatches += t.layout_mismatches;
        for (const std::uint32_t b : t.reported) std::printf("mismatch: bit pattern 0x%08" PRIx32 "\n", b);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("checked %" PRIu64 " bit patterns on %u threads in %.1f s: %" PRIu64 " digit mismatches, %" PRIu64
                " layout mismatches (text or read-back)\n",
                all.checked, n_threads, seconds, all.digit_mismatches, all.layout_mismatches);
    return all.digit_mismatches + all.layout_mismatches == 0 && all.checked == total ? 0 : 1;
}
