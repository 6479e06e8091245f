// Splits one book optimisation into the time inside Clarabel and the time
// around it in the engine (validation, the problem's matrices, snapping, the
// post-snap checks, the result), for 50, 200 and 500 assets in 10 sectors, in
// both modes. The books are the ones bench_optimiser.py builds from the same
// hash-generated returns, so the Python call times it prints less the solver
// times here are the boundary's share. As a baseline from the same process,
// the time to copy the covariance once. Run by hand (build with
// -DTIDEMARK_BUILD_BENCH=ON).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "analytics/optimize.h"

using namespace tidemark;

namespace {

constexpr int kRepeats = 7;

// The generator both benchmarks share: the SplitMix64 output of a key, as a
// uniform on [0, 1).
double uniform(uint64_t key) {
    uint64_t z = key + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

// One market factor and an idiosyncratic part per asset, 1.5 n days.
RiskModel make_model(std::size_t n) {
    const std::size_t t_obs = n + n / 2;
    Series<double> returns(t_obs * n);
    for (std::size_t t = 0; t < t_obs; ++t) {
        const double f = 2.0 * uniform(t) - 1.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double beta = 0.5 + static_cast<double>(i % 10) * 0.1;
            const double e = 2.0 * uniform(1000000 + t * n + i) - 1.0;
            returns[t * n + i] = 0.01 * (beta * f + e);
        }
    }
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < n; ++i) ids.push_back(std::string("A").append(std::to_string(i)));
    auto model = estimate_covariance(std::move(returns), t_obs, n, std::move(ids), 252.0);
    if (!model) {
        std::fprintf(stderr, "estimate_covariance: %s\n", model.error().message().c_str());
        std::exit(1);
    }
    return std::move(model.value());
}

std::vector<double> make_alpha(std::size_t n) {
    std::vector<double> a(n);
    for (std::size_t i = 0; i < n; ++i) a[i] = 0.0005 * (2.0 * uniform(2000000 + i) - 1.0);
    return a;
}

OptimizerConfig make_config(std::size_t n, bool long_short) {
    OptimizerConfig c;
    c.risk_aversion = 5.0;
    c.turnover_penalty = 0.0005;
    c.position_cap = std::max(0.05, 2.0 / static_cast<double>(n));
    for (std::size_t i = 0; i < n; ++i) c.sector_ids.push_back(i % 10);
    c.sector_caps.assign(10, 0.25);
    c.cash_max = 0.02;
    if (long_short) {
        c.short_cap = 0.05;
        c.gross_max = 1.6;
        c.net_min = -0.1;
        c.net_max = 0.1;
        c.sector_caps.assign(10, 0.3);
    }
    return c;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    std::printf("%6s %-10s %6s %11s %11s %11s %9s %11s\n", "assets", "mode", "iters", "total ms", "solver ms",
                "outside ms", "outside", "copy cov ms");
    for (std::size_t n : {50u, 200u, 500u}) {
        const RiskModel model = make_model(n);
        const std::vector<double> alpha = make_alpha(n);
        const std::vector<double> held(n, 1.0 / static_cast<double>(n));
        for (bool ls : {false, true}) {
            const OptimizerConfig config = make_config(n, ls);
            std::vector<double> total, solver, copy;
            uint32_t iterations = 0;
            for (int r = 0; r < kRepeats; ++r) {
                auto t0 = std::chrono::steady_clock::now();
                Series<double> cov_copy(model.cov);
                copy.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
                OptimizeTimings timings;
                t0 = std::chrono::steady_clock::now();
                auto out = optimize_book(model, alpha, held, config, &timings);
                total.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
                solver.push_back(timings.solver_seconds * 1e3);
                if (!out) {
                    std::fprintf(stderr, "optimize_book: %s\n", out.error().message().c_str());
                    return 1;
                }
                iterations = out.value().iterations;
                (void)cov_copy;
            }
            // Outside share from matched runs: each run's total less its own
            // solver time.
            std::vector<double> outside(total.size());
            for (std::size_t k = 0; k < total.size(); ++k) outside[k] = total[k] - solver[k];
            const double t = median(total), s = median(solver), o = median(outside);
            std::printf("%6zu %-10s %6u %11.3f %11.3f %11.3f %8.2f%% %11.4f\n", n, ls ? "long/short" : "long-only",
                        iterations, t, s, o, 100.0 * o / t, median(copy));
        }
    }
    return 0;
}
