#include "strategies/portfolio.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/format.h"
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
    throw RuleError("unknown allocation '" + escape_text(text, '\'') + "'; expected 'equal_weight' or 'full'");
}

namespace {

// One instrument's kernel and what the runner keeps beside it.
struct Slot {
    ExecutionKernel kernel;
    Series<double> atr;  // empty when no ATR model applies: every bar reads 0
    const InstrumentData* data;
    InstrumentSummary summary;
    // The bars of the processed flags, in order. They alternate, one
    // notional position at a time: entry, exit, entry, ... (the last entry
    // may have no exit).
    std::vector<std::size_t> flags;
    std::size_t entries_read = 0;  // processed entry flags the run has passed
    std::size_t exit_due = 0;      // the exit flag of the position held
    // The kernel fills plainly, so its entries and exits may take the short
    // step (which reads only the bar's time and close).
    bool plain = false;

    double atr_at(std::size_t t) const { return t < atr.size() ? atr[t] : 0.0; }
    bool holding() const { return !kernel.ledger.flat(); }
    // The short step of bar t where it applies; false, with nothing done,
    // where the full step must be taken.
    bool plain_step(std::size_t t, const StepIntents& in, TradeList& trades) {
        return plain && kernel.plain_step(t, data->timestamps[t], data->close[t], in, trades);
    }

    // The bar of entry flag i, and of the exit flag after it, or `none`.
    std::size_t entry_bar(std::size_t i, std::size_t none) const {
        return 2 * i < flags.size() ? flags[2 * i] : none;
    }
    std::size_t exit_bar(std::size_t i, std::size_t none) const {
        return 2 * i + 1 < flags.size() ? flags[2 * i + 1] : none;
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

// Instruments due at a bar, taken a bar at a time in increasing bar order
// and, on one bar, in instrument order: the order the run visits instruments
// in within a phase. Bars within a fixed horizon of the last one taken wait
// in a ring of buckets, later ones in a heap.
class BarWheel {
public:
    // `bars` bounds how far ahead a short run looks: its ring is no longer
    // than the run.
    explicit BarWheel(std::size_t bars) : span_(std::bit_ceil(std::min(bars, kMaxSpan - 1) + 1)), buckets_(span_) {}

    // A bar pushed lies after the last bar taken (any bar, before the
    // first take).
    void push(std::size_t bar, std::size_t slot) {
        if (bar - now_ < span_) {
            buckets_[bar % span_].push_back(slot);
        } else {
            far_.push_back({bar, slot});
            std::push_heap(far_.begin(), far_.end(), std::greater<>{});
        }
    }

    // The instruments due at bar t into `out`, false when there are none.
    // Every bar is taken, in increasing order: most bars have none due,
    // and cost a test.
    [[gnu::always_inline]] bool take(std::size_t t, std::vector<std::size_t>& out) {
        now_ = t;
        if (!far_.empty() && far_.front().first - t < span_) [[unlikely]]
            bring_near(t);
        std::vector<std::size_t>& due = buckets_[t % span_];
        if (due.empty()) return false;
        out.swap(due);
        due.clear();
        if (out.size() > 1) order(out);
        return true;
    }

private:
    [[gnu::noinline]] static void order(std::vector<std::size_t>& v) { std::sort(v.begin(), v.end()); }

    [[gnu::noinline]] void bring_near(std::size_t t) {
        while (!far_.empty() && far_.front().first - t < span_) {
            std::pop_heap(far_.begin(), far_.end(), std::greater<>{});
            buckets_[far_.back().first % span_].push_back(far_.back().second);
            far_.pop_back();
        }
    }

    static constexpr std::size_t kMaxSpan = 1024;
    std::size_t span_;  // a power of two
    std::vector<std::vector<std::size_t>> buckets_;
    std::vector<std::pair<std::size_t, std::size_t>> far_;
    std::size_t now_ = 0;
};

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
        : curves(n, cfg.initial_capital, true),
          pool(cfg.initial_capital),
          allocation_(allocation),
          n_(n),
          entries_(n),
          wakes_(n),
          row_fetches_(n),
          entry_fetches_(n) {
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
            s.plain = s.kernel.plain_fills();
            slots_.push_back(std::move(s));
        }
        const std::size_t k = slots_.size();
        holding_.assign(k, 0);
        held_at_.assign(k, 0);
        held_.assign(k * kHoldChunk, 0.0);
        holders_.reserve(k);
        due_.reserve(k);
        if (cfg.max_positions && *cfg.max_positions != 0) max_positions_ = *cfg.max_positions;
        if (cfg.max_drawdown_pct && *cfg.max_drawdown_pct > 0) max_drawdown_pct_ = *cfg.max_drawdown_pct;
        dust_ = dust_budget(cfg.initial_capital);
    }

    // Each instrument's processed signals (their lengths checked first).
    void process_signals() {
        for (Slot& s : slots_) {
            const InstrumentData& ins = *s.data;
            // The processed flags, one bar later under next-bar fills (the
            // last bar's flag then dropped), found flag by flag.
            SignalCursor cursor(ins.entries, ins.exits);
            const std::size_t shift = next_bar_ ? 1 : 0;
            bool entry = false, exit = false;
            for (std::size_t i = cursor.next(0, entry, exit); i + shift < n_; i = cursor.next(i + 1, entry, exit))
                s.flags.push_back(i + shift);
        }
        for (std::size_t j = 0; j < slots_.size(); ++j) queue_entry(j, 0);
    }

    // Every instrument's columns hold the n bars (check_portfolio_shapes).
    void run() {
        events_.reserve(8);
        // A trade list that grows moves every trade it holds, and trades are
        // large: it is sized once, from the most trades the signals allow
        // (one per processed entry flag), within a bound for signals set on
        // most bars.
        std::size_t most = 0;
        for (const Slot& s : slots_) most += std::min((s.flags.size() + 1) / 2, n_ / 16 + 64);
        trades.reserve(most);
        for (std::size_t t = 0; t < n_; ++t) {
            fetch_due(t);
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

    // After a step that may have opened or closed the kernel's position:
    // the holding flag, the count and list of holders, and for a holder its
    // value at this bar's close, kept for the mark, and its next step.
    void after_step(std::size_t j, std::size_t t) {
        const Slot& s = slots_[j];
        const uint8_t now = s.holding();
        if (now != holding_[j]) {
            auto at = std::lower_bound(holders_.begin(), holders_.end(), j);
            if (now) {
                holders_.insert(at, j);
            } else {
                holders_.erase(at);
            }
            open_ += now;
            open_ -= holding_[j];
            holding_[j] = now;
        }
        if (!now) return;
        held_[j * kHoldChunk] = s.kernel.open_value(s.data->close[t]);
        held_at_[j] = j * kHoldChunk - t;
        wakes_.push(t + 1, j);
        fetch_row_at(j, t + 1, t);
    }

    // The exit flag of a holder at bar t or after: the one after its entry
    // flag, unless the position outlived it.
    std::size_t exit_for(Slot& s, std::size_t t) {
        if (s.exit_due < t) {
            std::size_t i = s.entries_read;
            while (s.exit_bar(i, n_) < t) ++i;
            s.exit_due = s.exit_bar(i, n_);
        }
        return s.exit_due;
    }

    // Stops, targets, trailing stops and exit signals of what is open, in
    // instrument order at each holder's next step.
    // A kernel that only holds its position, with no exit signal before
    // the bar, is stepped ahead through the bars that reach none of its
    // levels: they move nothing but its extremes and trailing stop, and
    // give the values the marks read. Nothing else touches a holding
    // kernel in between, so its steps may run ahead of the other kernels'.
    void manage_open(std::size_t t) {
        if (!wakes_.take(t, due_)) return;
        for (std::size_t j : due_) {
            Slot& s = slots_[j];
            const std::size_t exit_at = exit_for(s, t);
            const std::size_t end = std::min({exit_at, n_, t + kHoldChunk});
            if (end > t && s.kernel.only_holding()) {
                double* held = held_.data() + j * kHoldChunk;
                const std::size_t m = end - t;
                const InstrumentData& d = *s.data;
                const std::size_t k = s.kernel.step_holding(d.timestamps.subspan(t, m), d.high.subspan(t, m),
                                                            d.low.subspan(t, m), d.close.subspan(t, m), held);
                if (k > 0) {
                    held_at_[j] = j * kHoldChunk - t;
                    wakes_.push(t + k, j);
                    fetch_row_at(j, t + k, t);
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

    // The row of bar i, now when the run reaches it within kFetchBars of
    // bar t, else when it comes that close.
    void fetch_row_at(std::size_t j, std::size_t i, std::size_t t) {
        if (i >= n_) return;
        if (i <= t + kFetchBars) {
            fetch_row(j, i);
        } else {
            row_fetches_.push(i - kFetchBars, j);
        }
    }

    // Queues the instrument's next entry flag, the one after those the run
    // has passed, and the fetch of what it will read there; `t` is the bar
    // the run is at.
    void queue_entry(std::size_t j, std::size_t t) {
        const std::size_t e = slots_[j].entry_bar(slots_[j].entries_read, n_);
        if (e >= n_) return;
        entries_.push(e, j);
        if (e <= t + kFetchBars) {
            fetch_entry(j, e);
        } else {
            entry_fetches_.push(e - kFetchBars, j);
        }
    }

    [[gnu::always_inline]] void fetch_due(std::size_t t) {
        if (row_fetches_.take(t, due_))
            for (std::size_t j : due_) fetch_row(j, t + kFetchBars);
        if (entry_fetches_.take(t, due_))
            for (std::size_t j : due_) fetch_entry(j, t + kFetchBars);
    }

    [[gnu::always_inline]] void fetch_row(std::size_t j, std::size_t i) {
        const Slot& s = slots_[j];
        if (i >= n_) return;
        const InstrumentData& d = *s.data;
        __builtin_prefetch(&d.timestamps[i]);
        __builtin_prefetch(&d.open[i]);
        __builtin_prefetch(&d.high[i]);
        __builtin_prefetch(&d.low[i]);
        __builtin_prefetch(&d.close[i]);
        __builtin_prefetch(&d.volume[i]);
        if (i < s.atr.size()) __builtin_prefetch(&s.atr[i]);
    }

    // The row of an entry at bar e and the columns its kernel will be
    // stepped ahead through after it.
    [[gnu::always_inline]] void fetch_entry(std::size_t j, std::size_t e) {
        const Slot& s = slots_[j];
        if (e >= n_) return;
        fetch_row(j, e);
        const InstrumentData& d = *s.data;
        const std::size_t exit_at = s.exit_bar(s.entries_read, n_);
        const std::size_t end = std::min({exit_at, n_, e + 1 + kHoldChunk});
        // The holding step reads the timestamps only of an expiring
        // instrument, which this runner never has.
        auto fetch_stretch = [&](std::size_t i) {
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
        StepIntents in;
        in.atr = s.atr_at(t);
        in.exit = exit;
        s.kernel.cash = 0.0;
        const std::size_t first = trades.size();
        if (!s.plain_step(t, in, trades)) {
            events_.clear();
            s.kernel.step_bar_keeping_trades(t, s.data->bar(t), in, trades, events_);
        }
        for (std::size_t i = first; i < trades.size(); ++i) {
            ++s.summary.trades;
            s.summary.pnl += trades[i].pnl;
        }
        pool += s.kernel.cash;
        s.kernel.cash = 0.0;
        after_step(j, t);
    }

    // Entries, gated by the kill-switch and the position limit, each
    // lent its budget of the pool, in instrument order.
    void enter(std::size_t t, std::size_t open) {
        if (!entries_.take(t, due_)) return;
        for (std::size_t j : due_) {
            Slot& s = slots_[j];
            if (!holding_[j]) {
                s.exit_due = s.exit_bar(s.entries_read, n_);
                enter_one(j, t, open);
            }
            ++s.entries_read;
            queue_entry(j, t);
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
        // The pool's residue opens nothing (nor counts as a refusal).
        if (!(budget > 0.0) || budget < dust_) return;

        StepIntents in;
        in.atr = s.atr_at(t);
        in.entry = true;
        s.kernel.cash = budget;
        // A plain entry opens the position or leaves the step to the full one.
        if (s.plain_step(t, in, trades)) {
            ++open;
        } else {
            events_.clear();
            s.kernel.step_bar(t, s.data->bar(t), in, false, events_);
            // A refusal by the kernel itself (a budget too small for one unit
            // or lot) is not the portfolio's and is not counted.
            for (const EngineEventRecord& e : events_)
                if (e.kind == EngineEventRecord::Entered) ++open;
        }
        pool -= budget - s.kernel.cash;
        s.kernel.cash = 0.0;
        after_step(j, t);
    }

    // Mark to market and the kill-switch, which blocks entries from the
    // next bar on and never clears. Every holder's value at this bar's
    // close is kept, from its last step or its stretch.
    void mark(std::size_t t) {
        double value = 0.0;
        for (std::size_t j : holders_) value += held_[held_at_[j] + t];
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

    AllocationMode allocation_;
    std::size_t n_;
    double dust_ = 0.0;
    bool next_bar_ = false;
    std::optional<uint64_t> max_positions_;
    std::optional<double> max_drawdown_pct_;
    std::vector<Slot> slots_;
    std::vector<EngineEventRecord> events_;
    // Per instrument: whether its kernel holds a position and, for a holder,
    // its values at the closes of the bars it has been stepped through since
    // its last wake, in `held_` from index held_at_ + bar (modulo the index
    // width).
    std::vector<uint8_t> holding_;
    std::vector<std::size_t> held_at_;
    std::vector<double> held_;
    std::vector<std::size_t> holders_;  // the holding instruments, in order
    std::size_t open_ = 0;              // their count
    BarWheel entries_;        // each instrument's next entry flag
    BarWheel wakes_;          // each holder's next step
    BarWheel row_fetches_;    // rows to fetch kFetchBars ahead
    BarWheel entry_fetches_;  // entries to fetch kFetchBars ahead
    std::vector<std::size_t> due_;
};

}  // namespace

AllocationMode check_portfolio_shapes(std::span<const InstrumentShape> shapes, std::string_view allocation) {
    if (shapes.empty()) throw RuleError("run_portfolio_backtest requires at least one instrument");
    const std::size_t n = shapes.front().close;
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        const std::size_t len = shapes[i].close;
        if (len != n)
            throw RuleError("all instruments must have the same number of bars; instrument " + std::to_string(i) +
                            " has " + std::to_string(len) + ", expected " + std::to_string(n));
    }
    const AllocationMode mode = parse_allocation(allocation);
    for (const InstrumentShape& s : shapes) {
        if (s.entries != n) fail_assert_eq("signals must match OHLCV length", s.entries, n);
        check_signal_lengths(s.entries, s.exits);
    }
    for (const InstrumentShape& s : shapes) s.check_columns(n);
    return mode;
}

PortfolioResult run_portfolio_strategy(const BacktestConfig& cfg, std::span<const InstrumentData> instruments,
                                       std::string_view allocation, const InstrumentConfigs& configs) {
    const AllocationMode mode = check_portfolio_shapes(shapes_of(instruments), allocation);
    const std::size_t n = instruments.front().close.size();

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
