#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/errors.h"
#include "portfolio/monte_carlo.h"
#include "portfolio/vector_math.h"

using namespace tidemark;

namespace {

MonteCarloInputs three_assets(uint64_t n, uint64_t horizon) {
    MonteCarloInputs in;
    in.returns = {Series<double>{0.01, -0.02, 0.015, 0.003}, Series<double>{0.002, 0.004, -0.001},
                  Series<double>{-0.01, 0.03}};
    in.weights = {0.5, 0.3, 0.2};
    in.correlation = {Series<double>{1.0, 0.2, 0.1}, Series<double>{0.2, 1.0, 0.3}, Series<double>{0.1, 0.3, 1.0}};
    in.initial_value = 1000.0;
    in.n_simulations = n;
    in.horizon = horizon;
    in.seed = 7;
    return in;
}

bool contains(const Series<double>& sorted, double v) { return std::binary_search(sorted.begin(), sorted.end(), v); }

}  // namespace

TEST(Xoshiro, JumpCommutesWithTheStepAndMovesTheStream) {
    // A jump is a polynomial in the generator's linear step, so it commutes
    // with the step; a broken jump table or loop breaks this.
    Xoshiro256 a = Xoshiro256::from_seed(42), b = a, c = a;
    a.next();
    a.jump();
    b.jump();
    b.next();
    for (int k = 0; k < 4; ++k) EXPECT_EQ(a.s[k], b.s[k]) << k;
    Xoshiro256 d = c;
    d.jump();
    EXPECT_NE(c.next(), d.next());
}

// Each kernel against the long-double library function over the arguments it
// is used on; bounds of about one ulp.
TEST(VectorMath, KernelsStayWithinAnUlpOfTheLibrary) {
    constexpr long double kTwoPi = 6.283185307179586476925286766559005768L;
    std::mt19937_64 g(11);
    std::uniform_real_distribution<double> exponent(-700.0, 700.0);
    double exp_err = 0, log_err = 0, cos_err = 0;
    for (int i = 0; i < 200000; ++i) {
        const double x = exponent(g);
        const long double e = std::exp(static_cast<long double>(x));
        exp_err = std::max(exp_err, static_cast<double>(std::fabs((vmath::exp_in_range(x) - e) / e)));
        // A uniform draw as the generator makes it: a multiple of 2^-53 below 1.
        const double u = std::max(static_cast<double>(g() >> 11) * 0x1.0p-53, 1e-15);
        const long double l = std::log(static_cast<long double>(u));
        if (l != 0) log_err = std::max(log_err, static_cast<double>(std::fabs((vmath::log_unit(u) - l) / l)));
        cos_err = std::max(cos_err, static_cast<double>(std::fabs(vmath::cos_two_pi(u) - std::cos(kTwoPi * u))));
    }
    EXPECT_LT(exp_err, 2.5e-16);
    EXPECT_LT(log_err, 4e-16);
    EXPECT_LT(cos_err, 2.5e-16);
    // Exact points: the quarter turns and the ends of the ranges.
    EXPECT_EQ(vmath::cos_two_pi(0.0), 1.0);
    EXPECT_EQ(vmath::cos_two_pi(0.5), -1.0);
    EXPECT_EQ(std::fabs(vmath::cos_two_pi(0.25)), 0.0);
    EXPECT_EQ(vmath::cos_two_pi(0.75), 0.0);
    EXPECT_EQ(vmath::log_unit(1.0), 0.0);
    EXPECT_EQ(vmath::exp_in_range(0.0), 1.0);
    EXPECT_EQ(vmath::exp_in_range(-0.0), 1.0);
    EXPECT_NEAR(vmath::log_unit(1e-15), std::log(1e-15), 1e-14);
}

TEST(MonteCarlo, ChunksDrawFromSuccessiveJumpedStreams) {
    // One chunk: every path from stream 0. Two chunks of ceil(6/2) = 3: the
    // first three paths repeat the one-chunk run's, the rest come from stream
    // 1 and so differ.
    const Series<double> one = simulate_portfolio(three_assets(3, 20), 1).final_values;
    const Series<double> six_one = simulate_portfolio(three_assets(6, 20), 1).final_values;
    const Series<double> six_two = simulate_portfolio(three_assets(6, 20), 2).final_values;
    ASSERT_EQ(six_two.size(), 6u);
    for (double f : one) EXPECT_TRUE(contains(six_one, f) && contains(six_two, f)) << f;
    EXPECT_NE(six_one, six_two);
    // More chunks than paths: the extra chunks are empty.
    EXPECT_EQ(simulate_portfolio(three_assets(2, 20), 5).final_values.size(), 2u);
    EXPECT_EQ(simulate_portfolio(three_assets(6, 20), 2).final_values, six_two);
}

TEST(MonteCarlo, ReportedPathsReplayTheirFinalValues) {
    // Paths longer than one block of steps, replayed from their saved states.
    const MonteCarloResult r = simulate_portfolio(three_assets(50, 700), 3);
    for (const PercentilePath& pp : r.percentile_paths) {
        ASSERT_EQ(pp.path.size(), 701u);
        EXPECT_EQ(pp.path.front(), 1000.0);
        EXPECT_TRUE(contains(r.final_values, pp.path.back())) << pp.percentile;
    }
    EXPECT_TRUE(std::is_sorted(r.final_values.begin(), r.final_values.end()));
}

TEST(MonteCarlo, ExponentsBeyondTheFastKernelFallBackToTheLibrary) {
    // A steady 800 per period grows by e^800 = inf in one step; returns of
    // +-5000 have a drift of -1.25e7 and shrink to 0. The fast kernel's bit
    // trick would give finite garbage for both.
    auto finals = [](Series<double> series) {
        MonteCarloInputs in = three_assets(40, 1);
        in.returns = {std::move(series)};
        in.weights = {1.0};
        in.correlation = {Series<double>{1.0}};
        in.initial_value = 1.0;
        return simulate_portfolio(in, 1).final_values;
    };
    for (double f : finals({800.0, 800.0})) EXPECT_EQ(f, std::numeric_limits<double>::infinity());
    for (double f : finals({5000.0, -5000.0})) EXPECT_EQ(f, 0.0);
}

TEST(MonteCarlo, InputProblemsAreNamedInCheckOrder) {
    MonteCarloInputs in = three_assets(0, 5);
    EXPECT_EQ(*monte_carlo_input_problem(in), "n_simulations must be >= 1");
    in.correlation[2].pop_back();
    EXPECT_EQ(*monte_carlo_input_problem(in), "correlation_matrix must be 3x3 to match the 3 asset series");
    in.weights.pop_back();
    EXPECT_EQ(*monte_carlo_input_problem(in),
              "weights has 2 entries but returns has 3 asset series; returns is a list of per-asset series, not an "
              "(n_obs, n_assets) matrix");
    in.returns.clear();
    EXPECT_EQ(*monte_carlo_input_problem(in), "returns must contain at least one asset series");
    EXPECT_THROW(simulate_portfolio(in, 1), Fault);
}
