// Number formatting shared by printed lines and model files, and line output on fd 1.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wexo::text {

// 10^0 ... 10^(N-1); up to 10^22 every one is an exact double, up to 10^19 a 64-bit integer.
template <class T, std::size_t N>
constexpr std::array<T, N> powers_of_ten() {
    std::array<T, N> t{};
    T p = 1;
    for (std::size_t i = 0; i < N; ++i, p *= 10) t[i] = p;
    return t;
}
inline constexpr auto kPow10f64 = powers_of_ten<double, 23>();
inline constexpr auto kPow10u64 = powers_of_ten<std::uint64_t, 20>();

// Exact binary value rounded to `decimals` places, ties to even; "NaN", "inf", "-inf"; "-0.000" kept.
void append_fixed(std::string& out, float v, int decimals);

// Shortest round-trip digits, positional, no exponent, no trailing zeros: 1 -> "1", 1e-7 -> "0.0000001".
void append_shortest_positional(std::string& out, float v);

// The same layout for a double's shortest digits (messages that quote a number read from a file).
void append_shortest_positional_f64(std::string& out, double v);

// Model-file layout of the shortest round-trip digits ("1.0", "1e-7", "1.2345679e14"); non-finite -> "null".
// Writes at most kMaxJsonFloat bytes at p and returns the end.
inline constexpr int kMaxJsonFloat = 32;
char* write_json_float(char* p, float v);

// n of them separated by commas; writes at most n * (kMaxJsonFloat + 1) bytes at p and returns the end.
char* write_json_float_list(char* p, const float* v, std::size_t n);

// Unsigned decimal; writes at most 20 bytes at p and returns the end.
char* write_u64(char* p, unsigned long long v);

// One write(2) of the whole line to file descriptor 1, retrying interrupted and short writes; a write error
// (closed or full stdout) drops the line.
void write_stdout(std::string_view line);

}  // namespace wexo::text
