// InstrumentSpec: built only through its static constructors, one per family.
#include "core/format.h"
#include "core/instrument.h"
#include "python/classes.h"
#include "python/registry.h"

namespace tidemark::py {

namespace {

constexpr Param kEquityParams[] = {
    {"symbol"},           {"price_increment", "0.0"}, {"lot_size", "1.0"}, {"size_increment", "0.0"},
    {"margin_init", "0.0"}, {"margin_maint", "0.0"},  {"maker_fee", "0.0"}, {"taker_fee", "0.0"},
};
constexpr Param kFuturesParams[] = {
    {"symbol"},
    {"expiration_ns"},
    {"lot_size"},
    {"multiplier", "1.0"},
    {"price_increment", "0.0"},
    {"underlying", "None"},
    {"activation_ns", "None"},
    {"margin_init", "0.0"},
    {"margin_maint", "0.0"},
    {"maker_fee", "0.0"},
    {"taker_fee", "0.0"},
};
constexpr Param kPerpetualParams[] = {
    {"symbol"},
    {"lot_size", "1.0"},
    {"multiplier", "1.0"},
    {"price_increment", "0.0"},
    {"size_increment", "0.0"},
    {"underlying", "None"},
    {"margin_init", "0.0"},
    {"margin_maint", "0.0"},
    {"maker_fee", "0.0"},
    {"taker_fee", "0.0"},
};
constexpr Param kOptionParams[] = {
    {"symbol"},
    {"strike"},
    {"right"},
    {"expiration_ns"},
    {"lot_size"},
    {"multiplier", "1.0"},
    {"price_increment", "0.0"},
    {"underlying", "None"},
    {"binary", "False"},
    {"activation_ns", "None"},
    {"margin_init", "0.0"},
    {"margin_maint", "0.0"},
    {"maker_fee", "0.0"},
    {"taker_fee", "0.0"},
    {"span_pct", "0.0"},
    {"exposure_pct", "0.0"},
};
constexpr Param kCurrencyParams[] = {
    {"symbol"},           {"price_increment", "0.0"}, {"size_increment", "0.0"}, {"lot_size", "1.0"},
    {"margin_init", "0.0"}, {"margin_maint", "0.0"},  {"maker_fee", "0.0"},      {"taker_fee", "0.0"},
};
constexpr Param kIndexParams[] = {{"symbol"}, {"price_increment", "0.0"}};

const Sig kEquity{"InstrumentSpec", "equity", kEquityParams};
const Sig kFutures{"InstrumentSpec", "futures_contract", kFuturesParams};
const Sig kPerpetual{"InstrumentSpec", "perpetual", kPerpetualParams};
const Sig kOption{"InstrumentSpec", "option", kOptionParams};
const Sig kCurrency{"InstrumentSpec", "currency_pair", kCurrencyParams};
const Sig kIndex{"InstrumentSpec", "index", kIndexParams};

const char* spec_kind(const InstrumentSpec& s) { return instrument_kind_name(s.kind.tag); }
bool spec_tradable(const InstrumentSpec& s) { return s.tradable(); }

std::optional<double> spec_strike(const InstrumentSpec& s) {
    if (!s.is_option()) return std::nullopt;
    return s.kind.strike;
}

std::optional<std::string> spec_right(const InstrumentSpec& s) {
    if (!s.is_option()) return std::nullopt;
    return std::string(s.kind.right == OptionRight::Call ? "call" : "put");
}

std::optional<std::string> spec_underlying(const InstrumentSpec& s) {
    if (s.kind.tag == InstrumentKind::Contract || s.kind.tag == InstrumentKind::Option) return s.kind.underlying;
    return std::nullopt;
}

std::string spec_repr(const InstrumentSpec& s) {
    return "InstrumentSpec(symbol=" + s.symbol + ", kind=" + instrument_kind_name(s.kind.tag) +
           ", lot_size=" + fmt_shortest(s.lot_size) + ", multiplier=" + fmt_shortest(s.multiplier) + ")";
}

PyTypeObject* build_instrument_spec() {
    using S = InstrumentSpec;
    ClassSpec s = class_spec<S>("Python-exposed instrument market definition.");
    s.getset = {
        ro<&S::symbol>("symbol"),
        ro_fn<&spec_kind>("kind"),
        rw<&S::settlement_fee>("settlement_fee", "Fee fraction charged on settlement at expiry."),
        rw<&S::expiration_ns>("expiration_ns"),
        ro<&S::price_increment>("price_increment"),
        ro<&S::size_increment>("size_increment"),
        ro<&S::lot_size>("lot_size",
                         "Units per lot; a `lot_size` of 0 is read as 1.\n\n"
                         "Entries and order quantities are rounded down to whole lots only when\n"
                         "the lot is above 1: a lot of 1, given or read from 0, leaves sizes\n"
                         "fractional (`InstrumentConfig(lot_size=1)` trades whole units). An\n"
                         "`InstrumentConfig` that gives a `lot_size`, 0 included, overrides it."),
        ro<&S::multiplier>("multiplier"),
        ro<&S::margin_init>("margin_init"),
        ro<&S::span_pct>("span_pct", "SPAN-style deposit fraction for a sold option (0.0 = not modelled)."),
        ro<&S::exposure_pct>("exposure_pct", "Exposure margin fraction for a sold option (0.0 = not modelled)."),
        ro<&S::margin_maint>("margin_maint"),
        ro<&S::maker_fee>("maker_fee",
                          "Recorded only: fills pay `BacktestConfig.fees` or the\n"
                          "`BacktestConfig.fee_segment` schedule, never this rate."),
        ro<&S::taker_fee>("taker_fee", "Recorded only, like `maker_fee`."),
        ro<&S::activation_ns>("activation_ns"),
        ro_fn<&spec_strike>("strike", "Option strike, or None for non-options."),
        ro_fn<&spec_right>("right"),
        ro_fn<&spec_underlying>("underlying", "Underlying symbol for derivatives, None otherwise."),
        ro_fn<&spec_tradable>("tradable", "Whether orders may be placed on this instrument."),
    };
    s.methods = {
        static_method<kEquity, &make_equity>("A cash equity / spot instrument."),
        static_method<kFutures, &make_futures_contract>("A dated futures contract."),
        static_method<kPerpetual, &make_perpetual>("A perpetual contract (dated future without expiry)."),
        static_method<kOption, &make_option>(
            "A vanilla or binary option contract.\n\n"
            "`span_pct` and `exposure_pct` model the deposit an exchange blocks against\n"
            "a sold option, as fractions of the underlying notional at the strike: in a\n"
            "margin account a sold option locks (`span_pct` + `exposure_pct`) x strike x\n"
            "units x multiplier, and that locked margin is its maintenance requirement;\n"
            "neither the premium nor the underlying moves it. A `PortfolioSession`\n"
            "margins the open options of one `underlying` and expiry as a group: the\n"
            "worst loss at expiry of a covered group (else the largest `span_pct` of its\n"
            "sold legs x their largest strike x units x multiplier), plus the exposure\n"
            "of every sold leg, less the net premium received by a group of two legs or\n"
            "more. Both default to 0.0, which leaves a short option margined on its\n"
            "premium like any position. A bought option is funded on its premium either\n"
            "way; with both above 0 it can cover the sold ones of its group.\n\n"
            "`lot_size=0` is read as 1, and a lot of 1 rounds nothing: sizes stay\n"
            "fractional, as with `InstrumentConfig(lot_size=0)`. A lot above 1 rounds\n"
            "entries and order quantities down to whole lots."),
        static_method<kCurrency, &make_currency_pair>("A spot currency pair."),
        static_method<kIndex, &make_index>("A non-tradable reference index."),
    };
    s.repr = &repr_impl<&spec_repr>;
    return build_class(std::move(s));
}

}  // namespace

PyTypeObject* PyClass<InstrumentSpec>::type() {
    static PyTypeObject* t = build_instrument_spec();
    return t;
}

void export_instruments(Exports& ex) { ex.add_class("InstrumentSpec", &PyClass<InstrumentSpec>::type); }

}  // namespace tidemark::py
