#include "portfolio/engine.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/errors.h"
#include "core/lanes.h"
#include "core/numeric.h"
#include "indicators/volatility.h"
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
                        std::vector<EngineEventRecord>& out, bool events_dropped) {
    if (events_dropped) {
        kernel.step_bar_keeping_trades(index, bar, intents, trades, out);
    } else {
        const std::size_t first = out.size();
        kernel.step_bar(index, bar, intents, false, out);
        for (std::size_t i = first; i < out.size(); ++i)
            if (out[i].kind == EngineEventRecord::Exited) trades.push_back(*out[i].trade);
    }

    mark(kernel.equity(bar.close), bar.ts);
    last_bar.emplace(index, bar);
}

bool SingleKernel::plain_step(uint64_t index, int64_t ts, double close, const StepIntents& intents) {
    if (!kernel.plain_step(index, ts, close, intents, trades)) return false;
    mark(kernel.equity(close), ts);
    return true;
}

inline void SingleKernel::mark(double equity, int64_t ts) {
    const bool has_prev = !equity_curve.empty();
    const double prev = has_prev ? equity_curve.back() : 0.0;
    equity_curve.push_back(equity);
    if (equity > peak_equity) peak_equity = equity;
    const double dd = (peak_equity - equity) / peak_equity * 100.0;
    drawdown_curve.push_back(dd);
    summary.drawdown.add(dd);
    if (peak_equity > 0 && !kernel.drawdown_halt && kernel.max_drawdown_pct && dd >= *kernel.max_drawdown_pct)
        kernel.drawdown_halt = true;
    returns.push_back(has_prev && prev != 0.0 ? (equity - prev) / prev : 0.0);
    summary.returns.add(returns.back());
    if (keep_timestamps) timestamps.push_back(ts);
}

namespace {

// The running peaks, drawdowns and returns of a block of equities after
// `prev`, as mark() forms them one at a time, a vector of lanes at a time:
// `peak` is carried through, the drawdowns go to `dd` and the returns to
// `ret` (a zero previous equity gives a zero return). Also the deepest of the
// drawdowns and `deepest` (NaN ignored), and whether every one of them is
// under water. For a block of at least L and a `peak` above 0.
//
// The peak is a maximum, the same in whatever order its values are compared
// unless two of them compare equal and differ, which only the two zeros do,
// and these never pass a peak above 0: so the lanes are folded in shifted
// steps (a NaN, which never replaces the peak, as -infinity). The values
// past the last whole vector are taken one at a time, as mark() takes them.
template <std::size_t L>
[[gnu::always_inline]] inline bool curve_block_lanes(const double* eq, std::size_t k, double prev, double& peak,
                                                     double* dd, double* ret, double& deepest) {
    using V = lanes::F64<L>;
    const V low = lanes::splat<V>(-std::numeric_limits<double>::infinity());
    const V zero{};
    V deep = lanes::splat<V>(deepest);
    V carry = lanes::splat<V>(peak);
    auto dry = zero < zero;  // set in a lane where a drawdown is not under water
    auto take = [&](const V& e, const V& b, V& d, V& r) {
        V p = lanes::prefix_max(e == e ? e : low, low);
        p = p > carry ? p : carry;
        carry = lanes::last_everywhere(p);
        d = (p - e) / p * 100.0;
        r = (e - b) / b;
        r = b == zero ? zero : r;
        deep = d > deep ? d : deep;
        dry |= !(d > zero);
    };
    const std::size_t whole = k / L * L;
    for (std::size_t j = 0; j < whole; j += L) {
        const V e = lanes::load<V>(eq + j);
        const V b = j == 0 ? lanes::shift_up<1>(e, lanes::splat<V>(prev)) : lanes::load<V>(eq + j - 1);
        V d, r;
        take(e, b, d, r);
        lanes::store(dd + j, d);
        lanes::store(ret + j, r);
    }
    double top = carry[0];
    double m = deepest;
    bool under = true;
    for (std::size_t l = 0; l < L; ++l) {
        m = deep[l] > m ? deep[l] : m;
        under = under && dry[l] == 0;
    }
    for (std::size_t j = whole; j < k; ++j) {
        if (eq[j] > top) top = eq[j];
        const double d = (top - eq[j]) / top * 100.0;
        const double b = eq[j - 1];
        const double r = (eq[j] - b) / b;
        dd[j] = d;
        ret[j] = b == 0.0 ? 0.0 : r;
        m = d > m ? d : m;
        under = under && d > 0.0;
    }
    peak = top;
    deepest = m;
    return under;
}

TIDEMARK_LANE_VERSIONS(bool, curve_block,
                       (const double* eq, std::size_t k, double prev, double& peak, double* dd, double* ret,
                        double& deepest),
                       curve_block_lanes, (eq, k, prev, peak, dd, ret, deepest))

}  // namespace

void SingleKernel::mark_many(std::span<const double> equity, std::span<const int64_t> ts) {
    std::copy_n(equity.data(), equity.size(), append_uninitialized(equity_curve, equity.size()));
    mark_appended(equity.size(), ts);
}

void SingleKernel::mark_appended(std::size_t n, std::span<const int64_t> ts) {
    // The curves grow once and each value is written where it is kept, a
    // block at a time, in the first cache. The peaks, drawdowns and returns
    // are taken by the vector unit where curve_block can; the sum of the
    // returns, a chain in series order, follows.
    constexpr std::size_t kBlock = 256;
    const std::size_t marked = equity_curve.size() - n;
    const double* eq_all = equity_curve.data() + marked;
    double prev = marked == 0 ? 0.0 : equity_curve[marked - 1];
    double* dd_all = append_uninitialized(drawdown_curve, n);
    double* ret_all = append_uninitialized(returns, n);
    // Local copies: kept in the object, the summaries could be changed by
    // any store to the curves and would go through memory at every step.
    DrawdownRuns runs = summary.drawdown;
    ReturnSum sum = summary.returns;
    double peak = peak_equity;
    for (std::size_t from = 0; from < n; from += kBlock) {
        const std::size_t k = std::min(kBlock, n - from);
        const double* eq = eq_all + from;
        double* dd = dd_all + from;
        double* ret = ret_all + from;
        double deepest = runs.max_pct;
        bool under = true;
        const double peak_before = peak;
        if (k >= 8 && peak > 0.0) {
            under = curve_block(eq, k, prev, peak, dd, ret, deepest);
        } else {
            for (std::size_t j = 0; j < k; ++j) {
                if (eq[j] > peak) peak = eq[j];
                const double d = (peak - eq[j]) / peak * 100.0;
                const double b = j == 0 ? prev : eq[j - 1];
                const double r = (eq[j] - b) / b;
                dd[j] = d;
                ret[j] = b == 0.0 ? 0.0 : r;
                deepest = d > deepest ? d : deepest;
                under = under && d > 0.0;
            }
        }
        // The halt needs a limit, which most runs do not set, and a peak
        // above 0 when the drawdown reaches it.
        if (!kernel.drawdown_halt && kernel.max_drawdown_pct) {
            const double max_dd = *kernel.max_drawdown_pct;
            double p = peak_before;
            for (std::size_t j = 0; j < k; ++j) {
                if (eq[j] > p) p = eq[j];
                if (p > 0 && dd[j] >= max_dd) {
                    kernel.drawdown_halt = true;
                    break;
                }
            }
        }
        if (under) {
            runs.add_under_water(k, deepest);
        } else {
            for (std::size_t j = 0; j < k; ++j) runs.add(dd[j]);
        }
        sum.add_many(ret, k);
        prev = eq[k - 1];
    }
    peak_equity = peak;
    summary.drawdown = runs;
    summary.returns = sum;
    if (keep_timestamps) timestamps.insert(timestamps.end(), ts.begin(), ts.begin() + static_cast<std::ptrdiff_t>(n));
}

EngineResult SingleKernel::finish() && {
    Series<int64_t> ts = std::move(timestamps);
    return std::move(*this).finish(ts);
}

EngineResult SingleKernel::finish(std::span<const int64_t> bar_timestamps) && {
    if (!kernel.ledger.flat() && last_bar)
        kernel.force_close_all(last_bar->first, last_bar->second.ts, last_bar->second.close, trades);
    EngineResult r;
    // The summary stands for the curves unless something else wrote to them.
    if (summary.returns.seen == returns.size() && summary.drawdown.seen == drawdown_curve.size()) {
        r.metrics = compute_metrics(equity_curve, drawdown_curve, returns, trades, bar_timestamps, config, summary);
    } else {
        r.metrics = compute_metrics(equity_curve, drawdown_curve, returns, trades, bar_timestamps, config);
    }
    r.equity_curve = std::move(equity_curve);
    r.drawdown_curve = std::move(drawdown_curve);
    r.trades = std::move(trades);
    r.returns = std::move(returns);
    return r;
}

namespace {

constexpr std::size_t kHoldChunk = 256;
// Doubles per cache line, and how many bars ahead of the run their memory is
// fetched.
constexpr std::size_t kLine = 8;
constexpr std::size_t kFetchAhead = 256;
// How many bars behind the run the steps between timestamps are counted at
// once.
constexpr std::size_t kCountBehind = 512;

// Marks `count` more steps of a kernel that stayed idle since its last mark:
// its equity is its cash, as it was, so the peak, the drawdown and the halt
// stand and each return is the same.
void repeat_idle_marks(SingleKernel& sk, std::size_t count) {
    const double e = sk.equity_curve.back();
    const double r = e != 0.0 ? (e - e) / e : 0.0;
    const double dd = sk.drawdown_curve.back();
    std::fill_n(append_uninitialized(sk.equity_curve, count), count, e);
    std::fill_n(append_uninitialized(sk.drawdown_curve, count), count, dd);
    std::fill_n(append_uninitialized(sk.returns, count), count, r);
    sk.summary.drawdown.add_repeated(dd, count);
    sk.summary.returns.add_zeros(r, count);
}

}  // namespace

void check_run_lengths(std::size_t bars, std::size_t entries, std::size_t exits) {
    if (bars != entries) fail_assert_eq("OHLCV and signals must have same length", bars, entries);
    check_signal_lengths(entries, exits);
}

EngineResult run_backtest_loop(const EngineParams& params, const BarArrays& bars, const SignalArrays& signals,
                               const InstrumentConfig* ic) {
    const std::size_t n = bars.close.size();
    check_run_lengths(n, signals.entries.size(), signals.exits.size());
    // The processed signals, read as the run reaches them.
    SignalCursor cursor(signals.entries, signals.exits);

    SingleKernel sk(params.config, params.fee_model, params.slippage, params.price_basis, signals.symbol,
                    signals.direction, ic);

    // The ATR is a chain of dependent steps, one per bar, and only a full
    // step reads it: its values are made as the run goes, up to the bar of
    // the next intent as soon as that is known, so that the processor runs
    // the chain beside the steps before it. They are compute_atr's values:
    // none where it refuses the columns, NaN before the first.
    Series<double> atr;
    std::optional<AtrPass> atr_steps;
    std::size_t atr_done = 0;  // bars of `atr` written
    if (auto period = atr_period_for(effective_stop(params.config, ic), effective_target(params.config, ic))) {
        if (!atr_input_error(bars.high.size(), bars.low.size(), n, *period)) {
            double* out = append_uninitialized(atr, n);
            atr_done = n > *period ? static_cast<std::size_t>(*period) - 1 : n;
            std::fill_n(out, atr_done, std::numeric_limits<double>::quiet_NaN());
            if (atr_done < n) atr_steps.emplace(bars.high, bars.low, bars.close, static_cast<std::size_t>(*period));
        }
    }
    auto atr_to = [&](std::size_t end) {
        if (end <= atr_done) return;
        double* out = atr.data();
        atr_steps->run_to(end, [out](std::size_t k, double v) { out[k] = v; });
        atr_done = std::min(end, n);
    };

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
    // A trade list that grows moves every trade it holds, and trades are
    // large: it is sized once, from the most trades the signals allow (one
    // per processed entry, and an entry needs an exit before it), within a
    // bound for signals that are set on most bars.
    sk.trades.reserve(std::min({cursor.raw_entries(), cursor.raw_exits() + 1, n / 16 + 64}));
    std::vector<EngineEventRecord> events;
    // Most runs fill plainly: their entries and exits skip the full step.
    const bool plain = sk.kernel.plain_fills();
    StepIntents in;
    auto bar_at = [&](std::size_t i) {
        return Bar{bars.timestamps[i], bars.open[i], bars.high[i], bars.low[i], bars.close[i], bars.volume[i]};
    };
    struct Intent {
        std::size_t at = 0;
        bool entry = false;
        bool exit = false;
    };
    // Memory is fetched a fixed distance ahead of the run instead of waited
    // for when it is reached: the rows of the bars a full step reads, which
    // the run reaches in short stretches far apart that the processor does
    // not see coming, into the first cache; the prices a holding stretch
    // reads, one after the other, into the second. The curves are left to
    // the processor, which sees them written in order: fetched as well, they
    // only crowd the others out. (In a function of their own, the prefetches
    // would be found to have no effect and dropped.)
    // The steps between the timestamps, which annualise the ratios, are
    // counted behind the run, a long stretch at a time, where the fetches
    // have brought the column into the cache: the metrics then need not read
    // it from memory again.
    std::optional<PositiveSteps> steps;
    if (config_reads_spacing(params.config)) steps.emplace();
    std::size_t stepped = 1;  // the steps into the bars before this are counted
    std::size_t fetched = 0;
    auto fetch_ahead = [&](std::size_t from) {
        if (steps && from >= stepped + kCountBehind && from <= usable) {
            steps->count(bars.timestamps.data(), stepped, from);
            stepped = from;
        }
        const std::size_t to = std::min(usable, from + kFetchAhead);
        for (; fetched < to; fetched += kLine) {
            __builtin_prefetch(&bars.timestamps[fetched]);
            if (!plain) {
                __builtin_prefetch(&bars.open[fetched]);
                __builtin_prefetch(&bars.volume[fetched]);
            }
            if (fetched < atr.size()) __builtin_prefetch(&atr[fetched]);
            if (signals.position_sizes) __builtin_prefetch(&(*signals.position_sizes)[fetched]);
            __builtin_prefetch(&bars.high[fetched], 0, 1);
            __builtin_prefetch(&bars.low[fetched], 0, 1);
            __builtin_prefetch(&bars.close[fetched], 0, 1);
        }
    };
    auto find_intent = [&](std::size_t from) {
        Intent t;
        t.at = from < n ? cursor.next(from, t.entry, t.exit) : n;
        return t;
    };
    Intent next = find_intent(0);

    std::size_t i = 0;
    while (i < n) {
        fetch_ahead(i);
        if (i == usable) {
            for (std::size_t len : lens)
                if (len == usable) fail_index(len, i);
        }
        const bool at_intent = i == next.at;
        in.size = signals.position_sizes ? std::optional<double>((*signals.position_sizes)[i]) : std::nullopt;
        if (i < atr.size()) atr_to(i + 1);
        in.atr = i < atr.size() ? atr[i] : 0.0;
        in.entry = at_intent && next.entry;
        in.exit = at_intent && next.exit;
        if (!plain || !sk.plain_step(i, bars.timestamps[i], bars.close[i], in)) {
            events.clear();
            sk.step(i, bar_at(i), in, events, true);
        }
        // Where the next trade will be built.
        if (sk.trades.size() < sk.trades.capacity()) {
            const char* slot = reinterpret_cast<const char*>(sk.trades.data() + sk.trades.size());
            for (std::size_t b = 0; b < sizeof(Trade) + 64; b += 64) __builtin_prefetch(slot + b, 1);
        }
        ++i;
        if (at_intent) {
            next = find_intent(i);
            if (next.at < atr.size()) atr_to(next.at + 1);
        }

        // Up to the next intent, an idle kernel's steps change nothing and a
        // kernel that only holds positions has them to value and watch: both
        // go without the full step.
        const std::size_t quiet_end = std::min(next.at, usable);
        if (quiet_end == i) continue;
        if (sk.kernel.idle()) {
            repeat_idle_marks(sk, quiet_end - i);
            i = quiet_end;
        } else if (sk.kernel.only_holding()) {
            while (i < quiet_end) {
                fetch_ahead(i);
                const std::size_t m = std::min(kHoldChunk, quiet_end - i);
                // The equities are written straight into the curve; those of
                // bars the stretch did not reach are taken off again.
                double* held = append_uninitialized(sk.equity_curve, m);
                const std::size_t k = sk.kernel.step_holding(bars.timestamps.subspan(i, m), bars.high.subspan(i, m),
                                                             bars.low.subspan(i, m), bars.close.subspan(i, m), held);
                if (k < m) sk.equity_curve.resize(sk.equity_curve.size() - (m - k));
                sk.mark_appended(k, bars.timestamps.subspan(i, k));
                i += k;
                if (k < m) break;
            }
        }
    }
    // Only the end of the run reads the last bar; the quiet stretches leave
    // it to be set here.
    if (n > 0) sk.last_bar.emplace(n - 1, bar_at(n - 1));
    if (steps) {
        steps->count(bars.timestamps.data(), stepped, n);
        sk.summary.steps = std::move(steps);
    }
    return std::move(sk).finish(bars.timestamps.first(n));
}

}  // namespace tidemark
