#include "analytics/optimize.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "core/format.h"
#include "core/numeric.h"

namespace tidemark {

namespace {

std::string str(std::size_t v) { return std::to_string(v); }
std::string num(double v) { return fmt_shortest(v); }
std::string fixed4(double v) { return fmt_fixed(v, 4); }
std::string fixed6(double v) { return fmt_fixed(v, 6); }

bool long_short(const OptimizerConfig& c) { return c.short_cap > 0.0; }

// Every range below is written so that NaN fails it: a NaN setting gets the
// setting's own message instead of reaching the solver.
std::optional<PortfolioError> check_settings(std::size_t n, std::span<const double> alpha,
                                             std::span<const double> w_current, const OptimizerConfig& c) {
    using E = PortfolioError;
    if (alpha.size() != n || w_current.size() != n)
        return E::shape_mismatch("model has " + str(n) + " assets; alpha has " + str(alpha.size()) +
                                 ", w_current has " + str(w_current.size()));
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(alpha[i])) return E::non_finite(0, i);

    const std::string short_cap_message = "short_cap must be in [0, 1], got " + num(c.short_cap);
    auto first_non_finite_holding = [&]() -> std::optional<PortfolioError> {
        for (std::size_t i = 0; i < n; ++i)
            if (!std::isfinite(w_current[i])) return E::non_finite(1, i);
        return std::nullopt;
    };
    auto holdings_over_one = [&]() -> std::optional<PortfolioError> {
        double sum = 0.0;
        for (double w : w_current) sum += w;
        if (!(sum <= 1.000001)) return E::degenerate("w_current sums to " + fixed6(sum) + ", which exceeds 1");
        return std::nullopt;
    };
    if (c.short_cap > 0.0) {
        if (auto e = first_non_finite_holding()) return e;
        if (!(c.short_cap <= 1.0)) return E::degenerate(short_cap_message);
        if (!(c.gross_max > 0.0 && std::isfinite(c.gross_max)))
            return E::degenerate("gross_max must be > 0 in long/short mode, got " + num(c.gross_max));
        if (!(std::isfinite(c.net_min) && std::isfinite(c.net_max) && c.net_min <= c.net_max))
            return E::degenerate("net bounds must be finite with net_min <= net_max, got [" + num(c.net_min) + ", " +
                                 num(c.net_max) + "]");
        if (!(c.net_min <= c.gross_max + 1e-12 && c.net_max >= -c.gross_max - 1e-12))
            return E::infeasible("net bounds [" + num(c.net_min) + ", " + num(c.net_max) +
                                 "] lie outside the gross budget " + num(c.gross_max));
    } else if (c.short_cap <= 0.0) {
        for (std::size_t i = 0; i < n; ++i) {
            if (!std::isfinite(w_current[i])) return E::non_finite(1, i);
            if (!(w_current[i] >= -1e-12))
                return E::degenerate("w_current[" + str(i) + "] = " + num(w_current[i]) +
                                     " is negative; this optimizer is long-only unless short_cap > 0");
        }
        if (auto e = holdings_over_one()) return e;
        if (!(std::isfinite(c.short_cap) && c.short_cap >= 0.0)) return E::degenerate(short_cap_message);
    } else {
        // A NaN short_cap names neither mode.
        if (auto e = first_non_finite_holding()) return e;
        if (auto e = holdings_over_one()) return e;
        return E::degenerate(short_cap_message);
    }

    if (!(c.risk_aversion > 0.0 && std::isfinite(c.risk_aversion)))
        return E::degenerate("risk_aversion must be > 0, got " + num(c.risk_aversion));
    if (!(std::isfinite(c.turnover_penalty) && c.turnover_penalty >= 0.0))
        return E::degenerate("turnover_penalty must be >= 0, got " + num(c.turnover_penalty));
    if (!(c.position_cap > 0.0 && c.position_cap <= 1.0))
        return E::degenerate("position_cap must be in (0, 1], got " + num(c.position_cap));
    if (!(c.cash_max >= 0.0 && c.cash_max < 1.0))
        return E::degenerate("cash_max must be in [0, 1), got " + num(c.cash_max));
    if (!(c.no_trade_band >= 0.0 && c.min_trade_value >= 0.0))
        return E::degenerate("no_trade_band and min_trade_value must be >= 0");
    if (c.min_trade_value > 0.0 && !(c.portfolio_value > 0.0 && std::isfinite(c.portfolio_value)))
        return E::degenerate("min_trade_value set but portfolio_value is " + num(c.portfolio_value));
    if (c.sector_ids.size() != n)
        return E::shape_mismatch(str(c.sector_ids.size()) + " sector_ids for " + str(n) + " assets");
    const std::size_t sectors = c.sector_caps.size();
    for (std::size_t i = 0; i < n; ++i)
        if (c.sector_ids[i] >= sectors)
            return E::shape_mismatch("sector_ids[" + str(i) + "] = " + std::to_string(c.sector_ids[i]) +
                                     " out of range for " + str(sectors) + " sector_caps");
    for (std::size_t k = 0; k < sectors; ++k)
        if (!(c.sector_caps[k] > 0.0 && std::isfinite(c.sector_caps[k])))
            return E::degenerate("sector_caps[" + str(k) + "] must be > 0, got " + num(c.sector_caps[k]));
    // The solver's own reading of a NaN, zero or negative tolerance is a
    // failed solve after all its iterations; the setting is wrong, so say so.
    if (!(c.tolerance > 0.0 && std::isfinite(c.tolerance)))
        return E::degenerate("tolerance must be > 0, got " + num(c.tolerance));
    return std::nullopt;
}

std::optional<PortfolioError> check_feasibility(std::size_t n, const OptimizerConfig& c) {
    const double required = long_short(c) ? c.net_min : 1.0 - c.cash_max;
    const double reach = c.position_cap * static_cast<double>(n);
    if (reach + 1e-12 < required)
        return PortfolioError::infeasible("position_cap " + num(c.position_cap) + " x " + str(n) + " assets = " +
                                          fixed4(reach) + " cannot reach required investment " + fixed4(required));
    std::vector<std::size_t> count(c.sector_caps.size(), 0);
    for (uint64_t id : c.sector_ids) ++count[id];
    double capped_sum = 0.0;
    for (std::size_t k = 0; k < count.size(); ++k)
        capped_sum += std::min(c.sector_caps[k], c.position_cap * static_cast<double>(count[k]));
    if (capped_sum + 1e-12 < required)
        return PortfolioError::infeasible("sector caps admit at most " + fixed4(capped_sum) +
                                          " invested, below required " + fixed4(required));
    return std::nullopt;
}

// Appends one entry to the column being built; rows arrive in increasing
// order, as the compressed-column form requires.
void put(CscMatrix& m, std::size_t row, double value) {
    m.rowval.push_back(row);
    m.nzval.push_back(value);
}

void end_column(CscMatrix& m) { m.colptr.push_back(m.rowval.size()); }

}  // namespace

std::optional<PortfolioError> check_book(const RiskModel& model, std::span<const double> alpha,
                                         std::span<const double> w_current, const OptimizerConfig& config) {
    const std::size_t n = model.n_assets;
    if (model.cov.size() != n * n) throw Fault("risk model covariance does not match its asset count");
    if (auto e = check_settings(n, alpha, w_current, config)) return e;
    return check_feasibility(n, config);
}

QpProblem build_book_problem(const RiskModel& model, std::span<const double> alpha,
                             std::span<const double> w_current, const OptimizerConfig& c) {
    const std::size_t n = model.n_assets;
    const std::size_t sectors = c.sector_caps.size();
    const bool ls = long_short(c);
    const std::size_t vars = ls ? 3 * n : 2 * n;
    // Row blocks, in order: the two budget rows, -w_i <= short_cap,
    // w_i <= position_cap, one row per sector, then t_i >= w_i - w_current_i
    // and t_i >= w_current_i - w_i; long/short adds a_i >= w_i, a_i >= -w_i
    // and the gross row.
    const std::size_t r_floor = 2, r_cap = r_floor + n, r_sector = r_cap + n, r_up = r_sector + sectors,
                      r_down = r_up + n, r_abs_up = r_down + n, r_abs_down = r_abs_up + n, r_gross = r_abs_down + n;
    const std::size_t rows = ls ? r_gross + 1 : r_abs_up;

    QpProblem p;
    // 1/2 x'Px = risk_aversion w'Sigma w: the upper triangle of
    // 2 risk_aversion Sigma, exact zeros left out.
    p.P.nrows = p.P.ncols = vars;
    p.P.colptr.reserve(vars + 1);
    p.P.rowval.reserve(n * (n + 1) / 2);
    p.P.nzval.reserve(n * (n + 1) / 2);
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = 0; i <= j; ++i) {
            const double v = 2.0 * c.risk_aversion * model.cov[i * n + j];
            if (v != 0.0) put(p.P, i, v);
        }
        end_column(p.P);
    }
    for (std::size_t j = n; j < vars; ++j) end_column(p.P);

    p.q.assign(vars, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        p.q[i] = -alpha[i];
        p.q[n + i] = c.turnover_penalty;
    }

    const double ub = ls ? c.net_max : 1.0;
    const double lb = ls ? c.net_min : 1.0 - c.cash_max;
    p.b.assign(rows, 0.0);
    p.b[0] = ub;
    p.b[1] = -lb;
    for (std::size_t i = 0; i < n; ++i) {
        p.b[r_floor + i] = c.short_cap;
        p.b[r_cap + i] = c.position_cap;
        p.b[r_up + i] = w_current[i];
        p.b[r_down + i] = -w_current[i];
    }
    for (std::size_t k = 0; k < sectors; ++k) p.b[r_sector + k] = c.sector_caps[k];
    if (ls) p.b[r_gross] = c.gross_max;  // the absolute-value rows stay 0

    p.A.nrows = rows;
    p.A.ncols = vars;
    p.A.colptr.reserve(vars + 1);
    const std::size_t per_w = ls ? 8 : 7;
    p.A.rowval.reserve(n * (per_w + 2 + (ls ? 4 : 0)));
    p.A.nzval.reserve(p.A.rowval.capacity());
    for (std::size_t i = 0; i < n; ++i) {
        put(p.A, 0, 1.0);
        put(p.A, 1, -1.0);
        put(p.A, r_floor + i, -1.0);
        put(p.A, r_cap + i, 1.0);
        if (!ls) put(p.A, r_sector + c.sector_ids[i], 1.0);
        put(p.A, r_up + i, 1.0);
        put(p.A, r_down + i, -1.0);
        if (ls) {
            put(p.A, r_abs_up + i, 1.0);
            put(p.A, r_abs_down + i, -1.0);
        }
        end_column(p.A);
    }
    for (std::size_t i = 0; i < n; ++i) {
        put(p.A, r_up + i, -1.0);
        put(p.A, r_down + i, -1.0);
        end_column(p.A);
    }
    if (ls) {
        for (std::size_t i = 0; i < n; ++i) {
            put(p.A, r_sector + c.sector_ids[i], 1.0);
            put(p.A, r_abs_up + i, -1.0);
            put(p.A, r_abs_down + i, -1.0);
            put(p.A, r_gross, 1.0);
            end_column(p.A);
        }
    }
    p.cone_dim = rows;
    return p;
}

PortfolioOutcome<OptimizationResult> finish_book(const RiskModel& model, std::span<const double> w_current,
                                                 const OptimizerConfig& c, const QpSolution& solution) {
    using E = PortfolioError;
    if (solution.status == "PrimalInfeasible" || solution.status == "AlmostPrimalInfeasible")
        return E::infeasible("solver certified primal infeasibility (" + solution.status + ")");
    if (solution.status != "Solved")
        return E::solver_failed("status " + solution.status + " after " + std::to_string(solution.iterations) +
                                " iterations");

    const std::size_t n = model.n_assets;
    const bool ls = long_short(c);
    const double tol = std::max(10.0 * c.tolerance, 1e-9);
    OptimizationResult r;
    r.weights.assign(solution.x.begin(), solution.x.begin() + static_cast<std::ptrdiff_t>(n));
    r.snapped.assign(n, false);
    Series<double>& w = r.weights;
    for (double& wi : w)
        if (wi > -1e-9 && wi < 0.0) wi = 0.0;

    bool any_snapped = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = w[i] - w_current[i];
        const bool small = std::fabs(d) < c.no_trade_band ||
                           (c.min_trade_value > 0.0 && c.portfolio_value * std::fabs(d) < c.min_trade_value);
        // The band skips trades not worth making; a holding that has drifted
        // past its cap must be brought back, however small the trim.
        const bool over_cap = w_current[i] > c.position_cap + tol || (ls && w_current[i] < -c.short_cap - tol);
        if (d != 0.0 && small && !over_cap) {
            w[i] = w_current[i];
            r.snapped[i] = true;
            any_snapped = true;
        }
    }
    bool trades_left = false;
    for (std::size_t i = 0; i < n && !trades_left; ++i) trades_left = std::fabs(w[i] - w_current[i]) >= tol;

    if (!trades_left) {
        // Snapping undid every trade: the book stays exactly as it is, and so
        // is not checked again (its caps were the caller's to keep).
        w.assign(w_current.begin(), w_current.end());
        double held = 0.0;
        for (double x : w_current) held += x;
        r.cash = ls ? 1.0 - held : std::clamp(1.0 - held, 0.0, 1.0);
    } else {
        const std::string pad18(18, ' '), pad22(22, ' ');
        for (std::size_t i = 0; i < n; ++i) {
            if (!r.snapped[i]) continue;
            if (w[i] > c.position_cap + tol)
                return E::infeasible("post-snap weight " + fixed6(w[i]) + " on asset " + str(i) +
                                     " exceeds position_cap" + pad18 + fixed6(c.position_cap) +
                                     "; the no-trade band snapped a trade that was reducing" + pad18 +
                                     "it -- lower the band, raise the cap, or accept the trades");
            if (ls && w[i] < -c.short_cap - tol)
                return E::infeasible("post-snap weight " + fixed6(w[i]) + " on asset " + str(i) +
                                     " breaches short_cap" + pad18 + "-" + fixed6(c.short_cap) +
                                     "; the no-trade band snapped a covering trade -- lower" + pad18 +
                                     "the band, raise the cap, or accept the trades");
        }
        if (any_snapped) {
            std::vector<double> exposure(c.sector_caps.size(), 0.0);
            for (std::size_t i = 0; i < n; ++i) exposure[c.sector_ids[i]] += ls ? std::fabs(w[i]) : w[i];
            for (std::size_t k = 0; k < exposure.size(); ++k)
                if (exposure[k] > c.sector_caps[k] + tol)
                    return E::infeasible("post-snap sector " + str(k) + " exposure " + fixed6(exposure[k]) +
                                         " exceeds its cap" + pad22 + fixed6(c.sector_caps[k]) +
                                         "; snapping stranded weight in the sector -- lower" + pad22 +
                                         "the band, raise the cap, or accept the trades");
            if (ls) {
                double gross = 0.0;
                for (double x : w) gross += std::fabs(x);
                if (gross > c.gross_max + tol)
                    return E::infeasible("post-snap gross exposure " + fixed6(gross) + " exceeds gross_max" + pad22 +
                                         fixed6(c.gross_max) + "; snapping stranded weight -- lower the band, raise" +
                                         pad22 + "the budget, or accept the trades");
            }
        }
        // Unsnapped weights are the solver's own, which meet the budget within
        // its tolerance, relative to the problem's scaling and so looser than
        // `tol`: only a snap can strand weight outside the budget.
        double net = 0.0;
        for (double x : w) net += x;
        if (!ls) {
            const double cash = 1.0 - net;
            if (any_snapped && !(cash >= -tol && cash <= c.cash_max + tol)) {
                const double stranded = cash >= 0.0 ? cash - c.cash_max : cash;
                return E::infeasible("post-snap cash " + fixed6(cash) + " outside [0, " + fixed6(c.cash_max) +
                                     "]; snapping stranded " + fixed6(stranded) +
                                     " of weight -- widen cash_max, lower the band, or accept the trades");
            }
            r.cash = std::clamp(cash, 0.0, c.cash_max);
        } else {
            if (any_snapped && !(net >= c.net_min - tol && net <= c.net_max + tol))
                return E::infeasible("post-snap net exposure " + fixed6(net) + " outside [" + fixed6(c.net_min) +
                                     ", " + fixed6(c.net_max) +
                                     "]; snapping stranded weight -- widen the net bounds, lower the band, or "
                                     "accept the trades");
            r.cash = 1.0 - net;
        }
    }

    r.trades.resize(n);
    double traded = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        r.trades[i] = w[i] - w_current[i];
        traded += std::fabs(r.trades[i]);
        r.gross_exposure += std::fabs(w[i]);
        r.net_exposure += w[i];
    }
    r.turnover = 0.5 * traded;
    r.vol_annualized = std::sqrt(max_num(portfolio_variance(model, w), 0.0)) * std::sqrt(model.periods_per_year);
    r.objective = solution.objective;
    r.iterations = solution.iterations;
    r.solver_status = solution.status;
    return r;
}

PortfolioOutcome<OptimizationResult> optimize_book(const RiskModel& model, std::span<const double> alpha,
                                                   std::span<const double> w_current, const OptimizerConfig& config,
                                                   OptimizeTimings* timings) {
    if (auto e = check_book(model, alpha, w_current, config)) return *e;
    const QpProblem problem = build_book_problem(model, alpha, w_current, config);
    const auto start = std::chrono::steady_clock::now();
    Outcome<QpSolution, QpFailure> solved = solve_qp(problem, QpSettings{config.max_iter, config.tolerance});
    if (timings)
        timings->solver_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!solved) {
        const QpFailure& f = solved.error();
        // A panic inside the solver is a broken invariant of the solver, not
        // a property of the book.
        if (f.kind == QpFailure::Panic) throw Fault(f.message);
        return PortfolioError::solver_failed("setup: " + f.message);
    }
    return finish_book(model, w_current, config, solved.value());
}

}  // namespace tidemark
