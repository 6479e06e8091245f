"""The input records: BacktestConfig, InstrumentSpec, InstrumentConfig, StopConfig, TargetConfig."""

import math
import re
import types

import pytest

import _tidemark as tm

BC, IC, Spec = tm.BacktestConfig, tm.InstrumentConfig, tm.InstrumentSpec

# property -> default, in declaration order
CONFIG_DEFAULTS = {
    "initial_capital": 100000.0, "fees": 0.001, "slippage": 0.0, "upon_bar_close": True,
    "apply_slippage": True, "periods_per_year": None, "risk_free_rate": 0.0, "session_minutes": None,
    "fee_segment": None, "max_positions": None, "max_drawdown_pct": None, "legacy_annualization": False,
    "fill_prob_limit": 1.0, "fill_prob_slippage": 0.0, "queue_fill_model": False, "partial_fills": False,
    "order_latency_ns": 0, "session_tz_offset_ns": 0, "squareoff_time_minutes": None, "limit_slippage": 0.0,
    "liquidate_on_margin_call": False, "fill_seed": 0, "bar_path_adaptive": False, "fill_timing": None,
}

# constructor parameter, in signature order -> (a non-default argument, property it lands in, value read back)
CONFIG_ARGUMENTS = [
    ("initial_capital", 5.0, "initial_capital", 5.0), ("fees", 0.002, "fees", 0.002),
    ("slippage", 0.01, "slippage", 0.01), ("upon_bar_close", False, "upon_bar_close", False),
    ("apply_slippage", False, "apply_slippage", False), ("periods_per_year", 252, "periods_per_year", 252.0),
    ("risk_free_rate", 0.05, "risk_free_rate", 0.05), ("session_minutes", 375.0, "session_minutes", 375.0),
    ("fee_segment", "NFO-OPT", "fee_segment", "NFO-OPT"), ("max_positions", 3, "max_positions", 3),
    ("max_drawdown_pct", 20.0, "max_drawdown_pct", 20.0),
    ("legacy_annualization", True, "legacy_annualization", True),
    ("fill_prob_limit", 0.5, "fill_prob_limit", 0.5), ("fill_prob_slippage", 0.25, "fill_prob_slippage", 0.25),
    ("fill_seed", 7, "fill_seed", 7), ("bar_path_adaptive", True, "bar_path_adaptive", True),
    ("queue_fill_model", True, "queue_fill_model", True), ("partial_fills", True, "partial_fills", True),
    ("order_latency_ns", 11, "order_latency_ns", 11), ("session_tz_offset_ns", -12, "session_tz_offset_ns", -12),
    ("limit_slippage", 0.125, "limit_slippage", 0.125),
    ("liquidate_on_margin_call", True, "liquidate_on_margin_call", True),
    ("squareoff_time", "15:25", "squareoff_time_minutes", 925),
    ("fill_timing", "next_bar_open", "fill_timing", "next_bar_open"),
]

# The summary paragraph of each property's docstring.
CONFIG_DOCS = {
    "initial_capital": None, "fees": "Flat cost per fill as a fraction of its notional (0.001 is 0.1 %).",
    "slippage": "Adverse price adjustment per fill, as a fraction of the price.",
    "upon_bar_close": 'Deprecated in favor of `fill_timing`: `True` maps to\n`"same_bar_close"`, `False` to '
                      '`"next_bar_open"`. An explicit\n`fill_timing` wins over this flag.',
    "apply_slippage": "Whether `slippage` is applied to fills.",
    "periods_per_year": "Explicit annualization factor; `None` infers it from bar spacing.",
    "risk_free_rate": "Annual risk-free rate as a fraction.",
    "session_minutes": "Trading minutes per session for intraday annualization.",
    "fee_segment": 'Itemized Indian cost segment, e.g. "NSE", "NFO-OPT", "MCX-FUT".',
    "max_positions": "Maximum concurrent open positions. `None` is unlimited.",
    "max_drawdown_pct": "Drawdown percent that halts new entries. `None` disables.",
    "legacy_annualization": "Annualise at 365 periods per year whatever the bars or\n`periods_per_year` say.",
    "fill_prob_limit": "Probability a marketable resting limit order fills (1.0 = always).",
    "fill_prob_slippage": "Probability a stop/market fill slips one tick against the trader.",
    "queue_fill_model": "Fill resting limits from observed queue position (needs depth data).",
    "partial_fills": "Fill typed orders across prints on the tick path (partial fills).",
    "order_latency_ns": "Order-entry latency on the tick path (ns); 0 = same-print.",
    "session_tz_offset_ns": "Offset for the trading date DAY orders expire on (0 = UTC).",
    "squareoff_time_minutes": "Squareoff time as minutes from local midnight; `None` disables.",
    "limit_slippage": "Adverse adjustment on limit fills, as a fraction of the limit price.",
    "liquidate_on_margin_call": "Force-close positions on a margin call instead of only halting entries.",
    "fill_seed": "Seed for the stochastic-fill RNG.",
    "bar_path_adaptive": "Infer intra-bar high/low order from candle geometry on stop/target\nconflicts; "
                         "false takes the stop whenever one bar reaches both.",
    "fill_timing": "The execution-timing policy, or `None` when it derives from the\ndeprecated "
                   "`upon_bar_close` flag.",
}

SQUAREOFF_MSG = ('invalid squareoff_time {}; expected 24-hour "HH:MM" local time, e.g. "15:25" for NSE. '
                 "Pass None to disable squareoff.")
FILL_TIMING_MSG = ('invalid fill_timing {}; expected "same_bar_close", "next_bar_open", or '
                   '"same_bar_open_lookahead" (a look-ahead, for reproducing old results only)')


def properties(cls):
    return [k for k, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)]


def same(a, b):
    return type(a) is type(b) and (a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b)))


def test_config_defaults_and_property_order():
    cfg = BC()
    assert properties(BC) == list(CONFIG_DEFAULTS)
    for name, default in CONFIG_DEFAULTS.items():
        assert same(getattr(cfg, name), default), name
    assert re.fullmatch(r"<(builtins\.)?BacktestConfig object at 0x[0-9a-fA-F]+>", repr(cfg))


@pytest.mark.parametrize("position", range(len(CONFIG_ARGUMENTS)), ids=[a[0] for a in CONFIG_ARGUMENTS])
def test_config_positional_order(position):
    defaults = [100000.0, 0.001, 0.0, True, True, None, 0.0, None, None, None, None, False, 1.0, 0.0, 0,
                False, False, False, 0, 0, 0.0, False, None, None]
    args = list(defaults)
    _, value, prop, read = CONFIG_ARGUMENTS[position]
    args[position] = value
    by_position, by_keyword = BC(*args), BC(**{CONFIG_ARGUMENTS[position][0]: value})
    for cfg in (by_position, by_keyword):
        for name, default in CONFIG_DEFAULTS.items():
            assert same(getattr(cfg, name), read if name == prop else default), name


@pytest.mark.parametrize("name, values", [
    ("initial_capital", [-1.0, 0.0, math.inf, math.nan]), ("fees", [-1.0, 0.5]), ("slippage", [0.02]),
    ("upon_bar_close", [False, True]), ("apply_slippage", [False]), ("periods_per_year", [365.0, None]),
    ("risk_free_rate", [-0.01]), ("session_minutes", [0.0, 870.0, None]),
    ("fee_segment", [" nse ", "", "MCX-FUT", "NSÉ", None]), ("max_positions", [0, 2**64 - 1, None]),
    ("max_drawdown_pct", [15.0, None]), ("legacy_annualization", [True]), ("fill_prob_limit", [0.0]),
    ("fill_prob_slippage", [1.0]), ("queue_fill_model", [True]), ("partial_fills", [True]),
    ("order_latency_ns", [-(2**63), 2**63 - 1]), ("session_tz_offset_ns", [19_800_000_000_000]),
    ("limit_slippage", [0.001]), ("liquidate_on_margin_call", [True]), ("fill_seed", [2**64 - 1]),
    ("bar_path_adaptive", [True]),
])
def test_config_property_round_trip(name, values):
    cfg = BC()
    for value in values:
        setattr(cfg, name, value)
        assert same(getattr(cfg, name), value)
    others = {k: v for k, v in CONFIG_DEFAULTS.items() if k != name}
    assert all(same(getattr(cfg, k), v) for k, v in others.items())


@pytest.mark.parametrize("name, value, error", [
    ("initial_capital", None, TypeError), ("fees", None, TypeError), ("upon_bar_close", None, TypeError),
    ("fill_seed", None, TypeError), ("order_latency_ns", None, TypeError), ("bar_path_adaptive", None, TypeError),
    ("max_positions", -1, OverflowError), ("fill_seed", -1, OverflowError), ("max_positions", 1.0, TypeError),
])
def test_config_setter_refusals_leave_the_field(name, value, error):
    cfg = BC()
    with pytest.raises(error):
        setattr(cfg, name, value)
    assert same(getattr(cfg, name), CONFIG_DEFAULTS[name])


@pytest.mark.parametrize("name", list(CONFIG_DOCS))
def test_config_property_docs(name):
    doc = getattr(BC, name).__doc__
    assert (doc and doc.split("\n\n")[0]) == CONFIG_DOCS[name]


@pytest.mark.parametrize("text, minutes", [
    ("15:25", 925), (" 9:05 ", 545), ("9 : 5", 545), ("+09:+30", 570), ("0:0", 0), ("23:59", 1439),
    ("007:0005", 425), ("\t12:00\n", 720), ("\u00a012:00\u3000", 720), ("\u2003 1 :\u200a2 ", 62),
])
def test_squareoff_time_parsing(text, minutes):
    assert BC(squareoff_time=text).squareoff_time_minutes == minutes


@pytest.mark.parametrize("text, shown", [
    ("15:25:00", '"15:25:00"'), ("24:00", '"24:00"'), ("12:60", '"12:60"'), ("1530", '"1530"'),
    (":30", '":30"'), ("12:", '"12:"'), ("", '""'), ("-1:00", '"-1:00"'), ("+:30", '"+:30"'),
    ("1 2:00", '"1 2:00"'), ("12:3a", '"12:3a"'), ("4294967296:00", '"4294967296:00"'),
    ("١٢:٣٠", '"١٢:٣٠"'), ("\x1c12:00", None), (" 24:00 ", '" 24:00 "'),
    ('1"2:00', r'"1\"2:00"'), ("1\\2:00", r'"1\\2:00"'), ("12:00\n1", r'"12:00\n1"'), ("\t1:1:1", r'"\t1:1:1"'),
])
def test_squareoff_time_errors(text, shown):
    with pytest.raises(ValueError) as exc:
        BC(squareoff_time=text)
    if shown is None:  # only the form of the message is fixed for other control characters
        assert str(exc.value).startswith("invalid squareoff_time \"")
    else:
        assert str(exc.value) == SQUAREOFF_MSG.format(shown)


@pytest.mark.parametrize("text, expected", [
    ("same_bar_close", "same_bar_close"), (" next_bar_open ", "next_bar_open"),
    ("\nsame_bar_open_lookahead\t", "same_bar_open_lookahead"), (None, None),
])
def test_fill_timing_parsing(text, expected):
    assert BC(fill_timing=text).fill_timing == expected


@pytest.mark.parametrize("text, shown", [
    ("Next_Bar_Open", '"Next_Bar_Open"'), ("", '""'), ("next bar open", '"next bar open"'),
    ("close", '"close"'), ('x"y', r'"x\"y"'),
])
def test_fill_timing_errors(text, shown):
    with pytest.raises(ValueError) as exc:
        BC(fill_timing=text)
    assert str(exc.value) == FILL_TIMING_MSG.format(shown)


def test_squareoff_error_is_reported_before_fill_timing():
    with pytest.raises(ValueError) as exc:
        BC(squareoff_time="x", fill_timing="y")
    assert str(exc.value) == SQUAREOFF_MSG.format('"x"')


MODEL_SETTERS = [
    ("set_fixed_stop", (1.5,), "percent", "Set fixed percentage stop-loss"),
    ("set_atr_stop", (2.0, 14), "multiplier, period", "Set ATR-based stop-loss"),
    ("set_trailing_stop", (-3,), "percent", "Set trailing stop-loss"),
    ("set_fixed_target", (math.nan,), "percent", "Set fixed percentage take-profit"),
    ("set_atr_target", (0.0, 0), "multiplier, period", "Set ATR-based take-profit"),
    ("set_risk_reward_target", (2.0,), "ratio", "Set risk-reward based take-profit"),
]


@pytest.mark.parametrize("method, args, params, doc", MODEL_SETTERS, ids=[m[0] for m in MODEL_SETTERS])
@pytest.mark.parametrize("cls, suffix", [(BC, ""), (IC, " override")])
def test_model_setters(cls, suffix, method, args, params, doc):
    obj = cls()
    assert getattr(obj, method)(*args) is None
    assert getattr(obj, method)(*args) is None  # a model can be replaced
    fn = getattr(cls, method)
    assert fn.__doc__.split("\n\n")[0] == doc + suffix + "."
    # A level given as `percent` is a fraction, which the docstring must say.
    assert ("`percent` is a fraction" in fn.__doc__) == (params == "percent")
    assert fn.__text_signature__ == f"($self, {params})"


@pytest.mark.parametrize("cls", [BC, IC])
@pytest.mark.parametrize("method", ["set_atr_stop", "set_atr_target"])
def test_model_setter_period_conversion(cls, method):
    obj = cls()
    getattr(obj, method)(2.0, 2**64 - 1)
    with pytest.raises(OverflowError) as exc:
        getattr(obj, method)(2.0, -1)
    assert not str(exc.value).startswith("argument")
    with pytest.raises(TypeError) as exc:
        getattr(obj, method)(2.0, 14.0)
    assert str(exc.value).startswith("argument 'period': ")
    with pytest.raises(TypeError) as exc:
        getattr(obj, method)(multiplier="2", period=-1)
    assert str(exc.value).startswith("argument 'multiplier': ")


# ---------------------------------------------------------------- InstrumentSpec

SPEC_ATTRS = ["symbol", "kind", "settlement_fee", "expiration_ns", "price_increment", "size_increment",
              "lot_size", "multiplier", "margin_init", "span_pct", "exposure_pct", "margin_maint", "maker_fee",
              "taker_fee", "activation_ns", "strike", "right", "underlying", "tradable"]
BASE = dict(settlement_fee=0.0, expiration_ns=None, price_increment=0.0, size_increment=0.0, lot_size=1.0,
            multiplier=1.0, margin_init=0.0, span_pct=0.0, exposure_pct=0.0, margin_maint=0.0, maker_fee=0.0,
            taker_fee=0.0, activation_ns=None, strike=None, right=None, underlying=None, tradable=True)


@pytest.mark.parametrize("make, expected", [
    (lambda: Spec.equity("E"), dict(symbol="E", kind="cash")),
    (lambda: Spec.equity("E", 0.05, 10.0, 2.0, 0.1, 0.2, 0.3, 0.4),
     dict(symbol="E", kind="cash", price_increment=0.05, lot_size=10.0, size_increment=2.0, margin_init=0.1,
          margin_maint=0.2, maker_fee=0.3, taker_fee=0.4)),
    (lambda: Spec.futures_contract("F", 2000, 50),
     dict(symbol="F", kind="contract", expiration_ns=2000, lot_size=50.0)),
    (lambda: Spec.futures_contract("F", 2000, 50.0, 2.0, 0.05, "NIFTY", 1000, 0.1, 0.2, 0.3, 0.4),
     dict(symbol="F", kind="contract", expiration_ns=2000, lot_size=50.0, multiplier=2.0, price_increment=0.05,
          underlying="NIFTY", activation_ns=1000, margin_init=0.1, margin_maint=0.2, maker_fee=0.3, taker_fee=0.4)),
    (lambda: Spec.perpetual("P"), dict(symbol="P", kind="contract")),
    (lambda: Spec.perpetual("P", 2.0, 3.0, 0.5, 0.1, "BTC", 0.01, 0.02, 0.03, 0.04),
     dict(symbol="P", kind="contract", lot_size=2.0, multiplier=3.0, price_increment=0.5, size_increment=0.1,
          underlying="BTC", margin_init=0.01, margin_maint=0.02, maker_fee=0.03, taker_fee=0.04)),
    (lambda: Spec.option("O", 100.0, "CE", 2000, 25.0, 2.0, 0.05, "NIFTY", True, 1000, 0.1, 0.2, 0.3, 0.4,
                         0.15, 0.05),
     dict(symbol="O", kind="option", strike=100.0, right="call", expiration_ns=2000, lot_size=25.0,
          multiplier=2.0, price_increment=0.05, underlying="NIFTY", activation_ns=1000, margin_init=0.1,
          margin_maint=0.2, maker_fee=0.3, taker_fee=0.4, span_pct=0.15, exposure_pct=0.05)),
    (lambda: Spec.option("O", 90, "p", 10, 1), dict(symbol="O", kind="option", strike=90.0, right="put",
                                                     expiration_ns=10)),
    (lambda: Spec.currency_pair("EURUSD", 0.0001, 1000.0, 2.0, 0.1, 0.2, 0.3, 0.4),
     dict(symbol="EURUSD", kind="currency_pair", price_increment=0.0001, size_increment=1000.0, lot_size=2.0,
          margin_init=0.1, margin_maint=0.2, maker_fee=0.3, taker_fee=0.4)),
    (lambda: Spec.index("NIFTY", 0.05), dict(symbol="NIFTY", kind="index", price_increment=0.05, tradable=False)),
])
def test_spec_constructors(make, expected):
    spec = make()
    for name in SPEC_ATTRS:
        assert same(getattr(spec, name), {**BASE, **expected}.get(name)), name


def test_spec_class_shape():
    assert properties(Spec) == SPEC_ATTRS
    assert Spec.equity("X") != Spec.equity("X")
    docs = {"settlement_fee": "Fee fraction charged on settlement at expiry.",
            "span_pct": "SPAN-style deposit fraction for a sold option (0.0 = not modelled).",
            "exposure_pct": "Exposure margin fraction for a sold option (0.0 = not modelled).",
            "strike": "Option strike, or None for non-options.",
            "underlying": "Underlying symbol for derivatives, None otherwise.",
            "tradable": "Whether orders may be placed on this instrument."}
    for name, doc in docs.items():
        assert getattr(Spec, name).__doc__ == doc
    assert Spec.equity.__text_signature__ == ("(symbol, price_increment=0.0, lot_size=1.0, size_increment=0.0, "
                                              "margin_init=0.0, margin_maint=0.0, maker_fee=0.0, taker_fee=0.0)")
    assert Spec.equity.__doc__ == "A cash equity / spot instrument."
    assert Spec.index.__text_signature__ == "(symbol, price_increment=0.0)"
    assert Spec.index.__doc__ == "A non-tradable reference index."
    assert Spec.perpetual.__doc__ == "A perpetual contract (dated future without expiry)."
    assert Spec.option.__doc__.startswith("A vanilla or binary option contract.\n")


@pytest.mark.parametrize("make, message", [
    (lambda: Spec.equity("X", lot_size=-1.0), "increments and lot_size must be >= 0"),
    (lambda: Spec.equity("X", price_increment=-0.01), "increments and lot_size must be >= 0"),
    (lambda: Spec.currency_pair("X", size_increment=-1), "increments and lot_size must be >= 0"),
    (lambda: Spec.perpetual("X", multiplier=0.0), "multiplier must be > 0"),
    (lambda: Spec.perpetual("X", multiplier=-2.0), "multiplier must be > 0"),
    (lambda: Spec.perpetual("X", lot_size=-1.0, multiplier=0.0), "increments and lot_size must be >= 0"),
    (lambda: Spec.futures_contract("F", 100, 1.0, activation_ns=100), "expiration_ns must be after activation_ns"),
    (lambda: Spec.futures_contract("F", 5, 1.0, activation_ns=10), "expiration_ns must be after activation_ns"),
    (lambda: Spec.futures_contract("F", 5, 1.0, 0.0, activation_ns=10), "multiplier must be > 0"),
    (lambda: Spec.option("O", 0.0, "call", 10, 1.0), "strike must be > 0"),
    (lambda: Spec.option("O", -1.0, "call", 10, -1.0), "strike must be > 0"),
    (lambda: Spec.option("O", 0.0, "call", 10, 1.0, span_pct=-0.1), "span_pct and exposure_pct must be >= 0"),
    (lambda: Spec.option("O", 1.0, "x", 10, 1.0, exposure_pct=-0.1), "span_pct and exposure_pct must be >= 0"),
    (lambda: Spec.option("O", 0.0, "calls", 10, 1.0), "right must be 'call' or 'put', got calls"),
    (lambda: Spec.option("O", 1.0, "CALLS", 10, 1.0), "right must be 'call' or 'put', got calls"),
    (lambda: Spec.option("O", 1.0, " ce", 10, 1.0), "right must be 'call' or 'put', got  ce"),
    (lambda: Spec.option("O", 1.0, "", 10, 1.0), "right must be 'call' or 'put', got "),
    (lambda: Spec.option("O", 1.0, "put", 5, 1.0, activation_ns=5), "expiration_ns must be after activation_ns"),
    (lambda: Spec.index("N", -0.5), "price_increment must be >= 0"),
])
def test_spec_validation(make, message):
    with pytest.raises(ValueError) as exc:
        make()
    assert str(exc.value) == message


def test_spec_type_errors_precede_value_rules():
    with pytest.raises(TypeError, match=r"^argument 'taker_fee': "):
        Spec.equity("X", lot_size=-1.0, taker_fee="x")
    with pytest.raises(TypeError, match=r"^argument 'expiration_ns': "):
        Spec.futures_contract("F", 1.5, 1.0)
    with pytest.raises(TypeError, match=r"^argument 'span_pct': "):
        Spec.option("O", 0.0, "bad", 10, 1.0, span_pct="0")


@pytest.mark.parametrize("right, parsed", [
    ("call", "call"), ("CALL", "call"), ("c", "call"), ("C", "call"), ("ce", "call"), ("Ce", "call"),
    ("put", "put"), ("Put", "put"), ("p", "put"), ("PE", "put"),
])
def test_option_right(right, parsed):
    assert Spec.option("O", 100.0, right, 10, 1.0).right == parsed


@pytest.mark.parametrize("make, attr, expected", [
    (lambda: Spec.equity("X", lot_size=0.0), "lot_size", 1.0),
    (lambda: Spec.equity("X", lot_size=math.nan), "lot_size", 1.0),
    (lambda: Spec.option("O", 1.0, "c", 10, 0.0), "lot_size", 1.0),
    (lambda: Spec.futures_contract("F", 10, math.nan), "lot_size", 1.0),
    (lambda: Spec.perpetual("X", multiplier=math.nan), "multiplier", math.nan),
    (lambda: Spec.option("O", math.nan, "c", 10, 1.0), "strike", math.nan),
    (lambda: Spec.index("N", math.nan), "price_increment", math.nan),
    (lambda: Spec.futures_contract("F", 100, 1.0, activation_ns=99), "expiration_ns", 100),
    (lambda: Spec.futures_contract("F", -5, 1.0), "expiration_ns", -5),
])
def test_spec_accepted_edge_values(make, attr, expected):
    assert same(getattr(make(), attr), expected)


@pytest.mark.parametrize("make, text", [
    (lambda: Spec.equity("X"), "InstrumentSpec(symbol=X, kind=cash, lot_size=1, multiplier=1)"),
    (lambda: Spec.equity("A B", lot_size=0.25), "InstrumentSpec(symbol=A B, kind=cash, lot_size=0.25, multiplier=1)"),
    (lambda: Spec.perpetual("P", 1e20, math.nan),
     "InstrumentSpec(symbol=P, kind=contract, lot_size=100000000000000000000, multiplier=NaN)"),
    (lambda: Spec.option("O", 1.0, "c", 10, 1e-7, 0.1),
     "InstrumentSpec(symbol=O, kind=option, lot_size=0.0000001, multiplier=0.1)"),
    (lambda: Spec.currency_pair("FX", lot_size=1234.5),
     "InstrumentSpec(symbol=FX, kind=currency_pair, lot_size=1234.5, multiplier=1)"),
    (lambda: Spec.index("N"), "InstrumentSpec(symbol=N, kind=index, lot_size=1, multiplier=1)"),
])
def test_spec_repr(make, text):
    assert repr(make()) == text


def test_spec_setters():
    spec = Spec.futures_contract("F", 100, 1.0, activation_ns=5)
    spec.expiration_ns = 0  # not re-checked against the activation
    assert spec.expiration_ns == 0
    spec.expiration_ns = None
    assert spec.expiration_ns is None
    spec.settlement_fee = -2
    assert same(spec.settlement_fee, -2.0)
    with pytest.raises(TypeError):
        spec.expiration_ns = 1.5
    with pytest.raises(TypeError):
        spec.settlement_fee = "0.1"
    assert spec.expiration_ns is None and spec.settlement_fee == -2.0


@pytest.mark.parametrize("attr", [a for a in SPEC_ATTRS if a not in ("settlement_fee", "expiration_ns")])
def test_spec_other_attributes_are_read_only(attr):
    spec = Spec.option("O", 1.0, "c", 10, 1.0)
    before = getattr(spec, attr)
    with pytest.raises(AttributeError):
        setattr(spec, attr, before)
    assert same(getattr(spec, attr), before)


# ---------------------------------------------------------------- InstrumentConfig, StopConfig, TargetConfig

@pytest.mark.parametrize("kwargs, text", [
    ({}, "InstrumentConfig(lot_size=None, alloted_capital=None)"),
    ({"lot_size": 50, "alloted_capital": 100000}, "InstrumentConfig(lot_size=Some(50.0), alloted_capital=Some(100000.0))"),
    ({"lot_size": 1e16, "alloted_capital": 1e-5}, "InstrumentConfig(lot_size=Some(1e16), alloted_capital=Some(1e-5))"),
    ({"lot_size": 1.5e-7, "alloted_capital": 0.0001}, "InstrumentConfig(lot_size=Some(1.5e-7), alloted_capital=Some(0.0001))"),
    ({"lot_size": 9999999999999998.0, "alloted_capital": -2.5},
     "InstrumentConfig(lot_size=Some(9999999999999998.0), alloted_capital=Some(-2.5))"),
    ({"lot_size": 0.0, "alloted_capital": 2.5e16}, "InstrumentConfig(lot_size=Some(0.0), alloted_capital=Some(2.5e16))"),
    ({"lot_size": 0.1, "existing_qty": 3.0, "avg_price": 4.0}, "InstrumentConfig(lot_size=Some(0.1), alloted_capital=None)"),
])
def test_instrument_config_repr(kwargs, text):
    assert repr(IC(**kwargs)) == text


def test_instrument_config_fields():
    ic = IC(1, 2, 3, 4)
    assert [ic.lot_size, ic.alloted_capital, ic.existing_qty, ic.avg_price] == [1.0, 2.0, 3.0, 4.0]
    assert all(type(getattr(ic, n)) is float for n in ("lot_size", "alloted_capital", "existing_qty", "avg_price"))
    ic.alloted_capital = None
    ic.avg_price = -7
    assert ic.alloted_capital is None and same(ic.avg_price, -7.0)
    assert properties(IC) == ["lot_size", "alloted_capital", "existing_qty", "avg_price"]
    with pytest.raises(TypeError, match=r"^argument 'existing_qty': "):
        IC(existing_qty="3")
    fresh = IC()
    assert [fresh.lot_size, fresh.alloted_capital, fresh.existing_qty, fresh.avg_price] == [None] * 4


@pytest.mark.parametrize("make, type_field, fields", [
    (lambda: tm.StopConfig(), ("stop_type", "none"), {}),
    (lambda: tm.StopConfig.fixed(1.5), ("stop_type", "fixed"), {"percent": 1.5}),
    (lambda: tm.StopConfig.trailing(percent=2), ("stop_type", "trailing"), {"percent": 2.0}),
    (lambda: tm.StopConfig.atr(2.0, 14), ("stop_type", "atr"), {"multiplier": 2.0, "period": 14}),
    (lambda: tm.TargetConfig(), ("target_type", "none"), {}),
    (lambda: tm.TargetConfig.fixed(3), ("target_type", "fixed"), {"percent": 3.0}),
    (lambda: tm.TargetConfig.atr(period=5, multiplier=1.0), ("target_type", "atr"), {"multiplier": 1.0, "period": 5}),
    (lambda: tm.TargetConfig.risk_reward(2.0), ("target_type", "risk_reward"), {"ratio": 2.0}),
])
def test_stop_and_target_configs(make, type_field, fields):
    obj = make()
    optional = ["percent", "multiplier", "period"] + (["ratio"] if type_field[0] == "target_type" else [])
    assert properties(type(obj)) == [type_field[0]] + optional
    assert getattr(obj, type_field[0]) == type_field[1]
    for name in optional:
        assert same(getattr(obj, name), fields.get(name)), name
    assert re.fullmatch(rf"<(builtins\.)?{type(obj).__name__} object at 0x[0-9a-fA-F]+>", repr(obj))


@pytest.mark.parametrize("cls, type_field", [(tm.StopConfig, "stop_type"), (tm.TargetConfig, "target_type")])
def test_stop_and_target_fields_are_unchecked(cls, type_field):
    obj = cls.atr(2.0, 14)
    setattr(obj, type_field, "anything at all")
    obj.percent, obj.multiplier, obj.period = -5, None, 0
    assert getattr(obj, type_field) == "anything at all"
    assert (obj.percent, obj.multiplier, obj.period) == (-5.0, None, 0)
    with pytest.raises(OverflowError):
        obj.period = -1
    with pytest.raises(TypeError):
        obj.period = 1.0
    with pytest.raises(TypeError):
        setattr(obj, type_field, None)
    with pytest.raises(OverflowError):
        cls.atr(2.0, -1)
    with pytest.raises(TypeError, match=r"^argument 'period': "):
        cls.atr(2.0, 14.0)
    assert obj.period == 0 and getattr(obj, type_field) == "anything at all"
