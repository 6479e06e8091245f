#include "analytics/monte_carlo.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <new>

#include "analytics/vector_math.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/numeric.h"
#include "core/parallel.h"

namespace tidemark {

Xoshiro256 Xoshiro256::from_seed(uint64_t seed) {
    Xoshiro256 g;
    uint64_t z = seed;
    for (uint64_t& word : g.s) {
        z += 0x9E3779B97F4A7C15ULL;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        word = z ^ (z >> 31);
    }
    return g;
}

void Xoshiro256::jump() {
    static constexpr uint64_t kJump[4] = {0x180ec6d33cfd0abaULL, 0xd5a61266f0c9392cULL, 0xa9582618e03fc9aaULL,
                                          0x39abdc4529b1661cULL};
    uint64_t acc[4] = {0, 0, 0, 0};
    for (uint64_t word : kJump) {
        for (int b = 0; b < 64; ++b) {
            if (word & (uint64_t{1} << b)) {
                for (int k = 0; k < 4; ++k) acc[k] ^= s[k];
            }
            next();
        }
    }
    for (int k = 0; k < 4; ++k) s[k] = acc[k];
}

std::optional<std::string> monte_carlo_input_problem(const MonteCarloInputs& in) {
    if (auto problem = monte_carlo_input_problem(in.returns.size(), in.weights.size(),
                                                 SeriesLengths::of(in.correlation), in.n_simulations))
        return problem;
    // A NaN return would make every path NaN, and every loss count and tail
    // comparison false: a NaN book would read as riskless.
    for (std::size_t i = 0; i < in.returns.size(); ++i) {
        const Series<double>& r = in.returns[i];
        for (std::size_t k = 0; k < r.size(); ++k)
            if (!std::isfinite(r[k]))
                return "non-finite value at series " + std::to_string(i) + ", index " + std::to_string(k) +
                       " of returns";
    }
    // A covariance has the right shape and often factors, so only its
    // diagonal tells it from a correlation; the tolerance admits the last-bit
    // rounding of a computed correlation.
    for (std::size_t i = 0; i < in.correlation.size(); ++i) {
        const double d = in.correlation[i][i];
        if (!(std::fabs(d - 1.0) <= kCorrelationDiagonalTolerance))
            return "correlation_matrix diagonal at asset " + std::to_string(i) + " is " + fmt_shortest(d) +
                   ", not 1; pass a correlation matrix (for example np.corrcoef of the return series), not a "
                   "covariance";
    }
    // A NaN weight, correlation or start value makes every path NaN just the
    // same. Only the cells the factorisation reads are looked at.
    for (std::size_t i = 0; i < in.weights.size(); ++i)
        if (!std::isfinite(in.weights[i])) return "non-finite value at index " + std::to_string(i) + " of weights";
    for (std::size_t i = 0; i < in.correlation.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (!std::isfinite(in.correlation[i][j]))
                return "non-finite value at row " + std::to_string(i) + ", col " + std::to_string(j) +
                       " of correlation_matrix";
    if (!std::isfinite(in.initial_value)) return "initial_value must be finite, got " + fmt_shortest(in.initial_value);
    return std::nullopt;
}

std::optional<std::string> monte_carlo_input_problem(std::size_t assets, std::size_t weights,
                                                     const SeriesLengths& correlation, uint64_t n_simulations) {
    const std::size_t n = assets;
    if (n == 0) return std::string("returns must contain at least one asset series");
    if (weights != n)
        return "weights has " + std::to_string(weights) + " entries but returns has " + std::to_string(n) +
               " asset series; returns is a list of per-asset series, not an (n_obs, n_assets) matrix";
    bool square = correlation.count == n;
    for (std::size_t i = 0; square && i < n; ++i) square = correlation.length(i) == n;
    if (!square) {
        const std::string s = std::to_string(n);
        return "correlation_matrix must be " + s + "x" + s + " to match the " + s + " asset series";
    }
    // Every statistic reads at least one final value.
    if (n_simulations == 0) return std::string("n_simulations must be >= 1");
    return std::nullopt;
}

namespace {

// What every path reads, shared read-only by the chunks.
struct PathModel {
    std::size_t assets = 0;
    std::vector<double> drift;  // mu - sigma^2 / 2 per step of length 1
    std::vector<double> sigma;
    std::vector<double> weights;
    std::vector<double> chol;  // lower factor, row-major assets x assets
    double initial = 0.0;
    uint64_t horizon = 0;
};

// Population mean and standard deviation of each series; an empty series
// moves nothing (mu = sigma = 0), a flat one gets a floor volatility.
void estimate_drift_and_volatility(const MonteCarloInputs& in, PathModel& m) {
    m.drift.assign(m.assets, 0.0);
    m.sigma.assign(m.assets, 0.0);
    for (std::size_t i = 0; i < m.assets; ++i) {
        const Series<double>& r = in.returns[i];
        if (r.empty()) continue;
        const double count = static_cast<double>(r.size());
        double sum = -0.0;
        for (double x : r) sum += x;
        const double mu = sum / count;
        double sq = -0.0;
        for (double x : r) sq += (x - mu) * (x - mu);
        const double sigma = max_num(std::sqrt(sq / count), 1e-10);
        m.sigma[i] = sigma;
        // One step is one period, so the step length multiplies nothing.
        m.drift[i] = mu + sigma * sigma * (-0.5);
    }
}

// Lower Cholesky factor of the correlation as given: a matrix that is not
// positive definite is refused rather than repaired, since a repaired matrix
// would describe dependence the caller never supplied.
void factor_correlation(const MonteCarloInputs& in, PathModel& m) {
    const std::size_t n = m.assets;
    std::vector<double>& L = m.chol;
    L.assign(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j <= i; ++j) {
            double s = -0.0;
            for (std::size_t k = 0; k < j; ++k) s += L[i * n + k] * L[j * n + k];
            if (j < i) {
                const double pivot = L[j * n + j];
                if (std::fabs(pivot) < 1e-15)
                    throw RuleError("correlation matrix is singular (zero pivot at asset " + std::to_string(j) +
                                    "); assets " + std::to_string(i) + " and " + std::to_string(j) +
                                    " are perfectly collinear or a row is all zeros");
                L[i * n + j] = (in.correlation[i][j] - s) / pivot;
            } else {
                const double v = in.correlation[i][i] - s;
                if (v <= 0.0)
                    throw RuleError("correlation matrix is not positive definite (non-positive pivot " +
                                    fmt_fixed(v, 3) + " at asset " + std::to_string(i) +
                                    "); it cannot be decomposed, and simulating through a repaired version would "
                                    "report risk figures for a correlation structure you did not supply");
                L[i * n + i] = std::sqrt(v);
            }
        }
    }
}

// Scratch of one chunk, reused by every path it simulates. A path is drawn in
// blocks of steps; within a block, arrays are asset-major (asset i, step h at
// i * block + h) so that each stage below is one long loop over contiguous
// values.
struct PathWorkspace {
    explicit PathWorkspace(std::size_t assets)
        : block(std::clamp<std::size_t>(32768 / std::max<std::size_t>(assets, 1), 8, 256)),
          u1(assets * block),
          u2(assets * block),
          z(assets * block),
          acc(block),
          step_return(block) {}

    std::size_t block;
    std::vector<double> u1, u2, z, acc, step_return;
};

// Turns a block's uniforms into the portfolio's return at each of its `steps`
// steps: normals (Box-Muller, cosine branch), correlated shocks, asset growth
// factors, and their weighted sum. Built for each vector instruction set;
// every copy gives the same bits.
TIDEMARK_VECTOR_CLONES
void block_returns(const PathModel& m, PathWorkspace& ws, std::size_t steps) {
    const std::size_t n = m.assets;
    const std::size_t cells = n * steps;
    double* z = ws.z.data();
    const double* u1 = ws.u1.data();
    const double* u2 = ws.u2.data();
    for (std::size_t j = 0; j < cells; ++j) z[j] = std::sqrt(-2.0 * vmath::log_unit(u1[j])) * vmath::cos_two_pi(u2[j]);

    // c_i = sum over k <= i of L_ik z_k, summed in k order from 0.0. Row i
    // reads rows k <= i only, so going down from the last asset lets each row
    // overwrite its own shocks with its exponent.
    double* acc = ws.acc.data();
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t h = 0; h < steps; ++h) acc[h] = 0.0;
        for (std::size_t k = 0; k <= i; ++k) {
            const double lik = m.chol[i * n + k];
            const double* zk = z + k * steps;
            for (std::size_t h = 0; h < steps; ++h) acc[h] += lik * zk[h];
        }
        const double drift = m.drift[i], sigma = m.sigma[i];
        double* zi = z + i * steps;
        for (std::size_t h = 0; h < steps; ++h) zi[h] = drift + acc[h] * sigma;
    }

    double* growth = ws.u1.data();  // the uniforms are spent
    for (std::size_t j = 0; j < cells; ++j) growth[j] = vmath::exp_in_range(z[j]);
    for (std::size_t j = 0; j < cells; ++j)
        if (!(std::fabs(z[j]) <= vmath::kExpFastLimit)) growth[j] = std::exp(z[j]);

    double* ret = ws.step_return.data();
    for (std::size_t h = 0; h < steps; ++h) ret[h] = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = m.weights[i];
        const double* gi = growth + i * steps;
        for (std::size_t h = 0; h < steps; ++h) ret[h] += w * (gi[h] - 1.0);
    }
}

// One path from `rng`'s current state. Returns the final value and, when
// `record` is given, writes all horizon + 1 values there. Both passes over a
// path (finals first, then the few paths reported whole) run this one
// function, so a replayed path repeats its first run exactly.
double simulate_path(const PathModel& m, Xoshiro256& rng, PathWorkspace& ws, double* record) {
    const std::size_t n = m.assets;
    double v = m.initial;
    if (record) record[0] = v;
    uint64_t done = 0;
    while (done < m.horizon) {
        const std::size_t steps = static_cast<std::size_t>(std::min<uint64_t>(ws.block, m.horizon - done));
        // Draw order: step by step, two draws per asset in asset order.
        for (std::size_t h = 0; h < steps; ++h) {
            for (std::size_t i = 0; i < n; ++i) {
                ws.u1[i * steps + h] = std::max(rng.uniform(), 1e-15);
                ws.u2[i * steps + h] = rng.uniform();
            }
        }
        block_returns(m, ws, steps);
        for (std::size_t h = 0; h < steps; ++h) {
            v = v * (ws.step_return[h] + 1.0);
            if (record) record[done + h + 1] = v;
        }
        done += steps;
    }
    return v;
}

struct Chunk {
    Xoshiro256 rng;
    std::size_t first = 0;
    std::size_t last = 0;  // one past the chunk's last path
};

// Index of the q-quantile in a sorted run of n values: round half away from
// zero, never past the end.
std::size_t quantile_rank(std::size_t n, double q) {
    const double last = static_cast<double>(n - 1);
    const double k = std::round(last * q);
    return k >= last ? n - 1 : static_cast<std::size_t>(k);
}

// Ascending with NaN last: NaN has no place in a numeric order, and sorting
// it with `<` would break the sort's ordering contract.
void sort_finals(Series<double>& v) {
    auto numeric_end = std::partition(v.begin(), v.end(), [](double x) { return !std::isnan(x); });
    std::sort(v.begin(), numeric_end);
}

}  // namespace

MonteCarloResult simulate_portfolio(const MonteCarloInputs& in, std::size_t chunks) {
    if (monte_carlo_input_problem(in)) throw Fault("simulate_portfolio called with unchecked inputs");
    PathModel m;
    m.assets = in.returns.size();
    m.weights.assign(in.weights.begin(), in.weights.end());
    m.initial = in.initial_value;
    m.horizon = in.horizon;
    estimate_drift_and_volatility(in, m);
    factor_correlation(in, m);

    // All storage first, so that a request too large to hold fails before
    // any work: finals in path order, each path's starting state (to replay
    // the reported paths instead of keeping every path), and the result.
    // Counts beyond what can be addressed are memory that cannot be had too.
    if (in.n_simulations > Series<Xoshiro256>().max_size() || in.horizon >= Series<double>().max_size())
        throw std::bad_alloc();
    const std::size_t n = in.n_simulations;
    const std::size_t path_length = static_cast<std::size_t>(in.horizon) + 1;
    MonteCarloResult out;
    Series<double> finals(n);
    Series<Xoshiro256> starts(n);
    out.final_values.resize(n);
    for (std::size_t p = 0; p < out.percentile_paths.size(); ++p) {
        out.percentile_paths[p].percentile = kMonteCarloPercentiles[p];
        out.percentile_paths[p].path.resize(path_length);
    }

    const std::size_t w = std::max<std::size_t>(chunks, 1);
    const std::size_t per_chunk = n / w + (n % w != 0 ? 1 : 0);
    std::vector<Chunk> work(w);
    Xoshiro256 stream = Xoshiro256::from_seed(in.seed);
    for (std::size_t c = 0; c < w; ++c) {
        if (c > 0) stream.jump();
        work[c].rng = stream;
        work[c].first = std::min(n, c * per_chunk);
        work[c].last = std::min(n, work[c].first + per_chunk);
    }
    std::span<double> finals_view(finals);
    std::span<Xoshiro256> starts_view(starts.data(), starts.size());
    parallel_map(work, [&](Chunk& chunk) {
        PathWorkspace ws(m.assets);
        for (std::size_t p = chunk.first; p < chunk.last; ++p) {
            starts_view[p] = chunk.rng;
            finals_view[p] = simulate_path(m, chunk.rng, ws, nullptr);
        }
        return chunk.last - chunk.first;
    });

    std::copy(finals.begin(), finals.end(), out.final_values.begin());
    sort_finals(out.final_values);
    const Series<double>& sorted = out.final_values;

    PathWorkspace ws(m.assets);
    for (PercentilePath& pp : out.percentile_paths) {
        const double target = sorted[quantile_rank(n, pp.percentile / 100.0)];
        // The earliest path nearest the target.
        std::size_t best = 0;
        double best_distance = std::fabs(finals[0] - target);
        for (std::size_t p = 1; p < n; ++p) {
            const double d = std::fabs(finals[p] - target);
            if (d < best_distance) {
                best = p;
                best_distance = d;
            }
        }
        Xoshiro256 rng = starts[best];
        simulate_path(m, rng, ws, pp.path.data());
    }

    const double count = static_cast<double>(n);
    double total = -0.0;
    for (double f : sorted) total += f;
    out.expected_return = (total / count / in.initial_value - 1.0) * 100.0;
    std::size_t losses = 0;
    for (double f : finals) losses += f < in.initial_value ? 1 : 0;
    out.probability_of_loss = static_cast<double>(losses) / count;
    const std::size_t k5 = quantile_rank(n, 0.05);
    out.var_95 = max_num(0.0, (in.initial_value - sorted[k5]) / in.initial_value * 100.0);
    double tail = -0.0;
    for (std::size_t i = 0; i <= k5; ++i) tail += sorted[i];
    const double tail_mean = tail / static_cast<double>(k5 + 1);
    out.cvar_95 = max_num(0.0, (in.initial_value - tail_mean) / in.initial_value * 100.0);
    return out;
}

}  // namespace tidemark
