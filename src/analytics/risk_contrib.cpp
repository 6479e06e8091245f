#include "analytics/risk_contrib.h"

#include <cmath>

#include "core/format.h"

namespace tidemark {

PortfolioOutcome<RiskContributions> compute_risk_contributions(const RiskModel& model, std::span<const double> w,
                                                               std::span<const std::string> asset_ids) {
    if (auto err = check_asset_ids(model, asset_ids)) return std::move(*err);
    return compute_risk_contributions(model, w);
}

PortfolioOutcome<RiskContributions> compute_risk_contributions(const RiskModel& model, std::span<const double> w) {
    const std::size_t n = model.n_assets;
    if (w.size() != n)
        return PortfolioError::shape_mismatch(std::to_string(w.size()) + " weights for " + std::to_string(n) +
                                              " assets");
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(w[i])) return PortfolioError::non_finite(0, i);
    }
    if (model.cov.size() != n * n) return PortfolioError::element_count(n, n, model.cov.size());

    RiskContributions rc;
    rc.marginal.resize(n);
    const double variance = portfolio_variance(model, w, rc.marginal);
    // NaN is refused too: a variance that is not a number decomposes nothing.
    if (!(variance > 0.0))
        return PortfolioError::degenerate("portfolio variance " + fmt_fixed(variance, 3) +
                                          " is not positive; risk decomposition undefined");
    const double sigma = std::sqrt(variance);
    rc.contribution.resize(n);
    rc.pct_contribution.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        rc.marginal[i] /= sigma;
        rc.contribution[i] = w[i] * rc.marginal[i];
        rc.pct_contribution[i] = rc.contribution[i] / sigma;
    }
    rc.total_vol_annualized = sigma * std::sqrt(model.periods_per_year);
    return rc;
}

}  // namespace tidemark
