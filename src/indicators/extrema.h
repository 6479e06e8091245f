// NaN-ignoring extremes (IEEE maxNum / minNum) and the windowed extremes
// built on them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/numeric.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tidemark {

// An integer key that orders doubles as maxNum and minNum do: the usual
// numeric order with -0 below +0. Positive doubles keep their bits; negative
// ones have every bit but the sign flipped, so larger magnitudes sort lower.
// The map is its own inverse. Comparing keys is one integer compare and a
// conditional move, where comparing doubles under the signed-zero and NaN
// rules is a chain of branches that mispredict half the time on prices.
inline int64_t order_key(double x) {
    const int64_t i = std::bit_cast<int64_t>(x);
    return i ^ ((i >> 63) & std::numeric_limits<int64_t>::max());
}
inline double from_order_key(int64_t k) {
    return std::bit_cast<double>(k ^ ((k >> 63) & std::numeric_limits<int64_t>::max()));
}

// Two doubles handled by one vector instruction per operation (the GCC and
// Clang vector extension; plain scalar code where there is no vector unit).
// Each lane is the same IEEE operation as the scalar one, so values do not
// change; kernels pair independent work (two bars, or the plus and minus
// sides of one) where the divider sets the pace.
typedef double F64x2 __attribute__((vector_size(16)));
typedef int64_t I64x2 __attribute__((vector_size(16)));
// Four lanes: two vector instructions each in the plain build, one in the
// copies built for wider vector units.
typedef double F64x4 __attribute__((vector_size(32)));
typedef int64_t I64x4 __attribute__((vector_size(32)));

// Keeps x where `keep` holds and gives +0 elsewhere, without a branch: the
// conditions in the indicator loops (a rise or a fall, the larger of two
// moves) are coin tosses on price data, and a mispredicted branch costs more
// than the arithmetic around it.
inline double keep_if(bool keep, double x) {
    return std::bit_cast<double>(std::bit_cast<uint64_t>(x) & (uint64_t{0} - static_cast<uint64_t>(keep)));
}

#if defined(__SSE2__)

// The same for two numbers (no NaN): two instructions shallower, for bands
// carried from one bar to the next.
inline double max_of_numbers(double a, double b) {
    const __m128d va = _mm_set_sd(a), vb = _mm_set_sd(b);
    return _mm_cvtsd_f64(_mm_and_pd(_mm_max_sd(va, vb), _mm_or_pd(va, _mm_cmpneq_sd(va, vb))));
}
inline double min_of_numbers(double a, double b) {
    const __m128d va = _mm_set_sd(a), vb = _mm_set_sd(b);
    return _mm_cvtsd_f64(_mm_or_pd(_mm_min_sd(va, vb), _mm_and_pd(va, _mm_cmpeq_sd(va, vb))));
}

#else

inline double max_of_numbers(double a, double b) { return max_num(a, b); }
inline double min_of_numbers(double a, double b) { return min_num(a, b); }

#endif

// o[i] for every i in [p - 1, n): the NaN-ignoring maximum (Max = true) or
// minimum of the window x[i-p+1 .. i], +0 above -0, and NaN for a window
// with nothing above the start value (-inf for the maximum, +inf for the
// minimum). For 1 <= p <= n; o[0 .. p - 1) is left alone.
template <bool Max>
void rolling_extreme(const double* x, std::size_t n, std::size_t p, double* o);

}  // namespace tidemark
