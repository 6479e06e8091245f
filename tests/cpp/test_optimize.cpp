#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/errors.h"
#include "portfolio/optimize.h"

using namespace tidemark;

namespace {

RiskModel model_of(std::vector<double> cov, std::size_t n, double ppy = 252.0) {
    RiskModel m;
    m.cov.assign(cov.begin(), cov.end());
    m.n_assets = n;
    m.n_obs = 100;
    m.periods_per_year = ppy;
    // Appended rather than "a" + to_string(i): GCC 12 at -O3 warns falsely
    // (-Wrestrict) about the concatenation.
    for (std::size_t i = 0; i < n; ++i) m.asset_ids.push_back(std::string("a").append(std::to_string(i)));
    return m;
}

OptimizerConfig config(bool long_short) {
    OptimizerConfig c;
    c.risk_aversion = 2.0;
    c.turnover_penalty = 0.25;
    c.position_cap = 0.6;
    c.sector_ids = {1, 0, 1};
    c.sector_caps = {0.5, 0.8, 0.9};  // sector 2 has no assets
    c.cash_max = 0.1;
    if (long_short) {
        c.short_cap = 0.3;
        c.gross_max = 1.5;
        c.net_min = -0.2;
        c.net_max = 0.7;
    }
    return c;
}

// A x computed from the compressed columns.
std::vector<double> times(const CscMatrix& m, const std::vector<double>& x) {
    std::vector<double> out(m.nrows, 0.0);
    for (std::size_t j = 0; j < m.ncols; ++j)
        for (std::size_t k = m.colptr[j]; k < m.colptr[j + 1]; ++k) out[m.rowval[k]] += m.nzval[k] * x[j];
    return out;
}

class BookLayout : public ::testing::TestWithParam<bool> {};

// Each row of the programme written out from its meaning, against the
// matrices the builder assembles.
TEST_P(BookLayout, RowsAndColumnsFollowTheProgramme) {
    const bool ls = GetParam();
    // One zero covariance cell, which must be left out of P.
    const RiskModel m = model_of({0.04, 0.0, 0.01, 0.0, 0.09, 0.02, 0.01, 0.02, 0.16}, 3);
    const OptimizerConfig c = config(ls);
    const std::vector<double> alpha{0.01, -0.02, 0.03}, wc{0.2, 0.3, 0.1};
    ASSERT_FALSE(check_book(m, alpha, wc, c).has_value());
    const QpProblem p = build_book_problem(m, alpha, wc, c);

    const std::size_t n = 3, sectors = 3, vars = ls ? 9 : 6, rows = sectors + 4 * n + 2 + (ls ? 2 * n + 1 : 0);
    EXPECT_EQ(p.P.ncols, vars);
    EXPECT_EQ(p.P.nrows, vars);
    EXPECT_EQ(p.A.nrows, rows);
    EXPECT_EQ(p.A.ncols, vars);
    EXPECT_EQ(p.cone_dim, rows);
    ASSERT_EQ(p.b.size(), rows);
    // P: upper triangle of 2 x risk_aversion x Sigma, column by column.
    std::vector<std::size_t> colptr{0, 1, 2, 5};
    colptr.resize(vars + 1, 5);
    EXPECT_EQ(p.P.colptr, colptr);
    EXPECT_EQ(p.P.rowval, (std::vector<std::size_t>{0, 1, 0, 1, 2}));
    EXPECT_EQ(p.P.nzval, (std::vector<double>{0.16, 0.36, 0.04, 0.08, 0.64}));
    std::vector<double> q{-0.01, 0.02, -0.03, 0.25, 0.25, 0.25};
    if (ls) q.insert(q.end(), {0.0, 0.0, 0.0});
    EXPECT_EQ(p.q, q);

    // A probe point: w, t and a with distinct values.
    const std::vector<double> w{0.7, -0.4, 0.05}, t{0.11, 0.13, 0.17}, a{0.19, 0.23, 0.29};
    std::vector<double> x(w);
    x.insert(x.end(), t.begin(), t.end());
    if (ls) x.insert(x.end(), a.begin(), a.end());
    std::vector<double> want_ax, want_b;
    auto row = [&](double ax, double b) {
        want_ax.push_back(ax);
        want_b.push_back(b);
    };
    const double sum = w[0] + w[1] + w[2];
    row(sum, ls ? 0.7 : 1.0);
    row(-sum, ls ? 0.2 : -0.9);
    for (std::size_t i = 0; i < n; ++i) row(-w[i], ls ? 0.3 : 0.0);
    for (std::size_t i = 0; i < n; ++i) row(w[i], 0.6);
    const std::vector<double>& by_sector = ls ? a : w;
    row(by_sector[1], 0.5);
    row(by_sector[0] + by_sector[2], 0.8);
    row(0.0, 0.9);
    for (std::size_t i = 0; i < n; ++i) row(w[i] - t[i], wc[i]);
    for (std::size_t i = 0; i < n; ++i) row(-w[i] - t[i], -wc[i]);
    if (ls) {
        for (std::size_t i = 0; i < n; ++i) row(w[i] - a[i], 0.0);
        for (std::size_t i = 0; i < n; ++i) row(-w[i] - a[i], 0.0);
        row(a[0] + a[1] + a[2], 1.5);
    }
    const std::vector<double> ax = times(p.A, x);
    ASSERT_EQ(ax.size(), want_ax.size());
    for (std::size_t r = 0; r < ax.size(); ++r) {
        EXPECT_NEAR(ax[r], want_ax[r], 1e-15) << "row " << r;
        EXPECT_DOUBLE_EQ(p.b[r], want_b[r]) << "row " << r;
    }
    // Rows strictly increase within every column, as the solver requires.
    for (std::size_t j = 0; j < vars; ++j)
        for (std::size_t k = p.A.colptr[j] + 1; k < p.A.colptr[j + 1]; ++k) EXPECT_LT(p.A.rowval[k - 1], p.A.rowval[k]);
}

INSTANTIATE_TEST_SUITE_P(Modes, BookLayout, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? std::string("LongShort") : std::string("LongOnly"); });

struct FinishCase {
    const char* name;
    bool long_short;
    std::vector<double> x;  // the solver's w (t and a do not matter here)
    std::vector<double> w_current;
    double band;
    std::string message;  // empty: a result
};

// Post-snap outcomes for hand-made solutions on a two-asset book with one
// sector per asset (caps 0.7 and 0.5), position_cap 0.6, cash_max 0.05 and
// tolerance 1e-8 (so the check tolerance is 1e-7); long/short adds
// short_cap 0.3, gross_max 0.8 and net bounds [-0.2, 0.6].
std::vector<FinishCase> finish_cases() {
    const std::string p18(18, ' '), p22(22, ' ');
    return {
        // -0.1 on asset 0 is snapped back to 0.65, over the cap.
        {"snapped_back_above_the_cap", false, {0.55, 0.45}, {0.65, 0.2}, 0.15,
         "infeasible constraints: post-snap weight 0.650000 on asset 0 exceeds position_cap" + p18 +
             "0.600000; the no-trade band snapped a trade that was reducing" + p18 +
             "it -- lower the band, raise the cap, or accept the trades"},
        {"snapped_back_below_the_short_cap", true, {-0.25, 0.5}, {-0.35, 0.0}, 0.15,
         "infeasible constraints: post-snap weight -0.350000 on asset 0 breaches short_cap" + p18 +
             "-0.300000; the no-trade band snapped a covering trade -- lower" + p18 +
             "the band, raise the cap, or accept the trades"},
        // Asset 1 back at 0.55, within its position cap but over its sector's.
        {"sector_left_over_its_cap", false, {0.3, 0.45}, {0.1, 0.55}, 0.15,
         "infeasible constraints: post-snap sector 1 exposure 0.550000 exceeds its cap" + p22 +
             "0.500000; snapping stranded weight in the sector -- lower" + p22 +
             "the band, raise the cap, or accept the trades"},
        {"gross_left_over_the_budget", true, {0.4, 0.35}, {0.0, 0.45}, 0.15,
         "infeasible constraints: post-snap gross exposure 0.850000 exceeds gross_max" + p22 +
             "0.800000; snapping stranded weight -- lower the band, raise" + p22 + "the budget, or accept the trades"},
        // 0.55 + 0.37 leaves 0.08 of cash, 0.03 over cash_max.
        {"cash_stranded_above_cash_max", false, {0.55, 0.45}, {0.3, 0.37}, 0.1,
         "infeasible constraints: post-snap cash 0.080000 outside [0, 0.050000]; snapping stranded 0.030000 of "
         "weight -- widen cash_max, lower the band, or accept the trades"},
        {"cash_overdrawn", false, {0.55, 0.45}, {0.2, 0.5}, 0.1,
         "infeasible constraints: post-snap cash -0.050000 outside [0, 0.050000]; snapping stranded -0.050000 of "
         "weight -- widen cash_max, lower the band, or accept the trades"},
        {"net_left_outside_its_bounds", true, {0.25, 0.4}, {0.0, 0.45}, 0.1,
         "infeasible constraints: post-snap net exposure 0.700000 outside [-0.200000, 0.600000]; snapping stranded "
         "weight -- widen the net bounds, lower the band, or accept the trades"},
        // Every trade snapped: the book stays as it is, unchecked, even over
        // its caps and its budget.
        {"all_trades_snapped", false, {0.6, 0.4}, {0.9, 0.3}, 0.5, ""},
        {"no_trade_at_all", true, {0.2, 0.3}, {0.2, 0.3}, 0.0, ""},
    };
}

void PrintTo(const FinishCase& c, std::ostream* os) { *os << c.name; }

class FinishBook : public ::testing::TestWithParam<FinishCase> {};

TEST_P(FinishBook, SnapsAndChecksWhatSnappingCanBreak) {
    const FinishCase& fc = GetParam();
    const RiskModel m = model_of({0.04, 0.01, 0.01, 0.09}, 2);
    OptimizerConfig c;
    c.risk_aversion = 1.0;
    c.position_cap = 0.6;
    c.sector_ids = {0, 1};
    c.sector_caps = {0.7, 0.5};
    c.cash_max = 0.05;
    c.no_trade_band = fc.band;
    if (fc.long_short) {
        c.short_cap = 0.3;
        c.gross_max = 0.8;
        c.net_min = -0.2;
        c.net_max = 0.6;
    }
    QpSolution s{"Solved", fc.x, -1.5, 9};
    s.x.resize(fc.long_short ? 6 : 4, 0.0);
    const auto out = finish_book(m, fc.w_current, c, s);
    if (!fc.message.empty()) {
        ASSERT_FALSE(out.ok());
        EXPECT_EQ(out.error().message(), fc.message);
        return;
    }
    ASSERT_TRUE(out.ok()) << out.error().message();
    const OptimizationResult& r = out.value();
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(r.weights[i], fc.w_current[i]);
        EXPECT_EQ(r.trades[i], 0.0);
    }
    EXPECT_EQ(r.turnover, 0.0);
    const double held = fc.w_current[0] + fc.w_current[1];
    EXPECT_EQ(r.cash, fc.long_short ? 1.0 - held : std::max(0.0, 1.0 - held));
    EXPECT_EQ(r.objective, -1.5);
    EXPECT_EQ(r.iterations, 9u);
}

INSTANTIATE_TEST_SUITE_P(Cases, FinishBook, ::testing::ValuesIn(finish_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FinishBook, StatusesOtherThanSolvedAreFailures) {
    const RiskModel m = model_of({0.04, 0.01, 0.01, 0.09}, 2);
    OptimizerConfig c = config(false);
    c.sector_ids = {0, 0};
    const std::vector<double> wc{0.5, 0.5};
    auto message = [&](const char* status, uint32_t iterations) {
        return finish_book(m, wc, c, QpSolution{status, {0.5, 0.5, 0, 0}, 0.0, iterations}).error().message();
    };
    EXPECT_EQ(message("PrimalInfeasible", 7), "infeasible constraints: solver certified primal infeasibility "
                                              "(PrimalInfeasible)");
    EXPECT_EQ(message("AlmostPrimalInfeasible", 7),
              "infeasible constraints: solver certified primal infeasibility (AlmostPrimalInfeasible)");
    EXPECT_EQ(message("AlmostSolved", 31), "solver failed: status AlmostSolved after 31 iterations");
    EXPECT_EQ(message("MaxIterations", 200), "solver failed: status MaxIterations after 200 iterations");
}

TEST(OptimizeBook, TwoUncorrelatedAssetsReachTheClosedForm) {
    // Two uncorrelated assets, no turnover cost and a fully invested book:
    // 2 ra diag(s) w = alpha - lambda with w0 + w1 = 1 gives
    // w0 = (alpha0 - alpha1 + 2 ra s1) / (2 ra (s0 + s1)).
    const RiskModel m = model_of({0.04, 0.0, 0.0, 0.01}, 2, 100.0);
    OptimizerConfig c;
    c.risk_aversion = 1.5;
    c.position_cap = 1.0;
    c.sector_ids = {0, 0};
    c.sector_caps = {1.0};
    const std::vector<double> alpha{0.05, 0.02}, wc{0.0, 0.0};
    OptimizeTimings timings;
    const auto out = optimize_book(m, alpha, wc, c, &timings);
    ASSERT_TRUE(out.ok()) << out.error().message();
    const OptimizationResult& r = out.value();
    const double w0 = (0.05 - 0.02 + 2 * 1.5 * 0.01) / (2 * 1.5 * 0.05);
    EXPECT_NEAR(r.weights[0], w0, 1e-7);
    EXPECT_NEAR(r.weights[1], 1 - w0, 1e-7);
    EXPECT_EQ(r.solver_status, "Solved");
    EXPECT_GT(timings.solver_seconds, 0.0);
    const double var = 0.04 * r.weights[0] * r.weights[0] + 0.01 * r.weights[1] * r.weights[1];
    EXPECT_NEAR(r.vol_annualized, std::sqrt(var) * 10.0, 1e-12);
    EXPECT_NEAR(r.objective, 1.5 * var - 0.05 * r.weights[0] - 0.02 * r.weights[1], 1e-7);
    EXPECT_DOUBLE_EQ(r.turnover, 0.5 * (std::fabs(r.trades[0]) + std::fabs(r.trades[1])));
}

TEST(FinishBook, ShortfallsWithinTheSolversReachOfZeroBecomeZero) {
    // -5e-10 is solver noise around a zero weight; -2e-9 is a real short.
    const RiskModel m = model_of({0.04, 0.01, 0.01, 0.09}, 2);
    OptimizerConfig c = config(true);
    c.sector_ids = {0, 1};
    const std::vector<double> wc{0.3, 0.2};
    const auto out = finish_book(m, wc, c, QpSolution{"Solved", {-5e-10, -2e-9, 0, 0, 0, 0}, 0.0, 4});
    ASSERT_TRUE(out.ok()) << out.error().message();
    EXPECT_EQ(out.value().weights[0], 0.0);
    EXPECT_FALSE(std::signbit(out.value().weights[0]));
    EXPECT_EQ(out.value().weights[1], -2e-9);
}

TEST(OptimizeBook, AModelWhoseMatrixDoesNotFitItsSizeIsABrokenInvariant) {
    const RiskModel m = model_of({0.04, 0.0, 0.01}, 2);
    const std::vector<double> v{0.5, 0.5};
    EXPECT_THROW(optimize_book(m, v, v, config(false)), Fault);
}

}  // namespace
