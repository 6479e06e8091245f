#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "portfolio/covariance.h"
#include "portfolio/errors.h"
#include "portfolio/factor_panel.h"
#include "portfolio/rebalance.h"

using namespace tidemark;

namespace {

using K = PortfolioError::Kind;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string message_of(const PortfolioError& e) { return e.message(); }

}  // namespace

TEST(PortfolioErrorText, EveryKindFillsItsTemplate) {
    EXPECT_EQ(message_of(PortfolioError::non_finite(3, 1)), "non-finite value at row 3, col 1");
    EXPECT_EQ(message_of(PortfolioError::shape_mismatch("x")), "shape mismatch: x");
    EXPECT_EQ(message_of(PortfolioError::asset_ids_mismatch("y")), "asset ids mismatch: y");
    EXPECT_EQ(message_of(PortfolioError::zero_variance(7)), "zero-variance asset at index 7");
    EXPECT_EQ(message_of(PortfolioError::not_positive_definite("z")), "covariance not positive definite: z");
    EXPECT_EQ(message_of(PortfolioError::infeasible("a")), "infeasible constraints: a");
    EXPECT_EQ(message_of(PortfolioError::solver_failed("b")), "solver failed: b");
    EXPECT_EQ(message_of(PortfolioError::too_small(3, 5)), "cross-section too small: 3 < min_names 5");
    EXPECT_EQ(message_of(PortfolioError::degenerate("empty panel")), "degenerate input: empty panel");
    EXPECT_EQ(message_of(PortfolioError::element_count(3, 4, 11)), "shape mismatch: expected 3x4=12 values, got 11");
    // counts print in full decimal, never in exponent form
    EXPECT_EQ(message_of(PortfolioError::non_finite(18446744073709551615ull, 0)),
              "non-finite value at row 18446744073709551615, col 0");
}

// Floats in messages: shortest round trip without exponent or forced ".0";
// fixed decimals where the template says so.
TEST(PortfolioErrorText, NumbersInEstimateMessages) {
    struct Case {
        double ppy;
        const char* shown;
    };
    const Case cases[] = {{0.0, "0"}, {-0.0, "-0"}, {-1e-8, "-0.00000001"}, {-252.0, "-252"},
                          {kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"}, {-2.5, "-2.5"}};
    for (const Case& c : cases) {
        Series<double> x = {0.01, 0.02, -0.01, 0.03, 0.02, -0.02};
        auto r = estimate_covariance(x, 3, 2, {"a", "b"}, c.ppy);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind, K::Degenerate);
        EXPECT_EQ(r.error().message(),
                  std::string("degenerate input: periods_per_year must be a positive finite number, got ") + c.shown);
    }
}

TEST(PortfolioErrorText, PivotPrintsThreeDecimals) {
    // [[1, 2], [2, 1]]: the second pivot is 1 - 4 = -3.
    const std::vector<double> a = {1.0, 2.0, 2.0, 1.0};
    auto r = cholesky(a, 2);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "covariance not positive definite: pivot -3.000 at index 1");
    const std::vector<double> b = {-0.00049, 0.0, 0.0, 1.0};
    EXPECT_EQ(cholesky(b, 2).error().message(), "covariance not positive definite: pivot -0.000 at index 0");
    const std::vector<double> c = {kNaN, 0.0, 0.0, 1.0};
    EXPECT_EQ(cholesky(c, 2).error().message(), "covariance not positive definite: pivot NaN at index 0");
    const std::vector<double> d = {kInf, 0.0, 0.0, 1.0};
    EXPECT_EQ(cholesky(d, 2).error().message(), "covariance not positive definite: pivot inf at index 0");
    EXPECT_EQ(cholesky(a, 3).error().message(), "shape mismatch: expected 3x3=9 values, got 4");
}

TEST(Cholesky, FactorsAPositiveDefiniteMatrix) {
    // A = L L' with L = [[2, 0, 0], [1, 3, 0], [-1, 0.5, 1]]
    const double l[3][3] = {{2, 0, 0}, {1, 3, 0}, {-1, 0.5, 1}};
    std::vector<double> a(9, 0.0);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) a[i * 3 + j] += l[i][k] * l[j][k];
    auto r = cholesky(a, 3);
    ASSERT_TRUE(r.ok());
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_DOUBLE_EQ(r.value()[i * 3 + j], l[i][j]) << i << "," << j;
    // Rows beyond a multiple of four take the remainder path.
    std::vector<double> eye(49, 0.0);
    for (int i = 0; i < 7; ++i) eye[i * 7 + i] = 4.0;
    auto e = cholesky(eye, 7);
    ASSERT_TRUE(e.ok());
    for (int i = 0; i < 7; ++i) EXPECT_EQ(e.value()[i * 7 + i], 2.0);
}

TEST(AssetIds, CountThenFirstDifferingPosition) {
    RiskModel m;
    m.asset_ids = {"INFY", "TCS"};
    m.n_assets = 2;
    const std::vector<std::string> same = {"INFY", "TCS"};
    EXPECT_FALSE(check_asset_ids(m, same).has_value());
    const std::vector<std::string> three = {"INFY", "TCS", "X"};
    EXPECT_EQ(check_asset_ids(m, three)->message(), "asset ids mismatch: model has 2 assets, caller supplied 3");
    const std::vector<std::string> swapped = {"TCS", "INFY"};
    EXPECT_EQ(check_asset_ids(m, swapped)->message(), "asset ids mismatch: position 0: model 'INFY' vs caller 'TCS'");
    const std::vector<std::string> embedded_nul = {"INFY", std::string("TCS\0", 4)};
    EXPECT_EQ(check_asset_ids(m, embedded_nul)->kind, K::AssetIdsMismatch);
}

TEST(PanelErrors, ShapeAndNumbersInMessages) {
    Panel p{Series<double>(5, 0.0), 2, 3};
    EXPECT_EQ(check_panel(p)->message(), "shape mismatch: expected 2x3=6 values, got 5");
    auto w = winsorize_panel(Panel{Series<double>(6, 0.0), 2, 3}, 1e-20 - 0.5);
    EXPECT_EQ(w.error().message(), "degenerate input: winsorize pct must be in [0, 0.5), got -0.5");
    const double weights[] = {1.0, -0.5, 1e-5, 1e17};
    std::vector<Panel> f;
    for (int k = 0; k < 4; ++k) f.push_back(Panel{Series<double>(4, 0.0), 2, 2});
    auto c = composite_scores(std::move(f), weights);
    EXPECT_EQ(c.error().message(),
              "degenerate input: factor weights must be non-negative and sum to a positive number, got "
              "[1.0, -0.5, 1e-5, 1e17]");
}

TEST(RebalanceErrors, NumbersInMessages) {
    Panel prices{Series<double>{10.0, 20.0, 30.0, 40.0}, 2, 2};
    // 0.6 + 0.4000015 is 1.00000149999... in binary: six decimals round it down.
    Panel targets{Series<double>{0.5, 0.5, 0.6, 0.4000015}, 2, 2};
    RebalanceParams params;
    params.initial_capital = 1000.0;
    params.dp_charge_per_isin = 15.34;
    auto r = simulate_rebalance_policy(prices, targets, params);
    EXPECT_EQ(r.error().message(),
              "degenerate input: target weights on date 1 must be long-only and sum <= 1 (sum 1.000001)");
    targets.values[3] = 0.4;
    params.initial_capital = -1e-300;
    EXPECT_EQ(simulate_rebalance_policy(prices, targets, params).error().message().substr(0, 52),
              "degenerate input: initial_capital must be > 0, got -");
    EXPECT_EQ(parse_rebalance_policy("calendar", 1e-7).error(),
              "calendar policy_param must be a whole number >= 1, got 0.0000001");
    auto ok = parse_rebalance_policy("Calendar", 3.0);
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok.value().every_n, 3u);
    EXPECT_EQ(parse_rebalance_policy("calendar", 1e300).value().every_n, UINT64_MAX);
}
