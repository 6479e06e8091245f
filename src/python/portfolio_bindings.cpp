// Portfolio analytics: risk model, optimiser, factor panels, rank IC,
// rebalance simulation and Monte Carlo.
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "core/parallel.h"
#include "portfolio/monte_carlo.h"
#include "python/registry.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// Risk model, risk contributions, factor panels, rank IC, rebalance costs
// ---------------------------------------------------------------------------

void export_risk_and_factors(Exports&) {}

// ---------------------------------------------------------------------------
// Book optimiser, its batch, and Monte Carlo
// ---------------------------------------------------------------------------

// A new list of floats.
PyRef float_list(const std::vector<double>& values) {
    PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(values[i]));
    return list;
}

constexpr Param kMonteCarloParams[] = {
    {"returns"}, {"weights"}, {"correlation_matrix"}, {"initial_value"}, {"n_simulations", "10000"},
    {"horizon_days", "252"}, {"seed", "42"},
};
const Sig kMonteCarlo{nullptr, "simulate_portfolio_mc", kMonteCarloParams};

// The shapes are checked with the lock held; estimation, the Cholesky factor,
// the paths and the statistics all run without it, and the dict is built
// once it is taken back.
PyRef simulate_portfolio_mc(Seq<Series<double>> returns, Series<double> weights,
                            Seq<Series<double>> correlation_matrix, double initial_value, uint64_t n_simulations,
                            uint64_t horizon_days, uint64_t seed) {
    MonteCarloInputs in;
    in.returns = std::move(returns.items);
    in.weights = std::move(weights);
    in.correlation = std::move(correlation_matrix.items);
    in.initial_value = initial_value;
    in.n_simulations = n_simulations;
    in.horizon = horizon_days;
    in.seed = seed;
    if (std::optional<std::string> problem = monte_carlo_input_problem(in)) throw RuleError(*problem);

    MonteCarloResult r;
    try {
        AllowThreads unlocked;
        r = simulate_portfolio(in, pool_thread_count());
    } catch (const std::bad_alloc&) {
        raise(PyExc_MemoryError, "not enough memory for " + std::to_string(n_simulations) + " paths of " +
                                     std::to_string(horizon_days) + " steps");
    } catch (const std::length_error&) {
        raise(PyExc_MemoryError, "not enough memory for " + std::to_string(n_simulations) + " paths of " +
                                     std::to_string(horizon_days) + " steps");
    }

    PyRef paths = PyRef::check(PyList_New(static_cast<Py_ssize_t>(r.percentile_paths.size())));
    for (std::size_t i = 0; i < r.percentile_paths.size(); ++i) {
        PercentilePath& pp = r.percentile_paths[i];
        PyObject* pair = to_py(std::tuple<double, PyRef>{pp.percentile, float_list(pp.path)});
        PyList_SET_ITEM(paths.get(), static_cast<Py_ssize_t>(i), pair);
    }
    PyRef dict = PyRef::check(PyDict_New());
    dict_set(dict.get(), "percentile_paths", std::move(paths));
    dict_set(dict.get(), "final_values", std::move(r.final_values));
    dict_set(dict.get(), "expected_return", r.expected_return);
    dict_set(dict.get(), "probability_of_loss", r.probability_of_loss);
    dict_set(dict.get(), "var_95", r.var_95);
    dict_set(dict.get(), "cvar_95", r.cvar_95);
    return dict;
}

void export_optimiser(Exports& ex) {
    ex.add_function(function_def<kMonteCarlo, &simulate_portfolio_mc>(
        "Run Monte Carlo forward simulation for a portfolio.\n\n"
        "Each asset follows geometric Brownian motion with the per-period drift and\n"
        "volatility (population) of its return series, driven by normal shocks\n"
        "correlated through the Cholesky factor of `correlation_matrix`; the portfolio\n"
        "compounds the weighted asset returns of every step. Paths run in parallel on\n"
        "the worker pool, one random stream per thread, so a seed reproduces its\n"
        "result on a pool of the same size.\n\n"
        "Args:\n"
        "    returns: one 1-D float64 array of per-period returns per asset (a 2-D\n"
        "        array is read as its rows); an empty series holds its asset still.\n"
        "    weights: float64 array, one weight per asset, used as given.\n"
        "    correlation_matrix: n_assets rows of n_assets floats; the lower\n"
        "        triangle and the diagonal are read. It is not repaired: a matrix\n"
        "        that is not positive definite raises ValueError.\n"
        "    initial_value: the portfolio's value at the start of every path.\n"
        "    n_simulations: number of paths, at least 1 (default 10000).\n"
        "    horizon_days: steps per path, one period each (default 252).\n"
        "    seed: seed of the random streams (default 42).\n\n"
        "Returns a dict: \"percentile_paths\" (five (p, path) tuples for p = 5, 25,\n"
        "50, 75, 95, each the path ending nearest that percentile of the final\n"
        "values), \"final_values\" (sorted array), \"expected_return\" (percent),\n"
        "\"probability_of_loss\" (fraction), \"var_95\" and \"cvar_95\" (percent)."));
}

}  // namespace

void export_portfolio(Exports& ex) {
    export_risk_and_factors(ex);
    export_optimiser(ex);
}

}  // namespace tidemark::py
