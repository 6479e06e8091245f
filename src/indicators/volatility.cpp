#include "indicators/volatility.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "indicators/trend.h"

namespace tidemark {

std::string IndicatorError::text() const {
    if (kind == DataLengthMismatch) {
        return "Data length mismatch: expected " + std::to_string(expected) + ", got " +
               std::to_string(got);
    }
    return "Invalid parameter: " + message;
}

std::optional<IndicatorError> check_lengths(std::size_t reference, std::initializer_list<std::size_t> others) {
    for (std::size_t len : others)
        if (len != reference) return IndicatorError::length_mismatch(reference, len);
    return std::nullopt;
}

std::optional<IndicatorError> atr_input_error(std::size_t high, std::size_t low, std::size_t close,
                                              uint64_t period) {
    if (auto e = check_lengths(close, {high, low})) return e;
    if (period == 0) return IndicatorError::invalid("ATR period must be > 0");
    return std::nullopt;
}

SeriesResult compute_atr(std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, uint64_t period) {
    const std::size_t n = close.size();
    if (auto e = atr_input_error(high.size(), low.size(), n, period)) return *e;

    // p bars give a seed but nothing to smooth it with: at least p + 1 are needed.
    if (n == 0 || n <= period) return nan_series(n);
    Series<double> out = warmup_series(n, static_cast<std::size_t>(period) - 1);
    double* o = out.data();
    atr_pass(high, low, close, static_cast<std::size_t>(period), [o](std::size_t i, double v) { o[i] = v; });
    return out;
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Sum of squared deviations of x[0 .. p) from m, in index order.
double squared_deviations(const double* x, std::size_t p, double m) {
    double dev = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
        const double d = x[j] - m;
        dev += d * d;
    }
    return dev;
}

}  // namespace

TIDEMARK_VECTOR_CLONES
BollingerResult compute_bollinger(std::span<const double> data, uint64_t period, double std_dev) {
    if (period == 0) return IndicatorError::invalid("Bollinger Bands period must be > 0");
    if (std_dev <= 0.0) return IndicatorError::invalid("Bollinger Bands std_dev must be > 0");

    const std::size_t n = data.size();
    if (period > n) return BollingerSeries{nan_series(n), nan_series(n), nan_series(n)};
    const std::size_t p = static_cast<std::size_t>(period);
    BollingerSeries r{warmup_series(n, p - 1), warmup_series(n, p - 1), warmup_series(n, p - 1)};
    const double pd = static_cast<double>(p);
    const double* x = data.data();

    // The middle band is the SMA, its running sum stepped as sma_series steps
    // it, in the same pass as the deviation sums below: the three chains
    // step side by side.
    double sum = 0.0;
    for (std::size_t i = 0; i < p; ++i) sum += x[i];

    // The deviation sum of each window, sum (x - m)^2, costs p operations if
    // taken afresh at every index. Instead the window keeps running sums of
    // (x - c) and (x - c)^2 around a centre c, from which
    //   sum (x - m)^2 = S2 - 2 (m - c) S1 + p (m - c)^2.
    // The centre is the middle band at the last refresh, where the sums are
    // taken afresh (so that index gets the direct sum exactly). A refresh
    // comes every p steps, which bounds the drift of the running sums, and
    // whenever the deviation has shrunk to a small part of the squares it was
    // computed from (a spike leaving the window), where the subtraction would
    // cancel most of the digits. Both cost O(p) at most once per p steps in
    // ordinary data, so the whole series is O(n) whatever the period.
    constexpr double kCancellation = 1.0 / 1024.0;
    double* mid = r.middle.data();
    double* up = r.upper.data();
    double* lo = r.lower.data();
    double dev_block[kBlock];
    double c = 0.0, s1 = 0.0, s2 = 0.0, peak = 0.0;
    std::size_t since = p;  // steps since the last refresh; p forces one
    auto deviation = [&](std::size_t i, double m) {
        double dev;
        if (!(std::fabs(m) <= std::numeric_limits<double>::max())) [[unlikely]] {
            if (std::isnan(m)) {
                // A NaN holds the running middle sum for good: no bands.
                dev = m;
            } else {
                dev = squared_deviations(x + i + 1 - p, p, m);
                since = p;
            }
            return dev;
        }
        bool refresh = since >= p;
        if (!refresh) {
            const double out_c = x[i - p] - c, in_c = x[i] - c;
            s1 = s1 - out_c;
            s1 = s1 + in_c;
            s2 = s2 - out_c * out_c;
            s2 = s2 + in_c * in_c;
            peak = s2 > peak ? s2 : peak;
            const double d = m - c;
            dev = s2 - 2.0 * d * s1 + pd * d * d;
            refresh = !(dev >= peak * kCancellation) || !std::isfinite(s2);
            ++since;
        }
        if (refresh) [[unlikely]] {
            c = m;
            s1 = 0.0;
            s2 = 0.0;
            for (std::size_t k = i + 1 - p; k <= i; ++k) {
                const double d = x[k] - c;
                s1 += d;
                s2 += d * d;
            }
            dev = s2;
            peak = s2;
            since = 0;
        }
        return dev;
    };
    // The square roots and divisions of a block, which depend on no other
    // bar, go through the vector unit together.
    auto bands = [&](std::size_t i0, std::size_t len) {
        for (std::size_t j = 0; j < len; ++j) {
            const double sd = std_dev * std::sqrt(dev_block[j] / pd);
            up[i0 + j] = mid[i0 + j] + sd;
            lo[i0 + j] = mid[i0 + j] - sd;
        }
    };
    mid[p - 1] = sum / pd;
    dev_block[0] = deviation(p - 1, mid[p - 1]);
    bands(p - 1, 1);
    for (std::size_t i0 = p; i0 < n; i0 += kBlock) {
        const std::size_t len = i0 + kBlock < n ? kBlock : n - i0;
        for (std::size_t j = 0; j < len; ++j) {
            const std::size_t i = i0 + j;
            sum = sum - x[i - p];
            sum = sum + x[i];
            const double m = sum / pd;
            mid[i] = m;
            dev_block[j] = deviation(i, m);
        }
        bands(i0, len);
    }
    return r;
}

namespace {

template <bool Max>
SeriesResult rolling_extreme_series(std::span<const double> data, uint64_t period) {
    if (period == 0) return IndicatorError::invalid("period must be at least 1");
    const std::size_t n = data.size();
    if (period > n) return nan_series(n);
    Series<double> out = warmup_series(n, static_cast<std::size_t>(period) - 1);
    const double start = Max ? -kInf : kInf;
    const int64_t none = order_key(start);
    std::vector<int64_t> scratch;
    double* o = out.data();
    // Still at the start value: no number in the window (or only the start
    // value itself, an infinity), which reads as no value.
    rolling_extreme<Max>(data, static_cast<std::size_t>(period), start, scratch, [o, none](std::size_t i, int64_t k) {
        o[i] = k == none ? std::numeric_limits<double>::quiet_NaN() : from_order_key(k);
    });
    return out;
}

}  // namespace

SeriesResult compute_rolling_min(std::span<const double> data, uint64_t period) {
    return rolling_extreme_series<false>(data, period);
}

SeriesResult compute_rolling_max(std::span<const double> data, uint64_t period) {
    return rolling_extreme_series<true>(data, period);
}

}  // namespace tidemark
