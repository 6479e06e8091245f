#include "analytics/rank_ic.h"

#include <cmath>
#include <limits>

#include "analytics/row_sort.h"

namespace tidemark {

void average_ranks(std::span<const double> values, RowSorter& sorter, std::span<double> out) {
    write_average_ranks(values.data(), sorter.order(values), out.data());
}

PortfolioOutcome<RankIC> rank_ic(const Panel& factor, const Panel& prices, uint64_t horizon, uint64_t min_names) {
    if (prices.rows != factor.rows || prices.cols != factor.cols)
        return PortfolioError::element_count(factor.rows, factor.cols, prices.values.size());
    if (auto err = check_panel(factor)) return std::move(*err);
    if (auto err = check_panel(prices)) return std::move(*err);
    if (horizon == 0) return PortfolioError::degenerate("horizon must be >= 1");
    if (min_names < 2) return PortfolioError::degenerate("min_names must be >= 2, got " + std::to_string(min_names));

    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const std::size_t T = factor.rows, n = factor.cols;
    RankIC out;
    out.daily_ic.assign(T, kNaN);
    out.overlap_days = horizon;

    std::vector<double> fa, fr, ra, rb;
    fa.reserve(n);
    fr.reserve(n);
    ra.resize(n);
    rb.resize(n);
    RowSorter sorter;
    double ic_sum = 0.0;
    double pairs_total = 0.0;
    uint64_t scored = 0;
    const std::size_t last_date = T > horizon ? T - static_cast<std::size_t>(horizon) : 0;
    for (std::size_t t = 0; t < last_date; ++t) {
        const double* f = factor.values.data() + t * n;
        const double* p0 = prices.values.data() + t * n;
        const double* p1 = prices.values.data() + (t + horizon) * n;
        fa.clear();
        fr.clear();
        for (std::size_t j = 0; j < n; ++j) {
            const double a = p0[j], b = p1[j];
            if (std::isfinite(f[j]) && std::isfinite(a) && a > 0.0 && std::isfinite(b) && b > 0.0) {
                fa.push_back(f[j]);
                fr.push_back(b / a - 1.0);
            }
        }
        const std::size_t m = fa.size();
        if (m < 2 || m < min_names) continue;
        std::span<double> sa(ra.data(), m), sb(rb.data(), m);
        average_ranks(fa, sorter, sa);
        average_ranks(fr, sorter, sb);
        double sum_a = 0.0, sum_b = 0.0;
        for (std::size_t k = 0; k < m; ++k) {
            sum_a += sa[k];
            sum_b += sb[k];
        }
        const double mean_a = sum_a / static_cast<double>(m), mean_b = sum_b / static_cast<double>(m);
        double sxy = 0.0, sxx = 0.0, syy = 0.0;
        for (std::size_t k = 0; k < m; ++k) {
            const double da = sa[k] - mean_a, db = sb[k] - mean_b;
            sxy += da * db;
            sxx += da * da;
            syy += db * db;
        }
        if (sxx <= 0.0 || syy <= 0.0) continue;  // every factor value or every return tied
        const double ic = sxy / std::sqrt(sxx * syy);
        out.daily_ic[t] = ic;
        ic_sum += ic;
        pairs_total += static_cast<double>(m);
        ++scored;
    }

    out.n_dates_scored = scored;
    const double h = static_cast<double>(horizon);
    if (scored == 0) {
        out.mean_ic = out.stdev_ic = out.t_stat = out.t_stat_deflated = out.mean_names = kNaN;
        out.n_independent = 0.0;
        return out;
    }
    const double nd = static_cast<double>(scored);
    out.mean_ic = ic_sum / nd;
    if (scored >= 2) {
        double ss = 0.0;
        for (double ic : out.daily_ic) {
            if (!std::isnan(ic)) ss += (ic - out.mean_ic) * (ic - out.mean_ic);
        }
        out.stdev_ic = std::sqrt(ss / (nd - 1.0));
    } else {
        out.stdev_ic = kNaN;
    }
    // A deviation of exactly 0 (or one too small to divide by) leaves the
    // t-statistic undefined rather than infinite.
    out.t_stat = (std::isnormal(out.stdev_ic) && out.stdev_ic > 0.0) ? out.mean_ic / (out.stdev_ic / std::sqrt(nd))
                                                                      : kNaN;
    out.t_stat_deflated = out.t_stat / std::sqrt(h);
    out.n_independent = nd / h;
    out.mean_names = pairs_total / nd;
    return out;
}

}  // namespace tidemark
