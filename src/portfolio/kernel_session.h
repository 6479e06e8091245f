// One instrument stepped bar by bar by a driver: the single-instrument
// engine of a vectorised run, with orders, TWAP schedules and views between
// steps. `finish` consumes it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "portfolio/engine.h"

namespace tidemark {

// "buy" or "sell" exactly; throws RuleError "side must be 'buy' or 'sell',
// got {}" otherwise.
Side parse_twap_side(std::string_view side);

// 1 (long) or -1 (short) exactly; throws RuleError "direction must be 1
// (long) or -1 (short), got {}" otherwise.
int8_t checked_direction(int32_t direction);

// "netting" or "hedging" exactly; throws RuleError "oms_type must be
// 'netting' or 'hedging', got {}" otherwise.
PositionLedger::Mode parse_oms_type(std::string_view oms_type);

// Fits a new session kernel to its instrument: the instrument's lot size
// unless the overrides name one, its multiplier (1 when not above 0), its
// record, a fresh ledger for `symbol` in `mode`, and the session's account.
void fit_session_kernel(ExecutionKernel& kernel, const InstrumentSpec* instrument,
                        const InstrumentConfig* instrument_config, std::string symbol, PositionLedger::Mode mode,
                        AccountType account);

// Every call on a consumed session fails with this RuleError.
[[noreturn]] void fail_session_finished();

// Views of a kernel's open positions: all of them in opening order, and the
// earliest.
std::vector<PositionSnapshot> position_snapshots(const PositionLedger& ledger);
std::optional<PositionSnapshot> first_position(const PositionLedger& ledger);

class KernelSession {
public:
    // Validates in a fixed order (direction, oms type, account, instrument)
    // and throws RuleError with the first broken rule.
    KernelSession(std::string symbol, int32_t direction, const BacktestConfig& config,
                  const InstrumentConfig* instrument_config, const InstrumentSpec* instrument,
                  std::string_view oms_type, std::string_view account_type, double leverage);

    // Runs one bar; its records (those queued since the last step first) are
    // appended to `out`.
    void step(uint64_t idx, const Bar& bar, const StepIntents& intents, std::vector<EngineEventRecord>& out);

    double cash() const;
    double equity() const;
    double free_capital() const;
    bool is_in_position() const;
    std::optional<PositionSnapshot> position() const;
    std::vector<PositionSnapshot> positions() const;

    // Force-closes and computes the result; the session is finished after
    // it, even when it fails.
    EngineResult finish();

    // The order interface: each call first refuses a finished session.
    uint64_t submit_order(OrderArgs args);
    bool cancel_order(uint64_t idx, uint64_t order_id);
    bool modify_order(uint64_t order_id, std::optional<double> units, std::optional<double> size_frac,
                      std::optional<double> limit_price, std::optional<double> trigger_price);
    std::vector<uint64_t> cancel_all_orders(uint64_t idx);
    void link_oco(std::span<const uint64_t> order_ids);
    void request_close(uint64_t position_id);
    void set_underlying_price(std::optional<double> price);
    void set_stop_price(std::optional<double> price, std::optional<uint64_t> position_id);
    void set_target_price(std::optional<double> price, std::optional<uint64_t> position_id);
    std::vector<uint64_t> open_order_ids() const;
    uint64_t submit_twap(double units, std::string_view side, uint32_t slices, int64_t interval_ns,
                         uint64_t submitted_idx, int64_t submitted_ts, std::string client_id, bool reduce_only);
    bool cancel_twap(uint64_t algo_id, uint64_t idx);

    bool finished() const { return !state_; }
    // The live engine; throws RuleError for a finished session.
    SingleKernel& live();
    const SingleKernel& live() const;

private:
    std::optional<SingleKernel> state_;
};

}  // namespace tidemark
