#include "strategies/pairs.h"

#include <cmath>
#include <optional>
#include <vector>

#include "core/errors.h"
#include "core/fees.h"
#include "strategies/own_stats.h"

namespace tidemark {

double estimate_hedge_ratio(std::span<const double> y, std::span<const double> x, std::size_t last,
                            uint64_t lookback, double fallback) {
    if (last < lookback) return fallback;
    const std::size_t first = last - static_cast<std::size_t>(lookback);
    double sx = 0.0, sy = 0.0, sxy = 0.0, sxx = 0.0;
    for (std::size_t j = first; j <= last; ++j) {
        sx += x[j];
        sy += y[j];
        sxy += x[j] * y[j];
        sxx += x[j] * x[j];
    }
    const double m = static_cast<double>(lookback + 1);
    const double den = m * sxx - sx * sx;
    if (std::fabs(den) < 1e-10) return fallback;
    const double beta = (m * sxy - sx * sy) / den;
    if (beta < 0.1) return 0.1;
    if (beta > 10.0) return 10.0;
    return beta;
}

namespace {

struct OpenPair {
    double units1 = 0.0;
    double units2 = 0.0;
    double entry1 = 0.0;
    double entry2 = 0.0;
    double entry_fees = 0.0;
    std::size_t bar = 0;

    double notional() const { return units1 * entry1 + units2 * entry2; }
};

class PairsBook {
public:
    PairsBook(const PairsParams& p, const PairLeg& leg1, const PairLeg& leg2, int8_t direction,
              const std::string& symbol)
        : leg1_(leg1),
          leg2_(leg2),
          fee_model_(fee_model_from_config(p.config)),
          d1_(direction),
          d2_(static_cast<int8_t>(-direction)),
          symbol1_(symbol + "_LEG1"),
          symbol2_(symbol + "_LEG2"),
          cash(p.config.initial_capital) {}

    // Gross profit of the open pair at prices p1, p2.
    double gross(double p1, double p2) const {
        return d1_ * pos->units1 * (p1 - pos->entry1) + d2_ * pos->units2 * (p2 - pos->entry2);
    }

    double value(double c1, double c2) const { return pos ? cash + pos->notional() + gross(c1, c2) : cash; }

    void open(std::size_t bar, double p1, double p2, double beta) {
        OpenPair o;
        o.units1 = cash * 0.5 / p1;
        o.units2 = cash * 0.5 * beta / p2;
        o.entry1 = p1;
        o.entry2 = p2;
        o.bar = bar;
        o.entry_fees = compute_leg_fee(fee_model_, true, d1_ == 1, p1, o.units1) +
                       compute_leg_fee(fee_model_, true, d2_ == 1, p2, o.units2);
        cash -= o.units1 * p1 + o.units2 * p2 + o.entry_fees;
        pos = o;
    }

    void close(std::size_t bar, double p1, double p2, ExitReason reason) {
        const OpenPair& o = *pos;
        const double g = gross(p1, p2);
        const double exit_fees = compute_leg_fee(fee_model_, false, d1_ == 1, p1, o.units1) +
                                 compute_leg_fee(fee_model_, false, d2_ == 1, p2, o.units2);
        const double n = o.notional();
        // The opening fees belong to the round trip as much as the closing
        // ones: leaving them out of the legs would let the trades' pnl drift
        // away from the change in cash.
        const double pnl = g - exit_fees - o.entry_fees;
        const double ret = n > 0.0 ? pnl / n * 100.0 : 0.0;
        push_leg(symbol1_, leg1_, o, bar, o.units1, o.entry1, p1, d1_, pnl, ret, exit_fees, reason);
        push_leg(symbol2_, leg2_, o, bar, o.units2, o.entry2, p2, d2_, pnl, ret, exit_fees, reason);
        cash += n + g - exit_fees;
        pos.reset();
    }

private:
    void push_leg(const std::string& sym, const PairLeg& leg, const OpenPair& o, std::size_t bar, double units,
                  double entry, double exit, int8_t dir, double pnl, double ret, double exit_fees,
                  ExitReason reason) {
        Trade t;
        t.symbol = sym;
        t.id = trades.size();
        t.entry_idx = o.bar;
        t.exit_idx = bar;
        t.entry_price = entry;
        t.exit_price = exit;
        t.size = units;
        t.pnl = pnl / 2.0;
        t.pnl_pct = ret / 2.0;
        t.entry_time = at_checked(leg.timestamps, o.bar);
        t.exit_time = at_checked(leg.timestamps, bar);
        t.entry_fees = o.entry_fees / 2.0;
        t.exit_fees = exit_fees / 2.0;
        t.fees = t.entry_fees + t.exit_fees;
        t.direction = dir;
        t.exit_reason = reason;
        trades.push_back(std::move(t));
    }

    const PairLeg& leg1_;
    const PairLeg& leg2_;
    FeeModel fee_model_;
    int8_t d1_;
    int8_t d2_;
    std::string symbol1_;
    std::string symbol2_;

public:
    double cash;
    std::optional<OpenPair> pos;
    TradeList trades;
};

}  // namespace

EngineResult run_pairs_strategy(const PairsParams& params, const PairLeg& leg1, const PairLeg& leg2,
                                std::span<const uint8_t> entries, std::span<const uint8_t> exits, int8_t direction,
                                const std::string& symbol) {
    const std::size_t n = leg2.close.size();
    if (leg1.close.size() != n) fail_assert_eq("both legs must have the same number of bars", leg1.close.size(), n);
    if (entries.size() != n) fail_assert_eq("signals must match the legs' bar count", entries.size(), n);

    const bool next_bar = acts_next_bar(params.config);
    const ProcessedSignals sig = own_loop_signals(entries, exits, next_bar);
    const std::size_t lag = next_bar ? 1 : 0;

    PairsBook book(params, leg1, leg2, direction, symbol);
    BarCurves curves(n, params.config.initial_capital);
    for (std::size_t i = 0; i < n; ++i) {
        const bool exit_now = book.pos && sig.exit_signals[i];
        const bool may_enter = sig.entry_signals[i] != 0;
        if (exit_now || may_enter) {
            // The opens are read only on a bar that fills, so a short open
            // column fails where a fill first needs it.
            const double p1 = next_bar ? at_checked(leg1.open, i) : leg1.close[i];
            const double p2 = next_bar ? at_checked(leg2.open, i) : leg2.close[i];
            if (exit_now) book.close(i, p1, p2, ExitReason::Signal);
            // Either price or the cash not positive would size infinite or
            // negative units; the entry is skipped, like an unpriced option.
            if (!book.pos && may_enter && p1 > 0.0 && p2 > 0.0 && book.cash > 0.0) {
                const double beta = params.dynamic_hedge
                                        ? estimate_hedge_ratio(leg1.close, leg2.close, i - lag,
                                                               params.hedge_lookback, params.hedge_ratio)
                                        : params.hedge_ratio;
                book.open(i, p1, p2, beta);
            }
        }
        curves.mark(i, book.value(leg1.close[i], leg2.close[i]));
    }
    if (book.pos) {
        // The closing fees come out of the final equity as well as the trades.
        book.close(n - 1, leg1.close[n - 1], leg2.close[n - 1], ExitReason::EndOfData);
        curves.remark_last(book.cash);
    }

    OwnStatsRecipe recipe;
    recipe.paired_legs = true;
    recipe.sum_fees = true;
    return own_loop_result(params.config, std::move(curves), std::move(book.trades), leg1.timestamps, recipe);
}

}  // namespace tidemark
