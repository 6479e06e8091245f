#include "metrics/metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "metrics/annualization.h"
#include "metrics/trade_stats.h"

namespace tidemark {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLegacyPeriodsPerYear = 365.0;
constexpr double kDefaultSessionMinutes = 375.0;

struct DrawdownSummary {
    double max_pct = 0.0;
    std::size_t longest = 0;  // steps under water in the longest run
    std::size_t first = 0;    // first step of the earliest such run
};

DrawdownSummary summarise_drawdown(std::span<const double> dd) {
    DrawdownSummary s;
    std::size_t run = 0, run_first = 0;
    for (std::size_t i = 0; i < dd.size(); ++i) {
        const double v = dd[i];
        if (v > s.max_pct) s.max_pct = v;  // NaN never compares greater
        if (v > 0.0) {
            if (run == 0) run_first = i;
            ++run;
            // Strictly longer only: an equal later run leaves the earlier one.
            if (run > s.longest) {
                s.longest = run;
                s.first = run_first;
            }
        } else {
            run = 0;
        }
    }
    return s;
}

std::optional<double> drawdown_seconds(const DrawdownSummary& s, std::size_t curve_len,
                                       std::span<const int64_t> ts) {
    if (curve_len == 0 || ts.size() < 2 || s.longest == 0) return std::nullopt;
    const std::size_t last = s.first + s.longest - 1;
    if (last >= ts.size()) return std::nullopt;
    if (ts[last] < ts[s.first]) return std::nullopt;
    const uint64_t dt = static_cast<uint64_t>(ts[last]) - static_cast<uint64_t>(ts[s.first]);
    return static_cast<double>(dt) / 1e9;
}

}  // namespace

ReturnRatios return_ratios(double periods_per_year, double risk_free_rate,
                           std::span<const double> returns) {
    ReturnRatios r{0.0, 0.0, 1.0};
    if (returns.size() < 2) return r;

    std::size_t k = 0;
    double sum = 0.0;
    for (double x : returns) {
        if (std::isnan(x)) continue;
        ++k;
        sum += x;
    }
    if (k < 2) return r;

    const double kd = static_cast<double>(k);
    const double mean = sum / kd;
    double sq_dev = 0.0, down_sq = 0.0, gains = 0.0, losses = 0.0;
    bool any_negative = false;
    for (double x : returns) {
        if (std::isnan(x)) continue;
        const double d = x - mean;
        sq_dev += d * d;
        if (x < 0.0) {
            any_negative = true;
            down_sq += x * x;
            losses += -x;
        } else if (x > 0.0) {
            gains += x;
        }
    }
    const double variance = sq_dev / (kd - 1.0);
    const double p = periods_per_year;
    const double rf = p > 0.0 ? risk_free_rate / p : 0.0;
    const double excess = mean - rf;

    r.sharpe = variance > 0.0 ? std::sqrt(p) * excess / std::sqrt(variance) : 0.0;

    // Downside deviation spreads the losses over every period, not only the
    // losing ones.
    const double downside = down_sq / kd;
    if (!any_negative || !(downside > 0.0)) {
        r.sortino = excess > 0.0 ? kInf : 0.0;
    } else {
        r.sortino = std::sqrt(p) * excess / std::sqrt(downside);
    }

    if (losses > 0.0) {
        r.omega = gains / losses;
    } else {
        r.omega = gains > 0.0 ? kInf : 1.0;
    }
    return r;
}

double config_periods_per_year(const BacktestConfig& cfg, std::span<const int64_t> timestamps) {
    if (cfg.legacy_annualization) return kLegacyPeriodsPerYear;
    const bool continuous = cfg.session_minutes.has_value() && *cfg.session_minutes <= 0.0;
    return resolve_periods_per_year(cfg.periods_per_year,
                                    cfg.session_minutes.value_or(kDefaultSessionMinutes),
                                    kLegacyPeriodsPerYear, timestamps, continuous);
}

BacktestMetrics compute_metrics(std::span<const double> equity_curve,
                                std::span<const double> drawdown_curve,
                                std::span<const double> returns, std::span<const Trade> trades,
                                std::span<const int64_t> timestamps, const BacktestConfig& cfg) {
    BacktestMetrics m;
    const std::size_t n = equity_curve.size();

    m.start_value = cfg.initial_capital;
    m.end_value = n > 0 ? equity_curve.back() : cfg.initial_capital;
    m.total_return_pct = (m.end_value - m.start_value) / m.start_value * 100.0;

    const DrawdownSummary dd = summarise_drawdown(drawdown_curve);
    m.max_drawdown_pct = dd.max_pct;
    m.max_drawdown_duration = dd.longest;
    m.max_drawdown_duration_secs = drawdown_seconds(dd, drawdown_curve.size(), timestamps);

    const ReturnRatios ratios =
        return_ratios(config_periods_per_year(cfg, timestamps), cfg.risk_free_rate, returns);
    m.sharpe_ratio = ratios.sharpe;
    m.sortino_ratio = ratios.sortino;
    m.omega_ratio = ratios.omega;

    if (m.max_drawdown_pct > 0.0) {
        m.calmar_ratio = m.total_return_pct / m.max_drawdown_pct;
    } else {
        m.calmar_ratio = m.total_return_pct > 0.0 ? kInf : 0.0;
    }

    const double gain = m.end_value - m.start_value;
    if (m.start_value > 0.0 && m.max_drawdown_pct > 0.0) {
        const double worst_loss = m.start_value * m.max_drawdown_pct / 100.0;
        m.recovery_factor = worst_loss > 0.0 ? gain / worst_loss : 0.0;
    } else {
        m.recovery_factor = gain > 0.0 ? kInf : 0.0;
    }

    if (n > 0) {
        double held = 0.0;
        for (const Trade& t : trades) {
            held += static_cast<double>(t.exit_idx) - static_cast<double>(t.entry_idx);
        }
        m.exposure_pct = std::min(held / static_cast<double>(n) * 100.0, 100.0);
    }

    compute_trade_stats(trades, m);
    return m;
}

}  // namespace tidemark
