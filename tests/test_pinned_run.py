"""A long seeded run pinned by hash, recorded before the speed work: any change to fills, costs, stops,
targets, curves or metrics moves it, and must say so."""

import hashlib
import struct

import numpy as np

import tidemark as tm

N = 200_000


def seeded_run():
    rng = np.random.default_rng(20261207)
    close = 500.0 * np.exp(np.cumsum(rng.normal(0, 0.003, N)))
    open_ = np.concatenate(([close[0]], close[:-1])) * (1 + rng.normal(0, 0.0005, N))
    spread = np.abs(rng.normal(0, 0.002, N)) * close
    high, low = np.maximum(open_, close) + spread, np.minimum(open_, close) - spread
    volume = rng.uniform(1e3, 1e5, N)
    ts = (np.arange(N, dtype=np.int64) * 60 + 1_700_000_000) * 1_000_000_000
    entries, exits = rng.random(N) < 0.02, rng.random(N) < 0.02
    cfg = tm.BacktestConfig(fee_segment="NSE-DELIVERY", slippage=0.0005)
    cfg.set_atr_stop(2.0, 14)
    cfg.set_risk_reward_target(1.5)
    return tm.run_single_backtest(ts, open_, high, low, close, volume, entries, exits, config=cfg)


def trade_bytes(trades):
    h = hashlib.sha256()
    for t in trades:
        h.update(struct.pack("<qqddddddddb", t.entry_idx, t.exit_idx, t.entry_price, t.exit_price, t.size, t.pnl,
                             t.fees, t.entry_fees, t.exit_fees, t.return_pct, t.direction))
        h.update(t.exit_reason.encode())
        for key, value in sorted((t.fee_breakdown or {}).items()):
            h.update(key.encode() + struct.pack("<d", value))
    return h.hexdigest()


def test_seeded_run_is_pinned():
    r = seeded_run()
    digests = {
        "equity": hashlib.sha256(r.equity_curve().tobytes()).hexdigest(),
        "trades": trade_bytes(r.trades()),
        "metrics": hashlib.sha256(repr(sorted(r.metrics.to_dict().items())).encode()).hexdigest(),
    }
    assert len(r.trades()) > 1000
    assert digests == PINNED


PINNED = {
    "equity": "f6e229f743fc488613a9f8532a5b0e52fb2bfc0ec4e4cb15af08eb6ac3769ca0",
    "trades": "ff861dced2340830a4467bbf98fd2e1b646457a26d302a2d3dba9453eff38494",
    "metrics": "6c33be4980ef9cc6fefaee08221b409f6108ff32f1a95002401ed7c7c6120c50",
}
