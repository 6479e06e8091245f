// Cost model: a flat fraction of notional, or the itemised Indian regulatory
// schedule of one cost segment. The rate table here is the only one in the
// system; sizing, closing, per-trade breakdowns and the analytics read it.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/types.h"
#include "core/vocabulary.h"

namespace tidemark {

enum class CostSegment : uint8_t {
    EquityIntraday = 0,
    EquityDelivery = 1,
    FuturesNfo = 2,
    OptionsNfo = 3,
    FuturesMcx = 4,
    OptionsMcx = 5,
    FuturesCds = 6,
    OptionsCds = 7,
};

inline constexpr int kCostSegmentCount = 8;

// One row of the rate table. All rates are fractions of the fill notional;
// `brokerage_flat` is in account currency (the cap, or the flat charge when
// `brokerage_rate` is 0).
struct SegmentRates {
    double brokerage_flat;
    double brokerage_rate;
    double stt_rate;
    bool stt_on_buy;  // equity delivery charges STT on both sides
    double exchange_txn_rate;
    double stamp_duty_rate;
    // Depository charge per ISIN per day on the sell side, in account currency.
    double dp_charge_per_isin;
};

inline constexpr double kSebiRate = 0.000001;
inline constexpr double kGstRate = 0.18;

const SegmentRates& segment_rates(CostSegment s);
// Snake-case name ("equity_intraday", ...).
const char* segment_name(CostSegment s);
std::optional<CostSegment> segment_from_name(std::string_view name);

struct FeeModel {
    enum Kind : uint8_t { Percent = 0, Itemised = 1 };
    Kind kind = Percent;
    double rate = 0.0;  // Percent
    CostSegment segment = CostSegment::EquityIntraday;  // Itemised

    static FeeModel percent(double r) { return {Percent, r, CostSegment::EquityIntraday}; }
    static FeeModel itemised(CostSegment s) { return {Itemised, 0.0, s}; }
};

// Parses `fee_segment` ("NSE", "nfo-opt", "MCX-FUT", ...). An unrecognised
// exchange falls back to the flat `fees` fraction without complaint.
FeeModel fee_model_from_config(const BacktestConfig& cfg);
std::optional<CostSegment> parse_fee_segment(std::string_view text);

FeeBreakdown itemised_fee_breakdown(CostSegment s, bool buy, double price, double qty);
double itemised_fee(CostSegment s, bool buy, double price, double qty);
// Inline: entry sizing prices many candidate quantities.
inline double compute_fee(const FeeModel& m, bool buy, double price, double qty) {
    if (m.kind == FeeModel::Itemised) return itemised_fee(m.segment, buy, price, qty);
    return m.rate * price * std::fabs(qty);
}
// Charged by buy-side rules when a long opens or a short closes.
double compute_leg_fee(const FeeModel& m, bool opening, bool is_long, double price, double qty);

struct FeeCharge {
    double fee = 0.0;
    std::optional<FeeBreakdown> breakdown;  // itemised models only
};
// The fill is a buy when it opens a long or closes a short.
FeeCharge compute_fee_breakdown(const FeeModel& m, int direction, bool opening, double price, double qty);
// The itemised part of compute_fee_breakdown, written into `into` where the
// caller keeps it (nothing for a flat fee); `add` adds it to what `into`
// holds, or to zeros when it holds nothing.
void fee_breakdown_into(const FeeModel& m, bool buy, double price, double qty, std::optional<FeeBreakdown>& into);
void add_fee_breakdown(const FeeModel& m, bool buy, double price, double qty, std::optional<FeeBreakdown>& into);

}  // namespace tidemark
