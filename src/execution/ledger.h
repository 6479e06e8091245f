// Open positions of one kernel and the turning of a closed position into a
// trade record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/vocabulary.h"

namespace tidemark {

// Opening fills build a position from its members in this order.
struct Position {
    std::optional<double> stop_price;
    std::optional<double> target_price;
    uint64_t entry_idx = 0;
    double entry_price = 0.0;  // the average price once later fills add to it
    double size = 0.0;         // units held, positive
    double highest = 0.0;      // watermarks since entry
    double lowest = 0.0;
    double entry_fees = 0.0;   // entry costs not yet assigned to a trade
    bool open = true;
    int8_t direction = 1;
    std::optional<FeeBreakdown> entry_breakdown;
    std::optional<uint64_t> opening_order;
    uint64_t position_id = 0;
    int64_t entry_ts = 0;

    bool is_long() const { return direction > 0; }
};

// A copy of an open position as a session shows it; later steps leave it as
// it was taken.
struct PositionSnapshot {
    uint64_t position_id = 0;
    uint64_t entry_idx = 0;
    double entry_price = 0.0;
    double size = 0.0;
    int32_t direction = 1;
    std::optional<double> stop_price;
    std::optional<double> target_price;

    static PositionSnapshot of(const Position& p) {
        return {p.position_id, p.entry_idx, p.entry_price, p.size, p.direction, p.stop_price, p.target_price};
    }
};

// What a closing routine hands to the ledger.
struct ExitDetails {
    std::optional<FeeBreakdown> breakdown;
    uint64_t exit_idx = 0;
    int64_t exit_ts = 0;
    double exit_price = 0.0;
    int64_t entry_ts = 0;
    double exit_fee = 0.0;
    ExitReason reason = ExitReason::Signal;
};

struct PositionLedger {
    enum Mode : uint8_t { Netting = 0, Hedging = 1 };

    std::string symbol;
    std::vector<Position> positions;  // opening order
    uint64_t next_trade_id = 0;
    uint64_t next_position_id = 0;
    double multiplier = 1.0;
    Mode mode = Netting;

    bool flat() const { return positions.empty(); }
    std::size_t open_count() const { return positions.size(); }
    Position* find(uint64_t position_id);
    const Position* find(uint64_t position_id) const;
};

// Removes the position and returns its trade; nothing when the id is unknown.
std::optional<Trade> close_in_ledger(PositionLedger& ledger, uint64_t position_id, ExitDetails exit);
// The same for the position at `at` in `ledger.positions`, its trade written
// into `t` wherever the caller keeps it: a trade record is large, and moved
// from function to function it costs more than it takes to fill. Without a
// breakdown in `exit`, `t` keeps the one it holds (none, when fresh).
void close_in_ledger_at(PositionLedger& ledger, std::size_t at, ExitDetails&& exit, Trade& t);

}  // namespace tidemark
