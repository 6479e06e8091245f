#include "portfolio/session.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <tuple>

#include "core/errors.h"
#include "core/exact_sum.h"
#include "core/fees.h"
#include "core/format.h"
#include "metrics/metrics.h"
#include "portfolio/kernel_session.h"

namespace tidemark {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A quote size the book can use: a finite number above 0, else unknown.
double quote_size(double size) { return std::isfinite(size) && size > 0.0 ? size : kNaN; }

// A fixed total order of trades by everything the metrics read of them
// (doubles by their bits, which tells -0 from +0).
int compare_trades(const Trade& x, const Trade& y) {
    auto bits = [](double v) { return std::bit_cast<uint64_t>(v); };
    const auto key = [&](const Trade& t) {
        return std::make_tuple(bits(t.pnl_pct), bits(t.pnl), bits(t.fees), bits(t.entry_fees), bits(t.exit_fees),
                               bits(t.size), bits(t.entry_price), bits(t.exit_price), t.entry_idx, t.exit_idx,
                               t.entry_time, t.exit_time, t.direction, static_cast<int>(t.exit_reason));
    };
    const auto a = key(x), b = key(y);
    return a < b ? -1 : (b < a ? 1 : 0);
}

// The trades of one instant stand in the order their instruments were
// registered. The metrics read them with each instant's instruments ordered
// by symbol and then by their trades instead, each instrument's own trades
// in their order, so that no figure (a streak, the sign of a zero best
// trade, the last bit of a sum) depends on the order of add_instrument.
// Nothing when that is the order they stand in.
std::optional<TradeList> metrics_order(const TradeList& trades, const std::vector<uint32_t>& instruments,
                                       const std::vector<uint64_t>& instants) {
    std::vector<std::size_t> order;
    std::vector<std::vector<std::size_t>> by_instrument;
    bool moved = false;
    for (std::size_t a = 0; a < trades.size();) {
        std::size_t b = a + 1;
        bool several = false;
        while (b < trades.size() && instants[b] == instants[a]) {
            several |= instruments[b] != instruments[a];
            ++b;
        }
        if (several) {
            if (order.empty()) {
                order.resize(a);
                for (std::size_t i = 0; i < a; ++i) order[i] = i;
            }
            by_instrument.clear();
            std::vector<uint32_t> seen;
            for (std::size_t i = a; i < b; ++i) {
                const auto at = std::find(seen.begin(), seen.end(), instruments[i]);
                if (at == seen.end()) {
                    seen.push_back(instruments[i]);
                    by_instrument.emplace_back();
                    by_instrument.back().push_back(i);
                } else {
                    by_instrument[static_cast<std::size_t>(at - seen.begin())].push_back(i);
                }
            }
            std::stable_sort(by_instrument.begin(), by_instrument.end(), [&](const auto& x, const auto& y) {
                if (int c = trades[x[0]].symbol.compare(trades[y[0]].symbol)) return c < 0;
                for (std::size_t k = 0; k < x.size() && k < y.size(); ++k)
                    if (int c = compare_trades(trades[x[k]], trades[y[k]])) return c < 0;
                return x.size() < y.size();
            });
            for (const auto& run : by_instrument) order.insert(order.end(), run.begin(), run.end());
        } else if (!order.empty()) {
            for (std::size_t i = a; i < b; ++i) order.push_back(i);
        }
        a = b;
    }
    for (std::size_t i = 0; i < order.size() && !moved; ++i) moved = order[i] != i;
    if (!moved) return std::nullopt;
    TradeList out;
    out.reserve(trades.size());
    for (std::size_t i : order) out.push_back(trades[i]);
    return out;
}

}  // namespace

Series<double> optional_tick_column(std::optional<Series<double>> column, std::size_t rows) {
    if (!column) return {};
    if (column->size() != rows) throw RuleError("all tick arrays must share one length");
    return std::move(*column);
}

// ---------------------------------------------------------------------------
// Construction, instruments and adoption
// ---------------------------------------------------------------------------

PortfolioSession::PortfolioSession(const BacktestConfig& cfg, std::string_view account_type, double leverage) {
    State s;
    s.account = parse_account_type(account_type, leverage);
    s.config = cfg;
    s.pool_cash = cfg.initial_capital;
    s.peak_equity = cfg.initial_capital;
    s.kill_switch = cfg.max_drawdown_pct && *cfg.max_drawdown_pct > 0;
    state_.emplace(std::move(s));
}

PortfolioSession::State& PortfolioSession::live() {
    if (!state_) fail_session_finished();
    return *state_;
}

const PortfolioSession::State& PortfolioSession::live() const {
    if (!state_) fail_session_finished();
    return *state_;
}

SessionInstrument& PortfolioSession::instrument_at(State& s, uint64_t instrument) {
    if (instrument >= s.instruments.size()) throw RuleError("unknown instrument index " + std::to_string(instrument));
    return s.instruments[instrument];
}

const SessionInstrument& PortfolioSession::instrument_at(const State& s, uint64_t instrument) {
    if (instrument >= s.instruments.size()) throw RuleError("unknown instrument index " + std::to_string(instrument));
    return s.instruments[instrument];
}

uint64_t PortfolioSession::add_instrument(std::string symbol, int32_t direction, const InstrumentConfig* ic,
                                          const InstrumentSpec* spec, std::string_view oms_type) {
    if (direction != 1 && direction != -1) throw RuleError("direction must be 1 or -1");
    const PositionLedger::Mode mode = parse_oms_type(oms_type);
    if (spec && !spec->tradable()) throw RuleError("instrument " + spec->symbol + " is not tradable");
    State& s = live();
    const BacktestConfig& cfg = s.config;

    const EngineParams params = engine_params_for(cfg);
    SessionInstrument inst{ExecutionKernel(cfg, params.fee_model, params.slippage, params.price_basis, symbol,
                                           static_cast<int8_t>(direction), ic),
                           {}, std::nullopt, {}, std::nullopt, std::nullopt};
    ExecutionKernel& k = inst.kernel;
    fit_session_kernel(k, spec, ic, std::move(symbol), mode, s.account);
    // A configured 0 means no limit, as does a drawdown level not above 0.
    if (cfg.max_positions && *cfg.max_positions != 0) k.max_positions = cfg.max_positions;
    if (s.kill_switch) k.max_drawdown_pct = cfg.max_drawdown_pct;
    // The portfolio judges margin for the whole account; a kernel holds no
    // cash between events.
    k.own_margin_check = false;
    k.cash = 0.0;
    // The pool's rounding residue opens nothing, as in the shared-capital
    // runner.
    k.min_entry_budget = dust_budget(cfg.initial_capital);
    if (spec && spec->is_option() && spec->span_pct + spec->exposure_pct > 0) s.option_margin = true;
    s.instruments.push_back(std::move(inst));
    s.next_local.push_back(0);
    s.locked_of.push_back(0.0);
    return s.instruments.size() - 1;
}

uint64_t PortfolioSession::adopt_position(uint64_t instrument, int64_t timestamp_ns, double price, double size) {
    State& s = live();
    SessionInstrument& inst = instrument_at(s, instrument);
    if (s.marked) throw RuleError("adopt_position must be called before the first applied event");
    ExecutionKernel& k = inst.kernel;
    const Sync sync = sync_into(s, static_cast<uint32_t>(instrument));
    // A refusal hands the untouched cash back as well.
    auto settle = [&] {
        return_to_pool(s, sync);
        reconcile_portfolio_margin(s);
    };
    // An infinite price or size would make the account's cash infinite.
    if (!(price > 0.0) || !(size > 0.0) || !std::isfinite(price) || !std::isfinite(size)) {
        settle();
        throw RuleError("adopt_position needs positive price and size (got size " + fmt_shortest(size) + " @ " +
                        fmt_shortest(price) + ")");
    }
    const bool margin = k.account.kind == AccountType::Margin;
    double rate = 1.0;
    if (margin) {
        rate = k.initial_margin_rate();
        if (rate < 1.0) {
            settle();
            throw RuleError("adopt_position requires a cash or fully funded account (initial margin rate " +
                            fmt_shortest(rate) +
                            " < 1.0); posted margin on a broker-held position is not derivable under leverage");
        }
    }
    if (k.ledger.mode == PositionLedger::Netting && !k.ledger.flat()) {
        settle();
        throw RuleError("ledger refused adoption: a position is already open");
    }
    Position p;
    p.entry_price = price;
    p.size = size;
    p.highest = price;
    p.lowest = price;
    p.open = true;
    p.direction = 1;
    p.entry_idx = 0;
    p.entry_ts = timestamp_ns;
    p.position_id = k.ledger.next_position_id++;
    const uint64_t id = p.position_id;
    k.ledger.positions.push_back(std::move(p));
    const double value = price * size * k.instrument_multiplier();
    if (margin) {
        k.locked_margin[id] = rate * value;
    } else {
        k.cash -= value;
    }
    settle();
    return id;
}

std::size_t PortfolioSession::len() const { return live().schedule.size(); }

// ---------------------------------------------------------------------------
// Data streams, sealing and live pushes
// ---------------------------------------------------------------------------

void PortfolioSession::set_bars(uint64_t instrument, BarColumns bars) {
    bars.check_lengths();
    State& s = live();
    instrument_at(s, instrument).bars = std::move(bars);
}

void PortfolioSession::set_ticks(uint64_t instrument, TickColumns ticks) {
    check_tick_columns(ticks);
    State& s = live();
    instrument_at(s, instrument).ticks = std::move(ticks);
}

void PortfolioSession::set_depth(uint64_t instrument, std::span<const int64_t> timestamps,
                                 const LevelMatrix& bid_prices, const LevelMatrix& bid_sizes,
                                 const LevelMatrix& ask_prices, const LevelMatrix& ask_sizes) {
    const std::size_t n = timestamps.size();
    for (const LevelMatrix* m : {&bid_prices, &bid_sizes, &ask_prices, &ask_sizes})
        if (m->rows != n) throw RuleError("depth arrays must have one row per timestamp");
    if (bid_prices.cols != bid_sizes.cols || ask_prices.cols != ask_sizes.cols)
        throw RuleError("price and size arrays must have the same level count");
    std::vector<DepthSnapshot> snapshots(n);
    for (std::size_t i = 0; i < n; ++i) {
        DepthSnapshot& snap = snapshots[i];
        snap.ts = timestamps[i];
        LevelFilter bids(snap.levels.bids, snap.levels.n_bids);
        for (std::size_t j = 0; j < bid_prices.cols; ++j) bids.offer(bid_prices.row(i)[j], bid_sizes.row(i)[j]);
        LevelFilter asks(snap.levels.asks, snap.levels.n_asks);
        for (std::size_t j = 0; j < ask_prices.cols; ++j) asks.offer(ask_prices.row(i)[j], ask_sizes.row(i)[j]);
    }
    State& s = live();
    instrument_at(s, instrument).depth = std::move(snapshots);
}

void PortfolioSession::seal() { seal_schedule(live()); }

void PortfolioSession::seal_schedule(State& s) {
    if (s.sealed) return;
    const auto n = static_cast<uint32_t>(s.instruments.size());
    std::vector<MergeStream> streams;
    streams.reserve(4 * static_cast<std::size_t>(n));
    uint32_t id = 0;

    // Every instrument's bar stream, even an empty one: stream ids then grow
    // with the instrument index within each kind.
    for (uint32_t i = 0; i < n; ++i) {
        MergeStream st;
        st.source = MergeStream::Bars;
        st.id = id++;
        st.instrument = i;
        st.size = s.instruments[i].bars.size();
        st.bars = &s.instruments[i].bars;
        streams.push_back(st);
    }

    // The trades and the quotes of each tick set, read from its rows as the
    // merge takes them.
    for (uint32_t i = 0; i < n; ++i) {
        const std::optional<TickColumns>& ticks = s.instruments[i].ticks;
        if (!ticks) continue;
        // Counted first, so that the schedule is allocated once.
        std::size_t counts[2] = {0, 0};
        for_each_tick_event(*ticks, i, 0, 1, [&](const FeedEvent& ev) { ++counts[ev.stream]; });
        for (MergeStream::Source source : {MergeStream::Trades, MergeStream::Quotes}) {
            MergeStream st;
            st.source = source;
            st.id = id++;
            st.instrument = i;
            st.size = counts[source == MergeStream::Quotes];
            st.ticks = &*ticks;
            streams.push_back(st);
        }
    }

    // Depth snapshots move into the store, where book entries find them.
    struct DepthRange {
        uint32_t instrument;
        std::size_t base;
        std::size_t size;
    };
    std::vector<DepthRange> depth_ranges;
    for (uint32_t i = 0; i < n; ++i) {
        std::vector<DepthSnapshot>& depth = s.instruments[i].depth;
        if (depth.empty()) continue;
        depth_ranges.push_back({i, s.depth_store.size(), depth.size()});
        s.depth_store.insert(s.depth_store.end(), std::make_move_iterator(depth.begin()),
                             std::make_move_iterator(depth.end()));
        depth.clear();
        depth.shrink_to_fit();
    }
    for (const DepthRange& r : depth_ranges) {
        MergeStream st;
        st.source = MergeStream::Depth;
        st.id = id++;
        st.instrument = r.instrument;
        st.size = r.size;
        st.depth = s.depth_store.data() + r.base;
        st.depth_base = static_cast<uint32_t>(r.base);
        streams.push_back(st);
    }

    const std::size_t first = s.schedule.size();
    merge_streams(streams, s.next_local, s.schedule);
    s.sealed = true;

    // One sample per bar and trade: room for them now, so that applying the
    // schedule does not grow the series.
    std::size_t samples = 0;
    for (std::size_t i = first; i < s.schedule.size(); ++i) {
        const ScheduleKind k = s.schedule[i].kind;
        samples += k == ScheduleKind::Bar || k == ScheduleKind::Trade;
    }
    s.equity_curve.reserve(s.equity_curve.size() + samples);
    s.drawdown_curve.reserve(s.drawdown_curve.size() + samples);
    s.returns.reserve(s.returns.size() + samples);
    s.timestamps.reserve(s.timestamps.size() + samples);
}

void PortfolioSession::append_entry(State& s, uint64_t instrument, ScheduleEntry entry) {
    entry.instrument = static_cast<uint32_t>(instrument);
    entry.local_idx = s.next_local[instrument]++;
    s.schedule.push_back(entry);
}

void PortfolioSession::push_bar(uint64_t instrument, const Bar& bar) {
    State& s = live();
    seal_schedule(s);
    instrument_at(s, instrument);
    append_entry(s, instrument,
                 ScheduleEntry::of(FeedEvent::bar(bar.ts, bar.open, bar.high, bar.low, bar.close, bar.volume, 0, 0)));
}

int PortfolioSession::push_tick(uint64_t instrument, const TickRow& row) {
    State& s = live();
    const int appended = tick_row_events(row, 0, 0, 0, [&](const FeedEvent& ev) {
        seal_schedule(s);
        instrument_at(s, instrument);
        append_entry(s, instrument, ScheduleEntry::of(ev));
    });
    // A row that yields nothing still names an instrument, and a wrong one is
    // the caller's error.
    if (appended == 0) instrument_at(s, instrument);
    return appended;
}

void PortfolioSession::push_depth(uint64_t instrument, const DepthSnapshot& snapshot) {
    State& s = live();
    if (instrument >= s.instruments.size()) {
        // The push seals even when it appends nothing; the snapshot is not
        // kept, since no entry could ever refer to it.
        seal_schedule(s);
        instrument_at(s, instrument);
    }
    const std::size_t index = s.depth_store.size();
    s.depth_store.push_back(snapshot);
    // Sealing may store further snapshots; `index` still names this one.
    seal_schedule(s);
    ScheduleEntry e;
    e.kind = ScheduleKind::Book;
    e.ts = snapshot.ts;
    e.a = static_cast<double>(index);
    append_entry(s, instrument, e);
}

// ---------------------------------------------------------------------------
// The cursor
// ---------------------------------------------------------------------------

const ScheduleEntry* PortfolioSession::pending() const {
    const State& s = live();
    return s.cursor < s.schedule.size() ? &s.schedule[s.cursor] : nullptr;
}

const DepthSnapshot& PortfolioSession::depth_of(const ScheduleEntry& e) const {
    return live().depth_store[e.depth_index()];
}

uint64_t PortfolioSession::remaining() const {
    const State& s = live();
    return s.schedule.size() - s.cursor;
}

// ---------------------------------------------------------------------------
// The shared account
// ---------------------------------------------------------------------------

PortfolioSession::Sync PortfolioSession::sync_into(State& s, uint32_t instrument) {
    ExecutionKernel& k = s.instruments[instrument].kernel;
    Sync y;
    y.instrument = instrument;
    if (s.account.kind == AccountType::Margin) {
        // The kernel sees the cash net of every other kernel's margin.
        y.injected = s.pool_cash - (s.pool_locked - s.locked_of[instrument]);
    } else {
        y.injected = s.pool_cash;
    }
    k.cash = y.injected;
    return y;
}

double PortfolioSession::pool_cash_after(const State& s, const ExecutionKernel& k, const Sync& y) {
    return s.pool_cash + (k.cash - y.injected);
}

double PortfolioSession::sum_locked(const State& s) {
    ExactSum total;
    for (double locked : s.locked_of) total.add(locked);
    return total.value();
}

void PortfolioSession::return_to_pool(State& s, const Sync& y) {
    ExecutionKernel& k = s.instruments[y.instrument].kernel;
    s.pool_cash = pool_cash_after(s, k, y);
    if (s.account.kind == AccountType::Margin) {
        // Most events lock nothing new: the sum is taken again only when the
        // kernel's locks moved.
        const double locked = k.locked_margin_total();
        if (std::bit_cast<uint64_t>(locked) != std::bit_cast<uint64_t>(s.locked_of[y.instrument])) {
            s.locked_of[y.instrument] = locked;
            s.pool_locked = sum_locked(s);
        }
    }
    k.cash = 0.0;
}

class PortfolioSession::Lender final : public LendingAccount {
public:
    Lender(State& s, const Sync& sync) : s_(s), sync_(sync) {}

    // The free capital as apply_current leaves it: the kernel returned to
    // the pool, the option margin reconciled and the kernels' locks summed,
    // by the same operations. The reconciliation is tried on the kernels'
    // locks and put back.
    double free_capital_after(const ExecutionKernel& k) const override {
        const double cash = pool_cash_after(s_, k, sync_);
        if (s_.account.kind != AccountType::Margin) return cash - s_.pool_locked;
        reconcile_options(s_, Reconcile::Trial);
        ExactSum locked;
        for (std::size_t i = 0; i < s_.instruments.size(); ++i) {
            const bool fresh = i == sync_.instrument || !s_.undo.empty();
            locked.add(fresh ? s_.instruments[i].kernel.locked_margin_total() : s_.locked_of[i]);
        }
        for (auto it = s_.undo.rbegin(); it != s_.undo.rend(); ++it) *it->first = it->second;
        s_.undo.clear();
        return cash - locked.value();
    }

    std::optional<GroupedEntry> grouped_entry(const ExecutionKernel& k, int8_t dir,
                                              std::optional<uint64_t> adding) const override {
        if (s_.account.kind != AccountType::Margin || !s_.option_margin) return std::nullopt;
        const std::optional<OptionGroup> own = option_group(k);
        if (!own) return std::nullopt;
        // The group's other legs, in units x multiplier: sold and bought of
        // the leg's own right, and of the other right.
        double same[2] = {0.0, 0.0}, other[2] = {0.0, 0.0};
        bool any = false;
        for (const SessionInstrument& inst : s_.instruments) {
            const ExecutionKernel& o = inst.kernel;
            const std::optional<OptionGroup> g = option_group(o);
            if (!g || *g->text != *own->text || g->expiry != own->expiry) continue;
            for (const Position& p : o.ledger.positions) {
                if (&o == &k && adding && p.position_id == *adding) continue;
                any = true;
                (g->call == own->call ? same : other)[p.direction < 0 ? 0 : 1] += p.size * o.instrument_multiplier();
            }
        }
        if (!any) return std::nullopt;
        GroupedEntry entry;
        // With the other right covered, the leg turns the group from covered
        // to uncovered (a sold one) or back (a bought one) at the size that
        // balances its own right.
        const double gap = dir < 0 ? same[1] - same[0] : same[0] - same[1];
        if (other[0] <= other[1] && gap > 0) entry.turn = gap / k.instrument_multiplier();
        return entry;
    }

private:
    State& s_;
    const Sync& sync_;
};

double PortfolioSession::portfolio_equity(const State& s) {
    const bool margin = s.account.kind == AccountType::Margin;
    ExactSum equity;
    equity.add(s.pool_cash);
    for (const SessionInstrument& inst : s.instruments) {
        const ExecutionKernel& k = inst.kernel;
        if (k.ledger.flat()) continue;
        if (inst.mark) {
            equity.add(k.open_value(*inst.mark));
        } else if (!margin) {
            // Holdings never marked (adopted ones) are worth what was paid
            // for them; a margin account carries them at no gain or loss.
            double paid = 0.0;
            for (const Position& p : k.ledger.positions) paid += k.ledger.multiplier * p.entry_price * p.size;
            equity.add(paid);
        }
    }
    return equity.value();
}

double PortfolioSession::cash() const { return live().pool_cash; }

double PortfolioSession::free_capital() const {
    const State& s = live();
    return s.pool_cash - s.pool_locked;
}

double PortfolioSession::equity() const { return portfolio_equity(live()); }

bool PortfolioSession::is_halted() const {
    const State& s = live();
    if (s.halted) return true;
    for (const SessionInstrument& inst : s.instruments)
        if (inst.kernel.drawdown_halted()) return true;
    return false;
}

void PortfolioSession::reconcile_portfolio_margin(State& s) {
    reconcile_options(s, Reconcile::Apply);
    if (s.legs.empty()) return;
    for (const MarginLeg& l : s.legs)
        s.locked_of[l.instrument] = s.instruments[l.instrument].kernel.locked_margin_total();
    s.pool_locked = sum_locked(s);
}

void PortfolioSession::note_legs(const ExecutionKernel& k, std::vector<LegState>& into) {
    into.clear();
    for (const Position& p : k.ledger.positions)
        into.push_back({p.position_id, std::bit_cast<uint64_t>(p.size), std::bit_cast<uint64_t>(p.entry_price),
                        p.direction});
}

std::optional<PortfolioSession::OptionGroup> PortfolioSession::option_group(const ExecutionKernel& k) {
    if (!k.instrument || !k.instrument->is_option()) return std::nullopt;
    const InstrumentSpec& spec = *k.instrument;
    // A bought wing with neither rate covers nothing.
    if (!(spec.span_pct + spec.exposure_pct > 0)) return std::nullopt;
    return OptionGroup{spec.kind.underlying ? &*spec.kind.underlying : &spec.symbol, spec.expiration_ns,
                       spec.kind.right == OptionRight::Call};
}

void PortfolioSession::reconcile_options(State& s, Reconcile how) {
    s.legs.clear();
    if (s.account.kind != AccountType::Margin || !s.option_margin) return;
    for (std::size_t i = 0; i < s.instruments.size(); ++i) {
        const ExecutionKernel& k = s.instruments[i].kernel;
        if (k.ledger.flat()) continue;
        const std::optional<OptionGroup> group = option_group(k);
        if (!group) continue;
        const InstrumentSpec& spec = *k.instrument;
        const std::string* text = group->text;
        for (const Position& p : k.ledger.positions) {
            MarginLeg leg;
            leg.position_id = p.position_id;
            leg.instrument = static_cast<uint32_t>(i);
            leg.strike = spec.kind.strike;
            leg.size = p.size;
            leg.entry_price = p.entry_price;
            leg.multiplier = k.instrument_multiplier();
            leg.span_pct = spec.span_pct;
            leg.exposure_pct = spec.exposure_pct;
            leg.direction = p.direction;
            leg.call = spec.kind.right == OptionRight::Call;
            leg.group_text = text;
            leg.expiry = spec.expiration_ns;
            s.legs.push_back(leg);
        }
    }
    if (s.legs.empty()) return;
    s.grouped.assign(s.legs.size(), 0);
    for (std::size_t a = 0; a < s.legs.size(); ++a) {
        if (s.grouped[a]) continue;
        s.group.clear();
        for (std::size_t b = a; b < s.legs.size(); ++b) {
            if (s.grouped[b] || *s.legs[b].group_text != *s.legs[a].group_text || s.legs[b].expiry != s.legs[a].expiry)
                continue;
            s.grouped[b] = 1;
            s.group.push_back(b);
        }
        reconcile_group(s, s.group, how);
    }
}

void PortfolioSession::reconcile_group(State& s, std::span<const std::size_t> group, Reconcile how) {
    const std::vector<MarginLeg>& legs = s.legs;
    bool any_short = false;
    double top_strike = 0.0;
    for (std::size_t g : group) {
        any_short |= legs[g].direction < 0;
        top_strike = std::max(top_strike, legs[g].strike);
    }
    if (!any_short) return;

    // The worst payoff of the group at expiry over its strikes and the two
    // ends of the price range. Every sum over the legs adds each
    // instrument's legs in its ledger's order and the instruments' subtotals
    // exactly, so that the group's margin does not depend on the order of
    // add_instrument.
    auto value_at = [&](double price) {
        GroupedSum v;
        for (std::size_t g : group) {
            const MarginLeg& l = legs[g];
            const double intrinsic = l.call ? std::max(price - l.strike, 0.0) : std::max(l.strike - price, 0.0);
            v.add(l.instrument, l.multiplier * l.size * (l.direction > 0 ? 1.0 : -1.0) * intrinsic);
        }
        return v.value();
    };
    double worst = 0.0;
    for (std::size_t g : group) worst = std::min(worst, value_at(legs[g].strike));
    worst = std::min(worst, value_at(0.0));
    worst = std::min(worst, value_at(2.0 * top_strike + 1.0));
    const double loss = std::max(-worst, 0.0);

    GroupedSum sums[7];  // sold and bought calls and puts, exposure, premium, weights
    double top_span = 0.0, top_notional = 0.0;
    std::size_t shorts = 0;
    for (std::size_t g : group) {
        const MarginLeg& l = legs[g];
        const double q = l.size * l.multiplier;
        const bool is_short = l.direction < 0;
        sums[(l.call ? 0 : 2) + (is_short ? 0 : 1)].add(l.instrument, q);
        sums[5].add(l.instrument, (is_short ? 1.0 : -1.0) * l.entry_price * q);
        if (!is_short) continue;
        ++shorts;
        top_span = std::max(top_span, l.span_pct);
        top_notional = std::max(top_notional, l.strike * q);
        sums[4].add(l.instrument, l.exposure_pct * l.strike * q);
        sums[6].add(l.instrument, (l.span_pct + l.exposure_pct) * l.strike * q);
    }
    const double short_calls = sums[0].value(), long_calls = sums[1].value();
    const double short_puts = sums[2].value(), long_puts = sums[3].value();
    const double exposure = sums[4].value(), weights = sums[6].value();
    double premium = sums[5].value();
    const bool uncovered = short_calls > long_calls || short_puts > long_puts;
    const double base = uncovered ? top_span * top_notional : loss;
    // A lone leg earns no credit for its own premium.
    if (group.size() < 2) premium = 0.0;
    const double margin = std::max(base + exposure - premium, 0.0);

    for (std::size_t g : group) {
        const MarginLeg& l = legs[g];
        if (l.direction >= 0) continue;
        const double w = (l.span_pct + l.exposure_pct) * l.strike * l.size * l.multiplier;
        const double share = weights > 0 ? margin * w / weights : margin / static_cast<double>(shorts);
        auto& locked = s.instruments[l.instrument].kernel.locked_margin;
        auto it = locked.find(l.position_id);
        if (it == locked.end()) continue;
        if (how == Reconcile::Trial) s.undo.emplace_back(&it->second, it->second);
        it->second = share;
    }
}

// ---------------------------------------------------------------------------
// Applying events
// ---------------------------------------------------------------------------

void PortfolioSession::collect_trades(State& s, uint32_t instrument, std::span<const EngineEventRecord> records) {
    for (const EngineEventRecord& r : records) {
        if (r.kind != EngineEventRecord::Exited || !r.trade) continue;
        s.trades.push_back(*r.trade);
        s.trade_instruments.push_back(instrument);
        s.trade_instants.push_back(s.equity_curve.size());
    }
}

void PortfolioSession::latch_halt(State& s) {
    if (!s.halted) {
        s.halted = true;
        s.halted_at = s.cursor;
    }
}

void PortfolioSession::apply_current(const StepIntents& intents, std::vector<EngineEventRecord>& out) {
    State& s = live();
    if (s.cursor >= s.schedule.size()) return;
    const ScheduleEntry e = s.schedule[s.cursor];
    SessionInstrument& inst = s.instruments[e.instrument];
    ExecutionKernel& k = inst.kernel;
    const std::size_t first = out.size();

    if (k.max_positions) {
        uint64_t open = 0;
        for (const SessionInstrument& other : s.instruments) open += other.kernel.ledger.open_count();
        k.open_positions_override = open;
    }
    // The groups of sold options are margined again only when the event
    // moved a leg of one: only this kernel's positions can move here.
    const bool leg_of_group = s.account.kind == AccountType::Margin && s.option_margin && option_group(k);
    if (leg_of_group) note_legs(k, s.legs_before);
    const Sync sync = sync_into(s, e.instrument);
    // An entry of the step asks the pool what it leaves free; the kernel
    // forgets the pool when the step ends, however it ends.
    const Lender lender(s, sync);
    struct Lent {
        ExecutionKernel& k;
        ~Lent() { k.lender = nullptr; }
    } lent{k};
    k.lender = &lender;
    std::optional<Bar> marked;
    switch (e.kind) {
        case ScheduleKind::Bar:
            marked = Bar{e.ts, e.a, e.b, e.c, e.d, e.e};
            k.step_bar(e.local_idx, *marked, intents, false, out);
            break;
        case ScheduleKind::Trade:
            marked = Bar{e.ts, e.a, e.a, e.a, e.a, e.b};
            k.step_bar(e.local_idx, *marked, intents, true, out);
            break;
        case ScheduleKind::Quote:
            k.depth = DepthBook{};
            if (e.a > 0.0) {
                k.depth.bids[0] = {e.a, quote_size(e.c)};
                k.depth.n_bids = 1;
            }
            if (e.b > 0.0) {
                k.depth.asks[0] = {e.b, quote_size(e.d)};
                k.depth.n_asks = 1;
            }
            if (s.config.queue_fill_model) requeue_from_quote(k.book.queue, e.a, e.c, e.b, e.d);
            break;
        case ScheduleKind::Book:
            k.depth = s.depth_store[e.depth_index()].levels;
            break;
    }
    if (!marked) {
        // No step: what the driver's calls queued comes back now.
        for (EngineEventRecord& r : k.events) out.push_back(std::move(r));
        k.events.clear();
    }
    return_to_pool(s, sync);
    k.open_positions_override.reset();
    if (leg_of_group) {
        note_legs(k, s.legs_after);
        if (s.legs_after != s.legs_before) reconcile_portfolio_margin(s);
    }
    collect_trades(s, e.instrument, std::span(out).subspan(first));

    if (marked) {
        inst.mark = marked->close;
        inst.last_bar.emplace(e.local_idx, *marked);
        s.marked = true;
        // The account is valued at whole instants: a check between two
        // instruments' bars of one minute would see some at the minute's
        // marks and the others at the last minute's.
        if (closes_instant(s)) value_instant(s, e, out);
    }
    ++s.cursor;
}

std::vector<uint32_t> PortfolioSession::closing_order(const State& s) {
    std::vector<uint32_t> order(s.instruments.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    auto bits = [](double v) { return std::bit_cast<uint64_t>(v); };
    // By symbol, then by what the closes read: the positions and the price
    // they close at. Instruments alike in all of it close alike.
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const SessionInstrument& x = s.instruments[a];
        const SessionInstrument& y = s.instruments[b];
        if (int c = x.kernel.ledger.symbol.compare(y.kernel.ledger.symbol)) return c < 0;
        const auto close_of = [&](const SessionInstrument& i) { return i.last_bar ? bits(i.last_bar->second.close) : 0; };
        if (close_of(x) != close_of(y)) return close_of(x) < close_of(y);
        const std::vector<Position>& p = x.kernel.ledger.positions;
        const std::vector<Position>& q = y.kernel.ledger.positions;
        for (std::size_t k = 0; k < p.size() && k < q.size(); ++k) {
            const auto kp = std::make_tuple(bits(p[k].entry_price), bits(p[k].size), p[k].direction, bits(p[k].entry_fees));
            const auto kq = std::make_tuple(bits(q[k].entry_price), bits(q[k].size), q[k].direction, bits(q[k].entry_fees));
            if (kp != kq) return kp < kq;
        }
        return p.size() < q.size();
    });
    return order;
}

bool PortfolioSession::closes_instant(State& s) {
    const uint64_t at = s.cursor;
    const int64_t ts = s.schedule[at].ts;
    // Past what was read of the last instant, a new instant starts here (an
    // event read in it has its timestamp). Rows pushed after an instant was
    // valued start a new one too.
    if (at >= s.instant_read) s.instant_read = at;
    // Read on into what is pending, once per event; what is pushed later is
    // read when the instant's next event comes.
    while (s.instant_read < s.schedule.size() && s.schedule[s.instant_read].ts == ts) {
        const ScheduleKind kind = s.schedule[s.instant_read].kind;
        if (kind == ScheduleKind::Bar || kind == ScheduleKind::Trade) s.instant_last_mark = s.instant_read;
        ++s.instant_read;
    }
    return s.instant_last_mark == at;
}

void PortfolioSession::value_instant(State& s, const ScheduleEntry& e, std::vector<EngineEventRecord>& out) {
    // One margin rule for the whole account: every marked holding's
    // requirement against the portfolio's equity. It comes first, so that
    // the instant's sample is the account once the instant is over, after
    // the liquidation a call brings, as a kernel stepped alone records it.
    double equity = portfolio_equity(s);
    if (s.account.kind == AccountType::Margin && !s.halted) {
        ExactSum requirement;
        for (const SessionInstrument& inst : s.instruments)
            if (inst.mark && !inst.kernel.ledger.flat())
                requirement.add(inst.kernel.maintenance_margin(*inst.mark, ExecutionKernel::MaintenanceBasis::Locks));
        const double required = requirement.value();
        if (required > 0.0 && equity < required) {
            latch_halt(s);
            for (SessionInstrument& inst : s.instruments) inst.kernel.margin_call = true;
            out.push_back(EngineEventRecord::margin_call(e.local_idx, equity, required));
            if (s.config.liquidate_on_margin_call) {
                // Closed in an order of their own, so that the pool's cash
                // takes the closes in the same order whatever the order of
                // add_instrument; their exits are still reported in the
                // order of add_instrument, which the trade list keeps.
                std::vector<std::vector<EngineEventRecord>> exits(s.instruments.size());
                for (uint32_t i : closing_order(s)) {
                    SessionInstrument& inst = s.instruments[i];
                    if (!inst.last_bar) continue;
                    const Sync sync = sync_into(s, i);
                    inst.kernel.liquidate_all(inst.last_bar->first, inst.last_bar->second, exits[i]);
                    return_to_pool(s, sync);
                }
                for (std::size_t i = 0; i < exits.size(); ++i) {
                    const std::size_t first = out.size();
                    for (EngineEventRecord& r : exits[i]) out.push_back(std::move(r));
                    collect_trades(s, static_cast<uint32_t>(i), std::span(out).subspan(first));
                }
                equity = portfolio_equity(s);
            }
        }
    }

    const bool has_prev = !s.equity_curve.empty();
    const double prev = has_prev ? s.equity_curve.back() : 0.0;
    s.equity_curve.push_back(equity);
    if (equity > s.peak_equity) s.peak_equity = equity;
    const double peak = s.peak_equity;
    const double drawdown = (peak - equity) / peak * 100.0;
    s.drawdown_curve.push_back(drawdown);
    s.returns.push_back(has_prev && prev != 0.0 ? (equity - prev) / prev : 0.0);
    s.timestamps.push_back(e.ts);

    // The drawdown kill-switch, on the portfolio's drawdown.
    if (s.kill_switch) {
        bool before = false, tripped = false;
        for (const SessionInstrument& inst : s.instruments) before |= inst.kernel.drawdown_halted();
        for (SessionInstrument& inst : s.instruments) {
            ExecutionKernel& k = inst.kernel;
            if (peak > 0 && !k.drawdown_halt && k.max_drawdown_pct && *k.max_drawdown_pct <= drawdown) {
                k.drawdown_halt = true;
                tripped = true;
            }
        }
        if (!before && tripped) latch_halt(s);
    }
}

// ---------------------------------------------------------------------------
// Finish
// ---------------------------------------------------------------------------

PortfolioResult PortfolioSession::finish() {
    if (!state_) throw RuleError("session is already finished");
    State s = std::move(*state_);
    state_.reset();

    // Closed in the order a margin call closes them in, their trades listed
    // in the order of add_instrument.
    std::vector<TradeList> closed(s.instruments.size());
    for (uint32_t i : closing_order(s)) {
        SessionInstrument& inst = s.instruments[i];
        if (!inst.last_bar) continue;
        const Sync sync = sync_into(s, i);
        const auto& [idx, bar] = *inst.last_bar;
        inst.kernel.force_close_all(idx, bar.ts, bar.close, closed[i]);
        return_to_pool(s, sync);
        inst.mark.reset();
    }
    for (std::size_t i = 0; i < closed.size(); ++i) {
        for (Trade& t : closed[i]) s.trades.push_back(std::move(t));
        s.trade_instruments.resize(s.trades.size(), static_cast<uint32_t>(i));
        s.trade_instants.resize(s.trades.size(), s.equity_curve.size() + 1);
    }
    // The last sample reflects the closes; holdings never marked stay open
    // and count at what was paid for them.
    if (!s.equity_curve.empty()) s.equity_curve.back() = portfolio_equity(s);

    PortfolioResult r;
    const std::optional<TradeList> reordered = metrics_order(s.trades, s.trade_instruments, s.trade_instants);
    r.result.metrics = compute_metrics(s.equity_curve, s.drawdown_curve, s.returns, reordered ? *reordered : s.trades,
                                       s.timestamps, s.config);
    r.per_instrument.resize(s.instruments.size());
    for (std::size_t i = 0; i < s.instruments.size(); ++i) {
        const ExecutionKernel& k = s.instruments[i].kernel;
        InstrumentSummary& sum = r.per_instrument[i];
        sum.symbol = k.ledger.symbol;
        sum.rejected_entries = k.refused_entries;
        r.rejected_entries += k.refused_entries;
        r.halted = r.halted || k.drawdown_halted();
    }
    for (std::size_t t = 0; t < s.trades.size(); ++t) {
        InstrumentSummary& sum = r.per_instrument[s.trade_instruments[t]];
        ++sum.trades;
        sum.pnl += s.trades[t].pnl;
    }
    r.halted = r.halted || s.halted;
    r.halted_at = s.halted_at;
    r.result.equity_curve = std::move(s.equity_curve);
    r.result.drawdown_curve = std::move(s.drawdown_curve);
    r.result.returns = std::move(s.returns);
    r.result.trades = std::move(s.trades);
    return r;
}

// ---------------------------------------------------------------------------
// Orders, per instrument
// ---------------------------------------------------------------------------

uint64_t PortfolioSession::submit_order(uint64_t instrument, OrderArgs args) {
    State& s = live();
    SessionInstrument& inst = instrument_at(s, instrument);
    // The caller's index means something only while this instrument's event
    // is pending; otherwise the order belongs after the last one applied.
    const bool own_pending = s.cursor < s.schedule.size() && s.schedule[s.cursor].instrument == instrument;
    if (!own_pending) args.submitted_idx = inst.last_bar ? inst.last_bar->first : 0;
    return inst.kernel.submit_order(std::move(args));
}

bool PortfolioSession::cancel_order(uint64_t instrument, uint64_t idx, uint64_t order_id) {
    return instrument_at(live(), instrument).kernel.cancel_order(idx, order_id);
}

bool PortfolioSession::modify_order(uint64_t instrument, uint64_t order_id, std::optional<double> units,
                                    std::optional<double> size_frac, std::optional<double> limit_price,
                                    std::optional<double> trigger_price) {
    // The new sizing obeys the rules of a new order, and is checked before
    // the session or the order is looked at.
    const SizingChange change = parse_sizing_change(units, size_frac);
    ExecutionKernel& k = instrument_at(live(), instrument).kernel;
    return k.modify_order(order_id, change.sizing, change.quantity, limit_price, trigger_price);
}

std::vector<uint64_t> PortfolioSession::cancel_all_orders(uint64_t instrument, uint64_t idx) {
    return instrument_at(live(), instrument).kernel.cancel_all_orders(idx);
}

void PortfolioSession::link_oco(uint64_t instrument, std::span<const uint64_t> order_ids) {
    instrument_at(live(), instrument).kernel.link_oco(order_ids);
}

void PortfolioSession::request_close(uint64_t instrument, uint64_t position_id) {
    instrument_at(live(), instrument).kernel.request_close(position_id);
}

void PortfolioSession::set_underlying_price(uint64_t instrument, std::optional<double> price) {
    instrument_at(live(), instrument).kernel.underlying_price = price;
}

std::vector<WorkingOrder> PortfolioSession::working_orders(uint64_t instrument) const {
    const ExecutionKernel& k = instrument_at(live(), instrument).kernel;
    std::vector<WorkingOrder> out;
    for (const Order& o : k.book.orders) {
        if (!is_working(o.status)) continue;
        WorkingOrder w;
        w.order_id = o.order_id;
        w.client_id = o.client_order_id;
        w.side = o.is_buy() ? "buy" : "sell";
        w.kind = ascii_lower(order_kind_name(o.order_type.kind));
        w.status = o.status == OrderStatus::PartiallyFilled ? "partially_filled"
                   : o.status == OrderStatus::Triggered     ? "triggered"
                                                            : "accepted";
        w.filled = o.filled;
        w.units = o.sizing == Sizing::Units ? o.quantity : kNaN;
        out.push_back(std::move(w));
    }
    return out;
}

std::vector<PositionSnapshot> PortfolioSession::positions(uint64_t instrument) const {
    return position_snapshots(instrument_at(live(), instrument).kernel.ledger);
}

std::optional<PositionSnapshot> PortfolioSession::position(uint64_t instrument) const {
    return first_position(instrument_at(live(), instrument).kernel.ledger);
}

}  // namespace tidemark
