// Monte Carlo simulation of a fixed-weight portfolio's value: per-asset drift
// and volatility from historical returns, correlated normal shocks through the
// Cholesky factor of a given correlation, geometric Brownian motion per asset,
// and the portfolio compounding the weighted asset returns of every step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "core/types.h"

namespace tidemark {

// xoshiro256**: four words of state, one stream per chunk of paths.
struct Xoshiro256 {
    uint64_t s[4] = {0, 0, 0, 0};

    // The four words made from a seed by repeated SplitMix64 rounds, each
    // round continuing from the mixed value before its final xor-shift.
    static Xoshiro256 from_seed(uint64_t seed);

    uint64_t next() {
        const uint64_t out = rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return out;
    }
    // A uniform on [0, 1) from the top 53 bits of one draw.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Advances the state by 2^128 draws (the generator's published jump).
    void jump();

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

struct MonteCarloInputs {
    std::vector<Series<double>> returns;      // one per-period series per asset
    Series<double> weights;                   // one per asset, used as given
    std::vector<Series<double>> correlation;  // rows; the lower triangle is read
    double initial_value = 0.0;
    uint64_t n_simulations = 0;
    uint64_t horizon = 0;
    uint64_t seed = 0;
};

// How far a correlation's diagonal entry may lie from 1.
inline constexpr double kCorrelationDiagonalTolerance = 1e-9;

// The message of the first input the simulation cannot run with, or nothing:
// the sizes below first, then a non-finite return (series, then index), a
// correlation diagonal entry further than the tolerance from 1, a non-finite
// weight, a non-finite correlation cell below the diagonal (row by row) and a
// non-finite initial value.
std::optional<std::string> monte_carlo_input_problem(const MonteCarloInputs& in);

// The size checks alone (`assets` return series, `weights` weights, the
// correlation rows), for a caller that checks them before it copies.
std::optional<std::string> monte_carlo_input_problem(std::size_t assets, std::size_t weights,
                                                     const SeriesLengths& correlation, uint64_t n_simulations);

struct PercentilePath {
    double percentile = 0.0;
    Series<double> path;  // horizon + 1 values, the first the initial value
};

inline constexpr std::array<double, 5> kMonteCarloPercentiles = {5.0, 25.0, 50.0, 75.0, 95.0};

struct MonteCarloResult {
    std::array<PercentilePath, 5> percentile_paths;
    Series<double> final_values;  // ascending, NaN last
    double expected_return = 0.0;      // percent
    double probability_of_loss = 0.0;  // fraction of paths ending below the start
    double var_95 = 0.0;               // percent, >= 0
    double cvar_95 = 0.0;              // percent, >= 0
};

// Runs the simulation with its paths split into `chunks` chunks of
// ceil(n / chunks) paths, chunk c drawing from the seeded stream jumped c
// times. The chunks run on the worker pool; the result depends on the chunk
// count but not on the threads or their scheduling. Inputs must have passed
// monte_carlo_input_problem. A correlation that cannot be factored is a
// RuleError; storage too large to hold is std::bad_alloc, thrown before any
// path is simulated.
MonteCarloResult simulate_portfolio(const MonteCarloInputs& in, std::size_t chunks);

}  // namespace tidemark
