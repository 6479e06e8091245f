"""Fills in parts, in both sessions: itemised costs over adds and partial closes, prints smaller than one lot,
close-all orders over several prints, bracket parents that end after a partial fill."""

import pytest

import tidemark as tm
from runner_util import DAY

HALF_DAY = DAY // 2
FILL = "order_filled"


class Driver:
    """One instrument in a KernelSession stepping bars or a PortfolioSession stepping trade prints (price,
    size), where `partial_fills` cuts a fill to the print size. Step i is stamped i x HALF_DAY;
    `before[i](driver)` places orders while its row is pending."""

    def __init__(self, kind, config, **instrument):
        self.kernel, self.i = kind == "kernel", 0
        if self.kernel:
            self.s = tm.KernelSession(config=config, **instrument)
        else:
            self.s = tm.PortfolioSession(config)
            self.s.add_instrument("ASSET", **instrument)
            self.s.seal()

    def call(self, method, *args, **kw):
        return getattr(self.s, method)(*(args if self.kernel else (0,) + args), **kw)

    def submit(self, side, kind, client, **kw):
        return self.call("submit_order", side, kind, self.i, self.i * HALF_DAY, client, **kw)

    def run(self, rows, before=None):
        events = []
        for row in rows:
            ts = self.i * HALF_DAY
            if not self.kernel:
                self.s.push_tick(0, ts, row[0], ltq=row[1])
            if before and self.i in before:
                before[self.i](self)
            events += self.s.step(self.i, ts, *row, 1000.0) if self.kernel else self.s.apply_current()
            self.i += 1
        return events


def fills(events, client=None):
    return [e.size for e in events if e.kind == FILL and client in (None, e.client_order_id)]


# An add merges its fill's itemised costs into the position's, and each partial close takes its share:
# every trade itemises all its fees, and no charge is dropped or counted twice.
@pytest.mark.parametrize("kind", ["kernel", "portfolio"])
def test_itemised_costs_follow_the_units_through_adds_and_partial_closes(kind):
    d = Driver(kind, tm.BacktestConfig(fee_segment="NSE-DELIVERY", partial_fills=True))
    prices = [100.0 + k for k in range(6)]
    orders = {k: lambda d, u=u: d.submit("sell", "market", f"S{u}", units=u) for k, u in ((3, 12.0), (5, 9.0))}
    if kind == "kernel":  # three slices of one schedule build one position of 30
        d.s.submit_twap(30.0, "buy", 3, HALF_DAY, 0, 0, "T")
        rows = [(p,) * 4 for p in prices]
    else:  # one buy of 30 fills 10 on each of three prints; the sell of 12 closes 10, then 2
        orders[0] = lambda d: d.submit("buy", "market", "B", units=30.0)
        rows = [(p, 10.0 if p < 105.0 else 100.0) for p in prices]
    events = d.run(rows, orders)
    trades = (d.s.finish() if d.kernel else d.s.finish().result).trades()
    assert len(trades) == (3 if d.kernel else 4)
    assert [t.fee_breakdown["total"] for t in trades] == pytest.approx([t.fees for t in trades], rel=1e-12)
    # Stamp duty on buys only, STT at 0.1 % on both sides of delivery trades; the end of data closes
    # the last 9 without costs.
    bought = sum(e.price * e.size for e in events if e.kind == "entered")
    sold = sum(e.trade.exit_price * e.trade.size for e in events if e.kind == "exited")
    assert sum(t.fee_breakdown["stamp_duty"] for t in trades) == pytest.approx(0.00015 * bought, rel=1e-12)
    assert sum(t.fee_breakdown["stt"] for t in trades) == pytest.approx(0.001 * (bought + sold), rel=1e-12)
    assert sum(t.size for t in trades) == 30.0


# Under partial fills a print smaller than one lot (or size increment) fills nothing, and the order keeps
# working unless it is ioc; a remainder below one lot is canceled; only a whole quantity below one lot is
# refused. Per print: the fills and the order's end.
@pytest.mark.parametrize("units, tif, prints, story", [
    (25.0, "gtc", [5, 15, 5, 15, 15], [[], [10.0], [], [10.0], ["order_canceled"]]),
    (5.0, "gtc", [3], [["zero_size"]]),
    (30.0, "ioc", [5, 15], [["order_canceled"], []]),
], ids=["waits", "refused", "ioc"])
@pytest.mark.parametrize("rounding", [dict(instrument_config=tm.InstrumentConfig(lot_size=10.0)),
                                      dict(instrument=tm.InstrumentSpec.equity("X", size_increment=10.0))],
                         ids=["lot", "increment"])
def test_a_print_smaller_than_a_lot_fills_nothing(units, tif, prints, story, rounding):
    d = Driver("portfolio", tm.BacktestConfig(fees=0.0, partial_fills=True), **rounding)
    d.submit("buy", "market", "B", units=units, tif=tif)
    seen = [[e.size if e.kind == FILL else e.reject_reason or e.kind for e in d.run([(100.0, float(size))])
             if e.kind not in ("order_accepted", "entered")] for size in prints]
    assert seen == story
    assert sum(p.size for p in d.call("positions")) == sum(x for s in story for x in s if isinstance(x, float))
    assert d.s.working_orders(0) == []


# A close-all or size_frac order closing over several prints completes when the position is flat, not
# when its filled quantity reaches the shrinking position.
@pytest.mark.parametrize("sizing", [{}, dict(size_frac=0.5)], ids=["close_all", "size_frac"])
def test_a_reducing_order_works_until_the_position_is_flat(sizing):
    d = Driver("portfolio", tm.BacktestConfig(fees=0.0, partial_fills=True))
    d.run([(100.0, 1000.0)], {0: lambda d: d.submit("buy", "market", "B", units=100.0)})
    d.submit("sell", "market", "X", **sizing)
    assert [fills(d.run([(101.0, size)])) for size in (40.0, 40.0, 40.0, 50.0)] == [[40.0], [40.0], [20.0], []]
    assert d.s.working_orders(0) == []
    assert [t.size for t in d.s.finish().result.trades()] == [40.0, 40.0, 20.0]


# A bracket parent that ends canceled, expired or refused after a partial fill accepts its children, as
# a complete fill does; one that ends with nothing filled still cancels them. The buy limit's first fill
# is partial: on a bar 20 of 25 in lots of 10, on a print 40 of 100. Unfilled, its limit is never
# reached, or (refused) that first fill is more than the account can pay.
@pytest.mark.parametrize("kind, how", [("kernel", "cancel"), ("kernel", "day"), ("portfolio", "ioc"),
                                       ("portfolio", "gtd"), ("portfolio", "refused")])
@pytest.mark.parametrize("part_filled", [True, False])
def test_a_parent_that_ends_after_a_partial_fill_releases_its_children(kind, how, part_filled):
    if kind == "kernel":
        d = Driver(kind, tm.BacktestConfig(fees=0.0), instrument_config=tm.InstrumentConfig(lot_size=10.0))
        units, part, rows = 25.0, 20.0, [(100.0, 101.0, 99.0, 100.0)] * 3 + [(96.0, 97.0, 90.0, 91.0)]
    else:
        capital = (6000.0 if part_filled else 3000.0) if how == "refused" else 1e5
        d = Driver(kind, tm.BacktestConfig(fees=0.0, partial_fills=True, initial_capital=capital))
        units, part, rows = 100.0, 40.0, [(99.0, 40.0)] * 3 + [(94.0, 1000.0)]
    tif = how if how in ("ioc", "day", "gtd") else "gtc"

    def bracket(d):
        d.parent = d.submit("buy", "limit", "P", units=units, limit_price=99.5 if part_filled or how == "refused"
                            else 90.0, tif=tif, **(dict(expire_ns=2 * HALF_DAY) if how == "gtd" else {}))
        # Close-all children, linked one-cancels-other.
        d.call("link_oco", [d.submit("sell", "stop_market", "S", trigger_price=95.0, parent_id=d.parent),
                            d.submit("sell", "limit", "T", limit_price=110.0, parent_id=d.parent)])

    before = {0: bracket, 2: lambda d: d.call("cancel_order", d.i, d.parent)} if how == "cancel" else {0: bracket}
    events = d.run(rows, before)
    story = {c: [(e.kind, e.idx) for e in events if e.client_order_id == c] for c in "PST"}
    assert story["P"][-1][0] == dict(ioc="order_canceled", cancel="order_canceled",
                                     refused="order_rejected").get(how, "order_expired")
    if part_filled:
        # Accepted when the parent ends (an ioc one with its first fill); the stop then closes all it bought.
        ended = 1 if how == "ioc" else 2
        assert fills(events, "P") == [part]
        assert story["S"] == [("order_accepted", ended), (FILL, 3)]
        assert story["T"] == [("order_accepted", ended), ("order_canceled", 3)]
        assert [(e.trade.size, e.trade.exit_reason) for e in events if e.kind == "exited"] == [(part, "Order")]
    else:
        assert fills(events) == []
        assert [k for k, _ in story["S"]] == [k for k, _ in story["T"]] == ["order_canceled"]
    assert d.call("positions") == []
