// The covariance risk model: a Ledoit-Wolf estimate shrunk towards a
// constant-correlation target, gated by a Cholesky factorisation, that carries
// its asset order and periods per year so every consumer can check the caller
// against them.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analytics/portfolio_error.h"
#include "core/buffer.h"

namespace tidemark {

struct RiskModel {
    Series<double> cov;  // n_assets x n_assets, row-major, per period, exactly symmetric
    std::vector<std::string> asset_ids;
    std::size_t n_assets = 0;
    std::size_t n_obs = 0;
    double periods_per_year = 0.0;
    double shrinkage_intensity = 0.0;  // weight of the target, in [0, 1]
};

// w' Sigma w over the model's covariance: each (Sigma w)_i summed along its
// row, then weighted and summed in row order. With `sigma_w` (n values) each
// (Sigma w)_i is kept there as well. The sums are formed from the columns,
// which give the same terms in the same order only because the matrix is
// symmetric bit for bit.
double portfolio_variance(const RiskModel& model, std::span<const double> w, std::span<double> sigma_w = {});

// `returns` holds `n_obs` rows of `n_assets` per-period returns, row-major;
// it is taken by value because the estimate works on it in place.
PortfolioOutcome<RiskModel> estimate_covariance(Series<double> returns, std::size_t n_obs, std::size_t n_assets,
                                                std::vector<std::string> asset_ids, double periods_per_year);

// The lower Cholesky factor of an n x n row-major matrix (row-major, zero
// above the diagonal). A pivot that is not strictly positive and finite is
// NotPositiveDefinite "pivot {:.3} at index {}".
PortfolioOutcome<Series<double>> cholesky(std::span<const double> a, std::size_t n);

// Compares the caller's asset ids with the model's, position by position and
// byte for byte; nothing is ever reordered.
std::optional<PortfolioError> check_asset_ids(const RiskModel& model, std::span<const std::string> ids);

}  // namespace tidemark
