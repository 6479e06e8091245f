// The bar step: one kernel advanced by one bar or trade print, stage by stage.
#include <algorithm>
#include <cmath>

#include "execution/kernel.h"

namespace tidemark {

std::optional<RejectReason> ExecutionKernel::entry_gate(int64_t ts) const {
    if (instrument && instrument->activation_ns && ts < *instrument->activation_ns) return RejectReason::Inactive;
    if (margin_call) return RejectReason::MarginCall;
    if (drawdown_halt) return RejectReason::DrawdownHalt;
    if (max_positions) {
        // The kernel is flat when the gate runs, unless a portfolio owner
        // imposes its own count.
        const uint64_t open = open_positions_override.value_or(0);
        if (open >= *max_positions) return RejectReason::MaxPositions;
    }
    return std::nullopt;
}

void ExecutionKernel::gated_entry(uint64_t idx, const Bar& bar, std::optional<double> size,
                                  std::optional<double> stop, std::optional<double> target, double atr,
                                  std::vector<EngineEventRecord>& out) {
    if (auto refusal = entry_gate(bar.ts)) {
        ++refused_entries;
        out.push_back(EngineEventRecord::entry_rejected(idx, *refusal));
        return;
    }
    if (auto ev = open_position_from_intent(idx, bar, size, stop, target, atr)) out.push_back(std::move(*ev));
}

void ExecutionKernel::close_all_at_basis(uint64_t idx, const Bar& bar, ExitReason reason,
                                         std::vector<EngineEventRecord>& out) {
    for (uint64_t id : snapshot_position_ids()) {
        const Position* pos = ledger.find(id);
        if (!pos) continue;
        if (auto ev = close_position(id, close_basis(bar, pos->is_long()), reason, idx, bar.ts, bar.volume))
            out.push_back(std::move(*ev));
    }
}

std::vector<uint64_t> ExecutionKernel::cancel_all_orders(uint64_t idx, std::vector<EngineEventRecord>& out) {
    std::vector<uint64_t> ids;
    for (Order& o : orders) {
        if (!is_working(o.status)) continue;
        o.status = OrderStatus::Canceled;
        ids.push_back(o.order_id);
    }
    for (uint64_t id : ids) {
        for (const Order& o : orders) {
            if (o.order_id != id) continue;
            out.push_back(EngineEventRecord::order(EngineEventRecord::OrderCanceled, o.client_order_id, idx, id));
            break;
        }
    }
    return ids;
}

void ExecutionKernel::settle(uint64_t idx, const Bar& bar, bool entry_wanted, std::vector<EngineEventRecord>& out) {
    deferred.reset();
    double price = bar.close;
    if (instrument->is_option() && underlying_price) {
        const double u = *underlying_price;
        const double k = instrument->kind.strike;
        const double intrinsic = instrument->kind.right == OptionRight::Call ? std::max(u - k, 0.0)
                                                                            : std::max(k - u, 0.0);
        price = instrument->kind.binary ? (intrinsic > 0.0 ? 1.0 : 0.0) : intrinsic;
    }
    const double m = instrument_multiplier();
    for (uint64_t id : snapshot_position_ids()) {
        const Position* pos = ledger.find(id);
        if (!pos) continue;
        const double fee =
            instrument->settlement_fee > 0.0 ? instrument->settlement_fee * price * pos->size * m : 0.0;
        ExitDetails exit;
        exit.breakdown = pos->entry_breakdown;
        exit.exit_idx = idx;
        exit.exit_ts = bar.ts;
        exit.exit_price = price;
        exit.entry_ts = pos->entry_ts;
        exit.exit_fee = fee;
        exit.reason = ExitReason::Settlement;
        std::optional<Trade> trade = close_in_ledger(ledger, id, std::move(exit));
        book_close_cash(id, *trade, fee, price);
        out.push_back(EngineEventRecord::exited(std::move(*trade), idx));
    }
    cancel_all_orders(idx, out);
    if (entry_wanted) {
        ++refused_entries;
        out.push_back(EngineEventRecord::entry_rejected(idx, RejectReason::Expired));
    }
}

void ExecutionKernel::step_bar(uint64_t idx, const Bar& bar, const StepIntents& in, bool is_tick,
                               std::vector<EngineEventRecord>& out) {
    tick = is_tick;
    step_atr = in.atr;
    if (!events.empty()) {
        for (EngineEventRecord& e : events) out.push_back(std::move(e));
        events.clear();
    }

    // A. Settlement at expiry ends the step.
    if (instrument && instrument->expiration_ns && bar.ts >= *instrument->expiration_ns) {
        settle(idx, bar, in.entry, out);
        return;
    }

    // B1. Work deferred from the previous bar runs at this bar's open.
    if (!is_tick && deferred) {
        DeferredIntent d = *deferred;
        deferred.reset();
        if (d.exit && !ledger.flat()) close_all_at_basis(idx, bar, ExitReason::Signal, out);
        if (d.has_entry && ledger.flat()) gated_entry(idx, bar, d.size, d.stop, d.target, d.atr, out);
    }

    // B2. Extremes since entry.
    for (Position& p : ledger.positions) {
        p.highest = std::max(p.highest, bar.high);
        p.lowest = std::min(p.lowest, bar.low);
    }

    // B3. Under next-bar-open fills a bar defers its exit intent.
    const bool deferring = !is_tick && fill_timing == FillTiming::NextBarOpen;
    bool act_on_exit = in.exit;
    if (deferring && in.exit) {
        if (!deferred) deferred.emplace();
        deferred->exit = true;
        act_on_exit = false;
    }

    // B4. Stops, targets and exits, then the trailing ratchet.
    if (!ledger.flat()) {
        const bool trailing = stop_model.kind == StopModel::Trailing;
        for (uint64_t id : snapshot_position_ids()) {
            const Position* pos = ledger.find(id);
            if (!pos) continue;
            const bool is_long = pos->is_long();
            const bool stop_hit = pos->stop_price && (is_long ? bar.low <= *pos->stop_price : bar.high >= *pos->stop_price);
            const bool target_hit =
                pos->target_price && (is_long ? bar.high >= *pos->target_price : bar.low <= *pos->target_price);
            bool take_stop = stop_hit;
            if (stop_hit && target_hit && config.bar_path_adaptive) {
                // The bar ran to the target first when it closed against the
                // position's direction.
                const bool target_first = is_long ? bar.close < bar.open : bar.close >= bar.open;
                take_stop = !target_first;
            }
            std::optional<EngineEventRecord> ev;
            if (take_stop) {
                const double px = is_long ? std::min(bar.open, *pos->stop_price) : std::max(bar.open, *pos->stop_price);
                ev = close_position(id, px, ExitReason::StopLoss, idx, bar.ts, bar.volume);
            } else if (target_hit) {
                const double t = *pos->target_price;
                const double px =
                    limit_slippage != 0.0 ? (is_long ? t * (1.0 - limit_slippage) : t * (1.0 + limit_slippage)) : t;
                ev = close_position(id, px, ExitReason::TakeProfit, idx, bar.ts, bar.volume);
            } else if (act_on_exit) {
                ev = close_position(id, close_basis(bar, is_long), ExitReason::Signal, idx, bar.ts, bar.volume);
            }
            if (ev) {
                out.push_back(std::move(*ev));
                continue;
            }
            if (trailing) {
                Position* p = ledger.find(id);
                const double f = stop_model.value;
                const double cand = is_long ? (1.0 - f) * p->highest : (1.0 + f) * p->lowest;
                if (!p->stop_price || (is_long ? cand > *p->stop_price : cand < *p->stop_price)) p->stop_price = cand;
            }
        }
    }

    // B5. Closes requested between steps.
    if (!close_requests.empty()) {
        std::vector<uint64_t> requests;
        requests.swap(close_requests);
        for (uint64_t id : requests) {
            const Position* pos = ledger.find(id);
            if (!pos) continue;
            if (auto ev = close_position(id, close_basis(bar, pos->is_long()), ExitReason::Signal, idx, bar.ts,
                                         bar.volume))
                out.push_back(std::move(*ev));
        }
    }

    // B6. Maintenance margin.
    if (!ledger.flat() && !margin_call) {
        const double requirement = maintenance_margin(bar.close);
        if (requirement > 0.0) {
            const double eq = equity(bar.close);
            if (eq < requirement) {
                margin_call = true;
                out.push_back(EngineEventRecord::margin_call(idx, eq, requirement));
                if (config.liquidate_on_margin_call) liquidate_all(idx, bar, out);
            }
        }
    }

    // B8. The entry intent.
    if (in.entry) {
        if (deferring) {
            if (!deferred) deferred.emplace();
            deferred->has_entry = true;
            deferred->size = in.size;
            deferred->stop = in.stop;
            deferred->target = in.target;
            deferred->atr = in.atr;
        } else if (ledger.flat()) {
            gated_entry(idx, bar, in.size, in.stop, in.target, in.atr, out);
        }
    }
}

void ExecutionKernel::liquidate_all(uint64_t idx, const Bar& bar, std::vector<EngineEventRecord>& out) {
    for (uint64_t id : snapshot_position_ids()) {
        if (auto ev = close_position(id, bar.close, ExitReason::Liquidation, idx, bar.ts, bar.volume))
            out.push_back(std::move(*ev));
    }
}

std::vector<Trade> ExecutionKernel::force_close_all(uint64_t idx, int64_t ts, double price) {
    std::vector<Trade> trades;
    if (ledger.flat()) return trades;
    for (uint64_t id : snapshot_position_ids()) {
        const Position* pos = ledger.find(id);
        if (!pos) continue;
        ExitDetails exit;
        exit.breakdown = pos->entry_breakdown;
        exit.exit_idx = idx;
        exit.exit_ts = ts;
        exit.exit_price = price;
        exit.entry_ts = pos->entry_ts;
        exit.exit_fee = 0.0;
        exit.reason = ExitReason::EndOfData;
        std::optional<Trade> trade = close_in_ledger(ledger, id, std::move(exit));
        book_close_cash(id, *trade, 0.0, price);
        trades.push_back(std::move(*trade));
    }
    return trades;
}

}  // namespace tidemark
