"""How calls cross the Python boundary: binding, conversion, borrows, attribute deletion."""

import collections
import resource
import sys

import numpy as np
import pytest

import _tidemark as tm

BC, IC, Spec = tm.BacktestConfig, tm.InstrumentConfig, tm.InstrumentSpec


class FloatLike:
    def __float__(self):
        return 2.5


class IndexLike:
    def __index__(self):
        return 3


def message(exc_info):
    return str(exc_info.value)


@pytest.mark.parametrize("call, expected", [
    (lambda: Spec.equity(),
     "InstrumentSpec.equity() missing 1 required positional argument: 'symbol'"),
    (lambda: BC().set_atr_stop(),
     "BacktestConfig.set_atr_stop() missing 2 required positional arguments: 'multiplier' and 'period'"),
    (lambda: IC().set_atr_target(period=3),
     "InstrumentConfig.set_atr_target() missing 1 required positional argument: 'multiplier'"),
    (lambda: Spec.option("X", lot_size=1.0),
     "InstrumentSpec.option() missing 3 required positional arguments: 'strike', 'right', and 'expiration_ns'"),
    (lambda: tm.run_single_backtest(),
     "run_single_backtest() missing 8 required positional arguments: 'timestamps', 'open', 'high', 'low', "
     "'close', 'volume', 'entries', and 'exits'"),
    (lambda: tm.run_single_backtest(timestamps=None),
     "run_single_backtest() missing 7 required positional arguments: 'open', 'high', 'low', 'close', "
     "'volume', 'entries', and 'exits'"),
    (lambda: BC(*range(25)),
     "BacktestConfig.__new__() takes from 0 to 24 positional arguments but 25 were given"),
    (lambda: tm.StopConfig(1), "StopConfig.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: tm.TargetConfig(1, 2), "TargetConfig.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: BC().set_fixed_stop(1.0, 2.0),
     "BacktestConfig.set_fixed_stop() takes 1 positional arguments but 2 were given"),
    (lambda: tm.StopConfig.atr(1.0, 2, 3), "StopConfig.atr() takes 2 positional arguments but 3 were given"),
    (lambda: Spec.index("N", 0.0, 1), "InstrumentSpec.index() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: tm.resolve_atr_period(None, None, None),
     "resolve_atr_period() takes from 0 to 2 positional arguments but 3 were given"),
    # too many positional arguments is reported before an unknown keyword
    (lambda: tm.StopConfig(1, x=2), "StopConfig.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: BC(fee=0.1), "BacktestConfig.__new__() got an unexpected keyword argument 'fee'"),
    (lambda: tm.StopConfig(stop_type="fixed"), "StopConfig.__new__() got an unexpected keyword argument 'stop_type'"),
    (lambda: tm.resolve_atr_period(cfg=None), "resolve_atr_period() got an unexpected keyword argument 'cfg'"),
    (lambda: BC(1.0, initial_capital=2.0),
     "BacktestConfig.__new__() got multiple values for argument 'initial_capital'"),
    (lambda: IC().set_atr_stop(2.0, multiplier=3.0, period=1),
     "InstrumentConfig.set_atr_stop() got multiple values for argument 'multiplier'"),
    # keywords are checked in the order given, before missing arguments and before any conversion
    (lambda: BC(1.0, bogus=1, initial_capital=2.0), "BacktestConfig.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: BC(1.0, initial_capital=2.0, bogus=1), "BacktestConfig.__new__() got multiple values for argument 'initial_capital'"),
    (lambda: BC().set_atr_stop(bogus="x"), "BacktestConfig.set_atr_stop() got an unexpected keyword argument 'bogus'"),
    (lambda: BC(fees="bad", nope=1), "BacktestConfig.__new__() got an unexpected keyword argument 'nope'"),
])
def test_binder_messages(call, expected):
    with pytest.raises(TypeError) as exc:
        call()
    assert message(exc) == expected


@pytest.mark.parametrize("kwargs, argument", [
    ({"fees": "0.1"}, "fees"),
    ({"fees": None}, "fees"),
    ({"initial_capital": [1.0]}, "initial_capital"),
    ({"periods_per_year": "252"}, "periods_per_year"),
    ({"fill_seed": 1.5}, "fill_seed"),
    ({"order_latency_ns": 1.0}, "order_latency_ns"),
    ({"max_positions": 2.0}, "max_positions"),
    # conversion follows declaration order, whatever the keyword order
    ({"upon_bar_close": 1, "fees": "x"}, "fees"),
    ({"fill_timing": 5, "squareoff_time": "nonsense"}, "fill_timing"),
])
def test_conversion_type_errors_carry_the_argument_prefix(kwargs, argument):
    with pytest.raises(TypeError) as exc:
        BC(**kwargs)
    assert message(exc).startswith(f"argument '{argument}': ")


@pytest.mark.parametrize("call", [
    lambda: BC(max_positions=-1),
    lambda: BC(fill_seed=2**64),
    lambda: BC(order_latency_ns=2**63),
    lambda: BC(session_tz_offset_ns=-2**63 - 1),
    lambda: BC().set_atr_stop(2.0, -1),
    lambda: IC().set_atr_target(1.0, 2**64),
    lambda: Spec.futures_contract("F", 2**63, 1.0),
])
def test_overflow_errors_pass_unchanged(call):
    with pytest.raises(OverflowError) as exc:
        call()
    assert type(exc.value) is OverflowError
    assert not message(exc).startswith("argument")


@pytest.mark.parametrize("value", [1, 0, None, np.bool_(True), "True"])
def test_bool_parameters_refuse_everything_but_true_and_false(value):
    name = type(value).__name__
    with pytest.raises(TypeError) as exc:
        BC(upon_bar_close=value)
    assert message(exc) == f"argument 'upon_bar_close': '{name}' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as exc:
        Spec.option("O", 100.0, "call", 10, 1.0, binary=value)
    assert message(exc) == f"argument 'binary': '{name}' object cannot be converted to 'PyBool'"
    cfg = BC()
    with pytest.raises(TypeError) as exc:
        cfg.liquidate_on_margin_call = value
    assert message(exc) == f"'{name}' object cannot be converted to 'PyBool'"
    assert cfg.liquidate_on_margin_call is False


@pytest.mark.parametrize("value, expected", [
    (7, 7.0), (True, 1.0), (FloatLike(), 2.5), (IndexLike(), 3.0), (np.float32(0.5), 0.5), (np.int64(-4), -4.0),
    (2**70, float(2**70)),
])
def test_float_parameters_convert_numbers(value, expected):
    cfg = BC(fees=value)
    assert type(cfg.fees) is float and cfg.fees == expected
    cfg.slippage = value
    assert type(cfg.slippage) is float and cfg.slippage == expected
    ic = IC(lot_size=value)
    assert ic.lot_size == expected
    assert Spec.equity("X", taker_fee=value).taker_fee == expected


@pytest.mark.parametrize("value", ["0.1", b"1", None, [1.0], object()])
def test_float_parameters_refuse_non_numbers(value):
    with pytest.raises(TypeError) as exc:
        Spec.equity("X", lot_size=value)
    assert message(exc).startswith("argument 'lot_size': ")
    cfg = BC(fees=0.25)
    with pytest.raises(TypeError) as exc:
        cfg.fees = value
    assert not message(exc).startswith("argument")
    assert cfg.fees == 0.25  # a failed setter leaves the field alone


def test_integer_parameters():
    cfg = BC(fill_seed=IndexLike(), order_latency_ns=np.int64(-5), max_positions=2**64 - 1)
    assert (cfg.fill_seed, cfg.order_latency_ns, cfg.max_positions) == (3, -5, 2**64 - 1)
    for value in (1.0, "1", None):
        with pytest.raises(TypeError):
            cfg.fill_seed = value
    with pytest.raises(OverflowError):
        cfg.fill_seed = -1
    with pytest.raises(OverflowError):
        cfg.session_tz_offset_ns = 2**63
    assert (cfg.fill_seed, cfg.session_tz_offset_ns) == (3, 0)


@pytest.mark.parametrize("call, argument", [
    (lambda: BC(fee_segment=5), "fee_segment"),
    (lambda: BC(squareoff_time=b"15:25"), "squareoff_time"),
    (lambda: Spec.equity(1), "symbol"),
    (lambda: Spec.futures_contract("F", 10, 1.0, underlying=3), "underlying"),
])
def test_text_parameters_need_str(call, argument):
    with pytest.raises(TypeError) as exc:
        call()
    bad = {"fee_segment": "int", "squareoff_time": "bytes", "symbol": "int", "underlying": "int"}[argument]
    assert message(exc) == f"argument '{argument}': '{bad}' object cannot be converted to 'PyString'"


def test_str_subclass_is_accepted_as_text():
    class Name(str):
        pass

    cfg = BC(fee_segment=Name("NSE"))
    assert cfg.fee_segment == "NSE" and type(cfg.fee_segment) is str
    assert Spec.equity(Name("INFY")).symbol == "INFY"


@pytest.mark.parametrize("kwargs, expected", [
    ({"config": {}}, "argument 'config': 'dict' object cannot be converted to 'BacktestConfig'"),
    ({"config": tm.InstrumentConfig()},
     "argument 'config': 'InstrumentConfig' object cannot be converted to 'BacktestConfig'"),
    ({"instrument_config": tm.BacktestConfig()},
     "argument 'instrument_config': 'BacktestConfig' object cannot be converted to 'InstrumentConfig'"),
    ({"instrument_config": 1, "config": []},
     "argument 'config': 'list' object cannot be converted to 'BacktestConfig'"),
])
def test_class_parameters_need_an_instance(kwargs, expected):
    with pytest.raises(TypeError) as exc:
        tm.resolve_atr_period(**kwargs)
    assert message(exc) == expected


@pytest.mark.parametrize("make, attr", [
    (BC, "fees"), (BC, "fee_segment"), (BC, "max_positions"), (IC, "lot_size"), (IC, "avg_price"),
    (tm.StopConfig, "stop_type"), (tm.StopConfig, "period"), (tm.TargetConfig, "ratio"),
    (lambda: Spec.equity("X"), "settlement_fee"), (lambda: Spec.equity("X"), "expiration_ns"),
])
def test_deleting_a_settable_property(make, attr):
    obj = make()
    before = getattr(obj, attr)
    with pytest.raises(AttributeError) as exc:
        delattr(obj, attr)
    assert message(exc) == "can't delete attribute"
    assert getattr(obj, attr) == before


@pytest.mark.parametrize("make, attr", [
    (BC, "squareoff_time_minutes"), (BC, "fill_timing"),
    (lambda: Spec.equity("X"), "symbol"), (lambda: Spec.equity("X"), "tradable"),
])
def test_read_only_properties(make, attr):
    obj = make()
    before = getattr(obj, attr)
    with pytest.raises(AttributeError):
        setattr(obj, attr, before)
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    assert getattr(obj, attr) == before


class Hook:
    """A number whose conversion runs arbitrary code first."""

    def __init__(self, action, value=1.5):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return self.value


def test_writing_during_an_exclusive_borrow_is_refused():
    cfg = BC(fees=0.5)
    with pytest.raises(RuntimeError) as exc:
        cfg.set_fixed_stop(Hook(lambda: setattr(cfg, "fees", 1.0)))
    assert message(exc) == "Already borrowed"
    assert cfg.fees == 0.5
    cfg.set_fixed_stop(1.0)  # still usable
    cfg.fees = 2.0
    assert cfg.fees == 2.0


def test_reading_during_an_exclusive_borrow_is_refused():
    cfg = BC(fees=0.5)
    with pytest.raises(RuntimeError) as exc:
        cfg.set_atr_target(Hook(lambda: cfg.fees), 14)
    assert message(exc) == "Already mutably borrowed"
    assert cfg.fees == 0.5
    cfg.set_atr_target(2.0, 14)

    ic = IC(lot_size=5.0)
    with pytest.raises(RuntimeError) as exc:
        ic.set_trailing_stop(Hook(lambda: ic.lot_size))
    assert message(exc) == "Already mutably borrowed"
    # an argument of a system class takes a shared borrow, refused the same way
    with pytest.raises(RuntimeError) as exc:
        ic.set_fixed_target(Hook(lambda: tm.resolve_atr_period(instrument_config=ic)))
    assert message(exc) == "Already mutably borrowed"
    assert repr(ic) == "InstrumentConfig(lot_size=Some(5.0), alloted_capital=None)"


def test_setters_convert_before_borrowing():
    cfg = BC()
    log = []
    cfg.fees = Hook(lambda: log.append(cfg.fees), 0.75)
    cfg.slippage = Hook(lambda: setattr(cfg, "risk_free_rate", 0.02), 0.01)
    assert log == [0.001]
    assert (cfg.fees, cfg.slippage, cfg.risk_free_rate) == (0.75, 0.01, 0.02)


# --- Texts in messages, and lists of series -------------------------------------------------------------

SEGMENT = "unknown segment '{}'; expected one of equity_delivery, equity_intraday, futures_nfo, options_nfo, " \
          "futures_mcx, options_mcx, futures_cds, options_cds"
OMS, ACCOUNT = "oms_type must be 'netting' or 'hedging', got {}", "account_type must be 'cash' or 'margin', got \"{}\""
# NUL and control characters, a backslash before a 0, printable non-ASCII text, and a NUL at the end
TAIL, SHOWN = "\x00\t\n\x1b\\0\u00e9t\u00e9\x00", "\\0\\t\\n\\u{1b}\\\\0\u00e9t\u00e9\\0"


def bars_run(fn, *extra, **kw):  # three flat bars, no signal
    ts, one, no = np.arange(3, dtype=np.int64), np.full(3, 100.0), np.zeros(3, bool)
    return fn(ts, one, one, one, one, one, *extra, no, no, **kw)


def rebalance(*args, **kw):
    return tm.simulate_rebalance_policy(np.ones((2, 1)), np.ones((2, 1)), 1e5, *args, **kw)


def spread_call(premiums, legs=1, n=4, right="CE", **kw):
    ts, flat = np.arange(n, dtype=np.int64), np.zeros(n, bool)
    return lambda: tm.run_spread_backtest(ts, np.ones(n), premiums, [(right, 100.0, 1, 1)] * legs, flat, flat, **kw)


@pytest.mark.parametrize("call, given, expected", [(call, valid + TAIL, template.format(valid + SHOWN))
                                                   for call, valid, template in [
    (lambda v: tm.KernelSession(oms_type=v), "netting", OMS),
    (lambda v: tm.PortfolioSession().add_instrument("A", oms_type=v), "hedging", OMS),
    (lambda v: tm.PortfolioSession(account_type=v), "cash", ACCOUNT),
    (lambda v: tm.KernelSession().submit_twap(1.0, v, 1, 1, 0, 0, "T"), "buy", "side must be 'buy' or 'sell', got {}"),
    (lambda v: Spec.option("C", 100.0, v, 2, 1.0), "call", "right must be 'call' or 'put', got {}"),
    (tm.indian_cost_schedule, "equity_delivery", SEGMENT),
    (lambda v: rebalance("band", 0.1, segment=v), "equity_delivery", SEGMENT),
    (lambda v: rebalance(v, 1.0), "band", "unknown policy '{}'; expected 'calendar' or 'band'"),
    (lambda v: bars_run(tm.run_options_backtest, np.ones(3), option_type=v), "call",
     "unknown option_type {}; expected call/ce/c or put/pe/p"),
    (lambda v: bars_run(tm.run_options_backtest, np.ones(3), strike_selection=v), "atm",
     "unknown strike_selection {}; expected atm, otm1, otm2, itm1 or itm2"),
    (lambda v: bars_run(tm.run_options_backtest, np.ones(3), size_type=v), "percent",
     "unknown size_type {}; expected percent, contracts, notional or risk"),
    (lambda v: tm.run_portfolio_backtest([bars_run(lambda *a: a) + (1, 1.0, "A")], None, v), "full",
     "unknown allocation '{}'; expected 'equal_weight' or 'full'"),
    (lambda v: spread_call([np.ones(4)], right=v)(), "CE", "unknown option type {} for the leg at strike 100; expected "
     "one of CE/CALL/C or PE/PUT/P (case-insensitive). Defaulting would price a put as a call."),
]] + [  # a quoted text escapes its own quote
    (tm.indian_cost_schedule, "o'x\"", SEGMENT.format("o\\'x\"")),
    (lambda v: tm.PortfolioSession(account_type=v), "o'x\"\x00", ACCOUNT.format("o'x\\\"\\0")),
])
def test_messages_show_the_whole_text_given(call, given, expected):
    # A valid text with more after a NUL is refused, and the message shows all of it (a NUL once ended it),
    # escaped so that it reads back as given: a "\\0" written is not a NUL.
    with pytest.raises(ValueError) as exc:
        call(given)
    assert message(exc) == expected


def huge(rows, cols):
    """A zero-stride view of rows x cols float64 values: no memory behind it."""
    return np.broadcast_to(np.zeros(1), (rows, cols))


def mc_call(returns, weights, corr):
    return lambda: tm.simulate_portfolio_mc(returns, weights, corr, 100.0, n_simulations=1, horizon_days=1)


N24, EMPTY = 2**24, np.zeros(0, bool)
MODEL = tm.estimate_covariance(np.random.default_rng(1).normal(0, 0.01, (20, 2)), ["a", "b"], 252.0)


@pytest.mark.parametrize("call, error", [
    # a list of series is checked against the other arguments before a row is copied: ValueError at once
    (mc_call(huge(N24, N24), np.ones(3), np.eye(3)),
     "weights has 3 entries but returns has 16777216 asset series; returns is a list of per-asset series, not an "
     "(n_obs, n_assets) matrix"),
    (mc_call(np.zeros((3, 5)), np.ones(3), huge(N24, N24)), "correlation_matrix must be 3x3 to match the 3 asset series"),
    (mc_call(np.zeros((3, 5)), np.ones(3), [np.eye(3)[0], np.eye(3)[1], huge(1, 2**59)[0]]),
     "correlation_matrix must be 3x3 to match the 3 asset series"),
    (spread_call(huge(N24, N24)),
     "legs_premiums has 16777216 series but there are 1 legs; each leg needs its own premium series, matched by "
     "position."),
    (spread_call(huge(1, 2**50)), "legs_premiums[0] has 1125899906842624 bars but timestamps has 4"),
    (spread_call([np.ones(4)], legs_open_premiums=huge(N24, N24)),
     "legs_open_premiums must mirror legs_premiums exactly -- same number of legs, same number of bars per leg"),
    # shapes that agree, sizes that cannot be had: MemoryError, before anything is copied
    (mc_call(huge(N24, N24), np.ones(N24), huge(N24, N24)), MemoryError),
    (mc_call([huge(1, 2**59)[0]] * 3, np.ones(3), np.eye(3)), MemoryError),
    (spread_call(huge(2**16, 2**20), legs=2**16, n=2**20), MemoryError),
    (lambda: tm.BatchSpreadItem("x", huge(N24, N24), [], EMPTY, EMPTY), MemoryError),
    (lambda: tm.BatchSpreadItem("x", [], [], EMPTY, EMPTY, legs_open_premiums=[huge(1, 2**59)[0]] * 2), MemoryError),
    # the reservation for a sequence's items is bounded like every other sequence's
    (lambda: tm.batch_optimize_portfolios(MODEL, range(2**62), tm.OptimizerConfig(1.0, 0.0, 1.0, [], [])), MemoryError),
    (lambda: tm.batch_spread_backtest(np.arange(1), np.ones(1), range(2**62)), MemoryError),
])
def test_sizes_are_checked_before_anything_is_copied(call, error):
    # `error`: the ValueError's text, or MemoryError; a copy made first would take hours and terabytes
    expected = ValueError if isinstance(error, str) else error
    with pytest.raises(expected) as exc:
        call()
    assert type(exc.value) is expected
    assert expected is not ValueError or message(exc) == error


@pytest.mark.parametrize("call, argument", [
    (lambda m: mc_call(m, np.ones(2), np.eye(2))(), "returns"),
    (lambda m: mc_call(np.zeros((2, 5)), np.ones(2), m)(), "correlation_matrix"),
    (lambda m: spread_call(m, legs=2)(), "legs_premiums"),
    (lambda m: spread_call([np.ones(4)] * 2, legs=2, legs_open_premiums=m)(), "legs_open_premiums"),
    (lambda m: tm.BatchSpreadItem("x", m, [], EMPTY, EMPTY), "legs_premiums"),
    (lambda m: tm.OptimizerConfig(1.0, 0.0, 1.0, [], m), "sector_caps"),  # any sequence argument
])
@pytest.mark.parametrize("rows", [2, 0])
def test_a_memoryview_of_several_dimensions_is_no_sequence(call, argument, rows):
    # CPython cannot index it (NotImplementedError); it is refused like any other non-sequence
    with pytest.raises(TypeError) as exc:
        call(memoryview(np.ones((rows, 4))))
    assert type(exc.value) is TypeError
    assert message(exc) == f"argument '{argument}': 'memoryview' object cannot be converted to 'Sequence'"


MyArray = type("MyArray", (np.ndarray,), {})


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.asmatrix
@pytest.mark.parametrize("layout", [
    lambda a: a, np.asfortranarray, lambda a: np.repeat(a, 2, axis=1)[:, ::2], lambda a: a[::-1].copy()[::-1],
    lambda a: np.frombuffer(bytearray(1) + a.tobytes(), np.float64, offset=1).reshape(a.shape),  # unaligned
    lambda a: a.view(MyArray), lambda a: np.ma.masked_array(a, mask=a > 12.0), list, tuple,
])
def test_a_2d_array_reads_as_its_rows_in_any_layout(layout):
    premiums = np.array([[10.0, 11.0, 13.0, 12.0], [5.0, 6.0, 4.0, 4.5]])
    ts, entries, exits = np.arange(4, dtype=np.int64), np.arange(4) == 0, np.arange(4) == 2
    legs = [("CE", 100.0, 1, 10), ("PE", 100.0, -1, 10)]
    run = lambda p, **kw: tm.run_spread_backtest(ts, np.ones(4), p, legs, entries, exits, **kw)  # noqa: E731
    want = run([premiums[0].copy(), premiums[1].copy()])
    for got in (run(layout(premiums)), run([premiums[0], premiums[1]], legs_open_premiums=layout(premiums))):
        assert list(got.equity_curve()) == list(want.equity_curve()) and got.metrics.total_trades == 1
    # a subclass whose items are not rows is read item by item, as before
    with pytest.raises(TypeError, match="^argument 'legs_premiums': dimensionality mismatch:\n from=2, to=1$"):
        run(np.asmatrix(premiums))


# A call's array lengths are compared before a strided view is copied: a zero-stride view claiming 256 GiB
# (one element in memory, a copy no machine here could make) next to arrays of ten elements gets the outcome an
# ordinary array of another length gets, read where it lies: the same exception and message, its length aside.
_N, _T, _F, _B = 10, np.arange(10, dtype=np.int64), np.linspace(100.0, 109.0, 10), np.arange(10) % 4 == 1
_ROW = (_T, _F, _F, _F, _F, _F, _B, _B, 1, 1.0, "A")
_put = lambda row, at, *arrays: row[:at] + arrays + row[at + len(arrays):]  # noqa: E731
_flags = lambda a: np.broadcast_to(True, a.shape)  # noqa: E731  (flags as long as `a`, also zero-stride)
_LEG = ("CE", 100.0, 1, 1)


class Own(int):
    """A number read through its own __index__: Python code that runs after the arrays before it."""

    def __index__(self):
        return int(self)


LENGTH_CASES = {
    "single entries": (bool, lambda a: tm.run_single_backtest(_T, _F, _F, _F, _F, _F, a, _B)),
    "single close": (float, lambda a: tm.run_single_backtest(_T, _F, _F, _F, a, _F, _B, _B)),
    "options premiums": (float, lambda a: tm.run_options_backtest(_T, _F, _F, _F, _F, _F, a, _B, _B)),
    "options volume, never read": (float, lambda a: tm.run_options_backtest(_T, _F, _F, _F, _F, a, _F, _B, _B)),
    "pairs leg 2": (float, lambda a: tm.run_pairs_backtest(*_ROW[:6], _T, _F, _F, _F, a, _F, _B, _B)),
    "tick exits": (bool, lambda a: tm.run_tick_backtest(_T, _F, _F, _F, _F, _F, _F, _B, a)),
    "multi strategy": (bool, lambda a: tm.run_multi_backtest(*_ROW[:6], [(_B, _B, 1, 1.0, "s"), (a, _B, 1, 1.0, "t")])),
    "portfolio row": (bool, lambda a: tm.run_portfolio_backtest([_ROW, _ROW[:6] + (a,) + _ROW[7:]])),
    "basket row": (float, lambda a: tm.run_basket_backtest([_ROW, _ROW[:4] + (a,) + _ROW[5:]])),
    # one instrument: its close is the bar count, which the others are checked against before anything is made
    "portfolio one row, close": (float, lambda a: tm.run_portfolio_backtest([_put(_ROW, 4, a)])),
    "portfolio one row, short columns": (
        float, lambda a: tm.run_portfolio_backtest([_put(_ROW, 4, a, _F, _flags(a), _flags(a))])),
    "basket one row, close": (float, lambda a: tm.run_basket_backtest([_put(_ROW, 4, a)])),
    "basket one row, short columns": (
        float, lambda a: tm.run_basket_backtest([_put(_ROW, 4, a, _F, _flags(a), _flags(a))])),
    # Python code of the caller's runs after the view, before the call is done converting its arguments
    "single exits, then a direction of its own": (bool, lambda a: tm.run_single_backtest(*_ROW[:7], a, Own(1))),
    "single exits, then a direction of its own that is refused": (
        bool, lambda a: tm.run_single_backtest(*_ROW[:7], a, Own(0))),
    "portfolio row, then its own direction": (
        bool, lambda a: tm.run_portfolio_backtest([_ROW, _put(_ROW, 7, a, Own(1))])),
    "basket row, then a later row's direction of its own": (
        float, lambda a: tm.run_basket_backtest([_put(_ROW, 4, a), _put(_ROW, 8, Own(1))])),
    "basket rows in a sequence of their own": (
        bool, lambda a: tm.run_basket_backtest(collections.UserList([_ROW, _put(_ROW, 7, a)]))),
    # every series but underlying_close is held to timestamps, the premium lists' too
    "spread exits": (bool, lambda a: tm.run_spread_backtest(_T, _F, [_F], [_LEG], _B, a)),
    "spread timestamps": (int, lambda a: tm.run_spread_backtest(a, _F, [_F], [_LEG], _B, _B)),
    "spread premium series": (float, lambda a: tm.run_spread_backtest(_T, _F, [_F, a], [_LEG] * 2, _B, _B)),
    "spread opening premiums": (
        float, lambda a: tm.run_spread_backtest(_T, _F, [_F], [_LEG], _B, _B, legs_open_premiums=[a])),
    "spread, every array that long but the premiums": (
        int, lambda a: tm.run_spread_backtest(a, np.broadcast_to(1.0, a.shape), [_F], [_LEG], _flags(a), _flags(a))),
    "spread exits, then a max_loss of its own": (
        bool, lambda a: tm.run_spread_backtest(_T, _F, [_F], [_LEG], _B, a, max_loss=Own(5))),
    "spread premium series, then legs in a sequence of their own": (
        float, lambda a: tm.run_spread_backtest(_T, _F, [a], collections.UserList([_LEG]), _B, _B)),
    "aggregate_bars": (float, lambda a: tm.aggregate_bars(_T, _F, _F, _F, _F, a, 5, "m")),
    "atr": (float, lambda a: tm.atr(_F, a, _F, 3)),
    "return_window": (int, lambda a: tm.return_window(a, _F)),
}


def _outcome(call, array):
    try:
        out = call(array)
    except BaseException as e:
        return type(e).__name__, str(e).replace(str(len(array)), "N")
    out = getattr(out, "result", out)  # a portfolio's combined run
    return "returned", list(out.equity_curve()), [(t.entry_idx, t.exit_idx, t.pnl) for t in out.trades()]


# The single, portfolio, basket and spread runners refuse from the lengths alone, before anything is lent, copied
# or made to the view's size, also when Python code of the caller's runs after the view: with an address space
# that could not hold the view (nor any block of its size), theirs is still the length error the ordinary array
# gets (or the error of a later argument that comes first), not MemoryError.
@pytest.mark.parametrize("case", LENGTH_CASES)
def test_lengths_are_compared_before_a_strided_view_is_copied(case):
    (dtype, call), limits = LENGTH_CASES[case], resource.getrlimit(resource.RLIMIT_AS)
    dtype = np.dtype(np.int64 if dtype is int else dtype)
    huge = np.lib.stride_tricks.as_strided(np.ones(1, dtype), shape=(2**38 // dtype.itemsize,), strides=(0,))
    want = _outcome(call, np.ones(37, dtype))
    if case.startswith(("single", "portfolio", "basket", "spread")) and sys.platform.startswith("linux"):
        with open("/proc/self/status") as f:
            room = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:")) + 2**30
        resource.setrlimit(resource.RLIMIT_AS, (room if limits[1] == resource.RLIM_INFINITY else min(room, limits[1]),
                                                limits[1]))
    try:
        assert _outcome(call, huge) == want
    finally:
        resource.setrlimit(resource.RLIMIT_AS, limits)


# A call whose lengths differ but which reads a strided view it was lent gets what the copy gives (the read is
# noticed and the call made again on the copy): each fills entries at the next bar's open, which a blank makes 0.
# The spread's lengths differ by its underlying_close, which nothing compares; its entries, a reversed view, are
# what a blank would clear, and its legs in a sequence of their own have the premiums copied before the call is
# made twice.
_E37 = np.arange(37) % 9 == 2
READ_CASES = {
    "single": lambda o: tm.run_single_backtest(_T, o, _F, _F, _F, _F, _B, _B, config=BC(upon_bar_close=False)),
    "portfolio": lambda o: tm.run_portfolio_backtest([_put(_ROW, 1, o)], BC(upon_bar_close=False)),
    "basket": lambda o: tm.run_basket_backtest([_put(_ROW, 1, o)], BC(upon_bar_close=False)),
    "spread": lambda o: tm.run_spread_backtest(np.arange(37, dtype=np.int64), _F, [o], collections.UserList([_LEG]),
                                               _E37[::-1].copy()[::-1], np.roll(_E37, 3)),
}


@pytest.mark.parametrize("call", READ_CASES.values(), ids=READ_CASES)
def test_a_lent_view_that_is_read_is_copied(call):
    opens = np.arange(90.0, 127.0)
    want = _outcome(call, opens)
    assert want[0] == "returned" and want[2] and all(pnl != 0.0 for *_, pnl in want[2])
    assert _outcome(call, np.repeat(opens, 2)[::2]) == want
