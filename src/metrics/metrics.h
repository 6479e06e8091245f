// Performance statistics of a finished run.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/types.h"
#include "core/vocabulary.h"

namespace tidemark {

// The 36 statistics. Ratios that have no finite value are +infinity here; the
// Python view shows non-finite ratios as None.
struct BacktestMetrics {
    double total_return_pct = 0.0;
    double sharpe_ratio = 0.0;
    double sortino_ratio = 0.0;
    double calmar_ratio = 0.0;
    double omega_ratio = 0.0;
    double max_drawdown_pct = 0.0;
    uint64_t max_drawdown_duration = 0;
    std::optional<double> max_drawdown_duration_secs;
    double win_rate_pct = 0.0;
    double profit_factor = 0.0;
    double expectancy = 0.0;
    double sqn = 0.0;
    uint64_t total_trades = 0;
    uint64_t total_closed_trades = 0;
    uint64_t total_open_trades = 0;
    double open_trade_pnl = 0.0;
    uint64_t winning_trades = 0;
    uint64_t losing_trades = 0;
    double start_value = 0.0;
    double end_value = 0.0;
    double total_fees_paid = 0.0;
    double best_trade_pct = 0.0;
    double worst_trade_pct = 0.0;
    double avg_trade_return_pct = 0.0;
    std::optional<double> avg_win_pct;
    std::optional<double> avg_loss_pct;
    std::optional<double> avg_winning_duration;
    std::optional<double> avg_losing_duration;
    uint64_t max_consecutive_wins = 0;
    uint64_t max_consecutive_losses = 0;
    double avg_holding_period = 0.0;
    std::optional<double> avg_holding_period_secs;
    double exposure_pct = 0.0;
    double payoff_ratio = 0.0;
    double recovery_factor = 0.0;
    double total_turnover = 0.0;
};

struct ReturnRatios {
    double sharpe = 0.0;
    double sortino = 0.0;
    double omega = 1.0;
};

// Annualisation factor: an explicit positive value wins; otherwise it is read
// off the median positive spacing of the timestamps.
double resolve_periods_per_year(std::optional<double> explicit_ppy, double session_minutes,
                                double default_ppy, std::span<const int64_t> timestamps,
                                bool continuous_market);
// Argument order used by the strategy runners.
inline double resolve_periods_per_year(std::optional<double> explicit_ppy,
                                       std::span<const int64_t> timestamps, double session_minutes,
                                       bool continuous_market, double fallback) {
    return resolve_periods_per_year(explicit_ppy, session_minutes, fallback, timestamps,
                                    continuous_market);
}

// The first pass of the ratios: the non-NaN returns summed in order, and
// their count. A run that makes its returns one by one keeps this as it goes,
// so that the ratios read the series only once more.
struct ReturnSum {
    double sum = 0.0;
    std::size_t count = 0;
    std::size_t seen = 0;  // NaN included: the length of the series summed

    void add(double x) {
        ++seen;
        if (std::isnan(x)) return;
        ++count;
        // A zero leaves the sum as it is (a sum that starts at +0.0 is never
        // -0.0), and runs are flat for long stretches.
        if (x != 0.0) sum += x;
    }
    // `k` more returns, each `x`, which is a zero or NaN.
    void add_zeros(double x, std::size_t k) {
        seen += k;
        if (!std::isnan(x)) count += k;
    }
};
ReturnSum sum_returns(std::span<const double> returns);

// Sharpe, Sortino and Omega of a simple-return series; NaN values are skipped.
ReturnRatios return_ratios(double periods_per_year, double risk_free_rate,
                           std::span<const double> returns);
// Argument order used by the strategy runners.
inline ReturnRatios return_ratios(std::span<const double> returns, double periods_per_year,
                                  double risk_free_rate) {
    return return_ratios(periods_per_year, risk_free_rate, returns);
}

// Periods per year of a run as its configuration asks for it.
double config_periods_per_year(const BacktestConfig& cfg, std::span<const int64_t> timestamps);

BacktestMetrics compute_metrics(std::span<const double> equity_curve,
                                std::span<const double> drawdown_curve,
                                std::span<const double> returns, std::span<const Trade> trades,
                                std::span<const int64_t> timestamps, const BacktestConfig& cfg);
// The same, for a caller that has kept `first`, the ReturnSum of `returns`.
BacktestMetrics compute_metrics(std::span<const double> equity_curve,
                                std::span<const double> drawdown_curve,
                                std::span<const double> returns, std::span<const Trade> trades,
                                std::span<const int64_t> timestamps, const BacktestConfig& cfg,
                                const ReturnSum& first);

}  // namespace tidemark
