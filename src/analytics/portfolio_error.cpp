#include "analytics/portfolio_error.h"

namespace tidemark {

std::string PortfolioError::message() const {
    switch (kind) {
        case Kind::NonFinite:
            return "non-finite value at row " + std::to_string(a) + ", col " + std::to_string(b);
        case Kind::ShapeMismatch:
            return "shape mismatch: " + detail;
        case Kind::AssetIdsMismatch:
            return "asset ids mismatch: " + detail;
        case Kind::ZeroVariance:
            return "zero-variance asset at index " + std::to_string(a);
        case Kind::NotPositiveDefinite:
            return "covariance not positive definite: " + detail;
        case Kind::Infeasible:
            return "infeasible constraints: " + detail;
        case Kind::SolverFailed:
            return "solver failed: " + detail;
        case Kind::TooSmall:
            return "cross-section too small: " + std::to_string(a) + " < min_names " + std::to_string(b);
        case Kind::Degenerate:
            return "degenerate input: " + detail;
    }
    return "degenerate input: " + detail;
}

PortfolioError PortfolioError::element_count(std::size_t rows, std::size_t cols, std::size_t got) {
    return shape_mismatch("expected " + std::to_string(rows) + "x" + std::to_string(cols) + "=" +
                          std::to_string(rows * cols) + " values, got " + std::to_string(got));
}

}  // namespace tidemark
