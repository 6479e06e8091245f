#include "strategies/spreads.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "core/errors.h"
#include "core/format.h"
#include "core/parallel.h"
#include "core/session.h"
#include "strategies/own_stats.h"

namespace tidemark {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// One leg during a run: its fixed scale and series, read once per run, and
// its state in the open position.
struct LegState {
    double quantity = 0.0;  // signed, in lots
    double lot_size = 0.0;
    const double* closes = nullptr;
    const double* opens = nullptr;  // set when opening premiums price fills
    bool settled = false;
    double entry_premium = 0.0;
    double premium = 0.0;  // marked now; frozen once settled

    // Value (or P&L, given a premium change) in currency: premium x quantity
    // x lot size, in that order.
    double value(double p) const { return p * quantity * lot_size; }
};

// The open position; at most one at a time. Its legs are kept in a vector
// made once per run.
struct OpenSpread {
    bool open = false;
    uint64_t entry_bar = 0;
    int64_t entry_time = 0;
    double entry_value = 0.0;
    double entry_fees = 0.0;
    std::optional<FeeBreakdown> entry_breakdown;
    double realised = 0.0;  // P&L of the legs settled so far
};

// Fees of one side of the spread: every leg when opening, the unsettled legs
// at their current premium when closing. A leg of no units (quantity 0 or lot
// size 0) trades nothing and pays nothing, not even a flat brokerage; a
// settled leg pays no exit fee (nor the tax due on an exercise).
FeeCharge side_fees(const FeeModel& model, const std::vector<LegState>& legs, bool opening) {
    FeeCharge out;
    for (const LegState& leg : legs) {
        const double qty = std::fabs(leg.quantity) * leg.lot_size;
        if (qty == 0.0 || (!opening && leg.settled)) continue;
        const double price = std::fabs(opening ? leg.entry_premium : leg.premium);
        // A bought leg is a long one: it buys to open and sells to close.
        const FeeCharge leg_fee = compute_fee_breakdown(model, leg.quantity > 0.0 ? 1 : -1, opening, price, qty);
        out.fee += leg_fee.fee;
        out.breakdown = round_trip_breakdown(out.breakdown, leg_fee.breakdown);
    }
    return out;
}

// P&L of the legs not yet settled, at their current premiums.
double unrealised_pnl(const std::vector<LegState>& legs, bool& any_unsettled) {
    double pnl = 0.0;
    any_unsettled = false;
    for (const LegState& leg : legs) {
        if (leg.settled) continue;
        any_unsettled = true;
        pnl += leg.value(leg.premium - leg.entry_premium);
    }
    return pnl;
}

// Prices the exit of the open position at the legs' current premiums and
// builds its trade; a settlement exit pays no exit fee.
Trade close_spread_trade(const SpreadParams& p, const OpenSpread& pos, const std::vector<LegState>& legs,
                         uint64_t id, uint64_t exit_bar, int64_t exit_time, ExitReason reason, double unrealised) {
    FeeCharge exit;
    if (reason != ExitReason::Settlement) exit = side_fees(p.fee_model, legs, false);
    double exit_value = 0.0;
    for (const LegState& leg : legs) exit_value += leg.value(leg.premium);

    Trade t;
    t.symbol = "SPREAD";
    t.id = id;
    t.entry_idx = pos.entry_bar;
    t.exit_idx = exit_bar;
    t.entry_price = pos.entry_value;
    t.exit_price = exit_value;
    t.size = 1.0;
    t.direction = 1;
    t.entry_time = pos.entry_time;
    t.exit_time = exit_time;
    t.entry_fees = pos.entry_fees;
    t.exit_fees = exit.fee;
    t.fees = pos.entry_fees + exit.fee;
    t.pnl = pos.realised + unrealised - pos.entry_fees - exit.fee;
    const double basis = std::fabs(pos.entry_value);
    t.pnl_pct = (basis == 0.0 || std::isnan(basis)) ? 0.0 : t.pnl / basis * 100.0;
    t.fee_breakdown = round_trip_breakdown(pos.entry_breakdown, exit.breakdown);
    t.exit_reason = reason;
    return t;
}

// Flags the first bar of each local day at or after the squareoff minute.
class SquareoffClock {
public:
    explicit SquareoffClock(const BacktestConfig& cfg)
        : minute_(cfg.squareoff_time_minutes), offset_(cfg.session_tz_offset_ns) {}

    bool is_squareoff_bar(int64_t ts) {
        if (!minute_) return false;
        if (local_minute_of_day(ts, offset_) < *minute_) return false;
        const int64_t day = trading_day(ts, offset_);
        if (have_last_ && day == last_day_) return false;
        // Out-of-order timestamps can come back to a day already squared off.
        if (!flagged_.insert(day).second) return false;
        have_last_ = true;
        last_day_ = day;
        return true;
    }

private:
    std::optional<uint32_t> minute_;
    int64_t offset_;
    bool have_last_ = false;
    int64_t last_day_ = 0;
    std::unordered_set<int64_t> flagged_;
};

// Marks equity, drawdown and return of each bar into curves sized for the
// run. The running state lives in locals of the bar loop (this object's
// address never escapes), so the loop keeps it in registers.
struct Marker {
    double* equity;
    double* drawdown;
    double* returns;
    double peak;
    double prev;
    double max_drawdown = 0.0;
    uint64_t run = 0;
    uint64_t longest = 0;

    void mark(std::size_t i, double value) {
        returns[i] = prev > 0.0 ? (value - prev) / prev : 0.0;
        prev = value;
        // A bar level with the peak counts as a bar under water.
        if (value > peak) {
            peak = value;
            run = 0;
        } else if (++run > longest) {
            longest = run;
        }
        const double dd = peak > 0.0 ? (peak - value) / peak * 100.0 : 0.0;
        if (dd > max_drawdown) max_drawdown = dd;
        equity[i] = value;
        drawdown[i] = dd;
    }
};

double ratio_or_limit(double num, double den) {
    if (den != 0.0) return num / den;
    return num > 0.0 ? kInf : 0.0;
}

// The statistics of a spread run. Trades whose entry value is 0 or NaN stay
// in the list but count nowhere: they have no return to speak of.
BacktestMetrics spread_metrics(const BacktestConfig& cfg, const TradeList& trades,
                               std::span<const double> returns, double max_drawdown, uint64_t drawdown_bars,
                               double final_cash) {
    BacktestMetrics m;
    const double capital = cfg.initial_capital;

    uint64_t n = 0, winners = 0, losers = 0, wins_run = 0, losses_run = 0;
    double gp = 0.0, gl = 0.0, fees = 0.0, pct_sum = 0.0, pct_sq = 0.0;
    double win_bars = 0.0, loss_bars = 0.0, bars = 0.0;
    double best = -kInf, worst = kInf;
    for (const Trade& t : trades) {
        if (t.entry_price == 0.0 || std::isnan(t.entry_price)) continue;
        ++n;
        fees += t.fees;
        const double pct = t.pnl_pct;
        pct_sum += pct;
        pct_sq += pct * pct;
        if (pct > best) best = pct;
        if (pct < worst) worst = pct;
        const double held = static_cast<double>(t.exit_idx) - static_cast<double>(t.entry_idx);
        bars += held;
        if (t.pnl > 0.0) {
            ++winners;
            gp += t.pnl;
            win_bars += held;
            losses_run = 0;
            if (++wins_run > m.max_consecutive_wins) m.max_consecutive_wins = wins_run;
        } else if (t.pnl < 0.0) {
            ++losers;
            gl += std::fabs(t.pnl);
            loss_bars += held;
            wins_run = 0;
            if (++losses_run > m.max_consecutive_losses) m.max_consecutive_losses = losses_run;
        }
    }

    m.total_trades = m.total_closed_trades = n;
    m.winning_trades = winners;
    m.losing_trades = losers;
    m.total_fees_paid = fees;
    m.start_value = capital;
    m.end_value = final_cash;
    m.total_return_pct = capital > 0.0 ? (final_cash - capital) / capital * 100.0 : 0.0;

    if (n > 0) {
        const double k = static_cast<double>(n);
        m.win_rate_pct = static_cast<double>(winners) / k * 100.0;
        m.best_trade_pct = std::isfinite(best) ? best : 0.0;
        m.worst_trade_pct = std::isfinite(worst) ? worst : 0.0;
        const double mean = pct_sum / k;
        m.avg_trade_return_pct = mean;
        double var = pct_sq / k - mean * mean;
        if (var < 0.0) var = 0.0;
        if (n >= 2 && var != 0.0) m.sqn = std::sqrt(k) * mean / std::sqrt(var);
        m.expectancy = (gp - gl) / k;
        m.avg_holding_period = bars / k;
    }
    m.profit_factor = ratio_or_limit(gp, gl);
    if (winners > 0) {
        m.avg_win_pct = gp / static_cast<double>(winners) / capital * 100.0;
        m.avg_winning_duration = win_bars / static_cast<double>(winners);
    }
    if (losers > 0) {
        m.avg_loss_pct = -(gl / static_cast<double>(losers)) / capital * 100.0;
        m.avg_losing_duration = loss_bars / static_cast<double>(losers);
    }
    const double avg_win = m.avg_win_pct.value_or(0.0);
    m.payoff_ratio = ratio_or_limit(avg_win, std::fabs(m.avg_loss_pct.value_or(0.0)));

    m.max_drawdown_pct = max_drawdown;
    m.max_drawdown_duration = drawdown_bars;
    m.calmar_ratio = ratio_or_limit(m.total_return_pct, m.max_drawdown_pct);
    const double gain = final_cash - capital;
    if (capital > 0.0 && m.max_drawdown_pct > 0.0) {
        m.recovery_factor = gain / (capital * m.max_drawdown_pct / 100.0);
    } else {
        m.recovery_factor = gain > 0.0 ? kInf : 0.0;
    }

    // Running mean and sample variance of the per-bar returns, NaN skipped.
    uint64_t count = 0;
    double mean = 0.0, m2 = 0.0, down = 0.0, gains = 0.0, losses = 0.0;
    for (double r : returns) {
        if (std::isnan(r)) continue;
        ++count;
        const double delta = r - mean;
        mean += delta / static_cast<double>(count);
        m2 += delta * (r - mean);
        if (r < 0.0) {
            down += r * r;
            losses += r;
        } else if (r > 0.0) {
            gains += r;
        }
    }
    // The spread statistics annualise with a fixed 252 periods; the run's own
    // annualisation settings do not apply.
    const SharpeSortino ratios = legacy_ratios(mean, m2, down, count);
    m.sharpe_ratio = ratios.sharpe;
    m.sortino_ratio = ratios.sortino;
    m.omega_ratio = ratio_or_limit(gains, std::fabs(losses));
    return m;
}

// The result of a run whose arrays do not fit: flat at the initial capital,
// no trades, every statistic 0 but the start and end values.
EngineResult flat_result(const BacktestConfig& cfg, std::size_t n) {
    EngineResult r;
    r.equity_curve.assign(n, cfg.initial_capital);
    r.drawdown_curve.assign(n, 0.0);
    r.returns.assign(n, 0.0);
    r.metrics.start_value = cfg.initial_capital;
    r.metrics.end_value = cfg.initial_capital;
    return r;
}

}  // namespace

std::optional<OptionRight> parse_option_right(std::string_view text) {
    if (upper_equals(text, "C") || upper_equals(text, "CE") || upper_equals(text, "CALL")) return OptionRight::Call;
    if (upper_equals(text, "P") || upper_equals(text, "PE") || upper_equals(text, "PUT")) return OptionRight::Put;
    return std::nullopt;
}

std::vector<SpreadLeg> spread_legs_from_configs(std::span<const LegConfig> configs, LegMessage style) {
    std::vector<SpreadLeg> legs;
    legs.reserve(configs.size());
    for (const LegConfig& c : configs) {
        const std::optional<OptionRight> right = parse_option_right(c.option_type);
        if (!right) {
            std::string msg = "unknown option type " + escape_text(c.option_type) + " for the leg at strike " +
                              fmt_shortest(c.strike) + "; expected ";
            if (style == LegMessage::Single) {
                msg += "one of CE/CALL/C or PE/PUT/P (case-insensitive). Defaulting would price a put as a call.";
            } else {
                msg += "CE/CALL/C or PE/PUT/P (case-insensitive).";
            }
            throw RuleError(msg);
        }
        legs.push_back(SpreadLeg{c.strike, c.lot_size, c.quantity, *right});
    }
    return legs;
}

std::optional<std::string> open_premiums_mirror_problem(const SeriesLengths& premiums,
                                                        const SeriesLengths& open_premiums) {
    bool mirrors = open_premiums.count == premiums.count;
    for (std::size_t l = 0; mirrors && l < open_premiums.count; ++l)
        mirrors = open_premiums.length(l) == premiums.length(l);
    if (mirrors) return std::nullopt;
    return "legs_open_premiums must mirror legs_premiums exactly -- same number of legs, same number of bars per leg";
}

std::optional<std::string> spread_shape_problem(const SpreadParams& p, std::size_t n, const SpreadArrays& a) {
    std::optional<SeriesLengths> opens;
    if (a.open_premiums) opens = SeriesLengths::of(*a.open_premiums);
    return spread_shape_problem(p, n, SeriesLengths::of(a.premiums), opens, a.entries.size(), a.exits.size());
}

std::optional<std::string> spread_shape_problem(const SpreadParams& p, std::size_t n, const SeriesLengths& premiums,
                                                const std::optional<SeriesLengths>& open_premiums,
                                                std::size_t entries, std::size_t exits) {
    const std::string bars = " bars but timestamps has " + std::to_string(n);
    if (premiums.count != p.legs.size())
        return "legs_premiums has " + std::to_string(premiums.count) + " series but there are " +
               std::to_string(p.legs.size()) + " legs; each leg needs its own premium series, matched by position.";
    for (std::size_t l = 0; l < premiums.count; ++l)
        if (premiums.length(l) != n)
            return "legs_premiums[" + std::to_string(l) + "] has " + std::to_string(premiums.length(l)) + bars;
    if (open_premiums) {
        if (open_premiums->count != premiums.count)
            return "legs_open_premiums has " + std::to_string(open_premiums->count) +
                   " series but legs_premiums has " + std::to_string(premiums.count);
        for (std::size_t l = 0; l < open_premiums->count; ++l)
            if (open_premiums->length(l) != n)
                return "legs_open_premiums[" + std::to_string(l) + "] has " +
                       std::to_string(open_premiums->length(l)) + bars;
    }
    if (entries != n) return "entries has " + std::to_string(entries) + bars;
    if (exits != n) return "exits has " + std::to_string(exits) + bars;
    if (p.leg_expiries && p.leg_expiries->size() != p.legs.size())
        return "leg_expiry_timestamps has " + std::to_string(p.leg_expiries->size()) + " entries but there are " +
               std::to_string(p.legs.size()) + " legs";
    return std::nullopt;
}

EngineResult run_spread_strategy(const SpreadParams& p, std::span<const int64_t> ts, const SpreadArrays& a) {
    const std::size_t n = ts.size();
    if (spread_shape_problem(p, n, a)) return flat_result(p.config, n);

    const BacktestConfig& cfg = p.config;
    const bool next_bar = cfg.resolved_fill_timing() == FillTiming::NextBarOpen;
    // Opening premiums price fills only when fills happen at the next open.
    const bool use_opens = next_bar && a.open_premiums;
    std::vector<LegState> legs(p.legs.size());
    for (std::size_t l = 0; l < legs.size(); ++l) {
        legs[l].quantity = static_cast<double>(p.legs[l].quantity);
        legs[l].lot_size = static_cast<double>(p.legs[l].lot_size);
        legs[l].closes = a.premiums[l].data();
        if (use_opens) legs[l].opens = (*a.open_premiums)[l].data();
    }
    const std::vector<int64_t>* expiries = p.leg_expiries ? &*p.leg_expiries : nullptr;
    // No entry at or after any leg's expiry.
    std::optional<int64_t> first_expiry;
    if (expiries)
        for (int64_t e : *expiries) first_expiry = first_expiry ? std::min(*first_expiry, e) : e;

    EngineResult r;
    r.equity_curve.resize(n);
    r.drawdown_curve.resize(n);
    r.returns.resize(n);
    Marker marker{r.equity_curve.data(), r.drawdown_curve.data(), r.returns.data(), cfg.initial_capital,
                  cfg.initial_capital};

    OpenSpread pos;
    TradeList trades;
    SquareoffClock squareoff(cfg);
    double cash = cfg.initial_capital;
    double unrealised = 0.0;  // of the open position's unsettled legs
    uint64_t next_id = 1;

    for (std::size_t i = 0; i < n; ++i) {
        // In next-bar mode a signal acts one bar later; the last bar's signals
        // have no bar to act on.
        const bool entry = next_bar ? (i > 0 && a.entries[i - 1]) : a.entries[i] != 0;
        const bool exit = next_bar ? (i > 0 && a.exits[i - 1]) : a.exits[i] != 0;
        const bool squareoff_bar = squareoff.is_squareoff_bar(ts[i]);

        if (pos.open) {
            for (LegState& leg : legs)
                if (!leg.settled) leg.premium = leg.closes[i];
            if (expiries) {
                for (std::size_t l = 0; l < legs.size(); ++l) {
                    LegState& leg = legs[l];
                    if (leg.settled || (*expiries)[l] > ts[i]) continue;
                    const double settled_pnl = leg.value(leg.premium - leg.entry_premium);
                    pos.realised += settled_pnl;
                    cash += settled_pnl;
                    leg.settled = true;
                }
            }
            bool any_unsettled = false;
            unrealised = unrealised_pnl(legs, any_unsettled);
            const bool stop = p.max_loss && unrealised < -*p.max_loss;
            const bool target = p.target_profit && unrealised > *p.target_profit;
            if (!any_unsettled || exit || squareoff_bar || stop || target) {
                ExitReason reason = ExitReason::TakeProfit;
                if (!any_unsettled) {
                    reason = ExitReason::Settlement;
                } else if (exit) {
                    reason = ExitReason::Signal;
                } else if (squareoff_bar) {
                    reason = ExitReason::Squareoff;
                } else if (stop) {
                    reason = ExitReason::StopLoss;
                }
                if (use_opens && exit && any_unsettled) {
                    // A signal exit fills at this bar's open, like the entry.
                    for (LegState& leg : legs)
                        if (!leg.settled) leg.premium = leg.opens[i];
                    unrealised = unrealised_pnl(legs, any_unsettled);
                }
                trades.push_back(close_spread_trade(p, pos, legs, next_id++, i, ts[i], reason, unrealised));
                cash += unrealised - trades.back().exit_fees;
                pos.open = false;
                unrealised = 0.0;
            }
        }

        if (!pos.open && entry && !squareoff_bar && (!first_expiry || ts[i] < *first_expiry)) {
            double entry_value = 0.0;
            for (LegState& leg : legs) {
                const double premium = use_opens ? leg.opens[i] : leg.closes[i];
                leg.settled = false;
                leg.entry_premium = leg.premium = premium;
                entry_value += leg.value(premium);
            }
            FeeCharge fees = side_fees(p.fee_model, legs, true);
            cash -= fees.fee;
            pos.open = true;
            pos.entry_bar = i;
            pos.entry_time = ts[i];
            pos.entry_value = entry_value;
            pos.entry_fees = fees.fee;
            pos.entry_breakdown = fees.breakdown;
            pos.realised = 0.0;
            // Marked at the entry premiums: 0, unless a premium is not finite.
            bool any_unsettled = false;
            unrealised = unrealised_pnl(legs, any_unsettled);
        }

        marker.mark(i, cash + unrealised);
    }

    if (pos.open) {
        // Closed at the last bar's marks; the curve keeps its last point, so
        // these exit fees show in the end value only.
        trades.push_back(
            close_spread_trade(p, pos, legs, next_id++, n - 1, ts[n - 1], ExitReason::EndOfData, unrealised));
        cash += unrealised - trades.back().exit_fees;
    }

    r.metrics = spread_metrics(cfg, trades, r.returns, marker.max_drawdown, marker.longest, cash);
    r.trades = std::move(trades);
    return r;
}

std::vector<EngineResult> run_spread_batch(std::span<SpreadItem> items, std::span<const int64_t> timestamps) {
    return parallel_map(items, [timestamps](SpreadItem& item) {
        item.params.fee_model = fee_model_from_config(item.params.config);
        return run_spread_strategy(item.params, timestamps, *item.arrays);
    });
}

}  // namespace tidemark
