// The order book of one kernel: typed orders in submission order, and the
// queue positions of resting limit orders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/vocabulary.h"

namespace tidemark {

enum class Sizing : uint8_t { Units = 0, SizeFrac = 1, CloseAll = 2 };

struct Order {
    std::optional<double> stop_price;
    std::optional<double> target_price;
    std::optional<uint64_t> parent_id;
    // The TWAP schedule that released this order, if any.
    std::optional<uint64_t> algo_id;
    std::optional<uint64_t> oco_group;
    std::optional<double> trail_mark;
    std::optional<double> trail_limit;
    Sizing sizing = Sizing::Units;
    double quantity = 0.0;
    TimeInForce tif = TimeInForce::Gtc;
    int64_t expire_ns = 0;
    OrderType order_type;
    std::string client_order_id;
    uint64_t order_id = 0;
    uint64_t submitted_idx = 0;
    int64_t submitted_ts = 0;
    double filled = 0.0;
    Side side = Side::Buy;
    bool post_only = false;
    bool reduce_only = false;
    OrderStatus status = OrderStatus::New;
};

struct QueueEntry {
    uint64_t order_id = 0;
    double ahead = 0.0;
    double consumed = 0.0;
    double limit_price = 0.0;
    Side side = Side::Buy;
};

struct BookLevel {
    double price = 0.0;
    double size = 0.0;
};

// The last depth snapshot seen: up to five levels a side, best first.
struct DepthBook {
    BookLevel bids[5];
    BookLevel asks[5];
    uint8_t n_bids = 0;
    uint8_t n_asks = 0;
};

// Refuses an order: a working order becomes rejected (a final one keeps its
// status), and an "order_rejected" record with `reason` is appended whether
// or not the order was found.
void reject_order(std::vector<Order>& orders, std::vector<EngineEventRecord>& events, uint64_t idx,
                  uint64_t order_id, std::string_view client_order_id, const char* reason);

}  // namespace tidemark
