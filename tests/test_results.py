"""The result records of a run: BacktestResult, BacktestMetrics and Trade."""

import math

import numpy as np
import pytest

import _tidemark as tm
from runner_util import DAY, flags

BC = tm.BacktestConfig

DICT_KEYS = [
    "Start Value", "End Value", "Total Return [%]", "Total Fees Paid", "Total Turnover", "Max Drawdown [%]",
    "Max Drawdown Duration", "Max Drawdown Duration [s]", "Total Trades", "Total Closed Trades",
    "Total Open Trades", "Open Trade PnL", "Win Rate [%]", "Best Trade [%]", "Worst Trade [%]",
    "Avg Winning Trade [%]", "Avg Losing Trade [%]", "Avg Winning Trade Duration", "Avg Losing Trade Duration",
    "Profit Factor", "Expectancy", "SQN", "Sharpe Ratio", "Sortino Ratio", "Calmar Ratio", "Omega Ratio",
]
DICT_FIELDS = [
    "start_value", "end_value", "total_return_pct", "total_fees_paid", "total_turnover", "max_drawdown_pct",
    "max_drawdown_duration", "max_drawdown_duration_secs", "total_trades", "total_closed_trades",
    "total_open_trades", "open_trade_pnl", "win_rate_pct", "best_trade_pct", "worst_trade_pct", "avg_win_pct",
    "avg_loss_pct", "avg_winning_duration", "avg_losing_duration", "profit_factor", "expectancy", "sqn",
    "sharpe_ratio", "sortino_ratio", "calmar_ratio", "omega_ratio",
]


def run(close, entries=(), exits=(), **kwargs):
    close = np.asarray(close, dtype=np.float64)
    n = len(close)
    ts = np.arange(n, dtype=np.int64) * DAY
    return tm.run_single_backtest(ts, close, close, close, close, np.full(n, 1000.0), flags(n, entries),
                                  flags(n, exits), **kwargs)


def ratios(returns, periods=365.0):
    """Sharpe and Sortino straight from their definitions (sample variance; downside over all values)."""
    x = np.asarray(returns)
    mean = x.mean()
    sharpe = math.sqrt(periods) * mean / x.std(ddof=1)
    downside = np.sum(np.minimum(x, 0.0) ** 2) / len(x)
    sortino = math.sqrt(periods) * mean / math.sqrt(downside) if downside > 0 else math.inf
    return sharpe, sortino


@pytest.fixture(scope="module")
def win_and_loss():
    # fees 0. Trade 1: 1000 units 100 -> 110, +10000 (+10 %). Trade 2: 110000 / 100 = 1100 units
    # 100 -> 95, -5500 (-5 %). Equity 100000, 110000, 110000, 110000, 104500, 104500.
    return run([100.0, 110.0, 110.0, 100.0, 95.0, 95.0], [0, 3], [1, 4], config=BC(fees=0.0), symbol="XYZ")


def test_metrics_of_a_win_and_a_loss(win_and_loss):
    m = win_and_loss.metrics
    sharpe, sortino = ratios([0.0, 0.1, 0.0, 0.0, -0.05, 0.0])
    expected = {
        "start_value": 100000.0, "end_value": 104500.0, "total_return_pct": 4.5, "total_fees_paid": 0.0,
        # 1000 * (100 + 110) + 1100 * (100 + 95)
        "total_turnover": 424500.0,
        "max_drawdown_pct": 5.0, "max_drawdown_duration": 2, "max_drawdown_duration_secs": 86400.0,
        "total_trades": 2, "total_closed_trades": 2, "total_open_trades": 0, "open_trade_pnl": 0.0,
        "winning_trades": 1, "losing_trades": 1, "win_rate_pct": 50.0,
        "best_trade_pct": 10.0, "worst_trade_pct": -5.0, "avg_trade_return_pct": 2.5,
        "avg_win_pct": 10.0, "avg_loss_pct": -5.0, "avg_winning_duration": 1.0, "avg_losing_duration": 1.0,
        "profit_factor": 10000.0 / 5500.0, "expectancy": 2250.0,
        # sqrt(2) * 2250 / (15500 / sqrt(2))
        "sqn": 4500.0 / 15500.0,
        "payoff_ratio": 2.0, "max_consecutive_wins": 1, "max_consecutive_losses": 1,
        "avg_holding_period": 1.0, "avg_holding_period_secs": 86400.0,
        "exposure_pct": 2 / 6 * 100, "recovery_factor": 4500.0 / 5000.0, "calmar_ratio": 4.5 / 5.0,
        "sharpe_ratio": sharpe, "sortino_ratio": sortino, "omega_ratio": 0.1 / 0.05,
    }
    assert {k: getattr(m, k) for k in expected} == pytest.approx(expected, rel=1e-9)
    assert all(type(getattr(m, k)) is int for k in ("total_trades", "max_drawdown_duration", "winning_trades"))


def test_curves(win_and_loss):
    assert list(win_and_loss.equity_curve()) == pytest.approx(
        [100000.0, 110000.0, 110000.0, 110000.0, 104500.0, 104500.0], rel=1e-12)
    # percent below the running peak of 110000
    assert list(win_and_loss.drawdown_curve()) == pytest.approx([0, 0, 0, 0, 5.0, 5.0], abs=1e-9)
    assert list(win_and_loss.returns()) == pytest.approx([0, 0.1, 0, 0, -0.05, 0], abs=1e-12)
    for arr in (win_and_loss.equity_curve(), win_and_loss.drawdown_curve(), win_and_loss.returns()):
        assert arr.dtype == np.float64 and arr.ndim == 1 and arr.flags.c_contiguous and arr.flags.writeable


def test_trade_fields(win_and_loss):
    first, second = win_and_loss.trades()
    assert (first.id, second.id) == (0, 1)
    assert (first.symbol, first.direction, first.entry_idx, first.exit_idx) == ("XYZ", 1, 0, 1)
    assert (first.entry_time, first.exit_time, second.entry_time, second.exit_time) == (0, DAY, 3 * DAY, 4 * DAY)
    assert (second.entry_price, second.exit_price) == (100.0, 95.0)
    assert second.size == pytest.approx(1100.0, rel=1e-12)
    assert (second.pnl, second.return_pct) == pytest.approx((-5500.0, -5.0), rel=1e-9)
    assert (second.fees, second.entry_fees, second.exit_fees, second.fee_breakdown) == (0.0, 0.0, 0.0, None)
    assert (first.exit_reason, second.exit_reason) == ("Signal", "Signal")


def test_to_dict_has_the_26_entries_in_order(win_and_loss):
    m = win_and_loss.metrics
    d = m.to_dict()
    assert list(d) == DICT_KEYS
    assert list(d.values()) == [getattr(m, f) for f in DICT_FIELDS]
    assert "winning_trades" not in d and m.to_dict() is not d


def test_only_winners_reports_infinite_ratios_as_none():
    # fees 0: 1000 units 100 -> 120; equity 100000, 110000, 120000 -- never under water, no negative return
    m = run([100.0, 110.0, 120.0], [0], [2], config=BC(fees=0.0)).metrics
    assert (m.profit_factor, m.payoff_ratio, m.sortino_ratio, m.omega_ratio) == (None, None, None, None)
    assert (m.calmar_ratio, m.recovery_factor) == (None, None)          # +inf with no drawdown
    assert (m.avg_loss_pct, m.avg_losing_duration, m.max_drawdown_duration_secs) == (None, None, None)
    assert (m.avg_win_pct, m.avg_winning_duration) == pytest.approx((20.0, 2.0), rel=1e-12)
    d = m.to_dict()
    assert d["Profit Factor"] is None and d["Avg Losing Trade [%]"] is None and d["Max Drawdown [%]"] == 0.0


def test_only_losers():
    # fees 0: 1000 units 100 -> 90, -10 %
    m = run([100.0, 95.0, 90.0], [0], [2], config=BC(fees=0.0)).metrics
    assert (m.avg_win_pct, m.avg_winning_duration) == (None, None)
    assert m.avg_loss_pct == pytest.approx(-10.0, rel=1e-12)
    # finite zeros stay numbers: no gross profit, no average win
    assert (m.profit_factor, m.payoff_ratio, m.win_rate_pct) == (0.0, 0.0, 0.0)
    assert m.max_consecutive_losses == 1 and m.losing_trades == 1
    assert m.omega_ratio == 0.0 and m.calmar_ratio == pytest.approx(-1.0, rel=1e-12)   # -10 % / 10 %


def test_run_without_trades():
    res = run([100.0, 101.0, 99.0, 100.0], [], [2])
    m = res.metrics
    assert res.trades() == [] and len(res.equity_curve()) == 4
    d = m.to_dict()
    assert list(d) == DICT_KEYS
    for key in ("Avg Winning Trade [%]", "Avg Losing Trade [%]", "Avg Winning Trade Duration",
                "Avg Losing Trade Duration", "Max Drawdown Duration [s]"):
        assert d[key] is None
    # flat returns: every ratio settles on its neutral value
    assert (m.sharpe_ratio, m.sortino_ratio, m.omega_ratio, m.calmar_ratio) == (0.0, 0.0, 1.0, 0.0)
    assert (m.profit_factor, m.payoff_ratio, m.recovery_factor, m.total_trades) == (0.0, 0.0, 0.0, 0)


@pytest.fixture(scope="module")
def one_long():
    # default fees; q = 100000 / 100.1; pnl = q * 10 - 0.001 * q * (100 + 110) = q * 9.79 = 9780.2198
    return run([100.0, 105.0, 110.0], [0], [2], symbol="ABC")


def test_printed_forms(one_long):
    (t,) = one_long.trades()
    assert repr(t) == "Trade(symbol=ABC, entry=100.00, exit=110.00, pnl=9780.22, return=9.79%)"
    # total return 9.7802 %; worst drawdown q * 100 = 99900.0999 against 100000 -> 0.0999 %
    assert repr(one_long) == "BacktestResult(return=9.78%, trades=1, max_dd=0.10%)"
    q = 100000 / 100.1
    e = [q * 100.0, q * 105.0, 100000.0 + q * 9.79]
    sharpe, _ = ratios([0.0, e[1] / e[0] - 1, e[2] / e[1] - 1])
    assert repr(one_long.metrics) == f"BacktestMetrics(return=9.78%, sharpe={sharpe:.2f}, max_dd=0.10%, trades=1)"


def test_negative_values_print_with_a_sign():
    # fees 0: 1000 units 100 -> 98.7, pnl -1300, return -1.3 %
    (t,) = run([100.0, 98.7], [0], [1], config=BC(fees=0.0), symbol="NEG").trades()
    assert repr(t) == "Trade(symbol=NEG, entry=100.00, exit=98.70, pnl=-1300.00, return=-1.30%)"


def test_results_are_copies(one_long):
    eq = one_long.equity_curve()
    eq[:] = -1.0
    assert one_long.equity_curve()[0] == pytest.approx(99900.0999, rel=1e-9)
    dd = one_long.drawdown_curve()
    dd[:] = 50.0
    assert one_long.drawdown_curve()[-1] == 0.0
    rets = one_long.returns()
    rets[0] = 9.0
    assert one_long.returns()[0] == 0.0

    m1, m2 = one_long.metrics, one_long.metrics
    assert m1 is not m2 and m1 != m2     # no value comparison: distinct objects
    assert m1.to_dict() == m2.to_dict()

    trades = one_long.trades()
    trades.clear()
    assert len(one_long.trades()) == 1
    assert one_long.trades()[0] is not one_long.trades()[0]


def test_fee_breakdown_dict_is_a_copy():
    cfg = BC(fee_segment="NSE")
    res = run([1000.0, 1000.0, 1000.0], [0], [2], config=cfg)
    (t,) = res.trades()
    fb = t.fee_breakdown
    fb["total"] = 0.0
    fb["extra"] = 1.0
    again = t.fee_breakdown
    assert "extra" not in again and again["total"] == pytest.approx(t.fees, rel=1e-12) and t.fees > 0
    assert sum(again[k] for k in ("brokerage", "stt", "exchange_txn", "sebi_fee", "stamp_duty", "gst")) == \
        pytest.approx(again["total"], rel=1e-12)


@pytest.mark.parametrize("cls, attr", [
    (tm.Trade, "pnl"), (tm.Trade, "exit_reason"), (tm.BacktestMetrics, "sharpe_ratio"),
    (tm.BacktestResult, "metrics"),
])
def test_result_attributes_are_read_only(one_long, cls, attr):
    obj = {tm.Trade: one_long.trades()[0], tm.BacktestMetrics: one_long.metrics, tm.BacktestResult: one_long}[cls]
    before = getattr(obj, attr)
    with pytest.raises(AttributeError):
        setattr(obj, attr, before)
