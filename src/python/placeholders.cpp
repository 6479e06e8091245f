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
TM_FN(run_options_backtest, {"timestamps"}, {"open"}, {"high"}, {"low"}, {"close"}, {"volume"}, {"option_prices"},
      {"entries"}, {"exits"}, {"direction", "1"}, {"symbol", "\"OPTION\""}, {"config", "None"},
      {"option_type", "\"call\""}, {"strike_selection", "\"atm\""}, {"size_type", "\"percent\""},
      {"size_value", "1.0"}, {"lot_size", "1"}, {"strike_interval", "50.0"}, {"option_open_prices", "None"})
TM_FN(run_pairs_backtest, {"leg1_timestamps"}, {"leg1_open"}, {"leg1_high"}, {"leg1_low"}, {"leg1_close"},
      {"leg1_volume"}, {"leg2_timestamps"}, {"leg2_open"}, {"leg2_high"}, {"leg2_low"}, {"leg2_close"},
      {"leg2_volume"}, {"entries"}, {"exits"}, {"direction", "1"}, {"symbol", "\"PAIR\""}, {"config", "None"},
      {"hedge_ratio", "1.0"}, {"dynamic_hedge", "False"})
TM_FN(run_multi_backtest, {"timestamps"}, {"open"}, {"high"}, {"low"}, {"close"}, {"volume"}, {"strategies"},
      {"config", "None"}, {"combine_mode", "\"any\""})
TM_FN(run_spread_backtest, {"timestamps"}, {"underlying_close"}, {"legs_premiums"}, {"leg_configs"}, {"entries"},
      {"exits"}, {"config", "None"}, {"spread_type", "\"custom\""}, {"max_loss", "None"},
      {"target_profit", "None"}, {"leg_expiry_timestamps", "None"}, {"legs_open_premiums", "None"})
TM_FN(run_tick_backtest, {"timestamps"}, {"ltp"}, {"bid"}, {"ask"}, {"buy_qty_delta"}, {"sell_qty_delta"}, {"oi"},
      {"entries"}, {"exits"}, {"symbol", "\"TICK\""}, {"initial_capital", "100000.0"}, {"fees", "0.001"},
      {"slippage", "0.0"}, {"stop_loss_pct", "5.0"}, {"take_profit_pct", "10.0"}, {"max_hold_seconds", "1800"},
      {"entry_cooldown_ticks", "10"}, {"max_trades", "...", "18446744073709551615"}, {"lot_size", "1"},
      {"quantity", "1"}, {"fee_segment", "None"})
TM_FN(batch_spread_backtest, {"timestamps"}, {"underlying_close"}, {"items"}, {"config", "None"})

// --- market data -----------------------------------------------------------
TM_FN(aggregate_bars, {"timestamps"}, {"open"}, {"high"}, {"low"}, {"close"}, {"volume"}, {"step"}, {"unit"},
      {"tz_offset_ns", "0"}, {"brick_size", "0.0"})
TM_FN(bars_from_ticks, {"timestamps"}, {"ltp"}, {"buy_qty_delta"}, {"sell_qty_delta"}, {"step"}, {"unit"},
      {"tz_offset_ns", "0"}, {"brick_size", "0.0"})
TM_FN(compute_tick_entry_signals, {"spread_pct"}, {"bsi_delta"}, {"return_1m"}, {"spread_pct_max", "5.0"},
      {"bsi_min", "0.0"}, {"return_1m_min_abs", "0.0"}, {"return_direction", "1"}, {"cooldown_ticks", "10"})
TM_FN(compute_tick_exit_signals, {"timestamps_ns"}, {"eod_exit_time_ns", "0"})
TM_FN(tick_spread_pct, {"bid"}, {"ask"})
TM_FN(buy_sell_imbalance_delta, {"buy_qty_cumulative"}, {"sell_qty_cumulative"})
TM_FN(return_window, {"timestamps_ns"}, {"ltp"}, {"window_seconds", "60.0"})
TM_FN(realized_vol_rolling, {"timestamps_ns"}, {"ltp"}, {"window_seconds", "300.0"})
TM_FN(oi_position_pct, {"oi"}, {"oi_day_high"}, {"oi_day_low"})
TM_FN(tick_velocity, {"timestamps_ns"}, {"window_seconds", "60.0"})

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

TM_CTOR(BarAggregator, {"step"}, {"unit"}, {"tz_offset_ns", "0"}, {"brick_size", "0.0"})
TM_CTOR(KernelSession, {"symbol", "\"ASSET\""}, {"direction", "1"}, {"config", "None"},
        {"instrument_config", "None"}, {"instrument", "None"}, {"oms_type", "\"netting\""},
        {"account_type", "\"cash\""}, {"leverage", "1.0"})
TM_CTOR(PortfolioSession, {"config", "None"}, {"account_type", "\"cash\""}, {"leverage", "1.0"})
TM_CTOR(BatchSpreadItem, {"strategy_id"}, {"legs_premiums"}, {"leg_configs"}, {"entries"}, {"exits"},
        {"spread_type", "\"custom\""}, {"max_loss", "None"}, {"target_profit", "None"},
        {"legs_open_premiums", "None"})
TM_CTOR(OptimizerConfig, {"risk_aversion"}, {"turnover_penalty"}, {"position_cap"}, {"sector_ids"},
        {"sector_caps"}, {"no_trade_band", "0.0"}, {"min_trade_value", "0.0"}, {"portfolio_value", "0.0"},
        {"cash_max", "0.0"}, {"max_iter", "200"}, {"tolerance", "1e-8"}, {"short_cap", "0.0"},
        {"gross_max", "1.0"}, {"net_min", "0.0"}, {"net_max", "1.0"})
TM_CTOR(OptimizeItem, {"item_id"}, {"alpha"}, {"w_current"}, {"portfolio_value", "None"})

#undef TM_CTOR

constexpr PlaceholderClass kBarAggregator{
    "BarAggregator",
    "Streaming bar aggregator.\n\nPush source records (finer bars or trades) in ascending time order; a\n"
    "completed bar is returned as `(timestamp, open, high, low, close,\nvolume)` when its boundary is crossed. "
    "Time bars are stamped with their\nwindow-end timestamp, so a bar labeled `t` contains only data before `t`."};
constexpr PlaceholderClass kKernelSession{
    "KernelSession",
    "Per-bar simulation session for one instrument.\n\nDrive it by calling `step` once per bar in ascending order, "
    "then `finish` to\nobtain the standard backtest result. Scalars cross the boundary per bar, so a\nPython driver "
    "loop pays one call per bar with no array allocation."};
constexpr PlaceholderClass kPortfolioSession{
    "PortfolioSession",
    "Multi-instrument session over deterministically merged bar streams.\n\nOne shared account funds every "
    "instrument. With `account_type=\"margin\"`\nthey also share one pool of locked initial margin, so leverage "
    "applies\nportfolio-wide and a margin call halts all instruments at once.\n\nProtocol: `add_instrument` + "
    "`set_bars` per symbol, `seal()`, then loop\n`current()` / `apply_current(...)` to completion and `finish()`."};
constexpr PlaceholderClass kEngineEvent{
    "EngineEvent",
    "One observable outcome of a session step.\n\n`kind` is `\"entered\"`, `\"exited\"`, `\"entry_rejected\"`, or "
    "one of the\norder-lifecycle kinds (`\"order_accepted\"`, `\"order_triggered\"`,\n`\"order_filled\"`, "
    "`\"order_canceled\"`, `\"order_expired\"`,\n`\"order_rejected\"`); the optional fields are populated "
    "according to the\nkind."};
constexpr PlaceholderClass kPositionSnapshot{"PositionSnapshot", "Read-only view of the session's open position."};
constexpr PlaceholderClass kBatchSpreadItem{"BatchSpreadItem", "A single spread backtest item for batch execution."};
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
    ex.add_function(placeholder_def<s_run_options_backtest>("Run options backtest."));
    ex.add_function(placeholder_def<s_run_pairs_backtest>("Run pairs trading backtest."));
    ex.add_function(placeholder_def<s_run_multi_backtest>("Run multi-strategy backtest."));
    ex.add_function(placeholder_def<s_run_spread_backtest>("Run spread backtest (multi-leg options)."));
    ex.add_function(placeholder_def<s_run_tick_backtest>("Run tick-level backtest on a single instrument."));
    ex.add_function(placeholder_def<s_batch_spread_backtest>("Run multiple spread backtests in parallel."));
    ex.add_function(placeholder_def<s_aggregate_bars>("Aggregate bars into coarser bars."));
    ex.add_function(placeholder_def<s_bars_from_ticks>(
        "Build bars from raw tick arrays (`ltp` + buy/sell quantity deltas)."));
    ex.add_function(placeholder_def<s_compute_tick_entry_signals>("Gated tick entry signals."));
    ex.add_function(placeholder_def<s_compute_tick_exit_signals>("Tick exit signals at the end-of-day time."));
    ex.add_function(placeholder_def<s_tick_spread_pct>("Bid-ask spread as a percentage of the mid price."));
    ex.add_function(placeholder_def<s_buy_sell_imbalance_delta>("Per-tick buy/sell imbalance delta."));
    ex.add_function(placeholder_def<s_return_window>("Return over a trailing time window."));
    ex.add_function(placeholder_def<s_realized_vol_rolling>("Rolling realized volatility over a time window."));
    ex.add_function(placeholder_def<s_oi_position_pct>("Open interest position within the day's range."));
    ex.add_function(placeholder_def<s_tick_velocity>("Ticks per second over a trailing time window."));
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

    ex.add_class("BarAggregator", &placeholder_type_with_ctor<kBarAggregator, sc_BarAggregator>);
    ex.add_class("KernelSession", &placeholder_type_with_ctor<kKernelSession, sc_KernelSession>);
    ex.add_class("PortfolioSession", &placeholder_type_with_ctor<kPortfolioSession, sc_PortfolioSession>);
    ex.add_class("EngineEvent", &placeholder_type<kEngineEvent>);
    ex.add_class("PositionSnapshot", &placeholder_type<kPositionSnapshot>);
    ex.add_class("BatchSpreadItem", &placeholder_type_with_ctor<kBatchSpreadItem, sc_BatchSpreadItem>);
    ex.add_class("RiskModel", &placeholder_type<kRiskModel>);
    ex.add_class("OptimizerConfig", &placeholder_type_with_ctor<kOptimizerConfig, sc_OptimizerConfig>);
    ex.add_class("OptimizationResult", &placeholder_type<kOptimizationResult>);
    ex.add_class("RiskContributions", &placeholder_type<kRiskContributions>);
    ex.add_class("OptimizeItem", &placeholder_type_with_ctor<kOptimizeItem, sc_OptimizeItem>);
    ex.add_class("RebalanceSimResult", &placeholder_type<kRebalanceSimResult>);
    ex.add_class("RankIC", &placeholder_type<kRankIC>);
}

}  // namespace tidemark::py
