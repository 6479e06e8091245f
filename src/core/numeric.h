// Numeric primitives the engine shares.
//
// IEEE 754 maxNum / minNum: a NaN operand loses to a number (two NaN give
// the second), so one missing value never erases an extreme; +0 wins the max
// and -0 the min. std::fmax and std::fmin leave the signed-zero case to the
// platform, so it is spelled out here, branch-free where SSE2 is at hand:
// on price data the comparisons are coin tosses and a mispredicted branch
// costs more than the arithmetic.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// A function built once per vector instruction set and picked when the
// library loads, for loops whose speed is the width of the vector unit
// (divisions, square roots). The results are the same in every copy: the
// engine is built without fused multiply-adds, which the wider sets would
// otherwise bring in. The build chooses the sets (TIDEMARK_CLONES in CMake):
// a build of the baseline copy alone runs, on any processor, the code a wide
// one runs only where its sets are missing, so the copies can be held to
// each other and the narrow ones measured on a wide machine.
// TIDEMARK_AVX2_CLONES is for loops that 64-byte vectors do not speed up.
#ifndef TIDEMARK_CLONE_AVX512F
#define TIDEMARK_CLONE_AVX512F 1
#endif
#ifndef TIDEMARK_CLONE_AVX2
#define TIDEMARK_CLONE_AVX2 1
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#if TIDEMARK_CLONE_AVX512F && TIDEMARK_CLONE_AVX2
#define TIDEMARK_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#elif TIDEMARK_CLONE_AVX512F
#define TIDEMARK_VECTOR_CLONES __attribute__((target_clones("avx512f", "default")))
#elif TIDEMARK_CLONE_AVX2
#define TIDEMARK_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#if TIDEMARK_CLONE_AVX2 && !defined(__clang__)
#define TIDEMARK_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef TIDEMARK_VECTOR_CLONES
#define TIDEMARK_VECTOR_CLONES
#endif
#ifndef TIDEMARK_AVX2_CLONES
#define TIDEMARK_AVX2_CLONES
#endif

namespace tidemark {

// A count held as a double, truncated to an integer: 2^64 (exact as a
// double) and above give the largest count instead of the undefined
// conversion. For values that are neither negative nor NaN.
inline uint64_t saturating_u64(double v) {
    return v >= 18446744073709551616.0 ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(v);
}

#if defined(__SSE2__)

// Lane-wise maxNum: a NaN operand loses to a number (two NaN give the
// second), +0 wins over -0. maxpd gives a > b ? a : b, and b when unordered
// or equal; for equal operands the AND keeps +0 unless both are -0, and the
// last select takes a where only b is NaN. Lane-wise minNum mirrors it with
// the OR keeping -0.
inline __m128d max_num(__m128d a, __m128d b) {
    const __m128d r = _mm_and_pd(_mm_max_pd(a, b), _mm_or_pd(a, _mm_cmpneq_pd(a, b)));
    const __m128d only_b_nan = _mm_andnot_pd(_mm_cmpunord_pd(a, a), _mm_cmpunord_pd(b, b));
    return _mm_or_pd(_mm_and_pd(only_b_nan, a), _mm_andnot_pd(only_b_nan, r));
}
inline __m128d min_num(__m128d a, __m128d b) {
    const __m128d r = _mm_or_pd(_mm_min_pd(a, b), _mm_and_pd(a, _mm_cmpeq_pd(a, b)));
    const __m128d only_b_nan = _mm_andnot_pd(_mm_cmpunord_pd(a, a), _mm_cmpunord_pd(b, b));
    return _mm_or_pd(_mm_and_pd(only_b_nan, a), _mm_andnot_pd(only_b_nan, r));
}

// Whether two doubles have the same bits: tells +0 from -0, and a NaN from
// a NaN of another payload.
inline bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

inline double max_num(double a, double b) { return _mm_cvtsd_f64(max_num(_mm_set_sd(a), _mm_set_sd(b))); }
inline double min_num(double a, double b) { return _mm_cvtsd_f64(min_num(_mm_set_sd(a), _mm_set_sd(b))); }

#else

inline double max_num(double a, double b) {
    if (a != a) return b;
    if (b != b) return a;
    if (a == b) return std::bit_cast<double>(std::bit_cast<uint64_t>(a) & std::bit_cast<uint64_t>(b));
    return a > b ? a : b;
}

inline double min_num(double a, double b) {
    if (a != a) return b;
    if (b != b) return a;
    if (a == b) return std::bit_cast<double>(std::bit_cast<uint64_t>(a) | std::bit_cast<uint64_t>(b));
    return a < b ? a : b;
}


#endif

}  // namespace tidemark
