#include "strategies/tick.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "core/errors.h"
#include "core/fees.h"
#include "metrics/metrics.h"
#include "strategies/own_stats.h"

namespace tidemark {

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kNsPerSecond = 1'000'000'000;

// Limits given by the caller can be anything up to 2^64 - 1; a product or sum
// past the top means "never", not a wrapped-around small number.
uint64_t saturating_mul(uint64_t a, uint64_t b) { return (b != 0 && a > kU64Max / b) ? kU64Max : a * b; }
uint64_t saturating_add(uint64_t a, uint64_t b) { return a > kU64Max - b ? kU64Max : a + b; }

// Whether at least `limit` nanoseconds separate `since` from `now`, counted
// exactly even where the signed difference would overflow.
bool held_for(int64_t since, int64_t now, uint64_t limit) {
    if (now < since) return false;
    return static_cast<uint64_t>(now) - static_cast<uint64_t>(since) >= limit;
}

struct OpenTick {
    std::size_t idx = 0;
    int64_t time = 0;
    double price = 0.0;
    double fee = 0.0;
    std::optional<FeeBreakdown> breakdown;
    double stop = 0.0;
    double target = 0.0;
    // The last print above 0 since the entry (the entry's quote when none has
    // come yet): what a position closed at the end without a price sells at.
    double last_print = 0.0;
    // A signal or time exit that met a tick without a price waits for one,
    // keeping its reason.
    bool pending = false;
    bool pending_time = false;
};

}  // namespace

EngineResult run_tick_strategy(const TickParams& p, const TickColumns& c, const std::string& symbol) {
    if (p.quantity < 0)
        throw RuleError("tick backtests are long-only: quantity must be >= 0, got " + std::to_string(p.quantity));
    if (c.ltp.size() != c.entries.size())
        fail_assert_eq("ticks and entries must have same length", c.ltp.size(), c.entries.size());
    if (c.entries.size() != c.exits.size())
        fail_assert_eq("ticks and exits must have same length", c.entries.size(), c.exits.size());

    const std::size_t n = c.ltp.size();
    const double size = static_cast<double>(p.quantity) * static_cast<double>(p.lot_size);
    TradeList trades;
    if (size == 0.0 || n == 0 || p.max_trades == 0) return build_tick_result(p.config.initial_capital, std::move(trades));

    const FeeModel fees = fee_model_from_config(p.config);
    const double slip = p.config.slippage;
    const uint64_t hold_ns = saturating_mul(p.max_hold_seconds, kNsPerSecond);

    // Every visited tick needs its bid, ask and timestamp; a shorter column
    // stops the run where it runs out, reported in that order.
    std::size_t usable = n;
    for (std::size_t len : {c.bid.size(), c.ask.size(), c.timestamps.size()}) usable = std::min(usable, len);

    OpenTick pos;
    bool open = false;
    uint64_t next_entry = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == usable) {
            for (std::size_t len : {c.bid.size(), c.ask.size(), c.timestamps.size()})
                if (len == usable) fail_index(len, i);
        }
        if (!open) {
            if (!c.entries[i] || i < next_entry) continue;
            const double quote = c.ask[i] > 0.0 ? c.ask[i] : c.ltp[i];
            if (!(quote > 0.0)) continue;
            // An entry on the last tick could never be closed: the run ends
            // without it.
            if (i == n - 1) break;
            OpenTick& o = pos;
            o.idx = i;
            o.time = c.timestamps[i];
            o.price = quote * (1.0 + slip);
            FeeCharge fee = compute_fee_breakdown(fees, 1, true, o.price, size);
            o.fee = fee.fee;
            o.breakdown = fee.breakdown;
            o.stop = (1.0 - p.stop_loss_pct / 100.0) * o.price;
            o.target = (1.0 + p.take_profit_pct / 100.0) * o.price;
            o.last_print = c.ltp[i] > 0.0 ? c.ltp[i] : quote;
            o.pending = o.pending_time = false;
            open = true;
            continue;
        }

        // The first rule that matches decides; the entry tick itself is never
        // checked, as the loop moved past it. A last price that is not above
        // 0 (NaN included) is no print: it can neither reach a level nor be
        // sold at.
        const double last = c.ltp[i];
        const bool printed = last > 0.0;
        if (printed) pos.last_print = last;
        double base;
        ExitReason reason;
        if (printed && last <= pos.stop) {
            base = pos.stop;
            reason = ExitReason::StopLoss;
        } else if (printed && last >= pos.target) {
            base = pos.target;
            reason = ExitReason::TakeProfit;
        } else {
            const bool time_up = hold_ns > 0 && held_for(pos.time, c.timestamps[i], hold_ns);
            if (time_up || pos.pending_time) {
                reason = ExitReason::TimeExit;
            } else if (c.exits[i] || pos.pending) {
                reason = ExitReason::Signal;
            } else if (i == n - 1) {
                reason = ExitReason::EndOfData;
            } else {
                continue;
            }
            base = c.bid[i] > 0.0 ? c.bid[i] : last;
            if (!(base > 0.0)) {
                if (i < n - 1) {
                    pos.pending = true;
                    pos.pending_time = reason == ExitReason::TimeExit;
                    continue;
                }
                base = pos.last_print;
            }
        }

        const OpenTick& o = pos;
        Trade t;
        t.exit_price = base * (1.0 - slip);
        FeeCharge fee = compute_fee_breakdown(fees, 1, false, t.exit_price, size);
        t.fee_breakdown = round_trip_breakdown(o.breakdown, fee.breakdown);
        t.symbol = symbol;
        t.id = trades.size();
        t.entry_idx = o.idx;
        t.exit_idx = i;
        t.entry_price = o.price;
        t.size = size;
        t.pnl = size * (t.exit_price - o.price) - o.fee - fee.fee;
        t.pnl_pct = t.pnl / (size * o.price) * 100.0;
        t.entry_time = o.time;
        t.exit_time = c.timestamps[i];
        t.fees = o.fee + fee.fee;
        t.entry_fees = o.fee;
        t.exit_fees = fee.fee;
        t.direction = 1;
        t.exit_reason = reason;
        trades.push_back(std::move(t));
        open = false;

        if (trades.size() >= p.max_trades) break;
        next_entry = saturating_add(i, p.entry_cooldown_ticks);
    }
    return build_tick_result(p.config.initial_capital, std::move(trades));
}

EngineResult build_tick_result(double initial_capital, TradeList trades) {
    EngineResult r;
    const std::size_t k = trades.size();
    r.equity_curve.reserve(k + 1);
    r.drawdown_curve.reserve(k + 1);
    r.returns.reserve(k);
    r.equity_curve.push_back(initial_capital);
    r.drawdown_curve.push_back(0.0);
    if (k == 0) {
        r.metrics.start_value = initial_capital;
        r.metrics.end_value = initial_capital;
        return r;
    }

    double peak = initial_capital;
    for (const Trade& t : trades) {
        const double prev = r.equity_curve.back();
        const double equity = prev + t.pnl;
        r.returns.push_back(prev > 0.0 ? (equity - prev) / prev : 0.0);
        r.equity_curve.push_back(equity);
        if (equity > peak) peak = equity;
        r.drawdown_curve.push_back(peak > 0.0 ? (peak - equity) / peak * 100.0 : 0.0);
    }
    // The curves have no per-tick clock, so the statistics are annualised
    // without timestamps under the default configuration.
    BacktestConfig cfg;
    cfg.initial_capital = initial_capital;
    r.metrics = compute_metrics(r.equity_curve, r.drawdown_curve, r.returns, trades, {}, cfg);
    r.trades = std::move(trades);
    return r;
}

}  // namespace tidemark
