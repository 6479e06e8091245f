// What the runners with their own position loops (basket, options, pairs and
// the independent multi-strategy mode) share: when their signals act, the
// curves they keep per bar, the itemised costs of a round trip, and the
// subset of statistics they compute themselves. Keeping one copy here is what
// keeps their figures comparable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/buffer.h"
#include "core/types.h"
#include "core/vocabulary.h"
#include "metrics/metrics.h"
#include "portfolio/results.h"
#include "signals/processor.h"

namespace tidemark {

// Own loops act one bar late when the run asks for next-bar fills: an
// explicit "next_bar_open", or no explicit timing with `upon_bar_close` off.
// The look-ahead open timing fills on the signal's bar here, because these
// loops only ever fill at a price the signal bar already knows.
bool acts_next_bar(const BacktestConfig& cfg);

// Moves every flag one bar later in place: bar 0 becomes false and the last
// bar's flag is dropped.
void shift_one_bar_later(BoolVec& flags);

// The entry and exit flags an own loop acts on: one notional position, no
// pyramiding, shifted one bar when `next_bar` is set.
ProcessedSignals own_loop_signals(std::span<const uint8_t> entries, std::span<const uint8_t> exits, bool next_bar);

// Equity, drawdown (percent below the running peak) and simple-return curves
// with one point per bar. By default none of the divisions is guarded: the
// own loops keep the raw quotient, so a run that reaches zero equity shows it
// as inf or NaN rather than hiding it. A guarded curve reads a peak that is
// not positive as no drawdown and a zero previous equity as no return, as the
// kernel-backed runs do.
class BarCurves {
public:
    BarCurves(std::size_t n, double peak_start, bool guarded = false)
        : equity(n), drawdown(n), returns(n), peak(peak_start), guarded_(guarded) {}

    void mark(std::size_t i, double value) {
        equity[i] = value;
        if (value > peak) peak = value;
        const double prev = i == 0 ? 0.0 : equity[i - 1];
        if (guarded_) {
            drawdown[i] = peak > 0.0 ? (peak - value) / peak * 100.0 : 0.0;
            returns[i] = (i == 0 || prev == 0.0) ? 0.0 : (value - prev) / prev;
        } else {
            drawdown[i] = (peak - value) / peak * 100.0;
            returns[i] = i == 0 ? 0.0 : (value - prev) / prev;
        }
    }

    // Replaces the last point, for a run that books its end-of-data close
    // into the final equity.
    void remark_last(double value) {
        if (!equity.empty()) mark(equity.size() - 1, value);
    }

    Series<double> equity;
    Series<double> drawdown;
    Series<double> returns;
    double peak;

private:
    bool guarded_;
};

// The itemised costs of a round trip: both fills' components added, or those
// of the one fill that has them; none under a flat fee.
inline std::optional<FeeBreakdown> round_trip_breakdown(const std::optional<FeeBreakdown>& entry,
                                                        const std::optional<FeeBreakdown>& exit) {
    if (!entry) return exit;
    std::optional<FeeBreakdown> sum = entry;
    if (exit) *sum += *exit;
    return sum;
}

// Where the own-loop recipes differ.
struct OwnStatsRecipe {
    // Each round trip is recorded as two consecutive leg trades (pairs): the
    // trade count and the win/loss split are per round trip, while profit
    // factor and the legacy ratios still read every record.
    bool paired_legs = false;
    // Report the sum of the trades' fees in `total_fees_paid`; left 0 otherwise.
    bool sum_fees = false;
    // Legacy ratios take the running (Welford) mean of the trade returns
    // instead of sum / count; the two can differ in the last bits.
    bool welford_mean = false;
    // A zero initial capital gives a total return of 0 instead of NaN.
    bool guard_zero_capital = false;
};

struct SharpeSortino {
    double sharpe = 0.0;
    double sortino = 0.0;
};

// Sharpe and Sortino annualised with 252 periods from `count` returns: their
// mean, the sum of their squared deviations from it and the sum of squares of
// their parts below zero, both taken over count - 1. Below two returns there
// is no deviation: Sharpe is 0 and Sortino is unbounded for a positive mean.
SharpeSortino legacy_ratios(double mean, double sq_dev, double down_sq, std::size_t count);

// Pre-0.5 ratios from the trades' returns (return_pct / 100), annualised with
// 252 periods: the sample standard deviation for Sharpe, the downside
// deviation over count - 1 for Sortino.
SharpeSortino legacy_trade_ratios(std::span<const Trade> trades, bool welford_mean);

// The statistics an own loop reports. Everything not listed stays 0 and the
// optional averages stay unset: total return, max drawdown, Calmar, trade
// counts, win rate, profit factor, start and end value, Sharpe and Sortino
// (legacy from the trades, otherwise from `returns` annualised over
// `timestamps`), and the fee total when the recipe asks for it.
BacktestMetrics own_loop_metrics(const BacktestConfig& cfg, std::span<const double> equity,
                                 std::span<const double> drawdown, std::span<const double> returns,
                                 std::span<const Trade> trades, std::span<const int64_t> timestamps,
                                 const OwnStatsRecipe& recipe);

// A run's result: its curves and trades moved in beside `metrics`.
EngineResult run_result(BacktestMetrics metrics, BarCurves&& curves, TradeList&& trades);

// An own loop's result, its statistics computed from the curves and trades
// by `recipe` before they are moved in.
EngineResult own_loop_result(const BacktestConfig& cfg, BarCurves&& curves, TradeList&& trades,
                             std::span<const int64_t> timestamps, const OwnStatsRecipe& recipe);

// The result of a run with nothing to simulate: no curves and no trades,
// every statistic 0 (ratios included) except the start and end value, which
// are the initial capital.
EngineResult empty_run_result(const BacktestConfig& cfg);

}  // namespace tidemark
