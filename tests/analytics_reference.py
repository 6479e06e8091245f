"""Independent NumPy/Python computations the analytics tests compare against, each the rule written out directly."""

import math

import numpy as np

EPS = 2.0 ** -52


def shrunk_covariance(x, relative_cutoff=True):
    """Constant-correlation Ledoit-Wolf with every mean over T: (Sigma, delta)."""
    (t, n), y = x.shape, x - x.mean(axis=0)
    s = y.T @ y / t
    var = np.diag(s)
    sd = np.sqrt(var)
    rbar = (s / np.outer(sd, sd))[np.triu_indices(n, 1)].mean()
    f = rbar * np.outer(sd, sd)
    np.fill_diagonal(f, var)
    dev = y[:, :, None] * y[:, None, :] - s               # t x n x n
    pi_mat = (dev ** 2).mean(axis=0)
    sq = y ** 2 - var                                     # t x n
    theta_ii = np.einsum("ti,tij->ij", sq, dev) / t       # theta_ii,ij
    theta_jj = np.einsum("tj,tij->ij", sq, dev) / t       # theta_jj,ij
    ratio = np.sqrt(np.outer(1.0 / var, var))             # sqrt(S_jj / S_ii)
    off = ~np.eye(n, dtype=bool)
    rho = np.trace(pi_mat) + (rbar / 2 * (ratio * theta_ii + ratio.T * theta_jj))[off].sum()
    gamma = ((f - s) ** 2).sum()
    cutoff = EPS * (s ** 2).sum() if relative_cutoff else EPS
    delta = min(max((pi_mat.sum() - rho) / gamma / t, 0.0), 1.0) if gamma > cutoff else 0.0
    return delta * f + (1 - delta) * s, delta


def left_sum(values, start=0.0):
    """A plain left-to-right float sum (the builtin sum may compensate)."""
    for v in values:
        start += v
    return start


def sequential_sample_covariance(x):
    """S_ij = (sum over t of Y_ti Y_tj) / T, every sum in period order."""
    rows, n = x.tolist(), x.shape[1]
    means = [left_sum(r[j] for r in rows) / len(rows) for j in range(n)]
    y = [[v - m for v, m in zip(r, means)] for r in rows]
    return np.array([[left_sum(r[i] * r[j] for r in y) / len(rows) for j in range(n)] for i in range(n)])


def average_positions(values):
    """0-based sorted positions, ties sharing (first + last) / 2, by counting."""
    v = np.asarray(values, dtype=float)
    less = (v[None, :] < v[:, None]).sum(axis=1)
    equal = (v[None, :] == v[:, None]).sum(axis=1)
    return (2 * less + equal - 1) / 2.0


def rank_row(row, min_names):
    out, ok = np.full(row.shape, np.nan), ~np.isnan(row)
    if ok.sum() >= min_names:
        out[ok] = average_positions(row[ok]) / (ok.sum() - 1)
    return out


def zscore_row(row, min_names):
    """Mean and population variance summed left to right over the non-NaN cells."""
    out, ok = np.full(row.shape, np.nan), ~np.isnan(row)
    cells = row[ok].tolist()
    if len(cells) >= min_names:
        mean = left_sum(cells, -0.0) / len(cells)
        var = left_sum((x - mean) * (x - mean) for x in cells) / len(cells)
        if var > 0:
            out[ok] = [(x - mean) / math.sqrt(var) for x in cells]
    return out


def rank_ic(factor, prices, horizon, min_names):
    t_len = factor.shape[0]
    daily, names = np.full(t_len, np.nan), []
    for t in range(max(t_len - horizon, 0)):
        p0, p1, f = prices[t], prices[t + horizon], factor[t]
        ok = np.isfinite(f) & np.isfinite(p0) & (p0 > 0) & np.isfinite(p1) & (p1 > 0)
        m = int(ok.sum())
        if m < max(min_names, 2):
            continue
        ra = average_positions(f[ok])
        rb = average_positions(p1[ok] / p0[ok] - 1.0)
        da, db = ra - ra.mean(), rb - rb.mean()
        sxx, syy = (da * da).sum(), (db * db).sum()
        if sxx <= 0 or syy <= 0:
            continue
        daily[t] = (da * db).sum() / math.sqrt(sxx * syy)
        names.append(m)
    return daily, names


def leg_cost(schedule, buy, notional, delivery):
    """(total cost, brokerage) of one leg from an exported schedule."""
    rate, flat = schedule["brokerage_rate"], schedule["brokerage_flat"]
    b = min(notional * rate, flat) if rate > 0 else flat
    stt = notional * schedule["stt_rate"] if (not buy or delivery) else 0.0
    x = notional * schedule["exchange_txn_rate"]
    s = notional * schedule["sebi_turnover_rate"]
    stamp = notional * schedule["stamp_duty_rate"] if buy else 0.0
    return (stamp + (s + (x + (b + stt)))) + schedule["gst_rate"] * ((b + x) + s), b


def rebalance(prices, targets, capital, policy, param, schedule, delivery, min_trade=0.0, dp=15.34, ppy=252.0):
    """Plain-loop simulation: (equity, turnover, regulatory, brokerage, dp, rebalances, trades, drag)."""
    t_len, n = prices.shape
    shares, cash, total, rebalances, trades, equity = [0.0] * n, capital, 0.0, 0, 0, []
    turnover, reg, brok, dpc = ([0.0] * t_len for _ in range(4))
    for t in range(t_len):
        p, w = prices[t].tolist(), targets[t].tolist()
        e = cash + sum(shares[i] * p[i] for i in range(n))
        if policy == "calendar":
            go = t % int(param) == 0
        else:
            drift = sum(abs(shares[i] * p[i] / e - w[i]) for i in range(n))
            go = t == 0 or 0.5 * drift > param
        if go:
            legs = []   # (traded, brokerage, regulatory, sell) per leg
            for i in range(n):
                v = w[i] * e - shares[i] * p[i]
                if v != 0.0 and abs(v) >= min_trade:
                    c, b = leg_cost(schedule, v > 0, abs(v), delivery)
                    shares[i] = 0.0 if w[i] == 0 else shares[i] + v / p[i]   # a sell-out leaves nothing
                    cash = (cash - v) - c
                    legs.append((abs(v), b, c - b, v <= 0))
            if legs:
                traded, brok[t], reg[t], sells = (left_sum(leg[k] for leg in legs) for k in range(4))
                dpc[t] = dp * sells
                cash -= dpc[t]
                turnover[t] = traded / e * 0.5
                total += dpc[t] + (reg[t] + brok[t])
                rebalances, trades = rebalances + 1, trades + len(legs)
        equity.append(cash + sum(shares[i] * p[i] for i in range(n)))
    drag = total / (sum(equity) / t_len) / (t_len / ppy)
    return equity, turnover, reg, brok, dpc, rebalances, trades, drag
