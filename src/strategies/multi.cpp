#include "strategies/multi.h"

#include <vector>

#include "core/errors.h"
#include "signals/synchronizer.h"
#include "strategies/own_stats.h"

namespace tidemark {

CombineMode parse_combine_mode(std::string_view text) {
    if (text == "all") return CombineMode::All;
    if (text == "majority") return CombineMode::Majority;
    if (text == "weighted") return CombineMode::Weighted;
    if (text == "independent") return CombineMode::Independent;
    return CombineMode::Any;
}

namespace {

SignalArrays signal_arrays(const StrategySignals& s) {
    SignalArrays a;
    a.symbol = s.name;
    a.entries = s.entries;
    a.exits = s.exits;
    a.weight = s.weight;
    a.direction = s.direction;
    return a;
}

// One engine run on the merged signals. An exit of any strategy is an exit of
// the merged set in every mode; the entry needs one strategy (Any), all of
// them (All), or more than half (Majority, and Weighted, which counts every
// strategy as one vote whatever its weight). The run takes the first
// strategy's name and direction.
EngineResult run_combined(const BacktestConfig& cfg, const BarArrays& bars,
                          std::span<const StrategySignals> strategies, CombineMode mode) {
    const std::size_t n = bars.close.size();
    std::vector<std::span<const uint8_t>> entries, exits;
    entries.reserve(strategies.size());
    exits.reserve(strategies.size());
    for (const StrategySignals& s : strategies) {
        entries.emplace_back(s.entries);
        exits.emplace_back(s.exits);
    }
    const auto count = static_cast<uint32_t>(strategies.size());
    const uint32_t quorum = mode == CombineMode::Any ? 1 : mode == CombineMode::All ? count : count / 2 + 1;

    const BoolVec merged_entries = flags_at_least(entries, n, quorum);
    const BoolVec merged_exits = flags_at_least(exits, n, 1);
    StrategySignals merged;
    merged.name = strategies.front().name;
    merged.direction = strategies.front().direction;
    merged.entries = merged_entries;
    merged.exits = merged_exits;
    return run_backtest_loop(engine_params_for(cfg), bars, signal_arrays(merged), nullptr);
}

// One engine run per strategy on an equal share of the capital; the curves
// are summed and the statistics recomputed from the sum and the trades.
EngineResult run_independent(const BacktestConfig& cfg, const BarArrays& bars,
                             std::span<const StrategySignals> strategies) {
    const std::size_t n = bars.close.size();
    BacktestConfig share_cfg = cfg;
    share_cfg.initial_capital = cfg.initial_capital / static_cast<double>(strategies.size());
    const EngineParams params = engine_params_for(share_cfg);

    BarCurves curves(n, 0.0);  // equity starts at 0.0 and takes each run in strategy order
    TradeList trades;
    for (std::size_t k = 0; k < strategies.size(); ++k) {
        EngineResult run = run_backtest_loop(params, bars, signal_arrays(strategies[k]), nullptr);
        for (std::size_t t = 0; t < n; ++t) curves.equity[t] += run.equity_curve[t];
        const std::string symbol = strategies[k].name + "_" + std::to_string(k);
        for (Trade& tr : run.trades) {
            tr.symbol = symbol;
            trades.push_back(std::move(tr));
        }
    }
    // Without bars the summed curve has no first point to measure from.
    if (n == 0) return empty_run_result(cfg);

    curves.peak = curves.equity[0];
    for (std::size_t t = 0; t < n; ++t) curves.mark(t, curves.equity[t]);

    OwnStatsRecipe recipe;
    recipe.welford_mean = true;
    return own_loop_result(cfg, std::move(curves), std::move(trades), bars.timestamps, recipe);
}

}  // namespace

EngineResult run_multi_strategy(const BacktestConfig& cfg, const BarArrays& bars,
                                std::span<const StrategySignals> strategies, CombineMode mode) {
    if (strategies.empty()) return empty_run_result(cfg);
    const std::size_t n = bars.close.size();
    for (const StrategySignals& s : strategies)
        if (s.entries.size() != n) fail_assert_eq("All strategies must have same length as OHLCV", s.entries.size(), n);
    if (mode == CombineMode::Independent) return run_independent(cfg, bars, strategies);
    return run_combined(cfg, bars, strategies, mode);
}

}  // namespace tidemark
