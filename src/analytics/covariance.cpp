#include "analytics/covariance.h"

#include <algorithm>
#include <cmath>

#include "core/format.h"
#include "core/numeric.h"

namespace tidemark {

namespace {

constexpr double kEps = 2.220446049250313e-16;  // 2^-52

// Width of the column panels the sample covariance is built from: a panel is
// the demeaned returns of 4 consecutive assets, stored period by period, so
// the product kernel reads two short contiguous streams.
constexpr std::size_t kPanel = 4;
// Periods per pass over the panels: 256 periods of every panel of a 500-asset
// universe stay in the second-level cache while each pair of panels is
// multiplied.
constexpr std::size_t kPeriodBlock = 256;

// acc[i][j] += sum over t of a[t][i] * b[t][j] for two panels, each t adding
// in period order, so the sum of every cell is the plain sequential sum.
TIDEMARK_AVX2_CLONES
void panel_product(const double* a, const double* b, std::size_t len, double* acc) {
    double c[kPanel][kPanel];
    for (std::size_t i = 0; i < kPanel; ++i)
        for (std::size_t j = 0; j < kPanel; ++j) c[i][j] = acc[i * kPanel + j];
    for (std::size_t t = 0; t < len; ++t) {
        const double* at = a + t * kPanel;
        const double* bt = b + t * kPanel;
        for (std::size_t i = 0; i < kPanel; ++i)
            for (std::size_t j = 0; j < kPanel; ++j) c[i][j] += at[i] * bt[j];
    }
    for (std::size_t i = 0; i < kPanel; ++i)
        for (std::size_t j = 0; j < kPanel; ++j) acc[i * kPanel + j] = c[i][j];
}

// Columns of (Sigma w) formed at a time: a strip of 512 sums stays in the
// first-level cache while every row of the matrix is added into it.
constexpr std::size_t kStrip = 512;

// acc[k] += cov[j][i0 + k] * w[j] for j = 0, 1, ..., n - 1 in turn. Because the
// matrix is exactly symmetric, acc[k] receives the very terms, in the very
// order, of the dot product of row i0 + k with w; added a row at a time they
// run side by side in vector lanes instead of as one serial chain per sum.
TIDEMARK_VECTOR_CLONES
void add_scaled_rows(const double* __restrict cov, std::size_t n, const double* __restrict w, std::size_t i0,
                     std::size_t width, double* __restrict acc) {
    std::size_t j = 0;
    // Four rows per pass over the strip, each sum still taking them in turn:
    // a quarter of the loads and stores of the sums.
    for (; j + 4 <= n; j += 4) {
        const double w0 = w[j], w1 = w[j + 1], w2 = w[j + 2], w3 = w[j + 3];
        const double* r0 = cov + j * n + i0;
        const double* r1 = r0 + n;
        const double* r2 = r1 + n;
        const double* r3 = r2 + n;
        for (std::size_t k = 0; k < width; ++k)
            acc[k] = (((acc[k] + r0[k] * w0) + r1[k] * w1) + r2[k] * w2) + r3[k] * w3;
    }
    for (; j < n; ++j) {
        const double wj = w[j];
        const double* row = cov + j * n + i0;
        for (std::size_t k = 0; k < width; ++k) acc[k] += row[k] * wj;
    }
}

std::string str(std::size_t v) { return std::to_string(v); }

}  // namespace

double portfolio_variance(const RiskModel& model, std::span<const double> w, std::span<double> sigma_w) {
    const std::size_t n = model.n_assets;
    const double* cov = model.cov.data();
    double v = 0.0;
    double strip[kStrip];
    for (std::size_t i0 = 0; i0 < n; i0 += kStrip) {
        const std::size_t width = std::min(kStrip, n - i0);
        double* g = sigma_w.empty() ? strip : sigma_w.data() + i0;
        std::fill(g, g + width, 0.0);
        add_scaled_rows(cov, n, w.data(), i0, width, g);
        for (std::size_t k = 0; k < width; ++k) v += w[i0 + k] * g[k];
    }
    return v;
}

PortfolioOutcome<Series<double>> cholesky(std::span<const double> a, std::size_t n) {
    if (a.size() != n * n) return PortfolioError::element_count(n, n, a.size());
    Series<double> l(n * n, 0.0);
    // Column by column, so that the dot products of four rows run side by
    // side; each entry is still A_ij less its products summed in increasing k,
    // and pivots are checked in index order, so the first failing pivot is the
    // one a row-by-row factorisation meets first.
    for (std::size_t j = 0; j < n; ++j) {
        double* lj = l.data() + j * n;
        double sum = 0.0;
        for (std::size_t k = 0; k < j; ++k) sum += lj[k] * lj[k];
        const double pivot = a[j * n + j] - sum;
        if (!(pivot > 0.0) || !std::isfinite(pivot))
            return PortfolioError::not_positive_definite("pivot " + fmt_fixed(pivot, 3) + " at index " + str(j));
        const double d = std::sqrt(pivot);
        lj[j] = d;
        std::size_t i = j + 1;
        for (; i + 4 <= n; i += 4) {
            const double* r0 = l.data() + i * n;
            const double* r1 = r0 + n;
            const double* r2 = r1 + n;
            const double* r3 = r2 + n;
            double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
            for (std::size_t k = 0; k < j; ++k) {
                const double v = lj[k];
                s0 += r0[k] * v;
                s1 += r1[k] * v;
                s2 += r2[k] * v;
                s3 += r3[k] * v;
            }
            l[i * n + j] = (a[i * n + j] - s0) / d;
            l[(i + 1) * n + j] = (a[(i + 1) * n + j] - s1) / d;
            l[(i + 2) * n + j] = (a[(i + 2) * n + j] - s2) / d;
            l[(i + 3) * n + j] = (a[(i + 3) * n + j] - s3) / d;
        }
        for (; i < n; ++i) {
            const double* r = l.data() + i * n;
            double s = 0.0;
            for (std::size_t k = 0; k < j; ++k) s += r[k] * lj[k];
            l[i * n + j] = (a[i * n + j] - s) / d;
        }
    }
    return l;
}

std::optional<PortfolioError> check_asset_ids(const RiskModel& model, std::span<const std::string> ids) {
    if (ids.size() != model.n_assets || model.asset_ids.size() != model.n_assets)
        return PortfolioError::asset_ids_mismatch("model has " + str(model.n_assets) + " assets, caller supplied " +
                                                  str(ids.size()));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] != model.asset_ids[i])
            return PortfolioError::asset_ids_mismatch("position " + str(i) + ": model '" + model.asset_ids[i] +
                                                      "' vs caller '" + ids[i] + "'");
    }
    return std::nullopt;
}

PortfolioOutcome<RiskModel> estimate_covariance(Series<double> x, std::size_t t_obs, std::size_t n,
                                                std::vector<std::string> asset_ids, double periods_per_year) {
    const std::size_t T = t_obs;
    if (x.size() != T * n || (n != 0 && x.size() / n != T)) return PortfolioError::element_count(T, n, x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
        if (!std::isfinite(x[k])) return PortfolioError::non_finite(k / n, k % n);
    }
    if (asset_ids.size() != n)
        return PortfolioError::shape_mismatch(str(asset_ids.size()) + " asset_ids for " + str(n) + " columns");
    if (T < 2) return PortfolioError::degenerate("need at least 2 observations, got " + str(T));
    if (n < 2) return PortfolioError::degenerate("need at least 2 assets, got " + str(n));
    if (!(periods_per_year > 0.0) || !std::isfinite(periods_per_year))
        return PortfolioError::degenerate("periods_per_year must be a positive finite number, got " +
                                          fmt_shortest(periods_per_year));

    const double inv_t = 1.0 / static_cast<double>(T);
    const double tf = static_cast<double>(T);

    // Column means, each summed in period order.
    std::vector<double> mean(n, 0.0);
    for (std::size_t t = 0; t < T; ++t) {
        const double* row = x.data() + t * n;
        for (std::size_t j = 0; j < n; ++j) mean[j] += row[j];
    }
    for (double& m : mean) m /= tf;

    // Demeaned returns packed into panels of kPanel assets; the padding
    // columns of the last panel are zero and contribute nothing.
    const std::size_t n_panels = (n + kPanel - 1) / kPanel;
    const std::size_t np = n_panels * kPanel;
    Series<double> packed(T * np, 0.0);
    for (std::size_t t = 0; t < T; ++t) {
        const double* row = x.data() + t * n;
        for (std::size_t j = 0; j < n; ++j)
            packed[(j / kPanel) * T * kPanel + t * kPanel + j % kPanel] = row[j] - mean[j];
    }
    x = Series<double>();  // the raw returns are not needed any more

    // Sample covariance S = Y'Y / T: the upper triangle of panel pairs, built
    // in blocks of periods that stay in cache, each cell summed in period
    // order.
    // Only the pairs p <= q are kept, row by row: pair (p, q) is block
    // p * n_panels - p * (p - 1) / 2 + (q - p).
    auto block_of = [n_panels](std::size_t p, std::size_t q) {
        return (p * n_panels - p * (p - 1) / 2 + (q - p)) * kPanel * kPanel;
    };
    Series<double> blocks(n_panels * (n_panels + 1) / 2 * kPanel * kPanel, 0.0);
    for (std::size_t t0 = 0; t0 < T; t0 += kPeriodBlock) {
        const std::size_t len = std::min(kPeriodBlock, T - t0);
        for (std::size_t p = 0; p < n_panels; ++p) {
            const double* a = packed.data() + p * T * kPanel + t0 * kPanel;
            for (std::size_t q = p; q < n_panels; ++q) {
                const double* b = packed.data() + q * T * kPanel + t0 * kPanel;
                panel_product(a, b, len, blocks.data() + block_of(p, q));
            }
        }
    }
    Series<double> s(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j) {
            const std::size_t p = i / kPanel, q = j / kPanel;
            const double v = blocks[block_of(p, q) + (i % kPanel) * kPanel + j % kPanel] / tf;
            s[i * n + j] = v;
            s[j * n + i] = v;
        }
    }
    blocks = Series<double>();

    // A column whose variance is nothing, or negligible against its squared
    // mean (a near-constant price-like series), has no usable risk.
    std::vector<double> sd(np, 0.0), inv_sd(np, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double sii = s[i * n + i];
        if (!(sii > 0.0) || sii < mean[i] * mean[i] * kEps) return PortfolioError::zero_variance(i);
        sd[i] = std::sqrt(sii);
        inv_sd[i] = 1.0 / sd[i];
    }

    double corr_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) corr_sum += s[i * n + j] / (sd[i] * sd[j]);
    const double rbar = corr_sum / (static_cast<double>(n) * static_cast<double>(n - 1) / 2.0);

    // The fourth-moment terms of the intensity reduce to sums over each
    // period's cross-section, because Y is centred with the same 1/T:
    //   sum_ij pi_ij = (1/T) sum_t (sum_i Y_ti^2)^2 - sum_ij S_ij^2,
    //   sum_i pi_ii  = (1/T) sum_t sum_i Y_ti^4 - sum_i S_ii^2,
    //   theta_ii,ij  = (1/T) sum_t Y_ti^3 Y_tj - S_ii S_ij,
    // and the two theta terms of each ordered pair are mirror images, so the
    // whole correction is linear in the period sums A_t = sum_i Y_ti^3 / s_i
    // and B_t = sum_j s_j Y_tj. That keeps the estimate one matrix product.
    std::vector<double> sq(T, 0.0), quad(T, 0.0), cube_over_sd(T, 0.0), scaled(T, 0.0);
    for (std::size_t p = 0; p < n_panels; ++p) {
        const double* panel = packed.data() + p * T * kPanel;
        for (std::size_t t = 0; t < T; ++t) {
            const double* y = panel + t * kPanel;
            for (std::size_t k = 0; k < kPanel; ++k) {
                const std::size_t j = p * kPanel + k;
                const double v = y[k];
                const double v2 = v * v;
                sq[t] += v2;
                quad[t] += v2 * v2;
                cube_over_sd[t] += v2 * v * inv_sd[j];
                scaled[t] += sd[j] * v;
            }
        }
    }
    packed = Series<double>();

    double sum_sq_t = 0.0, sum_quad_t = 0.0, sum_cross_t = 0.0;
    for (std::size_t t = 0; t < T; ++t) {
        sum_sq_t += sq[t] * sq[t];
        sum_quad_t += quad[t];
        sum_cross_t += cube_over_sd[t] * scaled[t] - quad[t];
    }
    double s_sumsq = 0.0, diag_sumsq = 0.0, weighted_off = 0.0, gamma = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double v = s[i * n + j];
            s_sumsq += v * v;
            if (i == j) {
                diag_sumsq += v * v;
            } else {
                weighted_off += sd[i] * sd[j] * v;
                const double f = rbar * (sd[i] * sd[j]);
                gamma += (f - v) * (f - v);
            }
        }
    }
    const double pi = sum_sq_t * inv_t - s_sumsq;
    const double rho = (sum_quad_t * inv_t - diag_sumsq) + rbar * (sum_cross_t * inv_t - weighted_off);

    // The cut-off scales with the sample covariance itself: an absolute one
    // would switch shrinkage off for returns of a basis point per period and
    // leave a singular sample matrix where the target could have fixed it.
    double delta = 0.0;
    if (gamma > kEps * s_sumsq) {
        delta = ((pi - rho) / gamma) / tf;
        if (delta < 0.0) delta = 0.0;
        if (delta > 1.0) delta = 1.0;
    }

    Series<double> sigma(n * n);
    if (delta == 0.0) {
        sigma = s;
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                // s_i s_j multiplied first, so that F and Sigma come out
                // exactly symmetric.
                const double f = i == j ? s[i * n + i] : rbar * (sd[i] * sd[j]);
                sigma[i * n + j] = delta * f + (1.0 - delta) * s[i * n + j];
            }
        }
    }

    auto gate = cholesky(sigma, n);
    if (!gate) return std::move(gate.error());

    RiskModel model;
    model.cov = std::move(sigma);
    model.asset_ids = std::move(asset_ids);
    model.n_assets = n;
    model.n_obs = T;
    model.periods_per_year = periods_per_year;
    model.shrinkage_intensity = delta;
    return model;
}

}  // namespace tidemark
