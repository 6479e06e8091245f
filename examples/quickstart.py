"""A first backtest: a moving-average crossover on two years of daily bars,
with the itemised costs of NSE equity delivery."""

import numpy as np

import tidemark as tm

# Two years of generated daily bars (a random walk with some drift).
rng = np.random.default_rng(2024)
n = 500
close = 1500.0 * np.exp(np.cumsum(rng.normal(0.0004, 0.015, n)))
open_ = np.concatenate(([close[0]], close[:-1])) * (1 + rng.normal(0, 0.002, n))
high = np.maximum(open_, close) * (1 + np.abs(rng.normal(0, 0.006, n)))
low = np.minimum(open_, close) * (1 - np.abs(rng.normal(0, 0.006, n)))
volume = rng.uniform(2e5, 8e5, n)
day = 86_400_000_000_000
timestamps = np.datetime64("2023-01-02", "ns").astype(np.int64) + np.arange(n, dtype=np.int64) * day

# Moving averages are NaN until their window is full; NaN compares False.
fast, slow = tm.sma(close, 10), tm.sma(close, 40)
above = fast > slow
entries = above & ~np.roll(above, 1)
exits = ~above & np.roll(above, 1)
entries[0] = exits[0] = False

config = tm.BacktestConfig(
    initial_capital=1_000_000.0,
    fee_segment="NSE-DELIVERY",  # brokerage, STT, exchange, SEBI, stamp duty and GST per trade
    fill_timing="next_bar_open",  # act on a signal at the next day's open
)
config.set_atr_stop(3.0, 14)  # stop 3 ATRs below the entry
config.set_risk_reward_target(2.0)  # target twice the stop distance above it

result = tm.run_single_backtest(
    timestamps, open_, high, low, close, volume, entries, exits, symbol="DEMO", config=config
)

print(result)
print()
for key, value in result.metrics.to_dict().items():
    print(f"{key:28s} {value if value is None else round(value, 4)}")
print()
print(f"{'entry':>10} {'exit':>10} {'pnl':>11} {'costs':>9}  reason")
for trade in result.trades():
    print(f"{trade.entry_price:10.2f} {trade.exit_price:10.2f} {trade.pnl:11.2f} {trade.fees:9.2f}  {trade.exit_reason}")
last = result.trades()[-1]
print()
print("cost breakdown of the last trade:", {k: round(v, 2) for k, v in last.fee_breakdown.items()})
