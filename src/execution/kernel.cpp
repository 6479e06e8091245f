// Kernel construction, entry sizing, closing and margin.
#include "execution/kernel.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace tidemark {

double fill_price_basis(uint8_t code, const Bar& bar, bool buy, bool adverse) {
    switch (code) {
        case 0: return bar.close;
        case 1: return bar.open;
        case 2: return (bar.open + bar.high + bar.low + bar.close) * 0.25;
        case 3:
        case 4: return (bar.high + bar.low + bar.close) / 3.0;
        default: {
            const bool high_side = (buy == adverse);  // buy+adverse or sell+not adverse
            const bool take_high = code == 5 ? high_side : !high_side;
            return take_high ? bar.high : bar.low;
        }
    }
}

ExecutionKernel::ExecutionKernel(const BacktestConfig& cfg, FeeModel fees, SlippageModel slippage, uint8_t basis,
                                 std::string symbol, int8_t dir, const InstrumentConfig* ic)
    : config(cfg),
      stop_model(effective_stop(cfg, ic)),
      target_model(effective_target(cfg, ic)),
      slippage_model(slippage),
      tz_offset_ns(cfg.session_tz_offset_ns),
      latency_ns(std::max<int64_t>(cfg.order_latency_ns, 0)),
      fee_model(fees),
      limit_slippage(cfg.limit_slippage),
      cash(cfg.initial_capital),
      rng_state(cfg.fill_seed),
      fill_timing(cfg.resolved_fill_timing()),
      direction(dir),
      price_basis(basis) {
    ledger.symbol = std::move(symbol);
    if (ic) {
        alloted_capital = ic->alloted_capital;
        lot_size = ic->lot_size;
    }
}

const std::vector<uint64_t>& ExecutionKernel::snapshot_position_ids() {
    id_scratch_.clear();
    for (const Position& p : ledger.positions)
        if (p.open) id_scratch_.push_back(p.position_id);
    return id_scratch_;
}

double ExecutionKernel::free_cash() const {
    double free = cash;
    if (account.kind == AccountType::Margin)
        for (const auto& [id, amount] : locked_margin) free -= amount;
    return free;
}

double ExecutionKernel::locked_margin_total() const {
    // In the ledger's order, the order maintenance_margin sums in: where a
    // position's requirement is its lock, the two sums then round alike.
    double total = 0.0;
    if (locked_margin.empty()) return total;
    for (const Position& p : ledger.positions) {
        auto it = locked_margin.find(p.position_id);
        if (it != locked_margin.end()) total += it->second;
    }
    return total;
}

double ExecutionKernel::available_capital() const {
    const double avail = free_cash();
    return alloted_capital ? std::min(avail, *alloted_capital) : avail;
}

namespace {
// Snap `value` to a multiple of `step` when it is within a relative 1e-9 of
// one; otherwise take the multiple below (or above, for `ceil_otherwise`).
double snap_to(double value, double step, bool ceil_otherwise) {
    const double r = value / step;
    const double a = std::round(r);  // halves away from zero
    if (std::fabs(r - a) < std::max(std::fabs(a), 1.0) * 1e-9) return step * a;
    return step * (ceil_otherwise ? std::ceil(r) : std::floor(r));
}
}  // namespace

namespace {
// The largest double in [lo, hi) at which `fits` holds, for a `fits` that
// holds at `lo` and, once false, stays false as its argument grows. Positive
// doubles are ordered like their bit patterns, so the search runs over those:
// it gallops out from `guess` to a bracket, then halves it.
template <class Fits>
double last_fitting(double lo, double hi, double guess, Fits fits) {
    if (!(lo < hi)) return lo;
    auto bits = [](double x) { return std::bit_cast<uint64_t>(x); };
    auto value = [](uint64_t b) { return std::bit_cast<double>(b); };
    uint64_t l = bits(lo);  // fits
    uint64_t h = bits(hi);  // the end, never tested
    if (h - l <= 1) return lo;
    const uint64_t g = std::clamp(guess > lo ? bits(guess) : l + 1, l + 1, h - 1);
    if (fits(value(g))) {
        l = g;
        for (uint64_t step = 1; step < h - l; step *= 2) {
            if (!fits(value(l + step))) {
                h = l + step;
                break;
            }
            l += step;
        }
    } else {
        h = g;
        for (uint64_t step = 1; step < h - l; step *= 2) {
            if (fits(value(h - step))) {
                l = h - step;
                break;
            }
            h -= step;
        }
    }
    while (h - l > 1) {
        const uint64_t m = l + (h - l) / 2;
        if (fits(value(m))) {
            l = m;
        } else {
            h = m;
        }
    }
    return value(l);
}

// The largest of the two doubles below `g`, `g` and the two above at which a
// `fits` that, once false, stays false as its argument grows holds, when the
// first of them fits and the last does not; nothing otherwise. The five are
// tested side by side.
template <class Fits>
std::optional<double> last_fitting_near(double g, Fits fits) {
    const uint64_t b = std::bit_cast<uint64_t>(g);
    bool f[5];
    for (uint64_t k = 0; k < 5; ++k) f[k] = fits(std::bit_cast<double>(b - 2 + k));
    if (!f[0] || f[4]) return std::nullopt;
    return std::bit_cast<double>(b - 2 + static_cast<uint64_t>(f[1] + f[2] + f[3]));
}

// The largest size below `q` at which the account funds the entry, given
// that it does not at `q`, where it reads `free_at_q` (below 0) after an
// entry sized from `budget` of free capital; `free_at(c)` reads it with the
// entry at `c`. Nothing when no size above 0 is funded. A lock in proportion
// to the size puts the answer at the first guess (the account's own rounding
// leaves it a step or two below); a lock that grows otherwise (a group of
// option legs margined together) is bracketed by halving, and when it grows
// in a straight line the bracket's ends point at the answer.
template <class FreeAt>
std::optional<double> largest_funded_size(double q, double free_at_q, double budget, FreeAt free_at) {
    auto funded = [&](double c) { return free_at(c) >= 0.0; };
    double guess = q * (budget / (budget - free_at_q));
    double lo = guess > 0 && guess < q ? guess : q / 2;
    double at_lo = free_at(lo);
    for (int i = 0; i < 64 && lo > 0 && !(at_lo >= 0.0); ++i) {
        lo /= 2;
        at_lo = lo > 0 ? free_at(lo) : 0.0;
    }
    if (!(lo > 0) || !(at_lo >= 0.0)) return std::nullopt;
    double hi = q, at_hi = free_at_q;
    for (int i = 0; i < 4 && at_lo > 0.0; ++i) {
        guess = lo + (hi - lo) * (at_lo / (at_lo - at_hi));
        if (!(guess > lo && guess < hi)) break;
        const double at = free_at(guess);
        if (at >= 0.0) {
            lo = guess;
            at_lo = at;
        } else {
            hi = guess;
            at_hi = at;
        }
    }
    return last_fitting(lo, hi, guess, funded);
}
}  // namespace

double ExecutionKernel::largest_fitting_size(bool buy, double v, double outlay, double avail, double q,
                                             double fee_at_q) const {
    auto total = [&](double c) {
        const double qq = round_quantity(c);
        return qq * outlay + compute_fee(fee_model, buy, v, qq);
    };
    auto fits = [&](double c) { return total(c) <= avail; };
    // Proportional cuts bracket the answer quickly (a flat fee that matches
    // the allowance is off by rounding only); bisection then finds the
    // largest quantity that fits.
    double hi = q;
    double lo = q * (avail / (q * outlay + fee_at_q));
    // With a positive price and a fee that grows with the quantity, the cost
    // grows with it too, so the bisection ends on the largest quantity below
    // `hi` that fits, whatever path it takes; from a bracket less than a
    // factor of two wide it gets there within its budget of steps. That
    // quantity is then found from a first guess instead, in a few tests
    // rather than fifty.
    const bool growing = v > 0 && std::isfinite(v) && outlay >= 0 && std::isfinite(outlay) &&
                         (fee_model.kind == FeeModel::Itemised || fee_model.rate >= 0.0);
    // With costs in proportion to the size as well, and no lots or
    // increments, the first cut is off by rounding only: the answer is most
    // often one of the sizes next to it, which are priced together, without
    // a branch waiting on each price in turn.
    const bool proportional = growing && !(lot_size && *lot_size > 0) &&
                              !(instrument && instrument->size_increment > 0) &&
                              (fee_model.kind == FeeModel::Percent ||
                               segment_rates(fee_model.segment).brokerage_flat == 0.0);
    if (proportional && lo >= hi / 2 && lo < hi) {
        if (const std::optional<double> c = last_fitting_near(lo, fits)) return *c;
    }
    double at_lo = lo > 0 ? total(lo) : 0.0;
    for (int i = 0; i < 8 && lo > 0 && at_lo > avail; ++i) {
        lo *= avail / at_lo;
        at_lo = lo > 0 ? total(lo) : 0.0;
    }
    if (!(lo > 0) || at_lo > avail) lo = 0.0;
    if (growing && lo > 0 && lo >= hi / 2) {
        // `hi` was priced above, unless rounding it moves it.
        const double at_hi = round_quantity(hi) == hi ? hi * outlay + fee_at_q : total(hi);
        const double guess = at_hi > at_lo ? lo + (hi - lo) * ((avail - at_lo) / (at_hi - at_lo)) : lo;
        return last_fitting(lo, hi, guess, fits);
    }
    for (int i = 0; i < 128; ++i) {
        const double mid = lo + (hi - lo) / 2;
        if (mid <= lo || mid >= hi) break;
        if (fits(mid)) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return lo;
}

namespace {
// The largest index in [lo, hi] at which `left` (what an entry of that size
// leaves free, fitting when 0 or above) fits, for a `left` that rises to one
// peak (or plateau) over the range and falls after it. Nothing when none
// fits.
template <class Left>
std::optional<uint64_t> last_fit_on_peak(uint64_t lo, uint64_t hi, Left left) {
    if (lo > hi) return std::nullopt;
    if (left(hi) >= 0.0) return hi;
    if (!(left(lo) >= 0.0)) {
        // Both ends fail: only the peak can fit. Narrowed by thirds, a pair
        // of equal readings bracketing it.
        uint64_t a = lo, b = hi;
        std::optional<uint64_t> found;
        while (!found && b - a > 2) {
            const uint64_t m1 = a + (b - a) / 3, m2 = b - (b - a) / 3;
            const double v1 = left(m1), v2 = left(m2);
            if (v1 >= 0.0) {
                found = m1;
            } else if (v2 >= 0.0) {
                found = m2;
            } else if (v1 < v2) {
                a = m1;
            } else if (v1 > v2) {
                b = m2;
            } else {
                a = m1;
                b = m2;
            }
        }
        for (uint64_t i = a + 1; !found && i < b; ++i)
            if (left(i) >= 0.0) found = i;
        if (!found) return std::nullopt;
        lo = *found;
    }
    // Fits at lo, not at hi, and falls in between once it fails.
    while (hi - lo > 1) {
        const uint64_t m = lo + (hi - lo) / 2;
        if (left(m) >= 0.0) {
            lo = m;
        } else {
            hi = m;
        }
    }
    return lo;
}
}  // namespace

ExecutionKernel::GroupFit ExecutionKernel::size_in_group(uint64_t idx, int64_t ts, int8_t dir, double p, double v,
                                                         const UnitCost& unit, EntrySizing sizing,
                                                         bool explicit_quantity, double amount,
                                                         const GroupedEntry& group) {
    const bool buy = dir == 1;
    const double unit_margin = unit.margin;
    const RejectReason no_size = unit.own_margin_rate ? RejectReason::InsufficientMargin : RejectReason::ZeroSize;
    // The part of the free capital the entry may take: all of it, a
    // fraction, or an allotment smaller than it. What it must leave free is
    // the rest.
    const double share = explicit_quantity || sizing == EntrySizing::All ? 1.0 : amount;
    if (!(share > 0)) return {GroupFit::Refused, no_size, 0.0};
    const double avail = available_capital();
    const bool allotted = alloted_capital && *alloted_capital < free_cash();
    const double keep = share < 1.0 || allotted ? std::max(account_free_capital() - share * avail, 0.0) : 0.0;

    // A trial position, placed as the entry places it, for the lender to
    // read the account with; taken back before returning.
    const double cash_before = cash;
    Position& pos = ledger.positions.emplace_back(std::nullopt, std::nullopt, idx, p, 0.0, p, p, 0.0, true, dir,
                                                  std::nullopt, std::nullopt, ledger.next_position_id++, ts);
    const uint64_t id = pos.position_id;
    double& locked = locked_margin[id];
    auto left = [&](double size) {
        pos.size = size;
        cash = cash_before - compute_fee(fee_model, buy, v, size);
        locked = size * unit_margin;
        return account_free_capital() - keep;
    };
    auto take_back = [&](GroupFit fit) {
        locked_margin.erase(id);
        ledger.positions.pop_back();
        --ledger.next_position_id;
        cash = cash_before;
        return fit;
    };

    if (explicit_quantity) {
        const double q = round_quantity(amount);
        if (!std::isfinite(q) || !(q > 0)) return take_back({GroupFit::Refused, no_size, 0.0});
        if (left(q) >= 0.0) return take_back({GroupFit::Sized, RejectReason::ZeroSize, q});
        return take_back({GroupFit::Refused, RejectReason::InsufficientCapital, 0.0});
    }

    // Sizes are searched by index: whole lots, or the bit patterns of
    // positive doubles, which grow with the size they stand for.
    const bool lots = lot_size && *lot_size > 0;
    const double increment = instrument && instrument->size_increment > 0 ? instrument->size_increment : 0.0;
    auto size_of = [&](uint64_t i) {
        return round_quantity(lots ? static_cast<double>(i) * *lot_size : std::bit_cast<double>(i));
    };
    auto index_of = [&](double size) -> uint64_t {
        if (lots) return static_cast<uint64_t>(std::clamp(std::floor(size / *lot_size), 1.0, 0x1p52));
        return std::bit_cast<uint64_t>(std::max(size, std::numeric_limits<double>::denorm_min()));
    };
    auto left_at = [&](uint64_t i) {
        const double size = size_of(i);
        return size > 0 && std::isfinite(size) ? left(size) : -std::numeric_limits<double>::infinity();
    };
    const uint64_t first = lots ? 1 : index_of(increment > 0 ? increment : std::numeric_limits<double>::denorm_min());

    // Past the turn (if any) the group's margin is convex in the size, so
    // what the entry leaves rises to one peak and falls: doubling the size
    // from the leg's own sizing finds where it has fallen below 0 for good
    // with the margin still growing. A margin that has not grown by 2^64
    // times that size never will (a credit that covers it): the fee alone
    // would bound the size, and the leg's own margin sizes it instead. The
    // sizes next to the turn are tried on their own.
    std::optional<uint64_t> turn;
    if (group.turn && *group.turn >= size_of(first)) turn = index_of(*group.turn);
    const uint64_t start = turn ? *turn + 2 : first;
    double from = round_quantity(share * avail / unit.cost);
    if (!(from > 0) || !std::isfinite(from)) from = config.initial_capital / unit.cost;
    if (!(from > 0) || !std::isfinite(from)) from = 1.0;
    auto locks_more = [&](uint64_t i, double left_i) {
        return -(left_i + compute_fee(fee_model, buy, v, size_of(i)));
    };
    uint64_t at = std::max(start, index_of(from));
    double at_left = left_at(at);
    std::optional<uint64_t> end;
    for (int doubling = 0; doubling < 64 && !end; ++doubling) {
        const double next_size = 2.0 * size_of(at);
        if (!std::isfinite(next_size) || (lots && at > (uint64_t{1} << 51))) break;
        const uint64_t next = std::max(index_of(next_size), at + 1);
        const double next_left = left_at(next);
        if (next_left < 0.0 && next_left < at_left && locks_more(next, next_left) > locks_more(at, at_left))
            end = next;
        at = next;
        at_left = next_left;
    }
    if (!end) return take_back({GroupFit::Unbounded, RejectReason::ZeroSize, 0.0});

    std::optional<uint64_t> fit = last_fit_on_peak(start, *end, left_at);
    for (uint64_t d = 0; turn && !fit && d < 3 && d <= *turn + 1 - first; ++d)
        if (left_at(*turn + 1 - d) >= 0.0) fit = *turn + 1 - d;
    if (!fit && turn && *turn >= first + 2) fit = last_fit_on_peak(first, *turn - 2, left_at);
    if (!fit) return take_back({GroupFit::Refused, no_size, 0.0});
    const double size = size_of(*fit);
    // What a credit lets through beside a pool that is all but spent can be
    // a sliver that the leg's own cost puts below the pool's residue: it is
    // refused as such.
    if (size * unit.cost < min_entry_budget) return take_back({GroupFit::Refused, RejectReason::ZeroSize, 0.0});
    return take_back({GroupFit::Sized, RejectReason::ZeroSize, size});
}

double ExecutionKernel::round_quantity(double q) const {
    if (lot_size && *lot_size > 0) q = *lot_size * std::floor(q / *lot_size);
    if (instrument && instrument->size_increment > 0) q = snap_to(q, instrument->size_increment, false);
    return q;
}

double ExecutionKernel::align_level(double level, bool is_long) const {
    if (!instrument || !(instrument->price_increment > 0)) return level;
    return snap_to(level, instrument->price_increment, !is_long);
}

ExecutionKernel::UnitCost ExecutionKernel::unit_cost(int8_t dir, double v) const {
    // The flat fee fraction is the sizing allowance even under itemised costs.
    const double f = config.fees;
    UnitCost u;
    if (account.kind != AccountType::Margin) {
        u.cost = (1.0 + f) * v;
    } else if (instrument && instrument->is_option() && dir < 0 &&
               instrument->span_pct + instrument->exposure_pct > 0) {
        u.margin = instrument_multiplier() * (instrument->span_pct + instrument->exposure_pct) * instrument->kind.strike;
        u.cost = f * v + u.margin;
        u.own_margin_rate = true;
    } else {
        u.own_margin_rate = instrument && instrument->margin_init > 0;
        const double r = initial_margin_rate();
        u.margin = v * r;
        u.cost = v * (f + r);
    }
    return u;
}

double ExecutionKernel::close_proceeds(int8_t dir, double size, double entry_price, double exit_price) const {
    const double m = instrument_multiplier();
    // A cash-account short was debited like a long at entry; handing back
    // twice the entry value less the exit value makes the account move with
    // the short's profit.
    if (dir > 0) return exit_price * size * m;
    return m * size * (2.0 * entry_price - exit_price);
}

double ExecutionKernel::maintenance_margin(double price, MaintenanceBasis basis) const {
    if (account.kind == AccountType::Cash) return 0.0;
    const bool own_rate = instrument && instrument->margin_maint > 0;
    // The initial rate only where it is read: the default maintenance rate
    // and a requirement taken from the locks.
    const double initial = own_rate && basis == MaintenanceBasis::Value ? 0.0 : initial_margin_rate();
    const double rate = own_rate ? instrument->margin_maint : initial / 2.0;
    // An unleveraged account has no maintenance requirement.
    const bool applies = own_rate || initial < 1.0;
    const bool premium = instrument && instrument->is_option() && instrument->span_pct + instrument->exposure_pct > 0;
    const double m = instrument_multiplier();
    double sum = 0.0;
    for (const Position& p : ledger.positions) {
        const bool sold_premium = !p.is_long() && premium;
        if (!sold_premium && !applies) continue;
        const double* lock = nullptr;
        if ((sold_premium || basis == MaintenanceBasis::Locks) && !locked_margin.empty()) {
            auto it = locked_margin.find(p.position_id);
            if (it != locked_margin.end()) lock = &it->second;
        }
        if (sold_premium) {
            if (lock) sum += *lock;
            continue;
        }
        if (lock) {
            // The lock was the initial rate of the position's value at its
            // entry: scaled by the mark over that price at the maintenance
            // rate. At the entry's own price and a maintenance rate equal to
            // the initial one the factor is exactly 1.
            const double factor = (price * rate) / (p.entry_price * initial);
            if (std::isfinite(factor)) {
                sum += *lock * factor;
                continue;
            }
        }
        sum += rate * m * price * p.size;
    }
    return sum;
}

std::optional<EngineEventRecord> ExecutionKernel::fill_market_order(uint64_t idx, int64_t ts, int8_t dir,
                                                                    EntrySizing sizing, bool explicit_quantity,
                                                                    double amount, double price, double volume,
                                                                    std::optional<double> stop_price,
                                                                    std::optional<double> target_price, double atr) {
    const EntryFill f = open_position(idx, ts, dir, sizing, explicit_quantity, amount, price, volume, stop_price,
                                      target_price, atr);
    switch (f.kind) {
        case EntryFill::Opened: return EngineEventRecord::entered(idx, f.price, f.size, dir);
        case EntryFill::Refused: return EngineEventRecord::entry_rejected(idx, f.reason);
        case EntryFill::NotTaken: break;
    }
    return std::nullopt;
}

ExecutionKernel::EntryFill ExecutionKernel::open_position(uint64_t idx, int64_t ts, int8_t dir, EntrySizing sizing,
                                                          bool explicit_quantity, double amount, double price,
                                                          double volume, std::optional<double> stop_price,
                                                          std::optional<double> target_price, double atr) {
    auto refused = [](RejectReason r) { return EntryFill{EntryFill::Refused, r, 0.0, 0.0}; };
    const double p = price + slippage_model.amount_for(price, volume) * dir;
    const double avail = available_capital();
    const double m = instrument_multiplier();
    const double v = p * m;
    const bool margin = account.kind == AccountType::Margin;
    const UnitCost unit = unit_cost(dir, v);
    const double unit_margin = unit.margin;
    const bool own_margin_rate = unit.own_margin_rate;

    if (!explicit_quantity && min_entry_budget > 0) {
        const double budget = free_cash();
        if (budget > 0 && budget < min_entry_budget) return refused(RejectReason::ZeroSize);
    }
    // An opening fill is a buy for a long. Only the fee is needed until the
    // position is made; its itemised parts are written into it then.
    const bool buy = dir == 1;
    // A leg the lender margins with its group is sized by what the group
    // will lock with it, which its own margin may far exceed (the second leg
    // of a straddle) or fall short of.
    std::optional<GroupedEntry> group;
    if (margin && lender && std::isfinite(p)) group = lender->grouped_entry(*this, dir, std::nullopt);
    double q = 0.0;
    if (group) {
        const GroupFit fit = size_in_group(idx, ts, dir, p, v, unit, sizing, explicit_quantity, amount, *group);
        if (fit.kind == GroupFit::Refused) return refused(fit.reason);
        if (fit.kind == GroupFit::Unbounded) group.reset();
        q = fit.size;
    }
    if (!group) {
        q = explicit_quantity ? amount : (sizing == EntrySizing::Fraction ? amount * avail / unit.cost : avail / unit.cost);
        q = round_quantity(q);
    }
    // A NaN price or size would poison cash for the rest of the run.
    if (!std::isfinite(p) || !std::isfinite(q)) return refused(RejectReason::ZeroSize);
    if (!(q > 0))
        return refused(margin && own_margin_rate ? RejectReason::InsufficientMargin : RejectReason::ZeroSize);

    double fee = compute_fee(fee_model, buy, v, q);
    // What one unit takes of the capital: its value, or its initial margin.
    const double outlay = margin ? unit_margin : v;
    if (group) {
        // Sized to fit above.
    } else if (explicit_quantity) {
        if (q * outlay + fee > avail) return refused(RejectReason::InsufficientCapital);
    } else if (q * outlay + fee > avail) {
        // A quantity found from the capital overdraws it when the sizing
        // allowance undershot the real fee, or when the fraction asked for
        // more than all of it: take the largest quantity (in whole lots and
        // increments) whose outlay and fee fit.
        q = round_quantity(largest_fitting_size(buy, v, outlay, avail, q, fee));
        if (!(q > 0))
            return refused(margin && own_margin_rate ? RejectReason::InsufficientMargin : RejectReason::ZeroSize);
        fee = compute_fee(fee_model, buy, v, q);
    }

    const bool is_long = dir > 0;
    std::optional<double> stop, target;
    switch (stop_model.kind) {
        case StopModel::Fixed:
        case StopModel::Trailing: stop = p * (1.0 - stop_model.value * dir); break;
        case StopModel::Atr:
            if (atr > 0) stop = p - atr * stop_model.value * dir;
            break;
        case StopModel::None: break;
    }
    switch (target_model.kind) {
        case TargetModel::Fixed: target = p * (1.0 + target_model.value * dir); break;
        case TargetModel::Atr:
            if (atr > 0) target = p + atr * target_model.value * dir;
            break;
        case TargetModel::RiskReward:
            if (stop) target = p + std::fabs(p - *stop) * dir * target_model.value;
            break;
        case TargetModel::None: break;
    }
    if (stop) stop = align_level(*stop, is_long);
    if (target) target = align_level(*target, is_long);
    if (stop_price) stop = stop_price;
    if (target_price) target = target_price;

    if (ledger.mode == PositionLedger::Netting && !ledger.flat()) return {};

    // Built where it is kept, member by member: a position is large, a copy
    // of one made on the stack is slow to move, and one cleared first and
    // then filled is written twice. The levels are set one part at a time:
    // copied whole, a level just put together on the stack is read back as
    // one piece before its two parts have reached memory, and the read waits.
    Position& pos = ledger.positions.emplace_back(std::nullopt, std::nullopt, idx, p, q, p, p, fee, true, dir,
                                                  std::nullopt, std::nullopt, ledger.next_position_id++, ts);
    if (stop) pos.stop_price = *stop;
    if (target) pos.target_price = *target;

    if (margin) {
        // The fit above adds the outlay and the fee in one order; the account
        // takes them off its free capital in another, and a pool may lock
        // more for the position than its margin (a group of option legs
        // margined together). What the account will read as free decides:
        // an entry that would leave it below 0 is cut to the largest size
        // that does not, or refused when its size was given.
        const double cash_before = cash;
        double& locked = locked_margin[pos.position_id];
        auto hold = [&](double size) {
            fee = compute_fee(fee_model, buy, v, size);
            pos.size = size;
            pos.entry_fees = fee;
            cash = cash_before - fee;
            locked = size * unit_margin;
        };
        hold(q);
        const double free_after = group ? 0.0 : account_free_capital();
        if (free_after < 0.0) {
            std::optional<double> cut;
            if (!explicit_quantity)
                cut = largest_funded_size(q, free_after, avail, [&](double c) {
                    hold(round_quantity(c));
                    return account_free_capital();
                });
            if (cut) q = round_quantity(*cut);
            if (!cut || !(q > 0)) {
                locked_margin.erase(pos.position_id);
                ledger.positions.pop_back();
                --ledger.next_position_id;
                cash = cash_before;
                if (explicit_quantity) return refused(RejectReason::InsufficientCapital);
                return refused(own_margin_rate ? RejectReason::InsufficientMargin : RejectReason::ZeroSize);
            }
            hold(q);
        }
    } else {
        cash -= q * v + fee;
    }
    fee_breakdown_into(fee_model, buy, v, q, pos.entry_breakdown);
    return {EntryFill::Opened, RejectReason::ZeroSize, p, q};
}

ExecutionKernel::EntryFill ExecutionKernel::open_position_from_intent(uint64_t idx, const Bar& bar,
                                                                      std::optional<double> size,
                                                                      std::optional<double> stop,
                                                                      std::optional<double> target, double atr) {
    const double price = fill_price_basis(price_basis, bar, direction > 0, true);
    return open_position(idx, bar.ts, direction, size ? EntrySizing::Fraction : EntrySizing::All, false,
                         size.value_or(1.0), price, bar.volume, stop, target, atr);
}

void ExecutionKernel::note_entry(uint64_t idx, int8_t dir, const EntryFill& fill,
                                 std::vector<EngineEventRecord>& out) {
    if (trade_sink_) return;
    if (fill.kind == EntryFill::Opened) {
        out.push_back(EngineEventRecord::entered(idx, fill.price, fill.size, dir));
    } else if (fill.kind == EntryFill::Refused) {
        out.push_back(EngineEventRecord::entry_rejected(idx, fill.reason));
    }
}

Trade& ExecutionKernel::exit_slot(uint64_t idx, std::vector<EngineEventRecord>& out) {
    if (trade_sink_) return trade_sink_->emplace_back();
    EngineEventRecord& e = out.emplace_back();
    e.kind = EngineEventRecord::Exited;
    e.idx = idx;
    return e.trade.emplace();
}

void ExecutionKernel::keep_exit(EngineEventRecord&& exited, std::vector<EngineEventRecord>& out) {
    if (trade_sink_) {
        trade_sink_->push_back(std::move(*exited.trade));
    } else {
        out.push_back(std::move(exited));
    }
}

std::optional<EngineEventRecord> ExecutionKernel::close_position(uint64_t position_id, double price,
                                                                 ExitReason reason, uint64_t idx, int64_t ts,
                                                                 double volume) {
    const Position* pos = ledger.find(position_id);
    if (!pos) return std::nullopt;
    std::optional<EngineEventRecord> ev(std::in_place);
    ev->kind = EngineEventRecord::Exited;
    ev->idx = idx;
    close_position_at(static_cast<std::size_t>(pos - ledger.positions.data()), price, reason, idx, ts, volume,
                      ev->trade.emplace());
    return ev;
}

bool ExecutionKernel::close_in_step(uint64_t position_id, double price, ExitReason reason, uint64_t idx, int64_t ts,
                                    double volume, std::vector<EngineEventRecord>& out) {
    const Position* pos = ledger.find(position_id);
    if (!pos) return false;
    const auto at = static_cast<std::size_t>(pos - ledger.positions.data());
    Trade& t = exit_slot(idx, out);
    close_position_at(at, price, reason, idx, ts, volume, t);
    return true;
}

void ExecutionKernel::close_position_at(std::size_t at, double price, ExitReason reason, uint64_t idx, int64_t ts,
                                        double volume, Trade& t) {
    const Position& pos = ledger.positions[at];
    const uint64_t position_id = pos.position_id;
    const int8_t dir = pos.direction;
    const double x = price - slippage_model.amount_for(price, volume) * dir;
    const double m = instrument_multiplier();
    // A closing fill is a buy for a short.
    const bool buy = dir != 1;
    const double fee = compute_fee(fee_model, buy, x * m, pos.size);

    // The trade's itemised costs are the entry's and the exit's, summed
    // where the trade keeps them.
    if (fee_model.kind == FeeModel::Itemised) t.fee_breakdown = pos.entry_breakdown;
    add_fee_breakdown(fee_model, buy, x * m, pos.size, t.fee_breakdown);
    ExitDetails exit;
    exit.exit_idx = idx;
    exit.exit_ts = ts;
    exit.exit_price = x;
    exit.entry_ts = pos.entry_ts;
    exit.exit_fee = fee;
    exit.reason = reason;
    close_in_ledger_at(ledger, at, std::move(exit), t);
    book_close_cash(position_id, t, fee, x);
}

void ExecutionKernel::book_close_cash(uint64_t position_id, const Trade& trade, double exit_fee, double exit_price) {
    if (account.kind == AccountType::Cash) {
        cash += close_proceeds(trade.direction, trade.size, trade.entry_price, exit_price) - exit_fee;
    } else {
        // The locked margin was never taken from cash; it is simply released.
        locked_margin.erase(position_id);
        cash += trade.pnl + (trade.fees - exit_fee);
    }
}

std::optional<EngineEventRecord> ExecutionKernel::fill_reduce_order(uint64_t idx, int64_t ts, uint64_t position_id,
                                                                    double quantity, double price, double volume) {
    Position* pos = ledger.find(position_id);
    if (!pos) return std::nullopt;
    const double s = pos->size;
    if (quantity >= s) return close_position(position_id, price, ExitReason::Order, idx, ts, volume);

    const int8_t dir = pos->direction;
    const double q = quantity;
    const double frac = q / s;
    const double x = price - slippage_model.amount_for(price, volume) * dir;
    const double m = instrument_multiplier();
    FeeCharge fee = compute_fee_breakdown(fee_model, dir, false, x * m, q);
    const double share = frac * pos->entry_fees;

    Trade t;
    if (fee.breakdown) {
        // The trade carries its share of the entry costs; the rest stays with
        // the position, so breakdowns always add up to the fees.
        t.fee_breakdown = *fee.breakdown;
        if (pos->entry_breakdown) {
            *t.fee_breakdown += pos->entry_breakdown->scaled(frac);
            pos->entry_breakdown = pos->entry_breakdown->scaled(1.0 - frac);
        }
    } else {
        pos->entry_breakdown.reset();
    }
    t.symbol = ledger.symbol;
    t.id = ledger.next_trade_id++;
    t.entry_idx = pos->entry_idx;
    t.exit_idx = idx;
    t.entry_price = pos->entry_price;
    t.exit_price = x;
    t.size = q;
    t.entry_fees = share;
    t.exit_fees = fee.fee;
    t.fees = fee.fee + share;
    t.pnl = q * (x - pos->entry_price) * ledger.multiplier * dir - t.fees;
    const double base = q * pos->entry_price * ledger.multiplier;
    t.pnl_pct = base > 0 ? t.pnl / base * 100.0 : 0.0;
    t.entry_time = pos->entry_ts;
    t.exit_time = ts;
    t.direction = dir;
    t.exit_reason = ExitReason::Order;

    pos->size = s - q;
    pos->entry_fees -= share;
    if (account.kind == AccountType::Cash) {
        cash += close_proceeds(dir, q, t.entry_price, x) - fee.fee;
    } else {
        auto it = locked_margin.find(position_id);
        if (it != locked_margin.end()) it->second *= (1.0 - frac);
        cash += t.pnl + share;
    }
    return EngineEventRecord::exited(std::move(t), idx);
}

}  // namespace tidemark
