"""The manual against the code: every vocabulary word the code accepts or
emits appears in the docstring that documents it and in README.md, each batch
indicator's docstring states the warm-up and tuple order its function
returns, and no docstring names something the package does not have.

The vocabularies are taken from the code's behaviour, not from the text under
test: every lower-case string literal of the engine's sources is offered to
the parser that takes the word, and the words it keeps are the vocabulary."""

import builtins
import re
from pathlib import Path

import numpy as np
import pytest
import tidemark as tm

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")


def literals(paths):
    """Every lower-case identifier written as a string literal in `paths`."""
    words = set()
    for path in paths:
        words |= set(re.findall(r'"([a-z][a-z0-9_]*)"', path.read_text(encoding="utf-8")))
    return words


CANDIDATES = sorted(literals((ROOT / "src").rglob("*.[ch]*")))


def refused(call, unknown):
    """Whether `call` refuses its word as unknown; any other outcome keeps it."""
    try:
        call()
    except ValueError as exc:
        return str(exc).startswith(unknown)
    return False


def kernel_submit(kind="market", tif="gtc"):
    s = tm.KernelSession()
    return lambda: s.submit_order("buy", kind, 0, 0, "probe", units=1.0, limit_price=1.0, trigger_price=1.0,
                                  offset=1.0, tif=tif, expire_ns=1)


def portfolio_submit(kind="market", tif="gtc"):
    s = tm.PortfolioSession()
    i = s.add_instrument("PROBE")
    return lambda: s.submit_order(i, "buy", kind, 0, 0, "probe", units=1.0, limit_price=1.0, trigger_price=1.0,
                                  offset=1.0, tif=tif, expire_ns=1)


def accepted(make_call, unknown):
    return {w for w in CANDIDATES if not refused(make_call(w), unknown)}


def order_kinds(submit):
    return accepted(lambda w: submit(kind=w), "unknown order kind")


def times_in_force(submit):
    return accepted(lambda w: submit(tif=w), "unknown tif")


def bar_units():
    ts = np.arange(3, dtype=np.int64)
    px = np.array([1.0, 2.0, 3.0])

    def call(unit):
        return lambda: tm.aggregate_bars(ts, px, px, px, px, px, 1, unit)

    return accepted(call, "unknown aggregation unit")


def emitted_event_kinds():
    """The kinds of every event a set of sessions built to provoke each one
    emits."""
    kinds = set()
    s = tm.KernelSession(config=tm.BacktestConfig(fees=0.0))
    s.submit_order("buy", "limit", 0, 0, "rest", units=1.0, limit_price=50.0)  # canceled below
    s.submit_order("buy", "limit", 0, 0, "gtd", units=1.0, limit_price=50.0, tif="gtd", expire_ns=1)
    s.submit_order("buy", "stop_limit", 0, 0, "stop", units=1.0, trigger_price=100.5, limit_price=10.0)
    s.submit_order("buy", "limit", 0, 0, "post", units=1.0, limit_price=200.0, post_only=True)
    s.submit_twap(2.0, "buy", 2, 1, 0, 0, "twap")
    for i in range(3):
        kinds |= {e.kind for e in s.step(i, i, 100.0, 101.0, 99.0, 100.0, 1000.0, entry=i == 0, exit=i == 2)}
    s.cancel_order(3, 0)
    kinds |= {e.kind for e in s.step(3, 3, 100.0, 101.0, 99.0, 100.0, 1000.0)}
    # A leveraged account that falls below maintenance and then refuses an entry.
    m = tm.KernelSession(config=tm.BacktestConfig(fees=0.0, liquidate_on_margin_call=True), account_type="margin",
                         leverage=4.0)
    m.submit_order("buy", "market", 0, 0, "big", units=3000.0)
    for i, (low, close) in enumerate([(100.0, 100.0), (74.0, 75.0), (75.0, 75.0)]):
        kinds |= {e.kind for e in m.step(i, i, close, close, low, close, 1.0, entry=i == 2)}
    return kinds


def event_kind_table():
    """The kind texts the engine's event records are printed with."""
    text = (ROOT / "src/core/vocabulary.cpp").read_text(encoding="utf-8")
    table = re.search(r"kEventKinds\[\]\s*=\s*\{(.*?)\};", text, re.S)
    assert table, "the table of event kind texts has moved; point this test at it"
    return set(re.findall(r'"([a-z_]+)"', table.group(1)))


def missing(words, text):
    return sorted(w for w in words if f'"{w}"' not in text)


def test_both_sessions_take_one_order_vocabulary():
    kinds = order_kinds(kernel_submit)
    tifs = times_in_force(kernel_submit)
    # The probe finds something, and the parser refuses what is not a kind.
    assert "market" in kinds and "buy" not in kinds and "gtc" in tifs and "market" not in tifs
    assert order_kinds(portfolio_submit) == kinds
    assert times_in_force(portfolio_submit) == tifs


@pytest.mark.parametrize("doc", [tm.KernelSession.submit_order.__doc__, tm.PortfolioSession.submit_order.__doc__,
                                 README], ids=["KernelSession", "PortfolioSession", "README"])
def test_every_order_kind_and_time_in_force_is_documented(doc):
    assert missing(order_kinds(kernel_submit), doc) == []
    assert missing(times_in_force(kernel_submit), doc) == []


@pytest.mark.parametrize("doc", [tm.aggregate_bars.__doc__, README], ids=["aggregate_bars", "README"])
def test_every_bar_unit_is_documented(doc):
    units = bar_units()
    assert {"m", "tick", "renko"} <= units and "buy" not in units
    assert missing(units, doc) == []


def test_every_event_kind_is_emitted_and_documented():
    kinds = emitted_event_kinds()
    assert kinds == event_kind_table()
    assert missing(kinds, tm.EngineEvent.__doc__) == []
    assert missing(kinds, README) == []


# --- batch indicators: warm-up and tuple order --------------------------------------

def walk(n=160, seed=3):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    high = close + rng.uniform(0.1, 1.5, n)
    low = close - rng.uniform(0.1, 1.5, n)
    volume = rng.uniform(1.0, 10.0, n)
    return dict(data=close, high=high, low=low, close=close, volume=volume)


PERIODS = [dict(period=p) for p in (1, 2, 5, 14)]
INDICATOR_CASES = {
    "sma": PERIODS, "ema": PERIODS, "rsi": PERIODS, "atr": PERIODS, "adx": PERIODS,
    "rolling_min": PERIODS, "rolling_max": PERIODS,
    "bollinger_bands": [dict(period=p, std_dev=2.0) for p in (1, 5, 20)],
    "supertrend": [dict(period=p, multiplier=3.0) for p in (1, 7, 10)],
    "macd": [dict(fast_period=f, slow_period=s, signal_period=g) for f, s, g in ((12, 26, 9), (3, 5, 2), (1, 2, 1))],
    "stochastic": [dict(k_period=k, d_period=d) for k, d in ((14, 3), (5, 1), (1, 1), (3, 4))],
    "vwap": [{}],
}


def stated_warmups(doc, outputs):
    """Output name -> warm-up expression, from "First valid index: ..."."""
    text = " ".join(doc.split())
    found = re.search(r"First valid index: ((?:[^.(`]|`[^`]*`)*)", text)
    assert found, "no 'First valid index:' statement"
    stated = {}
    for part in found.group(1).split(";"):
        names, expr = re.fullmatch(r"\s*(.*?)\s*`([^`]*)`\s*", part).groups()
        for name in re.split(r",\s*|\s+and\s+", names) if names else outputs:
            stated[name] = expr
    assert sorted(stated) == sorted(outputs), "each output needs its warm-up"
    return stated


def stated_outputs(doc):
    found = re.search(r"Returns `\(([^)]*)\)`", doc)
    return [name.strip() for name in found.group(1).split(",")] if found else ["value"]


def first_valid(series):
    series = np.asarray(series)
    valid = ~np.isnan(series) if series.dtype.kind == "f" else series != 0
    hits = np.flatnonzero(valid)
    return int(hits[0]) if hits.size else None


def check_tuple_order(named, params):
    """What the names promise, checked on the values."""
    if "middle" in named:
        ok = ~np.isnan(named["middle"])
        assert np.all(named["lower"][ok] <= named["middle"][ok]) and np.all(named["middle"][ok] <= named["upper"][ok])
    if "histogram" in named:
        np.testing.assert_allclose(named["histogram"], named["macd"] - named["signal"], rtol=0, atol=1e-12)
    if "d" in named:
        d = params["d_period"]
        k = named["k"]
        expected = np.convolve(k, np.ones(d) / d, mode="full")[:len(k)]
        expected[:d - 1] = np.nan
        np.testing.assert_allclose(named["d"], expected, rtol=1e-12)
    if "direction" in named:
        assert named["direction"].dtype == np.int8 and set(np.unique(named["direction"])) <= {-1, 0, 1}
        np.testing.assert_equal(np.isnan(named["line"]), named["direction"] == 0)


@pytest.mark.parametrize("name", list(INDICATOR_CASES))
def test_indicator_docstring_states_its_warm_up_and_tuple_order(name):
    fn = getattr(tm, name)
    doc = fn.__doc__
    outputs = stated_outputs(doc)
    stated = stated_warmups(doc, outputs)
    assert "NaN input:" in doc
    inputs = walk()
    arrays = [p for p in ("data", "high", "low", "close", "volume") if re.search(rf"\b{p}\b", fn.__text_signature__)]
    for params in INDICATOR_CASES[name]:
        result = fn(*[inputs[a] for a in arrays], **params)
        values = result if isinstance(result, tuple) else (result,)
        assert len(values) == len(outputs)
        named = dict(zip(outputs, values))
        for out, expr in stated.items():
            want = eval(expr, {"__builtins__": {}}, dict(params))  # noqa: S307 - the docstring's own arithmetic
            assert first_valid(named[out]) == want, (out, expr, params)
        check_tuple_order(named, params)


# --- no docstring names what the package does not have ---------------------------------

def all_docstrings():
    for name in tm.__all__:
        obj = getattr(tm, name)
        if isinstance(obj, (int, float)):
            continue
        yield name, obj.__doc__ or ""
        if isinstance(obj, type):
            for attr, member in vars(obj).items():
                if not attr.startswith("__"):
                    yield f"{name}.{attr}", getattr(member, "__doc__", None) or ""


def resolves(path):
    """Whether a name a docstring quotes is the package's (or Python's own,
    such as `None`), with its dotted attribute."""
    obj = tm if hasattr(tm, path.split(".")[0]) else builtins
    for part in path.split("."):
        if not hasattr(obj, part):
            return False
        obj = getattr(obj, part)
    return True


DOCSTRINGS = list(all_docstrings())


@pytest.mark.parametrize("where, doc", DOCSTRINGS, ids=[where for where, _ in DOCSTRINGS])
def test_docstrings_name_only_what_exists(where, doc):
    named = re.findall(r"`([A-Z][A-Za-z]+(?:\.[a-z_]+)?)(?:\(\))?`", doc)
    assert [n for n in named if n != "NaN" and not resolves(n)] == []
    # Version history means nothing to a package at its first release.
    assert not re.search(r"\b\d+\.\d+\.\d+\b|\bpre-\d", doc)
    assert "class-based" not in doc and "host package" not in doc and not re.search(r"\bPy[A-Z]\w+", doc)
