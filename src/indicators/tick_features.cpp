#include "indicators/tick_features.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/errors.h"
#include "core/numeric.h"
#include "core/session.h"

namespace tidemark {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Finds, for each tick i in turn, how many of the ticks 0..i-1 lie at or
// before (or strictly before) a bound that never decreases while the
// timestamps ascend. On ascending timestamps that count only grows, so one
// forward pointer answers every tick in amortised constant time, exactly as
// a bisection would. Out-of-order timestamps fall back to bisection of the
// earlier ticks, which is still bounded and defined, if not meaningful.
template <bool Strict>
class EarlierTicks {
public:
    explicit EarlierTicks(std::span<const int64_t> ts) : ts_(ts), sorted_(std::is_sorted(ts.begin(), ts.end())) {}

    // Calls must come with i increasing.
    std::size_t count(std::size_t i, int64_t bound) {
        if (sorted_) {
            while (seen_ < i && inside(ts_[seen_], bound)) ++seen_;
            return seen_;
        }
        std::size_t lo = 0, hi = i;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (inside(ts_[mid], bound)) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }

private:
    static bool inside(int64_t t, int64_t bound) { return Strict ? t < bound : t <= bound; }

    std::span<const int64_t> ts_;
    bool sorted_;
    std::size_t seen_ = 0;
};

}  // namespace

int64_t window_seconds_to_ns(double seconds) {
    const double ns = seconds * 1e9;
    if (std::isnan(ns)) return 0;
    // 2^63 is the first double past the int64 range.
    if (ns >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (ns <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(ns);
}

BoolVec tick_entry_signals(std::span<const double> spread_pct, std::span<const double> bsi_delta,
                           std::span<const double> return_1m, const TickEntryGates& g) {
    const std::size_t n = spread_pct.size();
    BoolVec out(n, 0);
    const bool bsi_gate = g.bsi_min > 0.0;
    const bool return_gate = g.return_1m_min_abs > 0.0;
    std::size_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i < next) continue;
        if (spread_pct[i] > g.spread_pct_max) continue;
        if (bsi_gate && (i >= bsi_delta.size() || bsi_delta[i] < g.bsi_min)) continue;
        if (return_gate) {
            if (i >= return_1m.size()) continue;
            const double r = return_1m[i];
            if (std::isnan(r) || !(std::fabs(r) >= g.return_1m_min_abs)) continue;
            if (g.return_direction >= 1 && !(r >= 0.0)) continue;
            if (g.return_direction < 0 && !(r <= 0.0)) continue;
        }
        out[i] = 1;
        // A cool-down past the index range means no further entry, not a
        // wrapped-around early one.
        std::size_t after;
        if (__builtin_add_overflow(i + 1, g.cooldown_ticks, &after)) after = std::numeric_limits<std::size_t>::max();
        next = after;
    }
    return out;
}

BoolVec tick_exit_signals(std::span<const int64_t> timestamps_ns, int64_t eod_exit_time_ns) {
    const std::size_t n = timestamps_ns.size();
    BoolVec out(n, 0);
    if (eod_exit_time_ns == 0) return out;
    for (std::size_t i = 0; i < n; ++i) out[i] = timestamps_ns[i] >= eod_exit_time_ns ? 1 : 0;
    return out;
}

Series<double> tick_spread_pct(std::span<const double> bid, std::span<const double> ask) {
    const std::size_t n = bid.size();
    require_same_length(n, {ask.size()});
    Series<double> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double mid = (bid[i] + ask[i]) * 0.5;
        out[i] = mid > 0.0 ? (ask[i] - bid[i]) / mid * 100.0 : 0.0;
    }
    return out;
}

Series<double> buy_sell_imbalance_delta(std::span<const double> buy, std::span<const double> sell) {
    const std::size_t n = buy.size();
    require_same_length(n, {sell.size()});
    Series<double> out(n, 0.5);
    for (std::size_t i = 1; i < n; ++i) {
        // A reset of the running sums (a negative step) or a NaN is no flow.
        const double b = max_num(buy[i] - buy[i - 1], 0.0);
        const double s = max_num(sell[i] - sell[i - 1], 0.0);
        if (b + s > 0.0) out[i] = b / (b + s);
    }
    return out;
}

Series<double> return_window(std::span<const int64_t> ts, std::span<const double> ltp, double window_seconds) {
    const std::size_t n = ts.size();
    require_same_length(n, {ltp.size()});
    const int64_t w = window_seconds_to_ns(window_seconds);
    Series<double> out(n, kNaN);
    EarlierTicks<false> earlier(ts);
    for (std::size_t i = 1; i < n; ++i) {
        const std::size_t c = earlier.count(i, saturating_sub(ts[i], w));
        if (c == 0) continue;
        const double p = ltp[c - 1];
        // A tick without a price is missing data, not a fall to zero.
        if (p > 0.0 && ltp[i] > 0.0) out[i] = (ltp[i] - p) / p * 100.0;
    }
    return out;
}

Series<double> realized_vol_rolling(std::span<const int64_t> ts, std::span<const double> ltp,
                                    double window_seconds) {
    const std::size_t n = ts.size();
    require_same_length(n, {ltp.size()});
    const int64_t w = window_seconds_to_ns(window_seconds);
    Series<double> out(n, kNaN);
    if (n < 2) return out;

    // Each log return is taken once: the usable ones, in tick order, and for
    // every tick the number of usable returns up to it. The returns of a
    // window are then one contiguous run.
    Series<double> returns;
    returns.reserve(n - 1);
    Series<uint64_t> usable_upto(n, 0);
    for (std::size_t k = 1; k < n; ++k) {
        if (ltp[k - 1] > 0.0 && ltp[k] > 0.0) returns.push_back(std::log(ltp[k] / ltp[k - 1]));
        usable_upto[k] = returns.size();
    }

    EarlierTicks<true> earlier(ts);
    for (std::size_t i = 1; i < n; ++i) {
        const std::size_t s = earlier.count(i, saturating_sub(ts[i], w));
        if (s == i) continue;
        const std::size_t first = usable_upto[s];
        const std::size_t last = usable_upto[i];
        const std::size_t count = last - first;
        if (count < 2) continue;
        double sum = -0.0;
        for (std::size_t k = first; k < last; ++k) sum += returns[k];
        const double mean = sum / static_cast<double>(count);
        double squares = 0.0;
        for (std::size_t k = first; k < last; ++k) {
            const double d = returns[k] - mean;
            squares += d * d;
        }
        out[i] = std::sqrt(squares / static_cast<double>(count - 1)) * 100.0;
    }
    return out;
}

Series<double> oi_position_pct(std::span<const double> oi, double oi_day_high, double oi_day_low) {
    const std::size_t n = oi.size();
    const double range = oi_day_high - oi_day_low;
    if (!(range > 0.0)) return Series<double>(n, kNaN);
    Series<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = (oi[i] - oi_day_low) / range * 100.0;
    return out;
}

Series<double> tick_velocity(std::span<const int64_t> ts, double window_seconds) {
    const std::size_t n = ts.size();
    Series<double> out(n, 0.0);
    const double minutes = window_seconds / 60.0;
    if (!(minutes > 0.0)) return out;
    const int64_t w = window_seconds_to_ns(window_seconds);
    EarlierTicks<false> earlier(ts);
    for (std::size_t i = 1; i < n; ++i) {
        const std::size_t c = earlier.count(i, saturating_sub(ts[i], w));
        out[i] = static_cast<double>(i + 1 - c) / minutes;
    }
    return out;
}

}  // namespace tidemark
