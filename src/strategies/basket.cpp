#include "strategies/basket.h"

#include <cmath>
#include <vector>

#include "core/errors.h"
#include "core/fees.h"
#include "signals/processor.h"
#include "strategies/own_stats.h"

namespace tidemark {

namespace {

struct Leg {
    bool open = false;
    std::size_t entry_bar = 0;
    double entry_price = 0.0;
    double size = 0.0;
    double entry_fee = 0.0;
};

class Basket {
public:
    TradeList trades;
    double cash;

    Basket(const BacktestConfig& cfg, std::span<const InstrumentData> instruments, const InstrumentConfigs& configs,
           bool next_bar)
        : instruments_(instruments),
          fee_model_(fee_model_from_config(cfg)),
          next_bar_(next_bar),
          legs_(instruments.size()),
          sizes_(instruments.size()),
          overrides_(instruments.size()) {
        cash = cfg.initial_capital;
        for (std::size_t i = 0; i < instruments.size(); ++i) {
            weight_sum_ += instruments[i].weight;
            overrides_[i] = configs.find(instruments[i].symbol);
        }
    }

    bool flat() const { return open_legs_ == 0; }

    // Signal fills take the bar's open one bar after the signal, else the
    // signal bar's close. The opens are read only on a bar that fills, so a
    // short open column fails where a fill first needs it.
    double fill_price(std::size_t i, std::size_t t) const {
        return next_bar_ ? at_checked(instruments_[i].open, t) : instruments_[i].close[t];
    }

    void close_all(std::size_t t, ExitReason reason) {
        for (std::size_t i = 0; i < legs_.size(); ++i) {
            if (!legs_[i].open) continue;
            const double p = reason == ExitReason::Signal ? fill_price(i, t) : instruments_[i].close[t];
            close_leg(i, t, p, reason);
        }
    }

    void open_all(std::size_t t) {
        // Weights that sum to zero leave nothing to divide.
        if (weight_sum_ == 0.0) return;
        // Every share is taken of the same cash: the cash after this bar's
        // exits, before any leg of this entry has paid.
        const double base = cash;
        for (std::size_t i = 0; i < legs_.size(); ++i) {
            const double p = fill_price(i, t);
            double size = 0.0;
            if (p > 0.0) {
                double share = base * (instruments_[i].weight / weight_sum_);
                const InstrumentConfig* ic = overrides_[i];
                if (ic && ic->alloted_capital) share = std::fmin(share, *ic->alloted_capital);
                size = share / p;
                if (ic && ic->lot_size && *ic->lot_size > 0) size = *ic->lot_size * std::trunc(size / *ic->lot_size);
            }
            sizes_[i] = size;
        }
        for (std::size_t i = 0; i < legs_.size(); ++i) {
            // NaN, infinite and non-positive sizes (a zero, missing or
            // vanishing price, a lot larger than the share) leave the leg flat.
            if (!(sizes_[i] > 0.0) || std::isinf(sizes_[i])) continue;
            const double p = fill_price(i, t);
            const double size = sizes_[i];
            const double fee = compute_fee(fee_model_, instruments_[i].direction > 0, p, size);
            legs_[i] = Leg{true, t, p, size, fee};
            cash -= size * p + fee;
            ++open_legs_;
        }
    }

    // Cash plus the open legs at the bar's closes. A short leg was paid for
    // like a long one at entry, so it is worth twice its entry value less its
    // value now: the account moves with the short's profit.
    double value(std::size_t t) const {
        if (open_legs_ == 0) return cash;
        double v = cash;
        for (std::size_t i = 0; i < legs_.size(); ++i) {
            const Leg& l = legs_[i];
            if (l.open) v += leg_value(i, instruments_[i].close[t]);
        }
        return v;
    }

private:
    double leg_value(std::size_t i, double price) const {
        const Leg& l = legs_[i];
        return instruments_[i].direction > 0 ? l.size * price : l.size * (2.0 * l.entry_price - price);
    }

    void close_leg(std::size_t i, std::size_t t, double p, ExitReason reason) {
        const InstrumentData& ins = instruments_[i];
        Leg& l = legs_[i];
        const double fee = compute_fee(fee_model_, ins.direction < 0, p, l.size);
        cash += leg_value(i, p) - fee;

        Trade tr;
        tr.symbol = ins.symbol;
        tr.id = trades.size();
        tr.entry_idx = l.entry_bar;
        tr.exit_idx = t;
        tr.entry_price = l.entry_price;
        tr.exit_price = p;
        tr.size = l.size;
        tr.pnl = l.size * (p - l.entry_price) * ins.direction - l.entry_fee - fee;
        const double notional = l.entry_price * l.size;
        tr.pnl_pct = notional > 0.0 ? tr.pnl / notional * 100.0 : 0.0;
        tr.entry_time = at_checked(ins.timestamps, l.entry_bar);
        tr.exit_time = at_checked(ins.timestamps, t);
        tr.entry_fees = l.entry_fee;
        tr.exit_fees = fee;
        tr.fees = l.entry_fee + fee;
        tr.direction = ins.direction;
        tr.exit_reason = reason;
        trades.push_back(std::move(tr));

        l.open = false;
        --open_legs_;
    }

    std::span<const InstrumentData> instruments_;
    FeeModel fee_model_;
    bool next_bar_;
    std::vector<Leg> legs_;
    std::vector<double> sizes_;
    std::vector<const InstrumentConfig*> overrides_;
    double weight_sum_ = 0.0;
    std::size_t open_legs_ = 0;
};

}  // namespace

void check_basket_shapes(std::span<const InstrumentShape> shapes) {
    if (shapes.empty()) return;
    const std::size_t n = shapes.front().close;
    for (const InstrumentShape& s : shapes)
        if (s.close != n) fail_assert_eq("All instruments must have same number of bars", s.close, n);
    for (const InstrumentShape& s : shapes)
        if (s.entries != n) fail_assert_eq("Signals must match OHLCV length", s.entries, n);
    // The synchroniser's checks, then the signal processor's on the combined
    // pair (entries of n flags, exits as long as the first instrument's).
    for (const InstrumentShape& s : shapes) check_synchronized_length(s.exits, shapes.front().exits);
    check_signal_lengths(n, shapes.front().exits);
    for (const InstrumentShape& s : shapes) s.check_columns(n);
}

EngineResult run_basket_strategy(const BacktestConfig& cfg, std::span<const InstrumentData> instruments,
                                 SyncMode mode, const InstrumentConfigs& configs) {
    if (instruments.empty()) return empty_run_result(cfg);
    check_basket_shapes(shapes_of(instruments));
    const std::size_t n = instruments.front().close.size();

    std::vector<std::span<const uint8_t>> entries, exits;
    entries.reserve(instruments.size());
    exits.reserve(instruments.size());
    for (const InstrumentData& ins : instruments) {
        entries.emplace_back(ins.entries);
        exits.emplace_back(ins.exits);
    }
    const CombinedSignals combined = synchronize_signals(entries, exits, mode);
    const bool next_bar = acts_next_bar(cfg);
    const ProcessedSignals sig = own_loop_signals(combined.entries, combined.exits, next_bar);

    Basket basket(cfg, instruments, configs, next_bar);
    BarCurves curves(n, cfg.initial_capital, true);
    for (std::size_t t = 0; t < n; ++t) {
        if (sig.exit_signals[t] && !basket.flat()) basket.close_all(t, ExitReason::Signal);
        if (sig.entry_signals[t] && basket.flat()) basket.open_all(t);
        // What is still open at the end closes at the last close, its exit
        // fees taken from the cash before the last point is marked, so that
        // the final equity is what the trades made.
        if (t + 1 == n && !basket.flat()) basket.close_all(t, ExitReason::EndOfData);
        curves.mark(t, basket.value(t));
    }

    OwnStatsRecipe recipe;
    recipe.guard_zero_capital = true;
    return own_loop_result(cfg, std::move(curves), std::move(basket.trades), instruments.front().timestamps, recipe);
}

}  // namespace tidemark
