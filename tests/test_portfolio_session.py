"""PortfolioSession: the merged schedule, data streams, live pushes, the
cursor views and the rules of a finished session."""

import numpy as np
import pytest

import tidemark as tm
from portfolio_util import f64, flat_bars, i64, push_flat, session

FINISHED = "session is finished; create a new one"
NAN = float("nan")
M1 = np.ones((1, 1))


def schedule(s):
    """Every pending event as (kind, instrument, local_idx, ts), applying them."""
    out = []
    while s.remaining():
        out.append(s.current_event()[:4])
        s.apply_current()
    return out


def test_merge_order_across_and_within_streams():
    s = session("A", "B")
    flat_bars(s, 0, [5, 10, 2], [1.0, 2.0, 3.0])  # back in time: a k-way merge keeps it where a sort would not
    flat_bars(s, 1, [4, 5], [4.0, 5.0])
    s.set_ticks(1, i64(5, 5), f64(5.0, 5.5), bid=f64(4.9, 5.4), ask=f64(5.1, 5.6))
    s.set_depth(0, i64(5), M1, M1, M1, M1)
    s.seal()
    s.seal()  # sealing twice changes nothing
    # One timestamp: trades, quotes, books, bars, whatever the instrument.
    assert schedule(s) == [("bar", 1, 0, 4), ("trade", 1, 1, 5), ("trade", 1, 2, 5), ("quote", 1, 3, 5),
                           ("quote", 1, 4, 5), ("book", 0, 0, 5), ("bar", 0, 1, 5), ("bar", 1, 5, 5),
                           ("bar", 0, 2, 10), ("bar", 0, 3, 2)]


@pytest.mark.parametrize("row, expected", [
    # trade: (price, size, open interest); the signed flow is not shown
    (dict(ltp=101.0, buy_qty_delta=3.0, sell_qty_delta=-2.0, oi=7.0), [("trade", 101.0, 5.0, 7.0, 0.0, 0.0)]),
    (dict(ltp=101.0, ltq=4.0, buy_qty_delta=3.0), [("trade", 101.0, 4.0, 0.0, 0.0, 0.0)]),
    (dict(ltp=101.0, ltq=NAN), [("trade", 101.0, 0.0, 0.0, 0.0, 0.0)]),
    (dict(ltp=-1.0, bid=100.0, ask=100.5, bid_qty=-1.0, ask_qty=7.0), [("quote", 100.0, 100.5, NAN, 7.0, 0.0)]),
    (dict(ltp=101.0, bid=100.0, ask=100.5, bid_qty=3.0),
     [("trade", 101.0, 0.0, 0.0, 0.0, 0.0), ("quote", 100.0, 100.5, 3.0, NAN, 0.0)]),
    (dict(ltp=NAN, bid=NAN, ask=100.5), []),
    (dict(ltp=0.0, bid=100.0, ask=0.0), []),
])
def test_a_tick_row_gives_the_same_events_pushed_or_attached(row, expected):
    row = dict(row)
    ltp = row.pop("ltp")
    pushed, attached = session("A"), session("A")
    assert pushed.push_tick(0, 9, ltp, **row) == len(expected)
    attached.set_ticks(0, i64(9), f64(ltp), **{k: f64(v) for k, v in row.items()})
    attached.seal()
    for s in (pushed, attached):
        got = []
        while s.remaining():
            got.append((s.current_event()[0],) + s.current_event()[4:])
            s.apply_current()
        np.testing.assert_equal(got, expected)


def test_depth_keeps_the_first_five_positive_levels_in_given_order():
    s = session("A")
    bid_px = np.array([[99.0, 0.0, 98.0, 100.0, np.nan, 97.0, 96.0], [0.0, np.nan, -1.0, 0.0, 0.0, 0.0, 0.0]])
    # Any layout: the ask prices are a transposed view, with a different level count.
    ask_px = np.array([[101.0, 102.0, 103.0], [0.0, 0.0, 0.0]]).T.copy().T
    s.set_depth(0, i64(1, 2), bid_px, np.arange(14.0).reshape(2, 7), ask_px, np.array([[0.0, 2, 3], [1, 1, 1]]))
    s.seal()
    assert s.current_depth() == ([(99.0, 0.0), (98.0, 2.0), (100.0, 3.0), (97.0, 5.0), (96.0, 6.0)],
                                 [(101.0, 0.0), (102.0, 2.0), (103.0, 3.0)])
    assert s.current_event() == ("book", 0, 0, 1, 99.0, 101.0, 0.0, 0.0, 0.0)
    s.apply_current()
    assert (s.current_depth(), s.current_event()) == (([], []), ("book", 0, 1, 2, 0.0, 0.0, 0.0, 0.0, 0.0))
    s.apply_current()
    s.push_depth(0, 3, [(0.0, 5.0), (99.5, 10.0)], [])
    s.push_depth(0, 4, [(float(p), 1.0) for p in (95, 99, 97, 98, 96, 94, 93)], ((101.0, 2.0),))
    assert s.current_event() == ("book", 0, 2, 3, 99.5, 0.0, 10.0, 0.0, 0.0)
    assert s.current_depth() == ([(99.5, 10.0)], [])
    s.apply_current()
    assert s.current_depth() == ([(p, 1.0) for p in (95.0, 99.0, 97.0, 98.0, 96.0)], [(101.0, 2.0)])


def test_pushes_seal_and_go_to_the_tail_attaching_replaces_and_is_ignored_after_sealing():
    s = session("A")
    flat_bars(s, 0, [1, 2, 3], [1.0, 1.0, 1.0])
    flat_bars(s, 0, [7], [2.0])
    s.set_depth(0, i64(5), M1, M1, M1, M1)
    assert s.push_tick(0, 1, 0.0) == 0 and len(s) == 0  # a push of nothing does not seal
    push_flat(s, 0, 1, 1.0)
    flat_bars(s, 0, [8, 9], [3.0, 3.0])
    s.add_instrument("B")
    flat_bars(s, 1, [8], [3.0])
    s.seal()
    assert len(s) == 3 and s.current() is None
    # Pushes go to the tail whatever their time, numbering on per instrument.
    push_flat(s, 1, 0, 1.0)
    assert schedule(s) == [("book", 0, 0, 5), ("bar", 0, 1, 7), ("bar", 0, 2, 1), ("bar", 1, 0, 0)]


def test_views_on_an_empty_drained_and_refilled_schedule():
    s = session("A")
    assert (len(s), s.remaining(), s.current(), s.current_event(), s.current_depth()) == (0, 0, None, None, None)
    assert s.apply_current() == []
    s.push_tick(0, 1, 10.0, ltq=2.0, oi=3.0)
    # A pending trade is no bar: current() says None, and does not skip it.
    assert s.current() is None and s.current_depth() is None
    assert s.current_event() == s.current_event() == ("trade", 0, 0, 1, 10.0, 2.0, 3.0, 0.0, 0.0)
    s.apply_current()
    assert (len(s), s.remaining(), s.current_event()) == (1, 0, None)
    s.push_bar(0, 2, 1.0, 2.0, 0.5, 1.5, 10.0)
    assert s.remaining() == 1 and s.current() == (0, 1, 2, 1.0, 2.0, 0.5, 1.5, 10.0)


VALID_CALLS = {
    "add_instrument": ("B",), "adopt_position": (0, 0, 1.0, 1.0),
    "set_bars": (0, i64(1), f64(1), f64(1), f64(1), f64(1), f64(1)), "set_ticks": (0, i64(1), f64(1)),
    "set_depth": (0, i64(1), M1, M1, M1, M1), "seal": (), "push_bar": (0, 1, 1.0, 1.0, 1.0, 1.0, 1.0),
    "push_tick": (0, 1, 1.0), "push_depth": (0, 1, [], []), "current": (), "current_event": (),
    "current_depth": (), "remaining": (), "apply_current": (), "cash": (), "free_capital": (), "equity": (),
    "is_halted": (), "submit_order": (0, "buy", "market", 0, 0, "c", 1.0), "cancel_order": (0, 0, 0),
    "modify_order": (0, 0), "cancel_all_orders": (0, 0), "link_oco": (0, [0]), "request_close": (0, 0),
    "set_underlying_price": (0, 1.0), "working_orders": (0,), "positions": (0,), "position": (0,),
}


@pytest.mark.parametrize("name", list(VALID_CALLS))
def test_every_method_of_a_finished_session_raises(name):
    s = session("A")
    getattr(s, name)(*VALID_CALLS[name])  # valid while live
    s.finish()
    with pytest.raises(ValueError, match=f"^{FINISHED}$"):
        getattr(s, name)(*VALID_CALLS[name])


def test_finish_twice_and_len_after_finish():
    s = session()
    s.finish()
    with pytest.raises(ValueError, match="^session is already finished$"):
        s.finish()
    with pytest.raises(ValueError, match=f"^{FINISHED}$"):
        len(s)
    # Checks that need no session still come first.
    for call, message in [
        (lambda: s.add_instrument("A", 0), "direction must be 1 or -1"),
        (lambda: s.modify_order(0, 0, units=1.0, size_frac=0.5), "pass units or size_frac, not both"),
        (lambda: s.set_bars(0, i64(1, 2), f64(1, 2), f64(1, 2), f64(1), f64(1, 2), f64(1, 2)),
         "all bar arrays must share one length"),
        (lambda: s.set_ticks(0, i64(1, 2), f64(1)), "all tick arrays must share one length"),
        (lambda: s.set_ticks(0, i64(1, 2), f64(1, 2), bid=f64(1)), "all tick arrays must share one length"),
        (lambda: s.set_depth(0, i64(1, 2), *[np.ones((2, 1))] * 3, np.ones((3, 1))),
         "depth arrays must have one row per timestamp"),
        (lambda: s.set_depth(0, i64(1), np.ones((1, 2)), M1, M1, M1),
         "price and size arrays must have the same level count"),
    ]:
        with pytest.raises(ValueError, match=f"^{message}$"):
            call()


@pytest.mark.parametrize("name, args", [(n, a) for n, a in VALID_CALLS.items() if a and a[0] == 0] + [
    ("push_tick", (0, 1, 0.0))])  # a row that yields nothing still names an instrument
def test_instrument_methods_check_the_index(name, args):
    s = session("A")
    flat_bars(s, 0, [5], [1.0])
    with pytest.raises(ValueError, match="^unknown instrument index 3$"):
        getattr(s, name)(3, *args[1:])
    # Nothing was appended, and a refused append leaves the schedule as it was.
    push_flat(s, 0, 9, 1.0)
    assert schedule(s) == [("bar", 0, 0, 5), ("bar", 0, 1, 9)]


@pytest.mark.parametrize("call, message", [
    (lambda s: s.add_instrument("B", oms_type="Netting"), "oms_type must be 'netting' or 'hedging', got Netting"),
    (lambda s: s.add_instrument("B", instrument=tm.InstrumentSpec.index("NIFTY")), "instrument NIFTY is not tradable"),
    (lambda s: tm.PortfolioSession(account_type="margin", leverage=0.0), "leverage must be > 0"),
    (lambda s: tm.PortfolioSession(account_type="Cash"), "account_type must be 'cash' or 'margin', got \"Cash\""),
])
def test_construction_and_add_instrument_errors(call, message):
    s = session("A")
    with pytest.raises(ValueError) as e:
        call(s)
    assert str(e.value) == message and s.add_instrument("C") == 1


def test_bad_apply_current_arguments_leave_the_event_pending():
    s = session("A")
    push_flat(s, 0, 1, 1.0)
    # Only exact bools and floats take the quick path; anything else meets the full checks.
    for args, name in [((1,), "entry"), ((True, 0), "exit")]:
        with pytest.raises(TypeError, match=f"argument '{name}'"):
            s.apply_current(*args)
        assert s.remaining() == 1
    assert s.apply_current(False, False, 1) == [] and s.remaining() == 0
