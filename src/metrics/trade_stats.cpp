#include "metrics/trade_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tidemark {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Positions still open at the end of the run were force-closed; they have no
// realised outcome yet and stay out of the win/loss figures.
bool is_open_trade(const Trade& t) { return t.exit_reason == ExitReason::EndOfData; }

double bars_held(const Trade& t) {
    return static_cast<double>(t.exit_idx) - static_cast<double>(t.entry_idx);
}

// A quotient whose denominator is not positive: unbounded when there is
// something to divide, nothing otherwise.
double ratio_or_limit(double num, double den) {
    if (den > 0.0) return num / den;
    return num > 0.0 ? kInf : 0.0;
}

}  // namespace

double compute_trade_stats(std::span<const Trade> trades, BacktestMetrics& m) {
    const uint64_t total = trades.size();

    uint64_t open = 0, winners = 0, losers = 0;
    double open_pnl = 0.0, fees = 0.0, turnover = 0.0;
    double gross_profit = 0.0, gross_loss = 0.0, closed_pnl = 0.0;
    double win_pct_sum = 0.0, loss_pct_sum = 0.0, win_bars = 0.0, loss_bars = 0.0;
    double pct_sum = 0.0, bars_sum = 0.0, secs_sum = 0.0;
    bool secs_defined = true;
    double best = -kInf, worst = kInf;
    uint64_t win_streak = 0, loss_streak = 0, max_wins = 0, max_losses = 0;

    for (const Trade& t : trades) {
        fees += t.fees;
        turnover += std::fabs(t.size * t.entry_price);
        // Force-closed and settled positions were never sold in the market.
        if (t.exit_reason != ExitReason::EndOfData && t.exit_reason != ExitReason::Settlement) {
            turnover += std::fabs(t.size * t.exit_price);
        }

        pct_sum += t.pnl_pct;
        const double held = bars_held(t);
        bars_sum += held;
        if (t.exit_time < t.entry_time) {
            secs_defined = false;
        } else {
            const uint64_t dt = static_cast<uint64_t>(t.exit_time) - static_cast<uint64_t>(t.entry_time);
            secs_sum += static_cast<double>(dt) / 1e9;
        }
        if (!std::isnan(t.pnl_pct)) {
            if (t.pnl_pct > best) best = t.pnl_pct;
            if (t.pnl_pct < worst) worst = t.pnl_pct;
        }

        if (t.pnl > 0.0) {
            max_wins = std::max(max_wins, ++win_streak);
            loss_streak = 0;
        } else if (t.pnl < 0.0) {
            max_losses = std::max(max_losses, ++loss_streak);
            win_streak = 0;
        }

        if (is_open_trade(t)) {
            ++open;
            open_pnl += t.pnl;
            continue;
        }
        closed_pnl += t.pnl;
        if (t.pnl > 0.0) {
            ++winners;
            gross_profit += t.pnl;
            win_pct_sum += t.pnl_pct;
            win_bars += held;
        } else if (t.pnl < 0.0) {
            ++losers;
            gross_loss += std::fabs(t.pnl);
            loss_pct_sum += t.pnl_pct;
            loss_bars += held;
        }
    }

    const uint64_t closed = total - open;
    m.total_trades = total;
    m.total_open_trades = open;
    m.total_closed_trades = closed;
    m.open_trade_pnl = open_pnl;
    m.winning_trades = winners;
    m.losing_trades = losers;
    m.total_fees_paid = fees;
    m.total_turnover = turnover;

    m.win_rate_pct = 0.0;
    m.profit_factor = 0.0;
    m.expectancy = 0.0;
    m.sqn = 0.0;
    if (closed > 0) {
        const double c = static_cast<double>(closed);
        m.win_rate_pct = static_cast<double>(winners) / c * 100.0;
        m.profit_factor = ratio_or_limit(gross_profit, gross_loss);
        m.expectancy = closed_pnl / c;
        if (closed >= 2) {
            double sq = 0.0;
            for (const Trade& t : trades) {
                if (is_open_trade(t)) continue;
                const double d = t.pnl - m.expectancy;
                sq += d * d;
            }
            const double var = sq / (c - 1.0);
            if (var > 0.0) m.sqn = std::sqrt(c) * m.expectancy / std::sqrt(var);
        }
    }

    m.best_trade_pct = std::isfinite(best) ? best : 0.0;
    m.worst_trade_pct = std::isfinite(worst) ? worst : 0.0;
    m.max_consecutive_wins = max_wins;
    m.max_consecutive_losses = max_losses;

    m.avg_win_pct.reset();
    m.avg_loss_pct.reset();
    m.avg_winning_duration.reset();
    m.avg_losing_duration.reset();
    if (winners > 0) {
        m.avg_win_pct = win_pct_sum / static_cast<double>(winners);
        m.avg_winning_duration = win_bars / static_cast<double>(winners);
    }
    if (losers > 0) {
        m.avg_loss_pct = loss_pct_sum / static_cast<double>(losers);
        m.avg_losing_duration = loss_bars / static_cast<double>(losers);
    }
    m.payoff_ratio = ratio_or_limit(m.avg_win_pct.value_or(0.0), std::fabs(m.avg_loss_pct.value_or(0.0)));

    m.avg_trade_return_pct = 0.0;
    m.avg_holding_period = 0.0;
    m.avg_holding_period_secs.reset();
    if (total > 0) {
        const double n = static_cast<double>(total);
        m.avg_trade_return_pct = pct_sum / n;
        m.avg_holding_period = bars_sum / n;
        if (secs_defined) m.avg_holding_period_secs = secs_sum / n;
    }
    return bars_sum;
}

}  // namespace tidemark
