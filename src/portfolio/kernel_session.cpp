#include "portfolio/kernel_session.h"

#include <utility>

#include "core/errors.h"
#include "core/fees.h"
#include "core/format.h"
#include "core/instrument.h"

namespace tidemark {

Side parse_twap_side(std::string_view side) {
    if (side == "buy") return Side::Buy;
    if (side == "sell") return Side::Sell;
    throw RuleError("side must be 'buy' or 'sell', got " + escape_text(side));
}

PositionLedger::Mode parse_oms_type(std::string_view oms_type) {
    if (oms_type == "netting") return PositionLedger::Netting;
    if (oms_type == "hedging") return PositionLedger::Hedging;
    throw RuleError("oms_type must be 'netting' or 'hedging', got " + escape_text(oms_type));
}

void fit_session_kernel(ExecutionKernel& k, const InstrumentSpec* spec, const InstrumentConfig* ic,
                        std::string symbol, PositionLedger::Mode mode, AccountType account) {
    double multiplier = 1.0;
    if (spec) {
        if (!(ic && ic->lot_size) && spec->lot_size > 0 && spec->lot_size != 1.0) k.lot_size = spec->lot_size;
        if (spec->multiplier > 0) multiplier = spec->multiplier;
        k.instrument = *spec;
    }
    k.ledger = PositionLedger{};
    k.ledger.symbol = std::move(symbol);
    k.ledger.multiplier = multiplier;
    k.ledger.mode = mode;
    k.account = account;
}

int8_t checked_direction(int32_t direction) {
    if (direction != 1 && direction != -1)
        throw RuleError("direction must be 1 (long) or -1 (short), got " + std::to_string(direction));
    return static_cast<int8_t>(direction);
}

KernelSession::KernelSession(std::string symbol, int32_t direction, const BacktestConfig& cfg,
                             const InstrumentConfig* ic, const InstrumentSpec* spec, std::string_view oms_type,
                             std::string_view account_type, double leverage) {
    const int8_t dir = checked_direction(direction);
    const PositionLedger::Mode mode = parse_oms_type(oms_type);
    const AccountType account = parse_account_type(account_type, leverage);
    if (spec && !spec->tradable())
        throw RuleError("instrument " + spec->symbol + " is not tradable (kind=" + instrument_kind_debug(spec->kind) +
                        ")");
    // Priced and filled as a vectorised run of the same configuration.
    const EngineParams params = engine_params_for(cfg);
    SingleKernel sk(cfg, params.fee_model, params.slippage, params.price_basis, symbol, dir, ic);
    fit_session_kernel(sk.kernel, spec, ic, std::move(symbol), mode, account);
    state_.emplace(std::move(sk));
}

void fail_session_finished() { throw RuleError("session is finished; create a new one"); }

std::vector<PositionSnapshot> position_snapshots(const PositionLedger& ledger) {
    std::vector<PositionSnapshot> out;
    out.reserve(ledger.positions.size());
    for (const Position& p : ledger.positions) out.push_back(PositionSnapshot::of(p));
    return out;
}

std::optional<PositionSnapshot> first_position(const PositionLedger& ledger) {
    if (ledger.positions.empty()) return std::nullopt;
    return PositionSnapshot::of(ledger.positions.front());
}

SingleKernel& KernelSession::live() {
    if (!state_) fail_session_finished();
    return *state_;
}

const SingleKernel& KernelSession::live() const {
    if (!state_) fail_session_finished();
    return *state_;
}

void KernelSession::step(uint64_t idx, const Bar& bar, const StepIntents& intents,
                         std::vector<EngineEventRecord>& out) {
    live().step(idx, bar, intents, out);
}

double KernelSession::cash() const { return live().kernel.cash; }

double KernelSession::equity() const {
    const SingleKernel& sk = live();
    return sk.equity_curve.empty() ? sk.config.initial_capital : sk.equity_curve.back();
}

double KernelSession::free_capital() const { return live().kernel.free_cash(); }

bool KernelSession::is_in_position() const { return !live().kernel.ledger.flat(); }

std::optional<PositionSnapshot> KernelSession::position() const { return first_position(live().kernel.ledger); }

std::vector<PositionSnapshot> KernelSession::positions() const { return position_snapshots(live().kernel.ledger); }

EngineResult KernelSession::finish() {
    if (!state_) throw RuleError("session is already finished");
    SingleKernel sk = std::move(*state_);
    state_.reset();
    return std::move(sk).finish();
}

uint64_t KernelSession::submit_order(OrderArgs args) { return live().kernel.submit_order(std::move(args)); }

bool KernelSession::cancel_order(uint64_t idx, uint64_t order_id) { return live().kernel.cancel_order(idx, order_id); }

bool KernelSession::modify_order(uint64_t order_id, std::optional<double> units, std::optional<double> size_frac,
                                 std::optional<double> limit_price, std::optional<double> trigger_price) {
    // The new sizing obeys the rules of a new order, and is checked before
    // the session or the order is looked at.
    const SizingChange change = parse_sizing_change(units, size_frac);
    return live().kernel.modify_order(order_id, change.sizing, change.quantity, limit_price, trigger_price);
}

std::vector<uint64_t> KernelSession::cancel_all_orders(uint64_t idx) { return live().kernel.cancel_all_orders(idx); }

void KernelSession::link_oco(std::span<const uint64_t> order_ids) { live().kernel.link_oco(order_ids); }

void KernelSession::request_close(uint64_t position_id) { live().kernel.request_close(position_id); }

void KernelSession::set_underlying_price(std::optional<double> price) { live().kernel.underlying_price = price; }

void KernelSession::set_stop_price(std::optional<double> price, std::optional<uint64_t> position_id) {
    live().kernel.set_stop_price(price, position_id);
}

void KernelSession::set_target_price(std::optional<double> price, std::optional<uint64_t> position_id) {
    live().kernel.set_target_price(price, position_id);
}

std::vector<uint64_t> KernelSession::open_order_ids() const { return live().kernel.open_order_ids(); }

uint64_t KernelSession::submit_twap(double units, std::string_view side, uint32_t slices, int64_t interval_ns,
                                    uint64_t submitted_idx, int64_t submitted_ts, std::string client_id,
                                    bool reduce_only) {
    const Side s = parse_twap_side(side);
    return live().kernel.register_twap(units, s, slices, interval_ns, submitted_idx, submitted_ts,
                                       std::move(client_id), reduce_only);
}

bool KernelSession::cancel_twap(uint64_t algo_id, uint64_t idx) { return live().kernel.cancel_twap(algo_id, idx); }

}  // namespace tidemark
