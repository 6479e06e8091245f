#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "analytics/covariance.h"
#include "analytics/portfolio_error.h"

using namespace tidemark;

// The formatter is tested on its own; these pin the templates and which number goes where.
TEST(PortfolioErrorText, TemplatesAndTheNumbersInThem) {
    EXPECT_EQ(PortfolioError::too_small(3, 5).message(), "cross-section too small: 3 < min_names 5");
    EXPECT_EQ(PortfolioError::element_count(3, 4, 11).message(), "shape mismatch: expected 3x4=12 values, got 11");
    EXPECT_EQ(estimate_covariance(Series<double>{0.01, 0.02, -0.01, 0.03}, 2, 2, {"a", "b"}, -252.0).error().message(),
              "degenerate input: periods_per_year must be a positive finite number, got -252");
    const std::pair<std::vector<double>, const char*> pivots[] = {
        {{1.0, 2.0, 2.0, 1.0}, "pivot -3.000 at index 1"},  // 1 - 2^2
        {{std::numeric_limits<double>::quiet_NaN(), 0.0, 0.0, 1.0}, "pivot NaN at index 0"},
    };
    for (const auto& [matrix, text] : pivots)
        EXPECT_EQ(cholesky(matrix, 2).error().message(), std::string("covariance not positive definite: ") + text);
    EXPECT_EQ(cholesky(std::vector<double>(4, 1.0), 3).error().message(),
              "shape mismatch: expected 3x3=9 values, got 4");
}

TEST(Cholesky, FactorsAPositiveDefiniteMatrix) {
    // A = L L' for a known L; seven rows exercise the four-row blocks and the rest.
    const std::size_t n = 7;
    std::vector<double> l(n * n, 0.0), a(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) l[i * n + j] = i == j ? 2.0 + static_cast<double>(i) : 0.25 * (j + 1.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t k = 0; k < n; ++k) a[i * n + j] += l[i * n + k] * l[j * n + k];
    auto r = cholesky(a, n);
    ASSERT_TRUE(r.ok());
    for (std::size_t k = 0; k < n * n; ++k) EXPECT_NEAR(r.value()[k], l[k], 1e-12) << k;
}
