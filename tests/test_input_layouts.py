"""Every entry that reads NumPy arrays gives bit-identical results whatever the layout of the arrays it is
given: contiguous, strided, reversed, unaligned, read-only or Fortran-ordered copies of the same values,
each on its own and mixed. A contiguous, aligned array may be read where it lies and the others are copied,
so this is where the two paths must agree. The entries are found in the registration table the way the
fuzz module finds them; parameters are filled by name. Results are compared deeply: arrays by dtype, shape
and bytes (so NaN payloads and -0.0 count), floats by their bits, records by their properties and views."""

import itertools
import struct
import warnings

import numpy as np
import pytest

import _tidemark as tm
from test_fuzz import CLASSES, ENTRIES, World

N = 96
_rng = np.random.default_rng(23)
u = lambda lo, hi, shape=N: _rng.uniform(lo, hi, shape)  # noqa: E731
walk = lambda start: start * np.exp(np.cumsum(_rng.normal(0.0, 0.02, N)))  # noqa: E731
CLOSE, CLOSE2 = walk(100.0), walk(50.0)
OPEN = np.r_[CLOSE[0], CLOSE[:-1]]
HIGH, LOW, VOLUME = np.maximum(OPEN, CLOSE) * u(1.0, 1.01), np.minimum(OPEN, CLOSE) * u(0.99, 1.0), u(1e3, 1e4)
LOW[7] = np.nan  # a hole, carried the same way on every path
TS = 1_700_000_000_000_000_000 + np.arange(N, dtype=np.int64) * 60_000_000_000
BARS = (TS, OPEN, HIGH, LOW, CLOSE, VOLUME)
BARS2 = (TS, CLOSE2 * 1.001, CLOSE2 * 1.01, CLOSE2 * 0.99, CLOSE2, VOLUME[::-1])
PANEL, WEIGHTS = _rng.normal(0.0005, 0.01, (N, 4)), np.array([0.4, 0.3, 0.2, 0.1])
PRICES = 100.0 * np.exp(np.cumsum(PANEL, axis=0))
ENTER, EXIT = np.zeros((2, N), np.uint8)
ENTER[3::13], EXIT[9::13], ENTER[60], EXIT[61] = 1, 1, 2, 2  # any non-zero byte is true
ENTER, EXIT = ENTER.view(np.bool_), EXIT.view(np.bool_)
LEGS = [("call", 100.0, 1, 50), ("put", 100.0, -1, 50)]


def optimizer_config():
    return tm.OptimizerConfig(2.0, 0.001, 0.5, VALUES["sector_ids"], VALUES["sector_caps"], portfolio_value=1e6)


# Arguments by parameter name (leg1_/leg2_ name the two legs of a pair); a callable is called afresh for
# each call. Arrays, also those inside lists and tuples, are put in the layout under test.
VALUES = dict(
    zip(("timestamps", "open", "high", "low", "close", "volume"), BARS), timestamps_ns=TS, data=CLOSE,
    entries=ENTER, exits=EXIT, position_sizes=u(0.2, 1.0), underlying_close=CLOSE, option_prices=CLOSE / 20.0,
    option_open_prices=OPEN / 20.0, ltp=CLOSE, bid=CLOSE * 0.999, ask=CLOSE * 1.001, buy_qty_delta=u(0, 50),
    sell_qty_delta=u(0, 50), oi=u(1e5, 2e5), ltq=u(0, 9), bid_qty=u(0, 99), ask_qty=u(0, 99),
    spread_pct=u(0.0, 0.2), bsi_delta=u(0.0, 1.0), return_1m=_rng.normal(0.0, 0.5, N),
    buy_qty_cumulative=np.cumsum(u(0, 50)), sell_qty_cumulative=np.cumsum(u(0, 50)),
    # one value per asset; dates x assets; snapshots x levels
    weights=WEIGHTS, alpha=np.array([0.02, -0.01, 0.015, 0.0]), w_current=np.array([0.25, 0.25, 0.25, 0.0]),
    sector_ids=np.array([0, 0, 1, 1], dtype=np.int64), sector_caps=np.array([0.7, 0.6]),
    returns=PANEL, values=PANEL, factor=PANEL, prices=PRICES, target_weights=np.tile(WEIGHTS * 0.9, (N, 1)),
    bid_prices=CLOSE[:, None] - np.arange(1.0, 4.0), ask_prices=CLOSE[:, None] + np.arange(1.0, 4.0),
    bid_sizes=u(1, 9, (N, 3)), ask_sizes=u(1, 9, (N, 3)),
    # everything else
    period=14, k_period=14, d_period=3, std_dev=2.0, multiplier=3.0, fast_period=12, slow_period=26,
    signal_period=9, step=5, unit="m", oi_day_high=2e5, oi_day_low=1e5, window_seconds=300.0,
    eod_exit_time_ns=int(TS[80]), symbol="X", config=tm.BacktestConfig, asset_ids=["A", "B", "C", "D"],
    periods_per_year=252.0, pct=0.05, min_names=2, lookback=5, skip=1, horizon=2, initial_capital=1e6,
    policy="band", policy_param=0.02, initial_value=1000.0, n_simulations=64, horizon_days=10,
    model=lambda: tm.estimate_covariance(PANEL, VALUES["asset_ids"], 252.0), item_id="book", strategy_id="s",
    legs_premiums=[CLOSE / 20.0, CLOSE[::-1] / 25.0], leg_configs=LEGS, factors=[PANEL, PANEL[::-1]],
    strategies=[(ENTER, EXIT, 1, 1.0, "trend"), (EXIT, ENTER, -1, 0.5, "fade")],
    instruments=[BARS + (ENTER, EXIT, 1, 1.0, "A"), BARS2 + (EXIT, ENTER, 1, 0.5, "B")],
    risk_aversion=2.0, turnover_penalty=0.001, position_cap=0.5, instrument=0,
)
VALUES |= {f"leg{i}_{k}": v for i, bars in ((1, BARS), (2, BARS2))
           for k, v in zip(("timestamps", "open", "high", "low", "close", "volume"), bars)}
# Per entry, where the names above do not fit.
SPECIAL = {
    "composite_scores": {"weights": np.array([0.7, 0.3])},
    "simulate_portfolio_mc": {"returns": list(PANEL.T), "correlation_matrix": list(np.corrcoef(PANEL.T))},
    "optimize_portfolio": {"config": optimizer_config},
    "batch_optimize_portfolios": {"config": optimizer_config, "items": lambda: [
        tm.OptimizeItem(k, s * VALUES["alpha"], VALUES["w_current"]) for k, s in (("a", 1), ("b", -1))]},
    "batch_spread_backtest": {"items": lambda: [tm.BatchSpreadItem("s", [CLOSE / 20.0, CLOSE / 30.0], LEGS,
                                                                   ENTER, EXIT)]},
    "bars_from_ticks": {"unit": "tick"},
    "compute_tick_entry_signals": {"bsi_min": 0.5, "return_1m_min_abs": 0.2, "cooldown_ticks": 2},
    "run_basket_backtest": {"sync_mode": "master"},  # the instruments' flags never agree: "all" would not trade
}
# Entries the fuzz module learns array kinds for that read no NumPy array: a sequence of ids, read item by
# item (any sequence does), and a property of a record.
NOT_ARRAY_READING = {"KernelSession.link_oco", "PortfolioSession.link_oco", "OptimizerConfig.sector_ids",
                     "OptimizerConfig.sector_caps"}
ARRAY_KINDS, SCALAR_KINDS = {"f64", "i64", "bool[]", "mat"}, {"float", "int", "bool", "str"}
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    World()  # learns the kind each parameter of each entry takes


def _flatten(value):
    if isinstance(value, (list, tuple)):
        return [a for v in value for a in _flatten(v)]
    return [value] if isinstance(value, np.ndarray) else []


def _reads_arrays(entry):
    """Whether an entry takes arrays: as the probe learnt, or by the arrays given for it here where the probe
    learnt nothing. Methods are called on a portfolio session only: one of another class that reads arrays
    fails the coverage test."""
    if entry.ident in NOT_ARRAY_READING or entry.kind == "method" and entry.cls is not tm.PortfolioSession:
        return False
    given = VALUES | SPECIAL.get(entry.ident, {})
    return any(entry.kinds.get(p.name) in ARRAY_KINDS or entry.kinds.get(p.name) not in SCALAR_KINDS and
               _flatten(given.get(p.name)) for p in entry.params)


ARRAY_ENTRIES = {e.ident: e for e in ENTRIES if e.params and _reads_arrays(e)}  # a property has no params


def _arguments(entry):
    given = VALUES | SPECIAL.get(entry.ident, {})
    missing = [p.name for p in entry.params if p.name not in given and p.default is p.empty]
    assert not missing, f"{entry.ident}: no value for the required {missing}"
    return {p.name: given[p.name]() if callable(given[p.name]) else given[p.name]
            for p in entry.params if p.name in given}


class Mutator:
    """A number whose conversion writes into the arrays already passed, as a callback may."""

    def __init__(self, value, arrays):
        self.value, self.arrays = value, arrays

    def __index__(self):
        for a in self.arrays:
            a[...] = a[::-1].copy() if a.dtype == np.bool_ else -2 * a  # new values (and covariances), same dtype
        return self.value

    def __float__(self):
        return float(self.__index__())


def _spoiled(entry, kwargs):
    """`kwargs` with the first number converted after arrays made a Mutator of the arrays before it: a number
    parameter after an array, or the last number of the last tuple in a list of tuples after arrays or holding
    them (such as the instruments of the portfolio runner), converted after every array of the list. None if
    there is none."""
    before = []
    for p in entry.params:
        value = kwargs.get(p.name, p.default)
        if type(value) in (int, float) and before:
            return kwargs | {p.name: Mutator(value, before)}
        before += _flatten(value)
        if isinstance(value, list) and value and isinstance(value[-1], tuple) and before:
            *rows, row = value
            j = max((j for j, v in enumerate(row) if type(v) in (int, float)), default=None)
            if j is not None:
                return kwargs | {p.name: rows + [row[:j] + (Mutator(row[j], before),) + row[j + 1:]]}
    return None


LAYOUTS = {
    "contiguous": np.copy,
    "strided": lambda a: np.repeat(a, 2, axis=-1)[..., ::2],  # every other item of a doubled array
    "reversed": lambda a: np.flip(np.flip(a).copy()),  # the values in their order, read through negative strides
    "unaligned": lambda a: np.frombuffer(bytearray(1) + a.tobytes(), a.dtype, offset=1).reshape(a.shape),
    "read-only": lambda a: np.lib.stride_tricks.as_strided(a.copy(), writeable=False),
    "fortran": np.asfortranarray,
}


def _dress(value, layouts):
    """`value` with each array in it put in the next layout `layouts` yields."""
    if isinstance(value, (list, tuple)):
        return type(value)(_dress(v, layouts) for v in value)
    if not isinstance(value, np.ndarray):
        return value
    out = LAYOUTS[next(layouts)](value)
    assert np.array_equal(out, value, equal_nan=True) and out.dtype == value.dtype
    return out


def canon(value, depth=0):
    """A value reduced to plain, exactly comparable parts; a record by its properties and the results of its
    zero-argument methods, which only read it."""
    assert depth < 8, "result nested too deeply to compare"
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, np.ascontiguousarray(value).tobytes())
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [canon(v, depth + 1) for v in value])
    if isinstance(value, dict):
        return ("dict", sorted((k, canon(v, depth + 1)) for k, v in value.items()))
    cls = type(value)
    assert CLASSES.get(cls.__name__) is cls, f"cannot compare a {cls.__name__}"
    views = [(n, a) for n, a in sorted(vars(cls).items()) if not n.startswith("_") and (
        getattr(a, "__text_signature__", None) == "($self)" if callable(a) else hasattr(a, "__get__"))]
    return (cls.__name__, [(n, canon(getattr(value, n)() if callable(a) else getattr(value, n), depth + 1))
                           for n, a in views])


# Records that hold arrays they do not show: compared by what a run of them gives as well.
RUN = {tm.BatchSpreadItem: lambda item: tm.batch_spread_backtest(TS, CLOSE, [item]),
       tm.OptimizeItem: lambda item: tm.batch_optimize_portfolios(VALUES["model"](), [item], optimizer_config())}


def outcome(entry, form):
    """What one call with every array in layout `form` gives, its result or its error; "mixed" gives each
    array the next layout in turn, "mutated" spoils the contiguous arrays once they have been passed."""
    layouts = itertools.cycle(LAYOUTS if form == "mixed" else ["contiguous" if form == "mutated" else form])
    kwargs = {k: _dress(v, layouts) for k, v in _arguments(entry).items()}
    kwargs = _spoiled(entry, kwargs) if form == "mutated" else kwargs
    try:
        if entry.kind != "method":
            result = entry.target(**kwargs)
            return canon((result, RUN[type(result)](result)) if type(result) in RUN else result)
        session = tm.PortfolioSession(tm.BacktestConfig(fees=0.0005))  # given the data, then stepped to its end
        session.add_instrument("A")
        returned, events = getattr(session, entry.name)(**kwargs), []
        session.seal()
        while session.remaining():
            i = len(events)
            events.append((session.current_depth(), session.apply_current(entry=i % 11 == 0, exit=i % 11 == 6)))
        return canon((returned, events, session.finish()))
    except Exception as exc:  # noqa: BLE001 - an error must be the same on every path too
        return ("raised", type(exc).__name__, str(exc))


def test_every_entry_reading_arrays_is_covered_and_returns():
    learnt = {e.ident for e in ENTRIES if ARRAY_KINDS & set(e.kinds.values())} - NOT_ARRAY_READING
    assert learnt <= set(ARRAY_ENTRIES), sorted(learnt - set(ARRAY_ENTRIES))
    for ident, entry in ARRAY_ENTRIES.items():  # the comparisons only mean something when calls get through
        result = outcome(entry, "contiguous")
        assert not (isinstance(result, tuple) and result[0] == "raised"), (ident, result)


@pytest.mark.parametrize("ident, form", [(i, f) for i in sorted(ARRAY_ENTRIES) for f in [*LAYOUTS][1:] + ["mixed"]] + [
    (i, "mutated") for i in sorted(ARRAY_ENTRIES) if _spoiled(ARRAY_ENTRIES[i], _arguments(ARRAY_ENTRIES[i]))])
def test_every_layout_gives_the_same_result(ident, form):
    # "mutated": a later argument's __index__ or __float__ (or a later item's, in a list of tuples) changes
    # the arrays already passed; the call must see them as they were when it read them, as a copy would.
    assert outcome(ARRAY_ENTRIES[ident], form) == outcome(ARRAY_ENTRIES[ident], "contiguous")
