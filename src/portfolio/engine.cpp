#include "portfolio/engine.h"

#include "core/errors.h"
#include "indicators/volatility.h"
#include "metrics/metrics.h"
#include "signals/processor.h"

namespace tidemark {

EngineParams engine_params_for(const BacktestConfig& cfg) {
    EngineParams params;
    params.config = cfg;
    params.fee_model = fee_model_from_config(cfg);
    params.slippage =
        (cfg.slippage > 0 && cfg.apply_slippage) ? SlippageModel::fraction(cfg.slippage) : SlippageModel::none();
    params.price_basis =
        cfg.resolved_fill_timing() == FillTiming::SameBarClose ? price_basis::Close : price_basis::Open;
    return params;
}

SingleKernel::SingleKernel(const BacktestConfig& cfg, FeeModel fee_model, SlippageModel slippage, uint8_t basis,
                           std::string symbol, int8_t direction, const InstrumentConfig* ic)
    : kernel(cfg, fee_model, slippage, basis, std::move(symbol), direction, ic), config(cfg) {
    // A configured 0 means no limit, as does a drawdown limit that is not
    // positive (or NaN).
    if (cfg.max_positions && *cfg.max_positions != 0) kernel.max_positions = cfg.max_positions;
    if (cfg.max_drawdown_pct && *cfg.max_drawdown_pct > 0) kernel.max_drawdown_pct = cfg.max_drawdown_pct;
    kernel.drawdown_halt = false;
    peak_equity = cfg.initial_capital;
}

void SingleKernel::reserve(std::size_t n) {
    equity_curve.reserve(n);
    drawdown_curve.reserve(n);
    returns.reserve(n);
    if (keep_timestamps) timestamps.reserve(n);
}

void SingleKernel::step(uint64_t index, const Bar& bar, const StepIntents& intents,
                        std::vector<EngineEventRecord>& out) {
    const std::size_t first = out.size();
    kernel.step_bar(index, bar, intents, false, out);
    for (std::size_t i = first; i < out.size(); ++i)
        if (out[i].kind == EngineEventRecord::Exited) trades.push_back(*out[i].trade);

    const double equity = kernel.equity(bar.close);
    const bool has_prev = !equity_curve.empty();
    const double prev = has_prev ? equity_curve.back() : 0.0;
    equity_curve.push_back(equity);
    if (equity > peak_equity) peak_equity = equity;
    const double dd = (peak_equity - equity) / peak_equity * 100.0;
    drawdown_curve.push_back(dd);
    if (peak_equity > 0 && !kernel.drawdown_halt && kernel.max_drawdown_pct && dd >= *kernel.max_drawdown_pct)
        kernel.drawdown_halt = true;
    returns.push_back(has_prev && prev != 0.0 ? (equity - prev) / prev : 0.0);
    if (keep_timestamps) timestamps.push_back(bar.ts);
    last_bar.emplace(index, bar);
}

EngineResult SingleKernel::finish() && {
    Series<int64_t> ts = std::move(timestamps);
    return std::move(*this).finish(ts);
}

EngineResult SingleKernel::finish(std::span<const int64_t> bar_timestamps) && {
    if (!kernel.ledger.flat() && last_bar) {
        auto closed = kernel.force_close_all(last_bar->first, last_bar->second.ts, last_bar->second.close);
        for (Trade& t : closed) trades.push_back(std::move(t));
    }
    EngineResult r;
    r.metrics = compute_metrics(equity_curve, drawdown_curve, returns, trades, bar_timestamps, config);
    r.equity_curve = std::move(equity_curve);
    r.drawdown_curve = std::move(drawdown_curve);
    r.trades = std::move(trades);
    r.returns = std::move(returns);
    return r;
}

EngineResult run_backtest_loop(const EngineParams& params, const BarArrays& bars, const SignalArrays& signals,
                               const InstrumentConfig* ic) {
    const std::size_t n = bars.close.size();
    if (n != signals.entries.size()) fail_assert_eq("OHLCV and signals must have same length", n, signals.entries.size());
    const ProcessedSignals sig = process_signals(signals.entries, signals.exits);

    SingleKernel sk(params.config, params.fee_model, params.slippage, params.price_basis, signals.symbol,
                    signals.direction, ic);

    Series<double> atr;
    if (auto period = atr_period_for(effective_stop(params.config, ic), effective_target(params.config, ic))) {
        SeriesResult res = compute_atr(bars.high, bars.low, bars.close, *period);
        if (res) atr = std::move(res.value());
    }

    // A column shorter than `close` stops the run where it runs out, as a
    // bounds failure naming the first column read at that index.
    std::size_t usable = n;
    const std::size_t lens[] = {bars.timestamps.size(), bars.open.size(), bars.high.size(), bars.low.size(),
                                n, bars.volume.size(),
                                signals.position_sizes ? signals.position_sizes->size() : n};
    for (std::size_t len : lens) usable = std::min(usable, len);

    // The run's timestamps are the bar column itself; no second copy.
    sk.keep_timestamps = false;
    sk.reserve(n);
    std::vector<EngineEventRecord> events;
    StepIntents in;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == usable) {
            for (std::size_t len : lens)
                if (len == usable) fail_index(len, i);
        }
        const Bar bar{bars.timestamps[i], bars.open[i], bars.high[i], bars.low[i], bars.close[i], bars.volume[i]};
        in.size = signals.position_sizes ? std::optional<double>((*signals.position_sizes)[i]) : std::nullopt;
        in.atr = i < atr.size() ? atr[i] : 0.0;
        in.entry = sig.entry_signals[i] != 0;
        in.exit = sig.exit_signals[i] != 0;
        events.clear();
        sk.step(i, bar, in, events);
    }
    return std::move(sk).finish(bars.timestamps.first(n));
}

}  // namespace tidemark
