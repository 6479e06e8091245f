// Portfolio analytics: risk model, optimiser, factor panels, rank IC,
// rebalance simulation and Monte Carlo.
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "analytics/monte_carlo.h"
#include "analytics/optimize.h"
#include "core/format.h"
#include "core/parallel.h"
#include "python/classes.h"
#include "python/registry.h"

namespace tidemark::py {

// The asset ids a call checks against its model. A list or tuple of plain
// ASCII str objects is compared where it lies: the call keeps its argument
// alive and runs no Python code, so the items cannot change meanwhile, and
// the text of such a str is its UTF-8. Anything else is converted as text,
// with the conversion's own errors, as every other sequence argument is.
struct AssetIds {
    PyObject* plain = nullptr;  // borrowed list or tuple, or null
    std::vector<std::string> converted;
};

template <>
struct From<AssetIds> {
    static AssetIds get(PyObject* o) {
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            PyObject** items = PySequence_Fast_ITEMS(o);
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
            Py_ssize_t i = 0;
            while (i < n && PyUnicode_CheckExact(items[i]) && PyUnicode_IS_COMPACT_ASCII(items[i])) ++i;
            if (i == n) return AssetIds{o, {}};
        }
        return AssetIds{nullptr, From<Seq<std::string>>::get(o).items};
    }
};
template <>
struct Quiet<AssetIds> {
    static bool check(PyObject* o) { return Quiet<Seq<std::string>>::check(o); }
};

namespace {

// check_asset_ids for ids however they arrived. A mismatch among plain ids is
// reported from their converted text, so every message has one source.
std::optional<PortfolioError> check_ids(const RiskModel& model, const AssetIds& ids) {
    if (!ids.plain) return check_asset_ids(model, ids.converted);
    PyObject** items = PySequence_Fast_ITEMS(ids.plain);
    const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(ids.plain));
    bool same = n == model.n_assets && model.asset_ids.size() == n;
    for (std::size_t i = 0; same && i < n; ++i) {
        const std::string& want = model.asset_ids[i];
        same = static_cast<std::size_t>(PyUnicode_GET_LENGTH(items[i])) == want.size() &&
               std::memcmp(PyUnicode_DATA(items[i]), want.data(), want.size()) == 0;
    }
    if (same) return std::nullopt;
    std::vector<std::string> text;
    text.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        text.emplace_back(static_cast<const char*>(PyUnicode_DATA(items[i])),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(items[i])));
    return check_asset_ids(model, text);
}

// ---------------------------------------------------------------------------
// Risk model, risk contributions, factor panels, rank IC, rebalance costs
// ---------------------------------------------------------------------------

// Analytics failures are values in the engine; here they become ValueError
// with their message.
template <class T>
T take(PortfolioOutcome<T>&& outcome) {
    if (!outcome) throw RuleError(outcome.error().message());
    return std::move(outcome.value());
}

// The engine's panels and the boundary's matrices share their storage: a
// copied-in array becomes the result buffer without a second copy.
Panel to_panel(MatrixF64&& m) { return Panel{std::move(m.data), m.rows, m.cols}; }

MatrixF64 to_matrix(Panel&& p) {
    MatrixF64 m;
    m.data = std::move(p.values);
    m.rows = p.rows;
    m.cols = p.cols;
    return m;
}

std::string shape_text(std::size_t rows, std::size_t cols) { return std::to_string(rows) + "x" + std::to_string(cols); }

// --- RiskModel and estimate_covariance ---------------------------------------

MatrixF64 risk_model_cov(const RiskModel& m) { return MatrixF64{m.cov, m.n_assets, m.n_assets}; }
const std::vector<std::string>& risk_model_ids(const RiskModel& m) { return m.asset_ids; }

std::string risk_model_repr(const RiskModel& m) {
    return "PyRiskModel(n_assets=" + std::to_string(m.n_assets) + ", n_obs=" + std::to_string(m.n_obs) +
           ", shrinkage=" + fmt_fixed(m.shrinkage_intensity, 4) +
           ", periods_per_year=" + fmt_shortest(m.periods_per_year) + ")";
}

PyTypeObject* build_risk_model() {
    using M = RiskModel;
    ClassSpec s = class_spec<M>(
        "Shrunk covariance matrix plus the context needed to use it safely.\n\nCarries `periods_per_year` and "
        "`asset_ids` so annualization and asset\nordering travel with the matrix; consumers validate against them "
        "instead\nof trusting the caller.");
    s.getset = {
        ro<&M::n_obs>("n_obs", "Number of return rows (periods) the model was estimated from, an int."),
        ro<&M::n_assets>("n_assets", "Number of assets, an int: the side of `cov()`."),
        ro_fn<&risk_model_ids>("asset_ids",
                               "The asset ids in the column order of the estimation's returns.\n\n"
                               "A new list of str on every read; every consumer of the model\n"
                               "compares its caller's ids with them position by position."),
        ro<&M::periods_per_year>("periods_per_year",
                                 "Periods per year of the returns, a float, as given to\n"
                                 "`estimate_covariance`; it annualises, nothing in the model is annualised."),
        ro<&M::shrinkage_intensity>("shrinkage_intensity",
                                    "Weight of the constant-correlation target in `cov()`, a float in\n"
                                    "[0, 1]: 0 leaves the sample covariance, 1 is the target alone."),
    };
    s.methods = {
        method0<&risk_model_cov>("cov",
                                 "Covariance of per-period returns as an `n_assets x n_assets` array.\n\n"
                                 "A new float64 array on every call, in squared per-period return units\n"
                                 "(not annualised); rows and columns follow `asset_ids`. Every mean\n"
                                 "divides by `n_obs` (T), not T - 1."),
    };
    s.repr = &repr_impl<&risk_model_repr>;
    return build_class(std::move(s));
}

constexpr Param kEstimateCovarianceParams[] = {{"returns"}, {"asset_ids"}, {"periods_per_year"}};
const Sig kEstimateCovariance{nullptr, "estimate_covariance", kEstimateCovarianceParams};

RiskModel estimate_covariance_py(MatrixF64 returns, Seq<std::string> asset_ids, double periods_per_year) {
    const std::size_t rows = returns.rows, cols = returns.cols;
    return take(estimate_covariance(std::move(returns.data), rows, cols, std::move(asset_ids.items), periods_per_year));
}

// --- RiskContributions and compute_risk_contributions ------------------------

Series<double> rc_marginal(const RiskContributions& r) { return r.marginal; }
Series<double> rc_contribution(const RiskContributions& r) { return r.contribution; }
Series<double> rc_pct_contribution(const RiskContributions& r) { return r.pct_contribution; }

PyTypeObject* build_risk_contributions() {
    ClassSpec s = class_spec<RiskContributions>("Euler decomposition of portfolio volatility.");
    s.getset = {ro<&RiskContributions::total_vol_annualized>(
        "total_vol_annualized",
        "Volatility of the portfolio per year, a float: sqrt(w' cov w) times\n"
        "sqrt(`periods_per_year`), both from the model (0.2 is 20 % a year).")};
    s.methods = {
        method0<&rc_marginal>("marginal",
                              "Marginal contribution of each asset to the per-period volatility.\n\n"
                              "(cov @ w)[i] / sigma, sigma = sqrt(w' cov w) the per-period volatility;\n"
                              "a new float64 array, one entry per asset."),
        method0<&rc_contribution>("contribution",
                                  "Each asset's share of the per-period volatility, weight times marginal.\n\n"
                                  "A new float64 array, one entry per asset, in per-period volatility\n"
                                  "units; the entries sum to sigma."),
        method0<&rc_pct_contribution>("pct_contribution",
                                      "Each asset's contribution over the per-period volatility.\n\n"
                                      "A new float64 array of fractions, one entry per asset, summing to 1;\n"
                                      "a negative entry is an asset that lowers the portfolio's risk."),
    };
    return build_class(std::move(s));
}

constexpr Param kRiskContributionsParams[] = {{"model"}, {"weights"}, {"asset_ids"}};
const Sig kRiskContributions{nullptr, "compute_risk_contributions", kRiskContributionsParams};

RiskContributions compute_risk_contributions_py(Ref<RiskModel> model, ArrayArg<double> weights, AssetIds asset_ids) {
    if (std::optional<PortfolioError> e = check_ids(*model, asset_ids)) throw RuleError(e->message());
    return take(compute_risk_contributions(*model, weights));
}

// --- Factor panels -------------------------------------------------------------

constexpr Param kWinsorizeParams[] = {{"values"}, {"pct"}};
constexpr Param kZscoreParams[] = {{"values"}, {"min_names"}};
constexpr Param kMomentumParams[] = {{"prices"}, {"lookback"}, {"skip"}};
constexpr Param kCompositeParams[] = {{"factors"}, {"weights"}};
const Sig kWinsorize{nullptr, "winsorize_panel", kWinsorizeParams};
const Sig kZscore{nullptr, "zscore_panel", kZscoreParams};
const Sig kRank{nullptr, "rank_panel", kZscoreParams};
const Sig kMomentum{nullptr, "momentum_panel", kMomentumParams};
const Sig kComposite{nullptr, "composite_scores", kCompositeParams};

MatrixF64 winsorize_panel_py(MatrixF64 values, double pct) {
    return to_matrix(take(winsorize_panel(to_panel(std::move(values)), pct)));
}
MatrixF64 zscore_panel_py(MatrixF64 values, uint64_t min_names) {
    return to_matrix(take(zscore_panel(to_panel(std::move(values)), min_names)));
}
MatrixF64 rank_panel_py(MatrixF64 values, uint64_t min_names) {
    return to_matrix(take(rank_panel(to_panel(std::move(values)), min_names)));
}
MatrixF64 momentum_panel_py(MatrixF64 prices, uint64_t lookback, uint64_t skip) {
    return to_matrix(take(momentum_panel(to_panel(std::move(prices)), lookback, skip)));
}

MatrixF64 composite_scores_py(Seq<MatrixF64> factors, Series<double> weights) {
    if (factors.items.empty()) throw RuleError("no factor panels supplied");
    const MatrixF64& first = factors.items[0];
    for (std::size_t k = 1; k < factors.items.size(); ++k) {
        const MatrixF64& f = factors.items[k];
        if (f.rows != first.rows || f.cols != first.cols)
            throw RuleError("factor " + std::to_string(k) + " shape " + shape_text(f.rows, f.cols) +
                            " differs from factor 0 shape " + shape_text(first.rows, first.cols));
    }
    std::vector<Panel> panels;
    panels.reserve(factors.items.size());
    for (MatrixF64& f : factors.items) panels.push_back(to_panel(std::move(f)));
    return to_matrix(take(composite_scores(std::move(panels), weights)));
}

// --- RankIC and rank_ic -----------------------------------------------------------

Series<double> rank_ic_daily(const RankIC& r) { return r.daily_ic; }

PyTypeObject* build_rank_ic() {
    using R = RankIC;
    ClassSpec s = class_spec<R>("Measured rank IC of a factor against forward returns.");
    s.getset = {
        ro<&R::mean_ic>("mean_ic",
                        "Mean of the daily coefficients over the scored dates, a float in\n"
                        "[-1, 1]; NaN when no date was scored."),
        ro<&R::stdev_ic>("stdev_ic",
                         "Sample standard deviation (divisor n - 1) of the daily coefficients,\n"
                         "a float; NaN with fewer than 2 scored dates."),
        ro<&R::t_stat>("t_stat",
                       "mean_ic / (stdev_ic / sqrt(n)) over the n scored dates, a float.\n\n"
                       "Overstated when `overlap_days` > 1, since neighbouring forward windows\n"
                       "share returns; NaN when stdev_ic is 0 or undefined."),
        ro<&R::t_stat_deflated>("t_stat_deflated",
                                "Overlap-corrected t-stat. Decide on THIS, not `t_stat`.\n\n"
                                "t_stat / sqrt(`overlap_days`), a float; NaN where t_stat is."),
        ro<&R::n_dates_scored>("n_dates_scored",
                               "Number of dates that produced a coefficient, an int (dates with\n"
                               "fewer than `min_names` usable pairs, or all values tied, are skipped)."),
        ro<&R::n_independent>("n_independent",
                              "Roughly how many non-overlapping forward windows back the measurement.\n\n"
                              "n_dates_scored / `overlap_days`, a float."),
        ro<&R::overlap_days>("overlap_days", "The horizon, in dates, of the forward returns, an int."),
        ro<&R::mean_names>("mean_names",
                           "Mean number of assets paired per scored date, a float; NaN when\n"
                           "no date was scored."),
    };
    s.methods = {method0<&rank_ic_daily>(
        "daily_ic",
        "The coefficient of each date, a new float64 array of length T.\n\n"
        "Spearman correlation (in [-1, 1]) of the date's factor values with the\n"
        "assets' returns over the next `horizon` dates; NaN on dates not scored,\n"
        "always on the last `horizon` dates.")};
    return build_class(std::move(s));
}

constexpr Param kRankIcParams[] = {{"factor"}, {"prices"}, {"horizon"}, {"min_names"}};
const Sig kRankIc{nullptr, "rank_ic", kRankIcParams};

RankIC rank_ic_py(MatrixF64 factor, MatrixF64 prices, uint64_t horizon, uint64_t min_names) {
    if (factor.rows != prices.rows || factor.cols != prices.cols)
        throw RuleError("factor is " + shape_text(factor.rows, factor.cols) + " but prices is " +
                        shape_text(prices.rows, prices.cols));
    return take(rank_ic(to_panel(std::move(factor)), to_panel(std::move(prices)), horizon, min_names));
}

// --- RebalanceSimResult, simulate_rebalance_policy, indian_cost_schedule ------------

Series<double> rebalance_equity(const RebalanceSimResult& r) { return r.equity_curve; }
Series<double> rebalance_turnover(const RebalanceSimResult& r) { return r.turnover; }
Series<double> rebalance_regulatory(const RebalanceSimResult& r) { return r.cost_regulatory; }
Series<double> rebalance_brokerage(const RebalanceSimResult& r) { return r.cost_brokerage; }
Series<double> rebalance_dp(const RebalanceSimResult& r) { return r.cost_dp; }

PyTypeObject* build_rebalance_result() {
    using R = RebalanceSimResult;
    ClassSpec s = class_spec<R>("Result of a rebalance-policy simulation.");
    s.getset = {
        ro<&R::n_rebalances>("n_rebalances",
                             "Number of dates on which at least one leg was executed, an int; a\n"
                             "rebalance date whose legs were all skipped does not count."),
        ro<&R::n_trades>("n_trades", "Number of legs executed over the run, an int (one per asset traded\n"
                                     "on a date)."),
        ro<&R::total_cost_drag_annualized>("total_cost_drag_annualized",
                                           "Total cost over the mean equity, times\n"
                                           "`periods_per_year` / T for T dates: a fraction of equity per\n"
                                           "year (0.001 is 0.1 % a year)."),
    };
    s.methods = {
        method0<&rebalance_equity>("equity_curve",
                                   "Equity per date, in the currency of `initial_capital`.\n\n"
                                   "Cash plus the holdings at the date's prices, after the date's trades\n"
                                   "and costs; a new float64 array, one entry per date."),
        method0<&rebalance_turnover>("turnover",
                                     "One-way turnover per date.\n\n"
                                     "Half the summed absolute value traded on the date over the\n"
                                     "equity before the trades, a fraction; 0.0 on a date without a\n"
                                     "trade. A new float64 array, one entry per date."),
        method0<&rebalance_regulatory>("cost_regulatory",
                                       "Regulatory costs per date, in currency.\n\n"
                                       "STT, exchange charges, SEBI fees, stamp duty and GST summed over\n"
                                       "the date's legs; a new float64 array, one entry per date, 0.0 on a\n"
                                       "date without a trade."),
        method0<&rebalance_brokerage>("cost_brokerage",
                                      "Brokerage per date, in currency, summed over the date's legs.\n\n"
                                      "A new float64 array, one entry per date."),
        method0<&rebalance_dp>("cost_dp",
                               "Depository (DP) charges per date, in currency.\n\n"
                               "`dp_charge_per_isin` times the number of sell legs on the date; a\n"
                               "new float64 array, one entry per date."),
    };
    return build_class(std::move(s));
}

constexpr Param kRebalanceParams[] = {
    {"prices"},
    {"target_weights"},
    {"initial_capital"},
    {"policy"},
    {"policy_param"},
    {"segment", "\"equity_delivery\""},
    {"min_trade_value", "0.0"},
    {"dp_charge_per_isin", "...", "15.34"},
    {"periods_per_year", "252.0"},
};
const Sig kRebalance{nullptr, "simulate_rebalance_policy", kRebalanceParams};

RebalanceSimResult simulate_rebalance_policy_py(MatrixF64 prices, MatrixF64 target_weights, double initial_capital,
                                                std::string policy, double policy_param, std::string segment,
                                                double min_trade_value, double dp_charge_per_isin,
                                                double periods_per_year) {
    if (target_weights.rows != prices.rows || target_weights.cols != prices.cols)
        throw RuleError("target_weights shape " + shape_text(target_weights.rows, target_weights.cols) +
                        " differs from prices " + shape_text(prices.rows, prices.cols));
    auto parsed_policy = parse_rebalance_policy(policy, policy_param);
    if (!parsed_policy) throw RuleError(parsed_policy.error());
    auto parsed_segment = parse_cost_segment(segment);
    if (!parsed_segment) throw RuleError(parsed_segment.error());
    RebalanceParams params;
    params.initial_capital = initial_capital;
    params.policy = parsed_policy.value();
    params.segment = parsed_segment.value();
    params.min_trade_value = min_trade_value;
    params.dp_charge_per_isin = dp_charge_per_isin;
    params.periods_per_year = periods_per_year;
    return take(simulate_rebalance_policy(to_panel(std::move(prices)), to_panel(std::move(target_weights)), params));
}

constexpr Param kCostScheduleParams[] = {{"segment"}};
const Sig kCostSchedule{nullptr, "indian_cost_schedule", kCostScheduleParams};

PyRef indian_cost_schedule_py(std::string segment) {
    auto parsed = parse_cost_segment(segment);
    if (!parsed) throw RuleError(parsed.error());
    PyRef d = PyRef::check(PyDict_New());
    for (const auto& [key, value] : cost_schedule(parsed.value())) dict_set(d.get(), key, value);
    return d;
}

void export_risk_and_factors(Exports& ex) {
    ex.add_class("RiskModel", &PyClass<RiskModel>::type);
    ex.add_class("RiskContributions", &PyClass<RiskContributions>::type);
    ex.add_class("RankIC", &PyClass<RankIC>::type);
    ex.add_class("RebalanceSimResult", &PyClass<RebalanceSimResult>::type);
    ex.add_function(function_def<kEstimateCovariance, &estimate_covariance_py>(
        "Estimate a Ledoit-Wolf constant-correlation shrunk covariance.\n\n"
        "`returns` is `n_obs x n_assets` per-period simple returns: one row per\n"
        "period, one column per asset in the order of `asset_ids` (observations\n"
        "in rows, unlike the per-asset series `simulate_portfolio_mc` takes).\n"
        "`periods_per_year` is required -- annualization is never inferred.\n\n"
        "Every mean divides by T = `n_obs`, not T - 1: the sample covariance is\n"
        "(T - 1) / T of what pandas' DataFrame.cov or np.cov give, 0.2 % smaller\n"
        "at 504 rows."));
    ex.add_function(function_def<kRiskContributions, &compute_risk_contributions_py>(
        "Risk contributions of `weights` under `model`."));
    ex.add_function(function_def<kWinsorize, &winsorize_panel_py>(
        "Winsorize each date's cross-section (rows = dates, cols = assets)."));
    ex.add_function(function_def<kZscore, &zscore_panel_py>(
        "Z-score each date's cross-section.\n\n"
        "Each row's non-NaN cells become (x - mean) / sd, sd the population\n"
        "standard deviation (ddof 0: divided by the count of cells, not count - 1).\n"
        "A row with fewer than `min_names` (>= 2) non-NaN cells, or with all of\n"
        "them equal, becomes all NaN; NaN cells stay NaN."));
    ex.add_function(function_def<kRank, &rank_panel_py>("Rank each date's cross-section into [0, 1], ties averaged."));
    ex.add_function(function_def<kMomentum, &momentum_panel_py>(
        "Price momentum with a skip window (12-1 daily: lookback=252, skip=21)."));
    ex.add_function(function_def<kComposite, &composite_scores_py>("Weighted composite of same-shaped factor panels."));
    ex.add_function(function_def<kRankIc, &rank_ic_py>(
        "Rank IC of a factor panel against `horizon`-ahead returns from `prices`.\n\n"
        "Forward returns are derived here rather than supplied, so the shift cannot\n"
        "leak lookahead. Dates with fewer than `min_names` paired observations are\n"
        "skipped, never zero-filled."));
    ex.add_function(function_def<kRebalance, &simulate_rebalance_policy_py>(
        "Simulate following a target-weight series under a rebalance policy.\n\n"
        "`prices` and `target_weights` are `n_dates x n_assets`; row t of\n"
        "`target_weights` is date t's long-only target (weights >= 0, summing to\n"
        "at most 1; the rest stays in cash). Policies: \"calendar\" rebalances every\n"
        "`policy_param` dates (a whole number >= 1), starting on the first date;\n"
        "\"band\" rebalances on the first date and whenever half the summed\n"
        "absolute drift from the target exceeds `policy_param`, a one-way drift\n"
        "fraction. `policy` and `segment` (the names `indian_cost_schedule` takes)\n"
        "ignore ASCII case; any other name raises ValueError.\n\n"
        "Costs are the named segment's per-leg schedule plus `dp_charge_per_isin`\n"
        "once per distinct asset with a net sell per rebalance date. They are paid\n"
        "on top of a fully invested target, so cash may go negative; a\n"
        "non-positive pre-trade equity is used as it stands in the drift and\n"
        "turnover divisions.\n\n"
        "A leg worth less than `min_trade_value` (currency; a leg of exactly that\n"
        "value trades) is skipped; the default 0.0 skips only legs of exactly 0.\n"
        "Optimiser weights hold dust of about 1e-10 for the names they drop, which\n"
        "would otherwise trade, and be charged DP when sold, on every rebalance.\n"
        "A trade to a target of 0 leaves no shares at all.\n\n"
        "The run starts from `initial_capital` in cash: to cost moving last\n"
        "month's book to this month's, pass a two-date panel (old weights, then\n"
        "new) and read the costs of the second date."));
    ex.add_function(function_def<kCostSchedule, &indian_cost_schedule_py>(
        "Export a segment's cost schedule, including the DP sell charge.\n\n"
        "The rates are the ones the engine charges, for checking costs against\n"
        "your broker's contract notes. `segment` is a snake_case name:\n"
        "equity_intraday, equity_delivery, futures_nfo, options_nfo, futures_mcx,\n"
        "options_mcx, futures_cds or options_cds (ASCII case ignored); any other\n"
        "name raises ValueError. The depository (DP) charge is made only by\n"
        "`simulate_rebalance_policy`: the itemised `fee_segment` backtests,\n"
        "delivery included, do not charge it."));
}

}  // namespace

// Type cells of the classes above, built on first use.
PyTypeObject* PyClass<RiskModel>::type() {
    static PyTypeObject* t = build_risk_model();
    return t;
}
PyTypeObject* PyClass<RiskContributions>::type() {
    static PyTypeObject* t = build_risk_contributions();
    return t;
}
PyTypeObject* PyClass<RankIC>::type() {
    static PyTypeObject* t = build_rank_ic();
    return t;
}
PyTypeObject* PyClass<RebalanceSimResult>::type() {
    static PyTypeObject* t = build_rebalance_result();
    return t;
}

// ---------------------------------------------------------------------------
// Book optimiser, its batch, and Monte Carlo
// ---------------------------------------------------------------------------

// An OptimizeItem: its arrays are copied once, when it is made, and Python
// can neither read nor change them afterwards, so a batch shares the record
// instead of copying it again.
struct OptimizeItemData {
    std::string item_id;
    Series<double> alpha;
    Series<double> w_current;
    std::optional<double> portfolio_value;  // replaces the config's for this item
};

struct OptimizeItemRec {
    std::shared_ptr<const OptimizeItemData> data;
};

namespace {
PyTypeObject* build_optimizer_config();
PyTypeObject* build_optimization_result();
PyTypeObject* build_optimize_item();
}  // namespace

template <>
struct PyClass<OptimizerConfig> {
    static constexpr const char* name = "OptimizerConfig";
    static PyTypeObject* type() {
        static PyTypeObject* t = build_optimizer_config();
        return t;
    }
};
template <>
struct PyClass<OptimizationResult> {
    static constexpr const char* name = "OptimizationResult";
    static PyTypeObject* type() {
        static PyTypeObject* t = build_optimization_result();
        return t;
    }
};
template <>
struct PyClass<OptimizeItemRec> {
    static constexpr const char* name = "OptimizeItem";
    static PyTypeObject* type() {
        static PyTypeObject* t = build_optimize_item();
        return t;
    }
};

// The `items` of a batch, taken out element by element while the lock is
// held; no borrow outlives the call's argument conversion.
struct OptimizeItemsArg {
    std::vector<std::shared_ptr<const OptimizeItemData>> items;
};

template <>
struct From<OptimizeItemsArg> {
    static OptimizeItemsArg get(PyObject* o) {
        OptimizeItemsArg out;
        const Py_ssize_t n = detail::sequence_length(o);
        detail::reserve_items(out.items, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyRef item = detail::sequence_item(o, i);
            out.items.push_back(From<Ref<OptimizeItemRec>>::get(item.get())->data);
        }
        return out;
    }
};

namespace {

// --- OptimizerConfig ---------------------------------------------------------

constexpr Param kOptimizerConfigParams[] = {
    {"risk_aversion"}, {"turnover_penalty"}, {"position_cap"}, {"sector_ids"}, {"sector_caps"},
    {"no_trade_band", "0.0"}, {"min_trade_value", "0.0"}, {"portfolio_value", "0.0"}, {"cash_max", "0.0"},
    {"max_iter", "200"}, {"tolerance", "1e-8"}, {"short_cap", "0.0"}, {"gross_max", "1.0"}, {"net_min", "0.0"},
    {"net_max", "1.0"},
};
const Sig kOptimizerConfigNew{"OptimizerConfig", "__new__", kOptimizerConfigParams};

// Nothing is checked here: every optimisation checks its own copy.
OptimizerConfig new_optimizer_config(double risk_aversion, double turnover_penalty, double position_cap,
                                     Seq<uint64_t> sector_ids, Seq<double> sector_caps, double no_trade_band,
                                     double min_trade_value, double portfolio_value, double cash_max,
                                     uint32_t max_iter, double tolerance, double short_cap, double gross_max,
                                     double net_min, double net_max) {
    OptimizerConfig c;
    c.risk_aversion = risk_aversion;
    c.turnover_penalty = turnover_penalty;
    c.position_cap = position_cap;
    c.sector_ids = std::move(sector_ids.items);
    c.sector_caps = std::move(sector_caps.items);
    c.no_trade_band = no_trade_band;
    c.min_trade_value = min_trade_value;
    c.portfolio_value = portfolio_value;
    c.cash_max = cash_max;
    c.max_iter = max_iter;
    c.tolerance = tolerance;
    c.short_cap = short_cap;
    c.gross_max = gross_max;
    c.net_min = net_min;
    c.net_max = net_max;
    return c;
}

const std::vector<uint64_t>& config_sector_ids(const OptimizerConfig& c) { return c.sector_ids; }
void set_config_sector_ids(OptimizerConfig& c, Seq<uint64_t> ids) { c.sector_ids = std::move(ids.items); }
const std::vector<double>& config_sector_caps(const OptimizerConfig& c) { return c.sector_caps; }
void set_config_sector_caps(OptimizerConfig& c, Seq<double> caps) { c.sector_caps = std::move(caps.items); }

PyTypeObject* build_optimizer_config() {
    using C = OptimizerConfig;
    ClassSpec s = class_spec<C>(
        "Constraint and objective configuration for the book optimizer.\n\n"
        "`risk_aversion` (must be above 0) weights the variance term and\n"
        "`turnover_penalty` (>= 0) is the cost per unit of one-way trade, in\n"
        "weight units. Long-only when `short_cap` is 0.0 (the default):\n"
        "0 <= w <= `position_cap`, the weights summing to between 1 - `cash_max`\n"
        "and 1. Long/short when `short_cap` > 0: -`short_cap` <= w <= `position_cap`,\n"
        "sum |w| <= `gross_max` and sum w in [`net_min`, `net_max`]. `sector_caps[k]`\n"
        "caps the weight (the gross weight, long/short) of the assets whose\n"
        "`sector_ids` entry is k.\n\n"
        "Trades smaller than `no_trade_band` (a weight change), or worth less than\n"
        "`min_trade_value` (currency; 0.0, the default, disables it) at\n"
        "`portfolio_value` (the book's value in currency, required above 0 when\n"
        "`min_trade_value` is set), are snapped back to the current weight; the\n"
        "trim of a holding past `position_cap` (or below -`short_cap`) is never\n"
        "snapped. Nothing is checked until an optimisation uses the configuration.");
    set_constructor<kOptimizerConfigNew, &new_optimizer_config>(s);
    s.getset = {
        rw<&C::risk_aversion>("risk_aversion"),
        rw<&C::turnover_penalty>("turnover_penalty"),
        rw<&C::position_cap>("position_cap"),
        rw_fn<&config_sector_ids, &set_config_sector_ids>("sector_ids"),
        rw_fn<&config_sector_caps, &set_config_sector_caps>("sector_caps"),
        rw<&C::no_trade_band>("no_trade_band"),
        rw<&C::min_trade_value>("min_trade_value"),
        rw<&C::portfolio_value>("portfolio_value"),
        rw<&C::cash_max>("cash_max"),
        rw<&C::max_iter>("max_iter"),
        rw<&C::tolerance>("tolerance"),
        rw<&C::short_cap>("short_cap"),
        rw<&C::gross_max>("gross_max"),
        rw<&C::net_min>("net_min"),
        rw<&C::net_max>("net_max"),
    };
    return build_class(std::move(s));
}

// --- OptimizationResult ------------------------------------------------------

Series<double> result_weights(const OptimizationResult& r) { return r.weights; }
Series<double> result_trades(const OptimizationResult& r) { return r.trades; }

const std::vector<bool>& result_snapped(const OptimizationResult& r) { return r.snapped; }

std::string result_repr(const OptimizationResult& r) {
    return "PyOptimizationResult(turnover=" + fmt_fixed(r.turnover, 4) + ", cash=" + fmt_fixed(r.cash, 4) +
           ", vol_annualized=" + fmt_fixed(r.vol_annualized, 4) + ", status=" + r.solver_status + ")";
}

PyTypeObject* build_optimization_result() {
    using R = OptimizationResult;
    ClassSpec s = class_spec<R>("Result of one optimization.");
    s.getset = {
        ro_fn<&result_snapped>("snapped",
                               "A list of bools, one per asset: True where the asset's trade was\n"
                               "snapped back to its current weight by `no_trade_band` or\n"
                               "`min_trade_value`. A new list on every read."),
        ro<&R::solver_status>("solver_status", "The solver's status name, a str; always \"Solved\" in a result."),
        ro<&R::cash>("cash",
                     "The fraction of the book not invested, a float.\n\n"
                     "Long-only: 1 - sum of `weights()`, clamped to [0, `cash_max`] (to\n"
                     "[0, 1] when snapping undid every trade). Long/short: 1 - net, that is\n"
                     "1 - `net_exposure`, unclamped."),
        ro<&R::gross_exposure>("gross_exposure", "Sum of |weights|, a fraction of the book."),
        ro<&R::net_exposure>("net_exposure", "Sum of the weights, a fraction of the book."),
        ro<&R::turnover>("turnover", "One-way turnover: half of sum |w - w_current|.\n\nA fraction of the book."),
        ro<&R::objective>("objective",
                          "The solver's objective at its solution, before snapping, a float.\n\n"
                          "`risk_aversion` w'Sw - alpha.w + `turnover_penalty` sum|w - w_current|,\n"
                          "S the model's per-period covariance: in the per-period return units\n"
                          "of `alpha`."),
        ro<&R::vol_annualized>("vol_annualized",
                               "Volatility per year of the final weights, a float: sqrt(w'Sw) times\n"
                               "sqrt(`periods_per_year`), both from the model (0.2 is 20 % a year)."),
        ro<&R::iterations>("iterations", "The solver's iteration count, an int."),
    };
    s.methods = {
        method0<&result_weights>("weights",
                                 "Target weights after snapping, fractions of the book.\n\n"
                                 "A new float64 array, one entry per model asset. The solver is an\n"
                                 "interior-point method: a name it drops comes back as dust of about\n"
                                 "1e-10, not 0 (only values in (-1e-9, 0) are set to 0). Set weights\n"
                                 "below a threshold such as 1e-8 to 0 before trading them, or skip\n"
                                 "such legs with `min_trade_value`."),
        method0<&result_trades>("trades",
                                "`weights()` minus `w_current`, fractions of the book.\n\n"
                                "A new float64 array, one entry per model asset; exactly 0 where the\n"
                                "trade was snapped."),
    };
    s.repr = &repr_impl<&result_repr>;
    return build_class(std::move(s));
}

// --- OptimizeItem ----------------------------------------------------------------

constexpr Param kOptimizeItemParams[] = {{"item_id"}, {"alpha"}, {"w_current"}, {"portfolio_value", "None"}};
const Sig kOptimizeItemNew{"OptimizeItem", "__new__", kOptimizeItemParams};

// Nothing is checked here: the batch checks each item as it optimises it.
OptimizeItemRec new_optimize_item(std::string item_id, Series<double> alpha, Series<double> w_current,
                                  std::optional<double> portfolio_value) {
    return OptimizeItemRec{std::make_shared<const OptimizeItemData>(
        OptimizeItemData{std::move(item_id), std::move(alpha), std::move(w_current), portfolio_value})};
}

PyTypeObject* build_optimize_item() {
    ClassSpec s = class_spec<OptimizeItemRec>(
        "One user's book for `batch_optimize_portfolios`.\n\nThe item copies its arrays eagerly, under the "
        "interpreter lock, when it is\nconstructed, so that the batch loop can release the lock (the same pattern "
        "as\n`BatchSpreadItem`).");
    set_constructor<kOptimizeItemNew, &new_optimize_item>(s);
    return build_class(std::move(s));
}

// --- optimize_portfolio and batch_optimize_portfolios ----------------------------

constexpr Param kOptimizeParams[] = {{"model"}, {"alpha"}, {"w_current"}, {"asset_ids"}, {"config"}};
const Sig kOptimize{nullptr, "optimize_portfolio", kOptimizeParams};

OptimizationResult optimize_portfolio(Ref<RiskModel> model, ArrayArg<double> alpha, ArrayArg<double> w_current,
                                      AssetIds asset_ids, Ref<OptimizerConfig> config) {
    if (std::optional<PortfolioError> e = check_ids(*model, asset_ids)) throw RuleError(e->message());
    const OptimizerConfig own = *config;
    return take(optimize_book(*model, alpha, w_current, own));
}

constexpr Param kBatchOptimizeParams[] = {{"model"}, {"items"}, {"config"}};
const Sig kBatchOptimize{nullptr, "batch_optimize_portfolios", kBatchOptimizeParams};

// The configuration is copied before the lock is released (Python may change
// the object meanwhile); the model is read in place, since a RiskModel cannot
// change after estimation and the call's own reference keeps it alive.
PyRef batch_optimize_portfolios(Ref<RiskModel> model, OptimizeItemsArg items, Ref<OptimizerConfig> config) {
    const OptimizerConfig base = *config;
    const RiskModel& shared_model = *model;
    using Slot = std::optional<PortfolioOutcome<OptimizationResult>>;
    std::vector<Slot> outcomes;
    {
        AllowThreads unlocked;
        outcomes = parallel_map(items.items, [&](const std::shared_ptr<const OptimizeItemData>& item) -> Slot {
            OptimizerConfig own = base;
            if (item->portfolio_value) own.portfolio_value = *item->portfolio_value;
            return optimize_book(shared_model, item->alpha, item->w_current, own);
        });
    }
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (!*outcomes[i])
            throw RuleError("item '" + items.items[i]->item_id + "': " + outcomes[i]->error().message());
    }
    return list_of(outcomes.size(), [&](std::size_t i) {
        return to_py(
            std::tuple<std::string, OptimizationResult>{items.items[i]->item_id, std::move(outcomes[i]->value())});
    });
}

constexpr Param kMonteCarloParams[] = {
    {"returns"}, {"weights"}, {"correlation_matrix"}, {"initial_value"}, {"n_simulations", "10000"},
    {"horizon_days", "252"}, {"seed", "42"},
};
const Sig kMonteCarlo{nullptr, "simulate_portfolio_mc", kMonteCarloParams};

// The shapes are checked with the lock held, before the series are copied,
// and the values once they are; estimation, the Cholesky factor, the paths
// and the statistics all run without it, and the dict is built once it is
// taken back.
PyRef simulate_portfolio_mc(SeriesList returns, Series<double> weights, SeriesList correlation_matrix,
                            double initial_value, uint64_t n_simulations, uint64_t horizon_days, uint64_t seed) {
    if (std::optional<std::string> problem = monte_carlo_input_problem(returns.size(), weights.size(),
                                                                       correlation_matrix.lengths(), n_simulations))
        throw RuleError(*problem);
    MonteCarloInputs in;
    in.returns = returns.take();
    in.weights = std::move(weights);
    in.correlation = correlation_matrix.take();
    in.initial_value = initial_value;
    in.n_simulations = n_simulations;
    in.horizon = horizon_days;
    in.seed = seed;
    if (std::optional<std::string> problem = monte_carlo_input_problem(in)) throw RuleError(*problem);

    MonteCarloResult r;
    try {
        AllowThreads unlocked;
        r = simulate_portfolio(in, pool_thread_count());
    } catch (const std::bad_alloc&) {
        raise(PyExc_MemoryError, "not enough memory for " + std::to_string(n_simulations) + " paths of " +
                                     std::to_string(horizon_days) + " steps");
    }

    PyRef paths = list_of(r.percentile_paths.size(), [&](std::size_t i) {
        const PercentilePath& pp = r.percentile_paths[i];
        PyRef path = list_of(pp.path.size(), [&](std::size_t k) { return to_py(pp.path[k]); });
        return to_py(std::tuple<double, PyRef>{pp.percentile, std::move(path)});
    });
    PyRef dict = PyRef::check(PyDict_New());
    dict_set(dict.get(), "percentile_paths", std::move(paths));
    dict_set(dict.get(), "final_values", std::move(r.final_values));
    dict_set(dict.get(), "expected_return", r.expected_return);
    dict_set(dict.get(), "probability_of_loss", r.probability_of_loss);
    dict_set(dict.get(), "var_95", r.var_95);
    dict_set(dict.get(), "cvar_95", r.cvar_95);
    return dict;
}

void export_optimiser(Exports& ex) {
    ex.add_class("OptimizerConfig", &PyClass<OptimizerConfig>::type);
    ex.add_class("OptimizationResult", &PyClass<OptimizationResult>::type);
    ex.add_class("OptimizeItem", &PyClass<OptimizeItemRec>::type);
    ex.add_function(function_def<kOptimize, &optimize_portfolio>(
        "Optimize one book seeded from current holdings.\n\n"
        "Minimises `risk_aversion` w'Sw - alpha.w + `turnover_penalty` sum|w - w_current|\n"
        "with Clarabel, S the model's per-period covariance, under the constraints\n"
        "of `config`: long-only when `config.short_cap` is 0.0 (`w_current` then\n"
        "non-negative, summing to at most 1), long/short when it is above 0 (see\n"
        "`OptimizerConfig`).\n\n"
        "`asset_ids` must match the model's ordering exactly -- a reordered\n"
        "universe is an error, not a silently wrong result.\n\n"
        "Trades smaller than `no_trade_band` (or worth less than `min_trade_value`\n"
        "at `portfolio_value`) are snapped back to the current weight, except the\n"
        "trim of a holding past `position_cap` (or, long/short, below -`short_cap`),\n"
        "which is always made; the sector caps, the gross budget and the cash or\n"
        "net bounds, which snapping can break, are checked again. When snapping\n"
        "removes every trade, the current weights are returned as they are, with\n"
        "no post-snap check. A solve that does not reach \"Solved\", or a post-snap\n"
        "check that fails, raises ValueError. A band can still be refused when a\n"
        "sector cap or `cash_max` binds at the optimum (\"post-snap sector ...\",\n"
        "\"post-snap cash ...\"): give that limit room above what the optimum uses,\n"
        "lower the band, or solve again without it and accept the trades.\n\n"
        "The weights are an interior-point solution: a name the optimum drops\n"
        "holds dust of about 1e-10, not 0 (see `OptimizationResult.weights`)."));
    ex.add_function(function_def<kBatchOptimize, &batch_optimize_portfolios>(
        "Optimize many books against one risk model in parallel.\n\n"
        "Each item is optimised with `config`, its own `portfolio_value` replacing\n"
        "the configuration's when given. The result is deterministic and identical\n"
        "to a serial loop of `optimize_portfolio` calls: a list of\n"
        "(item_id, OptimizationResult) tuples in item order. An error in any item\n"
        "aborts the whole batch with that item named, so that no book is silently\n"
        "missing from the output."));
    ex.add_function(function_def<kMonteCarlo, &simulate_portfolio_mc>(
        "Run Monte Carlo forward simulation for a portfolio.\n\n"
        "Each asset follows geometric Brownian motion with the per-period drift and\n"
        "volatility (population) of its return series, driven by normal shocks\n"
        "correlated through the Cholesky factor of `correlation_matrix`; the portfolio\n"
        "compounds the weighted asset returns of every step. Paths run in parallel on\n"
        "the worker pool, one random stream per thread, so a seed reproduces its\n"
        "result on a pool of the same size.\n\n"
        "Args:\n"
        "    returns: one 1-D float64 array of per-period returns per asset (a 2-D\n"
        "        array is read as its rows); an empty series holds its asset still.\n"
        "        Series may differ in length: drop an asset's missing periods\n"
        "        (r[np.isfinite(r)]) rather than pass them, since a NaN or infinite\n"
        "        return raises ValueError naming its series and index.\n"
        "    weights: float64 array, one weight per asset, used as given (a NaN or\n"
        "        infinite weight raises ValueError).\n"
        "    correlation_matrix: n_assets rows of n_assets floats, a correlation\n"
        "        (for example np.corrcoef of the return series), not a covariance:\n"
        "        a diagonal entry further than 1e-9 from 1 raises ValueError naming\n"
        "        the asset and the value. The lower triangle and the diagonal are\n"
        "        read, and must be finite. It is not repaired: a matrix that is not positive definite\n"
        "        raises ValueError.\n"
        "    initial_value: the portfolio's value at the start of every path (finite).\n"
        "    n_simulations: number of paths, at least 1 (default 10000).\n"
        "    horizon_days: steps per path, one period each (default 252).\n"
        "    seed: seed of the random streams (default 42).\n\n"
        "Returns a dict: \"percentile_paths\" (five (p, path) tuples for p = 5, 25,\n"
        "50, 75, 95, each the path ending nearest that percentile of the final\n"
        "values), \"final_values\" (sorted array), \"expected_return\" (percent),\n"
        "\"probability_of_loss\" (fraction), \"var_95\" and \"cvar_95\" (percent)."));
}

}  // namespace

void export_analytics(Exports& ex) {
    export_risk_and_factors(ex);
    export_optimiser(ex);
}

}  // namespace tidemark::py
