// The bar step: one kernel advanced by one bar or trade print, stage by stage.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "core/lanes.h"
#include "core/numeric.h"
#include "core/session.h"
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
        note_entry(idx, direction, {EntryFill::Refused, *refusal, 0.0, 0.0}, out);
        return;
    }
    note_entry(idx, direction, open_position_from_intent(idx, bar, size, stop, target, atr), out);
}

void ExecutionKernel::close_all_at_basis(uint64_t idx, const Bar& bar, ExitReason reason,
                                         std::vector<EngineEventRecord>& out) {
    for (uint64_t id : snapshot_position_ids()) {
        const Position* pos = ledger.find(id);
        if (!pos) continue;
        close_in_step(id, close_basis(bar, pos->is_long()), reason, idx, bar.ts, bar.volume, out);
    }
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
        const auto at = static_cast<std::size_t>(pos - ledger.positions.data());
        Trade& t = exit_slot(idx, out);
        close_in_ledger_at(ledger, at, std::move(exit), t);
        book_close_cash(id, t, fee, price);
    }
    book.cancel_all(idx, out);
    if (entry_wanted) {
        ++refused_entries;
        note_entry(idx, direction, {EntryFill::Refused, RejectReason::Expired, 0.0, 0.0}, out);
    }
}

void ExecutionKernel::step_bar(uint64_t idx, const Bar& bar, const StepIntents& in, bool is_tick,
                               std::vector<EngineEventRecord>& out) {
    tick = is_tick;
    step_atr = in.atr;
    // Most steps of most runs: nothing held, nothing asked for.
    if (!in.entry && !in.exit && idle()) return;
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
            // The exit record is only built when a position closes: most bars
            // close nothing, and the record is large.
            std::optional<double> exit_price;
            ExitReason reason = ExitReason::Signal;
            if (take_stop) {
                exit_price = is_long ? std::min(bar.open, *pos->stop_price) : std::max(bar.open, *pos->stop_price);
                reason = ExitReason::StopLoss;
            } else if (target_hit) {
                const double t = *pos->target_price;
                exit_price =
                    limit_slippage != 0.0 ? (is_long ? t * (1.0 - limit_slippage) : t * (1.0 + limit_slippage)) : t;
                reason = ExitReason::TakeProfit;
            } else if (act_on_exit) {
                exit_price = close_basis(bar, is_long);
            }
            if (exit_price && close_in_step(id, *exit_price, reason, idx, bar.ts, bar.volume, out)) continue;
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
            close_in_step(id, close_basis(bar, pos->is_long()), ExitReason::Signal, idx, bar.ts, bar.volume, out);
        }
    }

    // B6. Maintenance margin. A call needs the equity below the
    // requirement read from the locks as well: an entry that fits, marked
    // at its own price, then never calls, not even by a rounding of the
    // value's reading, which is the one reported.
    if (own_margin_check && !ledger.flat() && !margin_call) {
        const double requirement = maintenance_margin(bar.close);
        if (requirement > 0.0) {
            const double eq = equity(bar.close);
            if (eq < requirement && eq < maintenance_margin(bar.close, MaintenanceBasis::Locks)) {
                margin_call = true;
                out.push_back(EngineEventRecord::margin_call(idx, eq, requirement));
                if (config.liquidate_on_margin_call) liquidate_all(idx, bar, out);
            }
        }
    }

    // B7. Working orders: expiry, triggers and fills. A run without typed
    // orders or schedules pays this one test for all the order stages.
    const bool order_work = book.any_working() || !twaps.empty();
    if (order_work) [[unlikely]] {
        if (book.any_working()) work_orders(idx, bar, out);
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

    // B9. Due TWAP slices. B10. Market orders of this step.
    if (order_work) [[unlikely]] {
        if (!twaps.empty()) release_twap_slices(idx, bar, out);
        if (book.any_working()) take_market_orders(idx, bar, deferring, out);
    }
}

void ExecutionKernel::step_bar_keeping_trades(uint64_t idx, const Bar& bar, const StepIntents& intents,
                                              TradeList& trades, std::vector<EngineEventRecord>& out) {
    // Cleared however the step ends: the list is the caller's only for it.
    struct Release {
        TradeList*& sink;
        ~Release() { sink = nullptr; }
    } release{trade_sink_};
    trade_sink_ = &trades;
    step_bar(idx, bar, intents, false, out);
}

bool ExecutionKernel::plain_fills() const {
    return account.kind == AccountType::Cash && !instrument && !(lot_size && *lot_size > 0) && !alloted_capital &&
           fee_model.kind == FeeModel::Percent && slippage_model.kind == SlippageModel::None &&
           stop_model.kind == StopModel::None && target_model.kind == TargetModel::None &&
           price_basis == price_basis::Close && fill_timing == FillTiming::SameBarClose;
}

bool ExecutionKernel::plain_step(uint64_t idx, int64_t ts, double close, const StepIntents& in, TradeList& trades) {
    if (in.entry == in.exit || in.stop || in.target || !nothing_pending()) return false;
    if (in.exit) {
        // The full step closes the one position at the close and stops there;
        // the extremes it moves first go with the position.
        if (ledger.positions.size() != 1) return false;
        const Position& pos = ledger.positions.front();
        if (!pos.open || pos.stop_price || pos.target_price) return false;
        tick = false;
        step_atr = in.atr;
        // close_position_at with nothing to slip, no multiplier and a flat
        // fee, which leaves the trade no breakdown.
        const int8_t dir = pos.direction;
        const double x = close - 0.0 * dir;
        const double fee = compute_fee(fee_model, dir != 1, x, pos.size);
        cash += (dir > 0 ? x * pos.size : pos.size * (2.0 * pos.entry_price - x)) - fee;
        ExitDetails exit;
        exit.exit_idx = idx;
        exit.exit_ts = ts;
        exit.exit_price = x;
        exit.entry_ts = pos.entry_ts;
        exit.exit_fee = fee;
        close_in_ledger_at(ledger, 0, std::move(exit), trades.emplace_back());
        return true;
    }
    if (!ledger.flat() || margin_call || drawdown_halt ||
        (max_positions && open_positions_override.value_or(0) >= *max_positions))
        return false;
    // open_position's sizing with nothing to slip, no multiplier (a product
    // with 1 is the number itself), no lots and all the cash available.
    const int8_t dir = direction;
    const double p = close + 0.0 * dir;
    const double avail = cash;
    const double v = p;
    const double cost = (1.0 + config.fees) * v;
    double q = in.size ? *in.size * avail / cost : avail / cost;
    if (!std::isfinite(p) || !std::isfinite(q) || !(q > 0)) return false;
    const bool buy = dir == 1;
    double fee = compute_fee(fee_model, buy, v, q);
    if (q * v + fee > avail) {
        q = largest_fitting_size(buy, v, v, avail, q, fee);
        if (!(q > 0)) return false;
        fee = compute_fee(fee_model, buy, v, q);
    }
    tick = false;
    step_atr = in.atr;
    ledger.positions.emplace_back(std::nullopt, std::nullopt, idx, p, q, p, p, fee, true, dir, std::nullopt,
                                  std::nullopt, ledger.next_position_id++, ts);
    cash -= q * v + fee;
    return true;
}

std::size_t ExecutionKernel::step_holding(std::span<const int64_t> ts, std::span<const double> high,
                                          std::span<const double> low, std::span<const double> close,
                                          double* equity_out) {
    // Several positions (a hedging ledger) are left to the full step.
    if (ledger.positions.size() != 1) return 0;
    const std::size_t n = std::min({ts.size(), high.size(), low.size(), close.size()});
    tick = false;
    const bool expires = instrument && instrument->expiration_ns;
    const bool trailing = stop_model.kind == StopModel::Trailing && ledger.positions.front().open;
    const bool watch_margin = !margin_call && account.kind != AccountType::Cash;
    // Most stretches watch fixed levels of a cash account's position: their
    // loop tests and values each bar and nothing else.
    if (!expires && !trailing && !watch_margin) return hold_stretch<false, false, false>(ts, high, low, close, n, equity_out);
    if (trailing) return hold_stretch<true, true, true>(ts, high, low, close, n, equity_out);
    return hold_stretch<false, true, true>(ts, high, low, close, n, equity_out);
}

namespace {

// How an open position is valued at a close: its gain under a margin
// account (nothing once closed), its worth under a cash account.
enum class Marking : uint8_t { MarginOpen, MarginClosed, CashLong, CashShort };

// A holding stretch with nothing to watch (no stop, no target, no margin,
// no expiry), a vector of lanes at a time: each bar's equity is written to
// `equity` as the full step forms it, and the extremes of the highs and lows
// are folded into `highest` and `lowest`.
//
// A maximum or a minimum is the same in whatever order its values are
// compared, unless two of them compare equal and differ, which only the two
// zeros do: an extreme that comes out a zero is found again bar by bar, in
// order.
template <std::size_t L>
[[gnu::always_inline]] inline void hold_unwatched_lanes(const double* high, const double* low, const double* close,
                                                        std::size_t n, Marking marking, double m, double entry,
                                                        double size, double dir, double cash, double* equity,
                                                        double& highest, double& lowest) {
    using V = lanes::F64<L>;
    double top = highest, bottom = lowest;
    // One loop per way of valuing, each forming the equity as the full step
    // does: the cash plus the sum, from 0, of the position's value.
    auto stretch = [&](auto how) {
        constexpr Marking kHow = decltype(how)::value;
        auto mark = [&](const auto& c, auto& eq) {
            if constexpr (kHow == Marking::CashLong) {
                eq = cash + (0.0 + m * c * size);
            } else if constexpr (kHow == Marking::CashShort) {
                eq = cash + (0.0 + m * size * (2.0 * entry - c));
            } else if constexpr (kHow == Marking::MarginOpen) {
                eq = cash + (0.0 + m * (c - entry) * size * dir);
            } else if constexpr (std::is_same_v<std::decay_t<decltype(eq)>, double>) {
                eq = cash + (0.0 + 0.0);
            } else {
                eq = lanes::splat<V>(cash + (0.0 + 0.0));
            }
        };
        if (n < L) {
            for (std::size_t j = 0; j < n; ++j) {
                mark(close[j], equity[j]);
                top = top < high[j] ? high[j] : top;
                bottom = low[j] < bottom ? low[j] : bottom;
            }
            return;
        }
        // A stretch that does not end on a whole vector ends with its last
        // L bars, taken again whole: the same equities, the same extremes.
        V hi = lanes::splat<V>(highest);
        V lo = lanes::splat<V>(lowest);
        for (std::size_t j = 0; j < n; j += L) {
            const std::size_t at = std::min(j, n - L);
            const V h = lanes::load<V>(high + at);
            const V l = lanes::load<V>(low + at);
            V eq;
            mark(lanes::load<V>(close + at), eq);
            lanes::store(equity + at, eq);
            hi = hi < h ? h : hi;
            lo = l < lo ? l : lo;
        }
        for (std::size_t k = 0; k < L; ++k) {
            top = top < hi[k] ? hi[k] : top;
            bottom = lo[k] < bottom ? lo[k] : bottom;
        }
    };
    switch (marking) {
        case Marking::CashLong: stretch(std::integral_constant<Marking, Marking::CashLong>{}); break;
        case Marking::CashShort: stretch(std::integral_constant<Marking, Marking::CashShort>{}); break;
        case Marking::MarginOpen: stretch(std::integral_constant<Marking, Marking::MarginOpen>{}); break;
        case Marking::MarginClosed: stretch(std::integral_constant<Marking, Marking::MarginClosed>{}); break;
    }
    if (top == 0.0 || bottom == 0.0) {
        top = highest;
        bottom = lowest;
        for (std::size_t k = 0; k < n; ++k) {
            top = std::max(top, high[k]);
            bottom = std::min(bottom, low[k]);
        }
    }
    highest = top;
    lowest = bottom;
}

TIDEMARK_LANE_VERSIONS(void, hold_unwatched,
                       (const double* high, const double* low, const double* close, std::size_t n, Marking marking,
                        double m, double entry, double size, double dir, double cash, double* equity,
                        double& highest, double& lowest),
                       hold_unwatched_lanes,
                       (high, low, close, n, marking, m, entry, size, dir, cash, equity, highest, lowest))

}  // namespace

template <bool kTrailing, bool kMargin, bool kExpiry>
std::size_t ExecutionKernel::hold_stretch(std::span<const int64_t> ts, std::span<const double> high,
                                          std::span<const double> low, std::span<const double> close,
                                          std::size_t n, double* equity_out) {
    const int64_t expiry = instrument && instrument->expiration_ns ? *instrument->expiration_ns : 0;
    const bool expires = kExpiry && instrument && instrument->expiration_ns;
    const double f = stop_model.value;
    const bool watch_margin = kMargin && !margin_call && account.kind != AccountType::Cash;
    // The position and the cash are copied out, so that the stores of the
    // equities cannot be taken for changes to them: the loop then keeps
    // everything in registers.
    Position& p = ledger.positions.front();
    const Position held = p;
    const double cash_now = cash;
    const double m = ledger.multiplier;
    const bool margin_account = account.kind == AccountType::Margin;
    const bool is_long = held.is_long();
    const bool watched = held.open;
    bool has_stop = watched && held.stop_price.has_value();
    double stop = has_stop ? *held.stop_price : 0.0;
    const bool has_target = watched && held.target_price.has_value();
    const double target = has_target ? *held.target_price : 0.0;
    // A long is stopped by the low and reaches its target with the high, a
    // short the other way round; a level it does not have is NaN, which no
    // price reaches.
    const double none = std::numeric_limits<double>::quiet_NaN();
    double low_level = is_long ? (has_stop ? stop : none) : (has_target ? target : none);
    double high_level = is_long ? (has_target ? target : none) : (has_stop ? stop : none);
    double highest = held.highest;
    double lowest = held.lowest;
    std::size_t i = 0;
    if (!kTrailing && !kMargin && !kExpiry && !has_stop && !has_target) {
        const Marking marking = margin_account ? (watched ? Marking::MarginOpen : Marking::MarginClosed)
                                               : (is_long ? Marking::CashLong : Marking::CashShort);
        hold_unwatched(high.data(), low.data(), close.data(), n, marking, m, held.entry_price, held.size,
                       static_cast<double>(held.direction), cash_now, equity_out, highest, lowest);
        i = n;
    } else {
        for (; i < n; ++i) {
            if (kExpiry && expires && ts[i] >= expiry) break;
            const double h = high[i];
            const double l = low[i];
            // Every test comes before any change, so that the bar the stretch
            // stops at is stepped in full from the state before it.
            if ((l <= low_level) | (h >= high_level)) break;
            const double c = close[i];
            double v = 0.0;
            v += marked_value(held, m, margin_account, c);
            const double eq = cash_now + v;
            if (kMargin && watch_margin) {
                const double requirement = maintenance_margin(c);
                if (requirement > 0.0 && eq < requirement) break;
            }
            highest = std::max(highest, h);
            lowest = std::min(lowest, l);
            // A stop moved here is first tested at the next bar, as in the full
            // step.
            if (kTrailing) {
                const double cand = is_long ? (1.0 - f) * highest : (1.0 + f) * lowest;
                if (!has_stop || (is_long ? cand > stop : cand < stop)) {
                    stop = cand;
                    has_stop = true;
                    (is_long ? low_level : high_level) = stop;
                }
            }
            equity_out[i] = eq;
        }
    }
    p.highest = highest;
    p.lowest = lowest;
    if (has_stop) p.stop_price = stop;
    return i;
}

// ---------------------------------------------------------------------------
// Order stages
// ---------------------------------------------------------------------------

namespace {

// The price a resting limit at `limit` fills at on this bar, if it is
// reached; `s` is the adverse limit slippage.
std::optional<double> limit_fill(bool buy, double limit, const Bar& bar, double s) {
    if (buy ? !(bar.low <= limit) : !(bar.high >= limit)) return std::nullopt;
    if (s == 0.0) return limit;
    return buy ? limit * (1.0 + s) : limit * (1.0 - s);
}

bool is_final_parent(OrderStatus s) {
    return s == OrderStatus::Canceled || s == OrderStatus::Expired || s == OrderStatus::Rejected;
}

}  // namespace

void ExecutionKernel::work_orders(uint64_t idx, const Bar& bar, std::vector<EngineEventRecord>& out) {
    const std::vector<std::size_t>& working = book.working();
    expiries_.clear();
    actions_.clear();
    walk_changes_.clear();
    // A child follows its parent's status as it was when the walk began: a
    // parent changed earlier in this walk reports its status before the
    // change.
    auto status_at_start = [this](uint64_t order_id) -> std::optional<OrderStatus> {
        const Order* p = book.find(order_id);
        if (!p) return std::nullopt;
        for (const auto& [id, before] : walk_changes_)
            if (id == order_id) return before;
        return p->status;
    };
    auto set_status = [this](Order& o, OrderStatus s) {
        walk_changes_.emplace_back(o.order_id, o.status);
        o.status = s;
    };
    const int64_t ts = bar.ts;
    const double s = limit_slippage;

    for (std::size_t i : working) {
        Order& o = book.orders[i];
        if (!is_working(o.status) || o.submitted_idx >= idx) continue;
        if (tick && latency_ns > 0 && saturating_add(o.submitted_ts, latency_ns) > ts) continue;
        const uint64_t id = o.order_id;
        if (o.parent_id) {
            const std::optional<OrderStatus> parent = status_at_start(*o.parent_id);
            if (!parent) continue;
            // A parent that ended with part of its quantity filled has
            // released its children like a filled one; the walk changes no
            // fill, so its filled quantity is the one it started with.
            const bool released =
                *parent == OrderStatus::Filled || (is_final_parent(*parent) && book.find(*o.parent_id)->filled > 0);
            if (!released && is_final_parent(*parent)) {
                set_status(o, OrderStatus::Canceled);
                actions_.push_back({OrderAction::Cancel, id, 0.0, nullptr});
                continue;
            }
            if (!released) continue;
        }
        const bool expires = o.tif == TimeInForce::Day
                                 ? trading_day(ts, tz_offset_ns) > trading_day(o.submitted_ts, tz_offset_ns)
                                 : o.tif == TimeInForce::Gtd && ts >= o.expire_ns;
        if (expires) {
            // Every expiring order ends here, also a market order not yet
            // taken: it must not fill after its expiry.
            set_status(o, OrderStatus::Expired);
            expiries_.push_back({OrderAction::Expire, id, 0.0, nullptr});
            continue;
        }
        // Plain market orders are taken after the entry intent; they are not
        // immediate-or-cancel candidates here.
        if (o.is_plain_market()) continue;

        const bool buy = o.is_buy();
        const OrderType& t = o.order_type;
        const bool triggered = o.status == OrderStatus::Triggered || o.status == OrderStatus::PartiallyFilled;
        std::optional<double> fill;
        bool trigger = false;
        switch (t.kind) {
            case OrderType::Market:
                if (o.tif == TimeInForce::AtOpen) {
                    if (!tick) fill = bar.open;
                } else if (o.tif == TimeInForce::AtClose) {
                    if (!tick) fill = bar.close;
                } else {
                    fill = bar.open;  // a bracket child
                }
                break;
            case OrderType::Limit:
                // A post-only order that would take liquidity at the first
                // open it meets is refused instead.
                if (o.post_only && o.submitted_idx + 1 == idx && (buy ? t.price >= bar.open : t.price <= bar.open)) {
                    set_status(o, OrderStatus::Rejected);
                    actions_.push_back({OrderAction::Reject, id, 0.0, "post_only"});
                    continue;
                }
                fill = limit_fill(buy, t.price, bar, s);
                break;
            case OrderType::StopMarket:
                if (buy ? bar.high >= t.trigger : bar.low <= t.trigger)
                    fill = buy ? std::max(bar.open, t.trigger) : std::min(bar.open, t.trigger);
                break;
            case OrderType::StopLimit:
                if (triggered) {
                    fill = limit_fill(buy, t.price, bar, s);
                } else {
                    trigger = buy ? bar.high >= t.trigger : bar.low <= t.trigger;
                }
                break;
            case OrderType::LimitIfTouched:
                if (triggered) {
                    fill = limit_fill(buy, t.price, bar, s);
                } else {
                    trigger = buy ? bar.low <= t.trigger : bar.high >= t.trigger;
                }
                break;
            case OrderType::MarketIfTouched:
                if (buy ? bar.low <= t.trigger : bar.high >= t.trigger)
                    fill = s != 0.0 ? (buy ? t.trigger * (1.0 + s) : t.trigger * (1.0 - s)) : t.trigger;
                break;
            case OrderType::MarketToLimit:
                fill = bar.open;
                break;
            case OrderType::TrailingStopMarket:
            case OrderType::TrailingStopLimit: {
                const bool stop_limit = t.kind == OrderType::TrailingStopLimit;
                if (stop_limit && triggered) {
                    fill = o.trail_limit ? limit_fill(buy, *o.trail_limit, bar, s) : std::optional<double>(bar.close);
                    break;
                }
                const double w = o.trail_mark ? (buy ? std::min(*o.trail_mark, bar.low) : std::max(*o.trail_mark, bar.high))
                                              : (buy ? bar.low : bar.high);
                o.trail_mark = w;
                const double off = t.offset.kind == TrailingOffset::Bps ? t.offset.value * w / 10000.0 : t.offset.value;
                const double level = buy ? w + off : w - off;
                if (!(buy ? bar.high >= level : bar.low <= level)) break;
                if (!stop_limit) {
                    fill = buy ? std::max(bar.open, level) : std::min(bar.open, level);
                } else {
                    o.trail_limit = buy ? level + t.limit_offset : level - t.limit_offset;
                    trigger = true;
                }
                break;
            }
        }
        if (fill) {
            actions_.push_back({OrderAction::Evaluate, id, *fill, nullptr});
        } else if (trigger) {
            if (o.status == OrderStatus::Accepted) set_status(o, OrderStatus::Triggered);
            actions_.push_back({OrderAction::Triggered, id, 0.0, nullptr});
        } else if (o.tif == TimeInForce::Ioc || o.tif == TimeInForce::Fok) {
            set_status(o, OrderStatus::Canceled);
            actions_.push_back({OrderAction::Cancel, id, 0.0, nullptr});
        }
    }
    for (const OrderAction& a : expiries_) match_order(idx, bar, a, out);
    for (const OrderAction& a : actions_) match_order(idx, bar, a, out);
}

void ExecutionKernel::release_twap_slices(uint64_t idx, const Bar& bar, std::vector<EngineEventRecord>& out) {
    for (TwapAlgo& a : twaps) {
        if (!a.active || a.sent >= a.slices || a.next_due_ns > bar.ts) continue;
        const uint32_t k = a.sent;
        a.sent = k + 1;
        a.next_due_ns = saturating_add(bar.ts, a.interval_ns);
        // The last slice takes the exact remainder, so the slices sum to the
        // total.
        const double cum = a.sent == a.slices ? a.units : a.units * a.sent / a.slices;
        OrderRequest r;
        r.side = a.side;
        r.sizing = Sizing::Units;
        r.quantity = cum - a.units * k / a.slices;
        r.order_type = a.order_type;
        r.tif = a.tif;
        r.expire_ns = a.expire_ns;
        r.submitted_idx = idx;
        r.submitted_ts = bar.ts;
        r.client_order_id = a.client_id + "#" + std::to_string(k);
        r.reduce_only = a.reduce_only;
        r.algo_id = a.algo_id;
        book.submit(std::move(r), events);
    }
    for (EngineEventRecord& e : events) out.push_back(std::move(e));
    events.clear();
    auto done = [](const TwapAlgo& a) { return a.sent >= a.slices || !a.active; };
    for (const TwapAlgo& a : twaps)
        if (done(a)) out.push_back(EngineEventRecord::order(EngineEventRecord::AlgoCompleted, a.client_id, idx, a.algo_id));
    std::erase_if(twaps, done);
}

void ExecutionKernel::take_market_orders(uint64_t idx, const Bar& bar, bool deferring,
                                         std::vector<EngineEventRecord>& out) {
    const std::vector<std::size_t>& working = book.working();
    auto accept = [&](Order& o) {
        o.status = OrderStatus::Accepted;
        out.push_back(EngineEventRecord::order(EngineEventRecord::OrderAccepted, o.client_order_id, idx, o.order_id));
    };
    // Under next-bar-open fills, this bar's orders are acknowledged now and
    // filled at the next bar.
    if (deferring) {
        for (std::size_t i : working) {
            Order& o = book.orders[i];
            if (o.is_plain_market() && o.submitted_idx == idx && o.status == OrderStatus::New) accept(o);
        }
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i : working) {
        Order& o = book.orders[i];
        if (!o.is_plain_market() || !is_working(o.status)) continue;
        // An order stamped with an earlier step is due as well: it must not
        // wait for ever.
        bool due;
        if (deferring) {
            due = o.submitted_idx < idx;
        } else if (!tick) {
            due = o.submitted_idx <= idx;
        } else {
            due = o.submitted_idx <= idx && saturating_add(o.submitted_ts, latency_ns) <= bar.ts;
        }
        if (!due) continue;
        if (o.status == OrderStatus::New) accept(o);
        match_order(idx, bar, {OrderAction::Evaluate, o.order_id, nan, nullptr}, out);
    }
}

void ExecutionKernel::liquidate_all(uint64_t idx, const Bar& bar, std::vector<EngineEventRecord>& out) {
    for (uint64_t id : snapshot_position_ids())
        close_in_step(id, bar.close, ExitReason::Liquidation, idx, bar.ts, bar.volume, out);
}

void ExecutionKernel::force_close_all(uint64_t idx, int64_t ts, double price, TradeList& into) {
    if (ledger.flat()) return;
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
        const auto at = static_cast<std::size_t>(pos - ledger.positions.data());
        Trade& t = into.emplace_back();
        close_in_ledger_at(ledger, at, std::move(exit), t);
        book_close_cash(id, t, 0.0, price);
    }
}

}  // namespace tidemark
