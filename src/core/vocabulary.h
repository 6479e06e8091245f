// The execution kernel's fixed vocabulary: sides, order kinds, time in force,
// order states, refusal and exit reasons, the itemised fee record, the engine
// trade record and the tagged outcome record of a kernel step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/buffer.h"

namespace tidemark {

enum class Side : uint8_t { Buy = 0, Sell = 1 };

struct TrailingOffset {
    enum Kind : uint8_t { Price = 0, Bps = 1 };
    Kind kind = Price;
    double value = 0.0;
};

struct OrderType {
    enum Kind : uint8_t {
        Market = 0,
        Limit,
        StopMarket,
        StopLimit,
        MarketIfTouched,
        LimitIfTouched,
        MarketToLimit,
        TrailingStopMarket,
        TrailingStopLimit,
    };
    Kind kind = Market;
    double price = 0.0;         // Limit, StopLimit, LimitIfTouched
    double trigger = 0.0;       // StopMarket, StopLimit, MarketIfTouched, LimitIfTouched
    TrailingOffset offset;      // trailing kinds
    double limit_offset = 0.0;  // TrailingStopLimit
};

enum class TimeInForce : uint8_t { Gtc = 0, Day, Gtd, Ioc, Fok, AtOpen, AtClose };

enum class OrderStatus : uint8_t {
    New = 0,
    Accepted,
    Triggered,
    PartiallyFilled,
    Filled,
    Canceled,
    Expired,
    Rejected,
};

inline bool is_working(OrderStatus s) { return static_cast<uint8_t>(s) <= 3; }

enum class RejectReason : uint8_t {
    MaxPositions = 0,
    DrawdownHalt,
    ZeroSize,
    Expired,
    Inactive,
    InsufficientCapital,
    InsufficientMargin,
    MarginCall,
};

enum class ExitReason : uint8_t {
    Signal = 0,
    StopLoss,
    TakeProfit,
    TrailingStop,
    EndOfData,
    Order,
    Settlement,
    Liquidation,
    TimeExit,
    Squareoff,
};

// Printed name of a refused entry ("InsufficientCapital").
const char* reject_reason_name(RejectReason r);
// Text of a refused order ("insufficient_capital").
const char* reject_reason_text(RejectReason r);
// Printed name of an exit ("StopLoss"); also the text of `Trade.exit_reason`.
const char* exit_reason_name(ExitReason r);

// Name of an order type ("StopLimit").
const char* order_kind_name(OrderType::Kind k);
// "Limit { price: 101.5 }", "TrailingStopMarket { offset: Bps(25.0) }".
std::string format_order_type(const OrderType& t);
std::string format_trailing_offset(const TrailingOffset& o);

// Six itemised cost components of one fill or one round trip.
struct FeeBreakdown {
    double brokerage = 0.0;
    double stt = 0.0;
    double exchange_txn = 0.0;
    double sebi_fee = 0.0;
    double stamp_duty = 0.0;
    double gst = 0.0;

    double total() const { return brokerage + stt + exchange_txn + sebi_fee + stamp_duty + gst; }
    FeeBreakdown& operator+=(const FeeBreakdown& o) {
        brokerage += o.brokerage;
        stt += o.stt;
        exchange_txn += o.exchange_txn;
        sebi_fee += o.sebi_fee;
        stamp_duty += o.stamp_duty;
        gst += o.gst;
        return *this;
    }
    FeeBreakdown scaled(double k) const {
        return {brokerage * k, stt * k, exchange_txn * k, sebi_fee * k, stamp_duty * k, gst * k};
    }
};

// One closed (or force-closed) round trip.
struct Trade {
    // Written out so that a trade made in place (one per exit of a run) is
    // not first cleared whole, which the implicit one would do: every member
    // is set by its initialiser below all the same.
    Trade() noexcept {}

    std::optional<FeeBreakdown> fee_breakdown;
    std::string symbol;
    uint64_t id = 0;
    uint64_t entry_idx = 0;
    uint64_t exit_idx = 0;
    double entry_price = 0.0;
    double exit_price = 0.0;
    double size = 0.0;
    double pnl = 0.0;
    double pnl_pct = 0.0;
    int64_t entry_time = 0;
    int64_t exit_time = 0;
    double fees = 0.0;
    double entry_fees = 0.0;
    double exit_fees = 0.0;
    int8_t direction = 1;
    ExitReason exit_reason = ExitReason::Signal;
};

// The trade list of a long run is tens of megabytes: like a series, its
// storage is kept and reused from run to run instead of being taken fresh
// from the system and faulted in again.
using TradeList = std::vector<Trade, BulkAllocator<Trade>>;

// One observable outcome of a kernel step. Only the fields of its kind are
// meaningful; the rest keep their defaults.
struct EngineEventRecord {
    enum Kind : uint8_t {
        Entered = 0,
        Exited,
        EntryRejected,
        OrderAccepted,
        OrderTriggered,
        OrderFilled,
        OrderCanceled,
        OrderExpired,
        OrderRejected,
        MarginCall,
        AlgoStarted,
        AlgoCompleted,
    };
    Kind kind = Entered;
    uint64_t idx = 0;
    double price = 0.0;      // entered, order_filled, margin_call (equity)
    double size = 0.0;       // entered, order_filled, margin_call (requirement)
    int8_t direction = 0;    // entered
    RejectReason reason = RejectReason::MaxPositions;  // entry_rejected
    const char* reject_text = nullptr;                 // order_rejected (static text)
    std::string client_order_id;                       // order and algo kinds
    uint64_t order_id = 0;                             // order and algo kinds
    std::optional<Trade> trade;                        // exited

    static EngineEventRecord entered(uint64_t idx, double price, double size, int8_t dir) {
        EngineEventRecord e;
        e.kind = Entered;
        e.idx = idx;
        e.price = price;
        e.size = size;
        e.direction = dir;
        return e;
    }
    static EngineEventRecord exited(Trade t, uint64_t idx) {
        EngineEventRecord e;
        e.kind = Exited;
        e.idx = idx;
        e.trade = std::move(t);
        return e;
    }
    static EngineEventRecord entry_rejected(uint64_t idx, RejectReason r) {
        EngineEventRecord e;
        e.kind = EntryRejected;
        e.idx = idx;
        e.reason = r;
        return e;
    }
    static EngineEventRecord order(Kind k, std::string client_id, uint64_t idx, uint64_t order_id) {
        EngineEventRecord e;
        e.kind = k;
        e.client_order_id = std::move(client_id);
        e.idx = idx;
        e.order_id = order_id;
        return e;
    }
    static EngineEventRecord margin_call(uint64_t idx, double equity, double requirement) {
        EngineEventRecord e;
        e.kind = MarginCall;
        e.idx = idx;
        e.price = equity;
        e.size = requirement;
        return e;
    }
};

// Kind text of an outcome record ("entered", "order_filled", ...).
const char* event_kind_text(EngineEventRecord::Kind k);

inline void push_event(std::vector<EngineEventRecord>& events, EngineEventRecord rec) {
    events.push_back(std::move(rec));
}

}  // namespace tidemark
