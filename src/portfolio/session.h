// Many instruments over one merged schedule of bar, trade, quote and depth
// events, against one shared cash or margin account. A driver attaches data,
// seals, then applies the schedule one event at a time; live rows are
// appended at the tail. `finish` consumes the session.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/feed.h"
#include "execution/kernel.h"
#include "portfolio/results.h"

namespace tidemark {

// A 2-D array of level values read row by row: row i of a depth array is one
// snapshot's side.
struct LevelMatrix {
    std::span<const double> data;  // row-major
    std::size_t rows = 0;
    std::size_t cols = 0;

    std::span<const double> row(std::size_t i) const { return data.subspan(i * cols, cols); }
};

// A working order as a driver lists it.
struct WorkingOrder {
    uint64_t order_id = 0;
    std::string client_id;
    const char* side = "buy";
    std::string kind;      // the order type's name in lower case ("stoplimit")
    const char* status = "accepted";
    double filled = 0.0;
    double units = 0.0;    // NaN for capital-fraction and close-all orders
};

// One registered instrument: its kernel, its attached streams and what the
// schedule has applied to it.
struct SessionInstrument {
    ExecutionKernel kernel;
    BarColumns bars;
    std::optional<TickColumns> ticks;
    std::vector<DepthSnapshot> depth;
    // The last bar close or trade price applied.
    std::optional<double> mark;
    // The local index and bar of the last bar or trade applied.
    std::optional<std::pair<uint64_t, Bar>> last_bar;
};

// A given optional tick column must have `rows` values (RuleError "all tick
// arrays must share one length"); an absent one stays empty and reads as
// zeros.
Series<double> optional_tick_column(std::optional<Series<double>> column, std::size_t rows);

class PortfolioSession {
public:
    // Throws RuleError for a bad account type or leverage.
    PortfolioSession(const BacktestConfig& config, std::string_view account_type, double leverage);

    // Checks direction, oms type and instrument, then the session; returns the
    // new instrument's index.
    uint64_t add_instrument(std::string symbol, int32_t direction, const InstrumentConfig* instrument_config,
                            const InstrumentSpec* instrument, std::string_view oms_type);
    // Books a long position the account already holds; returns its id.
    uint64_t adopt_position(uint64_t instrument, int64_t timestamp_ns, double price, double size);
    // Entries merged or pushed so far, applied ones included.
    std::size_t len() const;

    // --- data ------------------------------------------------------------------
    // Each checks its arrays, then the session, then the index, and replaces
    // the instrument's stream. Data attached after sealing is kept but never
    // merged.
    void set_bars(uint64_t instrument, BarColumns bars);
    // Optional columns left empty read as zeros.
    void set_ticks(uint64_t instrument, TickColumns ticks);
    void set_depth(uint64_t instrument, std::span<const int64_t> timestamps, const LevelMatrix& bid_prices,
                   const LevelMatrix& bid_sizes, const LevelMatrix& ask_prices, const LevelMatrix& ask_sizes);
    // Merges every attached stream into the schedule, once.
    void seal();
    void push_bar(uint64_t instrument, const Bar& bar);
    // Returns the number of events the row appended (0, 1 or 2).
    int push_tick(uint64_t instrument, const TickRow& row);
    // `snapshot` holds the levels already kept.
    void push_depth(uint64_t instrument, const DepthSnapshot& snapshot);

    // --- the cursor ------------------------------------------------------------
    // The entry at the cursor, or null when everything has been applied.
    const ScheduleEntry* pending() const;
    const DepthSnapshot& depth_of(const ScheduleEntry& book_entry) const;
    uint64_t remaining() const;

    // Steps the pending event through its instrument's kernel against the
    // shared account, applies the portfolio rules and advances the cursor.
    // The step's records are appended to `out`.
    void apply_current(const StepIntents& intents, std::vector<EngineEventRecord>& out);

    // --- the account -----------------------------------------------------------
    double cash() const;
    double free_capital() const;
    double equity() const;
    bool is_halted() const;

    // Force-closes every instrument that was marked and computes the
    // portfolio result; the session is finished after it, even when it fails.
    PortfolioResult finish();

    // --- orders, per instrument ------------------------------------------------
    uint64_t submit_order(uint64_t instrument, OrderArgs args);
    bool cancel_order(uint64_t instrument, uint64_t idx, uint64_t order_id);
    bool modify_order(uint64_t instrument, uint64_t order_id, std::optional<double> units,
                      std::optional<double> size_frac, std::optional<double> limit_price,
                      std::optional<double> trigger_price);
    std::vector<uint64_t> cancel_all_orders(uint64_t instrument, uint64_t idx);
    void link_oco(uint64_t instrument, std::span<const uint64_t> order_ids);
    void request_close(uint64_t instrument, uint64_t position_id);
    void set_underlying_price(uint64_t instrument, std::optional<double> price);
    std::vector<WorkingOrder> working_orders(uint64_t instrument) const;
    std::vector<PositionSnapshot> positions(uint64_t instrument) const;
    std::optional<PositionSnapshot> position(uint64_t instrument) const;

private:
    // One leg of the margin reconciliation of sold options.
    struct MarginLeg {
        uint64_t position_id = 0;
        uint32_t instrument = 0;
        double strike = 0.0;
        double size = 0.0;
        double entry_price = 0.0;
        double multiplier = 1.0;
        double span_pct = 0.0;
        double exposure_pct = 0.0;
        int8_t direction = 1;
        bool call = true;
        const std::string* group_text = nullptr;
        std::optional<int64_t> expiry;
    };

    // What the margin of a group reads of one position.
    struct LegState {
        uint64_t position_id = 0;
        uint64_t size_bits = 0;
        uint64_t price_bits = 0;
        int8_t direction = 1;
        bool operator==(const LegState&) const = default;
    };

    struct State {
        BacktestConfig config;
        AccountType account;
        double pool_cash = 0.0;
        double pool_locked = 0.0;
        bool halted = false;
        std::optional<uint64_t> halted_at;
        std::vector<SessionInstrument> instruments;
        // Each instrument's next local index.
        std::vector<uint64_t> next_local;
        std::vector<DepthSnapshot> depth_store;
        Series<ScheduleEntry> schedule;
        uint64_t cursor = 0;
        bool sealed = false;
        // Whether a bar or trade event has been applied.
        bool marked = false;
        // The instant (the run of events of one timestamp) being applied:
        // how far the schedule has been read for its events, and the
        // position of the last bar or trade event found in it.
        uint64_t instant_read = 0;
        uint64_t instant_last_mark = 0;
        Series<double> equity_curve;
        Series<double> drawdown_curve;
        Series<double> returns;
        Series<int64_t> timestamps;
        TradeList trades;
        // The instrument each trade came from, so attribution never depends
        // on symbols being unique, and the instant it closed at (the number
        // of samples taken before it).
        std::vector<uint32_t> trade_instruments;
        std::vector<uint64_t> trade_instants;
        double peak_equity = 0.0;
        // Each kernel's locked margin, in the ledger's order; the pool's
        // locked margin is their exact sum, so that it is always what the
        // positions lock, never a running total that drifts from it, and
        // never depends on the order of add_instrument.
        std::vector<double> locked_of;
        // Whether any instrument takes part in the option reconciliation.
        bool option_margin = false;
        // Whether the drawdown kill-switch is armed (the kernels share the
        // configuration's level).
        bool kill_switch = false;
        // Kept between events so that applying one allocates nothing.
        std::vector<MarginLeg> legs;
        std::vector<std::size_t> group;
        std::vector<uint8_t> grouped;
        // Locked margins a trial reconciliation changed, with their values
        // before it.
        std::vector<std::pair<double*, double>> undo;
        // An option kernel's positions before and after its event.
        std::vector<LegState> legs_before, legs_after;
    };

    // The group an option is margined in (its underlying's name, or its own
    // symbol, and its expiry), for an option that takes part.
    struct OptionGroup {
        const std::string* text = nullptr;
        std::optional<int64_t> expiry;
        bool call = true;
    };
    static std::optional<OptionGroup> option_group(const ExecutionKernel& k);
    static void note_legs(const ExecutionKernel& k, std::vector<LegState>& into);

    // What a cash sync wrote into a kernel, for the return to the pool.
    struct Sync {
        double injected = 0.0;
        uint32_t instrument = 0;
    };

    State& live();
    const State& live() const;
    // The registered instrument, or RuleError "unknown instrument index {}".
    static SessionInstrument& instrument_at(State& s, uint64_t instrument);
    static const SessionInstrument& instrument_at(const State& s, uint64_t instrument);

    // The pool as a kernel stepped against it sees it: the free capital
    // that the kernel's changes, once returned, and the option margin's
    // reconciliation will leave.
    class Lender;

    static Sync sync_into(State& s, uint32_t instrument);
    // The pool's cash once the kernel's changes since `sync` are returned to
    // it.
    static double pool_cash_after(const State& s, const ExecutionKernel& k, const Sync& sync);
    static void return_to_pool(State& s, const Sync& sync);
    // The pool's locked margin: the sum of the kernels' own.
    static double sum_locked(const State& s);
    static double portfolio_equity(const State& s);
    static void reconcile_portfolio_margin(State& s);
    // Shares each group's margin over its short legs. `Trial` notes in
    // `undo` what it changes, for the caller to put back.
    enum class Reconcile : uint8_t { Apply, Trial };
    static void reconcile_options(State& s, Reconcile how);
    static void reconcile_group(State& s, std::span<const std::size_t> group, Reconcile how);
    static void seal_schedule(State& s);
    // Takes the instrument's next local index for an appended entry.
    static void append_entry(State& s, uint64_t instrument, ScheduleEntry entry);
    static void collect_trades(State& s, uint32_t instrument, std::span<const EngineEventRecord> records);
    // Whether the bar or trade event at the cursor is the last one of its
    // instant among the events pending now.
    static bool closes_instant(State& s);
    // The account-wide rules once an instant's bars and trades are all
    // applied: the margin check with its liquidation, then the equity sample
    // and the drawdown kill-switch.
    static void value_instant(State& s, const ScheduleEntry& e, std::vector<EngineEventRecord>& out);
    static void latch_halt(State& s);
    // The instruments in the order that closing all of them at once (a
    // liquidation, the end) takes them in: one that does not depend on the
    // order of add_instrument.
    static std::vector<uint32_t> closing_order(const State& s);

    std::optional<State> state_;
};

}  // namespace tidemark
