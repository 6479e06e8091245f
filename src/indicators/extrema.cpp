#include "indicators/extrema.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

#include "core/lanes.h"

namespace tidemark {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The rolling extremes by the van Herk / Gil-Werman scheme: the series is cut
// into blocks of p, and the window ending at offset t of block k is the
// suffix of block k - 1 from t + 1 (folded once, backwards, when block k - 1
// was read) and the prefix of block k up to t. Both folds of a block run in
// one loop, the prefix from its start and the next suffix from its end, so
// that two chains of comparisons overlap; the suffixes wait in two buffers of
// p + 1, which stay in the cache.
//
// The plain comparison (the new value against the fold so far) already
// ignores a NaN, which never wins it, and an infinity, which wins as a number
// does; the folds never hold a NaN, so apart from zeros two values that tie
// have the same bits. It goes wrong in two ways only: a tie of +0 with -0 may
// keep the wrong sign, and a window with nothing better than the start value
// (-inf for the maximum, +inf for the minimum) reads that value, not NaN. A
// run of blocks holding a zero is folded again with the exact comparison (+0
// wins the maximum, -0 the minimum); in a run holding a NaN or an infinity
// but no zero only the empty windows are mended.
template <bool Max, bool Exact>
[[gnu::always_inline]] inline double pick_extreme(double a, double b) {
    if constexpr (Exact) {
        constexpr double start = Max ? -kInf : kInf;
        a = a != a ? start : a;
        if (a == b)
            return std::bit_cast<double>(Max ? (std::bit_cast<uint64_t>(a) & std::bit_cast<uint64_t>(b))
                                             : (std::bit_cast<uint64_t>(a) | std::bit_cast<uint64_t>(b)));
    }
    if constexpr (Max) {
        return a > b ? a : b;
    } else {
        return a < b ? a : b;
    }
}

// Blocks of at least this many values fetch the next block ahead.
constexpr std::size_t kPrefetchBlock = 64;

// Blocks [first, last) of x (each of p values): outputs of every window that
// ends in them, and the suffix folds of the last one into `before`, which on
// entry holds those of block first - 1 (before[p] is the start value).

template <bool Max, bool Exact>
void extreme_blocks(const double* __restrict x, std::size_t p, std::size_t first, std::size_t last,
                    double* __restrict o, double*& before, double*& after) {
    constexpr double start = Max ? -kInf : kInf;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t k = first; k < last; ++k) {
        const double* xb = x + k * p;
        double* ob = o + k * p;
        const double* sa = before;
        double* sb = after;
        double pre = start, suf = start;
        // The loop reads the block from its end as well, ahead of the forward
        // reads the prefetcher follows: on longer blocks the next one is
        // fetched while this one is folded.
        if (p >= kPrefetchBlock)
            for (std::size_t j = 0; j < p; j += 8) __builtin_prefetch(xb + p + j);
#pragma GCC unroll 2
        for (std::size_t t = 0; t < p; ++t) {
            pre = pick_extreme<Max, Exact>(xb[t], pre);
            suf = pick_extreme<Max, Exact>(xb[p - 1 - t], suf);
            sb[p - 1 - t] = suf;
            const double r = pick_extreme<Max, Exact>(sa[t + 1], pre);
            ob[t] = Exact && r == start ? nan : r;
        }
        sb[p] = start;
        std::swap(before, after);
    }
}

// What x[from .. to) holds that the plain fold may get wrong: a zero of
// either sign (kZero), a NaN or an infinity, among which is the start value
// (kNotFinite). In arithmetic rather than with masks, which some units can
// only take apart lane by lane: the smallest magnitude is 0 where a zero is,
// and x * 0 is NaN where x is not finite, which a sum keeps.
constexpr unsigned kZero = 1, kNotFinite = 2;

template <std::size_t L>
[[gnu::always_inline]] inline unsigned special_values_lanes(const double* x, std::size_t from, std::size_t to) {
    using V = lanes::F64<L>;
    using I = lanes::IntOf<V>;
    const I magnitude = lanes::splat<I>(std::numeric_limits<int64_t>::max());
    auto least = [](const V& a, const V& b) { return a < b ? a : b; };
    V small[2], lost[2];
    small[0] = small[1] = lanes::splat<V>(kInf);
    lost[0] = lost[1] = V{};
    std::size_t j = from;
    for (; j + 2 * L <= to; j += 2 * L) {
        for (std::size_t h = 0; h < 2; ++h) {
            const V v = lanes::load<V>(x + j + h * L);
            small[h] = least(reinterpret_cast<V>(reinterpret_cast<I>(v) & magnitude), small[h]);
            lost[h] = lost[h] + v * 0.0;
        }
    }
    const V s = least(small[0], small[1]), n = lost[0] + lost[1];
    bool zero = false, not_finite = false;
    for (std::size_t l = 0; l < L; ++l) {
        zero |= s[l] == 0.0;
        not_finite |= n[l] != n[l];
    }
    for (; j < to; ++j) {
        zero |= x[j] == 0.0;
        not_finite |= !(x[j] * 0.0 == 0.0);
    }
    return (zero ? kZero : 0) | (not_finite ? kNotFinite : 0);
}

TIDEMARK_LANE_VERSIONS(unsigned, special_values, (const double* x, std::size_t from, std::size_t to),
                       special_values_lanes, (x, from, to))

// After a plain fold of blocks [first, last), the windows with nothing to
// show read NaN. A window is empty only if the part of it in its own block,
// which runs from the block's first value, is: only the windows ending in a
// block's leading stretch of NaN and start values need a look, and a block
// that opens on anything else (nearly every one) costs one comparison.
template <bool Max>
void mark_empty_windows(const double* x, std::size_t p, std::size_t first, std::size_t last, double* o) {
    constexpr double start = Max ? -kInf : kInf;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t b = first * p; b < last * p; b += p)
        for (std::size_t i = b; i < b + p && !(Max ? x[i] > start : x[i] < start); ++i)
            if (o[i] == start) o[i] = nan;
}

}  // namespace

template <bool Max>
void rolling_extreme(const double* x, std::size_t n, std::size_t p, double* o) {
    constexpr double start = Max ? -kInf : kInf;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    // Block 0's suffixes, then the blocks after it in runs of about 2,048
    // values.
    std::vector<double> scratch(2 * (p + 1), start);
    double* before = scratch.data();
    double* after = before + p + 1;
    bool zeros = special_values(x, 0, p) & kZero;
    double acc = start;
    for (std::size_t j = p; j-- > 0;) before[j] = acc = zeros ? pick_extreme<Max, true>(x[j], acc)
                                                           : pick_extreme<Max, false>(x[j], acc);
    o[p - 1] = acc == start ? nan : acc;
    const std::size_t blocks = n / p;
    const std::size_t run = std::max<std::size_t>(1, 2048 / p);
    for (std::size_t k = 1; k < blocks; k += run) {
        const std::size_t end = std::min(blocks, k + run);
        // A run is folded plainly first and looked at after, when its values
        // are in the cache. The windows of its first block reach into the
        // block before, whose suffixes are exact either way (that block held
        // no zero or was folded exactly), and meet them with a prefix that
        // holds no zero where the run holds none. A run holding a zero is
        // folded again exactly, from the exact suffixes of the block before
        // it; where zeros come in numbers the next run goes straight to the
        // exact fold.
        if (!zeros) {
            extreme_blocks<Max, false>(x, p, k, end, o, before, after);
            const unsigned held = special_values(x, k * p, end * p);
            if (!(held & kZero)) {
                if (held & kNotFinite) mark_empty_windows<Max>(x, p, k, end, o);
                continue;
            }
            acc = start;
            for (std::size_t j = p; j-- > 0;) before[j] = acc = pick_extreme<Max, true>(x[(k - 1) * p + j], acc);
            before[p] = start;
        }
        extreme_blocks<Max, true>(x, p, k, end, o, before, after);
        zeros = special_values(x, k * p, end * p) & kZero;
    }
    // The last, partial block: prefixes against the suffixes of the one
    // before.
    double pre = start;
    for (std::size_t i = blocks * p; i < n; ++i) {
        pre = pick_extreme<Max, true>(x[i], pre);
        const double r = pick_extreme<Max, true>(before[i - blocks * p + 1], pre);
        o[i] = r == start ? nan : r;
    }
}

template void rolling_extreme<true>(const double*, std::size_t, std::size_t, double*);
template void rolling_extreme<false>(const double*, std::size_t, std::size_t, double*);

}  // namespace tidemark
