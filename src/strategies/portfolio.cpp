#include "strategies/portfolio.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/errors.h"
#include "execution/kernel.h"
#include "indicators/volatility.h"
#include "metrics/metrics.h"
#include "portfolio/engine.h"
#include "strategies/own_stats.h"

namespace tidemark {

AllocationMode parse_allocation(std::string_view text) {
    if (text == "equal_weight") return AllocationMode::EqualWeight;
    if (text == "full") return AllocationMode::Full;
    throw RuleError("unknown allocation '" + std::string(text) + "'; expected 'equal_weight' or 'full'");
}

namespace {

// One instrument's kernel and what the runner keeps beside it.
struct Slot {
    ExecutionKernel kernel;
    ProcessedSignals signals;
    Series<double> atr;  // empty when no ATR model applies: every bar reads 0
    const InstrumentData* data;
    InstrumentSummary summary;

    double atr_at(std::size_t t) const { return t < atr.size() ? atr[t] : 0.0; }
    bool holding() const { return !kernel.ledger.flat(); }
};

Series<double> atr_series(const BacktestConfig& cfg, const InstrumentData& ins, const InstrumentConfig* ic) {
    const auto period = atr_period_for(effective_stop(cfg, ic), effective_target(cfg, ic));
    if (!period) return {};
    SeriesResult res = compute_atr(ins.high, ins.low, ins.close, *period);
    // A period the ATR cannot use (0) or columns it cannot read leave the run
    // without ATR levels rather than failing it.
    if (!res) return {};
    return std::move(res.value());
}

class Portfolio {
public:
    TradeList trades;
    BarCurves curves;
    double pool;
    uint64_t rejected_total = 0;
    bool halted = false;
    std::optional<uint64_t> halted_at;

    Portfolio(const BacktestConfig& cfg, std::span<const InstrumentData> instruments, AllocationMode allocation,
              const InstrumentConfigs& configs, std::size_t n)
        : curves(n, cfg.initial_capital, true), pool(cfg.initial_capital), allocation_(allocation), n_(n) {
        const EngineParams params = engine_params_for(cfg);
        // A kernel that defers its entry to the next bar's open while flat
        // would not be stepped again until the instrument's next entry signal,
        // losing the entry. Under next-bar fills the runner shifts the signals
        // itself and lets the kernels fill at the open of the bar they are
        // stepped on, so the entry is gated and budgeted on the bar it fills.
        next_bar_ = cfg.resolved_fill_timing() == FillTiming::NextBarOpen;
        BacktestConfig kernel_cfg = cfg;
        if (next_bar_) kernel_cfg.fill_timing = FillTiming::SameBarOpenLookahead;

        slots_.reserve(instruments.size());
        for (const InstrumentData& ins : instruments) {
            const InstrumentConfig* ic = configs.find(ins.symbol);
            Slot s{ExecutionKernel(kernel_cfg, params.fee_model, params.slippage, params.price_basis, ins.symbol,
                                   ins.direction, ic),
                   {},
                   atr_series(cfg, ins, ic),
                   &ins,
                   {}};
            s.kernel.cash = 0.0;  // kernels hold money only during a step
            s.summary.symbol = ins.symbol;
            slots_.push_back(std::move(s));
        }
        if (cfg.max_positions && *cfg.max_positions != 0) max_positions_ = *cfg.max_positions;
        if (cfg.max_drawdown_pct && *cfg.max_drawdown_pct > 0) max_drawdown_pct_ = *cfg.max_drawdown_pct;
        dust_ = kDustFraction * cfg.initial_capital;
    }

    // The last checks before the first bar: each instrument's signals
    // against the bar count, in instrument order.
    void process_signals() {
        for (Slot& s : slots_) {
            const InstrumentData& ins = *s.data;
            if (ins.entries.size() != n_) fail_assert_eq("signals must match OHLCV length", ins.entries.size(), n_);
            s.signals = own_loop_signals(ins.entries, ins.exits, next_bar_);
        }
    }

    void run() {
        events_.reserve(8);
        for (std::size_t t = 0; t < n_; ++t) {
            manage_open(t);
            std::size_t open = 0;
            for (const Slot& s : slots_) open += s.holding();
            enter(t, open);
            mark(t);
        }
        finish();
    }

    std::vector<InstrumentSummary> summaries() {
        std::vector<InstrumentSummary> out;
        out.reserve(slots_.size());
        for (Slot& s : slots_) out.push_back(std::move(s.summary));
        return out;
    }

private:
    void book(Slot& s, Trade&& t) {
        ++s.summary.trades;
        s.summary.pnl += t.pnl;
        trades.push_back(std::move(t));
    }

    void refuse(Slot& s) {
        ++s.summary.rejected_entries;
        ++rejected_total;
    }

    // Stops, targets, trailing stops and exit signals of what is open.
    void manage_open(std::size_t t) {
        for (Slot& s : slots_) {
            if (!s.holding()) continue;
            const Bar bar = s.data->bar(t);
            StepIntents in;
            in.atr = s.atr_at(t);
            in.exit = s.signals.exit_signals[t] != 0;
            s.kernel.cash = 0.0;
            events_.clear();
            s.kernel.step_bar(t, bar, in, false, events_);
            for (EngineEventRecord& e : events_)
                if (e.kind == EngineEventRecord::Exited) book(s, std::move(*e.trade));
            pool += s.kernel.cash;
            s.kernel.cash = 0.0;
        }
    }

    // Entries, gated by the kill-switch and the position limit, each
    // lent its budget of the pool.
    void enter(std::size_t t, std::size_t open) {
        for (Slot& s : slots_) {
            if (s.holding() || !s.signals.entry_signals[t]) continue;
            if (halted || (max_positions_ && open >= *max_positions_)) {
                refuse(s);
                continue;
            }
            double budget = pool;
            if (allocation_ == AllocationMode::EqualWeight) {
                const uint64_t slots = max_positions_ ? *max_positions_ : slots_.size();
                if (slots <= open) continue;
                budget = pool / static_cast<double>(slots - open);
            }
            // What an all-in entry leaves behind is floating-point residue,
            // not money to invest: spent, it would become trades of no size.
            if (!(budget > 0.0) || budget < dust_) continue;

            const Bar bar = s.data->bar(t);
            StepIntents in;
            in.atr = s.atr_at(t);
            in.entry = true;
            s.kernel.cash = budget;
            events_.clear();
            s.kernel.step_bar(t, bar, in, false, events_);
            pool -= budget - s.kernel.cash;
            s.kernel.cash = 0.0;
            // A refusal by the kernel itself (a budget too small for one unit
            // or lot) is not the portfolio's and is not counted.
            for (const EngineEventRecord& e : events_)
                if (e.kind == EngineEventRecord::Entered) ++open;
        }
    }

    // Mark to market and the kill-switch, which blocks entries from the
    // next bar on and never clears.
    void mark(std::size_t t) {
        double value = 0.0;
        for (const Slot& s : slots_)
            if (s.holding()) value += s.kernel.open_value(s.data->close[t]);
        curves.mark(t, pool + value);
        if (max_drawdown_pct_ && !halted && curves.peak > 0.0 && curves.drawdown[t] >= *max_drawdown_pct_) {
            halted = true;
            halted_at = t;
        }
    }

    // What is open after the last bar closes at its close, back into the pool,
    // and the last point shows the pool.
    void finish() {
        if (n_ == 0) return;
        const std::size_t last = n_ - 1;
        for (Slot& s : slots_) {
            if (!s.holding()) continue;
            s.kernel.cash = 0.0;
            TradeList closed;
            s.kernel.force_close_all(last, at_checked(s.data->timestamps, last), s.data->close[last], closed);
            for (Trade& tr : closed) book(s, std::move(tr));
            pool += s.kernel.cash;
            s.kernel.cash = 0.0;
        }
        curves.equity[last] = pool;
    }

    // Budgets below this share of the initial capital open nothing.
    static constexpr double kDustFraction = 1e-9;

    AllocationMode allocation_;
    std::size_t n_;
    double dust_ = 0.0;
    bool next_bar_ = false;
    std::optional<uint64_t> max_positions_;
    std::optional<double> max_drawdown_pct_;
    std::vector<Slot> slots_;
    std::vector<EngineEventRecord> events_;
};

}  // namespace

PortfolioResult run_portfolio_strategy(const BacktestConfig& cfg, std::span<const InstrumentData> instruments,
                                       std::string_view allocation, const InstrumentConfigs& configs) {
    if (instruments.empty()) throw RuleError("run_portfolio_backtest requires at least one instrument");
    const std::size_t n = instruments.front().close.size();
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        const std::size_t len = instruments[i].close.size();
        if (len != n)
            throw RuleError("all instruments must have the same number of bars; instrument " + std::to_string(i) +
                            " has " + std::to_string(len) + ", expected " + std::to_string(n));
    }
    const AllocationMode mode = parse_allocation(allocation);

    Portfolio book(cfg, instruments, mode, configs, n);
    book.process_signals();
    book.run();

    PortfolioResult out;
    const std::span<const int64_t> ts = instruments.front().timestamps;
    BacktestMetrics metrics = compute_metrics(book.curves.equity, book.curves.drawdown, book.curves.returns,
                                              book.trades, ts.first(std::min(ts.size(), n)), cfg);
    out.result = run_result(std::move(metrics), std::move(book.curves), std::move(book.trades));
    out.per_instrument = book.summaries();
    out.rejected_entries = book.rejected_total;
    out.halted = book.halted;
    out.halted_at = book.halted_at;
    return out;
}

}  // namespace tidemark
