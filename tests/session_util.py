"""Helpers for driving a KernelSession in tests and reading its events compactly."""

import tidemark as tm

# Five bars (open, high, low, close) that most order tests run over.
BARS = [
    (100.0, 101.0, 99.0, 100.0),
    (100.0, 102.0, 98.0, 101.0),
    (101.0, 103.0, 100.0, 102.0),
    (102.0, 104.0, 95.0, 96.0),
    (96.0, 97.0, 90.0, 91.0),
]


def ev(e):
    """An event as a tuple: kind, idx, then the fields its kind carries."""
    k = e.kind
    if k == "entered":
        return (k, e.idx, e.price, e.size, e.direction)
    if k == "exited":
        return (k, e.idx, e.price, e.size, e.trade.exit_reason)
    if k == "entry_rejected":
        return (k, e.idx, e.reject_reason)
    if k == "order_filled":
        return (k, e.idx, e.client_order_id, e.price, e.size)
    if k == "order_rejected":
        return (k, e.idx, e.client_order_id, e.reject_reason)
    if k == "margin_call":
        return (k, e.idx, e.price, e.size)
    return (k, e.idx, e.client_order_id)


def session(fees=0.0, **kw):
    cfg = kw.pop("config", None) or tm.BacktestConfig(fees=fees)
    return tm.KernelSession(config=cfg, **kw)


def drive(s, bars=BARS, before=None, ts=lambda i: i, intents=None, start=0):
    """Steps `s` over `bars` with indexes from `start`; `before[i](s, i)` runs
    before step i, `intents[i]` holds step keywords. Returns every event as a
    tuple, in order."""
    before = before or {}
    intents = intents or {}
    out = []
    for i, (o, h, l, c) in enumerate(bars, start):
        if i in before:
            before[i](s, i)
        out += [ev(e) for e in s.step(i, ts(i), o, h, l, c, 1000.0, **intents.get(i, {}))]
    return out


def submit(side, kind, client="A", **kw):
    """A `before` action placing one order stamped with the coming step."""
    kw.setdefault("units", 10.0)
    return lambda s, i: s.submit_order(side, kind, i, i, client, **kw)
