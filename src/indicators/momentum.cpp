#include "indicators/momentum.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "indicators/extrema.h"
#include "indicators/smoothing.h"

namespace tidemark {

TIDEMARK_VECTOR_CLONES
SeriesResult compute_rsi(std::span<const double> data, uint64_t period) {
    if (period == 0) return IndicatorError::invalid("RSI period must be > 0");
    const std::size_t n = data.size();
    // p changes need p + 1 closes.
    if (n < 2 || period >= n) return nan_series(n);
    const std::size_t p = static_cast<std::size_t>(period);
    Series<double> out = warmup_series(n, p);
    const double* x = data.data();
    double* o = out.data();

    double gain = 0.0, loss = 0.0;
    for (std::size_t i = 1; i <= p; ++i) {
        const double change = x[i] - x[i - 1];
        gain += rsi_gain(change);
        loss += rsi_loss(change);
    }
    const double pd = static_cast<double>(p);
    gain /= pd;
    loss /= pd;
    o[p] = rsi_value(gain, loss);
    const Smoother w = Smoother::wilder(p);
    // The two averages step side by side as one vector pair (gain, loss),
    // lane by lane the operations of the scalar step. Each step is a chain of
    // a multiplication and an addition; the two divisions of each value are
    // not on it, but a value formed as soon as its averages are known waits
    // on the divider for longer than the chain takes to step, and stalls it.
    // So the averages are parked in a ring and each value is formed kLag bars
    // behind the chain, four bars at a time as one vector (one instruction
    // per operation in the copies built for wider vector units), by when its
    // operands have long been ready.
    const F64x2 alpha = {w.alpha, w.alpha}, keep = {w.keep, w.keep};
    F64x2 avg = {gain, loss};
    auto step = [&](double change) {
        // (gain, loss) of the change, as rsi_gain and rsi_loss give them.
        const F64x2 moves = {change, -change};
        const bool up = change > 0.0;
        const I64x2 mask = {-static_cast<int64_t>(up), static_cast<int64_t>(up) - 1};
        const F64x2 gl = reinterpret_cast<F64x2>(reinterpret_cast<I64x2>(moves) & mask);
        avg = alpha * gl + keep * avg;
    };
    constexpr std::size_t kLag = 64;
    constexpr std::size_t kMask = kLag - 1;
    alignas(32) double ring_gain[kLag], ring_loss[kLag];
    const std::size_t first = p + 1;
    // Ring slots count from the first smoothed bar, so that a group of four
    // never straddles the end of the ring.
    auto emit4 = [&](std::size_t j) {
        const std::size_t s = (j - first) & kMask;
        rsi_values4(ring_gain + s, ring_loss + s, o + j);
    };
    std::size_t i = first;
    for (; i + 4 <= n; i += 4) {
        // The bars kLag back share their ring slots with these: they are
        // read out before the slots are written.
        if (i >= first + kLag) emit4(i - kLag);
        const std::size_t s = (i - first) & kMask;
        for (std::size_t k = 0; k < 4; ++k) {
            step(x[i + k] - x[i + k - 1]);
            ring_gain[s + k] = avg[0];
            ring_loss[s + k] = avg[1];
        }
    }
    for (std::size_t j = i >= first + kLag ? i - kLag : first; j < i; j += 4) emit4(j);
    for (; i < n; ++i) {
        step(x[i] - x[i - 1]);
        o[i] = rsi_value(avg[0], avg[1]);
    }
    return out;
}

namespace {

// %D[i] for i in [first, n): the left-to-right sum of %K[i-d+1 .. i] over d.
// Each window is summed afresh rather than kept as a running sum: a running
// sum carries the roundings (and a huge value, once it has left) into every
// later mean, so three %K of 0 would not average to 0. The windows are summed
// side by side, a block of them per pass over the d terms, which keeps each
// window's order and lets the vector unit take the block.
void window_means(const double* k, std::size_t first, std::size_t n, std::size_t d, double* out) {
    constexpr std::size_t kWindows = 256;
    const double dd = static_cast<double>(d);
    double sum[kWindows];
    for (std::size_t i0 = first; i0 < n; i0 += kWindows) {
        const std::size_t len = std::min(kWindows, n - i0);
        const double* from = k + (i0 + 1 - d);
        for (std::size_t j = 0; j < len; ++j) sum[j] = from[j];
        for (std::size_t t = 1; t < d; ++t)
            for (std::size_t j = 0; j < len; ++j) sum[j] += from[j + t];
        for (std::size_t j = 0; j < len; ++j) out[i0 + j] = sum[j] / dd;
    }
}

}  // namespace

StochasticResult compute_stochastic(std::span<const double> high, std::span<const double> low,
                                    std::span<const double> close, uint64_t k_period, uint64_t d_period) {
    const std::size_t n = close.size();
    if (auto e = check_lengths(n, {high.size(), low.size()})) return *e;
    if (k_period == 0 || d_period == 0) return IndicatorError::invalid("Stochastic periods must be > 0");

    if (k_period > n) return StochasticSeries{nan_series(n), nan_series(n)};
    const std::size_t kp = static_cast<std::size_t>(k_period);
    // %D from index k + d - 2, if the series reaches it.
    const bool has_d = d_period - 1 <= n - kp;
    StochasticSeries r{warmup_series(n, kp - 1),
                       has_d ? warmup_series(n, kp - 1 + static_cast<std::size_t>(d_period - 1)) : nan_series(n)};
    double* k = r.k.data();
    const double* c = close.data();

    // Highest high first, parked in %K, then the lowest low. An empty
    // window reads as NaN, whose range is not > 0.
    std::vector<double> lowest(n);
    rolling_extreme<true>(high.data(), n, kp, k);
    rolling_extreme<false>(low.data(), n, kp, lowest.data());
    for (std::size_t i = kp - 1; i < n; ++i) {
        const double ll = lowest[i];
        const double range = k[i] - ll;
        k[i] = range > 0.0 ? (c[i] - ll) / range * 100.0 : 50.0;
    }

    if (!has_d) return r;
    const std::size_t dp = static_cast<std::size_t>(d_period);
    window_means(k, kp - 1 + (dp - 1), n, dp, r.d.data());
    return r;
}

}  // namespace tidemark
