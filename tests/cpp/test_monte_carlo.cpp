#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "analytics/monte_carlo.h"
#include "analytics/vector_math.h"
#include "core/errors.h"

using namespace tidemark;

namespace {

MonteCarloInputs three_assets(uint64_t n, uint64_t horizon) {
    MonteCarloInputs in;
    in.returns = {Series<double>{0.01, -0.02, 0.015, 0.003}, Series<double>{0.002, 0.004, -0.001},
                  Series<double>{-0.01, 0.03}};
    in.weights = {0.5, 0.3, 0.2};
    in.correlation = {Series<double>{1.0, 0.2, 0.1}, Series<double>{0.2, 1.0, 0.3}, Series<double>{0.1, 0.3, 1.0}};
    in.initial_value = 1000.0, in.n_simulations = n, in.horizon = horizon, in.seed = 7;
    return in;
}

}  // namespace

// Each kernel against the long-double library over the arguments it is used on: about one ulp.
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
    // Exact points: the half turns and the ends of the ranges.
    EXPECT_TRUE(vmath::cos_two_pi(0.0) == 1.0 && vmath::cos_two_pi(0.5) == -1.0);
    EXPECT_TRUE(vmath::exp_in_range(0.0) == 1.0 && vmath::exp_in_range(-0.0) == 1.0);
    EXPECT_NEAR(vmath::log_unit(1e-15), std::log(1e-15), 1e-14);
}

// Python checks short paths against a reference; these are longer than one block of steps.
TEST(MonteCarlo, ReportedPathsReplayTheirFinalValues) {
    const MonteCarloResult r = simulate_portfolio(three_assets(50, 700), 3);
    for (const PercentilePath& pp : r.percentile_paths) {
        ASSERT_EQ(pp.path.size(), 701u);
        EXPECT_EQ(pp.path.front(), 1000.0);
        EXPECT_TRUE(std::binary_search(r.final_values.begin(), r.final_values.end(), pp.path.back())) << pp.percentile;
    }
}

TEST(MonteCarlo, ExponentsBelowTheFastKernelFallBackToTheLibrary) {
    // A drift of -0.5 * 5000^2 shrinks every path to 0; the fast kernel's bit trick gives garbage.
    MonteCarloInputs in = three_assets(40, 1);
    in.returns = {Series<double>{5000.0, -5000.0}};
    in.weights = {1.0}, in.correlation = {Series<double>{1.0}};
    for (double f : simulate_portfolio(in, 1).final_values) EXPECT_EQ(f, 0.0);
}

// The Python suite pins each text; here, that the size of the run is checked last.
TEST(MonteCarlo, InputProblemsAreNamedInCheckOrder) {
    MonteCarloInputs in = three_assets(0, 5);
    EXPECT_EQ(*monte_carlo_input_problem(in), "n_simulations must be >= 1");
    in.correlation[2].pop_back();
    EXPECT_EQ(*monte_carlo_input_problem(in), "correlation_matrix must be 3x3 to match the 3 asset series");
    in.returns.clear();
    EXPECT_EQ(*monte_carlo_input_problem(in), "returns must contain at least one asset series");
    EXPECT_THROW(simulate_portfolio(in, 1), Fault);
}
