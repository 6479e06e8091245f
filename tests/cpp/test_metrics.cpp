#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "metrics/metrics.h"

using namespace tidemark;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int64_t kMin = 60'000'000'000;
constexpr int64_t kDay = 86'400'000'000'000;

Trade trade(double pnl, double pct, uint64_t entry_idx, uint64_t exit_idx,
            ExitReason reason = ExitReason::Signal) {
    Trade t;
    t.pnl = pnl;
    t.pnl_pct = pct;
    t.entry_idx = entry_idx;
    t.exit_idx = exit_idx;
    t.entry_time = static_cast<int64_t>(entry_idx) * kMin;
    t.exit_time = static_cast<int64_t>(exit_idx) * kMin;
    t.size = 10.0;
    t.entry_price = 100.0;
    t.exit_price = 100.0 + pnl / 10.0;
    t.fees = 1.0;
    t.exit_reason = reason;
    return t;
}

std::vector<int64_t> spaced(std::size_t n, int64_t step) {
    std::vector<int64_t> ts(n);
    for (std::size_t i = 0; i < n; ++i) ts[i] = static_cast<int64_t>(i) * step;
    return ts;
}

BacktestMetrics run(const std::vector<double>& equity, const std::vector<double>& dd,
                    const std::vector<Trade>& trades, const std::vector<int64_t>& ts,
                    const BacktestConfig& cfg = {}, const std::vector<double>& returns = {}) {
    return compute_metrics(equity, dd, returns, trades, ts, cfg);
}

}  // namespace

TEST(MetricsRun, EmptyRun) {
    BacktestConfig cfg;
    cfg.initial_capital = 5000.0;
    const auto m = run({}, {}, {}, {}, cfg);
    EXPECT_EQ(m.start_value, 5000.0);
    EXPECT_EQ(m.end_value, 5000.0);
    EXPECT_EQ(m.total_return_pct, 0.0);
    EXPECT_EQ(m.total_trades + m.total_closed_trades + m.total_open_trades, 0u);
    EXPECT_EQ(m.winning_trades + m.losing_trades + m.max_drawdown_duration, 0u);
    for (double v : {m.win_rate_pct, m.profit_factor, m.calmar_ratio, m.recovery_factor,
                     m.payoff_ratio, m.sharpe_ratio, m.sortino_ratio, m.best_trade_pct,
                     m.worst_trade_pct, m.exposure_pct, m.total_turnover, m.max_drawdown_pct}) {
        EXPECT_EQ(v, 0.0);
    }
    EXPECT_EQ(m.omega_ratio, 1.0);
    for (const auto& o : {m.max_drawdown_duration_secs, m.avg_win_pct, m.avg_loss_pct,
                          m.avg_winning_duration, m.avg_losing_duration, m.avg_holding_period_secs}) {
        EXPECT_FALSE(o.has_value());
    }
}

TEST(MetricsRun, CalmarRecoveryAndExposure) {
    BacktestConfig cfg;
    cfg.initial_capital = 100.0;
    const std::vector<double> eq{100, 120, 90, 110};
    const std::vector<double> dd{0, 0, 25, 100.0 * 10.0 / 120.0};
    auto m = run(eq, dd, {trade(5, 1, 0, 3), trade(5, 1, 1, 4)}, spaced(4, kMin), cfg);
    EXPECT_DOUBLE_EQ(m.total_return_pct, 10.0);
    EXPECT_EQ(m.max_drawdown_pct, 25.0);
    EXPECT_DOUBLE_EQ(m.calmar_ratio, 0.4);
    EXPECT_DOUBLE_EQ(m.recovery_factor, 0.4);
    EXPECT_EQ(m.exposure_pct, 100.0);  // 6 bars held over 4 steps, capped

    // Never under water with a gain: both unbounded.
    m = run(eq, {0, 0, 0, 0}, {trade(5, 1, 0, 1)}, {}, cfg);
    EXPECT_EQ(m.calmar_ratio, kInf);
    EXPECT_EQ(m.recovery_factor, kInf);
    EXPECT_EQ(m.exposure_pct, 25.0);
}

TEST(MetricsDrawdown, EarliestLongestRun) {
    const std::vector<double> eq(8, 100000.0);
    auto m = run(eq, {0, 2, 3, 0, 1, 1, 1, 0}, {}, spaced(8, kMin));
    EXPECT_EQ(m.max_drawdown_duration, 3u);
    EXPECT_EQ(m.max_drawdown_duration_secs, 120.0);
    EXPECT_EQ(m.max_drawdown_pct, 3.0);

    m = run(eq, {0, 2, 3, 0, 1, 1, 0}, {}, spaced(7, kMin));
    EXPECT_EQ(m.max_drawdown_duration, 2u);
    EXPECT_EQ(m.max_drawdown_duration_secs, 60.0);
    // Equal lengths: the earlier run is kept even when the later one lasts longer in time.
    m = run(eq, {0, 2, 3, 0, 1, 1, 0}, {}, {0, kMin, 2 * kMin, 3 * kMin, 4 * kMin, 6 * kMin, 7 * kMin});
    EXPECT_EQ(m.max_drawdown_duration_secs, 60.0);
}

TEST(MetricsDrawdown, SecondsAbsentOrZeroAtTheEdges) {
    const double nan = std::nan("");
    const std::vector<double> eq(3, 1.0);
    // NaN is not under water: two one-step runs, the first kept, 0 seconds.
    auto m = run(eq, {1, nan, 1}, {}, spaced(3, kMin));
    EXPECT_EQ(m.max_drawdown_duration, 1u);
    EXPECT_EQ(m.max_drawdown_duration_secs, 0.0);
    EXPECT_EQ(m.max_drawdown_pct, 1.0);
    // Run beyond the timestamps, too few timestamps, time running backwards.
    EXPECT_FALSE(run(eq, {0, 0, 1}, {}, spaced(2, kMin)).max_drawdown_duration_secs);
    EXPECT_FALSE(run(eq, {1, 1, 1}, {}, spaced(1, kMin)).max_drawdown_duration_secs);
    EXPECT_FALSE(run(eq, {0, 1, 1}, {}, {0, 2 * kMin, kMin}).max_drawdown_duration_secs);
    EXPECT_FALSE(run(eq, {0, 0, 0}, {}, spaced(3, kMin)).max_drawdown_duration_secs);
}

TEST(MetricsTrades, MixedClosedAndOpenTrades) {
    // Winner, flat, winner, loser, then an open losing position.
    std::vector<Trade> trades{trade(100, 10, 0, 2), trade(0, 0, 3, 4, ExitReason::TakeProfit),
                              trade(200, 20, 5, 9), trade(-50, -5, 10, 11, ExitReason::StopLoss),
                              trade(-30, -3, 12, 14, ExitReason::EndOfData)};
    trades[1].fees = 0.5;
    const auto m = run(std::vector<double>(20, 100000.0), {}, trades, {});
    EXPECT_EQ(m.total_trades, 5u);
    EXPECT_EQ(m.total_closed_trades, 4u);
    EXPECT_EQ(m.total_open_trades, 1u);
    EXPECT_EQ(m.open_trade_pnl, -30.0);
    EXPECT_EQ(m.winning_trades, 2u);
    EXPECT_EQ(m.losing_trades, 1u);
    EXPECT_EQ(m.win_rate_pct, 50.0);
    EXPECT_EQ(m.profit_factor, 6.0);
    EXPECT_EQ(m.expectancy, 62.5);
    // Deviations 37.5, -62.5, 137.5, -112.5 around 62.5; sample variance 36875 / 3.
    EXPECT_DOUBLE_EQ(m.sqn, 2.0 * 62.5 / std::sqrt(36875.0 / 3.0));
    EXPECT_DOUBLE_EQ(m.total_fees_paid, 4.5);
    // Entry 1000 each; exits 1100, 1000, 1200, 950; the open trade has no exit side.
    EXPECT_EQ(m.total_turnover, 5000.0 + 1100 + 1000 + 1200 + 950);
    EXPECT_EQ(m.best_trade_pct, 20.0);
    EXPECT_EQ(m.worst_trade_pct, -5.0);
    EXPECT_DOUBLE_EQ(m.avg_trade_return_pct, 4.4);
    EXPECT_EQ(m.avg_win_pct, 15.0);
    EXPECT_EQ(m.avg_loss_pct, -5.0);
    EXPECT_EQ(m.payoff_ratio, 3.0);
    EXPECT_EQ(m.avg_winning_duration, 3.0);
    EXPECT_EQ(m.avg_losing_duration, 1.0);
    // A zero trade leaves the win streak alone; the open loser extends the loss one.
    EXPECT_EQ(m.max_consecutive_wins, 2u);
    EXPECT_EQ(m.max_consecutive_losses, 2u);
    EXPECT_EQ(m.avg_holding_period, 2.0);
    EXPECT_EQ(m.avg_holding_period_secs, 120.0);
    EXPECT_EQ(m.exposure_pct, 50.0);
}

TEST(MetricsTrades, OnlyWinnersAndSingleOpenTrade) {
    auto m = run({}, {}, {trade(10, 1, 0, 1), trade(20, 2, 1, 2)}, {});
    EXPECT_EQ(m.profit_factor, kInf);
    EXPECT_FALSE(m.avg_loss_pct.has_value());
    EXPECT_EQ(m.payoff_ratio, kInf);

    m = run({}, {}, {trade(-7, -0.7, 0, 3, ExitReason::EndOfData)}, {});
    EXPECT_EQ(m.total_trades, 1u);
    EXPECT_EQ(m.total_open_trades, 1u);
    EXPECT_EQ(m.total_closed_trades, 0u);
    EXPECT_EQ(m.win_rate_pct, 0.0);
    EXPECT_EQ(m.expectancy, 0.0);
    EXPECT_EQ(m.profit_factor, 0.0);
    EXPECT_EQ(m.open_trade_pnl, -7.0);
    EXPECT_EQ(m.best_trade_pct, -0.7);
    EXPECT_EQ(m.avg_trade_return_pct, -0.7);
    EXPECT_EQ(m.max_consecutive_losses, 1u);
    EXPECT_FALSE(m.avg_loss_pct.has_value());
}

TEST(MetricsTrades, EdgeValuesOfPerTradeFields) {
    const double nan = std::nan("");
    auto settled = trade(10, nan, 0, 1, ExitReason::Settlement);
    auto m = run({}, {}, {settled, trade(-5, -0.5, 1, 2)}, {});
    EXPECT_EQ(m.total_turnover, 1000.0 + 1000.0 + 995.0);  // settled: entry side only
    EXPECT_EQ(m.best_trade_pct, -0.5);  // NaN ignored

    // Only NaN returns: nothing finite to report.
    m = run({}, {}, {settled}, {});
    EXPECT_EQ(m.best_trade_pct, 0.0);
    EXPECT_EQ(m.worst_trade_pct, 0.0);

    auto backwards = trade(1, 1, 2, 3);
    backwards.exit_time = backwards.entry_time - 1;
    m = run({}, {}, {trade(1, 1, 0, 1), backwards}, {});
    EXPECT_FALSE(m.avg_holding_period_secs.has_value());
    EXPECT_EQ(m.avg_holding_period, 1.0);
}

TEST(MetricsAnnualisation, ReadFromTimestamps) {
    const auto minute5 = spaced(50, 5 * kMin);
    EXPECT_EQ(resolve_periods_per_year(std::nullopt, 375.0, 365.0, spaced(10, kDay), false), 365.0);
    EXPECT_EQ(resolve_periods_per_year(std::nullopt, 375.0, 365.0, spaced(10, 60 * kMin), false), 1575.0);
    EXPECT_EQ(resolve_periods_per_year(std::nullopt, 375.0, 365.0, spaced(10, kMin), true), 525600.0);
    EXPECT_EQ(resolve_periods_per_year(std::nullopt, std::nan(""), 365.0, minute5, false), 105120.0);
    // Fewer bars than one per session still count one per session.
    EXPECT_EQ(resolve_periods_per_year(std::nullopt, 30.0, 365.0, spaced(10, 60 * kMin), false), 252.0);
    // Even count of positive steps (1, 1, 3, 3 min; zero and negative skipped): median 2 min.
    const std::vector<int64_t> uneven{0, kMin, kMin, 2 * kMin, 5 * kMin, 4 * kMin, 7 * kMin};
    EXPECT_EQ(resolve_periods_per_year(std::nullopt, 375.0, 365.0, uneven, false), 187.5 * 252.0);
    // No positive step, or too few timestamps: the fallback.
    EXPECT_EQ(resolve_periods_per_year(std::nullopt, 375.0, 365.0, std::vector<int64_t>(5, 7), false), 365.0);
    const std::vector<int64_t> one{0};
    EXPECT_EQ(resolve_periods_per_year(std::nullopt, one, 375.0, false, 252.0), 252.0);
    EXPECT_EQ(resolve_periods_per_year(12.0, 375.0, 365.0, minute5, false), 12.0);
}

TEST(MetricsAnnualisation, FromConfiguration) {
    const auto minute5 = spaced(50, 5 * kMin);
    BacktestConfig cfg;
    EXPECT_EQ(config_periods_per_year(cfg, minute5), 18900.0);
    cfg.periods_per_year = 0.0;  // not a usable value: ignored
    EXPECT_EQ(config_periods_per_year(cfg, minute5), 18900.0);
    cfg.session_minutes = 0.0;
    EXPECT_EQ(config_periods_per_year(cfg, minute5), 105120.0);
    cfg.periods_per_year = 252.0;
    EXPECT_EQ(config_periods_per_year(cfg, minute5), 252.0);
    cfg.legacy_annualization = true;
    EXPECT_EQ(config_periods_per_year(cfg, minute5), 365.0);

    // The factor reaches the Sharpe ratio of compute_metrics.
    const std::vector<double> rets{0.02, -0.01, 0.03, -0.02};
    const auto m = run({1, 1, 1, 1}, {}, {}, spaced(4, kMin), cfg, rets);
    EXPECT_DOUBLE_EQ(m.sharpe_ratio, std::sqrt(365.0) * 0.005 / std::sqrt(0.0017 / 3.0));
}

TEST(MetricsRatios, ExactValues) {
    const double nan = std::nan("");
    // mean 0.005, sample variance 0.0017/3, downside mean square 0.0005/4 (all four values).
    auto r = return_ratios(4.0, 0.0, std::vector<double>{0.02, -0.01, nan, 0.03, -0.02});
    EXPECT_NEAR(r.sharpe, 2.0 * 0.005 / std::sqrt(0.0017 / 3.0), 1e-12);
    EXPECT_NEAR(r.sortino, 2.0 / std::sqrt(5.0), 1e-12);
    EXPECT_NEAR(r.omega, 0.05 / 0.03, 1e-12);

    // Risk-free 4 % a year over 4 periods: excess -0.005; Omega keeps raw returns.
    r = return_ratios(std::vector<double>{0.02, -0.01, 0.03, -0.02}, 4.0, 0.04);
    EXPECT_NEAR(r.sharpe, -2.0 * 0.005 / std::sqrt(0.0017 / 3.0), 1e-12);
    EXPECT_NEAR(r.sortino, -2.0 / std::sqrt(5.0), 1e-12);
    EXPECT_NEAR(r.omega, 0.05 / 0.03, 1e-12);
}

TEST(MetricsRatios, DegenerateSeries) {
    auto r = return_ratios(252.0, 0.0, std::vector<double>{0.01, std::nan("")});
    EXPECT_EQ(r.sharpe, 0.0);
    EXPECT_EQ(r.sortino, 0.0);
    EXPECT_EQ(r.omega, 1.0);

    r = return_ratios(252.0, 0.0, std::vector<double>{0.0, 0.0, 0.0});
    EXPECT_EQ(r.sharpe, 0.0);
    EXPECT_EQ(r.sortino, 0.0);
    EXPECT_EQ(r.omega, 1.0);

    r = return_ratios(252.0, 0.0, std::vector<double>{0.01, 0.02, 0.0});
    EXPECT_GT(r.sharpe, 0.0);
    EXPECT_EQ(r.sortino, kInf);
    EXPECT_EQ(r.omega, kInf);
}

// The summaries a run keeps, taken a block at a time, against the same
// values added one by one: every field, every bit.
TEST(MetricsSummary, BlocksMatchOneByOne) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto bits = [](double x) { return std::bit_cast<uint64_t>(x); };
    auto runs = [&](const DrawdownRuns& r) {
        return std::tuple(bits(r.max_pct), r.longest, r.first, r.run, r.run_first, r.seen);
    };
    auto sums = [&](const ReturnSum& s) { return std::tuple(s.sum == s.sum ? bits(s.sum) : ~0ull, s.count, s.seen); };
    for (int trial = 0; trial < 300; ++trial) {
        DrawdownRuns one, many;
        ReturnSum sum_one, sum_many;
        // A summary part-way through a run, as the blocks find it.
        for (std::size_t i = 0; i < 5; ++i) {
            one.add(i % 2 ? 1.0 : 0.0), many.add(i % 2 ? 1.0 : 0.0);
            sum_one.add(0.25), sum_many.add(0.25);
        }
        // Blocks under water all along and blocks that touch or cross the
        // surface, with zeros of either sign, NaN and infinities.
        for (std::size_t total = 0; total < 2000;) {
            std::vector<double> v(static_cast<std::size_t>(u(rng) * (trial % 3 == 0 ? 300 : 20)));
            const double p = u(rng);
            bool under = true;
            double deepest = many.max_pct;
            for (double& x : v) {
                const double w = u(rng);
                x = u(rng) * (trial % 2 ? 100.0 : 1e-3) + (p < 0.5 ? 1e-12 : -0.3);
                if (w < 0.02) x = nan;
                else if (w < 0.04) x = w < 0.03 ? 0.0 : -0.0;
                else if (w < 0.045) x = trial % 7 == 0 ? kInf : -kInf;
                one.add(x), sum_one.add(x);
                under = under && x > 0.0;
                deepest = x > deepest ? x : deepest;
            }
            // A block under water all along goes in at once, with its deepest.
            if (under) {
                many.add_under_water(v.size(), deepest);
            } else {
                for (double x : v) many.add(x);
            }
            sum_many.add_many(v.data(), v.size());
            total += v.size();
            ASSERT_EQ(runs(many), runs(one));
            ASSERT_EQ(sums(sum_many), sums(sum_one));
        }
    }
}
