#include "analytics/rebalance.h"

#include <cmath>
#include <cstdint>

#include "core/format.h"
#include "core/numeric.h"

namespace tidemark {

namespace {

void count(uint32_t& counter) {
    if (counter != UINT32_MAX) ++counter;
}

}  // namespace

Outcome<RebalancePolicy, std::string> parse_rebalance_policy(std::string_view policy, double param) {
    const std::string name = ascii_lower(policy);
    RebalancePolicy p;
    if (name == "band") {
        p.kind = RebalancePolicy::Band;
        p.band = param;
        return p;
    }
    if (name == "calendar") {
        if (!(param >= 1.0) || !std::isfinite(param) || std::floor(param) != param)
            return "calendar policy_param must be a whole number >= 1, got " + fmt_shortest(param);
        p.kind = RebalancePolicy::Calendar;
        p.every_n = saturating_u64(param);
        return p;
    }
    return "unknown policy '" + escape_text(name, '\'') + "'; expected 'calendar' or 'band'";
}

Outcome<CostSegment, std::string> parse_cost_segment(std::string_view name) {
    const std::string lower = ascii_lower(name);
    if (auto seg = segment_from_name(lower)) return *seg;
    return "unknown segment '" + escape_text(lower, '\'') +
           "'; expected one of equity_delivery, equity_intraday, futures_nfo, options_nfo, futures_mcx, "
           "options_mcx, futures_cds, options_cds";
}

std::array<std::pair<const char*, double>, 8> cost_schedule(CostSegment segment) {
    const SegmentRates& r = segment_rates(segment);
    return {{
        {"brokerage_flat", r.brokerage_flat},
        {"brokerage_rate", r.brokerage_rate},
        {"stt_rate", r.stt_rate},
        {"exchange_txn_rate", r.exchange_txn_rate},
        {"stamp_duty_rate", r.stamp_duty_rate},
        {"sebi_turnover_rate", kSebiRate},
        {"gst_rate", kGstRate},
        {"dp_sell_charge_per_isin_per_day", r.dp_charge_per_isin},
    }};
}

PortfolioOutcome<RebalanceSimResult> simulate_rebalance_policy(const Panel& prices, const Panel& targets,
                                                               const RebalanceParams& params) {
    const std::size_t T = prices.rows, n = prices.cols;
    const std::size_t cells = T * n;
    if (prices.values.size() != cells || (n != 0 && prices.values.size() / n != T))
        return PortfolioError::element_count(T, n, prices.values.size());
    for (std::size_t k = 0; k < cells; ++k) {
        if (!std::isfinite(prices.values[k])) return PortfolioError::non_finite(k / n, k % n);
    }
    if (targets.values.size() != cells) return PortfolioError::element_count(T, n, targets.values.size());
    for (std::size_t k = 0; k < cells; ++k) {
        if (!std::isfinite(targets.values[k])) return PortfolioError::non_finite(k / n, k % n);
    }
    if (T == 0 || n == 0) return PortfolioError::degenerate("empty panel");
    for (std::size_t k = 0; k < cells; ++k) {
        if (prices.values[k] <= 0.0)
            return PortfolioError::degenerate("non-positive price " + fmt_shortest(prices.values[k]) + " at row " +
                                              std::to_string(k / n) + ", col " + std::to_string(k % n));
    }
    for (std::size_t t = 0; t < T; ++t) {
        const double* w = targets.values.data() + t * n;
        double sum = -0.0;
        bool negative = false;
        for (std::size_t i = 0; i < n; ++i) {
            sum += w[i];
            negative = negative || w[i] < -1e-12;
        }
        if (negative || sum > 1.000000001)
            return PortfolioError::degenerate("target weights on date " + std::to_string(t) +
                                              " must be long-only and sum <= 1 (sum " + fmt_fixed(sum, 6) + ")");
    }
    if (!std::isfinite(params.initial_capital) || !(params.initial_capital > 0.0))
        return PortfolioError::degenerate("initial_capital must be > 0, got " + fmt_shortest(params.initial_capital));
    if (params.dp_charge_per_isin < 0.0 || params.min_trade_value < 0.0)
        return PortfolioError::degenerate("dp_charge_per_isin and min_trade_value must be >= 0");
    if (!std::isfinite(params.periods_per_year) || !(params.periods_per_year > 0.0))
        return PortfolioError::degenerate("periods_per_year must be > 0, got " + fmt_shortest(params.periods_per_year));
    const RebalancePolicy& policy = params.policy;
    if (policy.kind == RebalancePolicy::Band && (!std::isfinite(policy.band) || !(policy.band > 0.0)))
        return PortfolioError::degenerate("Band band must be a positive finite fraction");
    if (policy.kind == RebalancePolicy::Calendar && policy.every_n == 0)
        return PortfolioError::degenerate("Calendar every_n must be >= 1");

    RebalanceSimResult r;
    r.equity_curve.reserve(T);
    r.turnover.assign(T, 0.0);
    r.cost_regulatory.assign(T, 0.0);
    r.cost_brokerage.assign(T, 0.0);
    r.cost_dp.assign(T, 0.0);
    std::vector<double> shares(n, 0.0);
    double cash = params.initial_capital;
    double total_cost = 0.0;
    uint64_t counter = 0;

    for (std::size_t t = 0; t < T; ++t) {
        const double* p = prices.values.data() + t * n;
        const double* w = targets.values.data() + t * n;
        double holdings = 0.0;
        for (std::size_t i = 0; i < n; ++i) holdings += shares[i] * p[i];
        // Costs are paid on top of a fully invested target, so cash and even
        // equity may turn negative; such an equity is used as it stands.
        const double equity = cash + holdings;

        bool rebalance;
        if (policy.kind == RebalancePolicy::Calendar) {
            rebalance = counter == 0;
            counter = (counter + 1) % policy.every_n;
        } else {
            double drift = 0.0;
            for (std::size_t i = 0; i < n; ++i) drift += std::fabs(shares[i] * p[i] / equity - w[i]);
            rebalance = t == 0 || 0.5 * drift > policy.band;
        }

        if (rebalance) {
            double traded = 0.0, brokerage = 0.0, regulatory = 0.0;
            uint32_t legs = 0, sells = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const double v = w[i] * equity - shares[i] * p[i];
                if (v == 0.0 || std::fabs(v) < params.min_trade_value) continue;
                const double notional = std::fabs(v);
                const bool buy = v > 0.0;
                const FeeBreakdown fee = itemised_fee_breakdown(params.segment, buy, notional, 1.0);
                const double cost = fee.total();
                // A sell-out by division leaves a rounding's worth of shares,
                // which later rebalances would trade (and charge DP) again.
                shares[i] = w[i] == 0.0 ? 0.0 : shares[i] + v / p[i];
                cash = (cash - v) - cost;
                traded += notional;
                count(legs);
                count(r.n_trades);
                brokerage += fee.brokerage;
                regulatory += cost - fee.brokerage;
                if (!buy) count(sells);
            }
            if (legs > 0) {
                r.cost_dp[t] = params.dp_charge_per_isin * static_cast<double>(sells);
                r.cost_regulatory[t] = regulatory;
                r.cost_brokerage[t] = brokerage;
                cash -= r.cost_dp[t];
                r.turnover[t] = (traded / equity) * 0.5;
                total_cost += r.cost_dp[t] + (regulatory + brokerage);
                count(r.n_rebalances);
            }
        }

        double value = 0.0;
        for (std::size_t i = 0; i < n; ++i) value += shares[i] * p[i];
        r.equity_curve.push_back(cash + value);
    }

    const double years = static_cast<double>(T) / params.periods_per_year;
    double equity_sum = 0.0;
    for (double e : r.equity_curve) equity_sum += e;
    const double mean_equity = equity_sum / static_cast<double>(T);
    if (!(years > 0.0) || !(mean_equity > 0.0))
        return PortfolioError::degenerate("average equity or horizon not positive; cost drag undefined");
    r.total_cost_drag_annualized = (total_cost / mean_equity) / years;
    return r;
}

}  // namespace tidemark
