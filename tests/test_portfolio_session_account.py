"""PortfolioSession: the shared account, adoption, margin call, kill-switch, option offsets, finishing and
routed orders. Fees are 0 unless a test says otherwise; bars are flat, so every fill is at the close."""

import math

import pytest

import tidemark as tm
from portfolio_util import drain, f64, flat_bars, i64, push_flat, session

LIMIT = dict(units=1.0, limit_price=5.0)


def two(closes_a, closes_b, *extra, **kw):
    """Instruments A and B with flat bars at stamps 0, 1, 2, ..., sealed."""
    s = session("A", "B", **kw)
    flat_bars(s, 0, range(len(closes_a)), closes_a)
    flat_bars(s, 1, range(len(closes_b)), closes_b)
    s.seal()
    for name in extra:
        s.add_instrument(name)
    return s


def test_two_instruments_size_off_one_cash_pool():
    fees = 0.001
    s = two([100.0, 100.0, 110.0], [50.0, 50.0, 50.0], fees=fees)
    (_, a), (_, b) = drain(s, {0: dict(entry=True, size_mult=0.5), 1: dict(entry=True, size_mult=0.5)})
    # A takes half of 100,000, fee included; B half of what is left.
    assert a.size == pytest.approx(50000.0 / (100.0 * (1 + fees)))
    assert b.size == pytest.approx(25000.0 / (50.0 * (1 + fees)))
    paid = (a.size * 100.0 + b.size * 50.0) * fees
    assert s.cash() == s.free_capital() == pytest.approx(25000.0, rel=1e-12)
    result = s.finish()
    eq = result.result.equity_curve()   # one sample per stamp, once both instruments are marked
    assert len(eq) == 3 and eq[0] + paid == pytest.approx(100000.0) and eq[1] + paid == pytest.approx(100000.0)
    assert eq[2] == pytest.approx(100000.0 - paid + a.size * 10.0)
    assert [x.trades for x in result.per_instrument] == [1, 1]


@pytest.mark.parametrize("account, fees, price", [("cash", 0.0, 339.0), ("cash", 0.001, 339.0),
                                                  ("margin", 0.0, 339.0), ("margin", 0.002, 101.0)])
@pytest.mark.parametrize("a_mult", [None, 1.0 - 1e-7])
def test_the_pools_rounding_residue_opens_nothing(account, fees, price, a_mult):
    # All in on A leaves B a residue of the pool (1e-27 to 1e-13 here), below 1e-9 of the initial capital:
    # refused as of no size. A 1e-7 share of the pool left over is money and opens.
    s = two([price], [price], fees=fees, account_type=account)
    (_, a), (_, b) = drain(s, {0: dict(entry=True, size_mult=a_mult), 1: dict(entry=True)})
    assert a.kind == "entered"
    if a_mult is None:
        assert (b.kind, b.reject_reason) == ("entry_rejected", "ZeroSize")
        assert 0.0 < s.free_capital() < 1e-4   # the residue stays where it was
        assert [x.trades for x in s.finish().per_instrument] == [1, 0]
    else:
        assert b.kind == "entered" and b.size > 1e-5


@pytest.mark.parametrize("b_close, liquidate", [(100.0, True), (60.0, True), (60.0, False)])
def test_one_margin_rule_for_the_whole_account(b_close, liquidate):
    # A long 400 and B long 1,600 @ 100 lock 20,000 + 80,000. A at 60: equity 84,000 against 6,000 + 40,000,
    # no call though A alone holds 4,000 < 6,000. B at 60 too: 20,000 against 6,000 + 24,000 calls.
    s = two([100.0, 60.0, 59.0], [100.0, b_close, b_close], account_type="margin", leverage=2.0,
            liquidate_on_margin_call=liquidate)
    s.submit_order(0, "buy", "market", 0, 0, "a", units=400.0)
    s.submit_order(1, "buy", "market", 0, 0, "b", units=1600.0)
    s.apply_current(), s.apply_current()  # one pool: the margin of both instruments is locked
    assert (s.cash(), s.free_capital(), s.equity()) == (100000.0, 0.0, 100000.0)
    events = drain(s, {4: dict(entry=True, size_mult=0.1), 5: dict(entry=True, size_mult=0.1)})
    calls = [(c, e.idx, e.price, e.size) for c, e in events if e.kind == "margin_call"]
    exits = [(c, e.trade.symbol, e.price, e.trade.exit_reason) for c, e in events if e.kind == "exited"]
    rejected = [(c, e.reject_reason) for c, e in events if e.kind == "entry_rejected"]
    assert s.is_halted() is (b_close == 60.0)
    if b_close == 100.0:
        assert calls == exits == [] and s.equity() == 100000.0 - 400 * 41.0
        return
    # Called once, on B's bar at schedule position 3, and never again.
    assert calls == [(3, 1, 20000.0, 30000.0)]
    if liquidate:
        assert exits == [(3, "A", 60.0, "Liquidation"), (3, "B", 60.0, "Liquidation")]
        assert (s.cash(), s.free_capital()) == (20000.0, 20000.0)
        assert rejected == [(4, "MarginCall"), (5, "MarginCall")]
    else:
        assert exits == [] and len(s.positions(0)) == len(s.positions(1)) == 1
    result = s.finish()
    assert (result.halted, result.halted_at) == (True, 3)


@pytest.mark.parametrize("limit, trips", [(10.0, True), (10.5, False)])
def test_the_kill_switch_trips_on_portfolio_drawdown(limit, trips):
    s = two([100.0, 90.0, 90.0, 90.0], [7.0] * 4, max_drawdown_pct=limit)
    # All the cash into A; a fall to 90 is a portfolio drawdown of exactly 10 %.
    events = drain(s, {0: dict(entry=True), 4: dict(exit=True), 6: dict(entry=True), 7: dict(entry=True)})
    rejected = [(c, e.reject_reason) for c, e in events if e.kind == "entry_rejected"]
    result = s.finish()
    # Judged once B's bar of stamp 1 (cursor 3) has been applied too.
    assert (result.halted, result.halted_at) == ((True, 3) if trips else (False, None))
    if trips:
        assert rejected == [(6, "DrawdownHalt"), (7, "DrawdownHalt")] and result.rejected_entries == 2
        assert [x.rejected_entries for x in result.per_instrument] == [1, 1]


def test_max_positions_counts_every_instrument():
    s = two([10.0, 10.0], [10.0, 10.0], max_positions=1)
    events = drain(s, {0: dict(entry=True, size_mult=0.1), 1: dict(entry=True, size_mult=0.1),
                       2: dict(exit=True), 3: dict(entry=True, size_mult=0.1)})
    assert [(c, e.kind) for c, e in events] == [(0, "entered"), (1, "entry_rejected"), (2, "exited"), (3, "entered")]
    assert [x.rejected_entries for x in s.finish().per_instrument] == [0, 1]


def test_a_cash_short_moves_equity_with_its_profit():
    s = session()
    s.add_instrument("S", direction=-1)
    flat_bars(s, 0, [0, 1], [100.0, 90.0])
    s.seal()
    drain(s, {0: dict(entry=True)})
    # 1,000 units short from 100 gain 10 each at 90.
    assert (s.cash(), s.equity()) == (0.0, 110000.0)
    assert s.finish().result.trades()[0].pnl == 10000.0


def test_adopted_holdings_keep_their_value_until_marked():
    s = session("HELD", "OTHER", max_drawdown_pct=0.5)
    assert s.adopt_position(0, 5, 100.0, 10.0) == 0
    # Paid from the pool, but still worth 1,000: no phantom loss.
    assert (s.cash(), s.equity()) == (99000.0, 100000.0)
    flat_bars(s, 1, [1, 2], [3.0, 3.0])
    s.seal()
    drain(s)
    assert not s.is_halted()
    result = s.finish().result
    # Never marked: the position stays open, no trade, valued at cost.
    assert result.trades() == [] and list(result.equity_curve()) == [100000.0, 100000.0]


def test_an_adopted_position_is_marked_and_closed_like_any_other():
    s = session()
    s.add_instrument("A", oms_type="hedging")
    assert [s.adopt_position(0, 1, 100.0, 10.0), s.adopt_position(0, 2, 101.0, 5.0)] == [0, 1]
    assert [(p.position_id, p.entry_idx, p.entry_price, p.size, p.direction) for p in s.positions(0)] == [
        (0, 0, 100.0, 10.0, 1), (1, 0, 101.0, 5.0, 1)]
    s.push_tick(0, 3, 0.0, bid=99.0, ask=100.0)
    s.apply_current()  # a quote takes no sample, so adoption is still open
    s.adopt_position(0, 3, 100.0, 1.0)
    push_flat(s, 0, 4, 110.0)
    s.apply_current()
    assert s.equity() == 100000.0 + 10 * 10.0 + 5 * 9.0 + 10.0
    with pytest.raises(ValueError, match="^adopt_position must be called before the first applied event$"):
        s.adopt_position(0, 5, 100.0, 1.0)
    result = s.finish().result
    assert [(t.exit_price, t.exit_reason) for t in result.trades()] == [(110.0, "EndOfData")] * 3
    assert result.equity_curve()[-1] == 100000.0 + sum(t.pnl for t in result.trades()) == 100155.0


@pytest.mark.parametrize("leverage, spec", [
    (1.0, None), (0.5, None), (4.0, tm.InstrumentSpec.equity("E", margin_init=1.0)),
])
def test_a_fully_funded_margin_account_locks_the_adopted_value(leverage, spec):
    s = tm.PortfolioSession(account_type="margin", leverage=leverage)
    s.add_instrument("A", instrument=spec)
    s.adopt_position(0, 0, 100.0, 10.0)
    assert (s.cash(), s.free_capital(), s.equity()) == (100000.0, 99000.0, 100000.0)


NOT_FUNDED = (r"^adopt_position requires a cash or fully funded account \(initial margin rate 0.5 < 1.0\); "
              r"posted margin on a broker-held position is not derivable under leverage$")


@pytest.mark.parametrize("kwargs, args, message", [
    ({}, (0, 0, 0.0, 1.0), r"^adopt_position needs positive price and size \(got size 1 @ 0\)$"),
    ({}, (0, 0, 100.0, -1.0), r"^adopt_position needs positive price and size \(got size -1 @ 100\)$"),
    ({}, (0, 0, float("nan"), 1.5), r"^adopt_position needs positive price and size \(got size 1.5 @ NaN\)$"),
    ({}, (0, 0, float("inf"), 1.0), r"^adopt_position needs positive price and size \(got size 1 @ inf\)$"),
    (dict(account_type="margin", leverage=2.0), (0, 0, 100.0, 1.0), NOT_FUNDED),
    ({}, (1, 0, 100.0, 1.0), "^unknown instrument index 1$"),
    (None, (0, 0, 100.0, 1.0), "^ledger refused adoption: a position is already open$"),  # netting
])
def test_adoption_refusals_leave_the_account_alone(kwargs, args, message):
    s = tm.PortfolioSession(**(kwargs or {}))
    s.add_instrument("A")
    if kwargs is None:
        s.adopt_position(0, 0, 100.0, 1.0)
    before = (s.cash(), s.free_capital(), len(s.positions(0)))
    with pytest.raises(ValueError, match=message):
        s.adopt_position(*args)
    assert (s.cash(), s.free_capital(), len(s.positions(0))) == before == ((99900.0, 99900.0, 1) if kwargs is None
                                                                           else (100000.0, 100000.0, 0))


def call(strike, span, exposure, kind="call"):
    return tm.InstrumentSpec.option(f"NIFTY{strike}{kind[0].upper()}", float(strike), kind, 10**18, 1.0,
                                    multiplier=50.0, underlying="NIFTY", span_pct=span, exposure_pct=exposure)


NAKED = 0.1 * 110 * 50 + 0.05 * 110 * 50  # the short 110 call alone: span plus exposure


# The long 100 call is paid in full (5 x 50 = 250); covered, the short leg needs its exposure and the debit it lacks.
@pytest.mark.parametrize("long_leg_counts, locked", [(True, 250 + 0.05 * 110 * 50 + 3 * 50), (False, 250 + NAKED)])
def test_a_covered_call_spread_locks_less_than_a_naked_call(long_leg_counts, locked):
    s = session(account_type="margin")
    s.add_instrument("L", instrument=call(100, 0.1 if long_leg_counts else 0.0, 0.05 if long_leg_counts else 0.0))
    s.add_instrument("S", instrument=call(110, 0.1, 0.05))
    flat_bars(s, 0, [0, 1], [5.0, 5.0])
    flat_bars(s, 1, [0, 1], [2.0, 2.0])
    s.seal()
    s.submit_order(0, "buy", "market", 0, 0, "l", units=1.0)
    s.submit_order(1, "sell", "market", 0, 0, "s", units=1.0)
    drain(s)
    assert s.cash() - s.free_capital() == pytest.approx(locked)
    # Closing the long leg leaves the short leg naked again.
    s.submit_order(0, "sell", "market", 2, 2, "x")
    push_flat(s, 0, 2, 5.0)
    s.apply_current()
    assert s.cash() - s.free_capital() == pytest.approx(NAKED)


# A long leg joining a short one of its group costs the pool its own margin and the premium the group's credit
# loses (less what covering the short saves): sized from the free capital, it takes all of it and no more; a
# quantity given that the pool cannot fund is refused and leaves the account as it was.
@pytest.mark.parametrize("leverage", [1.0, 2.0])
@pytest.mark.parametrize("short, short_premium, long, long_premium", [
    (call(95, 0.1, 0.05), 8.0, call(105, 0.1, 0.05), 3.0),     # a further call bought
    (call(105, 0.1, 0.05), 3.0, call(95, 0.1, 0.05), 8.0),     # a nearer one: the short is covered
    (call(95, 0.1, 0.05, "put"), 2.0, call(105, 0.1, 0.05, "put"), 7.0),
    (call(100, 0.1, 0.05), 5.0, call(100, 0.1, 0.05, "put"), 5.0),     # a put beside a short call: still naked
])
@pytest.mark.parametrize("sizing", ["size_mult", "size_frac", "units"])
def test_a_long_option_beside_a_short_leg_fits_what_the_pool_locks_for_it(leverage, short, short_premium, long,
                                                                         long_premium, sizing):
    s = session(account_type="margin", leverage=leverage)
    s.add_instrument("S", direction=-1, instrument=short)
    s.add_instrument("L", instrument=long)
    flat_bars(s, 0, [0], [short_premium])
    flat_bars(s, 1, [1], [long_premium])
    s.seal()
    assert s.apply_current(entry=True, size_mult=0.3)[0].kind == "entered"
    before = (s.cash(), s.free_capital())
    units = 0.99 * before[1] / (long_premium * 50.0 / leverage)   # the long's own margin alone: 99 % of what is free
    if sizing != "size_mult":
        s.submit_order(1, "buy", "market", 0, 1, "l", **{sizing: 1.0 if sizing == "size_frac" else units})
    events = s.apply_current(**(dict(entry=True, size_mult=1.0) if sizing == "size_mult" else {}))
    assert "margin_call" not in [e.kind for e in events] and not s.is_halted()
    if sizing == "units":
        (refused,) = [e for e in events if e.kind == "order_rejected"]
        assert refused.reject_reason == "insufficient_capital"
        assert (s.cash(), s.free_capital()) == before and s.positions(1) == []
    else:
        (entered,) = [e for e in events if e.kind == "entered"]
        assert 0.0 <= s.free_capital() < 1e-9 * before[1] and 0.0 < entered.size < units


def test_finish_closes_at_the_last_mark_and_reports_the_closing_cash():
    s = two([100.0, 120.0], [10.0, 10.0], "A", fees=0.001)  # attribution is by instrument, not by symbol
    drain(s, {0: dict(entry=True, size_mult=0.5)})
    cash_before = s.cash()
    result = s.finish()
    trade, = result.result.trades()
    assert (trade.symbol, trade.exit_price, trade.exit_fees, trade.exit_reason) == ("A", 120.0, 0.0, "EndOfData")
    # The last sample was taken before the close; it is replaced by the cash after it.
    assert result.result.equity_curve()[-1] == pytest.approx(cash_before + trade.size * 120.0, rel=1e-12)
    r = result.result
    assert [len(c) for c in (r.equity_curve(), r.drawdown_curve(), r.returns())] == [2, 2, 2]
    assert [(x.symbol, x.trades, x.pnl) for x in result.per_instrument] == [
        ("A", 1, pytest.approx(trade.pnl)), ("B", 0, 0.0), ("A", 0, 0.0)]


def test_finish_without_events():
    r = session("A").finish()
    assert (len(r.result.equity_curve()), r.result.trades(), r.halted, r.halted_at, r.rejected_entries) == (
        0, [], False, None, 0)
    assert [(x.symbol, x.trades, x.pnl, x.rejected_entries) for x in r.per_instrument] == [("A", 0, 0.0, 0)]


def test_the_submission_index_follows_the_pending_event():
    s = two([10.0] * 3, [10.0] * 3, "IDLE")
    s.apply_current()
    s.apply_current()  # both instruments at local index 0; A's index 1 is pending
    s.submit_order(1, "buy", "limit", 99, 0, "b", **LIMIT)   # another's event: B's last, 0
    s.submit_order(0, "buy", "limit", 77, 0, "a", **LIMIT)   # its own event: kept
    s.submit_order(2, "buy", "limit", 55, 0, "i", **LIMIT)   # nothing applied yet: 0
    s.submit_order(0, "buy", "market", 1, 0, "m", units=1.0)
    events = drain(s)
    assert {e.client_order_id: e.idx for _, e in events if e.kind == "order_accepted"} == {"a": 77, "b": 0, "m": 1}
    # A market order stamped with the pending index fills on that step.
    assert [(c, e.kind, e.idx) for c, e in events if e.client_order_id == "m"] == [
        (2, "order_accepted", 1), (2, "order_filled", 1)]
    assert s.working_orders(2) == [(0, "i", "buy", "limit", "accepted", 0.0, 1.0)]
    s.submit_order(0, "buy", "limit", 0, 0, "late", **LIMIT)  # all applied: A's last, 2
    s.push_tick(0, 9, 0.0, bid=9.0, ask=11.0)
    assert [(c, e.kind, e.idx) for c, e in drain(s)] == [(6, "order_accepted", 2)]


def test_a_limit_is_not_worked_on_its_own_submission_step():
    s = session("A")
    flat_bars(s, 0, [0, 1, 2], [10.0, 9.0, 9.0])
    s.seal()
    s.apply_current()
    s.submit_order(0, "buy", "limit", 1, 1, "l", units=1.0, limit_price=9.5)
    assert [(e.kind, e.idx) for e in s.apply_current()] == [("order_accepted", 1)]
    assert [(e.kind, e.idx, e.price) for e in s.apply_current()] == [("order_filled", 2, 9.5), ("entered", 2, 9.5)]


def test_records_of_order_calls_come_back_with_the_next_quote_or_book():
    s = session("A", "B")
    s.set_ticks(0, i64(1), f64(0.0), bid=f64(9.0), ask=f64(11.0))
    s.set_depth(1, i64(1), *[f64(1.0).reshape(1, 1)] * 4)
    flat_bars(s, 0, [2], [10.0])
    s.seal()
    s.submit_order(0, "buy", "limit", 0, 0, "q", **LIMIT)
    s.submit_order(1, "buy", "limit", 0, 0, "d", **LIMIT)
    assert s.cancel_order(1, 0, 0) is True and s.cancel_order(1, 0, 1) is False
    assert [(e.kind, e.client_order_id) for e in s.apply_current()] == [("order_accepted", "q")]
    assert [(e.kind, e.client_order_id) for e in s.apply_current()] == [("order_accepted", "d"),
                                                                        ("order_canceled", "d")]
    assert s.apply_current() == []  # the quote emptied A's list
    assert list(s.finish().result.equity_curve()) == [100000.0]  # quotes and books take no sample


def test_working_orders_show_kind_status_and_units():
    s = session("A", "B")
    p = s.submit_order(0, "buy", "limit", 0, 0, "p", units=2.0, limit_price=5.0)
    s.submit_order(0, "sell", "stop_market", 0, 0, "child", units=2.0, trigger_price=4.0, parent_id=p)
    s.submit_order(0, "sell", "trailing_stop_market", 0, 0, "trail", size_frac=0.5, offset=5.0)
    s.submit_order(0, "buy", "stop_limit", 0, 0, "sl", units=1.0, trigger_price=12.0, limit_price=13.0)
    s.submit_order(1, "buy", "limit", 0, 0, "other", **LIMIT)  # ids are per instrument
    push_flat(s, 0, 1, 10.0)
    s.push_bar(0, 2, 10.0, 12.5, 9.0, 10.0, 1.0)  # triggers the stop-limit only
    drain(s)
    rows = s.working_orders(0)
    assert [r[:6] for r in rows] == [
        (0, "p", "buy", "limit", "accepted", 0.0), (1, "child", "sell", "stopmarket", "accepted", 0.0),
        (2, "trail", "sell", "trailingstopmarket", "accepted", 0.0), (3, "sl", "buy", "stoplimit", "triggered", 0.0)]
    assert [r[6] for r in rows][:2] == [2.0, 2.0] and math.isnan(rows[2][6])
    assert s.working_orders(1) == [(0, "other", "buy", "limit", "accepted", 0.0, 1.0)]
    assert s.cancel_all_orders(0, 3) == [0, 1, 2, 3] and s.cancel_all_orders(0, 3) == []


@pytest.mark.parametrize("bid, bid_qty, fills", [
    (99.5, 0.0, True),     # the bid fell behind the order: nothing rests ahead of it
    (100.0, 20.0, True),   # 20 shown at the limit: at most 20 ahead after the 10 traded
    (100.0, 0.0, False),   # no size shown: the place stays 50 deep
])
def test_quotes_move_the_queue_place_of_a_resting_limit(bid, bid_qty, fills):
    s = session("A", queue_fill_model=True)
    s.push_depth(0, 1, [(100.0, 50.0)], [(100.5, 50.0)])
    s.submit_order(0, "buy", "limit", 0, 1, "q", units=1.0, limit_price=100.0)
    s.push_tick(0, 2, 100.0, ltq=10.0)  # joins the queue behind 50, 10 of them traded
    assert s.push_tick(0, 3, 0.0, bid=bid, ask=100.5, bid_qty=bid_qty) == 1
    s.push_tick(0, 4, 100.0, ltq=25.0)
    assert [e.idx for _, e in drain(s) if e.kind == "order_filled"] == ([3] if fills else [])
    assert list(s.finish().result.equity_curve()) == [100000.0] * 2  # one sample per trade
