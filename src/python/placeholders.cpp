// Names whose engines are not built yet. Each is registered with its final
// signature and documentation line so that the module's surface is complete;
// calling one binds its arguments as usual and then raises NotImplementedError.
// Each entry goes away when its engine lands.
#include "python/registry.h"

namespace tidemark::py {

namespace {

template <const Sig& S>
PyObject* placeholder_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Bound b{};
        bind_fast(S, args, nargs, kwnames, b);
        PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", S.name);
        throw PyErrSet{};
    });
}

template <const Sig& S>
PyObject* placeholder_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound b{};
        bind_tuple(S, args, kwargs, b);
        PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", S.owner);
        throw PyErrSet{};
    });
}

template <const Sig& S>
PyMethodDef placeholder_def(const char* doc) {
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&placeholder_call<S>)),
            METH_FASTCALL | METH_KEYWORDS, detail::make_doc(S.name, S.text_signature(false), doc)};
}

struct PlaceholderClass {
    const char* name;
    const char* doc;
};

template <const PlaceholderClass& C>
PyTypeObject* placeholder_type() {
    static PyTypeObject* t = [] {
        ClassSpec s;
        s.name = C.name;
        s.doc = C.doc;
        return build_class(std::move(s));
    }();
    return t;
}

template <const PlaceholderClass& C, const Sig& S>
PyTypeObject* placeholder_type_with_ctor() {
    static PyTypeObject* t = [] {
        ClassSpec s;
        s.name = C.name;
        s.doc = C.doc;
        s.ctor_sig = &S;
        s.tp_new = &placeholder_new<S>;
        return build_class(std::move(s));
    }();
    return t;
}

#define TM_FN(NAME, ...)                            \
    constexpr Param p_##NAME[] = {__VA_ARGS__};     \
    const Sig s_##NAME{nullptr, #NAME, p_##NAME};

// --- strategy runners ------------------------------------------------------
TM_FN(run_basket_backtest, {"instruments"}, {"config", "None"}, {"sync_mode", "\"all\""},
      {"instrument_configs", "None"})
TM_FN(run_portfolio_backtest, {"instruments"}, {"config", "None"}, {"allocation", "\"equal_weight\""},
      {"instrument_configs", "None"})
TM_FN(run_multi_backtest, {"timestamps"}, {"open"}, {"high"}, {"low"}, {"close"}, {"volume"}, {"strategies"},
      {"config", "None"}, {"combine_mode", "\"any\""})

// --- market data -----------------------------------------------------------
TM_FN(sma, {"data"}, {"period"})
TM_FN(ema, {"data"}, {"period"})
TM_FN(rsi, {"data"}, {"period"})
TM_FN(macd, {"data"}, {"fast_period", "12"}, {"slow_period", "26"}, {"signal_period", "9"})
TM_FN(stochastic, {"high"}, {"low"}, {"close"}, {"k_period", "14"}, {"d_period", "3"})
TM_FN(atr, {"high"}, {"low"}, {"close"}, {"period"})
TM_FN(bollinger_bands, {"data"}, {"period", "20"}, {"std_dev", "2.0"})
TM_FN(adx, {"high"}, {"low"}, {"close"}, {"period"})
TM_FN(vwap, {"high"}, {"low"}, {"close"}, {"volume"})
TM_FN(supertrend, {"high"}, {"low"}, {"close"}, {"period", "10"}, {"multiplier", "3.0"})
TM_FN(rolling_min, {"data"}, {"period"})
TM_FN(rolling_max, {"data"}, {"period"})

// --- analytics ---------------------------------------------------------------
TM_FN(simulate_portfolio_mc, {"returns"}, {"weights"}, {"correlation_matrix"}, {"initial_value"},
      {"n_simulations", "10000"}, {"horizon_days", "252"}, {"seed", "42"})
TM_FN(estimate_covariance, {"returns"}, {"asset_ids"}, {"periods_per_year"})
TM_FN(optimize_portfolio, {"model"}, {"alpha"}, {"w_current"}, {"asset_ids"}, {"config"})
TM_FN(batch_optimize_portfolios, {"model"}, {"items"}, {"config"})
TM_FN(compute_risk_contributions, {"model"}, {"weights"}, {"asset_ids"})
TM_FN(winsorize_panel, {"values"}, {"pct"})
TM_FN(zscore_panel, {"values"}, {"min_names"})
TM_FN(rank_panel, {"values"}, {"min_names"})
TM_FN(momentum_panel, {"prices"}, {"lookback"}, {"skip"})
TM_FN(composite_scores, {"factors"}, {"weights"})
TM_FN(rank_ic, {"factor"}, {"prices"}, {"horizon"}, {"min_names"})
TM_FN(simulate_rebalance_policy, {"prices"}, {"target_weights"}, {"initial_capital"}, {"policy"},
      {"policy_param"}, {"segment", "\"equity_delivery\""}, {"min_trade_value", "0.0"},
      {"dp_charge_per_isin", "...", "15.34"}, {"periods_per_year", "252.0"})
TM_FN(indian_cost_schedule, {"segment"})

#undef TM_FN

// --- classes -------------------------------------------------------------------

#define TM_CTOR(CLASS, ...)                                 \
    constexpr Param pc_##CLASS[] = {__VA_ARGS__};           \
    const Sig sc_##CLASS{#CLASS, "__new__", pc_##CLASS};

TM_CTOR(OptimizerConfig, {"risk_aversion"}, {"turnover_penalty"}, {"position_cap"}, {"sector_ids"},
        {"sector_caps"}, {"no_trade_band", "0.0"}, {"min_trade_value", "0.0"}, {"portfolio_value", "0.0"},
        {"cash_max", "0.0"}, {"max_iter", "200"}, {"tolerance", "1e-8"}, {"short_cap", "0.0"},
        {"gross_max", "1.0"}, {"net_min", "0.0"}, {"net_max", "1.0"})
TM_CTOR(OptimizeItem, {"item_id"}, {"alpha"}, {"w_current"}, {"portfolio_value", "None"})

#undef TM_CTOR

constexpr PlaceholderClass kIndicator{"Indicator", "Streaming indicator with batch-identical values."};
constexpr PlaceholderClass kRiskModel{
    "RiskModel",
    "Shrunk covariance matrix plus the context needed to use it safely.\n\nCarries `periods_per_year` and "
    "`asset_ids` so annualization and asset\nordering travel with the matrix; consumers validate against them "
    "instead\nof trusting the caller."};
constexpr PlaceholderClass kOptimizerConfig{"OptimizerConfig",
                                            "Constraint and objective configuration for the long-only optimizer."};
constexpr PlaceholderClass kOptimizationResult{"OptimizationResult", "Result of one optimization."};
constexpr PlaceholderClass kRiskContributions{"RiskContributions", "Euler decomposition of portfolio volatility."};
constexpr PlaceholderClass kOptimizeItem{
    "OptimizeItem",
    "One user's book for `batch_optimize_portfolios`.\n\nThe item copies its arrays eagerly, under the interpreter "
    "lock, when it is\nconstructed, so that the batch loop can release the lock (the same pattern as\n"
    "`BatchSpreadItem`)."};
constexpr PlaceholderClass kRebalanceSimResult{"RebalanceSimResult", "Result of a rebalance-policy simulation."};
constexpr PlaceholderClass kRankIC{"RankIC", "Measured rank IC of a factor against forward returns."};

}  // namespace

void export_placeholders(Exports& ex) {
    ex.add_function(placeholder_def<s_run_basket_backtest>("Run basket/collective backtest."));
    ex.add_function(placeholder_def<s_run_portfolio_backtest>("Run a shared-capital portfolio backtest."));
    ex.add_function(placeholder_def<s_run_multi_backtest>("Run multi-strategy backtest."));
    ex.add_function(placeholder_def<s_sma>("Simple Moving Average."));
    ex.add_function(placeholder_def<s_ema>("Exponential Moving Average."));
    ex.add_function(placeholder_def<s_rsi>("Relative Strength Index."));
    ex.add_function(placeholder_def<s_macd>("MACD indicator."));
    ex.add_function(placeholder_def<s_stochastic>("Stochastic oscillator."));
    ex.add_function(placeholder_def<s_atr>("Average True Range."));
    ex.add_function(placeholder_def<s_bollinger_bands>("Bollinger Bands."));
    ex.add_function(placeholder_def<s_adx>("Average Directional Index."));
    ex.add_function(placeholder_def<s_vwap>("Volume Weighted Average Price."));
    ex.add_function(placeholder_def<s_supertrend>("Supertrend indicator."));
    ex.add_function(placeholder_def<s_rolling_min>("Rolling minimum."));
    ex.add_function(placeholder_def<s_rolling_max>("Rolling maximum."));
    ex.add_function(placeholder_def<s_simulate_portfolio_mc>("Run Monte Carlo forward simulation for a portfolio."));
    ex.add_function(placeholder_def<s_estimate_covariance>(
        "Estimate a Ledoit-Wolf constant-correlation shrunk covariance."));
    ex.add_function(placeholder_def<s_optimize_portfolio>("Optimize one long-only book seeded from current holdings."));
    ex.add_function(placeholder_def<s_batch_optimize_portfolios>(
        "Optimize many books against one risk model in parallel."));
    ex.add_function(placeholder_def<s_compute_risk_contributions>("Risk contributions of `weights` under `model`."));
    ex.add_function(placeholder_def<s_winsorize_panel>("Winsorize each row of a panel."));
    ex.add_function(placeholder_def<s_zscore_panel>("Cross-sectional z-scores of a panel."));
    ex.add_function(placeholder_def<s_rank_panel>("Cross-sectional ranks of a panel."));
    ex.add_function(placeholder_def<s_momentum_panel>("Momentum of a price panel."));
    ex.add_function(placeholder_def<s_composite_scores>("Weighted composite of factor panels."));
    ex.add_function(placeholder_def<s_rank_ic>(
        "Rank IC of a factor panel against `horizon`-ahead returns from `prices`."));
    ex.add_function(placeholder_def<s_simulate_rebalance_policy>(
        "Simulate following a target-weight series under a rebalance policy."));
    ex.add_function(placeholder_def<s_indian_cost_schedule>(
        "Export a segment's cost schedule, including the DP sell charge."));

    ex.add_class("Indicator", &placeholder_type<kIndicator>);
    ex.add_class("RiskModel", &placeholder_type<kRiskModel>);
    ex.add_class("OptimizerConfig", &placeholder_type_with_ctor<kOptimizerConfig, sc_OptimizerConfig>);
    ex.add_class("OptimizationResult", &placeholder_type<kOptimizationResult>);
    ex.add_class("RiskContributions", &placeholder_type<kRiskContributions>);
    ex.add_class("OptimizeItem", &placeholder_type_with_ctor<kOptimizeItem, sc_OptimizeItem>);
    ex.add_class("RebalanceSimResult", &placeholder_type<kRebalanceSimResult>);
    ex.add_class("RankIC", &placeholder_type<kRankIC>);
}

}  // namespace tidemark::py
