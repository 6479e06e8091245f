"""Plain-Python statements of the indicator rules, written from their definitions
and run in IEEE double arithmetic one operation at a time, so that a kernel that
keeps the stated order of operations must match them bit for bit. Window
extremes and means are taken by rescanning each window, as the definitions
read; the kernels reach the same values by O(n) means.
"""

import math

import numpy as np

NAN = float("nan")
INF = float("inf")


def isnan(v):
    return v != v


def max_num(a, b):
    """IEEE maxNum: a NaN loses to a number, +0 wins over -0."""
    if isnan(a):
        return b
    if isnan(b):
        return a
    if a == b:
        return a if math.copysign(1.0, a) > 0 else b
    return a if a > b else b


def min_num(a, b):
    if isnan(a):
        return b
    if isnan(b):
        return a
    if a == b:
        return a if math.copysign(1.0, a) < 0 else b
    return a if a < b else b


def total(values):
    """Sum in index order, from 0.0."""
    t = 0.0
    for v in values:
        t += v
    return t


def sma(x, p):
    n = len(x)
    out = [NAN] * n
    if p > n:
        return out
    s = total(x[:p])
    out[p - 1] = s / p
    for i in range(p, n):
        s = s - x[i - p]
        s = s + x[i]
        out[i] = s / p
    return out


def ema(x, p):
    n = len(x)
    out = [NAN] * n
    if p > n:
        return out
    v = total(x[:p]) / p
    out[p - 1] = v
    alpha = 2.0 / (p + 1.0)
    for i in range(p, n):
        v = alpha * x[i] + (1.0 - alpha) * v
        out[i] = v
    return out


def rsi(x, p):
    n = len(x)
    out = [NAN] * n
    if n < 2 or p >= n:
        return out
    gain, loss = [0.0] * n, [0.0] * n
    for i in range(1, n):
        change = x[i] - x[i - 1]
        if change > 0:
            gain[i], loss[i] = change, 0.0
        else:
            gain[i], loss[i] = 0.0, -change
    ag, al = total(gain[1:p + 1]) / p, total(loss[1:p + 1]) / p

    def value(g, l):
        return 100.0 if l == 0 else 100.0 - 100.0 / (g / l + 1.0)

    out[p] = value(ag, al)
    for i in range(p + 1, n):
        ag = (1.0 - 1.0 / p) * ag + gain[i] * (1.0 / p)
        al = (1.0 - 1.0 / p) * al + loss[i] * (1.0 / p)
        out[i] = value(ag, al)
    return out


def macd(x, fast, slow, signal):
    n = len(x)
    m, s, h = [NAN] * n, [NAN] * n, [NAN] * n
    if slow > n:
        return m, s, h
    f, sl = ema(x, fast), ema(x, slow)
    for i in range(slow - 1, n):
        if not isnan(f[i]) and not isnan(sl[i]):
            m[i] = f[i] - sl[i]
    seed = slow + signal - 2
    if seed < n and all(not isnan(v) for v in m[slow - 1:seed + 1]):
        s[seed] = total(m[slow - 1:seed + 1]) / signal
        alpha = 2.0 / (signal + 1.0)
        for i in range(seed + 1, n):
            if not isnan(m[i]):
                s[i] = alpha * m[i] + (1.0 - alpha) * s[i - 1]
    for i in range(n):
        if not isnan(m[i]) and not isnan(s[i]):
            h[i] = m[i] - s[i]
    return m, s, h


def true_ranges(h, l, c):
    tr = [h[0] - l[0]] if len(c) else []
    for i in range(1, len(c)):
        tr.append(max_num(max_num(h[i] - l[i], abs(h[i] - c[i - 1])), abs(l[i] - c[i - 1])))
    return tr


def atr(h, l, c, p):
    n = len(c)
    out = [NAN] * n
    if p >= n:
        return out
    tr = true_ranges(h, l, c)
    v = total(tr[:p]) / p
    out[p - 1] = v
    for i in range(p, n):
        v = (1.0 / p) * tr[i] + (1.0 - 1.0 / p) * v
        out[i] = v
    return out


def stochastic(h, l, c, k, d):
    n = len(c)
    kk, dd = [NAN] * n, [NAN] * n
    if k > n:
        return kk, dd
    for i in range(k - 1, n):
        hh, ll = -INF, INF
        for j in range(i - k + 1, i + 1):
            if not isnan(h[j]):
                hh = max_num(hh, h[j])
            if not isnan(l[j]):
                ll = min_num(ll, l[j])
        rng = hh - ll
        kk[i] = (c[i] - ll) / rng * 100.0 if rng > 0 else 50.0
    for i in range(k + d - 2, n):
        w = kk[i - d + 1:i + 1]
        if all(not isnan(v) for v in w):
            dd[i] = total(w) / d
    return kk, dd


def bollinger(x, p, k):
    """(upper, middle, lower) with each deviation summed afresh over its window."""
    n = len(x)
    mid = sma(x, p)
    up, lo = [NAN] * n, [NAN] * n
    for i in range(p - 1, n) if p <= n else ():
        m = mid[i]
        if isnan(m):
            continue
        dev = 0.0
        for j in range(i - p + 1, i + 1):
            dev += (x[j] - m) * (x[j] - m)
        sd = k * math.sqrt(dev / p)
        up[i], lo[i] = m + sd, m - sd
    return up, mid, lo


def adx(h, l, c, p):
    n = len(c)
    out = [NAN] * n
    if 2 * p > n:
        return out
    pdm, mdm, tr = [0.0] * n, [0.0] * n, [0.0] * n
    rng = true_ranges(h, l, c)
    for i in range(1, n):
        up, down = h[i] - h[i - 1], l[i - 1] - l[i]
        pdm[i] = up if up > 0 and up > down else 0.0
        mdm[i] = down if down > up and down > 0 else 0.0
        tr[i] = rng[i]
    sp, sm, st = total(pdm[1:p + 1]), total(mdm[1:p + 1]), total(tr[1:p + 1])
    dx = [0.0] * n
    for i in range(p, n):
        if i > p:
            sp = sp - sp / p + pdm[i]
            sm = sm - sm / p + mdm[i]
            st = st - st / p + tr[i]
        if st > 0:
            pdi, mdi = sp * 100.0 / st, sm * 100.0 / st
            if pdi + mdi > 0:
                dx[i] = abs(pdi - mdi) * 100.0 / (pdi + mdi)
    v = total(dx[p:2 * p]) / p
    out[2 * p - 1] = v
    for i in range(2 * p, n):
        v = (v * (p - 1) + dx[i]) / p
        out[i] = v
    return out


def vwap(h, l, c, v):
    out, pv, vol = [], 0.0, 0.0
    for i in range(len(c)):
        tp = (h[i] + l[i] + c[i]) / 3.0
        pv = pv + tp * v[i]
        vol = vol + v[i]
        out.append(pv / vol if vol > 0 else NAN)
    return out


def supertrend(h, l, c, p, mult):
    n = len(c)
    line, direction = [NAN] * n, [0] * n
    if p >= n:
        return line, direction
    a = atr(h, l, c, p)
    bu, bl = [NAN] * n, [NAN] * n
    for i in range(p - 1, n):
        if not isnan(a[i]):
            mid = (h[i] + l[i]) * 0.5
            bu[i], bl[i] = mid + mult * a[i], mid - mult * a[i]
    fu, fl = bu[p - 1], bl[p - 1]
    d = -1 if c[p - 1] <= fu else 1
    line[p - 1], direction[p - 1] = (fu if d == -1 else fl), d
    for i in range(p, n):
        nu = min_num(bu[i], fu) if not isnan(bu[i]) and not isnan(fu) and c[i - 1] <= fu else bu[i]
        nl = max_num(bl[i], fl) if not isnan(bl[i]) and not isnan(fl) and c[i - 1] >= fl else bl[i]
        fu, fl = nu, nl
        if d == 1:
            if c[i] < fl:
                d = -1
        elif c[i] > fu:
            d = 1
        line[i], direction[i] = (fl if d == 1 else fu), d
    return line, direction


def rolling_extreme(x, p, is_max):
    n = len(x)
    out = [NAN] * n
    start = -INF if is_max else INF
    for i in range(p - 1, n) if p <= n else ():
        e = start
        for j in range(i - p + 1, i + 1):
            if not isnan(x[j]):
                e = max_num(e, x[j]) if is_max else min_num(e, x[j])
        out[i] = NAN if e == start else e
    return out


def market(n, seed, nan_gaps=False):
    """A random-walk bar series (high, low, close, volume) around 100, with NaN
    holes punched into each column independently when asked."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    spread = close * rng.uniform(0.0, 0.02, n)
    high = close + spread * rng.uniform(0.0, 1.0, n)
    low = close - spread * rng.uniform(0.0, 1.0, n)
    volume = rng.uniform(0.0, 1000.0, n)
    cols = [high, low, close, volume]
    if nan_gaps:
        for col in cols:
            col[rng.choice(n, size=max(1, n // 100), replace=False)] = np.nan
    return cols
