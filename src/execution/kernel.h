// The execution kernel: the state of one simulated instrument and the step
// that advances it by one bar (or one trade print).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/fees.h"
#include "core/types.h"
#include "core/vocabulary.h"
#include "data/book.h"
#include "execution/ledger.h"
#include "execution/queue.h"

namespace tidemark {

// Slippage charged against the trader on every market-style fill.
struct SlippageModel {
    enum Kind : uint8_t { None = 0, Fraction = 1, Fixed = 2, VolumeScaled = 3 };
    Kind kind = None;
    double amount = 0.0;
    double volume_factor = 0.0;

    static SlippageModel none() { return {}; }
    static SlippageModel fraction(double f) { return {Fraction, f, 0.0}; }
    static SlippageModel fixed(double a) { return {Fixed, a, 0.0}; }
    static SlippageModel volume_scaled(double a, double factor) { return {VolumeScaled, a, factor}; }

    double amount_for(double price, double volume) const {
        switch (kind) {
            case None: return 0.0;
            case Fraction: return price * amount;
            case Fixed: return amount;
            case VolumeScaled: return volume > 0 ? amount / (volume * volume_factor + 1.0) : amount;
        }
        return 0.0;
    }
};

// Price-basis codes: which bar price a fill takes when none is given.
namespace price_basis {
inline constexpr uint8_t Close = 0;
inline constexpr uint8_t Open = 1;
inline constexpr uint8_t Ohlc4 = 2;
inline constexpr uint8_t Hlc3 = 3;
inline constexpr uint8_t Adverse = 5;
}  // namespace price_basis

// The bar price for `code`. Codes 5 and up pick an extreme: for 5 the high
// when buying with the adverse flag (or selling without it), else the low;
// 6 and up the opposite extreme.
double fill_price_basis(uint8_t code, const Bar& bar, bool buy, bool adverse);

// The least budget from which an account that pools `initial_capital` for
// several instruments opens a capital-sized entry. What an all-in entry
// leaves of the pool is floating-point residue, not money to invest: spent,
// it would become positions of no size.
inline double dust_budget(double initial_capital) { return 1e-9 * initial_capital; }

// A strategy's wishes for one step.
struct StepIntents {
    std::optional<double> size;    // entry size as a fraction of capital; absent: all of it
    std::optional<double> stop;    // explicit stop price for the entry
    std::optional<double> target;  // explicit target price for the entry
    double atr = 0.0;              // the step's ATR value (0 when none)
    bool entry = false;
    bool exit = false;
};

// Work carried to the next bar's open under next-bar-open fills.
struct DeferredIntent {
    bool has_entry = false;
    std::optional<double> size;
    std::optional<double> stop;
    std::optional<double> target;
    double atr = 0.0;
    bool exit = false;
};

struct TwapAlgo {
    TimeInForce tif = TimeInForce::Gtc;
    int64_t expire_ns = 0;
    OrderType order_type;
    std::string client_id;
    uint64_t algo_id = 0;
    double units = 0.0;
    int64_t interval_ns = 0;
    uint32_t slices = 0;
    int64_t next_due_ns = 0;
    uint32_t sent = 0;
    Side side = Side::Buy;
    bool reduce_only = false;
    bool active = true;
};

enum class EntrySizing : uint8_t { Fraction = 0, All = 1 };

class ExecutionKernel;

// How an owner margins an option leg with the other legs of its group: the
// group's margin is piecewise linear in the leg's size, convex on each side
// of the size at which the leg turns the group from covered to uncovered or
// back, if there is one.
struct GroupedEntry {
    std::optional<double> turn;
};

// The account of an owner that lends a kernel its capital from a pool shared
// with other kernels. The owner reckons the kernel's changes its own way when
// they come back to the pool, and may lock more or less for a position than
// the kernel does (margin over a group of option legs), so an entry asks it
// what will be free.
class LendingAccount {
public:
    // The free capital the owner will read once `kernel`, as it stands, is
    // returned to the pool.
    virtual double free_capital_after(const ExecutionKernel& kernel) const = 0;
    // Whether the owner margins an option that `kernel` opens (or adds to
    // its position `adding`) in direction `dir` with other legs of a group,
    // where its own margin says nothing of what the account will lock for
    // it; nothing when the leg would be margined alone.
    virtual std::optional<GroupedEntry> grouped_entry(const ExecutionKernel& kernel, int8_t dir,
                                                      std::optional<uint64_t> adding) const = 0;

protected:
    ~LendingAccount() = default;
};

class ExecutionKernel {
public:
    ExecutionKernel(const BacktestConfig& config, FeeModel fee_model, SlippageModel slippage, uint8_t price_basis,
                    std::string symbol, int8_t direction, const InstrumentConfig* instrument_config);

    // Advances one step. The step's events are appended to `out`, after the
    // events gathered since the previous step.
    void step_bar(uint64_t idx, const Bar& bar, const StepIntents& intents, bool tick,
                  std::vector<EngineEventRecord>& out);
    // The same bar step for a caller that keeps the closed trades and drops
    // the records: each trade is built in `trades`, where it stays, and no
    // record of an entry or an exit is made. Other records still go to `out`.
    void step_bar_keeping_trades(uint64_t idx, const Bar& bar, const StepIntents& intents, TradeList& trades,
                                 std::vector<EngineEventRecord>& out);

    // Whether plain_step may stand in for the bar step: a cash account
    // without an instrument, lots or a capital allotment, a flat fee, no
    // slippage, stops or targets, fills at the bar's close. These are set
    // before a run; asked once, the answer holds while nobody changes them.
    bool plain_fills() const;
    // The step of a bar that carries only an entry or only an exit intent,
    // for a kernel whose fills are plain: the state and the trade (built in
    // `trades`) step_bar_keeping_trades leaves, without the stages such a
    // step never reaches, which read no more of the bar than its time `ts`
    // and its `close`. False, with nothing changed, for any other step (a
    // refusal, pending work, a position with levels to watch, ...), which
    // is then the full step's.
    bool plain_step(uint64_t idx, int64_t ts, double close, const StepIntents& intents, TradeList& trades);

    // Margin-call liquidation: closes every open position at the bar's close.
    void liquidate_all(uint64_t idx, const Bar& bar, std::vector<EngineEventRecord>& out);

    // Closes every open position at `price` exactly, without fee or slippage
    // (end of data), appending their trades to `into`. No events; working
    // orders are left alone.
    void force_close_all(uint64_t idx, int64_t ts, double price, TradeList& into);

    // What a position's maintenance requirement is taken from: the
    // maintenance rate of its value at the mark, or its lock scaled by the
    // mark over its entry price and by the maintenance rate over the initial
    // one, so that a position marked at its entry price requires no more
    // than it locked, not even by a rounding, when the two rates are equal
    // (an account holds its free capital to the locks). A sold option's is
    // its lock either way.
    enum class MaintenanceBasis : uint8_t { Value, Locks };
    // Maintenance requirement of all open positions at `price`.
    double maintenance_margin(double price, MaintenanceBasis basis = MaintenanceBasis::Value) const;

    // Mark-to-market value of the open positions at `close` as it adds to cash.
    // Inline: every step of every run values its positions.
    double open_value(double close) const {
        const double m = ledger.multiplier;
        const bool margin = account.kind == AccountType::Margin;
        double v = 0.0;
        for (const Position& p : ledger.positions) v += marked_value(p, m, margin, close);
        return v;
    }
    // What one position adds to cash at `close`: its gain under a margin
    // account (nothing once it is no longer open), its worth under a cash
    // account, where a short was paid for like a long.
    static double marked_value(const Position& p, double m, bool margin, double close) {
        if (margin) return p.open ? m * (close - p.entry_price) * p.size * p.direction : 0.0;
        return p.direction > 0 ? m * close * p.size : m * p.size * (2.0 * p.entry_price - close);
    }
    double equity(double close) const { return cash + open_value(close); }

    // True when a step without intents would leave the kernel as it was: no
    // position, working order, schedule, close request, deferred work or
    // pending event. (Settling an expired instrument then changes nothing
    // either.)
    bool idle() const { return ledger.flat() && nothing_pending(); }
    // True when a step without intents has only the open positions to watch.
    bool only_holding() const { return !ledger.flat() && nothing_pending(); }

    // Steps the bars of the columns (one per index, none carrying an intent)
    // while a step would only watch the one open position, which
    // `only_holding` must have confirmed: its extremes and trailing stop
    // move, nothing closes. Stops before the first bar that reaches a stop or
    // a target, settles the instrument or calls for margin, which needs the
    // full step (as does every bar while several positions are open).
    // Writes the equity at each stepped bar's close to `equity` and returns
    // the number of bars stepped.
    std::size_t step_holding(std::span<const int64_t> ts, std::span<const double> high,
                             std::span<const double> low, std::span<const double> close, double* equity);

    // What an entry attempt came to.
    struct EntryFill {
        enum Kind : uint8_t { Opened = 0, Refused, NotTaken };
        Kind kind = NotTaken;
        RejectReason reason = RejectReason::ZeroSize;  // Refused
        double price = 0.0;                            // Opened: fill price and size
        double size = 0.0;
    };
    // Opens a position (strategy entries and opening order fills); a netting
    // ledger that holds one already takes nothing.
    EntryFill open_position(uint64_t idx, int64_t ts, int8_t direction, EntrySizing sizing, bool explicit_quantity,
                            double amount, double price, double volume, std::optional<double> stop_price,
                            std::optional<double> target_price, double atr);
    // The same, as its record: entered, entry_rejected, or none.
    std::optional<EngineEventRecord> fill_market_order(uint64_t idx, int64_t ts, int8_t direction, EntrySizing sizing,
                                                       bool explicit_quantity, double amount, double price,
                                                       double volume, std::optional<double> stop_price,
                                                       std::optional<double> target_price, double atr);
    EntryFill open_position_from_intent(uint64_t idx, const Bar& bar, std::optional<double> size,
                                        std::optional<double> stop, std::optional<double> target, double atr);
    // Closes a whole position at `price` (slippage and exit fee applied).
    std::optional<EngineEventRecord> close_position(uint64_t position_id, double price, ExitReason reason,
                                                    uint64_t idx, int64_t ts, double volume);
    // Closes `quantity` units of a position for a filled order.
    std::optional<EngineEventRecord> fill_reduce_order(uint64_t idx, int64_t ts, uint64_t position_id,
                                                       double quantity, double price, double volume);
    // Books the cash of a whole close.
    void book_close_cash(uint64_t position_id, const Trade& trade, double exit_fee, double exit_price);
    // Closes the whole position at `at` in the ledger at `price` (slippage
    // and exit fee applied), its trade built in `t`.
    void close_position_at(std::size_t at, double price, ExitReason reason, uint64_t idx, int64_t ts, double volume,
                           Trade& t);

    // Carries out one decision of the bar step for one order: records its
    // outcome and, for an evaluate action, decides whether, at what price and
    // how much it fills and whether it opens, adds to or reduces a position.
    void match_order(uint64_t idx, const Bar& bar, const OrderAction& action, std::vector<EngineEventRecord>& out);

    // --- between steps: what a session's driver may do ----------------------
    // Their records wait in `events` and lead the next step's output.
    // Validates and places an order; throws RuleError for a bad request.
    uint64_t submit_order(OrderArgs args);
    bool cancel_order(uint64_t idx, uint64_t order_id);
    // New sizing (absent: unchanged) and prices; false when not applied.
    bool modify_order(uint64_t order_id, std::optional<Sizing> sizing, double quantity,
                      std::optional<double> limit_price, std::optional<double> trigger_price);
    std::vector<uint64_t> cancel_all_orders(uint64_t idx);
    // Puts the named orders in one group, named after the smallest id.
    void link_oco(std::span<const uint64_t> order_ids);
    void request_close(uint64_t position_id) { close_requests.push_back(position_id); }
    // New stop (or target) level of a position, or of the earliest one when
    // no id is given; throws RuleError for an id that is not open.
    void set_stop_price(std::optional<double> price, std::optional<uint64_t> position_id);
    void set_target_price(std::optional<double> price, std::optional<uint64_t> position_id);
    std::vector<uint64_t> open_order_ids() const;
    // Registers a TWAP schedule; throws RuleError for bad slices, interval or
    // units.
    uint64_t register_twap(double units, Side side, uint32_t slices, int64_t interval_ns, uint64_t submitted_idx,
                           int64_t submitted_ts, std::string client_id, bool reduce_only);
    // Stops a schedule and cancels its working slices; false when no active
    // schedule has that id.
    bool cancel_twap(uint64_t algo_id, uint64_t idx);

    // The instrument's contract multiplier (1 without an instrument).
    double instrument_multiplier() const {
        return (instrument && instrument->multiplier > 0) ? instrument->multiplier : 1.0;
    }
    // What a margin position locks of its value: the instrument's own
    // initial rate, else one over the leverage.
    double initial_margin_rate() const {
        return (instrument && instrument->margin_init > 0) ? instrument->margin_init
                                                           : 1.0 / std::max(account.leverage, 1.0);
    }
    bool drawdown_halted() const { return drawdown_halt; }
    void set_drawdown_halt() { drawdown_halt = true; }
    bool margin_called() const { return margin_call; }
    // Cash less the margin locked by each open position, taken off one by
    // one (a margin account); all the cash otherwise.
    double free_cash() const;
    // The margin locked by the open positions, summed first, in the ledger's
    // order. (Subtracting the sum from cash rounds differently from
    // `free_cash`.)
    double locked_margin_total() const;
    // The free capital of the account as its holder reads it with the
    // kernel as it stands: the lender's reading when one is set, else
    // `free_cash`.
    double account_free_capital() const { return lender ? lender->free_capital_after(*this) : free_cash(); }

    // --- state ---------------------------------------------------------------
    BacktestConfig config;
    AccountType account;
    std::optional<uint64_t> max_positions;
    std::optional<double> max_drawdown_pct;
    uint64_t refused_entries = 0;
    bool drawdown_halt = false;
    std::optional<uint64_t> open_positions_override;
    std::optional<double> alloted_capital;
    std::optional<double> lot_size;
    std::optional<double> underlying_price;
    std::optional<InstrumentSpec> instrument;
    std::optional<DeferredIntent> deferred;
    StopModel stop_model;
    TargetModel target_model;
    SlippageModel slippage_model;
    PositionLedger ledger;
    std::vector<uint64_t> close_requests;
    OrderBook book;
    int64_t tz_offset_ns = 0;
    int64_t latency_ns = 0;
    std::vector<EngineEventRecord> events;
    std::vector<TwapAlgo> twaps;
    uint64_t next_algo_id = 0;
    FeeModel fee_model;
    std::unordered_map<uint64_t, double> locked_margin;
    bool margin_call = false;
    // Off where an owner judges margin for a whole account across kernels:
    // one kernel alone sees only its share of the account.
    bool own_margin_check = true;
    // Entries sized from the capital are refused as of no size while the
    // free capital is above 0 but below this (an owner lending a shared
    // pool sets it to its `dust_budget`); 0: never.
    double min_entry_budget = 0.0;
    // The pool the kernel's cash comes from, set by its owner for the length
    // of a step; none: the kernel's account is its own.
    const LendingAccount* lender = nullptr;
    double limit_slippage = 0.0;
    double cash = 0.0;
    double step_atr = 0.0;
    uint64_t rng_state = 0;
    DepthBook depth;
    bool tick = false;
    FillTiming fill_timing = FillTiming::SameBarClose;
    int8_t direction = 1;
    uint8_t price_basis = price_basis::Close;

private:
    // Where the trade of a position closing in this step is built: in the
    // trade list of a step that keeps trades, else in a new exit record.
    Trade& exit_slot(uint64_t idx, std::vector<EngineEventRecord>& out);
    // A trade already made, handed on the same way.
    void keep_exit(EngineEventRecord&& exited, std::vector<EngineEventRecord>& out);
    // Closes the position for a step; false when it is not open.
    bool close_in_step(uint64_t position_id, double price, ExitReason reason, uint64_t idx, int64_t ts,
                       double volume, std::vector<EngineEventRecord>& out);
    // The record of an entry, unless the step keeps trades only.
    void note_entry(uint64_t idx, int8_t dir, const EntryFill& fill, std::vector<EngineEventRecord>& out);
    bool nothing_pending() const {
        return !deferred && events.empty() && close_requests.empty() && twaps.empty() && !book.any_working();
    }
    // Ids of the open positions in ledger order, in a buffer kept between
    // steps so that the per-step loops allocate nothing.
    const std::vector<uint64_t>& snapshot_position_ids();
    // The refusal of the entry gate, if any.
    std::optional<RejectReason> entry_gate(int64_t ts) const;
    void gated_entry(uint64_t idx, const Bar& bar, std::optional<double> size, std::optional<double> stop,
                     std::optional<double> target, double atr, std::vector<EngineEventRecord>& out);
    void settle(uint64_t idx, const Bar& bar, bool entry_wanted, std::vector<EngineEventRecord>& out);
    void close_all_at_basis(uint64_t idx, const Bar& bar, ExitReason reason, std::vector<EngineEventRecord>& out);
    double close_basis(const Bar& bar, bool is_long) const {
        return fill_price_basis(price_basis, bar, is_long, false);
    }
    // Capital the next entry may use.
    double available_capital() const;
    // Lot floor, then size-increment snap.
    double round_quantity(double q) const;
    // The largest size (before rounding) whose outlay and fee fit in
    // `avail`, below `q`, which does not fit at fee `fee_at_q`: one unit
    // worth `v` takes `outlay` of the capital (its value in a cash account,
    // its initial margin in a margin account) and is charged its fee on `v`.
    double largest_fitting_size(bool buy, double v, double outlay, double avail, double q, double fee_at_q) const;
    double align_level(double level, bool is_long) const;
    // Cash credited by closing `size` units opened at `entry_price`.
    double close_proceeds(int8_t dir, double size, double entry_price, double exit_price) const;
    // Margin and full cost (with the sizing fee allowance) of one unit worth
    // `unit_value` opened in direction `dir`.
    struct UnitCost {
        double margin = 0.0;
        double cost = 0.0;
        bool own_margin_rate = false;  // the instrument's or the option's margin, not the leverage
    };
    UnitCost unit_cost(int8_t dir, double unit_value) const;
    // The size of an entry of an option that the lender margins with its
    // group: the one given, if the group's margin with it and the fee fit
    // the free capital, or the largest that leaves the free capital at 0
    // or above (or, for a fraction of it, takes no more than that fraction).
    // Unbounded when the group's margin falls as fast as the size grows, so
    // that no largest size exists; the leg's own margin then sizes it.
    struct GroupFit {
        enum Kind : uint8_t { Sized = 0, Refused, Unbounded };
        Kind kind = Refused;
        RejectReason reason = RejectReason::ZeroSize;
        double size = 0.0;
    };
    GroupFit size_in_group(uint64_t idx, int64_t ts, int8_t dir, double price, double unit_value, const UnitCost& unit,
                           EntrySizing sizing, bool explicit_quantity, double amount, const GroupedEntry& group);

    // Order stages of the bar step.
    void work_orders(uint64_t idx, const Bar& bar, std::vector<EngineEventRecord>& out);
    void release_twap_slices(uint64_t idx, const Bar& bar, std::vector<EngineEventRecord>& out);
    void take_market_orders(uint64_t idx, const Bar& bar, bool deferring, std::vector<EngineEventRecord>& out);
    // The matcher's routes.
    void open_from_order(uint64_t idx, const Bar& bar, Order& order, double price, bool partial,
                         std::vector<EngineEventRecord>& out);
    void add_from_order(uint64_t idx, const Bar& bar, Order& order, uint64_t position_id, double price, bool partial,
                        std::vector<EngineEventRecord>& out);
    void reduce_from_order(uint64_t idx, const Bar& bar, Order& order, double price, bool partial,
                           std::vector<EngineEventRecord>& out);
    // Refuses an order from the matcher; `counts` adds it to the refused
    // entries.
    void refuse_order(uint64_t idx, const Order& order, const char* reason, bool counts,
                      std::vector<EngineEventRecord>& out);
    // The open position a fill of `order` adds to, if any: the one the order
    // opened, or one an earlier slice of its TWAP schedule opened.
    std::optional<uint64_t> position_added_to(const Order& order) const;

    // step_holding's loop, for a trailing stop, a margin check or an expiry
    // to watch or none of them.
    template <bool kTrailing, bool kMargin, bool kExpiry>
    std::size_t hold_stretch(std::span<const int64_t> ts, std::span<const double> high, std::span<const double> low,
                             std::span<const double> close, std::size_t n, double* equity_out);

    std::vector<uint64_t> id_scratch_;
    // Set for the length of a step that keeps trades.
    TradeList* trade_sink_ = nullptr;
    // Kept between steps so that the order stages allocate nothing per bar.
    std::vector<OrderAction> expiries_;
    std::vector<OrderAction> actions_;
    std::vector<std::pair<uint64_t, OrderStatus>> walk_changes_;
};

}  // namespace tidemark
