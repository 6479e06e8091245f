"""Every entry that reads NumPy arrays gives bit-identical results whatever the layout of the arrays it is
given: contiguous, strided, reversed, unaligned or read-only copies of the same values, each on its own
and mixed. A contiguous, aligned array may be read where it lies and the others are copied, so this is
where the two paths must agree. The entries are found in the registration table the way the fuzz
module finds them; parameters are filled by name. Results are compared deeply: arrays by dtype, shape
and bytes (so NaN payloads and -0.0 count), floats by their bits, records by their properties and
read-only views."""

import struct
import warnings

import numpy as np
import pytest

import _tidemark as tm
from test_fuzz import ENTRIES, World

N = 96
_rng = np.random.default_rng(23)
CLOSE = 100.0 * np.exp(np.cumsum(_rng.normal(0.0, 0.02, N)))
OPEN = np.concatenate(([CLOSE[0]], CLOSE[:-1]))
HIGH = np.maximum(OPEN, CLOSE) * (1.0 + np.abs(_rng.normal(0.0, 0.01, N)))
LOW = np.minimum(OPEN, CLOSE) * (1.0 - np.abs(_rng.normal(0.0, 0.01, N)))
LOW[7] = np.nan  # a hole, carried the same way on every path
VOLUME = _rng.uniform(1e3, 1e4, N)
TS = 1_700_000_000_000_000_000 + np.arange(N, dtype=np.int64) * 60_000_000_000
CLOSE2 = 50.0 * np.exp(np.cumsum(_rng.normal(0.0, 0.02, N)))


def _flags(first, every, odd_byte_at):
    raw = np.zeros(N, np.uint8)
    raw[first::every] = 1
    raw[odd_byte_at] = 2  # any non-zero byte is true
    return raw.view(np.bool_)


ENTRY_FLAGS, EXIT_FLAGS = _flags(3, 13, 60), _flags(9, 13, 61)
ASSETS = ["A", "B", "C", "D"]
PANEL = _rng.normal(0.0005, 0.01, (N, len(ASSETS)))
PRICES = 100.0 * np.exp(np.cumsum(PANEL, axis=0))
WEIGHTS = np.array([0.4, 0.3, 0.2, 0.1])

# 1-D arrays by parameter name; leg1_/leg2_ name the two legs of a pair.
ARRAYS = {
    "timestamps": TS, "timestamps_ns": TS, "open": OPEN, "high": HIGH, "low": LOW, "close": CLOSE,
    "volume": VOLUME, "entries": ENTRY_FLAGS, "exits": EXIT_FLAGS, "position_sizes": _rng.uniform(0.2, 1.0, N),
    "option_prices": CLOSE / 20.0, "option_open_prices": OPEN / 20.0, "underlying_close": CLOSE,
    "ltp": CLOSE, "bid": CLOSE * 0.999, "ask": CLOSE * 1.001, "buy_qty_delta": _rng.uniform(0, 50, N),
    "sell_qty_delta": _rng.uniform(0, 50, N), "oi": _rng.uniform(1e5, 2e5, N), "ltq": _rng.uniform(0, 9, N),
    "bid_qty": _rng.uniform(0, 99, N), "ask_qty": _rng.uniform(0, 99, N), "data": CLOSE,
    "spread_pct": _rng.uniform(0.0, 0.2, N), "bsi_delta": _rng.uniform(0.0, 1.0, N),
    "return_1m": _rng.normal(0.0, 0.5, N), "buy_qty_cumulative": np.cumsum(_rng.uniform(0, 50, N)),
    "sell_qty_cumulative": np.cumsum(_rng.uniform(0, 50, N)),
    "weights": WEIGHTS, "alpha": np.array([0.02, -0.01, 0.015, 0.0]), "w_current": np.array([0.25, 0.25, 0.25, 0.0]),
    "sector_ids": np.array([0, 0, 1, 1], dtype=np.int64), "sector_caps": np.array([0.7, 0.6]),
}
ARRAYS |= {f"leg1_{k}": v for k, v in ARRAYS.items() if k in ("timestamps", "open", "high", "low", "close", "volume")}
ARRAYS |= {"leg2_timestamps": TS, "leg2_open": CLOSE2 * 1.001, "leg2_high": CLOSE2 * 1.01, "leg2_low": CLOSE2 * 0.99,
           "leg2_close": CLOSE2, "leg2_volume": VOLUME[::-1].copy()}
# 2-D arrays (dates x assets, snapshots x levels).
MATRICES = {"returns": PANEL, "values": PANEL, "prices": PRICES, "factor": PANEL,
            "target_weights": np.tile(WEIGHTS * 0.9, (N, 1)),
            "bid_prices": CLOSE[:, None] - np.arange(1.0, 4.0), "ask_prices": CLOSE[:, None] + np.arange(1.0, 4.0),
            "bid_sizes": _rng.uniform(1, 9, (N, 3)), "ask_sizes": _rng.uniform(1, 9, (N, 3))}


def _risk_model():
    return tm.estimate_covariance(PANEL, ASSETS, 252.0)


def _optimizer_config(sector_ids=ARRAYS["sector_ids"], sector_caps=ARRAYS["sector_caps"]):
    return tm.OptimizerConfig(2.0, 0.001, 0.5, sector_ids, sector_caps, portfolio_value=1e6)


LEGS = [("call", 100.0, 1, 50), ("put", 100.0, -1, 50)]
# Everything else an entry needs, by parameter name; a callable is made afresh for each call. Arrays may
# also sit inside lists and tuples here: they are dressed like the others.
SCALARS = {
    "period": 14, "k_period": 14, "d_period": 3, "std_dev": 2.0, "multiplier": 3.0, "fast_period": 12,
    "slow_period": 26, "signal_period": 9, "step": 5, "unit": "m", "oi_day_high": 2e5, "oi_day_low": 1e5,
    "window_seconds": 300.0, "eod_exit_time_ns": int(TS[80]), "symbol": "X", "config": lambda: tm.BacktestConfig(),
    "asset_ids": ASSETS, "periods_per_year": 252.0, "pct": 0.05, "min_names": 2, "lookback": 5, "skip": 1,
    "horizon": 2, "initial_capital": 1e6, "policy": "band", "policy_param": 0.02, "initial_value": 1000.0,
    "n_simulations": 64, "horizon_days": 10, "model": _risk_model, "item_id": "book", "strategy_id": "s",
    "legs_premiums": [CLOSE / 20.0, CLOSE[::-1] / 25.0], "leg_configs": LEGS,
    "strategies": [(ENTRY_FLAGS, EXIT_FLAGS, 1, 1.0, "trend"), (EXIT_FLAGS, ENTRY_FLAGS, -1, 0.5, "fade")],
    "instruments": [(TS, OPEN, HIGH, LOW, CLOSE, VOLUME, ENTRY_FLAGS, EXIT_FLAGS, 1, 1.0, "A"),
                    (TS, CLOSE2, CLOSE2 * 1.01, CLOSE2 * 0.99, CLOSE2, VOLUME, EXIT_FLAGS, ENTRY_FLAGS, 1, 0.5, "B")],
    "factors": [PANEL, PANEL[::-1].copy()], "risk_aversion": 2.0, "turnover_penalty": 0.001, "position_cap": 0.5,
    "instrument": 0,
}
# Per entry, where the names above do not fit.
SPECIAL = {
    "composite_scores": {"weights": np.array([0.7, 0.3])},
    "simulate_portfolio_mc": {"returns": list(PANEL.T), "correlation_matrix": list(np.corrcoef(PANEL.T))},
    "optimize_portfolio": {"config": _optimizer_config},
    "batch_optimize_portfolios": {"items": lambda: [tm.OptimizeItem("a", ARRAYS["alpha"], ARRAYS["w_current"]),
                                                    tm.OptimizeItem("b", -ARRAYS["alpha"], ARRAYS["w_current"])],
                                  "config": _optimizer_config},
    "batch_spread_backtest": {"items": lambda: [tm.BatchSpreadItem("s", [CLOSE / 20.0, CLOSE / 30.0], LEGS,
                                                                   ENTRY_FLAGS, EXIT_FLAGS)]},
    "bars_from_ticks": {"unit": "tick"},
    "run_basket_backtest": {"sync_mode": "master"},  # the instruments' flags never agree: "all" would not trade
}
# Entries the fuzz module learns array kinds for that read no NumPy array: a sequence of ids, read item by
# item (any sequence does), and a property of a record.
NOT_ARRAY_READING = {"KernelSession.link_oco", "PortfolioSession.link_oco", "OptimizerConfig.sector_ids",
                     "OptimizerConfig.sector_caps"}


def _session_result(session):
    """What a session holding the data it was given ends with: every event stepped, then its result."""
    session.seal()
    events, i = [], 0
    while session.remaining():
        events.append(session.apply_current(entry=i % 11 == 0, exit=i % 11 == 6))
        i += 1
    return events, session.finish()


def _new_portfolio_session():
    s = tm.PortfolioSession(tm.BacktestConfig(fees=0.0005))
    s.add_instrument("A")
    return s


# Methods: (a fresh receiver, what to read from it after the call).
RECEIVERS = {"PortfolioSession": (_new_portfolio_session, _session_result)}


def _is_array_param(name):
    return name in ARRAYS or name in MATRICES


with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    WORLD = World()  # what the fuzz module learns each parameter of each entry takes
ARRAY_KINDS = {"f64", "i64", "bool[]", "mat"}
SCALAR_KINDS = {"float", "int", "bool", "str"}


def _flatten(value):
    if isinstance(value, np.ndarray):
        return [value]
    if isinstance(value, (list, tuple)):
        return [a for v in value for a in _flatten(v)]
    return []


def _reads_arrays(entry):
    """Whether an entry takes arrays: as the probe learnt, or by name (or by the arrays in the lists given
    for it here) where the probe learnt nothing."""
    if entry.ident in NOT_ARRAY_READING or entry.kind == "method" and entry.cls.__name__ not in RECEIVERS:
        return False  # a method of a class without a receiver here fails the coverage test if it reads arrays
    kinds = WORLD.entries[entry.ident].kinds
    given = SPECIAL.get(entry.ident, {})
    return any(kinds.get(p.name) in ARRAY_KINDS or
               (kinds.get(p.name) not in SCALAR_KINDS and
                (_is_array_param(p.name) or _flatten(given.get(p.name, SCALARS.get(p.name)))))
               for p in entry.params)


ARRAY_ENTRIES = {e.ident: e for e in ENTRIES
                 if e.kind in ("function", "constructor", "static", "method") and e.params and _reads_arrays(e)}


def _arguments(entry):
    special = SPECIAL.get(entry.ident, {})
    kwargs = {}
    for p in entry.params:
        if p.name in special:
            value = special[p.name]
        elif p.name in ARRAYS or p.name in MATRICES:
            value = ARRAYS.get(p.name, MATRICES.get(p.name))
        elif p.name in SCALARS:
            value = SCALARS[p.name]
        elif p.default is not p.empty:
            continue
        else:
            raise AssertionError(f"{entry.ident}: no value for required parameter {p.name!r}")
        kwargs[p.name] = value() if callable(value) and not isinstance(value, type) else value
    return kwargs


def _layout(a, form):
    if form == "contiguous":
        return np.array(a, copy=True)
    if form == "strided":  # every other element of a doubled array (a column of a wider matrix)
        return np.repeat(a, 2, axis=-1)[..., ::2]
    if form == "reversed":  # the values in their order, read through a negative stride
        return a[::-1].copy()[::-1] if a.ndim == 1 else a[::-1, ::-1].copy()[::-1, ::-1]
    if form == "unaligned":
        return np.frombuffer(bytearray(1) + a.tobytes(), a.dtype, offset=1).reshape(a.shape)
    if form == "fortran":
        return np.asfortranarray(a)
    assert form == "read-only"
    out = np.array(a, copy=True)
    out.setflags(write=False)
    return out


FORMS = ["contiguous", "strided", "reversed", "unaligned", "read-only", "fortran"]


def _dress(value, form, counter):
    """`value` with every array in it in layout `form`; "mixed" gives each array the next layout in turn."""
    if isinstance(value, np.ndarray):
        counter[0] += 1
        chosen = FORMS[counter[0] % len(FORMS)] if form == "mixed" else form
        out = _layout(value, chosen)
        assert np.array_equal(out, value, equal_nan=True) and out.dtype == value.dtype
        return out
    if isinstance(value, (list, tuple)):
        return type(value)(_dress(v, form, counter) for v in value)
    return value


CLASSES = {name: getattr(tm, name) for name in tm.__all__ if isinstance(getattr(tm, name), type)}


def canon(value, depth=0):
    """A value reduced to plain, exactly comparable parts."""
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
    fields = {}
    for name in sorted(vars(cls)):
        attr = vars(cls)[name]
        if name.startswith("_"):
            continue
        if hasattr(attr, "__get__") and not callable(attr):  # a property
            fields[name] = canon(getattr(value, name), depth + 1)
        elif getattr(attr, "__text_signature__", None) == "($self)" and name in READ_ONLY_VIEWS:
            fields[name] = canon(getattr(value, name)(), depth + 1)
    return (cls.__name__, fields)


# Zero-argument methods of result records that only read them.
READ_ONLY_VIEWS = {"equity_curve", "drawdown_curve", "returns", "trades", "to_dict", "marginal", "contribution",
                   "pct_contribution", "daily_ic", "turnover", "cost_regulatory", "cost_brokerage", "cost_dp",
                   "weights", "cov", "asset_ids"}


def outcome(entry, form, hook=None):
    """What one call with every array in layout `form` gives: its result, or its error."""
    kwargs = {k: _dress(v, form, [0]) for k, v in _arguments(entry).items()}
    if hook:
        kwargs = hook(kwargs)
    if entry.kind == "method":
        make, read = RECEIVERS[entry.cls.__name__]
        receiver = make()
        returned = getattr(receiver, entry.name)(**kwargs)
        return canon((returned, read(receiver)))
    try:
        return canon(entry.target(**kwargs))
    except Exception as exc:  # noqa: BLE001 - an error must be the same on every path too
        return ("raised", type(exc).__name__, str(exc))


def test_every_entry_reading_arrays_is_covered_and_returns():
    learnt = {e.ident for e in WORLD.entries.values()
              if any(k in ("f64", "i64", "bool[]", "mat") for k in e.kinds.values())}
    assert learnt - NOT_ARRAY_READING <= set(ARRAY_ENTRIES), sorted(learnt - NOT_ARRAY_READING - set(ARRAY_ENTRIES))
    # The calls below only mean something when they get through to the engine.
    for ident, entry in ARRAY_ENTRIES.items():
        result = outcome(entry, "contiguous")
        assert not (isinstance(result, tuple) and result[0] == "raised"), (ident, result)


@pytest.mark.parametrize("form", FORMS[1:] + ["mixed"])
@pytest.mark.parametrize("ident", sorted(ARRAY_ENTRIES))
def test_every_layout_gives_the_same_result(ident, form):
    entry = ARRAY_ENTRIES[ident]
    assert outcome(entry, form) == outcome(entry, "contiguous")


class Mutator:
    """A number whose conversion writes into the arrays already passed, as a callback may."""

    def __init__(self, value, arrays):
        self.value, self.arrays = value, arrays

    def _spoil(self):
        for a in self.arrays:
            a[...] = a[::-1].copy() if a.dtype == np.bool_ else -a  # new values, same dtype
        return self.value

    def __index__(self):
        return self._spoil()

    def __float__(self):
        return float(self._spoil())


def _hooked_params(entry):
    """Where a number converted after arrays sits, with the parameters holding the arrays before it: the
    first number parameter after an array, or a number item in the last tuple of a list of tuples that
    holds arrays (as (name, row, item)), converted after every array of the list."""
    kwargs = _arguments(entry)
    for i, p in enumerate(entry.params):
        value = kwargs.get(p.name, p.default)
        before = [q.name for q in entry.params[:i] if isinstance(kwargs.get(q.name), (np.ndarray, list, tuple))]
        if type(value) in (int, float) and any(_is_array_param(n) for n in before):
            return (p.name,), before
        if isinstance(value, list) and value and isinstance(value[-1], tuple) and _flatten(value):
            numbers = [j for j, v in enumerate(value[-1]) if type(v) in (int, float)]
            if numbers:
                return (p.name, len(value) - 1, numbers[-1]), before + [p.name]
    return None


HOOKED = [ident for ident, e in ARRAY_ENTRIES.items() if e.kind != "method" and _hooked_params(e)]


@pytest.mark.parametrize("ident", sorted(HOOKED))
def test_arrays_changed_by_a_later_conversion_are_read_as_they_were(ident):
    # A later argument's __index__ or __float__ (or a later item's, in a list of tuples such as the
    # instruments of the portfolio runner) changes the arrays already passed; the call must see them as
    # they were when it read them, which is what a copy taken there sees.
    entry = ARRAY_ENTRIES[ident]
    where, before = _hooked_params(entry)

    def hook(kwargs):
        arrays = [a for n in before for a in _flatten(kwargs[n])]
        if len(where) == 1:
            default = next(p.default for p in entry.params if p.name == where[0])
            return kwargs | {where[0]: Mutator(kwargs.get(where[0], default), arrays)}
        name, row, item = where
        rows = list(kwargs[name])
        rows[row] = rows[row][:item] + (Mutator(rows[row][item], arrays),) + rows[row][item + 1:]
        return kwargs | {name: rows}

    assert outcome(entry, "contiguous", hook) == outcome(entry, "contiguous")
