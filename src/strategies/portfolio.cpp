#include "strategies/portfolio.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/errors.h"
#include "execution/kernel.h"
#include "indicators/volatility.h"
#include "metrics/metrics.h"
#include "portfolio/engine.h"
#include "signals/processor.h"
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
    Series<double> atr;  // empty when no ATR model applies: every bar reads 0
    const InstrumentData* data;
    InstrumentSummary summary;
    // The bars of the processed entry and exit flags, in order, and how far
    // the run has read each list.
    std::vector<std::size_t> entry_bars;
    std::vector<std::size_t> exit_bars;
    std::size_t entries_read = 0;
    std::size_t exits_read = 0;
    // Bars every column has: a shorter one fails the run at the first step
    // that reads its bar.
    std::size_t usable = 0;

    double atr_at(std::size_t t) const { return t < atr.size() ? atr[t] : 0.0; }
    bool holding() const { return !kernel.ledger.flat(); }

    // The first exit flag from bar t on (t never decreases), or `end`.
    std::size_t exit_from(std::size_t t, std::size_t end) {
        while (exits_read < exit_bars.size() && exit_bars[exits_read] < t) ++exits_read;
        return exits_read < exit_bars.size() ? exit_bars[exits_read] : end;
    }
};


// Bars a kernel that only holds its position is stepped ahead of the run at
// a time, its values kept for the marks.
constexpr std::size_t kHoldChunk = 256;

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
                   atr_series(cfg, ins, ic),
                   &ins,
                   {},
                   {},
                   {}};
            s.kernel.cash = 0.0;  // kernels hold money only during a step
            s.summary.symbol = ins.symbol;
            s.usable = std::min({n, ins.timestamps.size(), ins.open.size(), ins.high.size(), ins.low.size(),
                                 ins.close.size(), ins.volume.size()});
            slots_.push_back(std::move(s));
        }
        const std::size_t k = slots_.size();
        holding_.assign(k, 0);
        quiet_to_.assign(k, 0);
        held_at_.assign(k, 0);
        next_entry_.assign(k, 0);
        held_.assign(k * kHoldChunk, 0.0);
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
            // The processed flags, one bar later under next-bar fills (the
            // last bar's flag then dropped), found flag by flag.
            SignalCursor cursor(ins.entries, ins.exits);
            const std::size_t shift = next_bar_ ? 1 : 0;
            bool entry = false, exit = false;
            for (std::size_t i = cursor.next(0, entry, exit); i + shift < n_; i = cursor.next(i + 1, entry, exit))
                (entry ? s.entry_bars : s.exit_bars).push_back(i + shift);
        }
        next_entry_any_ = n_;
        for (std::size_t j = 0; j < slots_.size(); ++j) {
            next_entry_[j] = slots_[j].entry_bars.empty() ? n_ : slots_[j].entry_bars.front();
            next_entry_any_ = std::min(next_entry_any_, next_entry_[j]);
        }
        for (std::size_t t = 0; t < std::min(n_, kFetchBars); ++t) fetch_upcoming(t);
    }

    void run() {
        events_.reserve(8);
        for (std::size_t t = 0; t < n_; ++t) {
            if (t + kFetchBars < n_) fetch_upcoming(t + kFetchBars);
            manage_open(t);
            enter(t, open_);
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

    // The kernel's holding flag and the count of open instruments, after a
    // step that may have opened or closed its position.
    void note_holding(std::size_t j) {
        const uint8_t now = slots_[j].holding();
        open_ += now;
        open_ -= holding_[j];
        holding_[j] = now;
    }

    // Stops, targets, trailing stops and exit signals of what is open.
    // A kernel that only holds its position, with no exit signal before
    // the bar, is stepped ahead through the bars that reach none of its
    // levels: they move nothing but its extremes and trailing stop, and
    // give the values the marks read. Nothing else touches a holding
    // kernel in between, so its steps may run ahead of the other kernels'.
    void manage_open(std::size_t t) {
        for (std::size_t j = 0; j < slots_.size(); ++j) {
            if (!holding_[j] || t < quiet_to_[j]) continue;
            Slot& s = slots_[j];
            const std::size_t exit_at = s.exit_from(t, n_);
            const std::size_t end = std::min({exit_at, s.usable, t + kHoldChunk});
            if (end > t && s.kernel.only_holding()) {
                double* held = held_.data() + j * kHoldChunk;
                const std::size_t m = end - t;
                const InstrumentData& d = *s.data;
                const std::size_t k = s.kernel.step_holding(
                    std::span<const int64_t>(d.timestamps).subspan(t, m), std::span<const double>(d.high).subspan(t, m),
                    std::span<const double>(d.low).subspan(t, m), std::span<const double>(d.close).subspan(t, m),
                    held);
                if (k > 0) {
                    quiet_to_[j] = t + k;
                    held_at_[j] = j * kHoldChunk - t;
                    if (k <= kFetchBars) fetch_row(j, t + k);
                    continue;
                }
            }
            step_open(j, t, exit_at == t);
        }
    }

    // Memory is fetched this many bars before the run reads it. Read as the
    // run reaches it, each row would be waited for: the run moves through
    // many instruments' columns a bar at a time, in a pattern the processor
    // does not foresee. (The fetches are inlined where they are asked for:
    // a function of nothing but prefetches is taken to have no effect, and
    // its calls are dropped.)
    static constexpr std::size_t kFetchBars = 16;

    // What the run will read at bar u: the row of each instrument with an
    // entry flag there and the columns its kernel will be stepped ahead
    // through after it, and the row of each holding instrument whose
    // stretch ends there (its exit, or its next stretch).
    [[gnu::always_inline]] void fetch_upcoming(std::size_t u) {
        for (std::size_t j = 0; j < slots_.size(); ++j) {
            if (next_entry_[j] == u) fetch_entry(j, u);
            if (holding_[j] && quiet_to_[j] == u) fetch_row(j, u);
        }
    }

    [[gnu::always_inline]] void fetch_row(std::size_t j, std::size_t i) {
        const Slot& s = slots_[j];
        if (i >= s.usable) return;
        const InstrumentData& d = *s.data;
        __builtin_prefetch(&d.timestamps[i]);
        __builtin_prefetch(&d.open[i]);
        __builtin_prefetch(&d.high[i]);
        __builtin_prefetch(&d.low[i]);
        __builtin_prefetch(&d.close[i]);
        __builtin_prefetch(&d.volume[i]);
        if (i < s.atr.size()) __builtin_prefetch(&s.atr[i]);
    }

    [[gnu::always_inline]] void fetch_entry(std::size_t j, std::size_t e) {
        const Slot& s = slots_[j];
        if (e >= s.usable) return;
        fetch_row(j, e);
        const InstrumentData& d = *s.data;
        auto x = std::upper_bound(s.exit_bars.begin() + static_cast<std::ptrdiff_t>(s.exits_read), s.exit_bars.end(), e);
        const std::size_t exit_at = x == s.exit_bars.end() ? n_ : *x;
        const std::size_t end = std::min({exit_at, s.usable, e + 1 + kHoldChunk});
        auto fetch_stretch = [&](std::size_t i) {
            __builtin_prefetch(&d.timestamps[i]);
            __builtin_prefetch(&d.high[i]);
            __builtin_prefetch(&d.low[i]);
            __builtin_prefetch(&d.close[i]);
        };
        constexpr std::size_t kLine = 8;  // values per cache line
        for (std::size_t i = e + kLine; i < end; i += kLine) fetch_stretch(i);
        if (end > e + 1) fetch_stretch(end - 1);
    }

    // The full step of a holding kernel; its trades are built in the run's
    // list, in closing order.
    void step_open(std::size_t j, std::size_t t, bool exit) {
        Slot& s = slots_[j];
        const Bar bar = s.data->bar(t);
        StepIntents in;
        in.atr = s.atr_at(t);
        in.exit = exit;
        s.kernel.cash = 0.0;
        events_.clear();
        const std::size_t first = trades.size();
        s.kernel.step_bar_keeping_trades(t, bar, in, trades, events_);
        for (std::size_t i = first; i < trades.size(); ++i) {
            ++s.summary.trades;
            s.summary.pnl += trades[i].pnl;
        }
        pool += s.kernel.cash;
        s.kernel.cash = 0.0;
        note_holding(j);
    }

    // Entries, gated by the kill-switch and the position limit, each
    // lent its budget of the pool.
    void enter(std::size_t t, std::size_t open) {
        if (t < next_entry_any_) return;
        next_entry_any_ = n_;
        for (std::size_t j = 0; j < slots_.size(); ++j) {
            if (next_entry_[j] == t) {
                Slot& s = slots_[j];
                const std::size_t read = ++s.entries_read;
                next_entry_[j] = read < s.entry_bars.size() ? s.entry_bars[read] : n_;
                if (!holding_[j]) enter_one(j, t, open);
            }
            next_entry_any_ = std::min(next_entry_any_, next_entry_[j]);
        }
    }

    void enter_one(std::size_t j, std::size_t t, std::size_t& open) {
        Slot& s = slots_[j];
        if (halted || (max_positions_ && open >= *max_positions_)) {
            refuse(s);
            return;
        }
        double budget = pool;
        if (allocation_ == AllocationMode::EqualWeight) {
            const uint64_t slots = max_positions_ ? *max_positions_ : slots_.size();
            if (slots <= open) return;
            budget = pool / static_cast<double>(slots - open);
        }
        // What an all-in entry leaves behind is floating-point residue,
        // not money to invest: spent, it would become trades of no size.
        if (!(budget > 0.0) || budget < dust_) return;

        const Bar bar = s.data->bar(t);
        StepIntents in;
        in.atr = s.atr_at(t);
        in.entry = true;
        s.kernel.cash = budget;
        events_.clear();
        s.kernel.step_bar(t, bar, in, false, events_);
        pool -= budget - s.kernel.cash;
        s.kernel.cash = 0.0;
        note_holding(j);
        // A refusal by the kernel itself (a budget too small for one unit
        // or lot) is not the portfolio's and is not counted.
        for (const EngineEventRecord& e : events_)
            if (e.kind == EngineEventRecord::Entered) ++open;
    }

    // Mark to market and the kill-switch, which blocks entries from the
    // next bar on and never clears. A kernel stepped ahead left its value
    // at this bar's close; the others are valued here.
    void mark(std::size_t t) {
        double value = 0.0;
        for (std::size_t j = 0; j < slots_.size(); ++j) {
            if (!holding_[j]) continue;
            if (t < quiet_to_[j]) {
                value += held_[held_at_[j] + t];
            } else {
                const Slot& s = slots_[j];
                value += s.kernel.open_value(s.data->close[t]);
            }
        }
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
    // Per instrument, side by side for the loops that visit every
    // instrument on every bar: whether its kernel holds a position; the bar
    // up to which (exclusive) it has been stepped ahead, with the values at
    // those bars' closes in `held_` from index held_at_ + bar; the next bar
    // with a processed entry flag and the next bar (or an earlier one,
    // already passed) with an exit flag.
    std::vector<uint8_t> holding_;
    std::vector<std::size_t> quiet_to_;
    std::vector<std::size_t> held_at_;
    std::vector<std::size_t> next_entry_;
    std::vector<double> held_;
    std::size_t next_entry_any_ = 0;  // the earliest of next_entry_
    std::size_t open_ = 0;            // kernels holding a position
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
