"""How calls cross the Python boundary: binding, conversion, borrows, attribute deletion."""

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

