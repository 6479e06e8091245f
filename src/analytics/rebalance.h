// Following a target-weight panel through a price panel under a calendar or
// a drift-band rebalance policy, every leg charged the Indian cost schedule
// of one segment plus the depository charge on sells; and the export of one
// segment's schedule.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "analytics/factor_panel.h"
#include "core/buffer.h"
#include "core/fees.h"

namespace tidemark {

struct RebalancePolicy {
    enum Kind : uint8_t { Calendar = 0, Band = 1 };
    Kind kind = Calendar;
    uint64_t every_n = 1;  // Calendar: dates between rebalances
    double band = 0.0;     // Band: one-way drift fraction that triggers one
};

// "calendar" or "band", ASCII letters in any case. `param` is every N dates
// (a whole number >= 1) or the band. The error is the text of the refusal.
Outcome<RebalancePolicy, std::string> parse_rebalance_policy(std::string_view policy, double param);

// The eight snake_case segment names, ASCII letters in any case, no trimming.
Outcome<CostSegment, std::string> parse_cost_segment(std::string_view name);

// One segment's rates under their exported names.
std::array<std::pair<const char*, double>, 8> cost_schedule(CostSegment segment);

struct RebalanceParams {
    double initial_capital = 0.0;
    RebalancePolicy policy;
    CostSegment segment = CostSegment::EquityDelivery;
    double min_trade_value = 0.0;
    double dp_charge_per_isin = 0.0;
    double periods_per_year = 252.0;
};

struct RebalanceSimResult {
    Series<double> equity_curve;     // after each date's trading and costs
    Series<double> turnover;         // half the traded value over pre-trade equity
    Series<double> cost_regulatory;  // STT, exchange, SEBI, stamp duty and GST
    Series<double> cost_brokerage;
    Series<double> cost_dp;
    uint32_t n_rebalances = 0;  // dates with at least one executed leg
    uint32_t n_trades = 0;      // executed legs
    double total_cost_drag_annualized = 0.0;
};

// `targets` must have the shape of `prices` (row t is date t's weights).
PortfolioOutcome<RebalanceSimResult> simulate_rebalance_policy(const Panel& prices, const Panel& targets,
                                                               const RebalanceParams& params);

}  // namespace tidemark
