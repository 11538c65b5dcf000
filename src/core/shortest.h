// Shortest round-trip decimal digits of a float32: the interval-scaling method of Schubfach.
//
// v = c * 2^q rounds back from every decimal inside [v - lower gap / 2, v + upper gap / 2] (ends included when
// c is even, the reader rounding ties to even). Scaled by 10^-k with k = floor(log10(interval width)), the
// interval is 1 to 10 wide, so it holds at most one multiple of ten (the only candidate with fewer digits) or
// else one to ten integers, of which the floor or the ceiling of the scaled v is the nearest. Comparisons need
// only the floor of four times each scaled value and whether it was exact: a 64-bit upper approximation of
// 10^-k and a 96-bit product give both for every float (tools/check_shortest proves it over all 2^32 patterns).
#pragma once

#include <bit>
#include <cstdint>

namespace wexo::text {

// value = significand * 10^exponent, the fewest digits, no trailing zeros; significand < 10^9.
struct Decimal {
    std::uint32_t significand;
    int exponent;
};

namespace shortest_detail {

// ceil(10^m * 2^-r) with r chosen so that it lies in [2^63, 2^64), for m = -31 ... 45 (made with exact
// rational arithmetic).
struct Pow10 {
    std::uint64_t g;
    int r;
};
inline constexpr int kMinPow10 = -31;
inline constexpr Pow10 kPow10[] = {
    {0x81ceb32c4b43fcf5, -166},  // 10^-31
    {0xa2425ff75e14fc32, -163},  // 10^-30
    {0xcad2f7f5359a3b3f, -160},  // 10^-29
    {0xfd87b5f28300ca0e, -157},  // 10^-28
    {0x9e74d1b791e07e49, -153},  // 10^-27
    {0xc612062576589ddb, -150},  // 10^-26
    {0xf79687aed3eec552, -147},  // 10^-25
    {0x9abe14cd44753b53, -143},  // 10^-24
    {0xc16d9a0095928a28, -140},  // 10^-23
    {0xf1c90080baf72cb2, -137},  // 10^-22
    {0x971da05074da7bef, -133},  // 10^-21
    {0xbce5086492111aeb, -130},  // 10^-20
    {0xec1e4a7db69561a6, -127},  // 10^-19
    {0x9392ee8e921d5d08, -123},  // 10^-18
    {0xb877aa3236a4b44a, -120},  // 10^-17
    {0xe69594bec44de15c, -117},  // 10^-16
    {0x901d7cf73ab0acda, -113},  // 10^-15
    {0xb424dc35095cd810, -110},  // 10^-14
    {0xe12e13424bb40e14, -107},  // 10^-13
    {0x8cbccc096f5088cc, -103},  // 10^-12
    {0xafebff0bcb24aaff, -100},  // 10^-11
    {0xdbe6fecebdedd5bf, -97},  // 10^-10
    {0x89705f4136b4a598, -93},  // 10^-9
    {0xabcc77118461cefd, -90},  // 10^-8
    {0xd6bf94d5e57a42bd, -87},  // 10^-7
    {0x8637bd05af6c69b6, -83},  // 10^-6
    {0xa7c5ac471b478424, -80},  // 10^-5
    {0xd1b71758e219652c, -77},  // 10^-4
    {0x83126e978d4fdf3c, -73},  // 10^-3
    {0xa3d70a3d70a3d70b, -70},  // 10^-2
    {0xcccccccccccccccd, -67},  // 10^-1
    {0x8000000000000000, -63},  // 10^0
    {0xa000000000000000, -60},  // 10^1
    {0xc800000000000000, -57},  // 10^2
    {0xfa00000000000000, -54},  // 10^3
    {0x9c40000000000000, -50},  // 10^4
    {0xc350000000000000, -47},  // 10^5
    {0xf424000000000000, -44},  // 10^6
    {0x9896800000000000, -40},  // 10^7
    {0xbebc200000000000, -37},  // 10^8
    {0xee6b280000000000, -34},  // 10^9
    {0x9502f90000000000, -30},  // 10^10
    {0xba43b74000000000, -27},  // 10^11
    {0xe8d4a51000000000, -24},  // 10^12
    {0x9184e72a00000000, -20},  // 10^13
    {0xb5e620f480000000, -17},  // 10^14
    {0xe35fa931a0000000, -14},  // 10^15
    {0x8e1bc9bf04000000, -10},  // 10^16
    {0xb1a2bc2ec5000000, -7},  // 10^17
    {0xde0b6b3a76400000, -4},  // 10^18
    {0x8ac7230489e80000, 0},  // 10^19
    {0xad78ebc5ac620000, 3},  // 10^20
    {0xd8d726b7177a8000, 6},  // 10^21
    {0x878678326eac9000, 10},  // 10^22
    {0xa968163f0a57b400, 13},  // 10^23
    {0xd3c21bcecceda100, 16},  // 10^24
    {0x84595161401484a0, 20},  // 10^25
    {0xa56fa5b99019a5c8, 23},  // 10^26
    {0xcecb8f27f4200f3a, 26},  // 10^27
    {0x813f3978f8940985, 30},  // 10^28
    {0xa18f07d736b90be6, 33},  // 10^29
    {0xc9f2c9cd04674edf, 36},  // 10^30
    {0xfc6f7c4045812297, 39},  // 10^31
    {0x9dc5ada82b70b59e, 43},  // 10^32
    {0xc5371912364ce306, 46},  // 10^33
    {0xf684df56c3e01bc7, 49},  // 10^34
    {0x9a130b963a6c115d, 53},  // 10^35
    {0xc097ce7bc90715b4, 56},  // 10^36
    {0xf0bdc21abb48db21, 59},  // 10^37
    {0x96769950b50d88f5, 63},  // 10^38
    {0xbc143fa4e250eb32, 66},  // 10^39
    {0xeb194f8e1ae525fe, 69},  // 10^40
    {0x92efd1b8d0cf37bf, 73},  // 10^41
    {0xb7abc627050305ae, 76},  // 10^42
    {0xe596b7b0c643c71a, 79},  // 10^43
    {0x8f7e32ce7bea5c70, 83},  // 10^44
    {0xb35dbf821ae4f38c, 86},  // 10^45
};

// floor(q * log10(2)) and floor(q * log10(2) + log10(3/4)) for |q| < 1000 (tests compare them with the exact
// values over the float range).
constexpr int floor_log10_pow2(int q) { return (q * 315653) >> 20; }
constexpr int floor_log10_three_quarters_pow2(int q) { return (q * 315653 - 131237) >> 20; }

// floor(g * cp * 2^-64) with bit 0 set when that was not exact, g being the 64-bit upper approximation of a
// power of ten: it exceeds the true power by less than 1, so an exact product leaves a remainder below cp.
inline std::uint32_t round_odd(std::uint64_t g, std::uint64_t cp) {
    const unsigned __int128 p = static_cast<unsigned __int128>(g) * cp;
    return static_cast<std::uint32_t>(p >> 64) | static_cast<std::uint32_t>(static_cast<std::uint64_t>(p) >= cp);
}

}  // namespace shortest_detail

// |v| must be finite and non-zero (the sign is ignored).
inline Decimal shortest_f32(float v) {
    using namespace shortest_detail;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(v) & 0x7FFFFFFFu;
    const std::uint32_t biased = bits >> 23;
    const std::uint32_t fraction = bits & 0x7FFFFFu;
    std::uint32_t c = fraction;
    int q = -149;
    if (biased != 0) {
        c |= 0x800000u;
        q = static_cast<int>(biased) - 150;
    }
    // the lower neighbour is half as far away at a power of two (but not at the smallest normal)
    const bool asymmetric = fraction == 0 && biased > 1;
    const int k = asymmetric ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
    const Pow10 p = kPow10[-k - kMinPow10];
    // the product's top 64 bits are the integer part: the multipliers carry the rest of the scaling, 0 to 4
    // bits (q + r is -60 to -64 over the float range)
    const int h = 64 + q + p.r;
    const std::uint32_t out = c & 1;  // odd: the interval's ends do not read back to v
    const std::uint32_t vb = round_odd(p.g, std::uint64_t{4 * c} << h);
    const std::uint32_t vbl = round_odd(p.g, std::uint64_t{4 * c - 2 + asymmetric} << h);
    const std::uint32_t vbr = round_odd(p.g, std::uint64_t{4 * c + 2} << h);
    const std::uint32_t s = vb >> 2;  // floor(v * 10^-k)
    const std::uint32_t t = s + 1;
    // The choices depend on the data at random, so they are arithmetic on 0/1 values and masks rather than
    // conditions (written with && or ?: the compiler made branches of them, mispredicted half the time).
    // Both floor and ceiling read back: the nearer, ties to the even one.
    const std::uint32_t mid = 4 * s + 2;
    const std::uint32_t nearer = s + ((vb > mid) | ((vb == mid) & s & 1));
    const std::uint32_t s_in = vbl + out <= 4 * s;
    const std::uint32_t t_in = 4 * t + out <= vbr;
    const std::uint32_t only = 0 - (s_in ^ t_in);  // all ones when exactly one of them reads back
    const std::uint32_t one = (only & (s + t_in)) | (~only & nearer);
    // A multiple of ten inside the interval (at most one: it is under ten wide) has fewer digits.
    const std::uint32_t s10 = s / 10;
    const std::uint32_t s10_in = vbl + out <= 40 * s10;
    const std::uint32_t t10_in = 40 * (s10 + 1) + out <= vbr;
    const std::uint32_t shorter = s10_in ^ t10_in;
    const std::uint32_t pick = 0 - shorter;
    std::uint32_t digits = (pick & (s10 + t10_in)) | (~pick & one);
    int exponent = k + static_cast<int>(shorter);
    // one has no trailing zero (it would be a multiple of ten inside the interval): this loops in a tenth of
    // the shorter cases only
    while (digits % 10 == 0) {
        digits /= 10;
        ++exponent;
    }
    return {digits, exponent};
}

}  // namespace wexo::text
