#include "indicators/momentum.h"

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

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Rolling mean of d values for %D, O(1) per step whatever d: a running sum
// of the finite values (the leaving value subtracted before the entering one
// is added) and counts of the non-finite ones, which decide the mean alone
// exactly as a direct sum would: any NaN, or both infinities, give NaN; one
// kind of infinity gives that infinity.
class RollingMean {
public:
    explicit RollingMean(std::size_t d) : d_(static_cast<double>(d)) {}

    void enter(double v) { update(v, +1); }
    void leave(double v) { update(v, -1); }

    double mean() const {
        if (nan_ > 0 || (pos_inf_ > 0 && neg_inf_ > 0)) return kNaN;
        if (pos_inf_ > 0) return kInf;
        if (neg_inf_ > 0) return -kInf;
        return sum_ / d_;
    }

    // The finite values alone overflowed: the caller re-sums the window.
    bool sum_overflowed() const { return !std::isfinite(sum_); }
    void reset_sum() { sum_ = 0.0; }
    void add_finite(double v) {
        if (std::isfinite(v)) sum_ += v;
    }

private:
    void update(double v, int sign) {
        if (std::isfinite(v)) {
            sum_ = sign > 0 ? sum_ + v : sum_ - v;
        } else if (std::isnan(v)) {
            nan_ += sign;
        } else if (v > 0.0) {
            pos_inf_ += sign;
        } else {
            neg_inf_ += sign;
        }
    }

    double d_;
    double sum_ = 0.0;
    long nan_ = 0, pos_inf_ = 0, neg_inf_ = 0;
};

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
    double* d = r.d.data();
    RollingMean mean(dp);
    const std::size_t first = kp - 1 + (dp - 1);
    for (std::size_t j = kp - 1; j < first; ++j) mean.enter(k[j]);
    for (std::size_t i = first; i < n; ++i) {
        if (i > first) mean.leave(k[i - dp]);
        mean.enter(k[i]);
        if (mean.sum_overflowed()) {
            mean.reset_sum();
            for (std::size_t j = i + 1 - dp; j <= i; ++j) mean.add_finite(k[j]);
        }
        d[i] = mean.mean();
    }
    return r;
}

}  // namespace tidemark
