// The book optimiser: new target weights from a risk model, expected returns
// ("alpha") and the current weights, by one convex quadratic programme solved
// with Clarabel (maximise alpha less a risk penalty less a linear turnover
// cost, under a budget, per-asset and per-sector caps and, in long/short mode,
// a gross budget and net bounds), then snapping away trades too small to be
// worth making and re-checking what the snapping can break.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analytics/covariance.h"
#include "analytics/portfolio_error.h"
#include "analytics/qp_solver.h"
#include "core/buffer.h"

namespace tidemark {

// short_cap 0 selects long-only mode (0 <= w_i <= position_cap, invested
// fraction in [1 - cash_max, 1]); short_cap > 0 selects long/short mode
// (-short_cap <= w_i <= position_cap, sum |w_i| <= gross_max, net weight in
// [net_min, net_max]). Weights are fractions of the book; cash is what they
// leave of 1. Nothing is checked until an optimisation starts.
struct OptimizerConfig {
    double risk_aversion = 0.0;
    double turnover_penalty = 0.0;  // per unit of one-way trade, in weight units
    double position_cap = 0.0;
    std::vector<uint64_t> sector_ids;  // one per asset, indexing sector_caps
    std::vector<double> sector_caps;
    double no_trade_band = 0.0;
    double min_trade_value = 0.0;  // in currency; 0 disables
    double portfolio_value = 0.0;  // read only by min_trade_value
    double cash_max = 0.0;
    uint32_t max_iter = 200;
    double tolerance = 1e-8;
    double short_cap = 0.0;
    double gross_max = 1.0;
    double net_min = 0.0;
    double net_max = 1.0;
};

struct OptimizationResult {
    Series<double> weights;
    Series<double> trades;        // weights - w_current
    std::vector<bool> snapped;    // trades snapped back to the current weight
    std::string solver_status;    // always "Solved" in a result
    double cash = 0.0;
    double gross_exposure = 0.0;
    double net_exposure = 0.0;
    double turnover = 0.0;        // one-way: half the sum of |trades|
    double objective = 0.0;       // the solver's, before snapping
    double vol_annualized = 0.0;  // of the final weights
    uint32_t iterations = 0;
};

// Wall time spent inside the solver, for benchmarks that split a solve into
// the solver's share and everything around it.
struct OptimizeTimings {
    double solver_seconds = 0.0;
};

// The whole optimisation: validation, feasibility pre-checks, the programme,
// one solve, snapping and the post-snap checks. Reads the model only, keeps
// no state, and may run on many threads at once against one model. Asset ids
// are the caller's to check (check_asset_ids) where it has them.
PortfolioOutcome<OptimizationResult> optimize_book(const RiskModel& model, std::span<const double> alpha,
                                                   std::span<const double> w_current, const OptimizerConfig& config,
                                                   OptimizeTimings* timings = nullptr);

// The stages of optimize_book, for tests and benchmarks.

// Validation and feasibility pre-checks, in order; the first failure.
std::optional<PortfolioError> check_book(const RiskModel& model, std::span<const double> alpha,
                                         std::span<const double> w_current, const OptimizerConfig& config);

// The programme of a checked book: x = [w, t] (long-only) or [w, t, a]
// (long/short), with t_i >= |w_i - w_current_i| and a_i >= |w_i|.
QpProblem build_book_problem(const RiskModel& model, std::span<const double> alpha,
                             std::span<const double> w_current, const OptimizerConfig& config);

// Maps a finished solve to the result: the status, then snapping and the
// post-snap checks.
PortfolioOutcome<OptimizationResult> finish_book(const RiskModel& model, std::span<const double> w_current,
                                                 const OptimizerConfig& config, const QpSolution& solution);

}  // namespace tidemark
