#include "core/instrument.h"

#include <cctype>

#include "core/errors.h"
#include "core/format.h"

namespace tidemark {

namespace {

// Rules shared by every tradable family. Ordered comparisons only, so NaN
// passes each of them.
void validate_common(InstrumentSpec& s) {
    if (s.price_increment < 0 || s.size_increment < 0 || s.lot_size < 0)
        throw RuleError("increments and lot_size must be >= 0");
    if (s.multiplier <= 0) throw RuleError("multiplier must be > 0");
    if (s.activation_ns && s.expiration_ns && *s.expiration_ns <= *s.activation_ns)
        throw RuleError("expiration_ns must be after activation_ns");
    // A lot of 0 (or NaN) means "no lot rounding": store one unit.
    if (!(s.lot_size > 0)) s.lot_size = 1.0;
}

InstrumentSpec base(std::string symbol, InstrumentKind::Tag tag) {
    InstrumentSpec s;
    s.symbol = std::move(symbol);
    s.kind.tag = tag;
    return s;
}

void set_costs(InstrumentSpec& s, double margin_init, double margin_maint, double maker_fee, double taker_fee) {
    s.margin_init = margin_init;
    s.margin_maint = margin_maint;
    s.maker_fee = maker_fee;
    s.taker_fee = taker_fee;
}

}  // namespace

InstrumentSpec make_equity(std::string symbol, double price_increment, double lot_size, double size_increment,
                           double margin_init, double margin_maint, double maker_fee, double taker_fee) {
    InstrumentSpec s = base(std::move(symbol), InstrumentKind::Cash);
    s.price_increment = price_increment;
    s.lot_size = lot_size;
    s.size_increment = size_increment;
    s.multiplier = 1.0;
    set_costs(s, margin_init, margin_maint, maker_fee, taker_fee);
    validate_common(s);
    return s;
}

InstrumentSpec make_futures_contract(std::string symbol, int64_t expiration_ns, double lot_size, double multiplier,
                                     double price_increment, std::optional<std::string> underlying,
                                     std::optional<int64_t> activation_ns, double margin_init, double margin_maint,
                                     double maker_fee, double taker_fee) {
    InstrumentSpec s = base(std::move(symbol), InstrumentKind::Contract);
    s.kind.underlying = std::move(underlying);
    s.expiration_ns = expiration_ns;
    s.activation_ns = activation_ns;
    s.lot_size = lot_size;
    s.multiplier = multiplier;
    s.price_increment = price_increment;
    s.size_increment = 0.0;
    set_costs(s, margin_init, margin_maint, maker_fee, taker_fee);
    validate_common(s);
    return s;
}

InstrumentSpec make_perpetual(std::string symbol, double lot_size, double multiplier, double price_increment,
                              double size_increment, std::optional<std::string> underlying, double margin_init,
                              double margin_maint, double maker_fee, double taker_fee) {
    InstrumentSpec s = base(std::move(symbol), InstrumentKind::Contract);
    s.kind.underlying = std::move(underlying);
    s.lot_size = lot_size;
    s.multiplier = multiplier;
    s.price_increment = price_increment;
    s.size_increment = size_increment;
    set_costs(s, margin_init, margin_maint, maker_fee, taker_fee);
    validate_common(s);
    return s;
}

InstrumentSpec make_option(std::string symbol, double strike, const std::string& right, int64_t expiration_ns,
                           double lot_size, double multiplier, double price_increment,
                           std::optional<std::string> underlying, bool binary, std::optional<int64_t> activation_ns,
                           double margin_init, double margin_maint, double maker_fee, double taker_fee,
                           double span_pct, double exposure_pct) {
    if (span_pct < 0 || exposure_pct < 0) throw RuleError("span_pct and exposure_pct must be >= 0");
    std::string lower = right;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    OptionRight r;
    if (lower == "call" || lower == "c" || lower == "ce") {
        r = OptionRight::Call;
    } else if (lower == "put" || lower == "p" || lower == "pe") {
        r = OptionRight::Put;
    } else {
        throw RuleError("right must be 'call' or 'put', got " + escape_text(lower));
    }
    if (strike <= 0) throw RuleError("strike must be > 0");

    InstrumentSpec s = base(std::move(symbol), InstrumentKind::Option);
    s.kind.strike = strike;
    s.kind.right = r;
    s.kind.underlying = std::move(underlying);
    s.kind.binary = binary;
    s.expiration_ns = expiration_ns;
    s.activation_ns = activation_ns;
    s.lot_size = lot_size;
    s.multiplier = multiplier;
    s.price_increment = price_increment;
    s.size_increment = 0.0;
    s.span_pct = span_pct;
    s.exposure_pct = exposure_pct;
    set_costs(s, margin_init, margin_maint, maker_fee, taker_fee);
    validate_common(s);
    return s;
}

InstrumentSpec make_currency_pair(std::string symbol, double price_increment, double size_increment,
                                  double lot_size, double margin_init, double margin_maint, double maker_fee,
                                  double taker_fee) {
    InstrumentSpec s = base(std::move(symbol), InstrumentKind::CurrencyPair);
    s.price_increment = price_increment;
    s.size_increment = size_increment;
    s.lot_size = lot_size;
    s.multiplier = 1.0;
    set_costs(s, margin_init, margin_maint, maker_fee, taker_fee);
    validate_common(s);
    return s;
}

InstrumentSpec make_index(std::string symbol, double price_increment) {
    if (price_increment < 0) throw RuleError("price_increment must be >= 0");
    InstrumentSpec s = base(std::move(symbol), InstrumentKind::Index);
    s.price_increment = price_increment;
    s.lot_size = 1.0;
    s.multiplier = 1.0;
    return s;
}

const char* instrument_kind_name(InstrumentKind::Tag t) {
    switch (t) {
        case InstrumentKind::Cash: return "cash";
        case InstrumentKind::CurrencyPair: return "currency_pair";
        case InstrumentKind::Contract: return "contract";
        case InstrumentKind::Option: return "option";
        case InstrumentKind::Index: return "index";
    }
    return "cash";
}

std::string instrument_kind_debug(const InstrumentKind& k) {
    auto opt_text = [](const std::optional<std::string>& s) {
        return s ? "Some(" + debug_quote(*s) + ")" : std::string("None");
    };
    switch (k.tag) {
        case InstrumentKind::Cash: return "Cash";
        case InstrumentKind::CurrencyPair: return "CurrencyPair";
        case InstrumentKind::Index: return "Index";
        case InstrumentKind::Contract: return "Contract { underlying: " + opt_text(k.underlying) + " }";
        case InstrumentKind::Option:
            return "Option { strike: " + fmt_debug(k.strike) +
                   ", right: " + (k.right == OptionRight::Call ? "Call" : "Put") +
                   ", underlying: " + opt_text(k.underlying) + ", binary: " + (k.binary ? "true" : "false") + " }";
    }
    return "Cash";
}

}  // namespace tidemark
