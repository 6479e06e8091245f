"""The indicator rules in plain Python, one IEEE operation at a time and in the stated order, so a
kernel keeping that order matches bit for bit; window extremes and means rescan each window."""

import math

import numpy as np

NAN, INF = float("nan"), float("inf")
isnan = math.isnan


def max_num(a, b):
    """IEEE maxNum: a NaN loses to a number, +0 wins over -0."""
    if isnan(a) or isnan(b):
        return b if isnan(a) else a
    return (a if math.copysign(1.0, a) > 0 else b) if a == b else (a if a > b else b)


def min_num(a, b):
    return -max_num(-a, -b)


def total(values):  # left to right, uncompensated
    t = 0.0
    for v in values:
        t += v
    return t


def sma(x, p):
    out = [NAN] * len(x)
    if p <= len(x):
        s = total(x[:p])
        out[p - 1] = s / p
        for i in range(p, len(x)):
            s = s - x[i - p]
            s = s + x[i]
            out[i] = s / p
    return out


def smooth(seed_values, rest, a, b):
    """seed = mean, then v = a * x + b * v over `rest`."""
    out = [total(seed_values) / len(seed_values)]
    for x in rest:
        out.append(a * x + b * out[-1])
    return out


def ema(x, p):
    n, alpha = len(x), 2.0 / (p + 1.0)
    return [NAN] * n if p > n else [NAN] * (p - 1) + smooth(x[:p], x[p:], alpha, 1.0 - alpha)


def rsi(x, p):
    n = len(x)
    if n < 2 or p >= n:
        return [NAN] * n
    ch = [x[i] - x[i - 1] for i in range(1, n)]
    gain, loss, a = [c if c > 0 else 0.0 for c in ch], [0.0 if c > 0 else -c for c in ch], 1.0 / p
    g, l = smooth(gain[:p], gain[p:], a, 1.0 - a), smooth(loss[:p], loss[p:], a, 1.0 - a)
    # (1/p) * x + (1 - 1/p) * v: IEEE sums and products commute, so either order is the rule
    return [NAN] * p + [100.0 if b == 0 else 100.0 - 100.0 / (a / b + 1.0) for a, b in zip(g, l)]


def macd(x, fast, slow, signal):
    n = len(x)
    m, s, h = [NAN] * n, [NAN] * n, [NAN] * n
    if slow > n:
        return m, s, h
    f, sl = ema(x, fast), ema(x, slow)
    for i in range(slow - 1, n):
        m[i] = f[i] - sl[i]
    seed = slow + signal - 2
    if seed < n and not any(isnan(v) for v in m[slow - 1:seed + 1]):
        s[seed] = total(m[slow - 1:seed + 1]) / signal
        alpha = 2.0 / (signal + 1.0)
        for i in range(seed + 1, n):
            if not isnan(m[i]):
                s[i] = alpha * m[i] + (1.0 - alpha) * s[i - 1]
    return m, s, [a - b for a, b in zip(m, s)]


def true_ranges(h, l, c):
    return [h[0] - l[0]] + [max_num(max_num(h[i] - l[i], abs(h[i] - c[i - 1])), abs(l[i] - c[i - 1]))
                            for i in range(1, len(c))] if len(c) else []


def atr(h, l, c, p):
    if p >= len(c):
        return [NAN] * len(c)
    tr = true_ranges(h, l, c)
    return [NAN] * (p - 1) + smooth(tr[:p], tr[p:], 1.0 / p, 1.0 - 1.0 / p)


def rolling_extreme(x, p, is_max):
    out, start = [NAN] * len(x), -INF if is_max else INF
    for i in range(p - 1, len(x)) if p <= len(x) else ():
        e = start
        for v in x[i - p + 1:i + 1]:
            if not isnan(v):
                e = max_num(e, v) if is_max else min_num(e, v)
        out[i] = NAN if e == start else e
    return out


def stochastic(h, l, c, k, d):
    n = len(c)
    kk, dd = [NAN] * n, [NAN] * n
    for i in range(k - 1, n) if k <= n else ():
        hh, ll = rolling_extreme(h[i - k + 1:i + 1], k, True)[-1], rolling_extreme(l[i - k + 1:i + 1], k, False)[-1]
        hh, ll = -INF if isnan(hh) else hh, INF if isnan(ll) else ll
        kk[i] = (c[i] - ll) / (hh - ll) * 100.0 if hh - ll > 0 else 50.0
    for i in range(k + d - 2, n):
        w = kk[i - d + 1:i + 1]
        if not any(isnan(v) for v in w):
            dd[i] = total(w) / d
    return kk, dd


def bollinger(x, p, k):
    """(upper, middle, lower) with each deviation summed afresh over its window."""
    mid = sma(x, p)
    up, lo = [NAN] * len(x), [NAN] * len(x)
    for i in range(p - 1, len(x)) if p <= len(x) else ():
        if not isnan(mid[i]):
            sd = k * math.sqrt(total((v - mid[i]) * (v - mid[i]) for v in x[i - p + 1:i + 1]) / p)
            up[i], lo[i] = mid[i] + sd, mid[i] - sd
    return up, mid, lo


def adx(h, l, c, p):
    n = len(c)
    if 2 * p > n:
        return [NAN] * n
    pdm, mdm, tr = [0.0] * n, [0.0] * n, [0.0] + true_ranges(h, l, c)[1:]
    for i in range(1, n):
        up, down = h[i] - h[i - 1], l[i - 1] - l[i]
        pdm[i] = up if up > 0 and up > down else 0.0
        mdm[i] = down if down > up and down > 0 else 0.0
    sp, sm, st, dx = total(pdm[1:p + 1]), total(mdm[1:p + 1]), total(tr[1:p + 1]), [0.0] * n
    for i in range(p, n):
        if i > p:
            sp, sm, st = sp - sp / p + pdm[i], sm - sm / p + mdm[i], st - st / p + tr[i]
        pdi, mdi = (sp * 100.0 / st, sm * 100.0 / st) if st > 0 else (0.0, 0.0)
        dx[i] = abs(pdi - mdi) * 100.0 / (pdi + mdi) if pdi + mdi > 0 else 0.0
    out = [NAN] * (2 * p - 1) + [total(dx[p:2 * p]) / p]
    for i in range(2 * p, n):
        out.append((out[-1] * (p - 1) + dx[i]) / p)
    return out


def vwap(h, l, c, v):
    out, pv, vol = [], 0.0, 0.0
    for i in range(len(c)):
        pv, vol = pv + (h[i] + l[i] + c[i]) / 3.0 * v[i], vol + v[i]
        out.append(pv / vol if vol > 0 else NAN)
    return out


def supertrend(h, l, c, p, mult):
    n = len(c)
    line, direction = [NAN] * n, [0] * n
    if p >= n:
        return line, direction
    a = atr(h, l, c, p)
    mid = [(h[i] + l[i]) * 0.5 for i in range(n)]
    bu, bl = [m + mult * v for m, v in zip(mid, a)], [m - mult * v for m, v in zip(mid, a)]
    fu, fl = bu[p - 1], bl[p - 1]
    d = -1 if c[p - 1] <= fu else 1
    line[p - 1], direction[p - 1] = (fu if d == -1 else fl), d
    for i in range(p, n):
        nu = min_num(bu[i], fu) if not isnan(bu[i]) and not isnan(fu) and c[i - 1] <= fu else bu[i]
        nl = max_num(bl[i], fl) if not isnan(bl[i]) and not isnan(fl) and c[i - 1] >= fl else bl[i]
        fu, fl = nu, nl
        d = (-1 if c[i] < fl else 1) if d == 1 else (1 if c[i] > fu else -1)
        line[i], direction[i] = (fl if d == 1 else fu), d
    return line, direction


def market(n, seed, nan_gaps=False):
    """Random-walk (high, low, close, volume) around 100, NaN holes in each column if asked."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    spread = close * rng.uniform(0.0, 0.02, n)
    cols = [close + spread * rng.uniform(0.0, 1.0, n), close - spread * rng.uniform(0.0, 1.0, n), close,
            rng.uniform(0.0, 1000.0, n)]
    for col in cols if nan_gaps else ():
        col[rng.choice(n, size=max(1, n // 100), replace=False)] = np.nan
    return cols


def hard_series(kind, n=60_000, seed=17):
    """(high, low, close) long enough for the batch ATR's side-by-side chains (periods up to 14), from exactly
    rounded steps, with missing bars or flat stretches of the given kind."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.cumprod(1.0 + rng.integers(-100, 101, n) / 10_000)
    high, low = close + rng.integers(0, 64, n) / 32, close - rng.integers(0, 64, n) / 32
    cols = (high, low, close)

    def hold(start, stop):  # high = low = close: true range +0 from the second bar on
        for col in cols:
            col[start:stop] = close[start - 1]

    if kind in ("gapped", "flat_then_gap"):
        if kind == "flat_then_gap":
            hold(10_000, 40_000)
        for at in rng.choice(np.arange(5_000, n - 10, 97), size=50, replace=False):
            for col in cols:
                col[at:at + rng.integers(1, 11)] = NAN
    elif kind == "flat":
        hold(10_000, n)
    elif kind == "flats":  # stretches on either side of each length at which the kernels change course
        at = 5_000
        for length in (100, 1_000, 3_000, 9_000, 25_000):
            hold(at, at + length)
            at += length + 600
    elif kind == "payloads":  # an infinite bar, then missing bars of other NaN payloads and signs
        nans = np.array([0x7FF8000000000123, 0xFFF8000000000456, 0x7FF8000000000789], np.uint64).view(np.float64)
        high[15_000], high[20_000], low[20_000], high[30_000], low[30_000] = INF, nans[0], nans[0], NAN, nans[1]
        close[25_000] = NAN  # the next bar's gaps are NaN, its range is not
        for col in cols:
            col[35_000:35_003] = nans[2]
    return cols
