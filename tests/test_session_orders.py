"""Typed orders through a KernelSession: every kind and time in force,
brackets, one-cancels-other, cancels and modifications, TWAP schedules,
margin calls and settlement, with the exact events each step returns.

Most cases run over session_util.BARS (open, high, low, close):
  0: 100 101  99 100    1: 100 102  98 101    2: 101 103 100 102
  3: 102 104  95  96    4:  96  97  90  91
with no fees, so every fill price below follows from the bar by hand.
"""

import pytest

import tidemark as tm
from runner_util import DAY
from session_util import BARS, drive, session, submit

ACC, FILL, ENT, EXIT = "order_accepted", "order_filled", "entered", "exited"


@pytest.mark.parametrize("kwargs, message", [
    (dict(side="BUY"), 'unknown side "BUY"'),
    (dict(units=float("nan")), "units must be > 0"),  # the same size checks as modify_order, tested there
    (dict(kind="stop_limit"), "stop_limit needs trigger_price"),
    (dict(kind="limit"), "limit needs limit_price"),
    (dict(kind="Market"), 'unknown order kind "Market"'),
    (dict(kind="trailing_stop_market"), "trailing_stop_market needs offset"),
    (dict(kind="trailing_stop_limit", offset=0.0), "offset must be > 0"),
    (dict(kind="trailing_stop_market", offset=1.0, offset_kind="pips"),
     "offset_kind must be 'price', 'bps', or 'ticks', got \"pips\""),
    (dict(kind="trailing_stop_market", offset=1.0, offset_kind="ticks"),
     "offset_kind='ticks' needs an instrument with price_increment"),
    (dict(tif="gtd"), "gtd orders need expire_ns"),
    (dict(kind="limit", limit_price=1.0, tif="at_open"), "at_open/at_close apply to market orders"),
    (dict(tif="GTC"), 'unknown tif "GTC"'),
    (dict(post_only=True), "post_only applies to limit orders"),
])
def test_order_requests_are_checked_in_order(kwargs, message):
    s = session()
    args = dict(side="buy", kind="market", units=1.0) | kwargs
    with pytest.raises(ValueError) as exc:
        s.submit_order(args.pop("side"), args.pop("kind"), 0, 0, "A", **args)
    assert str(exc.value) == message
    # A refused request places nothing and uses no id.
    assert s.submit_order("buy", "limit", 0, 0, "B", size_frac=1.0, limit_price=1.0) == 0


@pytest.mark.parametrize("order, at, expected", [
    (submit("buy", "market"), 0, [(ACC, 0, "A"), (FILL, 0, "A", 100.0, 10.0), (ENT, 0, 100.0, 10.0, 1)]),
    (submit("buy", "limit", limit_price=99.5), 0,
     [(ACC, 0, "A"), (FILL, 1, "A", 99.5, 10.0), (ENT, 1, 99.5, 10.0, 1)]),
    # A sell limit on a flat book opens a short once a high reaches it.
    (submit("sell", "limit", limit_price=102.5), 0,
     [(ACC, 0, "A"), (FILL, 2, "A", 102.5, 10.0), (ENT, 2, 102.5, 10.0, -1)]),
    # First worked on bar 2, which opens above the trigger: filled at the open.
    (submit("buy", "stop_market", trigger_price=100.5), 1,
     [(ACC, 1, "A"), (FILL, 2, "A", 101.0, 10.0), (ENT, 2, 101.0, 10.0, 1)]),
    (submit("sell", "stop_market", trigger_price=96.5), 0,
     [(ACC, 0, "A"), (FILL, 3, "A", 96.5, 10.0), (ENT, 3, 96.5, 10.0, -1)]),
    # Triggered by bar 1's high, then a limit from bar 2 on.
    (submit("buy", "stop_limit", trigger_price=101.5, limit_price=101.0), 0,
     [(ACC, 0, "A"), ("order_triggered", 1, "A"), (FILL, 2, "A", 101.0, 10.0), (ENT, 2, 101.0, 10.0, 1)]),
    (submit("buy", "market_if_touched", trigger_price=99.5), 0,
     [(ACC, 0, "A"), (FILL, 1, "A", 99.5, 10.0), (ENT, 1, 99.5, 10.0, 1)]),
    # Touched at bar 2's high; bar 3 trades through 103 yet the fill stays at
    # the limit.
    (submit("sell", "limit_if_touched", trigger_price=102.5, limit_price=103.0), 0,
     [(ACC, 0, "A"), ("order_triggered", 2, "A"), (FILL, 3, "A", 103.0, 10.0), (ENT, 3, 103.0, 10.0, -1)]),
    (submit("buy", "market_to_limit"), 0, [(ACC, 0, "A"), (FILL, 1, "A", 100.0, 10.0), (ENT, 1, 100.0, 10.0, 1)]),
    # The high-water mark climbs 102, 103, 104; bar 3's low crosses 104 - 5.
    (submit("sell", "trailing_stop_market", offset=5.0), 0,
     [(ACC, 0, "A"), (FILL, 3, "A", 99.0, 10.0), (ENT, 3, 99.0, 10.0, -1)]),
    # Low-water mark 98 on bar 1, trigger 100 reached: the limit is fixed at 100.5.
    (submit("buy", "trailing_stop_limit", offset=2.0, limit_offset=0.5), 0,
     [(ACC, 0, "A"), ("order_triggered", 1, "A"), (FILL, 2, "A", 100.5, 10.0), (ENT, 2, 100.5, 10.0, 1)]),
    (submit("buy", "market", tif="at_open"), 0, [(ACC, 0, "A"), (FILL, 1, "A", 100.0, 10.0), (ENT, 1, 100.0, 10.0, 1)]),
    (submit("buy", "market", tif="at_close"), 0,
     [(ACC, 0, "A"), (FILL, 1, "A", 101.0, 10.0), (ENT, 1, 101.0, 10.0, 1)]),
])
def test_each_kind_fills_by_its_rule(order, at, expected):
    assert drive(session(), before={at: order}) == expected


def test_trailing_distance_in_basis_points_follows_the_mark():
    out = drive(session(), before={0: submit("sell", "trailing_stop_market", offset=500.0, offset_kind="bps")})
    # Bar 3: mark 104, distance 5 % of it, level 98.8.
    assert [e[0] for e in out] == [ACC, FILL, ENT]
    assert out[1][1] == 3 and out[1][3] == pytest.approx(104 - 104 * 0.05, rel=1e-12)


def test_tick_offsets_use_the_instrument_increment():
    spec = tm.InstrumentSpec.equity("X", price_increment=0.05)
    bars = [(102.0, 102.0, 102.0, 102.0), (102.0, 102.0, 101.5, 101.8)]
    # 5 ticks of 0.05 is a distance of 0.25 below the mark of 102.
    out = drive(session(instrument=spec), bars, before={0: submit("sell", "trailing_stop_market", offset=5.0,
                                                                  offset_kind="ticks")})
    assert out == [(ACC, 0, "A"), (FILL, 1, "A", 101.75, 10.0), (ENT, 1, 101.75, 10.0, -1)]


@pytest.mark.parametrize("order, expected", [
    (submit("buy", "limit", limit_price=95.0, tif="ioc"), [(ACC, 0, "A"), ("order_canceled", 1, "A")]),
    (submit("buy", "limit", limit_price=99.5, tif="fok"), [(ACC, 0, "A"), (FILL, 1, "A", 99.5, 10.0),
                                                           (ENT, 1, 99.5, 10.0, 1)]),
    (submit("buy", "limit", limit_price=95.0, tif="gtd", expire_ns=2), [(ACC, 0, "A"), ("order_expired", 2, "A")]),
    (submit("buy", "limit", limit_price=95.0, tif="gtc", expire_ns=2), [(ACC, 0, "A"), (FILL, 3, "A", 95.0, 10.0),
                                                                        (ENT, 3, 95.0, 10.0, 1)]),
    # Post-only: a limit at or above the next open would take liquidity.
    (submit("buy", "limit", limit_price=100.0, post_only=True), [(ACC, 0, "A"),
                                                                 ("order_rejected", 1, "A", "post_only")]),
    (submit("buy", "limit", limit_price=99.5, post_only=True), [(ACC, 0, "A"), (FILL, 1, "A", 99.5, 10.0),
                                                                (ENT, 1, 99.5, 10.0, 1)]),
])
def test_time_in_force(order, expected):
    assert drive(session(), before={0: order}) == expected


def test_post_only_is_judged_on_the_first_bar_after_submission_only():
    s = session()
    s.submit_order("buy", "limit", 0, 0, "A", units=1.0, limit_price=100.0, post_only=True)
    s.step(0, 0, 100.0, 100.0, 100.0, 100.0, 1.0)
    # The driver skipped index 1: the order is not on its first bar and fills.
    assert [e.kind for e in s.step(2, 2, 100.0, 101.0, 99.0, 100.0, 1.0)] == [FILL, ENT]


MIN = 60_000_000_000


@pytest.mark.parametrize("offset, expires_at", [(0, 2), (tm.IST_OFFSET_NS, 1)])
def test_day_orders_expire_at_the_local_day_boundary(offset, expires_at):
    cfg = tm.BacktestConfig(fees=0.0, session_tz_offset_ns=offset)
    # 18:29 UTC is 23:59 in India; the next steps are at 18:31 UTC and a day later.
    stamps = [DAY * 100 + 18 * 60 * MIN + 29 * MIN, DAY * 100 + 18 * 60 * MIN + 31 * MIN, DAY * 101 + 18 * 60 * MIN]
    s = tm.KernelSession(config=cfg)
    s.submit_order("buy", "limit", 0, stamps[0], "D", units=1.0, limit_price=50.0, tif="day")
    expired = []
    for i, t in enumerate(stamps):
        expired += [e.idx for e in s.step(i, t, 100.0, 101.0, 99.0, 100.0, 1.0) if e.kind == "order_expired"]
    assert expired == [expires_at]


def bracket(s, i, stop=97.0, target=103.5):
    p = s.submit_order("buy", "market", i, i, "P", units=10.0)
    a = s.submit_order("sell", "stop_market", i, i, "S", trigger_price=stop, parent_id=p)
    b = s.submit_order("sell", "limit", i, i, "T", limit_price=target, parent_id=p)
    s.link_oco([b, a])


def test_bracket_children_wait_for_the_parent_and_cancel_each_other():
    s = session()
    out = drive(s, before={0: bracket})
    assert out == [(ACC, 0, "P"), (FILL, 0, "P", 100.0, 10.0), (ACC, 0, "S"), (ACC, 0, "T"), (ENT, 0, 100.0, 10.0, 1),
                   (FILL, 3, "S", 97.0, 10.0), ("order_canceled", 3, "T"), (EXIT, 3, 97.0, 10.0, "Order")]
    assert s.open_order_ids() == [] and not s.is_in_position()


def test_one_cancels_other_holds_within_one_bar():
    # Bar 1 reaches both the stop and the target: the stop, first in the book,
    # fills and the target must not fill after it (in netting mode it would
    # open a short).
    s = session()
    out = drive(s, [BARS[0], (100.0, 106.0, 94.0, 100.0), BARS[0]], before={0: bracket})
    assert out[5:] == [(FILL, 1, "S", 97.0, 10.0), ("order_canceled", 1, "T"), (EXIT, 1, 97.0, 10.0, "Order")]
    assert not s.is_in_position()


def test_children_of_a_canceled_parent_are_canceled():
    s = session()
    p = s.submit_order("buy", "limit", 0, 0, "P", units=1.0, limit_price=50.0)
    s.submit_order("sell", "stop_market", 0, 0, "S", trigger_price=40.0, parent_id=p)
    assert drive(s, BARS[:1]) == [(ACC, 0, "P")]
    assert s.cancel_order(1, p) is True
    assert drive(s, BARS[:1], start=1) == [("order_canceled", 1, "P"), ("order_canceled", 1, "S")]


def test_a_child_of_a_filled_parent_is_accepted_and_finishes():
    s = session()
    p = {}
    out = drive(s, before={0: lambda s, i: p.setdefault("id", s.submit_order("buy", "market", i, i, "P", units=10.0)),
                           1: lambda s, i: s.submit_order("sell", "limit", i, i, "C", limit_price=101.5,
                                                          parent_id=p["id"])})
    assert out[3:] == [(ACC, 1, "C"), (FILL, 2, "C", 101.5, 10.0), (EXIT, 2, 101.5, 10.0, "Order")]
    assert s.open_order_ids() == []


@pytest.mark.parametrize("timing, at, order, fill_at, price", [
    # stamped with an earlier step, it still fills on the step it reaches
    (None, 1, lambda s, i: s.submit_order("buy", "market", 0, 0, "A", units=10.0), 1, 101.0),
    ("next_bar_open", 1, submit("buy", "market"), 2, 101.0),
    # immediate-or-cancel does not cancel a market order before the next open
    ("next_bar_open", 0, submit("buy", "market", tif="ioc"), 1, 100.0),
])
def test_market_orders_fill_on_the_bar_their_timing_names(timing, at, order, fill_at, price):
    s = session(config=tm.BacktestConfig(fees=0.0, fill_timing=timing))
    out = drive(s, before={at: order})
    assert out == [(ACC, at, "A"), (FILL, fill_at, "A", price, 10.0), (ENT, fill_at, price, 10.0, 1)]


@pytest.mark.parametrize("second, expected", [
    # Netting: an opposite order reduces the open position.
    (submit("sell", "market", units=4.0), [(FILL, 1, "A", 101.0, 4.0), (EXIT, 1, 101.0, 4.0, "Order")]),
    (submit("sell", "market", units=None, size_frac=0.5), [(FILL, 1, "A", 101.0, 10.0), (EXIT, 1, 101.0, 10.0, "Order")]),
    (submit("sell", "market", units=None), [(FILL, 1, "A", 101.0, 10.0), (EXIT, 1, 101.0, 10.0, "Order")]),
    (submit("buy", "market", units=None, reduce_only=True), [(FILL, 1, "A", 101.0, 10.0),
                                                              (EXIT, 1, 101.0, 10.0, "Order")]),
    (submit("buy", "market"), [("order_rejected", 1, "A", "position_open")]),
])
def test_netting_routes(second, expected):
    s = session()
    out = drive(s, BARS[:2], before={0: lambda s, i: s.submit_order("buy", "market", i, i, "E", units=10.0), 1: second})
    assert out[3:] == [(ACC, 1, "A")] + expected


@pytest.mark.parametrize("oms, order, reason", [
    ("netting", submit("sell", "market", reduce_only=True), "reduce_only"),
    ("hedging", submit("sell", "market", reduce_only=True), "reduce_only"),
    ("netting", submit("sell", "market", units=None), "invalid_qty"),
    ("netting", submit("buy", "market", units=1e6), "insufficient_capital"),
])
def test_refused_orders(oms, order, reason):
    out = drive(session(oms_type=oms), BARS[:1], before={0: order})
    assert out == [(ACC, 0, "A"), ("order_rejected", 0, "A", reason)]


def test_hedging_keeps_positions_apart():
    s = session(oms_type="hedging")
    drive(s, BARS[:2], before={0: submit("buy", "market"), 1: submit("sell", "market", units=4.0)})
    assert [(p.position_id, p.size, p.direction) for p in s.positions()] == [(0, 10.0, 1), (1, 4.0, -1)]
    assert s.position().position_id == 0


def test_a_remainder_below_one_lot_is_canceled_not_filled_empty():
    s = session(instrument_config=tm.InstrumentConfig(lot_size=10.0))
    out = drive(s, BARS[:3], before={0: submit("buy", "market", units=25.0)})
    assert out == [(ACC, 0, "A"), (FILL, 0, "A", 100.0, 20.0), (ENT, 0, 100.0, 20.0, 1), ("order_canceled", 1, "A")]
    assert s.position().size == 20.0


def test_cancel_and_cancel_all():
    s = session()
    a = s.submit_order("buy", "limit", 0, 0, "A", units=1.0, limit_price=50.0)
    b = s.submit_order("buy", "limit", 0, 0, "B", units=1.0, limit_price=60.0)
    m = s.submit_order("buy", "market", 0, 0, "M", units=1.0)
    s.step(0, 0, *BARS[0], 1.0)
    assert s.cancel_order(7, m) is False  # filled
    assert s.cancel_order(7, 99) is False
    assert s.cancel_order(7, a) is True and s.cancel_order(7, a) is False
    assert s.cancel_all_orders(8) == [b]
    assert s.cancel_all_orders(8) == []
    assert drive(s, BARS[:1], start=1) == [("order_canceled", 7, "A"), ("order_canceled", 8, "B")]


@pytest.mark.parametrize("kind, prices, change, applied", [
    ("limit", dict(limit_price=90.0), dict(limit_price=91.0), True),
    ("limit", dict(limit_price=90.0), dict(trigger_price=91.0), False),
    ("stop_market", dict(trigger_price=120.0), dict(trigger_price=121.0, units=4.0), True),
    ("stop_market", dict(trigger_price=120.0), dict(limit_price=121.0), False),
    ("stop_limit", dict(trigger_price=120.0, limit_price=121.0), dict(trigger_price=119.0, limit_price=119.5), True),
    ("market_if_touched", dict(trigger_price=80.0), dict(size_frac=0.5), True),
    ("trailing_stop_market", dict(offset=1.0), dict(units=2.0), False),
    ("market_to_limit", {}, dict(units=2.0), False),
])
def test_modify_by_kind(kind, prices, change, applied):
    s = session()
    oid = s.submit_order("buy", kind, 0, 0, "A", units=1.0, **prices)
    assert s.modify_order(oid, **change) is applied
    assert s.modify_order(oid + 1, units=1.0) is False


def test_modified_prices_and_sizes_take_effect():
    s = session(oms_type="hedging")
    limit = s.submit_order("buy", "limit", 0, 0, "L", units=1.0, limit_price=90.0)
    stop = s.submit_order("buy", "stop_limit", 0, 0, "S", units=1.0, trigger_price=101.5, limit_price=101.0)
    s.step(0, 0, *BARS[0], 1.0)
    assert s.modify_order(limit, units=3.0, limit_price=98.5) is True
    assert drive(s, [BARS[1]], start=1) == [(FILL, 1, "L", 98.5, 3.0), (ENT, 1, 98.5, 3.0, 1),
                                            ("order_triggered", 1, "S")]
    # A triggered stop-limit refuses a new trigger, yet keeps the new limit
    # given with it: bar 2 fills it at 100, not at its old limit of 101.
    assert s.modify_order(stop, trigger_price=105.0, limit_price=100.0) is False
    assert drive(s, [BARS[2]], start=2) == [(FILL, 2, "S", 100.0, 1.0), (ENT, 2, 100.0, 1.0, 1)]


@pytest.mark.parametrize("change, message", [
    (dict(units=1.0, size_frac=0.5), "pass units or size_frac, not both"),
    (dict(units=0.0), "units must be > 0"),
    (dict(units=float("nan")), "units must be > 0"),
    (dict(size_frac=2.0), r"size_frac must be in \(0, 1\]"),
    (dict(size_frac=0.0), r"size_frac must be in \(0, 1\]"),
])
def test_modify_checks_a_new_size_like_a_new_order(change, message):
    s = session()
    oid = s.submit_order("buy", "limit", 0, 0, "A", units=1.0, limit_price=90.0)
    with pytest.raises(ValueError, match=message):
        s.modify_order(oid, **change)
    s.finish()
    # The checks need no session, so they come before the finished check.
    with pytest.raises(ValueError, match=message):
        s.modify_order(oid, **change)


def test_link_oco_groups_under_the_smallest_id_and_skips_unknown_ids():
    s = session()
    ids = [s.submit_order("sell", "limit", 0, 0, c, units=1.0, limit_price=p)
           for c, p in (("A", 101.5), ("B", 150.0), ("C", 160.0))]
    s.link_oco([])
    s.link_oco([ids[2], 77, ids[0], ids[1]])
    out = drive(s, BARS[:2])
    assert out[3:] == [(FILL, 1, "A", 101.5, 1.0), ("order_canceled", 1, "B"), ("order_canceled", 1, "C"),
                       (ENT, 1, 101.5, 1.0, -1)]


# --- TWAP ------------------------------------------------------------------------

def test_twap_slices_sum_to_the_total_and_build_one_position():
    s = session()
    assert s.submit_twap(10.0, "buy", 3, 1, 0, 0, "T1") == 0
    out = drive(s)
    third = 10.0 / 3
    assert out == [("algo_started", 0, "T1"),
                   (ACC, 0, "T1#0"), (FILL, 0, "T1#0", 100.0, third), (ENT, 0, 100.0, third, 1),
                   (ACC, 1, "T1#1"), (FILL, 1, "T1#1", 101.0, 20.0 / 3 - third), (ENT, 1, 101.0, 20.0 / 3 - third, 1),
                   ("algo_completed", 2, "T1"),
                   (ACC, 2, "T1#2"), (FILL, 2, "T1#2", 102.0, 10.0 - 20.0 / 3), (ENT, 2, 102.0, 10.0 - 20.0 / 3, 1)]
    sizes = [e[4] for e in out if e[0] == FILL]
    assert sum(sizes) == 10.0
    assert s.position().size == 10.0 and s.position().entry_price == pytest.approx(101.0)
    assert s.submit_twap(1.0, "sell", 1, 1, 4, 4, "T2") == 1


def test_twap_interval_counts_from_the_releasing_step():
    s = session()
    s.submit_twap(2.0, "buy", 2, 10, 0, 5, "T")
    fills = []
    for i, t in enumerate([0, 5, 14, 15, 30]):
        fills += [(e.idx, e.client_order_id) for e in s.step(i, t, 100.0, 100.0, 100.0, 100.0, 1.0)
                  if e.kind == FILL]
    assert fills == [(1, "T#0"), (3, "T#1")]


def test_cancel_twap_stops_the_schedule_and_cancels_its_working_slices():
    s = tm.KernelSession(config=tm.BacktestConfig(fees=0.0, fill_timing="next_bar_open"))
    aid = s.submit_twap(3.0, "buy", 3, 1, 0, 0, "T")
    assert drive(s, BARS[:1]) == [("algo_started", 0, "T"), (ACC, 0, "T#0")]  # fills at the next open
    assert s.cancel_twap(99, 5) is False
    assert s.cancel_twap(aid, 5) is True
    assert s.cancel_twap(aid, 5) is False
    assert drive(s, BARS[:1], start=1) == [("order_canceled", 5, "T#0"), ("algo_completed", 1, "T")]
    assert not s.is_in_position()


@pytest.mark.parametrize("args, message", [
    ((1.0, "BUY", 1, 1), "side must be 'buy' or 'sell', got BUY"),
    ((1.0, "buy", 0, 1), "slices must be >= 1"),
    ((1.0, "buy", 1, 0), "interval must be > 0"),
    ((float("nan"), "buy", 1, 1), "total units must be finite and > 0"),
    ((float("inf"), "buy", 1, 1), "total units must be finite and > 0"),
    ((-1.0, "buy", 1, 1), "total units must be finite and > 0"),
])
def test_twap_arguments(args, message):
    with pytest.raises(ValueError) as exc:
        session().submit_twap(*args, 0, 0, "T")
    assert str(exc.value) == message


# --- margin and settlement ----------------------------------------------------------

@pytest.mark.parametrize("liquidate", [False, True])
def test_margin_call(liquidate):
    cfg = tm.BacktestConfig(fees=0.0, liquidate_on_margin_call=liquidate)
    s = tm.KernelSession(config=cfg, account_type="margin", leverage=4.0)
    # 3000 units at 100 lock 75 000; at 75 equity is 100 000 - 75 000 = 25 000
    # against a maintenance of 0.125 x 75 x 3000 = 28 125.
    bars = [(100.0, 100.0, 100.0, 100.0), (80.0, 80.0, 74.0, 75.0), (75.0, 75.0, 75.0, 75.0)]
    out = drive(s, bars, before={0: submit("buy", "market", units=3000.0), 2: submit("buy", "market", "B")},
                intents={2: dict(entry=True)})
    call = [("margin_call", 1, 25000.0, 28125.0)]
    liquidation = [(EXIT, 1, 75.0, 3000.0, "Liquidation")] if liquidate else []
    after = [("entry_rejected", 2, "MarginCall")] if liquidate else []
    after += [(ACC, 2, "B"), ("order_rejected", 2, "B", "margin_call" if liquidate else "position_open")]
    assert out[3:] == call + liquidation + after


@pytest.mark.parametrize("binary, underlying, price", [
    (False, 120.0, 20.0), (True, 120.0, 1.0), (False, 90.0, 0.0), (True, 90.0, 0.0), (False, None, 4.0)])
def test_options_settle_at_expiry(binary, underlying, price):
    spec = tm.InstrumentSpec.option("C100", 100.0, "call", 2, 1.0, binary=binary)
    s = session(instrument=spec)
    s.set_underlying_price(underlying)
    bars = [(5.0, 5.0, 5.0, 5.0), (5.0, 5.0, 5.0, 5.0), (4.0, 4.0, 4.0, 4.0)]
    out = drive(s, bars, before={0: submit("buy", "market"), 1: submit("buy", "limit", "L", limit_price=1.0)},
                intents={2: dict(entry=True)})
    assert out[3:] == [(ACC, 1, "L"), (EXIT, 2, price, 10.0, "Settlement"), ("order_canceled", 2, "L"),
                       ("entry_rejected", 2, "Expired")]
    # Every later step settles again and refuses entries.
    assert [e.kind for e in s.step(3, 3, 4.0, 4.0, 4.0, 4.0, 1.0, entry=True)] == ["entry_rejected"]


# --- behaviour kept sound where a literal reading would misbehave -------------------

@pytest.mark.parametrize("order, limit", [
    (submit("sell", "limit_if_touched", trigger_price=102.5, limit_price=103.0), 103.0),
    (submit("buy", "trailing_stop_limit", offset=2.0, limit_offset=0.5), 100.5),
])
@pytest.mark.parametrize("prob_limit, prob_slip, fills", [(1.0, 1.0, True), (0.0, 0.0, False)])
def test_triggered_touched_and_trailing_limits_rest_as_limits(order, limit, prob_limit, prob_slip, fills):
    # Once triggered they pass the limit gate: never filled beyond the limit,
    # even when every slippage draw hits, and subject to its fill probability.
    cfg = tm.BacktestConfig(fees=0.0, fill_prob_limit=prob_limit, fill_prob_slippage=prob_slip)
    s = tm.KernelSession(config=cfg, instrument=tm.InstrumentSpec.equity("X", price_increment=0.05))
    fills_seen = [e[3] for e in drive(s, before={0: order}) if e[0] == FILL]
    assert fills_seen == ([limit] if fills else [])


def test_an_expired_market_order_never_fills():
    # Stamped with the previous step and day; the next step is a new day, so
    # the order expires before market orders are taken.
    s = session()
    s.step(0, 0, *BARS[0], 1.0)
    s.submit_order("buy", "market", 0, 0, "A", units=1.0, tif="day")
    assert drive(s, [BARS[1]], ts=lambda i: DAY, start=1) == [("order_expired", 1, "A")]
    assert not s.is_in_position() and s.open_order_ids() == []


def test_an_immediate_or_cancel_limit_that_misses_its_draw_is_canceled():
    s = session(config=tm.BacktestConfig(fees=0.0, fill_prob_limit=0.0))
    assert drive(s, before={0: submit("buy", "limit", limit_price=99.5, tif="ioc")}) == [
        (ACC, 0, "A"), ("order_canceled", 1, "A")]


def test_day_numbers_before_the_epoch_round_down():
    s = session()
    s.submit_order("buy", "limit", 0, -1, "D", units=1.0, limit_price=50.0, tif="day")
    out = drive(s, BARS[:2], ts=lambda i: -1 + i)
    assert out == [(ACC, 0, "D"), ("order_expired", 1, "D")]


def test_a_huge_twap_interval_does_not_wrap_around():
    s = session()
    s.submit_twap(2.0, "buy", 2, 2**63 - 1, 0, 0, "T")
    out = drive(s, BARS[:3], ts=lambda i: 10 * (i + 1))
    assert [e[2] for e in out if e[0] == FILL] == ["T#0"]
