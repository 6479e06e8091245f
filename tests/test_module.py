"""Module start-up: registered names, constants, signatures, docs and argument binding."""

import importlib
import importlib.util
import shutil
import subprocess
import sys
import textwrap
import types

import pytest

import _tidemark as tm

CONSTANTS = ["SESSION_NSE", "SESSION_MCX", "SESSION_CDS", "SESSION_CONTINUOUS", "IST_OFFSET_NS"]

ALL_NAMES = CONSTANTS + [
    "BacktestConfig", "InstrumentConfig", "StopConfig", "TargetConfig", "BacktestResult",
    "BacktestMetrics", "Trade", "PortfolioResult", "InstrumentSummary",
    "run_single_backtest", "run_basket_backtest", "run_portfolio_backtest", "run_options_backtest",
    "run_pairs_backtest", "run_multi_backtest", "run_spread_backtest", "run_tick_backtest",
    "InstrumentSpec", "Indicator", "BarAggregator", "aggregate_bars", "bars_from_ticks",
    "KernelSession", "PortfolioSession", "EngineEvent", "PositionSnapshot", "resolve_atr_period",
    "BatchSpreadItem", "batch_spread_backtest", "simulate_portfolio_mc",
    "RiskModel", "OptimizerConfig", "OptimizationResult", "RiskContributions", "OptimizeItem",
    "RebalanceSimResult", "RankIC",
    "estimate_covariance", "optimize_portfolio", "batch_optimize_portfolios",
    "compute_risk_contributions", "winsorize_panel", "zscore_panel", "rank_panel", "momentum_panel",
    "composite_scores", "rank_ic", "simulate_rebalance_policy", "indian_cost_schedule",
    "compute_tick_entry_signals", "compute_tick_exit_signals", "tick_spread_pct",
    "buy_sell_imbalance_delta", "return_window", "realized_vol_rolling", "oi_position_pct",
    "tick_velocity",
    "sma", "ema", "rsi", "macd", "stochastic", "atr", "bollinger_bands", "adx", "vwap", "supertrend",
    "rolling_min", "rolling_max",
]

BACKTEST_CONFIG_SIG = (
    "(initial_capital=100000.0, fees=0.001, slippage=0.0, upon_bar_close=True, apply_slippage=True, "
    "periods_per_year=None, risk_free_rate=0.0, session_minutes=None, fee_segment=None, "
    "max_positions=None, max_drawdown_pct=None, legacy_annualization=False, fill_prob_limit=1.0, "
    "fill_prob_slippage=0.0, fill_seed=0, bar_path_adaptive=False, queue_fill_model=False, "
    "partial_fills=False, order_latency_ns=0, session_tz_offset_ns=0, limit_slippage=0.0, "
    "liquidate_on_margin_call=False, squareoff_time=None, fill_timing=None)"
)

# name -> (text signature or None, documentation; a str ending in "..." is a first line only)
CLASSES = {
    "BacktestConfig": (BACKTEST_CONFIG_SIG, "Python-exposed backtest configuration.\n..."),
    "InstrumentConfig": ("(lot_size=None, alloted_capital=None, existing_qty=None, avg_price=None)",
                         "Python-exposed per-instrument configuration."),
    "StopConfig": ("()", "Python-exposed stop configuration."),
    "TargetConfig": ("()", "Python-exposed target configuration."),
    "BacktestResult": (None, "Python-exposed backtest result."),
    "BacktestMetrics": (None, "Python-exposed backtest metrics."),
    "Trade": (None, "Python-exposed trade."),
    "PortfolioResult": (None, "Result of a shared-capital portfolio backtest.\n..."),
    "InstrumentSummary": (None, "Per-instrument attribution from a portfolio backtest."),
    "InstrumentSpec": (None, "Python-exposed instrument market definition."),
    "Indicator": (None, "Streaming indicator with batch-identical values.\n..."),
    "BarAggregator": (
        "(step, unit, tz_offset_ns=0, brick_size=0.0)",
        "Streaming bar aggregator.\n..."),
    "KernelSession": (
        '(symbol="ASSET", direction=1, config=None, instrument_config=None, instrument=None, '
        'oms_type="netting", account_type="cash", leverage=1.0)',
        "Per-bar simulation session for one instrument.\n..."),
    "PortfolioSession": (
        '(config=None, account_type="cash", leverage=1.0)',
        "Multi-instrument session over deterministically merged bar streams.\n..."),
    "EngineEvent": (
        None,
        "One observable outcome of a session step.\n..."),
    "PositionSnapshot": (None, "Read-only view of the session's open position."),
    "BatchSpreadItem": (
        '(strategy_id, legs_premiums, leg_configs, entries, exits, spread_type="custom", max_loss=None, '
        "target_profit=None, legs_open_premiums=None)",
        "A single spread backtest item for batch execution."),
    "RiskModel": (
        None,
        "Shrunk covariance matrix plus the context needed to use it safely.\n\nCarries `periods_per_year` "
        "and `asset_ids` so annualization and asset\nordering travel with the matrix; consumers validate "
        "against them instead\nof trusting the caller."),
    "OptimizerConfig": (
        "(risk_aversion, turnover_penalty, position_cap, sector_ids, sector_caps, no_trade_band=0.0, "
        "min_trade_value=0.0, portfolio_value=0.0, cash_max=0.0, max_iter=200, tolerance=1e-8, "
        "short_cap=0.0, gross_max=1.0, net_min=0.0, net_max=1.0)",
        "Constraint and objective configuration for the book optimizer.\n..."),
    "OptimizationResult": (None, "Result of one optimization."),
    "RiskContributions": (None, "Euler decomposition of portfolio volatility."),
    "OptimizeItem": ("(item_id, alpha, w_current, portfolio_value=None)",
                     "One user's book for `batch_optimize_portfolios`.\n..."),
    "RebalanceSimResult": (None, "Result of a rebalance-policy simulation."),
    "RankIC": (None, "Measured rank IC of a factor against forward returns."),
}

FUNCTIONS = {
    "run_single_backtest": "(timestamps, open, high, low, close, volume, entries, exits, direction=1, "
                           'weight=1.0, symbol="UNKNOWN", config=None, position_sizes=None, instrument_config=None)',
    "run_basket_backtest": '(instruments, config=None, sync_mode="all", instrument_configs=None)',
    "run_portfolio_backtest": '(instruments, config=None, allocation="equal_weight", instrument_configs=None)',
    "run_options_backtest": "(timestamps, open, high, low, close, volume, option_prices, entries, exits, "
                            'direction=1, symbol="OPTION", config=None, option_type="call", strike_selection="atm", '
                            'size_type="percent", size_value=1.0, lot_size=1, strike_interval=50.0, '
                            "option_open_prices=None)",
    "run_pairs_backtest": "(leg1_timestamps, leg1_open, leg1_high, leg1_low, leg1_close, leg1_volume, "
                          "leg2_timestamps, leg2_open, leg2_high, leg2_low, leg2_close, leg2_volume, entries, "
                          'exits, direction=1, symbol="PAIR", config=None, hedge_ratio=1.0, dynamic_hedge=False)',
    "run_multi_backtest": "(timestamps, open, high, low, close, volume, strategies, config=None, "
                          'combine_mode="any")',
    "run_spread_backtest": "(timestamps, underlying_close, legs_premiums, leg_configs, entries, exits, "
                           'config=None, spread_type="custom", max_loss=None, target_profit=None, '
                           "leg_expiry_timestamps=None, legs_open_premiums=None)",
    "run_tick_backtest": "(timestamps, ltp, bid, ask, buy_qty_delta, sell_qty_delta, oi, entries, exits, "
                         'symbol="TICK", initial_capital=100000.0, fees=0.001, slippage=0.0, stop_loss_pct=5.0, '
                         "take_profit_pct=10.0, max_hold_seconds=1800, entry_cooldown_ticks=10, max_trades=..., "
                         "lot_size=1, quantity=1, fee_segment=None)",
    "aggregate_bars": "(timestamps, open, high, low, close, volume, step, unit, tz_offset_ns=0, brick_size=0.0)",
    "bars_from_ticks": "(timestamps, ltp, buy_qty_delta, sell_qty_delta, step, unit, tz_offset_ns=0, "
                       "brick_size=0.0)",
    "resolve_atr_period": "(config=None, instrument_config=None)",
    "batch_spread_backtest": "(timestamps, underlying_close, items, config=None)",
    "simulate_portfolio_mc": "(returns, weights, correlation_matrix, initial_value, n_simulations=10000, "
                             "horizon_days=252, seed=42)",
    "estimate_covariance": "(returns, asset_ids, periods_per_year)",
    "optimize_portfolio": "(model, alpha, w_current, asset_ids, config)",
    "batch_optimize_portfolios": "(model, items, config)",
    "compute_risk_contributions": "(model, weights, asset_ids)",
    "winsorize_panel": "(values, pct)",
    "zscore_panel": "(values, min_names)",
    "rank_panel": "(values, min_names)",
    "momentum_panel": "(prices, lookback, skip)",
    "composite_scores": "(factors, weights)",
    "rank_ic": "(factor, prices, horizon, min_names)",
    "simulate_rebalance_policy": "(prices, target_weights, initial_capital, policy, policy_param, "
                                 'segment="equity_delivery", min_trade_value=0.0, dp_charge_per_isin=..., '
                                 "periods_per_year=252.0)",
    "indian_cost_schedule": "(segment)",
    "compute_tick_entry_signals": "(spread_pct, bsi_delta, return_1m, spread_pct_max=5.0, bsi_min=0.0, "
                                  "return_1m_min_abs=0.0, return_direction=1, cooldown_ticks=10)",
    "compute_tick_exit_signals": "(timestamps_ns, eod_exit_time_ns=0)",
    "tick_spread_pct": "(bid, ask)",
    "buy_sell_imbalance_delta": "(buy_qty_cumulative, sell_qty_cumulative)",
    "return_window": "(timestamps_ns, ltp, window_seconds=60.0)",
    "realized_vol_rolling": "(timestamps_ns, ltp, window_seconds=300.0)",
    "oi_position_pct": "(oi, oi_day_high, oi_day_low)",
    "tick_velocity": "(timestamps_ns, window_seconds=60.0)",
    "sma": "(data, period)",
    "ema": "(data, period)",
    "rsi": "(data, period)",
    "macd": "(data, fast_period=12, slow_period=26, signal_period=9)",
    "stochastic": "(high, low, close, k_period=14, d_period=3)",
    "atr": "(high, low, close, period)",
    "bollinger_bands": "(data, period=20, std_dev=2.0)",
    "adx": "(high, low, close, period)",
    "vwap": "(high, low, close, volume)",
    "supertrend": "(high, low, close, period=10, multiplier=3.0)",
    "rolling_min": "(data, period)",
    "rolling_max": "(data, period)",
}

# Every function and constructor binds its arguments by the same rules.
CONSTRUCTORS = [name for name, (sig, _) in CLASSES.items() if sig is not None]
NO_CONSTRUCTOR = [name for name, (sig, _) in CLASSES.items() if sig is None]


def parameters(sig):
    """[(name, required)] from a text signature such as "(a, b=1)"."""
    inner = sig[1:-1]
    return [(p.partition("=")[0], "=" not in p) for p in inner.split(", ")] if inner else []


def quoted(names):
    q = [f"'{n}'" for n in names]
    if len(q) <= 2:
        return " and ".join(q)
    return ", ".join(q[:-1]) + ", and " + q[-1]


def _binding_cases():
    """(callable, full name in messages, text signature) for every entry point that binds arguments."""
    for name in FUNCTIONS:
        yield pytest.param(name, f"{name}()", FUNCTIONS[name], id=name)
    for name in CONSTRUCTORS:
        yield pytest.param(name, f"{name}.__new__()", CLASSES[name][0], id=name)


BINDING_ERROR_CASES = list(_binding_cases())


def test_all_lists_the_74_names_in_registration_order():
    assert len(ALL_NAMES) == 74 and len(FUNCTIONS) == 45 and len(CLASSES) == 24
    assert isinstance(tm.__all__, list)
    assert tm.__all__ == ALL_NAMES
    assert all(hasattr(tm, name) for name in ALL_NAMES)
    assert tm.__name__ == "_tidemark"
    assert tm.__doc__ == "Python module entry point"


@pytest.mark.parametrize("name, value", [
    ("SESSION_NSE", 375.0), ("SESSION_MCX", 870.0), ("SESSION_CDS", 480.0),
    ("SESSION_CONTINUOUS", 0.0), ("IST_OFFSET_NS", 19_800_000_000_000),
])
def test_constants(name, value):
    got = getattr(tm, name)
    assert type(got) is type(value)
    assert got == value


@pytest.mark.parametrize("name", list(CLASSES))
def test_class_identity_signature_and_doc(name):
    cls = getattr(tm, name)
    sig, doc = CLASSES[name]
    assert isinstance(cls, type)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name and cls.__name__ == name
    assert cls.__text_signature__ == sig
    if doc.endswith("\n..."):
        first = doc[:-4]
        assert cls.__doc__.startswith(first + "\n\n") and len(cls.__doc__) > len(first) + 20
    else:
        assert cls.__doc__ == doc


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_identity_and_signature(name):
    fn = getattr(tm, name)
    assert isinstance(fn, types.BuiltinFunctionType)
    assert fn.__module__ == "_tidemark"
    assert fn.__self__ is tm
    assert fn.__name__ == name and fn.__qualname__ == name
    assert fn.__text_signature__ == FUNCTIONS[name]


def test_reinitialising_yields_the_same_module():
    saved = sys.modules.pop("_tidemark")
    try:
        again = importlib.import_module("_tidemark")
    finally:
        sys.modules["_tidemark"] = saved
    assert again is saved
    assert again.__all__ == ALL_NAMES


@pytest.mark.skipif(importlib.util.find_spec("_xxsubinterpreters") is None,
                    reason="no subinterpreter support in this Python")
def test_second_interpreter_is_refused():
    script = textwrap.dedent('''
        import _tidemark, _xxsubinterpreters as interpreters
        code = """
        import os
        try:
            import _tidemark
        except ImportError as exc:
            os.write(1, ("ImportError: " + str(exc)).encode())
        else:
            os.write(1, b"imported")
        """
        interpreters.run_string(interpreters.create(), code)
        print()
        print(len(_tidemark.__all__))
    ''')
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    sub_line, main_line = out.stdout.strip().splitlines()
    assert sub_line.startswith("ImportError: ")
    assert "subinterpreter" in sub_line.lower()
    assert main_line == "74"


def test_package_reexports_every_name():
    import tidemark
    assert tidemark.__all__ == ALL_NAMES
    for name in ALL_NAMES:
        assert getattr(tidemark, name) is getattr(tm, name), name


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", tm.__file__], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    linker = {"_init", "_fini", "_edata", "_end", "__bss_start"}
    exported = [parts[-1] for parts in map(str.split, out.stdout.splitlines())
                if len(parts) == 3 and parts[-1] not in linker]
    assert exported == ["PyInit__tidemark"]


@pytest.mark.parametrize("name, full, sig", BINDING_ERROR_CASES)
def test_binding_errors_come_first(name, full, sig):
    target = getattr(tm, name)
    params = parameters(sig)
    names = [p for p, _ in params]
    required = [p for p, req in params if req]
    with pytest.raises(TypeError) as exc:
        target(*range(len(params) + 1))
    given = len(params) + 1
    verb = "was" if given == 1 else "were"
    if len(required) == len(params):
        assert str(exc.value) == f"{full} takes {len(params)} positional arguments but {given} {verb} given"
    else:
        assert str(exc.value) == (f"{full} takes from {len(required)} to {len(params)} positional "
                                  f"arguments but {given} {verb} given")
    with pytest.raises(TypeError) as exc:
        target(*[None] * len(required), no_such_arg=1)
    assert str(exc.value) == f"{full} got an unexpected keyword argument 'no_such_arg'"
    if names:
        with pytest.raises(TypeError) as exc:
            target(None, **{names[0]: None})
        assert str(exc.value) == f"{full} got multiple values for argument '{names[0]}'"
    if required:
        with pytest.raises(TypeError) as exc:
            target()
        plural = "argument" if len(required) == 1 else "arguments"
        assert str(exc.value) == (f"{full} missing {len(required)} required positional {plural}: "
                                  f"{quoted(required)}")


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor(name):
    with pytest.raises(TypeError) as exc:
        getattr(tm, name)()
    assert str(exc.value) == "No constructor defined"
