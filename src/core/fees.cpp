#include "core/fees.h"

#include <cmath>
#include <cstddef>

#include "core/format.h"

namespace tidemark {

namespace {

// Rates as fractions of the fill notional; the first column is the brokerage
// cap, or the whole charge for the options segments, which have no rate.
constexpr SegmentRates kRates[kCostSegmentCount] = {
    // flat, brokerage rate, stt rate, stt on buy, exchange txn, stamp duty, DP charge
    {20.0, 0.0003, 0.00025, false, 0.0000307, 0.00003, 15.34},    // equity_intraday
    {0.0, 0.0, 0.001, true, 0.0000307, 0.00015, 15.34},           // equity_delivery
    {20.0, 0.0003, 0.0005, false, 0.0000183, 0.00002, 15.34},     // futures_nfo
    {20.0, 0.0, 0.0015, false, 0.0003553, 0.00003, 15.34},        // options_nfo
    {20.0, 0.0003, 0.0001, false, 0.000021, 0.00002, 15.34},      // futures_mcx
    {20.0, 0.0, 0.0005, false, 0.000418, 0.00003, 15.34},         // options_mcx
    {20.0, 0.0003, 0.0, false, 0.0000035, 0.000001, 15.34},       // futures_cds
    {20.0, 0.0, 0.0, false, 0.000311, 0.000001, 15.34},           // options_cds
};

constexpr const char* kSegmentNames[kCostSegmentCount] = {
    "equity_intraday", "equity_delivery", "futures_nfo", "options_nfo",
    "futures_mcx",     "options_mcx",     "futures_cds", "options_cds",
};

}  // namespace

const SegmentRates& segment_rates(CostSegment s) { return kRates[static_cast<std::size_t>(s)]; }

const char* segment_name(CostSegment s) {
    const auto i = static_cast<std::size_t>(s);
    return i < static_cast<std::size_t>(kCostSegmentCount) ? kSegmentNames[i] : "";
}

std::optional<CostSegment> segment_from_name(std::string_view name) {
    for (int i = 0; i < kCostSegmentCount; ++i) {
        if (name == kSegmentNames[i]) return static_cast<CostSegment>(i);
    }
    return std::nullopt;
}

std::optional<CostSegment> parse_fee_segment(std::string_view text) {
    const std::size_t dash = text.find('-');
    const std::string_view exchange = text.substr(0, dash);
    const std::string_view product = dash == std::string_view::npos ? std::string_view{} : text.substr(dash + 1);

    const bool option = upper_equals(product, "OPT") || upper_equals(product, "CE") || upper_equals(product, "PE");
    if (upper_equals(exchange, "NSE") || upper_equals(exchange, "BSE")) {
        return upper_equals(product, "DELIVERY") ? CostSegment::EquityDelivery : CostSegment::EquityIntraday;
    }
    if (upper_equals(exchange, "NFO") || upper_equals(exchange, "BFO")) {
        return option ? CostSegment::OptionsNfo : CostSegment::FuturesNfo;
    }
    if (upper_equals(exchange, "MCX")) {
        return option ? CostSegment::OptionsMcx : CostSegment::FuturesMcx;
    }
    if (upper_equals(exchange, "CDS") || upper_equals(exchange, "BCD")) {
        return option ? CostSegment::OptionsCds : CostSegment::FuturesCds;
    }
    return std::nullopt;
}

FeeModel fee_model_from_config(const BacktestConfig& cfg) {
    if (cfg.fee_segment) {
        if (auto seg = parse_fee_segment(*cfg.fee_segment)) return FeeModel::itemised(*seg);
    }
    return FeeModel::percent(cfg.fees);
}

namespace {

// Written into `b`, member by member, wherever the caller keeps it: a
// breakdown put together elsewhere and copied over in one piece is read back
// before its parts have landed, which stalls.
void fill_itemised(CostSegment s, bool buy, double price, double qty, FeeBreakdown& b) {
    const SegmentRates& r = segment_rates(s);
    const double n = std::fabs(price * std::fabs(qty));
    // fmin drops a NaN operand, so a NaN notional still pays the cap.
    b.brokerage = r.brokerage_rate > 0.0 ? std::fmin(r.brokerage_rate * n, r.brokerage_flat) : r.brokerage_flat;
    b.stt = !buy || r.stt_on_buy ? r.stt_rate * n : 0.0;
    b.exchange_txn = r.exchange_txn_rate * n;
    b.sebi_fee = kSebiRate * n;
    b.stamp_duty = buy ? r.stamp_duty_rate * n : 0.0;
    b.gst = kGstRate * (b.brokerage + b.exchange_txn + b.sebi_fee);
}

}  // namespace

FeeBreakdown itemised_fee_breakdown(CostSegment s, bool buy, double price, double qty) {
    FeeBreakdown b;
    fill_itemised(s, buy, price, qty, b);
    return b;
}

double itemised_fee(CostSegment s, bool buy, double price, double qty) {
    return itemised_fee_breakdown(s, buy, price, qty).total();
}

double compute_leg_fee(const FeeModel& m, bool opening, bool is_long, double price, double qty) {
    if (m.kind == FeeModel::Itemised) return compute_fee(m, opening == is_long, price, qty);
    return compute_fee(m, opening, price, qty);
}

void fee_breakdown_into(const FeeModel& m, bool buy, double price, double qty, std::optional<FeeBreakdown>& into) {
    if (m.kind != FeeModel::Itemised) {
        into.reset();
        return;
    }
    fill_itemised(m.segment, buy, price, qty, into.emplace());
}

void add_fee_breakdown(const FeeModel& m, bool buy, double price, double qty, std::optional<FeeBreakdown>& into) {
    if (m.kind != FeeModel::Itemised) return;
    FeeBreakdown part;
    fill_itemised(m.segment, buy, price, qty, part);
    if (!into) into.emplace();
    *into += part;
}

FeeCharge compute_fee_breakdown(const FeeModel& m, int direction, bool opening, double price, double qty) {
    const bool buy = (direction == 1) == opening;
    FeeCharge charge;
    if (m.kind == FeeModel::Itemised) {
        FeeBreakdown& b = charge.breakdown.emplace();
        fill_itemised(m.segment, buy, price, qty, b);
        charge.fee = b.total();
    } else {
        charge.fee = compute_fee(m, buy, price, qty);
    }
    return charge;
}

}  // namespace tidemark
