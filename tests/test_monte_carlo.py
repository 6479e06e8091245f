"""simulate_portfolio_mc: checks, a step-by-step reference model, statistics, reproducibility."""

import math
import os

import numpy as np
import pytest

import _tidemark as tm

MASK = (1 << 64) - 1


class Stream:
    """xoshiro256** in Python integers, seeded and jumped as the simulation does."""

    def __init__(self, seed):
        z, self.s = seed, []
        for _ in range(4):
            z = (z + 0x9E3779B97F4A7C15) & MASK
            z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
            self.s.append(z ^ (z >> 31))

    def next(self):
        s, rotl = self.s, lambda x, k: ((x << k) | (x >> (64 - k))) & MASK
        out, t = (rotl((s[1] * 5) & MASK, 7) * 9) & MASK, (s[1] << 17) & MASK
        s[2], s[3] = s[2] ^ s[0], s[3] ^ s[1]
        s[1], s[0] = s[1] ^ s[2], s[0] ^ s[3]
        s[2], s[3] = s[2] ^ t, rotl(s[3], 45)
        return out

    def normal(self):
        u1, u2 = ((self.next() >> 11) * 2.0 ** -53 for _ in range(2))
        return math.sqrt(-2.0 * math.log(max(u1, 1e-15))) * math.cos(2.0 * math.pi * u2)

    def jump(self):
        acc = [0, 0, 0, 0]
        for word in (0x180EC6D33CFD0ABA, 0xD5A61266F0C9392C, 0xA9582618E03FC9AA, 0x39ABDC4529B1661C):
            for b in range(64):
                if word >> b & 1:
                    acc = [a ^ x for a, x in zip(acc, self.s)]
                self.next()
        self.s = acc


def reference(returns, weights, corr, initial, n, horizon, seed, workers):
    """The model written out step by step with the math module."""
    k = len(returns)
    mu = [sum(r) / len(r) for r in returns]
    sigma = [max(math.sqrt(sum((x - m) ** 2 for x in r) / len(r)), 1e-10) for r, m in zip(returns, mu)]
    chol = [[0.0] * k for _ in range(k)]
    for i in range(k):
        for j in range(i + 1):
            s = sum(chol[i][q] * chol[j][q] for q in range(j))
            chol[i][j] = (corr[i][j] - s) / chol[j][j] if j < i else math.sqrt(corr[i][i] - s)
    per_chunk, stream, paths = -(-n // workers), Stream(seed), []
    for c in range(workers):
        if c:
            stream.jump()
        rng = Stream(0)
        rng.s = list(stream.s)
        for _ in range(c * per_chunk, min((c + 1) * per_chunk, n)):
            path = [initial]
            for _ in range(horizon):
                z = [rng.normal() for _ in range(k)]
                ret = sum(weights[i] * (math.exp(mu[i] + sigma[i] * sigma[i] * -0.5
                                                 + sum(chol[i][q] * z[q] for q in range(i + 1)) * sigma[i]) - 1.0)
                          for i in range(k))
                path.append(path[-1] * (ret + 1.0))
            paths.append(path)
    return paths


RETURNS = [np.array([0.01, -0.02, 0.015, 0.003]), np.array([0.002, 0.004, -0.001]), np.array([-0.01, 0.03])]
WEIGHTS = np.array([0.5, 0.3, 0.2])
CORR = np.array([[1.0, 0.2, 0.1], [0.2, 1.0, 0.3], [0.1, 0.3, 1.0]])


def run(n=200, horizon=30, seed=42, returns=RETURNS, weights=WEIGHTS, corr=CORR, initial=1000.0):
    return tm.simulate_portfolio_mc(returns, weights, corr, initial, n_simulations=n, horizon_days=horizon, seed=seed)


@pytest.mark.parametrize("n", [1, 3])
def test_paths_follow_the_reference_model(n):
    # one path cannot depend on the chunking; with three, a pool of three or more gives each its own stream
    paths = reference(RETURNS, WEIGHTS, CORR, 1000.0, n, 12, 42, min(n, len(os.sched_getaffinity(0))))
    got = run(n=n, horizon=12)
    np.testing.assert_allclose(got["final_values"], sorted(p[-1] for p in paths), rtol=1e-12)
    for _, path in got["percentile_paths"]:
        assert any(np.allclose(path, p, rtol=1e-12, atol=0) for p in paths)


def test_result_layout_and_statistics_from_the_sorted_finals():
    got = run(n=10_000, horizon=3)
    assert list(got) == ["percentile_paths", "final_values", "expected_return", "probability_of_loss", "var_95",
                         "cvar_95"]
    finals = got["final_values"]
    assert isinstance(finals, np.ndarray) and finals.dtype == np.float64 and finals.shape == (10_000,)
    assert np.all(np.diff(finals) >= 0)
    assert [p for p, _ in got["percentile_paths"]] == [5.0, 25.0, 50.0, 75.0, 95.0]
    # ranks round half away from zero: 9999 x 0.5 = 4999.5 -> 5000, 9999 x 0.05 = 499.95 -> 500
    for (p, path), k in zip(got["percentile_paths"], [500, 2500, 5000, 7499, 9499]):
        assert type(p) is float and type(path) is list and len(path) == 4 and path[0] == 1000.0
        assert abs(path[-1] - finals[k]) == np.min(np.abs(finals - finals[k]))   # the path ending nearest
    assert got["expected_return"] == pytest.approx((finals.mean() / 1000.0 - 1) * 100, rel=1e-12)
    assert got["probability_of_loss"] == np.count_nonzero(finals < 1000.0) / 10_000
    assert got["var_95"] == pytest.approx(max(0.0, (1000.0 - finals[500]) / 10.0), rel=1e-12)
    assert got["cvar_95"] == pytest.approx(max(0.0, (1000.0 - finals[:501].mean()) / 10.0), rel=1e-12)


def test_reproducible_for_a_seed_and_different_for_another():
    a, b, c = run(seed=5), run(seed=5), run(seed=6)
    fa, fb = a.pop("final_values"), b.pop("final_values")
    assert np.array_equal(fa, fb) and a == b and not np.array_equal(fa, c["final_values"])


def test_zero_horizon_holds_every_path_at_the_start():
    got = run(n=50, horizon=0, initial=250.0)
    assert all(path == [250.0] for _, path in got["percentile_paths"]) and np.all(got["final_values"] == 250.0)
    assert (got["probability_of_loss"], got["var_95"], got["cvar_95"]) == (0.0, 0.0, 0.0)
    assert got["expected_return"] == pytest.approx(0.0, abs=1e-12)


def test_nan_finals_sort_after_every_number():
    # a weightless asset whose growth overflows about half the time: 0 x inf is NaN
    finals = run(n=400, horizon=1, returns=[np.array([750.0, 770.0]), np.array([0.01, -0.01])],
                 weights=np.array([0.0, 1.0]), corr=np.eye(2))["final_values"]
    nan = np.isnan(finals)
    assert 0 < nan.sum() < 400 and not nan[:-nan.sum()].any() and np.all(np.diff(finals[~nan]) >= 0)


def test_input_reading():
    # an empty series holds its asset still
    got = tm.simulate_portfolio_mc([np.array([])], np.array([1.0]), [np.array([1.0])], 100.0, n_simulations=20,
                                   horizon_days=10)
    assert np.all(got["final_values"] == 100.0)
    # a 2-D array is read as rows, and only the lower triangle of the correlation matrix is read
    mat = np.array([[0.01, -0.02, 0.015], [0.002, 0.004, -0.001], [-0.01, 0.03, 0.0]])
    assert np.array_equal(run(returns=list(mat), n=40, horizon=5)["final_values"],
                          run(returns=mat, n=40, horizon=5)["final_values"])
    upper_garbage = CORR.copy()
    upper_garbage[0, 2], upper_garbage[1, 2] = 99.0, NAN
    assert np.array_equal(run(corr=upper_garbage)["final_values"], run()["final_values"])
    # a computed correlation's diagonal, 1 but for rounding
    assert np.isfinite(run(corr=np.corrcoef(np.cumprod(1 + np.arange(18).reshape(3, 6) % 5 / 100 - 0.03, axis=1)),
                           initial=-500.0)["final_values"]).all()


NAN, INF = float("nan"), float("inf")
TAIL = ", not 1; pass a correlation matrix (for example np.corrcoef of the return series), not a covariance"
LATE_LISTING = [RETURNS[0], np.array([NAN, NAN, -0.001]), RETURNS[2]]   # as list(df.to_numpy().T) gives it


def with_cell(i, j, value):
    corr = CORR.copy()
    corr[i, j] = value
    return corr


# In check order and with the lock held, before any work (2^62 paths are a MemoryError): among them the inputs
# that would make every path NaN (a book read as riskless) and matrices that are no correlation.
@pytest.mark.parametrize("kwargs, message", [
    (dict(corr=CORR[:2]), "correlation_matrix must be 3x3 to match the 3 asset series"),
    (dict(corr=np.array([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 2.0, 1.0]])),
     "correlation matrix is not positive definite (non-positive pivot -3.000 at asset 2); it cannot be decomposed, "
     "and simulating through a repaired version would report risk figures for a correlation structure you did not "
     "supply"),
    (dict(returns=LATE_LISTING, n=0), "n_simulations must be >= 1"),   # after every size check
    (dict(returns=LATE_LISTING, corr=np.diag([2.0] * 3), weights=np.array([NAN, 0.5, 0.5])),
     "non-finite value at series 1, index 0 of returns"),
    (dict(returns=[RETURNS[0], RETURNS[1], np.array([-0.01, 0.03, -INF])]),
     "non-finite value at series 2, index 2 of returns"),
    (dict(corr=np.array([[4e-4, 1e-4, 0.0], [1e-4, 9e-4, 0.0], [0.0, 0.0, 1e-4]])),   # a covariance
     "correlation_matrix diagonal at asset 0 is 0.0004" + TAIL),
    (dict(corr=with_cell(1, 1, 1 + 2e-9)), "correlation_matrix diagonal at asset 1 is 1.000000002" + TAIL),
    (dict(corr=with_cell(2, 2, NAN)), "correlation_matrix diagonal at asset 2 is NaN" + TAIL),
    (dict(weights=np.array([0.5, INF, NAN]), corr=with_cell(2, 0, NAN)), "non-finite value at index 1 of weights"),
    (dict(corr=with_cell(2, 1, NAN), initial=NAN), "non-finite value at row 2, col 1 of correlation_matrix"),
    (dict(initial=-INF), "initial_value must be finite, got -inf"),
    (dict(n=2 ** 50), None), (dict(horizon=2 ** 64 - 1), None),   # memory that cannot be had
])
def test_refused_inputs(kwargs, message):
    with pytest.raises(MemoryError if message is None else ValueError) as exc:
        run(**{"n": 2 ** 62, **kwargs})
    assert message is None or str(exc.value) == message
