// Multi-leg option spreads valued by premium: all legs open together on an
// entry signal, are marked to their premium series every bar, settle one by
// one at their own expiry, and close together on an exit signal, the intraday
// squareoff, a loss or profit limit, or when every leg has settled. Strikes
// and rights travel with the legs but take no part in the arithmetic.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/fees.h"
#include "core/types.h"
#include "portfolio/results.h"

namespace tidemark {

// One leg as the caller describes it: option type text ("CE", "put", ...),
// strike, signed quantity in lots (negative for a written leg) and lot size.
struct LegConfig {
    std::string option_type;
    double strike = 0.0;
    int32_t quantity = 0;
    uint64_t lot_size = 0;
};

struct SpreadLeg {
    double strike = 0.0;
    uint64_t lot_size = 0;
    int32_t quantity = 0;
    OptionRight right = OptionRight::Call;
};

// "C", "CE", "CALL" and "P", "PE", "PUT" in any letter case; nothing else.
std::optional<OptionRight> parse_option_right(std::string_view text);

// Which of the two texts an unknown option type is reported with.
enum class LegMessage : uint8_t { Single, Batch };

// Converts the legs in order; the first unknown option type throws RuleError.
std::vector<SpreadLeg> spread_legs_from_configs(std::span<const LegConfig> configs, LegMessage style);

struct SpreadParams {
    BacktestConfig config;
    std::optional<double> max_loss;
    std::optional<double> target_profit;
    std::vector<SpreadLeg> legs;
    // One expiry per leg, matched by position.
    std::optional<std::vector<int64_t>> leg_expiries;
    std::string spread_type;  // the caller's label; no effect on the run
    FeeModel fee_model;
};

// One premium series per leg.
using PremiumSeries = std::vector<Series<double>>;

// The per-bar arrays of one run besides the shared timestamps.
struct SpreadArrays {
    PremiumSeries premiums;
    std::optional<PremiumSeries> open_premiums;  // used in next-bar mode only
    BoolVec entries;
    BoolVec exits;
};

// Why the arrays of a run do not fit its legs and its `n` bars, or nothing
// when they do: every leg has a premium series of n values (and an opening
// series of n values when those are given), the signals have n values, and
// there is one expiry per leg when expiries are given.
std::optional<std::string> spread_shape_problem(const SpreadParams& params, std::size_t n,
                                                const SpreadArrays& arrays);

// The same from the lengths alone, for a caller that checks before it
// copies the series.
std::optional<std::string> spread_shape_problem(const SpreadParams& params, std::size_t n,
                                                const SeriesLengths& premiums,
                                                const std::optional<SeriesLengths>& open_premiums,
                                                std::size_t entries, std::size_t exits);

// Why the opening premiums do not mirror the premiums (as many series, each
// as long as the premium series at its position), or nothing when they do.
std::optional<std::string> open_premiums_mirror_problem(const SeriesLengths& premiums,
                                                        const SeriesLengths& open_premiums);

// One run. Arrays that do not fit (see spread_shape_problem) give the flat
// result of a run that never trades instead of a simulation. Reads nothing
// but its arguments, so any number of runs may proceed at once.
EngineResult run_spread_strategy(const SpreadParams& params, std::span<const int64_t> timestamps,
                                 const SpreadArrays& arrays);

// One strategy of a batch. The arrays are shared, never changed after they
// are made, so that handing an item to the batch copies no series.
struct SpreadItem {
    SpreadParams params;
    std::shared_ptr<const SpreadArrays> arrays;
};

// Runs every item over the shared timestamps on the worker pool; results in
// item order, each equal to run_spread_strategy of that item alone. Each item
// builds its fee model from its own configuration copy.
std::vector<EngineResult> run_spread_batch(std::span<SpreadItem> items, std::span<const int64_t> timestamps);

}  // namespace tidemark
