// A complete single-instrument run: one kernel stepped bar by bar with its
// equity, drawdown and return series, closed trades and final metrics.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "execution/kernel.h"
#include "metrics/metrics.h"
#include "portfolio/results.h"

namespace tidemark {

struct EngineParams {
    BacktestConfig config;
    SlippageModel slippage;
    FeeModel fee_model;
    uint8_t price_basis = price_basis::Close;
};

// What a single-instrument run takes from its configuration: its fee model,
// fractional slippage when slippage is on and positive, and fills at the close
// under same-bar-close timing, else at the open.
EngineParams engine_params_for(const BacktestConfig& config);

// Borrowed bar columns; the run length is the length of `close`.
struct BarArrays {
    std::span<const int64_t> timestamps;
    std::span<const double> open;
    std::span<const double> high;
    std::span<const double> low;
    std::span<const double> close;
    std::span<const double> volume;
};

struct SignalArrays {
    std::string symbol;
    std::span<const uint8_t> entries;
    std::span<const uint8_t> exits;
    std::optional<std::span<const double>> position_sizes;
    double weight = 1.0;  // carried for callers; no step reads it
    int8_t direction = 1;
};

class SingleKernel {
public:
    SingleKernel(const BacktestConfig& config, FeeModel fee_model, SlippageModel slippage, uint8_t price_basis,
                 std::string symbol, int8_t direction, const InstrumentConfig* instrument_config);

    // Runs one bar. Events of the step are appended to `out`; closed trades
    // are kept. For a caller that drops the events (`events_dropped`) the
    // trades are built where they are kept and no entry or exit records are
    // made.
    void step(uint64_t index, const Bar& bar, const StepIntents& intents, std::vector<EngineEventRecord>& out,
              bool events_dropped = false);
    // The step of a bar the kernel's plain_step can take, marked; false,
    // with nothing done, where it cannot. The trades are kept, no records
    // are made, and `last_bar` is left to the caller.
    bool plain_step(uint64_t index, int64_t ts, double close, const StepIntents& intents);
    // Force-closes what is open at the last bar and computes the metrics.
    EngineResult finish() &&;
    // The same, for a caller that keeps the bar timestamps itself and has
    // turned `keep_timestamps` off.
    EngineResult finish(std::span<const int64_t> bar_timestamps) &&;

    void reserve(std::size_t n);

    // Marks the step just taken: equity at the bar's close (with the peak,
    // the drawdown and the drawdown halt), return and timestamp. Inlined into
    // the step, its only caller, which runs at every entry and exit.
    [[gnu::always_inline]] inline void mark(double equity, int64_t ts);
    // The same for steps in a row, one equity and timestamp each.
    void mark_many(std::span<const double> equity, std::span<const int64_t> ts);
    // The same for the last `n` steps, whose equities the caller has already
    // appended to `equity_curve`.
    void mark_appended(std::size_t n, std::span<const int64_t> ts);

    ExecutionKernel kernel;
    BacktestConfig config;
    std::optional<std::pair<uint64_t, Bar>> last_bar;
    Series<double> equity_curve;
    Series<double> drawdown_curve;
    Series<double> returns;
    Series<int64_t> timestamps;
    bool keep_timestamps = true;
    TradeList trades;
    double peak_equity = 0.0;
    // What the metrics need of the curves, kept as they are made.
    CurveSummary summary;
};

// The checks of a run that the arrays' lengths decide, made before it reads
// any (faults): the entries against the bar count (the length of `close`),
// then the exits against the entries.
void check_run_lengths(std::size_t bars, std::size_t entries, std::size_t exits);

EngineResult run_backtest_loop(const EngineParams& params, const BarArrays& bars, const SignalArrays& signals,
                               const InstrumentConfig* instrument_config);

}  // namespace tidemark
