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

// The positive steps between consecutive timestamps, counted a stretch at a
// time, for the median that annualises the ratios. Bars come at a handful of
// distinct spacings (the bar size, the overnight and weekend gaps), so
// counting each distinct step finds the median without storing the steps;
// past kDistinct distinct steps the counting gives up, and the median is
// selected from the whole series instead.
class PositiveSteps {
public:
    // The steps into `ts[from]` to `ts[to - 1]` (`from` at least 1), after
    // those counted before, which ended at `ts[from - 1]`.
    void count(const int64_t* ts, std::size_t from, std::size_t to);
    // The median of the steps counted (0 when none is positive), or nothing
    // when they have too many distinct values.
    std::optional<double> median() const;

private:
    static constexpr std::size_t kDistinct = 64;
    struct StepCount {
        uint64_t step;
        std::size_t count;
    };
    // Moves the run of repeats into the table; false when it is full.
    bool add_run();

    StepCount table_[kDistinct]{};
    std::size_t distinct_ = 0;
    // The step being repeated and how often, kept out of the table until it
    // changes: most steps repeat the one before.
    uint64_t step_ = 0;
    std::size_t repeats_ = 0;
    std::size_t counted_ = 0;
    bool irregular_ = false;
};

// Annualisation factor: an explicit positive value wins; otherwise it is read
// off the median positive spacing of the timestamps.
double resolve_periods_per_year(std::optional<double> explicit_ppy, double session_minutes,
                                double default_ppy, std::span<const int64_t> timestamps,
                                bool continuous_market);
// The same, for a caller that has counted the steps of `timestamps` already.
double resolve_periods_per_year(std::optional<double> explicit_ppy, double session_minutes,
                                double default_ppy, std::span<const int64_t> timestamps,
                                bool continuous_market, const PositiveSteps& counted);
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
    // `k` more returns, `x[0]` to `x[k-1]`, to the same sum and counts as
    // adding them one by one.
    void add_many(const double* x, std::size_t k);
    // `k` more returns, each `x`, which is a zero or NaN.
    void add_zeros(double x, std::size_t k) {
        seen += k;
        if (!std::isnan(x)) count += k;
    }
};
ReturnSum sum_returns(std::span<const double> returns);

// `sum` after `x` is added to it `k` times in a row, each sum rounded to
// nearest as a loop's would be, for a `sum` and an `x` that are not
// negative; in a few steps per power of two crossed instead of `k`.
double add_repeated(double sum, double x, std::size_t k);

// The drawdown curve read one step at a time: the deepest drawdown (NaN
// ignored, never below 0) and the earliest longest run of steps under water.
// Selects instead of branches: a curve goes under water and back too often
// for a branch to guess.
struct DrawdownRuns {
    double max_pct = 0.0;
    std::size_t longest = 0;    // steps under water in the longest run
    std::size_t first = 0;      // first step of the earliest such run
    std::size_t run = 0;        // the current run
    std::size_t run_first = 0;
    std::size_t seen = 0;       // steps read

    void add(double v) {
        if (v > max_pct) max_pct = v;  // NaN never compares greater
        const bool under = v > 0.0;
        run_first = under && run == 0 ? seen : run_first;
        run = under ? run + 1 : 0;
        // Strictly longer only: an equal later run leaves the earlier one.
        const bool longer = run > longest;
        longest = longer ? run : longest;
        first = longer ? run_first : first;
        ++seen;
    }
    // `k` more steps, all under water (greater than 0), the deepest of them
    // or of the summary so far `deepest`: they only lengthen the current run,
    // whose length is compared with the longest once, at the end, where it
    // is greatest.
    void add_under_water(std::size_t k, double deepest) {
        max_pct = deepest;
        if (k == 0) return;
        if (run == 0) run_first = seen;
        run += k;
        if (run > longest) {
            longest = run;
            first = run_first;
        }
        seen += k;
    }
    // `k` more steps, each `v`.
    void add_repeated(double v, std::size_t k) {
        if (k == 0) return;
        if (v > max_pct) max_pct = v;
        if (v > 0.0) {
            if (run == 0) run_first = seen;
            run += k;
            if (run > longest) {
                longest = run;
                first = run_first;
            }
        } else {
            run = 0;
        }
        seen += k;
    }
};

// What a run keeps of its curves as it makes them, so that the metrics read
// them only once more.
struct CurveSummary {
    ReturnSum returns;
    DrawdownRuns drawdown;
    // The steps between the run's timestamps, when it counted them as it
    // passed them.
    std::optional<PositiveSteps> steps;
};

// Sharpe, Sortino and Omega of a simple-return series; NaN values are skipped.
ReturnRatios return_ratios(double periods_per_year, double risk_free_rate,
                           std::span<const double> returns);
// Argument order used by the strategy runners.
inline ReturnRatios return_ratios(std::span<const double> returns, double periods_per_year,
                                  double risk_free_rate) {
    return return_ratios(periods_per_year, risk_free_rate, returns);
}

// Periods per year of a run as its configuration asks for it, from the
// steps of `timestamps` already counted when `counted` is given.
double config_periods_per_year(const BacktestConfig& cfg, std::span<const int64_t> timestamps,
                               const PositiveSteps* counted = nullptr);
// Whether that reads the spacing of the timestamps.
bool config_reads_spacing(const BacktestConfig& cfg);

BacktestMetrics compute_metrics(std::span<const double> equity_curve,
                                std::span<const double> drawdown_curve,
                                std::span<const double> returns, std::span<const Trade> trades,
                                std::span<const int64_t> timestamps, const BacktestConfig& cfg);
// The same, for a caller that has kept the summary of `returns` and
// `drawdown_curve`.
BacktestMetrics compute_metrics(std::span<const double> equity_curve,
                                std::span<const double> drawdown_curve,
                                std::span<const double> returns, std::span<const Trade> trades,
                                std::span<const int64_t> timestamps, const BacktestConfig& cfg,
                                const CurveSummary& kept);

}  // namespace tidemark
