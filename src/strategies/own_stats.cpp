#include "strategies/own_stats.h"

#include <cmath>
#include <limits>

namespace tidemark {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLegacyPeriods = 252.0;
constexpr double kSqrtLegacyPeriods = 15.874507866387544;

// A quotient whose denominator is not positive: unbounded when there is
// something to divide, nothing otherwise.
double ratio_or_limit(double num, double den) {
    if (den > 0.0) return num / den;
    return num > 0.0 ? kInf : 0.0;
}

}  // namespace

bool acts_next_bar(const BacktestConfig& cfg) {
    if (cfg.fill_timing) return *cfg.fill_timing == FillTiming::NextBarOpen;
    return !cfg.upon_bar_close;
}

void shift_one_bar_later(BoolVec& flags) {
    for (std::size_t i = flags.size(); i-- > 1;) flags[i] = flags[i - 1];
    if (!flags.empty()) flags[0] = 0;
}

ProcessedSignals own_loop_signals(std::span<const uint8_t> entries, std::span<const uint8_t> exits, bool next_bar) {
    ProcessedSignals sig = process_signals(entries, exits);
    if (next_bar) {
        shift_one_bar_later(sig.entry_signals);
        shift_one_bar_later(sig.exit_signals);
    }
    return sig;
}

SharpeSortino legacy_ratios(double mean, double sq_dev, double down_sq, std::size_t count) {
    SharpeSortino out;
    if (count < 2) {
        out.sortino = mean > 0.0 ? kInf : 0.0;
        return out;
    }
    const double dof = static_cast<double>(count - 1);
    const double variance = sq_dev / dof;
    const double downside = down_sq / dof;
    if (variance != 0.0) out.sharpe = mean * kLegacyPeriods / (std::sqrt(variance) * kSqrtLegacyPeriods);
    if (downside != 0.0) {
        out.sortino = mean * kLegacyPeriods / (std::sqrt(downside) * kSqrtLegacyPeriods);
    } else {
        out.sortino = mean > 0.0 ? kInf : 0.0;
    }
    return out;
}

SharpeSortino legacy_trade_ratios(std::span<const Trade> trades, bool welford_mean) {
    const std::size_t k = trades.size();
    double mean = 0.0;
    if (welford_mean) {
        std::size_t seen = 0;
        for (const Trade& t : trades) {
            ++seen;
            mean += (t.pnl_pct / 100.0 - mean) / static_cast<double>(seen);
        }
    } else if (k > 0) {
        double sum = 0.0;
        for (const Trade& t : trades) sum += t.pnl_pct / 100.0;
        mean = sum / static_cast<double>(k);
    }

    if (k < 2) return legacy_ratios(mean, 0.0, 0.0, k);
    double sq_dev = 0.0, down_sq = 0.0;
    for (const Trade& t : trades) {
        const double r = t.pnl_pct / 100.0;
        sq_dev += (r - mean) * (r - mean);
        const double down = std::fmin(r, 0.0);
        down_sq += down * down;
    }
    return legacy_ratios(mean, sq_dev, down_sq, k);
}

BacktestMetrics own_loop_metrics(const BacktestConfig& cfg, std::span<const double> equity,
                                 std::span<const double> drawdown, std::span<const double> returns,
                                 std::span<const Trade> trades, std::span<const int64_t> timestamps,
                                 const OwnStatsRecipe& recipe) {
    BacktestMetrics m;
    m.start_value = cfg.initial_capital;
    m.end_value = equity.empty() ? cfg.initial_capital : equity.back();
    m.total_return_pct = recipe.guard_zero_capital && m.start_value == 0.0
                             ? 0.0
                             : (m.end_value - m.start_value) / m.start_value * 100.0;

    for (double d : drawdown) {
        if (d > m.max_drawdown_pct) m.max_drawdown_pct = d;  // NaN never compares greater
    }
    m.calmar_ratio = m.max_drawdown_pct > 0.0 ? m.total_return_pct / m.max_drawdown_pct
                                              : (m.total_return_pct > 0.0 ? kInf : 0.0);

    double gains = 0.0, losses = 0.0, fees = 0.0;
    uint64_t winners = 0, losers = 0;
    for (const Trade& t : trades) {
        if (t.pnl > 0.0) {
            gains += t.pnl;
            ++winners;
        } else if (t.pnl < 0.0) {
            losses += -t.pnl;
            ++losers;
        }
        fees += t.fees;
    }
    m.profit_factor = ratio_or_limit(gains, losses);
    if (recipe.sum_fees) m.total_fees_paid = fees;

    if (recipe.paired_legs) {
        // A round trip wins when its two legs together made money; an exactly
        // flat one counts as lost.
        m.total_trades = trades.size() / 2;
        m.winning_trades = 0;
        for (std::size_t j = 0; j + 1 < trades.size(); j += 2) {
            if (trades[j].pnl + trades[j + 1].pnl > 0.0) ++m.winning_trades;
        }
        m.losing_trades = m.total_trades - m.winning_trades;
    } else {
        m.total_trades = trades.size();
        m.winning_trades = winners;
        m.losing_trades = losers;
    }
    m.win_rate_pct = m.total_trades > 0
                         ? static_cast<double>(m.winning_trades) / static_cast<double>(m.total_trades) * 100.0
                         : 0.0;

    if (cfg.legacy_annualization) {
        const SharpeSortino r = legacy_trade_ratios(trades, recipe.welford_mean);
        m.sharpe_ratio = r.sharpe;
        m.sortino_ratio = r.sortino;
    } else {
        const ReturnRatios r = return_ratios(returns, config_periods_per_year(cfg, timestamps), cfg.risk_free_rate);
        m.sharpe_ratio = r.sharpe;
        m.sortino_ratio = r.sortino;
    }
    return m;
}

EngineResult run_result(BacktestMetrics metrics, BarCurves&& curves, TradeList&& trades) {
    EngineResult r;
    r.metrics = std::move(metrics);
    r.equity_curve = std::move(curves.equity);
    r.drawdown_curve = std::move(curves.drawdown);
    r.returns = std::move(curves.returns);
    r.trades = std::move(trades);
    return r;
}

EngineResult own_loop_result(const BacktestConfig& cfg, BarCurves&& curves, TradeList&& trades,
                             std::span<const int64_t> timestamps, const OwnStatsRecipe& recipe) {
    BacktestMetrics m =
        own_loop_metrics(cfg, curves.equity, curves.drawdown, curves.returns, trades, timestamps, recipe);
    return run_result(std::move(m), std::move(curves), std::move(trades));
}

EngineResult empty_run_result(const BacktestConfig& cfg) {
    EngineResult r;
    r.metrics.start_value = cfg.initial_capital;
    r.metrics.end_value = cfg.initial_capital;
    return r;
}

}  // namespace tidemark
