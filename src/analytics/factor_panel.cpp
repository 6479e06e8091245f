#include "analytics/factor_panel.h"

#include <cmath>
#include <limits>

#include "analytics/row_sort.h"
#include "core/format.h"

namespace tidemark {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string min_names_error(uint64_t min_names) {
    return "min_names must be >= 2, got " + std::to_string(min_names);
}

void fill_nan(double* row, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) row[j] = kNaN;
}

// The first infinite cell of row t, if any. The scan is a branch-free
// reduction so that it vectorises; the position is looked for only after a
// hit.
std::optional<PortfolioError> row_infinity(const double* row, std::size_t n, std::size_t t) {
    bool hit = false;
    for (std::size_t j = 0; j < n; ++j) hit |= std::fabs(row[j]) == kInf;
    if (!hit) return std::nullopt;
    std::size_t j = 0;
    while (std::fabs(row[j]) != kInf) ++j;
    return PortfolioError::non_finite(t, j);
}

std::optional<PortfolioError> check_shape(const Panel& p) {
    if (p.values.size() != p.rows * p.cols || (p.cols != 0 && p.values.size() / p.cols != p.rows))
        return PortfolioError::element_count(p.rows, p.cols, p.values.size());
    return std::nullopt;
}

}  // namespace

std::optional<PortfolioError> check_panel(const Panel& p) {
    if (auto err = check_shape(p)) return err;
    for (std::size_t t = 0; t < p.rows; ++t) {
        if (auto err = row_infinity(p.values.data() + t * p.cols, p.cols, t)) return err;
    }
    return std::nullopt;
}

// The transforms that rewrite each row from that row alone (winsorising,
// z-scores, ranks) check a row for infinities just before rewriting it, while
// it is in the cache, rather than scanning the whole panel first and reading
// it from memory twice. The first infinity found is still the first in
// row-major order (the rows before it had none), and the rows already
// rewritten are in the caller's copy, which the error discards.
namespace {

// A refused parameter is reported after the panel's own faults, as when the
// whole panel is checked first.
PortfolioError after_panel_faults(const Panel& p, PortfolioError refusal) {
    if (auto err = check_panel(p)) return std::move(*err);
    return refusal;
}

}  // namespace

PortfolioOutcome<Panel> winsorize_panel(Panel p, double pct) {
    if (auto err = check_shape(p)) return std::move(*err);
    if (!(pct >= 0.0 && pct < 0.5))
        return after_panel_faults(
            p, PortfolioError::degenerate("winsorize pct must be in [0, 0.5), got " + fmt_shortest(pct)));
    const std::size_t n = p.cols;
    RowSorter sorter;
    for (std::size_t t = 0; t < p.rows; ++t) {
        double* row = p.values.data() + t * n;
        if (auto err = row_infinity(row, n, t)) return std::move(*err);
        const std::size_t m = sorter.load(std::span<const double>(row, n), true);
        if (m <= 1) continue;
        // pct < 0.5 keeps k below m / 2, so lo never passes hi.
        const auto k = static_cast<std::size_t>(std::floor(pct * static_cast<double>(m)));
        const auto [lo, hi] = sorter.select_pair(k, m - 1 - k);
        // A NaN fails both comparisons and comes out as it went in, so the
        // whole row is clamped in one pass without looking for the numbers.
        for (std::size_t j = 0; j < n; ++j) {
            const double x = row[j];
            const double up = x < lo ? lo : x;
            row[j] = hi < up ? hi : up;
        }
    }
    return p;
}

PortfolioOutcome<Panel> zscore_panel(Panel p, uint64_t min_names) {
    if (auto err = check_shape(p)) return std::move(*err);
    if (min_names < 2) return after_panel_faults(p, PortfolioError::degenerate(min_names_error(min_names)));
    const std::size_t n = p.cols;
    for (std::size_t t = 0; t < p.rows; ++t) {
        double* row = p.values.data() + t * n;
        if (auto err = row_infinity(row, n, t)) return std::move(*err);
        std::size_t m = 0;
        double sum = -0.0;
        for (std::size_t j = 0; j < n; ++j) {
            if (!std::isnan(row[j])) {
                sum += row[j];
                ++m;
            }
        }
        if (m < min_names) {
            fill_nan(row, n);
            continue;
        }
        const double mean = sum / static_cast<double>(m);
        double ss = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            if (!std::isnan(row[j])) ss += (row[j] - mean) * (row[j] - mean);
        }
        const double var = ss / static_cast<double>(m);
        if (!(var > 0.0)) {
            fill_nan(row, n);
            continue;
        }
        const double sd = std::sqrt(var);
        for (std::size_t j = 0; j < n; ++j) {
            if (!std::isnan(row[j])) row[j] = (row[j] - mean) / sd;
        }
    }
    return p;
}

PortfolioOutcome<Panel> rank_panel(Panel p, uint64_t min_names) {
    if (auto err = check_shape(p)) return std::move(*err);
    if (min_names < 2) return after_panel_faults(p, PortfolioError::degenerate(min_names_error(min_names)));
    const std::size_t n = p.cols;
    RowSorter sorter;
    for (std::size_t t = 0; t < p.rows; ++t) {
        double* row = p.values.data() + t * n;
        if (auto err = row_infinity(row, n, t)) return std::move(*err);
        // The columns of the finite entries, by ascending value; NaN cells
        // are left out and stay NaN.
        const std::vector<std::size_t>& order = sorter.order(std::span<const double>(row, n), true);
        const std::size_t m = order.size();
        if (m < min_names) {
            fill_nan(row, n);
            continue;
        }
        // Ranked in place, scaled onto [0, 1].
        write_average_ranks(row, order, row, static_cast<double>(m - 1));
    }
    return p;
}

PortfolioOutcome<Panel> momentum_panel(Panel p, uint64_t lookback, uint64_t skip) {
    if (auto err = check_panel(p)) return std::move(*err);
    if (lookback <= skip)
        return PortfolioError::degenerate("need 0 <= skip < lookback, got lookback=" + std::to_string(lookback) +
                                          " skip=" + std::to_string(skip));
    const std::size_t n = p.cols;
    double* v = p.values.data();
    // Rewritten in place from the last date back: date t reads dates t - skip
    // and t - lookback, which are not rewritten until later.
    for (std::size_t t = p.rows; t-- > 0;) {
        double* out = v + t * n;
        if (t < lookback) {
            fill_nan(out, n);
            continue;
        }
        const double* recent = v + (t - skip) * n;
        const double* base = v + (t - lookback) * n;
        for (std::size_t j = 0; j < n; ++j) {
            const double a = recent[j];
            const double b = base[j];
            // Both prices positive and finite. Written as a test on their
            // minimum and maximum so the loop vectorises; a NaN price slips
            // past the test but makes the ratio NaN, which is the answer.
            const double ratio = a / b - 1.0;
            const double lo = a < b ? a : b;
            const double hi = a > b ? a : b;
            out[j] = ((lo > 0.0) & (hi < kInf)) ? ratio : kNaN;
        }
    }
    return p;
}

PortfolioOutcome<Panel> composite_scores(std::vector<Panel> factors, std::span<const double> weights) {
    if (weights.size() != factors.size())
        return PortfolioError::shape_mismatch(std::to_string(weights.size()) + " weights for " +
                                              std::to_string(factors.size()) + " factors");
    if (!factors.empty()) {
        const std::size_t rows = factors[0].rows, cols = factors[0].cols;
        for (const Panel& f : factors) {
            if (f.rows != rows || f.cols != cols) return PortfolioError::element_count(rows, cols, f.values.size());
            if (auto err = check_panel(f)) return std::move(*err);
        }
    }
    double sum = -0.0;
    bool valid = true;
    for (double w : weights) {
        sum += w;
        if (!std::isfinite(w) || w < 0.0) valid = false;
    }
    if (!valid || !std::isfinite(sum) || !(sum > 0.0)) {
        std::string list = "[";
        for (std::size_t k = 0; k < weights.size(); ++k) {
            if (k) list += ", ";
            list += fmt_debug(weights[k]);
        }
        list += "]";
        return PortfolioError::degenerate("factor weights must be non-negative and sum to a positive number, got " +
                                          list);
    }

    const std::size_t n_factors = factors.size();
    std::vector<double> scale(n_factors);
    for (std::size_t k = 0; k < n_factors; ++k) scale[k] = weights[k] / sum;
    Panel out = std::move(factors[0]);
    const std::size_t cells = out.values.size();
    double* acc_cells = out.values.data();
    // A cell missing in any factor is missing in the composite: the remaining
    // factors are not renormalised, so a score never silently means something
    // else for one asset than for the next.
    for (std::size_t c = 0; c < cells; ++c) {
        const double x0 = acc_cells[c];
        bool missing = std::isnan(x0);
        double acc = 0.0 + x0 * scale[0];
        for (std::size_t k = 1; k < n_factors; ++k) {
            const double x = factors[k].values[c];
            missing = missing || std::isnan(x);
            acc += x * scale[k];
        }
        acc_cells[c] = missing ? kNaN : acc;
    }
    return out;
}

}  // namespace tidemark
