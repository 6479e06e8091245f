// Euler decomposition of a portfolio's volatility under a risk model.
#pragma once

#include <span>
#include <string>

#include "analytics/covariance.h"
#include "core/buffer.h"

namespace tidemark {

struct RiskContributions {
    Series<double> marginal;          // d(sigma)/d(w_i), per period
    Series<double> contribution;      // w_i x marginal_i; sums to sigma
    Series<double> pct_contribution;  // contribution_i / sigma; sums to 1
    double total_vol_annualized = 0.0;
};

// Weights may be negative and need not sum to 1. The asset ids are checked
// first (check_asset_ids).
PortfolioOutcome<RiskContributions> compute_risk_contributions(const RiskModel& model, std::span<const double> weights,
                                                               std::span<const std::string> asset_ids);

// The same for a caller that has checked the asset ids itself.
PortfolioOutcome<RiskContributions> compute_risk_contributions(const RiskModel& model, std::span<const double> weights);

}  // namespace tidemark
