#include "metrics/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "metrics/annualization.h"
#include "metrics/trade_stats.h"

namespace tidemark {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLegacyPeriodsPerYear = 365.0;
constexpr double kDefaultSessionMinutes = 375.0;

std::optional<double> drawdown_seconds(const DrawdownRuns& s, std::size_t curve_len,
                                       std::span<const int64_t> ts) {
    if (curve_len == 0 || ts.size() < 2 || s.longest == 0) return std::nullopt;
    const std::size_t last = s.first + s.longest - 1;
    if (last >= ts.size()) return std::nullopt;
    if (ts[last] < ts[s.first]) return std::nullopt;
    const uint64_t dt = static_cast<uint64_t>(ts[last]) - static_cast<uint64_t>(ts[s.first]);
    return static_cast<double>(dt) / 1e9;
}

// `x` when `keep`, else +0.0, by masking its bits: compilers turn the plain
// conditional into a branch.
inline double keep_if(bool keep, double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits &= uint64_t{0} - static_cast<uint64_t>(keep);
    std::memcpy(&x, &bits, sizeof bits);
    return x;
}

// The second pass of the ratios, around the mean of the first.
struct RatioSums {
    double mean = 0.0;
    double sq_dev = 0.0, down_sq = 0.0, gains = 0.0, losses = 0.0;
    bool any_negative = false;

    void add(double x) {
        if (std::isnan(x)) return;
        const double d = x - mean;
        sq_dev += d * d;
        // No branch on the sign, which a run's returns make unpredictable:
        // the part of the wrong sign is a zero, and adding a zero leaves
        // these sums of non-negative terms as they are.
        const double below = keep_if(x < 0.0, x);
        const double above = keep_if(x > 0.0, x);
        any_negative |= x < 0.0;
        down_sq += below * below;
        losses += -below;
        gains += above;
    }
};

// Whether the ratios are defined, by the sizes of the series and of its
// non-NaN part.
bool ratios_defined(std::size_t len, const ReturnSum& first) { return len >= 2 && first.count >= 2; }

ReturnRatios finish_ratios(double periods_per_year, double risk_free_rate, const ReturnSum& first,
                           const RatioSums& s) {
    ReturnRatios r;
    const double kd = static_cast<double>(first.count);
    const double variance = s.sq_dev / (kd - 1.0);
    const double p = periods_per_year;
    const double rf = p > 0.0 ? risk_free_rate / p : 0.0;
    const double excess = s.mean - rf;

    r.sharpe = variance > 0.0 ? std::sqrt(p) * excess / std::sqrt(variance) : 0.0;

    // Downside deviation spreads the losses over every period, not only the
    // losing ones.
    const double downside = s.down_sq / kd;
    if (!s.any_negative || !(downside > 0.0)) {
        r.sortino = excess > 0.0 ? kInf : 0.0;
    } else {
        r.sortino = std::sqrt(p) * excess / std::sqrt(downside);
    }

    if (s.losses > 0.0) {
        r.omega = s.gains / s.losses;
    } else {
        r.omega = s.gains > 0.0 ? kInf : 1.0;
    }
    return r;
}

}  // namespace

ReturnSum sum_returns(std::span<const double> returns) {
    ReturnSum first;
    for (double x : returns) first.add(x);
    return first;
}

ReturnRatios return_ratios(double periods_per_year, double risk_free_rate,
                           std::span<const double> returns) {
    if (returns.size() < 2) return ReturnRatios{0.0, 0.0, 1.0};
    const ReturnSum first = sum_returns(returns);
    if (!ratios_defined(returns.size(), first)) return ReturnRatios{0.0, 0.0, 1.0};
    RatioSums s;
    s.mean = first.sum / static_cast<double>(first.count);
    for (double x : returns) s.add(x);
    return finish_ratios(periods_per_year, risk_free_rate, first, s);
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
    // Both curves in one loop: each is a chain of dependent steps, and side
    // by side they overlap.
    CurveSummary kept;
    const std::size_t both = std::min(drawdown_curve.size(), returns.size());
    for (std::size_t i = 0; i < both; ++i) {
        kept.drawdown.add(drawdown_curve[i]);
        kept.returns.add(returns[i]);
    }
    for (std::size_t i = both; i < drawdown_curve.size(); ++i) kept.drawdown.add(drawdown_curve[i]);
    for (std::size_t i = both; i < returns.size(); ++i) kept.returns.add(returns[i]);
    return compute_metrics(equity_curve, drawdown_curve, returns, trades, timestamps, cfg, kept);
}

BacktestMetrics compute_metrics(std::span<const double> equity_curve,
                                std::span<const double> drawdown_curve,
                                std::span<const double> returns, std::span<const Trade> trades,
                                std::span<const int64_t> timestamps, const BacktestConfig& cfg,
                                const CurveSummary& kept) {
    BacktestMetrics m;
    const std::size_t n = equity_curve.size();

    m.start_value = cfg.initial_capital;
    m.end_value = n > 0 ? equity_curve.back() : cfg.initial_capital;
    m.total_return_pct = (m.end_value - m.start_value) / m.start_value * 100.0;

    const DrawdownRuns& dd = kept.drawdown;
    m.max_drawdown_pct = dd.max_pct;
    m.max_drawdown_duration = dd.longest;
    m.max_drawdown_duration_secs = drawdown_seconds(dd, drawdown_curve.size(), timestamps);

    const ReturnSum& first = kept.returns;
    ReturnRatios r{0.0, 0.0, 1.0};
    if (ratios_defined(returns.size(), first)) {
        RatioSums sums;
        sums.mean = first.sum / static_cast<double>(first.count);
        for (double x : returns) sums.add(x);
        r = finish_ratios(config_periods_per_year(cfg, timestamps), cfg.risk_free_rate, first, sums);
    }
    m.sharpe_ratio = r.sharpe;
    m.sortino_ratio = r.sortino;
    m.omega_ratio = r.omega;

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
