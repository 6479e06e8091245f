"""A long seeded run pinned by hash: any change to fills, costs, stops, targets, curves or metrics moves it,
and must say so. The digests were recorded with the engine of commit bd3f3de, before the speed work, and its
baseline-only build gave the same."""

import hashlib
import struct

import numpy as np

import tidemark as tm

N = 200_000


def seeded_run():
    # Draws, + - * / and a running product only: IEEE 754 rounds these the same on every processor, where the
    # last bits of exp and log depend on the routine NumPy or libm picks for the machine.
    rng = np.random.default_rng(20261207)
    close = 500.0 * np.cumprod(1.0 + (rng.random(N) - 0.5) * 0.0104)
    open_ = np.concatenate(([close[0]], close[:-1])) * (1.0 + (rng.random(N) - 0.5) * 0.0017)
    spread = rng.random(N) * 0.004 * close
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
    "equity": "d84b0d31505684d6060ead9ffe8ab722017d2a2be8af3a56e1f11d6d31ae0eb2",
    "trades": "f0a2aa66f33cba6947d700da22f0eff064fb78ded57e90a9a4a39703a9183f34",
    "metrics": "02ef630d630caa2275878eb18c9e84d987372197a038b84554ba278a72304bf5",
}
