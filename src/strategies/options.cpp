#include "strategies/options.h"

#include <cmath>
#include <vector>

#include "core/errors.h"
#include "core/fees.h"
#include "core/format.h"
#include "core/numeric.h"
#include "strategies/own_stats.h"

namespace tidemark {

OptionRight parse_option_type(std::string_view s) {
    if (s == "c" || s == "ce" || s == "call") return OptionRight::Call;
    if (s == "p" || s == "pe" || s == "put") return OptionRight::Put;
    throw RuleError("unknown option_type " + escape_text(s) + "; expected call/ce/c or put/pe/p");
}

StrikeSelection parse_strike_selection(std::string_view s) {
    if (s == "atm") return {StrikeSelection::Atm, 0};
    if (s == "itm1") return {StrikeSelection::Itm, 1};
    if (s == "itm2") return {StrikeSelection::Itm, 2};
    if (s == "otm1") return {StrikeSelection::Otm, 1};
    if (s == "otm2") return {StrikeSelection::Otm, 2};
    throw RuleError("unknown strike_selection " + escape_text(s) + "; expected atm, otm1, otm2, itm1 or itm2");
}

OptionSizeType parse_option_size_type(std::string_view s) {
    if (s == "contracts") return OptionSizeType::Contracts;
    if (s == "percent") return OptionSizeType::Percent;
    if (s == "notional") return OptionSizeType::Notional;
    if (s == "risk") return OptionSizeType::Risk;
    throw RuleError("unknown size_type " + escape_text(s) + "; expected percent, contracts, notional or risk");
}

uint64_t contract_count(double v) {
    if (!std::isfinite(v) || !(v > 0.0)) return 0;
    return saturating_u64(v);
}

namespace {

struct OpenOption {
    uint64_t contracts = 0;
    double premium = 0.0;
    std::size_t bar = 0;
    double fee = 0.0;
    std::optional<FeeBreakdown> breakdown;
};

class OptionsBook {
public:
    OptionsBook(const OptionsParams& p, const OptionsInputs& in)
        : p_(p), in_(in), fee_model_(fee_model_from_config(p.config)), lot_(static_cast<double>(p.lot_size)),
          cash(p.config.initial_capital) {}

    double quantity(uint64_t contracts) const { return static_cast<double>(contracts) * lot_; }

    uint64_t size_at(double price) const {
        const double unit = price * lot_;
        switch (p_.size_type) {
            case OptionSizeType::Contracts: return p_.contracts;
            case OptionSizeType::Percent:
            case OptionSizeType::Risk: return contract_count(cash * p_.size_value / unit);
            case OptionSizeType::Notional: return contract_count(p_.size_value / unit);
        }
        return 0;
    }

    void open(std::size_t bar, double price, uint64_t contracts) {
        const double q = quantity(contracts);
        FeeCharge fee = compute_fee_breakdown(fee_model_, in_.direction, true, price, q);
        cash -= price * q + fee.fee;
        pos = OpenOption{contracts, price, bar, fee.fee, fee.breakdown};
    }

    void close(std::size_t bar, double price, ExitReason reason) {
        const OpenOption& o = *pos;
        const double q = quantity(o.contracts);
        FeeCharge fee = compute_fee_breakdown(fee_model_, in_.direction, false, price, q);
        const double basis = o.premium * q;

        Trade t;
        t.fee_breakdown = round_trip_breakdown(o.breakdown, fee.breakdown);
        t.symbol = in_.symbol;
        t.id = trades.size();
        t.entry_idx = o.bar;
        t.exit_idx = bar;
        t.entry_price = o.premium;
        t.exit_price = price;
        t.size = q;
        t.entry_fees = o.fee;
        t.exit_fees = fee.fee;
        t.fees = o.fee + fee.fee;
        t.pnl = (price - o.premium) * q - t.fees;
        t.pnl_pct = basis > 0.0 ? t.pnl / basis * 100.0 : 0.0;
        t.entry_time = at_checked(in_.timestamps, o.bar);
        t.exit_time = at_checked(in_.timestamps, bar);
        t.direction = in_.direction;
        t.exit_reason = reason;
        trades.push_back(std::move(t));

        cash += price * q - fee.fee;
        pos.reset();
    }

    double value(double mark) const { return pos ? cash + quantity(pos->contracts) * mark : cash; }

private:
    const OptionsParams& p_;
    const OptionsInputs& in_;
    FeeModel fee_model_;
    double lot_;

public:
    double cash;
    std::optional<OpenOption> pos;
    TradeList trades;
};

}  // namespace

EngineResult run_options_strategy(const OptionsParams& params, const OptionsInputs& in) {
    const std::size_t n = in.premiums.size();
    if (in.bar_count != n) fail_assert_eq("option prices must match OHLCV length", in.bar_count, n);
    if (in.entries.size() != n) fail_assert_eq("signals must match option prices length", in.entries.size(), n);
    if (in.open_premiums && in.open_premiums->size() != n)
        fail_assert_eq("opening premiums must match option prices length", in.open_premiums->size(), n);

    const bool next_bar = acts_next_bar(params.config);
    const ProcessedSignals sig = own_loop_signals(in.entries, in.exits, next_bar);
    // Opening premiums only matter when the fill moves to the next bar's open.
    const double* fills = (next_bar && in.open_premiums) ? in.open_premiums->data() : in.premiums.data();
    const double* marks = in.premiums.data();

    OptionsBook book(params, in);
    BarCurves curves(n, params.config.initial_capital);
    for (std::size_t i = 0; i < n; ++i) {
        const double fill = fills[i];
        if (book.pos && sig.exit_signals[i]) book.close(i, fill, ExitReason::Signal);
        // A premium that is not positive cannot be bought; the signal is lost
        // rather than retried, as the processed signals already count it open.
        // So is one that would buy no units (no contract, or a lot size of 0):
        // a fill of nothing is no fill, and pays no fee.
        if (!book.pos && sig.entry_signals[i] && fill > 0.0) {
            const uint64_t contracts = book.size_at(fill);
            if (contracts > 0 && params.lot_size > 0) book.open(i, fill, contracts);
        }
        curves.mark(i, book.value(marks[i]));
    }
    if (book.pos) {
        book.close(n - 1, marks[n - 1], ExitReason::EndOfData);
        curves.remark_last(book.cash);
    }

    OwnStatsRecipe recipe;
    recipe.sum_fees = true;
    return own_loop_result(params.config, std::move(curves), std::move(book.trades), in.timestamps, recipe);
}

}  // namespace tidemark
