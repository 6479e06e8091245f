#include "indicators/trend.h"

#include <cmath>
#include <limits>

#include "core/numeric.h"
#include "indicators/smoothing.h"

namespace tidemark {

Series<double> sma_series(std::span<const double> data, std::size_t p) {
    const std::size_t n = data.size();
    if (p == 0 || p > n) return nan_series(n);
    Series<double> out = warmup_series(n, p - 1);
    const double* x = data.data();
    double* o = out.data();
    const double pd = static_cast<double>(p);
    double s = 0.0;
    for (std::size_t i = 0; i < p; ++i) s += x[i];
    o[p - 1] = s / pd;
    // The running sum is a serial chain of two additions a value; the
    // division of each sum is not on it and goes through the divider while
    // the chain waits on the adder.
    for (std::size_t i = p; i < n; ++i) {
        s = s - x[i - p];
        s = s + x[i];
        o[i] = s / pd;
    }
    return out;
}

SeriesResult compute_sma(std::span<const double> data, uint64_t period) {
    if (period == 0) return IndicatorError::invalid("SMA period must be > 0");
    return sma_series(data, static_cast<std::size_t>(period));
}

namespace {

// Mean of x[0 .. p) summed in index order: the seed of every EMA.
double seed_mean(const double* x, std::size_t p) {
    double s = 0.0;
    for (std::size_t i = 0; i < p; ++i) s += x[i];
    return s / static_cast<double>(p);
}

}  // namespace

SeriesResult compute_ema(std::span<const double> data, uint64_t period) {
    if (period == 0) return IndicatorError::invalid("EMA period must be > 0");
    const std::size_t n = data.size();
    if (period > n) return nan_series(n);
    const std::size_t p = static_cast<std::size_t>(period);
    Series<double> out = warmup_series(n, p - 1);
    const double* x = data.data();
    double* o = out.data();
    double v = seed_mean(x, p);
    o[p - 1] = v;
    const Smoother k = Smoother::ema(p);
    for (std::size_t i = p; i < n; ++i) {
        v = k.step(v, x[i]);
        o[i] = v;
    }
    return out;
}

MacdResult compute_macd(std::span<const double> data, uint64_t fast_period, uint64_t slow_period,
                        uint64_t signal_period) {
    if (fast_period == 0 || slow_period == 0 || signal_period == 0)
        return IndicatorError::invalid("MACD periods must be > 0");
    if (fast_period >= slow_period) return IndicatorError::invalid("MACD fast period must be < slow period");

    const std::size_t n = data.size();
    if (slow_period > n) return MacdSeries{nan_series(n), nan_series(n), nan_series(n)};
    const std::size_t fast = static_cast<std::size_t>(fast_period);
    const std::size_t slow = static_cast<std::size_t>(slow_period);
    // The signal line seeds at slow + signal - 2 on the mean of the first
    // `signal` MACD values, and only if all of them are numbers; n when the
    // series is too short for it.
    const bool has_signal = signal_period - 1 <= n - slow;
    const std::size_t sig = has_signal ? static_cast<std::size_t>(signal_period) : 0;
    const std::size_t seed_at = has_signal ? slow - 1 + (sig - 1) : n;
    MacdSeries r{warmup_series(n, slow - 1), warmup_series(n, seed_at), warmup_series(n, seed_at)};
    const double* x = data.data();
    double* m = r.macd.data();
    double* g = r.signal.data();
    double* h = r.histogram.data();

    // The fast, slow and signal EMAs in one pass: three chains that step side
    // by side. The fast one runs ahead until the slow one seeds.
    const Smoother kf = Smoother::ema(fast), ks = Smoother::ema(slow);
    double f = seed_mean(x, fast);
    for (std::size_t i = fast; i < slow; ++i) f = kf.step(f, x[i]);
    double s = seed_mean(x, slow);
    auto macd_at = [&](std::size_t i) {
        f = kf.step(f, x[i]);
        s = ks.step(s, x[i]);
        return m[i] = f - s;
    };
    m[slow - 1] = f - s;
    // MACD alone up to the signal's seed, whose values it sums in order.
    double sum = 0.0;
    bool seed_nan = false;
    const std::size_t seed_end = has_signal ? seed_at + 1 : n;
    for (std::size_t i = slow - 1; i < seed_end; ++i) {
        const double mi = i + 1 == slow ? m[i] : macd_at(i);
        seed_nan |= std::isnan(mi);
        sum += mi;
    }
    if (!has_signal) return r;
    std::size_t i = seed_end;
    if (seed_nan) {
        // No signal at all: NaN past the warm-up too.
        std::fill(g + seed_at, g + n, std::numeric_limits<double>::quiet_NaN());
        std::fill(h + seed_at, h + n, std::numeric_limits<double>::quiet_NaN());
        for (; i < n; ++i) macd_at(i);
        return r;
    }
    double v = sum / static_cast<double>(sig);
    g[seed_at] = v;
    h[seed_at] = m[seed_at] - v;
    const Smoother kg = Smoother::ema(sig);
    for (; i < n; ++i) {
        const double mi = macd_at(i);
        // A NaN MACD value leaves the signal NaN, and so every later one:
        // the rare case leaves this loop for the one below.
        if (std::isnan(mi)) [[unlikely]]
            break;
        v = kg.step(v, mi);
        g[i] = v;
        h[i] = mi - v;
    }
    for (bool first = true; i < n; ++i, first = false) {
        const double mi = first ? m[i] : macd_at(i);
        v = std::isnan(mi) ? std::numeric_limits<double>::quiet_NaN() : kg.step(v, mi);
        g[i] = v;
        h[i] = mi - v;
    }
    return r;
}

SeriesResult compute_vwap(std::span<const double> high, std::span<const double> low, std::span<const double> close,
                          std::span<const double> volume) {
    const std::size_t n = close.size();
    if (auto e = check_lengths(n, {high.size(), low.size(), volume.size()})) return *e;
    Series<double> out = warmup_series(n, 0);
    double* o = out.data();
    double vol_block[kBlock];
    double pv = 0.0, vol = 0.0;
    for (std::size_t i0 = 0; i0 < n; i0 += kBlock) {
        const std::size_t len = i0 + kBlock < n ? kBlock : n - i0;
        for (std::size_t j = 0; j < len; ++j) {
            const std::size_t i = i0 + j;
            const double tp = (high[i] + low[i] + close[i]) / 3.0;
            pv = pv + tp * volume[i];
            vol = vol + volume[i];
            o[i] = pv;
            vol_block[j] = vol;
        }
        // No volume yet: no price to weight.
        for (std::size_t j = 0; j < len; ++j)
            o[i0 + j] = vol_block[j] > 0.0 ? o[i0 + j] / vol_block[j] : std::numeric_limits<double>::quiet_NaN();
    }
    return out;
}

SupertrendResult compute_supertrend(std::span<const double> high, std::span<const double> low,
                                    std::span<const double> close, uint64_t period, double multiplier) {
    const std::size_t n = close.size();
    if (auto e = check_lengths(n, {high.size(), low.size()})) return *e;
    if (period == 0) return IndicatorError::invalid("Supertrend period must be > 0");

    if (period >= n) return SupertrendSeries{nan_series(n), Series<int8_t>(n, 0)};
    const std::size_t p = static_cast<std::size_t>(period);
    SupertrendSeries r{warmup_series(n, p - 1), Series<int8_t>(n, 0)};
    double* line = r.line.data();
    int8_t* dir = r.direction.data();
    const double* h = high.data();
    const double* l = low.data();
    const double* c = close.data();

    double upper = 0.0, lower = 0.0;
    int8_t trend = 0;
    auto bands = [&](std::size_t i, double basic_upper, double basic_lower) {
        if (i + 1 == p) {
            upper = basic_upper;
            lower = basic_lower;
            // A NaN close compares false and starts an up trend.
            trend = c[i] <= upper ? -1 : 1;
        } else {
            // A band only tightens while the previous close stayed inside
            // it; a NaN band or close never tightens it.
            const double prev = c[i - 1];
            upper = (!std::isnan(basic_upper) && prev <= upper) ? min_of_numbers(basic_upper, upper) : basic_upper;
            lower = (!std::isnan(basic_lower) && prev >= lower) ? max_of_numbers(basic_lower, lower) : basic_lower;
            if (trend == 1) {
                if (c[i] < lower) trend = -1;
            } else if (c[i] > upper) {
                trend = 1;
            }
        }
        dir[i] = trend;
        line[i] = trend == 1 ? lower : upper;
    };
    // Over a flat stretch the ATR is held at a subnormal (or 0), and a
    // product with a subnormal is slow: there the width is formed once per
    // held value.
    double width_of = 0.0, width = multiplier * 0.0;
    atr_pass(
        high, low, close, p,
        [&](std::size_t i, double atr) {
            const double mid = (h[i] + l[i]) * 0.5;
            bands(i, mid + multiplier * atr, mid - multiplier * atr);
        },
        [&](std::size_t i, double atr) {
            if (!same_bits(atr, width_of)) {
                width_of = atr;
                width = multiplier * atr;
            }
            const double mid = (h[i] + l[i]) * 0.5;
            bands(i, mid + width, mid - width);
        });
    return r;
}

}  // namespace tidemark
