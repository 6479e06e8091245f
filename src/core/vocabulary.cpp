#include "core/vocabulary.h"

#include <cstddef>

#include "core/format.h"

namespace tidemark {

namespace {

template <std::size_t N, typename E>
const char* lookup(const char* const (&table)[N], E code) {
    const auto i = static_cast<std::size_t>(code);
    return i < N ? table[i] : "";
}

constexpr const char* kRejectNames[] = {
    "MaxPositions", "DrawdownHalt",        "ZeroSize",           "Expired",
    "Inactive",     "InsufficientCapital", "InsufficientMargin", "MarginCall",
};

constexpr const char* kRejectTexts[] = {
    "max_positions", "drawdown_halt",        "zero_size",           "expired",
    "inactive",      "insufficient_capital", "insufficient_margin", "margin_call",
};

constexpr const char* kExitNames[] = {
    "Signal", "StopLoss",   "TakeProfit",  "TrailingStop", "EndOfData",
    "Order",  "Settlement", "Liquidation", "TimeExit",     "Squareoff",
};

constexpr const char* kEventKinds[] = {
    "entered",        "exited",        "entry_rejected", "order_accepted",
    "order_triggered", "order_filled", "order_canceled", "order_expired",
    "order_rejected", "margin_call",   "algo_started",   "algo_completed",
};

constexpr const char* kOrderKindNames[] = {
    "Market",          "Limit",         "StopMarket",         "StopLimit",         "MarketIfTouched",
    "LimitIfTouched",  "MarketToLimit", "TrailingStopMarket", "TrailingStopLimit",
};

void append_field(std::string& out, bool first, const char* name, const std::string& value) {
    out += first ? " { " : ", ";
    out += name;
    out += ": ";
    out += value;
}

}  // namespace

const char* reject_reason_name(RejectReason r) { return lookup(kRejectNames, r); }
const char* reject_reason_text(RejectReason r) { return lookup(kRejectTexts, r); }
const char* exit_reason_name(ExitReason r) { return lookup(kExitNames, r); }
const char* event_kind_text(EngineEventRecord::Kind k) { return lookup(kEventKinds, k); }
const char* order_kind_name(OrderType::Kind k) { return lookup(kOrderKindNames, k); }

std::string format_trailing_offset(const TrailingOffset& o) {
    std::string out = o.kind == TrailingOffset::Bps ? "Bps(" : "Price(";
    out += fmt_debug(o.value);
    out += ')';
    return out;
}

std::string format_order_type(const OrderType& t) {
    std::string out = order_kind_name(t.kind);
    switch (t.kind) {
        case OrderType::Market:
        case OrderType::MarketToLimit:
            return out;
        case OrderType::Limit:
            append_field(out, true, "price", fmt_debug(t.price));
            break;
        case OrderType::StopMarket:
        case OrderType::MarketIfTouched:
            append_field(out, true, "trigger", fmt_debug(t.trigger));
            break;
        case OrderType::StopLimit:
        case OrderType::LimitIfTouched:
            append_field(out, true, "trigger", fmt_debug(t.trigger));
            append_field(out, false, "price", fmt_debug(t.price));
            break;
        case OrderType::TrailingStopMarket:
            append_field(out, true, "offset", format_trailing_offset(t.offset));
            break;
        case OrderType::TrailingStopLimit:
            append_field(out, true, "offset", format_trailing_offset(t.offset));
            append_field(out, false, "limit_offset", fmt_debug(t.limit_offset));
            break;
        default:
            return out;
    }
    out += " }";
    return out;
}

}  // namespace tidemark
