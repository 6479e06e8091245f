// Validated construction of instrument definitions, one function per family.
#pragma once

#include <optional>
#include <string>

#include "core/types.h"

namespace tidemark {

// Every function throws RuleError naming the broken rule.
InstrumentSpec make_equity(std::string symbol, double price_increment, double lot_size, double size_increment,
                           double margin_init, double margin_maint, double maker_fee, double taker_fee);
InstrumentSpec make_futures_contract(std::string symbol, int64_t expiration_ns, double lot_size, double multiplier,
                                     double price_increment, std::optional<std::string> underlying,
                                     std::optional<int64_t> activation_ns, double margin_init, double margin_maint,
                                     double maker_fee, double taker_fee);
InstrumentSpec make_perpetual(std::string symbol, double lot_size, double multiplier, double price_increment,
                              double size_increment, std::optional<std::string> underlying, double margin_init,
                              double margin_maint, double maker_fee, double taker_fee);
InstrumentSpec make_option(std::string symbol, double strike, const std::string& right, int64_t expiration_ns,
                           double lot_size, double multiplier, double price_increment,
                           std::optional<std::string> underlying, bool binary, std::optional<int64_t> activation_ns,
                           double margin_init, double margin_maint, double maker_fee, double taker_fee,
                           double span_pct, double exposure_pct);
InstrumentSpec make_currency_pair(std::string symbol, double price_increment, double size_increment,
                                  double lot_size, double margin_init, double margin_maint, double maker_fee,
                                  double taker_fee);
InstrumentSpec make_index(std::string symbol, double price_increment);

// Python-facing name of a kind ("cash", "currency_pair", "contract", ...).
const char* instrument_kind_name(InstrumentKind::Tag t);
// Diagnostic rendering ("Index", "Contract { underlying: None }", ...).
std::string instrument_kind_debug(const InstrumentKind& k);

}  // namespace tidemark
