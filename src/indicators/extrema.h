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

// Calls emit(i, k) for every i in [p - 1, n), where k is the order key of the
// NaN-ignoring maximum (Max = true) or minimum of the window x[i-p+1 .. i]
// and of `start`. Both are associative and commutative, signed zeros
// included, so the fold can be regrouped freely: the van Herk / Gil-Werman
// scheme splits the series into blocks of p, keeps the suffix folds of the
// previous block and a prefix fold of the current one, and combines one of
// each per index. Three folds per value whatever the period; the scratch
// (two blocks of keys) is taken once per call.
template <bool Max, class Emit>
void rolling_extreme(std::span<const double> x, std::size_t p, double start, std::vector<int64_t>& scratch,
                     Emit&& emit) {
    const std::size_t n = x.size();
    if (p == 0 || p > n) return;
    const int64_t k0 = order_key(start);
    auto pick = [](int64_t a, int64_t b) {
        if constexpr (Max) {
            return a > b ? a : b;
        } else {
            return a < b ? a : b;
        }
    };
    scratch.resize(2 * p);
    int64_t* suf = scratch.data();
    int64_t* keys = suf + p;  // keys of the block the prefix pass went over
    const double* v = x.data();
    for (std::size_t j = 0; j < p; ++j) keys[j] = v[j] != v[j] ? k0 : order_key(v[j]);
    for (std::size_t b0 = 0; b0 + p <= n; b0 += p) {
        // Suffix folds of the block [b0, b0 + p): suf[j] covers x[b0+j .. b0+p-1].
        int64_t acc = k0;
        for (std::size_t j = p; j-- > 0;) {
            acc = pick(acc, keys[j]);
            suf[j] = acc;
        }
        // Windows ending in [b0 + p - 1, b0 + 2p - 1) start in this block at
        // j = i - p + 1 - b0 and end in the next one.
        emit(b0 + p - 1, suf[0]);
        const std::size_t end = b0 + 2 * p < n ? b0 + 2 * p : n;
        int64_t pre = k0;
        for (std::size_t i = b0 + p; i < end; ++i) {
            const int64_t k = v[i] != v[i] ? k0 : order_key(v[i]);
            keys[i - b0 - p] = k;
            pre = pick(pre, k);
            if (i + 1 < b0 + 2 * p) emit(i, pick(suf[i + 1 - p - b0], pre));
        }
    }
}

}  // namespace tidemark
