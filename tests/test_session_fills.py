"""Fills that come in parts, in both sessions: costs itemised across added and
partly closed positions, prints smaller than one lot, close-all orders over
several prints, and bracket parents that end after a partial fill.

A KernelSession steps bars only; a PortfolioSession with one instrument also
steps trade prints, where `partial_fills` cuts a fill to the print size. Both
run through the `Driver` below, which stamps step i with index i and time
i x HALF_DAY and places orders while the step's row is pending.
"""

import pytest

import tidemark as tm
from runner_util import DAY

HALF_DAY = DAY // 2
FILL, EXIT = "order_filled", "exited"


class Driver:
    """One instrument in either session, stepped one row at a time: a bar
    (open, high, low, close) or, in a PortfolioSession, a trade print
    (price, size)."""

    def __init__(self, kind, config, instrument_config=None, instrument=None):
        self.kind = kind
        self.i = 0
        if kind == "kernel":
            self.s = tm.KernelSession(config=config, instrument_config=instrument_config, instrument=instrument)
        else:
            self.s = tm.PortfolioSession(config)
            self.s.add_instrument("ASSET", instrument_config=instrument_config, instrument=instrument)
            self.s.seal()

    def _on(self, *args):
        return args if self.kind == "kernel" else (0,) + args

    def submit(self, side, kind, client, **kw):
        return self.s.submit_order(*self._on(side, kind, self.i, self.i * HALF_DAY, client), **kw)

    def cancel(self, order_id):
        return self.s.cancel_order(*self._on(self.i, order_id))

    def link_oco(self, order_ids):
        self.s.link_oco(*self._on(order_ids))

    def step(self, row, before=None):
        """Steps one row; `before(self)` runs first. Returns the events."""
        ts = self.i * HALF_DAY
        if self.kind == "kernel":
            if before:
                before(self)
            events = self.s.step(self.i, ts, *row, 1000.0)
        else:
            if len(row) == 2:
                self.s.push_tick(0, ts, row[0], ltq=row[1])
            else:
                self.s.push_bar(0, ts, *row, 1000.0)
            if before:
                before(self)
            events = self.s.apply_current()
        self.i += 1
        return events

    def run(self, rows, before=None):
        before = before or {}
        return [e for r in rows for e in self.step(r, before.get(self.i))]

    def positions(self):
        return self.s.positions() if self.kind == "kernel" else self.s.positions(0)

    def working(self):
        """(client id, filled) of each working order (a PortfolioSession's)."""
        return [(w[1], w[5]) for w in self.s.working_orders(0)]

    def trades(self):
        r = self.s.finish()
        return (r if self.kind == "kernel" else r.result).trades()


def fills(events, client=None):
    return [e.size for e in events if e.kind == FILL and (client is None or e.client_order_id == client)]


BAR = (100.0, 101.0, 99.0, 100.0)


# --- itemised costs --------------------------------------------------------------------

def twap_then_sells(d):
    # Slices of 30 at 100, 101 and 102 build one position, which two sells
    # then cut by 12 and 9; finish closes the last 9.
    d.s.submit_twap(30.0, "buy", 3, HALF_DAY, 0, 0, "T")
    bars = [(p, p, p, p) for p in (100.0, 101.0, 102.0, 103.0, 104.0)]
    return d.run(bars, {3: lambda d: d.submit("sell", "market", "S1", units=12.0),
                        4: lambda d: d.submit("sell", "market", "S2", units=9.0)})


def prints_then_sells(d):
    # A buy of 30 fills 10 on each of three prints; a sell of 12 then closes
    # 10 and 2 over two prints, another 9 at once; finish closes the last 9.
    prints = [(100.0, 10.0), (101.0, 10.0), (102.0, 10.0), (103.0, 10.0), (104.0, 10.0), (105.0, 100.0)]
    return d.run(prints, {0: lambda d: d.submit("buy", "market", "B", units=30.0),
                          3: lambda d: d.submit("sell", "market", "S1", units=12.0),
                          5: lambda d: d.submit("sell", "market", "S2", units=9.0)})


def one_fill_then_sells(d):
    return d.run([BAR, BAR, BAR], {0: lambda d: d.submit("buy", "market", "B", units=30.0),
                                   1: lambda d: d.submit("sell", "market", "S1", units=12.0)})


@pytest.mark.parametrize("kind, scenario, n_trades", [
    ("kernel", twap_then_sells, 3),
    ("portfolio", prints_then_sells, 4),
    ("kernel", one_fill_then_sells, 2),
    ("portfolio", one_fill_then_sells, 2),
])
def test_itemised_costs_follow_the_units_through_adds_and_partial_closes(kind, scenario, n_trades):
    d = Driver(kind, tm.BacktestConfig(fee_segment="NSE-DELIVERY", partial_fills=True))
    events = scenario(d)
    trades = d.trades()
    assert len(trades) == n_trades
    for t in trades:
        assert t.fee_breakdown["total"] == pytest.approx(t.fees, rel=1e-12)
    # Nothing is dropped or counted twice: stamp duty is charged on buys only,
    # and STT at 0.1 % on both sides of delivery trades (none at the end of
    # data, which closes without costs).
    bought = sum(e.price * e.size for e in events if e.kind == "entered")
    sold = sum(e.trade.exit_price * e.trade.size for e in events if e.kind == EXIT)
    assert sum(t.fee_breakdown["stamp_duty"] for t in trades) == pytest.approx(0.00015 * bought, rel=1e-12)
    assert sum(t.fee_breakdown["stt"] for t in trades) == pytest.approx(0.001 * (bought + sold), rel=1e-12)
    assert sum(t.size for t in trades) == 30.0


# --- prints smaller than one lot -------------------------------------------------------

@pytest.mark.parametrize("order, prints, filled, ends", [
    # One print smaller than a lot fills nothing and the order keeps working.
    (dict(units=30.0), [15, 5, 15, 15], [10.0, 10.0, 10.0], []),
    (dict(units=30.0), [5, 15, 15, 15], [10.0, 10.0, 10.0], []),
    (dict(units=30.0), [5, 5, 5], [], []),
    # A remainder smaller than a lot can never fill: it is canceled.
    (dict(units=25.0), [15, 15, 15], [10.0, 10.0], ["order_canceled"]),
    (dict(units=25.0), [15, 5, 15, 15], [10.0, 10.0], ["order_canceled"]),
    # Only a whole quantity below one lot is refused.
    (dict(units=5.0), [15], [], ["zero_size"]),
    (dict(units=5.0), [3], [], ["zero_size"]),
    # Immediate-or-cancel: what does not fill at once is canceled.
    (dict(units=30.0, tif="ioc"), [5, 15], [], ["order_canceled"]),
])
@pytest.mark.parametrize("rounding", ["lot", "increment"])
def test_a_fill_that_rounds_to_nothing_emits_nothing(order, prints, filled, ends, rounding):
    # Lots of 10, or a size increment of 10: the two round alike.
    cfg = tm.BacktestConfig(fees=0.0, partial_fills=True)
    if rounding == "lot":
        d = Driver("portfolio", cfg, instrument_config=tm.InstrumentConfig(lot_size=10.0))
    else:
        d = Driver("portfolio", cfg, instrument=tm.InstrumentSpec.equity("X", size_increment=10.0))
    d.submit("buy", "market", "B", **order)
    seen, outcome = [], []
    for size in prints:
        events = d.step((100.0, float(size)))
        if not fills(events) and not ends:
            # Nothing at all happens on a print too small to fill.
            assert [e.kind for e in events if e.kind != "order_accepted"] == []
        seen += fills(events)
        outcome += [e.reject_reason or e.kind for e in events if e.kind not in ("order_accepted", FILL, "entered")]
    assert seen == filled
    assert sum(p.size for p in d.positions()) == sum(filled)
    assert outcome == ends
    assert d.working() == ([("B", sum(filled))] if sum(filled) < order["units"] and not ends else [])


# --- close-all orders over several prints -------------------------------------------

@pytest.mark.parametrize("sizing", [dict(), dict(size_frac=0.5), dict(units=100.0)])
@pytest.mark.parametrize("prints, closed", [
    ([40, 40, 40], [40.0, 40.0, 20.0]),
    ([70, 70], [70.0, 30.0]),
    ([100], [100.0]),
])
def test_a_reducing_order_works_until_the_position_is_flat(sizing, prints, closed):
    d = Driver("portfolio", tm.BacktestConfig(fees=0.0, partial_fills=True))
    d.step((100.0, 1000.0), lambda d: d.submit("buy", "market", "B", units=100.0))
    seen = []
    for k, size in enumerate(prints):
        place = (lambda d: d.submit("sell", "market", "X", **sizing)) if k == 0 else None
        seen += fills(d.step((101.0, float(size)), place))
        left = 100.0 - sum(seen)
        assert d.working() == ([("X", sum(seen))] if left > 0 else [])
        assert sum(p.size for p in d.positions()) == left
    assert seen == closed
    # A later print finds nothing to close and nothing left working.
    assert d.run([(101.0, 50.0)]) == []
    assert [t.size for t in d.trades()] == closed


# --- bracket parents that end after a partial fill --------------------------------------

@pytest.mark.parametrize("kind, how", [
    ("kernel", "ioc"), ("kernel", "cancel"), ("kernel", "day"),
    ("portfolio", "ioc"), ("portfolio", "cancel"), ("portfolio", "gtd"), ("portfolio", "refused"),
])
@pytest.mark.parametrize("part_filled", [True, False])
def test_a_parent_that_ends_after_a_partial_fill_releases_its_children(kind, how, part_filled):
    # A buy limit whose first fill is partial: on a bar, 20 of 25 in lots of
    # 10; on a print, 40 of 100. Unfilled, its limit is never reached, or
    # (refused) the first fill is more than the account can pay.
    capital = (6000.0 if part_filled else 3000.0) if how == "refused" else 100000.0
    if kind == "kernel":
        d = Driver(kind, tm.BacktestConfig(fees=0.0), instrument_config=tm.InstrumentConfig(lot_size=10.0))
        units, part, rows, stop_row = 25.0, 20.0, [BAR] * 3, (96.0, 97.0, 90.0, 91.0)
    else:
        d = Driver(kind, tm.BacktestConfig(fees=0.0, partial_fills=True, initial_capital=capital))
        units, part, rows, stop_row = 100.0, 40.0, [(99.0, 40.0)] * 3, (94.0, 1000.0)
    limit = 99.5 if part_filled or how == "refused" else 90.0
    tif = how if how in ("ioc", "day", "gtd") else "gtc"
    extra = dict(expire_ns=2 * HALF_DAY) if how == "gtd" else {}

    def bracket(d):
        d.parent = d.submit("buy", "limit", "P", units=units, limit_price=limit, tif=tif, **extra)
        # Close-all children, linked one-cancels-other.
        d.link_oco([d.submit("sell", "stop_market", "S", trigger_price=95.0, parent_id=d.parent),
                    d.submit("sell", "limit", "T", limit_price=110.0, parent_id=d.parent)])

    before = {0: bracket}
    if how == "cancel":
        before[2] = lambda d: d.cancel(d.parent)
    events = d.run(rows + [stop_row], before)
    # An ioc parent ends with its first fill, the others on step 2 (cut off
    # by a driver's cancel, the day's end, or the account).
    ended = 1 if how == "ioc" else 2

    def story(client):
        return [(e.kind, e.idx) for e in events if e.client_order_id == client]

    last = {"ioc": "order_canceled", "cancel": "order_canceled", "refused": "order_rejected"}
    assert story("P")[-1][0] == last.get(how, "order_expired")
    if part_filled:
        assert fills(events, "P") == [part]
        # Accepted when the parent ends, as after a complete fill; the stop
        # then closes all the parent bought.
        assert story("S") == [("order_accepted", ended), (FILL, 3)]
        assert story("T") == [("order_accepted", ended), ("order_canceled", 3)]
        assert [(e.trade.size, e.trade.exit_reason) for e in events if e.kind == EXIT] == [(part, "Order")]
    else:
        assert fills(events) == []
        assert [k for k, _ in story("S")] == [k for k, _ in story("T")] == ["order_canceled"]
    assert d.positions() == []
