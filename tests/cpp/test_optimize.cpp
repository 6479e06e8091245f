#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "analytics/optimize.h"
#include "core/errors.h"

using namespace tidemark;

namespace {

RiskModel model_of(std::vector<double> cov = {0.04, 0.01, 0.01, 0.09}) {
    RiskModel m;
    m.cov.assign(cov.begin(), cov.end());
    m.n_assets = 2, m.n_obs = 100, m.periods_per_year = 252.0, m.asset_ids = {"a0", "a1"};
    return m;
}

// Sector caps 0.7 and 0.5, position_cap 0.6, cash_max 0.05; short_cap 0.3, gross 0.8, net [-0.2, 0.6].
OptimizerConfig two_asset_config(bool ls) {
    OptimizerConfig c;
    c.risk_aversion = 1.0, c.position_cap = 0.6, c.sector_ids = {0, 1}, c.sector_caps = {0.7, 0.5}, c.cash_max = 0.05;
    if (ls) c.short_cap = 0.3, c.gross_max = 0.8, c.net_min = -0.2, c.net_max = 0.6;
    return c;
}

}  // namespace

// Hand-made solutions (check tolerance 1e-7); the other statuses are in Python.
TEST(FinishBook, SnapsAndChecksWhatSnappingCanBreak) {
    struct Case {
        const char* name;
        bool ls;
        std::vector<double> x;  // the solver's w (t and a do not matter here)
        std::vector<double> w_current;
        double band;
        std::string message;  // empty: the book is kept as it is
        const char* status = "Solved";
    };
    const std::string p22(22, ' '), post = "infeasible constraints: post-snap ";
    const std::string cash_tail = " of weight -- widen cash_max, lower the band, or accept the trades";
    const Case cases[] = {
        // Asset 1 back at 0.55, within its position cap but over its sector's.
        {"sector_left_over_its_cap", false, {0.3, 0.45}, {0.1, 0.55}, 0.15,
         post + "sector 1 exposure 0.550000 exceeds its cap" + p22 + "0.500000; snapping stranded weight in the "
                "sector -- lower" + p22 + "the band, raise the cap, or accept the trades"},
        {"gross_left_over_the_budget", true, {0.4, 0.35}, {0.0, 0.45}, 0.15,
         post + "gross exposure 0.850000 exceeds gross_max" + p22 + "0.800000; snapping stranded weight -- lower the "
                "band, raise" + p22 + "the budget, or accept the trades"},
        // 0.55 + 0.37 leaves 0.08 of cash, 0.03 over cash_max; 0.55 + 0.5 overdraws 0.05.
        {"cash_stranded_above_cash_max", false, {0.55, 0.45}, {0.3, 0.37}, 0.1,
         post + "cash 0.080000 outside [0, 0.050000]; snapping stranded 0.030000" + cash_tail},
        {"cash_overdrawn", false, {0.55, 0.45}, {0.2, 0.5}, 0.1,
         post + "cash -0.050000 outside [0, 0.050000]; snapping stranded -0.050000" + cash_tail},
        {"net_left_outside_its_bounds", true, {0.25, 0.4}, {0.0, 0.45}, 0.1,
         post + "net exposure 0.700000 outside [-0.200000, 0.600000]; snapping stranded weight -- widen the net "
                "bounds, lower the band, or accept the trades"},
        // No trade left: kept unchecked over a sector cap and the budget; only long-only cash is clamped at zero.
        {"all_trades_snapped", false, {0.6, 0.4}, {0.5, 0.55}, 0.5, ""},
        {"no_trade_at_all", true, {0.9, 0.3}, {0.9, 0.3}, 0.0, ""},
        {"almost_infeasible", false, {0.5, 0.5}, {0.5, 0.5}, 0.0,
         "infeasible constraints: solver certified primal infeasibility (AlmostPrimalInfeasible)",
         "AlmostPrimalInfeasible"},
    };
    const RiskModel m = model_of();
    for (const Case& fc : cases) {
        SCOPED_TRACE(fc.name);
        OptimizerConfig c = two_asset_config(fc.ls);
        c.no_trade_band = fc.band;
        QpSolution s{fc.status, fc.x, -1.5, 9};
        s.x.resize(fc.ls ? 6 : 4, 0.0);
        const auto out = finish_book(m, fc.w_current, c, s);
        if (!fc.message.empty()) {
            ASSERT_FALSE(out.ok());
            EXPECT_EQ(out.error().message(), fc.message);
            continue;
        }
        ASSERT_TRUE(out.ok()) << out.error().message();
        const OptimizationResult& r = out.value();
        EXPECT_EQ(r.weights, Series<double>(fc.w_current.begin(), fc.w_current.end()));
        EXPECT_EQ(r.trades, Series<double>(2, 0.0));
        EXPECT_EQ(r.turnover, 0.0);
        const double held = fc.w_current[0] + fc.w_current[1];
        EXPECT_EQ(r.cash, fc.ls ? 1.0 - held : 0.0);
    }
}

TEST(FinishBook, ShortfallsWithinTheSolversReachOfZeroBecomeZero) {
    // -5e-10 is solver noise around a zero weight; -2e-9 is a real short.
    const RiskModel m = model_of();
    const std::vector<double> wc{0.3, 0.2};
    const QpSolution s{"Solved", {-5e-10, -2e-9, 0, 0, 0, 0}, 0.0, 4};
    const auto out = finish_book(m, wc, two_asset_config(true), s);
    ASSERT_TRUE(out.ok()) << out.error().message();
    EXPECT_EQ(out.value().weights[0], 0.0);
    EXPECT_FALSE(std::signbit(out.value().weights[0]));
    EXPECT_EQ(out.value().weights[1], -2e-9);
}

TEST(OptimizeBook, AModelWhoseMatrixDoesNotFitItsSizeIsABrokenInvariant) {
    const std::vector<double> v{0.5, 0.5};
    EXPECT_THROW(optimize_book(model_of({0.04, 0.0, 0.01}), v, v, two_asset_config(false)), Fault);
}
