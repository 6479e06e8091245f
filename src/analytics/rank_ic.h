// Spearman rank information coefficient of a factor panel against the
// forward returns of a price panel (both dates x assets). The forward returns
// are derived here, so a caller cannot misalign them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "analytics/factor_panel.h"
#include "core/buffer.h"

namespace tidemark {

class RowSorter;

struct RankIC {
    Series<double> daily_ic;  // one per date; NaN where the date was not scored
    double mean_ic = 0.0;
    double stdev_ic = 0.0;  // sample deviation (n - 1)
    double t_stat = 0.0;
    double t_stat_deflated = 0.0;  // t_stat / sqrt(horizon): overlapping windows
    uint64_t n_dates_scored = 0;
    double n_independent = 0.0;  // n_dates_scored / horizon
    uint64_t overlap_days = 0;   // the horizon
    double mean_names = 0.0;     // mean pairs per scored date
};

// The panels must have the same shape; the caller reports a difference in
// its own words before calling.
PortfolioOutcome<RankIC> rank_ic(const Panel& factor, const Panel& prices, uint64_t horizon, uint64_t min_names);

// Average 0-based rank positions (ties share the mean of their positions,
// (a + b) / 2), written to `out`, indexed like `values`; no value may be NaN.
void average_ranks(std::span<const double> values, RowSorter& sorter, std::span<double> out);

}  // namespace tidemark
