"""KernelSession: construction, stepping, views, engine events, finishing,
and its agreement with run_single_backtest on the same bars and signals."""

import numpy as np
import pytest

import tidemark as tm
from portfolio_util import flat_bars
from runner_util import walk_bars
from session_util import BARS, drive, session, submit


def test_defaults():
    s = tm.KernelSession()
    assert s.equity() == s.cash() == s.free_capital() == 100000.0
    assert s.position() is None and s.positions() == [] and not s.is_in_position()
    out = s.step(0, 0, 100.0, 100.0, 100.0, 100.0, 1.0, entry=True)
    # Long, all of the capital, the default fee of 0.001 included.
    assert [e.kind for e in out] == ["entered"]
    assert out[0].direction == 1 and out[0].size == pytest.approx(100000 / 100.1)
    assert s.finish().trades()[0].symbol == "ASSET"


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(direction=0), ValueError, "direction must be 1 (long) or -1 (short), got 0"),
    (dict(direction=2**31), OverflowError, None),
    (dict(oms_type="Netting"), ValueError, "oms_type must be 'netting' or 'hedging', got Netting"),
    (dict(account_type="margin", leverage=0.0), ValueError, "leverage must be > 0"),
    (dict(account_type="Cash"), ValueError, "account_type must be 'cash' or 'margin', got \"Cash\""),
    (dict(symbol="S", instrument=tm.InstrumentSpec.index("NIFTY")), ValueError,
     "instrument NIFTY is not tradable (kind=Index)"),
    (dict(config=tm.InstrumentConfig()), TypeError, "config"),
    (dict(leverage=None), TypeError, "leverage"),
])
def test_construction_errors(kwargs, error, message):
    with pytest.raises(error) as exc:
        tm.KernelSession(**kwargs)
    if message is not None and error is ValueError:
        assert str(exc.value) == message
    elif message is not None:
        assert message in str(exc.value)


def test_a_cash_account_ignores_the_leverage():
    assert tm.KernelSession(account_type="cash", leverage=-5.0).cash() == 100000.0


@pytest.mark.parametrize("spec_lot, ic_lot, filled", [(1.0, None, 75.0), (50.0, None, 50.0), (50.0, 10.0, 70.0)])
def test_lot_size_comes_from_the_overrides_then_the_instrument(spec_lot, ic_lot, filled):
    spec = tm.InstrumentSpec.equity("X", lot_size=spec_lot)
    ic = tm.InstrumentConfig(lot_size=ic_lot) if ic_lot else None
    s = session(instrument=spec, instrument_config=ic)
    drive(s, BARS[:1], before={0: submit("buy", "market", units=75.0)})
    assert s.position().size == filled


def test_the_contract_multiplier_scales_profit():
    spec = tm.InstrumentSpec.futures_contract("F", 10**18, 1.0, multiplier=50.0)
    s = session(instrument=spec)
    drive(s, BARS[:2], before={0: submit("buy", "market", units=2.0), 1: submit("sell", "market", units=None)})
    assert s.finish().trades()[0].pnl == 2 * 50 * (101.0 - 100.0)


def test_views_are_snapshots():
    s = session(oms_type="hedging")
    drive(s, BARS[:2], before={0: submit("buy", "market"), 1: submit("sell", "market", units=4.0)})
    first = s.position()
    assert (first.position_id, first.entry_idx, first.entry_price, first.size, first.direction) == (0, 0, 100.0, 10.0, 1)
    assert first.stop_price is None and first.target_price is None
    assert [p.direction for p in s.positions()] == [1, -1]
    s.set_stop_price(95.0)
    assert first.stop_price is None and s.position().stop_price == 95.0
    with pytest.raises(AttributeError):
        first.size = 1.0


def test_margin_free_capital():
    s = session(account_type="margin", leverage=2.0)
    drive(s, BARS[:1], before={0: submit("buy", "market", units=100.0)})
    # 100 units at 100 lock half their value.
    assert s.cash() == 100000.0 and s.free_capital() == 95000.0


def test_equity_is_the_last_sample():
    s = session()
    drive(s, BARS[:2], before={0: submit("buy", "market")})
    assert s.equity() == 100000.0 + 10 * (101.0 - 100.0)
    s.submit_order("sell", "market", 2, 2, "X")
    assert s.equity() == 100010.0  # orders placed since are not reflected


def test_stop_and_target_setters():
    s = session()
    s.set_stop_price(95.0)  # flat: nothing happens
    drive(s, BARS[:1], before={0: submit("buy", "market")})
    with pytest.raises(ValueError, match="^unknown position id 42$"):
        s.set_stop_price(95.0, position_id=42)
    s.set_target_price(101.5, position_id=0)
    s.set_stop_price(97.0)
    s.set_stop_price(None)  # cleared again
    assert s.position().stop_price is None
    out = drive(s, BARS[1:2], start=1)
    assert out == [("exited", 1, 101.5, 10.0, "TakeProfit")]


def test_request_close():
    s = session()
    drive(s, BARS[:1], before={0: submit("buy", "market")})
    assert s.request_close(7) is None
    s.request_close(0)
    s.request_close(0)
    assert drive(s, BARS[1:2], start=1) == [("exited", 1, 101.0, 10.0, "Signal")]


def test_event_fields_by_kind():
    cfg = tm.BacktestConfig(fees=0.0)
    s = tm.KernelSession(config=cfg, account_type="margin", leverage=4.0)
    s.submit_order("buy", "market", 0, 0, "A", units=3000.0)
    accepted, filled, entered = s.step(0, 0, 100.0, 100.0, 100.0, 100.0, 1.0)
    call, = s.step(1, 1, 80.0, 80.0, 74.0, 75.0, 1.0)
    s.submit_order("buy", "market", 2, 2, "B", units=1.0)
    s.request_close(0)
    exited, rejected_entry, _, rejected = s.step(2, 2, 75.0, 75.0, 75.0, 75.0, 1.0, entry=True)
    assert (accepted.order_id, accepted.client_order_id, accepted.price, accepted.trade) == (0, "A", None, None)
    assert (filled.price, filled.size, filled.direction) == (100.0, 3000.0, None)
    assert (entered.price, entered.size, entered.direction, entered.order_id) == (100.0, 3000.0, 1, None)
    assert (call.kind, call.price, call.size, call.direction, call.order_id) == ("margin_call", 25000.0, 28125.0,
                                                                                 None, None)
    assert exited.trade is not exited.trade
    assert exited.trade.exit_reason == "Signal" and exited.trade.exit_price == 75.0
    assert (exited.price, exited.size, exited.direction) == (75.0, 3000.0, 1)
    assert (exited.order_id, exited.client_order_id, exited.reject_reason) == (None, None, None)
    # The same refusal reads as a name for an entry and as a text for an order.
    assert (rejected_entry.kind, rejected_entry.reject_reason) == ("entry_rejected", "MarginCall")
    assert (rejected.kind, rejected.reject_reason, rejected.order_id) == ("order_rejected", "margin_call", 1)
    assert repr(entered) == "EngineEvent(kind=entered, idx=0)"
    with pytest.raises(AttributeError):
        entered.kind = "exited"


def test_algo_events_carry_the_schedule():
    s = session()
    s.submit_twap(1.0, "buy", 1, 1, 3, 0, "T")
    started = s.step(0, 0, *BARS[0], 1.0)[0]
    assert (started.kind, started.idx, started.order_id, started.client_order_id) == ("algo_started", 3, 0, "T")


def test_snapshot_repr():
    s = session()
    s.submit_order("buy", "market", 3, 3, "A", units=10.0)
    s.step(3, 3, 101.256, 101.256, 101.256, 101.256, 1.0)
    assert repr(s.position()) == "PositionSnapshot(entry_idx=3, entry_price=101.26, size=10.00, direction=1)"


@pytest.mark.parametrize("kwargs, error, name", [
    (dict(atr=None), TypeError, "atr"),
    (dict(entry=1), TypeError, "entry"),
    (dict(exit=None), TypeError, "exit"),
    (dict(size_mult="x"), TypeError, "size_mult"),
    (dict(idx=-1), OverflowError, None),
    (dict(timestamp=2**63), OverflowError, None),
    (dict(close="1"), TypeError, "close"),
])
def test_step_argument_errors_change_nothing(kwargs, error, name):
    s = session()
    args = dict(idx=0, timestamp=0, open=1.0, high=1.0, low=1.0, close=1.0, volume=1.0) | kwargs
    positional = [args.pop(k) for k in ("idx", "timestamp", "open", "high", "low", "close", "volume")]
    with pytest.raises(error) as exc:
        s.step(*positional, **args)
    if name:
        assert f"argument '{name}'" in str(exc.value)
    assert s.finish().equity_curve().size == 0


def test_keyword_and_positional_steps_agree():
    a, b = session(), session()
    for s in (a, b):
        s.submit_order("buy", "limit", 0, 0, "A", units=10.0, limit_price=99.5, stop_price=97.0)
    for i, (o, h, l, c) in enumerate(BARS):
        x = a.step(i, i, o, h, l, c, 10.0, False, False, 0.0, None, None, None)
        y = b.step(idx=i, timestamp=i, open=o, high=h, low=np.float64(l), close=c, volume=10, atr=0)
        assert [(e.kind, e.price, e.size) for e in x] == [(e.kind, e.price, e.size) for e in y]
    assert (a.finish().equity_curve() == b.finish().equity_curve()).all()


def test_a_session_cannot_be_reentered_while_stepping():
    s = session()

    class Sneaky:
        def __float__(self):
            s.cash()
            return 1.0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.step(0, 0, 1.0, 1.0, 1.0, Sneaky(), 1.0)
    assert s.cash() == 100000.0


CALLS = [
    ("step", (0, 0, 1.0, 1.0, 1.0, 1.0, 1.0)), ("cash", ()), ("equity", ()), ("free_capital", ()),
    ("is_in_position", ()), ("position", ()), ("positions", ()), ("submit_twap", (1.0, "buy", 1, 1, 0, 0, "T")),
    ("cancel_twap", (0, 0)), ("submit_order", ("buy", "market", 0, 0, "A")), ("cancel_order", (0, 0)),
    ("modify_order", (0,)), ("cancel_all_orders", (0,)), ("link_oco", ([0],)), ("request_close", (0,)),
    ("set_underlying_price", ()), ("set_stop_price", (None,)), ("set_target_price", (None,)),
    ("open_order_ids", ()),
]


@pytest.mark.parametrize("name, args", CALLS, ids=[c[0] for c in CALLS])
def test_a_finished_session_refuses_every_call(name, args):
    s = session()
    s.finish()
    with pytest.raises(ValueError) as exc:
        getattr(s, name)(*args)
    assert str(exc.value) == "session is finished; create a new one"


def test_finish_consumes_the_session():
    s = session()
    s.finish()
    with pytest.raises(ValueError, match="^session is already finished$"):
        s.finish()
    # Checks that need no session come first.
    with pytest.raises(ValueError, match="got SELL"):
        s.submit_twap(1.0, "SELL", 1, 1, 0, 0, "T")


def test_finish_force_closes_at_the_last_close():
    s = session()
    drive(s, BARS[:2], before={0: submit("buy", "market")})
    r = s.finish()
    t, = r.trades()
    assert (t.exit_reason, t.exit_price, t.exit_idx, t.exit_fees) == ("EndOfData", 101.0, 1, 0.0)
    assert r.metrics.end_value == 100010.0 and len(r.equity_curve()) == 2


def test_open_order_ids_lists_working_orders_in_order():
    s = session()
    ids = [s.submit_order("buy", "limit", 0, 0, c, units=1.0, limit_price=p) for c, p in (("A", 50.0), ("B", 99.5))]
    waiting = s.submit_order("sell", "limit", 0, 0, "C", units=1.0, limit_price=200.0, parent_id=ids[0])
    assert s.open_order_ids() == ids + [waiting]
    drive(s, BARS[:2])
    assert s.open_order_ids() == [ids[0], waiting]


# --- a margin account funds what it enters ----------------------------------------

def margin_entry(where, cfg, leverage, spec, intent, order, price=100.0):
    """One long entry by the step's `intent` or a size_frac `order`: its size, and the free capital before and after.
    In a PortfolioSession the entry is B's, after A's event ("PortfolioSession after A": A takes half the pool)."""
    if where != "KernelSession":
        s = tm.PortfolioSession(cfg, "margin", leverage)
        s.add_instrument("A")
        s.add_instrument("B", instrument=spec)
        flat_bars(s, 0, [0], [102.5])
        flat_bars(s, 1, [1], [price])
        s.seal()
        s.apply_current(entry=where.endswith("after A"), size_mult=0.5)
        if order:
            s.submit_order(1, "buy", "market", 0, 1, "o", size_frac=order)
        before = s.free_capital()
        events = s.apply_current(**intent)
    else:
        s = tm.KernelSession(config=cfg, instrument=spec, account_type="margin", leverage=leverage)
        if order:
            s.submit_order("buy", "market", 0, 0, "o", size_frac=order)
        before = s.free_capital()
        events = s.step(0, 0, price, price, price, price, 1000.0, **intent)
    (entered,) = [e for e in events if e.kind == "entered"]
    return entered.size, before, s.free_capital()


FUT = tm.InstrumentSpec.futures_contract("F", 10**18, 25.0, margin_init=0.2)


@pytest.mark.parametrize("where", ["KernelSession", "PortfolioSession"])
@pytest.mark.parametrize("fees, segment, leverage, spec, intent, order, size", [
    (0.0, None, 1.0, None, dict(entry=True, size_mult=50.0), None, 1000.0),  # 50x the capital: all of it
    (0.0, "NSE", 1.0, None, dict(entry=True), None, None),                   # no allowance for the real fee
    (0.0, "NFO-OPT", 1.0, None, dict(entry=True), None, None),
    (0.0, "NSE", 4.0, None, dict(entry=True, size_mult=10.0), None, None),
    (0.0, "NSE", 1.0, None, {}, 1.0, None),                                  # a size_frac order
    (0.0, "NFO-FUT", 1.0, FUT, dict(entry=True), None, 4975.0),              # 200 lots and a fee: 199
    (0.001, None, 2.0, None, dict(entry=True, size_mult=0.5), None, 0.5 * 100000.0 / (100.0 * (0.001 + 0.5))),
])
def test_a_margin_entry_sized_from_the_capital_fits_the_free_capital(where, fees, segment, leverage, spec, intent,
                                                                      order, size):
    got, _, free = margin_entry(where, tm.BacktestConfig(fees=fees, fee_segment=segment), leverage, spec, intent,
                                order)
    assert free >= 0.0
    if size is None:
        # Cut by the fee only, to what leaves nothing worth a unit.
        assert got > 990.0 * leverage and free < 1e-6
    else:
        assert got == size   # all the capital, a whole lot fewer, or as sized when it fits


# The fit adds an entry's margin and fee; the account takes them off its free capital one by one, which rounds
# otherwise: the entry is cut by that rounding rather than leave the account a rounding below 0.
@pytest.mark.parametrize("where", ["KernelSession", "PortfolioSession", "PortfolioSession after A"])
@pytest.mark.parametrize("fees, capital, leverage, price, order", [
    (0.01, 1.0, 1.0, 56.350382711004926, None),
    (0.001, 1.0, 2.0, 289.56, 1.0),   # a size_frac order
    (0.01, 502159.7069998847, 2.0, 691.8948931392672, 1.0),
    (0.01, 16878.198220282746, 5.0, 392.45, None),
    (0.01, 16878.198220282746, 5.0, 517.28, 1.0),
])
def test_an_all_in_margin_entry_leaves_the_free_capital_at_0_or_above(where, fees, capital, leverage, price, order):
    cfg = tm.BacktestConfig(fees=fees, initial_capital=capital)
    size, before, free = margin_entry(where, cfg, leverage, None, {} if order else dict(entry=True), order, price)
    assert 0.0 <= free < 1e-12 * capital
    # The allowance is the real fee: all of the free capital, less a rounding.
    assert size == pytest.approx(before / (price * (fees + 1.0 / leverage)), rel=1e-15, abs=0.0)


# --- the session runs the same engine as a vectorised run ---------------------------

@pytest.mark.parametrize("direction", [1, -1])
@pytest.mark.parametrize("timing", [None, "next_bar_open"])
@pytest.mark.parametrize("segment", [None, "NSE"])
def test_a_session_driven_by_signals_matches_run_single_backtest(direction, timing, segment):
    n = 400
    ts, open_, high, low, close, volume = walk_bars(np.random.default_rng(3), n, spread=0.004)
    # Alternating signals, so that the signal processor keeps them all.
    entries = np.zeros(n, dtype=bool)
    exits = np.zeros(n, dtype=bool)
    entries[5::40] = True
    exits[25::40] = True
    cfg = tm.BacktestConfig(fee_segment=segment, fill_timing=timing, slippage=0.0005)
    cfg.set_fixed_stop(0.02)
    expected = tm.run_single_backtest(ts, open_, high, low, close, volume, entries, exits, direction=direction,
                                      symbol="X", config=cfg)
    s = tm.KernelSession("X", direction, cfg)
    for i in range(n):
        s.step(i, int(ts[i]), float(open_[i]), float(high[i]), float(low[i]), float(close[i]), float(volume[i]),
               entry=bool(entries[i]), exit=bool(exits[i]))
    got = s.finish()
    assert (got.equity_curve() == expected.equity_curve()).all()
    assert (got.returns() == expected.returns()).all()
    assert [(t.entry_idx, t.exit_idx, t.pnl, t.exit_reason) for t in got.trades()] == \
           [(t.entry_idx, t.exit_idx, t.pnl, t.exit_reason) for t in expected.trades()]
    assert got.metrics.to_dict() == expected.metrics.to_dict()


@pytest.mark.parametrize("multiplier, seed", [(10.0, 0), (50.0, 1)])
def test_an_all_in_entry_is_not_called_at_its_own_price(multiplier, seed):
    # Read from the value at the mark, the requirement of an entry that took the whole account rounded above the
    # lock it was sized to in 5-7 % of such entries (100000.00000000001 against 100000.0 at 83.2 x 50).
    spec = tm.InstrumentSpec.futures_contract("F", 2**62, 0.0, multiplier=multiplier, margin_init=0.12,
                                              margin_maint=0.12)
    cfg = tm.BacktestConfig(1e5, fees=0.0, liquidate_on_margin_call=True)
    for price in [83.2] + np.round(np.random.default_rng(seed).uniform(20, 200, 150), 2).tolist():
        s = tm.KernelSession(config=cfg, instrument=spec, account_type="margin")
        kinds = [e.kind for i in range(3) for e in s.step(i, i, price, price, price, price, 1e4, entry=i == 0)]
        assert kinds == ["entered"], price
