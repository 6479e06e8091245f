#include "execution/ledger.h"

namespace tidemark {

Position* PositionLedger::find(uint64_t position_id) {
    for (Position& p : positions)
        if (p.position_id == position_id) return &p;
    return nullptr;
}

const Position* PositionLedger::find(uint64_t position_id) const {
    for (const Position& p : positions)
        if (p.position_id == position_id) return &p;
    return nullptr;
}

std::optional<Trade> close_in_ledger(PositionLedger& ledger, uint64_t position_id, ExitDetails exit) {
    const Position* pos = ledger.find(position_id);
    if (!pos) return std::nullopt;
    std::optional<Trade> out(std::in_place);
    close_in_ledger_at(ledger, static_cast<std::size_t>(pos - ledger.positions.data()), std::move(exit), *out);
    return out;
}

void close_in_ledger_at(PositionLedger& ledger, std::size_t at, ExitDetails&& exit, Trade& t) {
    const auto it = ledger.positions.begin() + static_cast<std::ptrdiff_t>(at);
    const Position& pos = *it;
    if (exit.breakdown) t.fee_breakdown = std::move(exit.breakdown);
    t.symbol = ledger.symbol;
    t.id = ledger.next_trade_id++;
    t.entry_idx = pos.entry_idx;
    t.exit_idx = exit.exit_idx;
    t.entry_price = pos.entry_price;
    t.exit_price = exit.exit_price;
    t.size = pos.size;
    t.pnl = pos.size * (exit.exit_price - pos.entry_price) * ledger.multiplier * pos.direction -
            (pos.entry_fees + exit.exit_fee);
    const double base = pos.entry_price * pos.size * ledger.multiplier;
    t.pnl_pct = base > 0 ? t.pnl / base * 100.0 : 0.0;
    t.entry_time = exit.entry_ts;
    t.exit_time = exit.exit_ts;
    t.fees = pos.entry_fees + exit.exit_fee;
    t.entry_fees = pos.entry_fees;
    t.exit_fees = exit.exit_fee;
    t.direction = pos.direction;
    t.exit_reason = exit.reason;
    ledger.positions.erase(it);
}

}  // namespace tidemark
