// Cross-sectional factor panels: dates in rows, assets in columns. Every
// function works date by date; NaN marks a missing cell and is carried
// through, an infinity is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analytics/portfolio_error.h"
#include "core/buffer.h"

namespace tidemark {

// A row-major matrix of `rows` dates x `cols` assets.
struct Panel {
    Series<double> values;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// The shape check and the scan for the first infinite cell (NaN passes) that
// open every panel function.
std::optional<PortfolioError> check_panel(const Panel& p);

// Each transform takes the panel by value and returns it rewritten in place:
// the caller's copy becomes the result without a second buffer.
PortfolioOutcome<Panel> winsorize_panel(Panel values, double pct);
PortfolioOutcome<Panel> zscore_panel(Panel values, uint64_t min_names);
PortfolioOutcome<Panel> rank_panel(Panel values, uint64_t min_names);
PortfolioOutcome<Panel> momentum_panel(Panel prices, uint64_t lookback, uint64_t skip);
// The factors must share one shape (the caller reports a difference); the
// result reuses the first factor's buffer.
PortfolioOutcome<Panel> composite_scores(std::vector<Panel> factors, std::span<const double> weights);

}  // namespace tidemark
