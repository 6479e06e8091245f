"""The manual against the code: every word the code accepts or emits appears
in its docstring and in README.md, each batch indicator's docstring states the
warm-up and tuple order it returns, and no docstring names what the package
lacks. A vocabulary is every lower-case string literal of the engine's sources
that the parser taking the word does not refuse, never the text under test."""

import builtins
import functools
import re
from pathlib import Path

import numpy as np
import pytest
import tidemark as tm

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")
CANDIDATES = sorted({w for path in (ROOT / "src").rglob("*.[ch]*")
                     for w in re.findall(r'"([a-z][a-z0-9_]*)"', path.read_text(encoding="utf-8"))})
TS, PX = np.arange(3, dtype=np.int64), np.array([1.0, 2.0, 3.0])


def submit(portfolio, kind="market", tif="gtc"):
    """A buy with every price field filled, so only the word under probe can be refused."""
    s = tm.PortfolioSession() if portfolio else tm.KernelSession()
    lead = (s.add_instrument("PROBE"),) if portfolio else ()
    s.submit_order(*lead, "buy", kind, 0, 0, "probe", units=1.0, limit_price=1.0, trigger_price=1.0, offset=1.0,
                   tif=tif, expire_ns=1)


PROBES = {  # vocabulary -> (call taking a word and the session kind, start of its refusal, words in it, one not)
    "kind": (lambda w, p: submit(p, kind=w), "unknown order kind", {"market"}, "buy"),
    "tif": (lambda w, p: submit(p, tif=w), "unknown tif", {"gtc"}, "market"),
    "unit": (lambda w, p: tm.aggregate_bars(TS, PX, PX, PX, PX, PX, 1, w), "unknown aggregation unit",
             {"m", "tick", "renko"}, "buy"),
}


def emitted_event_kinds():
    """The kinds of every event from sessions built to provoke each one."""
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


@functools.cache
def vocabulary(name, portfolio=False):
    if name == "event":
        return emitted_event_kinds()
    call, unknown = PROBES[name][:2]

    def kept(word):  # anything but the parser's own refusal keeps the word
        try:
            call(word, portfolio)
        except ValueError as exc:
            return not str(exc).startswith(unknown)
        return True

    return {w for w in CANDIDATES if kept(w)}


@pytest.mark.parametrize("name", PROBES)
def test_probe_finds_the_vocabulary(name):
    # The probe finds something and the parser refuses what is not its word;
    # both sessions take one order vocabulary.
    *_, members, stranger = PROBES[name]
    assert members <= vocabulary(name) and stranger not in vocabulary(name)
    if name != "unit":
        assert vocabulary(name, portfolio=True) == vocabulary(name)


def test_every_event_kind_is_emitted():
    text = (ROOT / "src/core/vocabulary.cpp").read_text(encoding="utf-8")
    table = re.search(r"kEventKinds\[\]\s*=\s*\{(.*?)\};", text, re.S)
    assert table, "the table of event kind texts has moved; point this test at it"
    assert vocabulary("event") == set(re.findall(r'"([a-z_]+)"', table.group(1)))


DOCUMENTED = [(v, where) for v in ("kind", "tif")
              for where in ("KernelSession.submit_order", "PortfolioSession.submit_order", "README")]
DOCUMENTED += [("unit", "aggregate_bars"), ("unit", "README"), ("event", "EngineEvent"), ("event", "README")]


@pytest.mark.parametrize("name, where", DOCUMENTED)
def test_every_word_is_documented(name, where):
    doc = README if where == "README" else functools.reduce(getattr, where.split("."), tm).__doc__
    assert sorted(w for w in vocabulary(name) if f'"{w}"' not in doc) == []


# --- batch indicators: warm-up and tuple order --------------------------------------

_rng = np.random.default_rng(3)
_close = 100.0 + np.cumsum(_rng.normal(0.0, 1.0, 160))
INPUTS = dict(data=_close, close=_close, high=_close + _rng.uniform(0.1, 1.5, 160),
              low=_close - _rng.uniform(0.1, 1.5, 160), volume=_rng.uniform(1.0, 10.0, 160))
INDICATOR_CASES = dict.fromkeys(["sma", "ema", "rsi", "atr", "adx", "rolling_min", "rolling_max"],
                                [dict(period=p) for p in (1, 2, 5, 14)]) | {
    "bollinger_bands": [dict(period=p, std_dev=2.0) for p in (1, 5, 20)],
    "supertrend": [dict(period=p, multiplier=3.0) for p in (1, 7, 10)],
    "macd": [dict(fast_period=f, slow_period=s, signal_period=g) for f, s, g in ((12, 26, 9), (3, 5, 2), (1, 2, 1))],
    "stochastic": [dict(k_period=k, d_period=d) for k, d in ((14, 3), (5, 1), (1, 1), (3, 4))],
    "vwap": [{}],
}


def stated_warmups(doc, outputs):
    """Output name -> warm-up expression, from "First valid index: ..."."""
    found = re.search(r"First valid index: ((?:[^.(`]|`[^`]*`)*)", " ".join(doc.split()))
    assert found, "no 'First valid index:' statement"
    stated = {}
    for part in found.group(1).split(";"):
        names, expr = re.fullmatch(r"\s*(.*?)\s*`([^`]*)`\s*", part).groups()
        stated |= {name: expr for name in (re.split(r",\s*|\s+and\s+", names) if names else outputs)}
    assert sorted(stated) == sorted(outputs), "each output needs its warm-up"
    return stated


def first_valid(series):
    hits = np.flatnonzero(~np.isnan(series) if series.dtype.kind == "f" else series != 0)
    return int(hits[0]) if hits.size else None


def check_tuple_order(named, params):
    """What the names promise, checked on the values."""
    if "middle" in named:
        ok = ~np.isnan(named["middle"])
        assert np.all(named["lower"][ok] <= named["middle"][ok]) and np.all(named["middle"][ok] <= named["upper"][ok])
    if "histogram" in named:
        np.testing.assert_allclose(named["histogram"], named["macd"] - named["signal"], rtol=0, atol=1e-12)
    if "d" in named:  # the d_period mean of k
        d = params["d_period"]
        mean = np.lib.stride_tricks.sliding_window_view(named["k"], d).mean(axis=1)
        np.testing.assert_allclose(named["d"], np.r_[np.full(d - 1, np.nan), mean], rtol=1e-12)
    if "direction" in named:
        assert named["direction"].dtype == np.int8 and set(np.unique(named["direction"])) <= {-1, 0, 1}
        np.testing.assert_equal(np.isnan(named["line"]), named["direction"] == 0)


@pytest.mark.parametrize("name", INDICATOR_CASES)
def test_indicator_docstring_states_its_warm_up_and_tuple_order(name):
    fn = getattr(tm, name)
    found = re.search(r"Returns `\(([^)]*)\)`", fn.__doc__)
    outputs = [o.strip() for o in found.group(1).split(",")] if found else ["value"]
    stated = stated_warmups(fn.__doc__, outputs)
    assert "NaN input:" in fn.__doc__
    arrays = [INPUTS[p] for p in re.findall(r"\w+", fn.__text_signature__) if p in INPUTS]
    for params in INDICATOR_CASES[name]:
        result = fn(*arrays, **params)
        values = result if isinstance(result, tuple) else (result,)
        assert len(values) == len(outputs)
        named = dict(zip(outputs, values))
        for out, expr in stated.items():
            want = eval(expr, {"__builtins__": {}}, dict(params))  # noqa: S307 - the docstring's own arithmetic
            assert first_valid(named[out]) == want, (out, expr, params)
        check_tuple_order(named, params)


# --- no docstring names what the package does not have ---------------------------------

DOCSTRINGS = {name: getattr(tm, name).__doc__ or "" for name in tm.__all__
              if not isinstance(getattr(tm, name), (int, float))}
DOCSTRINGS |= {f"{name}.{attr}": getattr(member, "__doc__", None) or "" for name in tm.__all__
               if isinstance(getattr(tm, name), type)
               for attr, member in vars(getattr(tm, name)).items() if not attr.startswith("__")}
# Version history means nothing to a package at its first release, nor do the
# binding's own workings to its user.
STRAY = re.compile(r"\b\d+\.\d+\.\d+\b|\bpre-\d|class-based|host package|\bPy[A-Z]\w+")


def resolves(path):
    """Whether a quoted name is the package's (or Python's own, such as `None`)."""
    try:
        functools.reduce(getattr, path.split("."), tm if hasattr(tm, path.split(".")[0]) else builtins)
    except AttributeError:
        return False
    return True


@pytest.mark.parametrize("where", DOCSTRINGS)
def test_docstrings_name_only_what_exists(where):
    doc = DOCSTRINGS[where]
    assert [n for n in re.findall(r"`([A-Z][A-Za-z]+(?:\.[a-z_]+)?)(?:\(\))?`", doc)
            if n != "NaN" and not resolves(n)] == []
    assert STRAY.findall(doc) == []


# --- how a bad period fails -------------------------------------------------------------

PERIOD_RULE = "A period of 0 raises ValueError, a negative one OverflowError."


@pytest.mark.parametrize("name", [n for n in INDICATOR_CASES if "period" in getattr(tm, n).__text_signature__])
def test_indicator_docstring_states_how_a_bad_period_fails(name):
    fn = getattr(tm, name)
    assert PERIOD_RULE in " ".join(fn.__doc__.split())
    arrays = [INPUTS[p] for p in re.findall(r"\w+", fn.__text_signature__) if p in INPUTS]
    params = INDICATOR_CASES[name][0]
    for key in (k for k in params if k.endswith("period")):
        for bad, error in ((0, ValueError), (-1, OverflowError)):
            with pytest.raises(error):
                fn(*arrays, **params | {key: bad})


# --- the README's table of which runner fills which metric ------------------------------

METRICS = {f for f in dir(tm.BacktestMetrics) if not f.startswith("_") and f != "to_dict"}
DAY = 86_400 * 10**9


def metric_table():
    """Runner -> the metrics the README's table says it fills ("every metric but ..." or "only ...")."""
    table = {}
    for line in README.split("\n## Metrics\n")[1].split("\n## ")[0].splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 4 and cells[1].startswith(("every metric", "only ")):
            named = set(re.findall(r"`(\w+)`", cells[1]))
            table |= dict.fromkeys(re.findall(r"`([^`]+)`", cells[0]),
                                   named if cells[1].startswith("only") else METRICS - named)
    return table


def table_runs():
    """Runner -> a run with winning and losing trades, fees, and a position open at the end."""
    n, rng = 400, np.random.default_rng(11)
    c = 100 * np.cumprod(1 + rng.normal(0, 0.02, n))
    o = c * (1 + rng.normal(0, 0.003, n))
    h, lo, v, ts = np.maximum(o, c) * 1.005, np.minimum(o, c) * 0.995, np.ones(n), np.arange(n, dtype=np.int64) * DAY
    ent, ex = np.zeros(n, bool), np.zeros(n, bool)
    ent[5::40], ex[25:360:40] = True, True
    bars, row = (ts, o, h, lo, c, v), (ts, o, h, lo, c, v, ent, ex, 1, 1.0, "A")
    legs = ([c * 0.05], [("CE", 100.0, 1, 1)])

    def kernel_session():
        s = tm.KernelSession()
        for i in range(n):
            s.step(i, *(x[i] for x in bars), entry=bool(ent[i]), exit=bool(ex[i]))
        return s.finish()

    def portfolio_session():
        s = tm.PortfolioSession()
        s.set_bars(s.add_instrument("A"), *bars)
        s.seal()
        while s.remaining():
            i = s.current()[1]
            s.apply_current(entry=bool(ent[i]), exit=bool(ex[i]))
        return s.finish().result

    return {
        "run_single_backtest": lambda: tm.run_single_backtest(*bars, ent, ex),
        "run_multi_backtest": lambda: tm.run_multi_backtest(*bars, [(ent, ex, 1, 1.0, "a")]),
        'run_multi_backtest(combine_mode="independent")':
            lambda: tm.run_multi_backtest(*bars, [(ent, ex, 1, 1.0, "a")], combine_mode="independent"),
        "run_portfolio_backtest": lambda: tm.run_portfolio_backtest([row]).result,
        "KernelSession": kernel_session,
        "PortfolioSession": portfolio_session,
        "run_tick_backtest": lambda: tm.run_tick_backtest(ts, c, c, c, v, v, v, ent, ex, entry_cooldown_ticks=0,
                                                          max_hold_seconds=0, stop_loss_pct=90.0),
        "run_spread_backtest": lambda: tm.run_spread_backtest(ts, c, *legs, ent, ex),
        "batch_spread_backtest":
            lambda: tm.batch_spread_backtest(ts, c, [tm.BatchSpreadItem("s", *legs, ent, ex)])[0][1],
        "run_options_backtest": lambda: tm.run_options_backtest(*bars, c * 0.05, ent, ex),
        "run_pairs_backtest": lambda: tm.run_pairs_backtest(*bars, ts, o, h, lo, c[::-1].copy(), v, ent, ex),
        "run_basket_backtest": lambda: tm.run_basket_backtest([row]),
    }


RUNS = table_runs()


@pytest.mark.parametrize("runner", RUNS)
def test_metrics_table_names_what_each_runner_fills(runner):
    table = metric_table()
    assert sorted(table) == sorted(RUNS)
    metrics = RUNS[runner]().metrics
    assert sorted(f for f in METRICS if getattr(metrics, f) not in (0, None)) == sorted(table[runner])


# --- the analytics' results say what each member holds -----------------------------------

FIRST_LINES = {"RiskModel.cov": "Covariance of per-period returns as an `n_assets x n_assets` array.",
               "RankIC.t_stat_deflated": "Overlap-corrected t-stat. Decide on THIS, not `t_stat`.",
               "RankIC.n_independent": "Roughly how many non-overlapping forward windows back the measurement.",
               "OptimizationResult.turnover": "One-way turnover: half of sum |w - w_current|."}


@pytest.mark.parametrize("cls", ["OptimizationResult", "RiskModel", "RiskContributions", "RankIC",
                                 "RebalanceSimResult"])
def test_every_member_of_an_analytics_result_has_a_docstring(cls):
    docs = {f"{cls}.{n}": DOCSTRINGS[f"{cls}.{n}"] for n in vars(getattr(tm, cls)) if not n.startswith("_")}
    assert len(docs) >= 4 and [n for n, doc in docs.items() if len(doc) < 30] == []
    assert all(docs[n].startswith(FIRST_LINES[n] + "\n\n") for n in docs if n in FIRST_LINES)


@pytest.mark.parametrize("where, phrase", [
    ("simulate_rebalance_policy", "`min_trade_value`"), ("OptimizerConfig", "`min_trade_value`"),
    ("README", "`min_trade_value`"), ("OptimizationResult.weights", "1e-10"), ("README", "1e-10"),
    ("estimate_covariance", "not T - 1"), ("zscore_panel", "ddof 0"), ("OptimizationResult.snapped", "list of bools"),
    ("OptimizerConfig", "must be above 0"), ("OptimizationResult.cash", "1 - net"),
    ("simulate_rebalance_policy", "two-date panel"), ("optimize_portfolio", "binds at the optimum")])
def test_the_manual_states_what_a_user_of_the_analytics_needs(where, phrase):
    doc = README.split("\n## Portfolio analytics\n")[1].split("\n## ")[0] if where == "README" else \
        functools.reduce(getattr, where.split("."), tm).__doc__
    assert phrase in " ".join(doc.split())


# --- what the README's examples cannot pin: the docstrings of lots and refusals ---------

@pytest.mark.parametrize("where, phrase", [
    ("InstrumentSpec.option", "`lot_size=0` is read as 1, and a lot of 1 rounds nothing"),
    ("InstrumentSpec.lot_size", "a `lot_size` of 0 is read as 1"),
    ("InstrumentConfig.lot_size", "0 trades fractional units"),
    ("InstrumentConfig.lot_size", "A `lot_size` given here, 0 included, overrides the instrument's"),
    ("PortfolioResult.rejected_entries", '"invalid_qty" (a closing order with nothing to close)'),
    ("InstrumentSummary.rejected_entries", "`PortfolioResult.rejected_entries`")])
def test_the_docstrings_state_what_lots_of_0_and_rejected_entries_mean(where, phrase):
    assert phrase in " ".join(functools.reduce(getattr, where.split("."), tm).__doc__.split())
