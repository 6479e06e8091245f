// Exponential, logarithm and cosine kernels for the Monte Carlo inner loops.
// The C library's versions are opaque calls that stop a loop from being
// vectorised; these are straight-line arithmetic and bit operations, so a loop
// over them compiles to SIMD code. Each is accurate to about an ulp, and each
// uses only IEEE additions, multiplications and one division, so its results
// are the same whatever vector width runs it.
#pragma once

#include <cstdint>
#include <cstring>

namespace tidemark::vmath {

inline double from_bits(uint64_t b) {
    double d;
    std::memcpy(&d, &b, sizeof d);
    return d;
}

inline uint64_t to_bits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Adding then subtracting 1.5 x 2^52 rounds a double of magnitude below 2^51
// to the nearest integer (ties to even), and leaves that integer in the low
// bits of the intermediate sum.
inline constexpr double kRoundShift = 0x1.8p52;

inline constexpr double kLn2Hi = 6.93147180369123816490e-01;  // trailing zeros: k x hi is exact
inline constexpr double kLn2Lo = 1.90821492927058770002e-10;

// e^x for |x| <= 700, where the result and the power of two it is scaled by
// are normal numbers. Outside that range (and for NaN) the value is
// meaningless: callers route such arguments to std::exp.
inline constexpr double kExpFastLimit = 700.0;

inline double exp_in_range(double x) {
    constexpr double log2e = 1.4426950408889634;
    const double shifted = x * log2e + kRoundShift;
    const double k = shifted - kRoundShift;
    // x = k ln2 + r with |r| <= ln2/2; the Taylor series of e^r to r^13 leaves
    // a relative truncation error below 5e-18.
    const double r = (x - k * kLn2Hi) - k * kLn2Lo;
    const double p =
        1.0 + r * (1.0 + r * (1.0 / 2 + r * (1.0 / 6 + r * (1.0 / 24 + r * (1.0 / 120 + r * (1.0 / 720 +
        r * (1.0 / 5040 + r * (1.0 / 40320 + r * (1.0 / 362880 + r * (1.0 / 3628800 + r * (1.0 / 39916800 +
        r * (1.0 / 479001600 + r * (1.0 / 6227020800.0)))))))))))));
    // 2^k built from k's two's-complement low bits: the biased exponent.
    const uint64_t scale = (to_bits(shifted) + 1023u) << 52;
    return p * from_bits(scale);
}

// ln x for x in [2^-60, 1], the range of a clamped uniform draw.
inline double log_unit(double x) {
    // Split x = 2^k m with m in [sqrt(2)/2, sqrt(2)), so that
    // s = (m - 1) / (m + 1) stays within 0.172 and ln m = 2 atanh(s) converges
    // fast: the series to s^21 is exact to 3e-17.
    constexpr uint64_t kSqrtHalfBits = 0x3fe6a09e667f3bcdULL;
    const uint64_t bits = to_bits(x);
    const uint64_t k_bits = (bits - kSqrtHalfBits) & 0xfff0000000000000ULL;
    const double m = from_bits(bits - k_bits);
    // k is the signed 12-bit number in k_bits' top bits; flipping its sign bit
    // and reading it as the low bits of 2^52 + 2048 converts it exactly.
    constexpr uint64_t kBias = 0x4330000000000800ULL;  // 2^52 + 2048
    const double k = from_bits((k_bits >> 52) ^ kBias) - from_bits(kBias);
    const double f = m - 1.0;
    const double s = f / (2.0 + f);
    const double s2 = s * s;
    const double tail =
        s2 * (2.0 / 3 + s2 * (2.0 / 5 + s2 * (2.0 / 7 + s2 * (2.0 / 9 + s2 * (2.0 / 11 + s2 * (2.0 / 13 +
        s2 * (2.0 / 15 + s2 * (2.0 / 17 + s2 * (2.0 / 19 + s2 * (2.0 / 21))))))))));
    return k * kLn2Hi + ((2.0 * s + s * tail) + k * kLn2Lo);
}

// cos(2 pi u) for u in [0, 1). The quarter turn is split off u exactly, so
// there is no rounding of 2 pi u before the cosine.
inline double cos_two_pi(double u) {
    // Taylor coefficients of sin(pi/2 r) and cos(pi/2 r) in r, each the double
    // nearest its exact value; with |r| <= 1/2 the first omitted term is below
    // 1e-19.
    constexpr double s1 = 1.5707963267948966, s3 = -0.6459640975062463, s5 = 0.07969262624616705,
                     s7 = -0.004681754135318688, s9 = 0.00016044118478735983, s11 = -3.598843235212085e-06,
                     s13 = 5.692172921967927e-08, s15 = -6.688035109811468e-10, s17 = 6.0669357311061955e-12;
    constexpr double c2 = -1.2337005501361697, c4 = 0.25366950790104803, c6 = -0.02086348076335296,
                     c8 = 0.0009192602748394266, c10 = -2.5202042373060607e-05, c12 = 4.710874778818172e-07,
                     c14 = -6.386603083791852e-09, c16 = 6.565963114979473e-11, c18 = -5.294400200734623e-13;
    // u is a multiple of 2^-53, so t = 4u and r = t - round(t) are exact, and
    // the rounded t's low bits name the quarter turn.
    const double t = u * 4.0;
    const double shifted = t + kRoundShift;
    const double r = t - (shifted - kRoundShift);
    const double r2 = r * r;
    const double sin_part =
        r * (s1 + r2 * (s3 + r2 * (s5 + r2 * (s7 + r2 * (s9 + r2 * (s11 + r2 * (s13 + r2 * (s15 + r2 * s17))))))));
    const double cos_part =
        1.0 + r2 * (c2 + r2 * (c4 + r2 * (c6 + r2 * (c8 + r2 * (c10 + r2 * (c12 + r2 * (c14 + r2 * (c16 +
        r2 * c18))))))));
    // cos(q pi/2 + theta) is cos, -sin, -cos, sin of theta for q = 0..3,
    // selected with bit masks: the quarter is random, and a branch on it
    // would both mispredict and stop vectorisation.
    const uint64_t q = to_bits(shifted) & 3u;
    const uint64_t pick_sin = 0 - (q & 1u);
    const uint64_t magnitude = (to_bits(cos_part) & ~pick_sin) | (to_bits(sin_part) & pick_sin);
    return from_bits(magnitude ^ (((q + 1) & 2u) << 62));
}

}  // namespace tidemark::vmath
