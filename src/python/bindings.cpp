// Configuration and result records: BacktestConfig, InstrumentConfig,
// StopConfig, TargetConfig, Trade, BacktestMetrics, BacktestResult,
// InstrumentSummary and PortfolioResult.
#include <cmath>

#include "core/config.h"
#include "core/fees.h"
#include "core/format.h"
#include "portfolio/engine.h"
#include "portfolio/kernel_session.h"
#include "python/classes.h"
#include "python/registry.h"

namespace tidemark::py {

namespace {

// ---------------------------------------------------------------------------
// BacktestConfig
// ---------------------------------------------------------------------------

constexpr Param kBacktestConfigParams[] = {
    {"initial_capital", "100000.0"},
    {"fees", "0.001"},
    {"slippage", "0.0"},
    {"upon_bar_close", "True"},
    {"apply_slippage", "True"},
    {"periods_per_year", "None"},
    {"risk_free_rate", "0.0"},
    {"session_minutes", "None"},
    {"fee_segment", "None"},
    {"max_positions", "None"},
    {"max_drawdown_pct", "None"},
    {"legacy_annualization", "False"},
    {"fill_prob_limit", "1.0"},
    {"fill_prob_slippage", "0.0"},
    {"fill_seed", "0"},
    {"bar_path_adaptive", "False"},
    {"queue_fill_model", "False"},
    {"partial_fills", "False"},
    {"order_latency_ns", "0"},
    {"session_tz_offset_ns", "0"},
    {"limit_slippage", "0.0"},
    {"liquidate_on_margin_call", "False"},
    {"squareoff_time", "None"},
    {"fill_timing", "None"},
};
const Sig kBacktestConfigNew{"BacktestConfig", "__new__", kBacktestConfigParams};

BacktestConfig new_backtest_config(double initial_capital, double fees, double slippage, bool upon_bar_close,
                                   bool apply_slippage, std::optional<double> periods_per_year,
                                   double risk_free_rate, std::optional<double> session_minutes,
                                   std::optional<std::string> fee_segment, std::optional<uint64_t> max_positions,
                                   std::optional<double> max_drawdown_pct, bool legacy_annualization,
                                   double fill_prob_limit, double fill_prob_slippage, uint64_t fill_seed,
                                   bool bar_path_adaptive, bool queue_fill_model, bool partial_fills,
                                   int64_t order_latency_ns, int64_t session_tz_offset_ns, double limit_slippage,
                                   bool liquidate_on_margin_call, std::optional<std::string> squareoff_time,
                                   std::optional<std::string> fill_timing) {
    BacktestConfig c;
    c.initial_capital = initial_capital;
    c.fees = fees;
    c.slippage = slippage;
    c.upon_bar_close = upon_bar_close;
    c.apply_slippage = apply_slippage;
    c.periods_per_year = periods_per_year;
    c.risk_free_rate = risk_free_rate;
    c.session_minutes = session_minutes;
    c.fee_segment = std::move(fee_segment);
    c.max_positions = max_positions;
    c.max_drawdown_pct = max_drawdown_pct;
    c.legacy_annualization = legacy_annualization;
    c.fill_prob_limit = fill_prob_limit;
    c.fill_prob_slippage = fill_prob_slippage;
    c.fill_seed = fill_seed;
    c.bar_path_adaptive = bar_path_adaptive;
    c.queue_fill_model = queue_fill_model;
    c.partial_fills = partial_fills;
    c.order_latency_ns = order_latency_ns;
    c.session_tz_offset_ns = session_tz_offset_ns;
    c.limit_slippage = limit_slippage;
    c.liquidate_on_margin_call = liquidate_on_margin_call;
    // The squareoff text is parsed before the timing, so with both invalid the
    // squareoff error is the one reported.
    if (squareoff_time) c.squareoff_time_minutes = parse_squareoff_time(*squareoff_time);
    if (fill_timing) c.fill_timing = parse_fill_timing(*fill_timing);
    return c;
}

std::optional<std::string> fill_timing_of(const BacktestConfig& c) {
    if (!c.fill_timing) return std::nullopt;
    return std::string(fill_timing_text(*c.fill_timing));
}

// Stop and target setters shared by BacktestConfig and InstrumentConfig.
constexpr Param kPercentParam[] = {{"percent"}};
constexpr Param kAtrParams[] = {{"multiplier"}, {"period"}};
constexpr Param kRatioParam[] = {{"ratio"}};

void cfg_fixed_stop(BacktestConfig& c, double percent) { c.stop = StopModel::fixed(percent); }
void cfg_atr_stop(BacktestConfig& c, double multiplier, uint64_t period) { c.stop = StopModel::atr(multiplier, period); }
void cfg_trailing_stop(BacktestConfig& c, double percent) { c.stop = StopModel::trailing(percent); }
void cfg_fixed_target(BacktestConfig& c, double percent) { c.target = TargetModel::fixed(percent); }
void cfg_atr_target(BacktestConfig& c, double multiplier, uint64_t period) {
    c.target = TargetModel::atr(multiplier, period);
}
void cfg_rr_target(BacktestConfig& c, double ratio) { c.target = TargetModel::risk_reward(ratio); }

// What the stop and target setters of both configurations take, and where
// the levels they set apply.
constexpr const char* kModelScope =
    "\n\nStops and targets apply in `run_single_backtest`, `run_portfolio_backtest`,\n"
    "`run_multi_backtest` and the sessions; the other runners do not read them.";
constexpr const char* kFractionNote =
    "`percent` is a fraction of the entry price: 0.05 puts the level 5 % from\n"
    "the entry, while 5 would put it 500 % away, where it never fires.";
constexpr const char* kTrailingNote =
    "`percent` is a fraction: 0.05 keeps the stop 5 % behind the best price\n"
    "since the entry, moving only in the position's favour.";
constexpr const char* kAtrNote =
    "The level is `multiplier` x ATR(`period`) from the entry price, fixed when\n"
    "the position opens. The runners compute that ATR themselves\n"
    "(`resolve_atr_period` tells its period); `KernelSession` and\n"
    "`PortfolioSession` take it from the `atr=` of each step, and an entry\n"
    "stepped without one gets no ATR level.";
constexpr const char* kRrNote =
    "The target sits `ratio` times the stop's distance beyond the entry price;\n"
    "an entry without a stop gets no target.";

std::string model_doc(const char* first_line, const char* note) {
    return std::string(first_line) + "\n\n" + note + kModelScope;
}

const Sig kCfgFixedStop{"BacktestConfig", "set_fixed_stop", kPercentParam};
const Sig kCfgAtrStop{"BacktestConfig", "set_atr_stop", kAtrParams};
const Sig kCfgTrailingStop{"BacktestConfig", "set_trailing_stop", kPercentParam};
const Sig kCfgFixedTarget{"BacktestConfig", "set_fixed_target", kPercentParam};
const Sig kCfgAtrTarget{"BacktestConfig", "set_atr_target", kAtrParams};
const Sig kCfgRrTarget{"BacktestConfig", "set_risk_reward_target", kRatioParam};

PyTypeObject* build_backtest_config() {
    using C = BacktestConfig;
    ClassSpec s = class_spec<C>(
        "Python-exposed backtest configuration.\n\n"
        "Fractions throughout: `fees=0.001` is 0.1 %, `slippage=0.0005` 0.05 %, and\n"
        "`set_fixed_stop(0.05)` a stop 5 % from the entry (`set_fixed_stop(5)` would\n"
        "be a 500 % stop that never fires); `max_drawdown_pct` alone is a percent.\n\n"
        "`squareoff_time=\"HH:MM\"` is read by `run_spread_backtest` alone: the other\n"
        "runners and both sessions carry positions overnight whatever it says (the\n"
        "kernel does not square off; close positions with an exit signal on the\n"
        "last bar of each day). Square-off times and day-order expiry are local\n"
        "times through `session_tz_offset_ns`, which defaults to UTC: \"15:15\"\n"
        "without `session_tz_offset_ns=IST_OFFSET_NS` never fires on NSE data.");
    set_constructor<kBacktestConfigNew, &new_backtest_config>(s);
    s.getset = {
        rw<&C::initial_capital>("initial_capital"),
        rw<&C::fees>("fees",
                     "Flat cost per fill as a fraction of its notional (0.001 is 0.1 %).\n\n"
                     "Also the sizing allowance when `fee_segment` charges the itemised\n"
                     "schedule instead."),
        rw<&C::slippage>("slippage",
                         "Adverse price adjustment per fill, as a fraction of the price.\n\n"
                         "Applied by `run_single_backtest`, `run_portfolio_backtest`,\n"
                         "`run_multi_backtest` and the sessions; the options, pairs, basket and\n"
                         "spread runners do not apply it."),
        rw<&C::upon_bar_close>("upon_bar_close",
                               "Deprecated in favor of `fill_timing`: `True` maps to\n`\"same_bar_close\"`, `False` "
                               "to `\"next_bar_open\"`. An explicit\n`fill_timing` wins over this flag."),
        rw<&C::apply_slippage>("apply_slippage", "Whether `slippage` is applied to fills."),
        rw<&C::periods_per_year>("periods_per_year",
                                 "Explicit annualization factor; `None` infers it from bar spacing.\n\n"
                                 "Inferred from the median step between timestamps: a step of a day or\n"
                                 "more gives 365 / step in days, so daily bars annualise at 365, not\n"
                                 "252; a shorter step gives 252 x max(`session_minutes` / step in\n"
                                 "minutes, 1), 94,500 for 1-minute NSE bars (365 / step in days again\n"
                                 "when `session_minutes` is 0, a 24x7 market). Set it to 252.0 for\n"
                                 "trading-day annualisation of daily bars."),
        rw<&C::risk_free_rate>("risk_free_rate", "Annual risk-free rate as a fraction."),
        rw<&C::session_minutes>("session_minutes",
                                "Trading minutes per session for intraday annualization.\n\nNSE equity 375, MCX 870, "
                                "CDS 480. `0` marks a 24x7 market.\n`None` defaults to NSE."),
        rw<&C::fee_segment>("fee_segment",
                            "Itemized Indian cost segment, e.g. \"NSE\", \"NFO-OPT\", \"MCX-FUT\".\n\nWhen set, the "
                            "engine charges the real regulatory schedule instead of\nthe flat `fees` fraction, and "
                            "reports the breakdown per trade.\n\n"
                            "The text is EXCHANGE or EXCHANGE-PRODUCT, in any case: NSE or BSE give\n"
                            "equity intraday, and delivery with -DELIVERY (any other product, such as\n"
                            "\"NSE-CNC\", is intraday); NFO/BFO, MCX and CDS/BCD give futures, or options\n"
                            "with -OPT, -CE or -PE. Any other exchange, such as \"equity_delivery\"\n"
                            "(a `simulate_rebalance_policy` segment name), is not an error: the flat\n"
                            "`fees` apply and `fee_breakdown` is None. No depository (DP) charge is\n"
                            "made. The flat `fees` still set the sizing allowance (an entry is sized\n"
                            "as if each unit cost price x (1 + fees), or in a margin account its\n"
                            "initial margin plus price x fees), so with a schedule cheaper than\n"
                            "`fees` some cash stays idle; `fees=0.0` sizes to the whole free capital,\n"
                            "cut to what the real fee leaves room for.\n\n"
                            "One schedule per run or session, paid by every instrument in it: a\n"
                            "futures hedge in an \"NFO-OPT\" session pays the options rates on the\n"
                            "future's whole notional. Run the hedge in its own session with\n"
                            "\"NFO-FUT\", or correct its costs by hand."),
        rw<&C::max_positions>("max_positions", "Maximum concurrent open positions. `None` is unlimited."),
        rw<&C::max_drawdown_pct>("max_drawdown_pct",
                                 "Drawdown percent that halts new entries. `None` disables.\n\n"
                                 "A percent, unlike the other fractions: 15.0 halts at a 15 % drawdown."),
        rw<&C::legacy_annualization>("legacy_annualization",
                                     "Annualise at 365 periods per year whatever the bars or\n"
                                     "`periods_per_year` say.\n\n"
                                     "The basket, options and pairs runners and `run_multi_backtest`'s\n"
                                     "\"independent\" mode instead take Sharpe and Sortino from the\n"
                                     "trades' returns at 252 periods per year, without\n"
                                     "`risk_free_rate`. The spread and tick runners do not read it."),
        rw<&C::fill_prob_limit>("fill_prob_limit",
                                "Probability a marketable resting limit order fills (1.0 = always)."),
        rw<&C::fill_prob_slippage>("fill_prob_slippage",
                                   "Probability a stop/market fill slips one tick against the trader."),
        rw<&C::queue_fill_model>("queue_fill_model",
                                 "Fill resting limits from observed queue position (needs depth data)."),
        rw<&C::partial_fills>("partial_fills", "Fill typed orders across prints on the tick path (partial fills)."),
        rw<&C::order_latency_ns>("order_latency_ns", "Order-entry latency on the tick path (ns); 0 = same-print."),
        rw<&C::session_tz_offset_ns>("session_tz_offset_ns",
                                     "Offset for the trading date DAY orders expire on (0 = UTC).\n\n"
                                     "Nanoseconds added to UTC timestamps to get the local clock that\n"
                                     "day-order expiry and `squareoff_time` are read on; `IST_OFFSET_NS` for\n"
                                     "Indian markets. With the default UTC a \"day\" order of an NSE session\n"
                                     "expires at UTC midnight and a squareoff at \"15:15\" never fires."),
        ro<&C::squareoff_time_minutes>("squareoff_time_minutes",
                                       "Squareoff time as minutes from local midnight; `None` disables.\n\nSet "
                                       "through the `squareoff_time` \"HH:MM\" argument, not directly.\n\n"
                                       "Read by `run_spread_backtest` alone, which closes the legs on the\n"
                                       "first bar of each local day at or after it. Every other runner and\n"
                                       "both sessions carry positions overnight whatever it says: the kernel\n"
                                       "does not square off, so close positions with an exit signal on the\n"
                                       "last bar of each day. Local means through `session_tz_offset_ns`,\n"
                                       "which defaults to UTC: \"15:15\" without\n"
                                       "`session_tz_offset_ns=IST_OFFSET_NS` never fires on NSE data."),
        rw<&C::limit_slippage>("limit_slippage",
                               "Adverse adjustment on limit fills, as a fraction of the limit price."),
        rw<&C::liquidate_on_margin_call>("liquidate_on_margin_call",
                                         "Force-close positions on a margin call instead of only halting entries."),
        rw<&C::fill_seed>("fill_seed", "Seed for the stochastic-fill RNG."),
        rw<&C::bar_path_adaptive>("bar_path_adaptive",
                                  "Infer intra-bar high/low order from candle geometry on stop/target\nconflicts; "
                                  "false takes the stop whenever one bar reaches both."),
        ro_fn<&fill_timing_of>("fill_timing",
                               "The execution-timing policy, or `None` when it derives from the\ndeprecated "
                               "`upon_bar_close` flag.\n\n"
                               "\"same_bar_close\" fills a signal at its bar's close; \"next_bar_open\" at\n"
                               "the next bar's open; \"same_bar_open_lookahead\" at its own bar's open,\n"
                               "which looks ahead and is only for reproducing results made that way."),
    };
    s.methods = {
        method<kCfgFixedStop, &cfg_fixed_stop>(model_doc("Set fixed percentage stop-loss.", kFractionNote).c_str()),
        method<kCfgAtrStop, &cfg_atr_stop>(model_doc("Set ATR-based stop-loss.", kAtrNote).c_str()),
        method<kCfgTrailingStop, &cfg_trailing_stop>(model_doc("Set trailing stop-loss.", kTrailingNote).c_str()),
        method<kCfgFixedTarget, &cfg_fixed_target>(
            model_doc("Set fixed percentage take-profit.", kFractionNote).c_str()),
        method<kCfgAtrTarget, &cfg_atr_target>(model_doc("Set ATR-based take-profit.", kAtrNote).c_str()),
        method<kCfgRrTarget, &cfg_rr_target>(model_doc("Set risk-reward based take-profit.", kRrNote).c_str()),
    };
    return build_class(std::move(s));
}

// ---------------------------------------------------------------------------
// InstrumentConfig
// ---------------------------------------------------------------------------

constexpr Param kInstrumentConfigParams[] = {
    {"lot_size", "None"}, {"alloted_capital", "None"}, {"existing_qty", "None"}, {"avg_price", "None"}};
const Sig kInstrumentConfigNew{"InstrumentConfig", "__new__", kInstrumentConfigParams};

InstrumentConfig new_instrument_config(std::optional<double> lot_size, std::optional<double> alloted_capital,
                                       std::optional<double> existing_qty, std::optional<double> avg_price) {
    InstrumentConfig c;
    c.lot_size = lot_size;
    c.alloted_capital = alloted_capital;
    c.existing_qty = existing_qty;
    c.avg_price = avg_price;
    return c;
}

std::string debug_optional(const std::optional<double>& v) {
    return v ? "Some(" + fmt_debug(*v) + ")" : std::string("None");
}

std::string instrument_config_repr(const InstrumentConfig& c) {
    return "InstrumentConfig(lot_size=" + debug_optional(c.lot_size) +
           ", alloted_capital=" + debug_optional(c.alloted_capital) + ")";
}

void ic_fixed_stop(InstrumentConfig& c, double percent) { c.stop = StopModel::fixed(percent); }
void ic_atr_stop(InstrumentConfig& c, double multiplier, uint64_t period) { c.stop = StopModel::atr(multiplier, period); }
void ic_trailing_stop(InstrumentConfig& c, double percent) { c.stop = StopModel::trailing(percent); }
void ic_fixed_target(InstrumentConfig& c, double percent) { c.target = TargetModel::fixed(percent); }
void ic_atr_target(InstrumentConfig& c, double multiplier, uint64_t period) {
    c.target = TargetModel::atr(multiplier, period);
}
void ic_rr_target(InstrumentConfig& c, double ratio) { c.target = TargetModel::risk_reward(ratio); }

const Sig kIcFixedStop{"InstrumentConfig", "set_fixed_stop", kPercentParam};
const Sig kIcAtrStop{"InstrumentConfig", "set_atr_stop", kAtrParams};
const Sig kIcTrailingStop{"InstrumentConfig", "set_trailing_stop", kPercentParam};
const Sig kIcFixedTarget{"InstrumentConfig", "set_fixed_target", kPercentParam};
const Sig kIcAtrTarget{"InstrumentConfig", "set_atr_target", kAtrParams};
const Sig kIcRrTarget{"InstrumentConfig", "set_risk_reward_target", kRatioParam};

PyTypeObject* build_instrument_config() {
    using C = InstrumentConfig;
    ClassSpec s = class_spec<C>("Python-exposed per-instrument configuration.");
    set_constructor<kInstrumentConfigNew, &new_instrument_config>(s);
    s.getset = {
        rw<&C::lot_size>("lot_size",
                         "Units per lot: entries and order quantities are rounded down to whole\n"
                         "lots (1: whole units); 0 trades fractional units.\n\n"
                         "`None`, the default, leaves the instrument's lot, and without one\n"
                         "trades fractional units. A `lot_size` given here, 0 included,\n"
                         "overrides the instrument's: `InstrumentConfig(lot_size=0)` beside an\n"
                         "`InstrumentSpec` with lots of 75 trades fractional units."),
        rw<&C::alloted_capital>("alloted_capital", "Most capital one entry of this instrument may use."),
        rw<&C::existing_qty>("existing_qty",
                             "Recorded only: no runner reads it. Book a holding the account\n"
                             "already has with `PortfolioSession.adopt_position`."),
        rw<&C::avg_price>("avg_price", "Recorded only, like `existing_qty`."),
    };
    s.methods = {
        method<kIcFixedStop, &ic_fixed_stop>(
            model_doc("Set fixed percentage stop-loss override.", kFractionNote).c_str()),
        method<kIcAtrStop, &ic_atr_stop>(model_doc("Set ATR-based stop-loss override.", kAtrNote).c_str()),
        method<kIcTrailingStop, &ic_trailing_stop>(
            model_doc("Set trailing stop-loss override.", kTrailingNote).c_str()),
        method<kIcFixedTarget, &ic_fixed_target>(
            model_doc("Set fixed percentage take-profit override.", kFractionNote).c_str()),
        method<kIcAtrTarget, &ic_atr_target>(model_doc("Set ATR-based take-profit override.", kAtrNote).c_str()),
        method<kIcRrTarget, &ic_rr_target>(
            model_doc("Set risk-reward based take-profit override.", kRrNote).c_str()),
    };
    s.repr = &repr_impl<&instrument_config_repr>;
    return build_class(std::move(s));
}

// ---------------------------------------------------------------------------
// StopConfig and TargetConfig
// ---------------------------------------------------------------------------

const Sig kStopConfigNew{"StopConfig", "__new__", {}};
const Sig kStopFixed{"StopConfig", "fixed", kPercentParam};
const Sig kStopTrailing{"StopConfig", "trailing", kPercentParam};
const Sig kStopAtr{"StopConfig", "atr", kAtrParams};

StopConfigRec new_stop_config() { return {}; }
StopConfigRec stop_fixed(double percent) { return {"fixed", percent, std::nullopt, std::nullopt}; }
StopConfigRec stop_trailing(double percent) { return {"trailing", percent, std::nullopt, std::nullopt}; }
StopConfigRec stop_atr(double multiplier, uint64_t period) { return {"atr", std::nullopt, multiplier, period}; }

PyTypeObject* build_stop_config() {
    using C = StopConfigRec;
    ClassSpec s = class_spec<C>("Python-exposed stop configuration.");
    set_constructor<kStopConfigNew, &new_stop_config>(s);
    s.getset = {
        rw<&C::stop_type>("stop_type"),
        rw<&C::percent>("percent"),
        rw<&C::multiplier>("multiplier"),
        rw<&C::period>("period"),
    };
    s.methods = {
        static_method<kStopFixed, &stop_fixed>(nullptr),
        static_method<kStopTrailing, &stop_trailing>(nullptr),
        static_method<kStopAtr, &stop_atr>(nullptr),
    };
    return build_class(std::move(s));
}

const Sig kTargetConfigNew{"TargetConfig", "__new__", {}};
const Sig kTargetFixed{"TargetConfig", "fixed", kPercentParam};
const Sig kTargetAtr{"TargetConfig", "atr", kAtrParams};
const Sig kTargetRr{"TargetConfig", "risk_reward", kRatioParam};

TargetConfigRec new_target_config() { return {}; }
TargetConfigRec target_fixed(double percent) { return {"fixed", percent, std::nullopt, std::nullopt, std::nullopt}; }
TargetConfigRec target_atr(double multiplier, uint64_t period) {
    return {"atr", std::nullopt, multiplier, period, std::nullopt};
}
TargetConfigRec target_rr(double ratio) { return {"risk_reward", std::nullopt, std::nullopt, std::nullopt, ratio}; }

PyTypeObject* build_target_config() {
    using C = TargetConfigRec;
    ClassSpec s = class_spec<C>("Python-exposed target configuration.");
    set_constructor<kTargetConfigNew, &new_target_config>(s);
    s.getset = {
        rw<&C::target_type>("target_type"),
        rw<&C::percent>("percent"),
        rw<&C::multiplier>("multiplier"),
        rw<&C::period>("period"),
        rw<&C::ratio>("ratio"),
    };
    s.methods = {
        static_method<kTargetFixed, &target_fixed>(nullptr),
        static_method<kTargetAtr, &target_atr>(nullptr),
        static_method<kTargetRr, &target_rr>(nullptr),
    };
    return build_class(std::move(s));
}

// ---------------------------------------------------------------------------
// Trade
// ---------------------------------------------------------------------------

int64_t trade_direction(const Trade& t) { return t.direction; }
double trade_return_pct(const Trade& t) { return t.pnl_pct; }
const char* trade_exit_reason(const Trade& t) { return exit_reason_name(t.exit_reason); }

PyRef fee_breakdown_dict(const FeeBreakdown& b) {
    PyRef d = PyRef::check(PyDict_New());
    dict_set(d.get(), "brokerage", b.brokerage);
    dict_set(d.get(), "stt", b.stt);
    dict_set(d.get(), "exchange_txn", b.exchange_txn);
    dict_set(d.get(), "sebi_fee", b.sebi_fee);
    dict_set(d.get(), "stamp_duty", b.stamp_duty);
    dict_set(d.get(), "gst", b.gst);
    dict_set(d.get(), "total", b.total());
    return d;
}

PyRef trade_fee_breakdown(const Trade& t) {
    if (!t.fee_breakdown) return PyRef(Py_NewRef(Py_None));
    return fee_breakdown_dict(*t.fee_breakdown);
}

std::string trade_repr(const Trade& t) {
    return "Trade(symbol=" + t.symbol + ", entry=" + fmt_fixed(t.entry_price, 2) +
           ", exit=" + fmt_fixed(t.exit_price, 2) + ", pnl=" + fmt_fixed(t.pnl, 2) +
           ", return=" + fmt_fixed(t.pnl_pct, 2) + "%)";
}

PyTypeObject* build_trade() {
    ClassSpec s = class_spec<Trade>("Python-exposed trade.");
    s.getset = {
        ro<&Trade::id>("id"),
        ro<&Trade::symbol>("symbol"),
        ro<&Trade::entry_idx>("entry_idx"),
        ro<&Trade::exit_idx>("exit_idx"),
        ro<&Trade::entry_price>("entry_price"),
        ro<&Trade::exit_price>("exit_price"),
        ro<&Trade::size>("size"),
        ro_fn<&trade_direction>("direction"),
        ro<&Trade::pnl>("pnl"),
        ro_fn<&trade_return_pct>("return_pct"),
        ro<&Trade::entry_time>("entry_time"),
        ro<&Trade::exit_time>("exit_time"),
        ro<&Trade::fees>("fees", "Total costs over the round trip, equal to `entry_fees + exit_fees`."),
        ro<&Trade::entry_fees>("entry_fees", "Costs charged when the position was opened."),
        ro<&Trade::exit_fees>("exit_fees",
                              "Costs charged when it was closed.\n\nZero when the exit was not a trade-out: an option "
                              "left to expire is never\nsold, so it owes no exit-side brokerage or transaction tax."),
        ro_fn<&trade_fee_breakdown>("fee_breakdown",
                                    "Itemized regulatory costs, when `config.fee_segment` is set.\n\nKeys: "
                                    "\"brokerage\", \"stt\", \"exchange_txn\", \"sebi_fee\", \"stamp_duty\",\n\"gst\" "
                                    "and \"total\". `total` equals `fees`, so reported costs and the\nequity curve "
                                    "agree."),
        ro_fn<&trade_exit_reason>(
            "exit_reason",
            "Why the position closed.\n\n"
            "\"Signal\" (an exit signal), \"StopLoss\" (a stop, trailing stops included,\n"
            "or a spread's `max_loss`), \"TakeProfit\" (a target or a spread's\n"
            "`target_profit`), \"Order\" (an order or `request_close`), \"Settlement\"\n"
            "(expiry of the instrument or of every spread leg), \"Liquidation\" (a\n"
            "margin call with `liquidate_on_margin_call`), \"TimeExit\"\n"
            "(`max_hold_seconds` of `run_tick_backtest`), \"Squareoff\"\n"
            "(`run_spread_backtest`'s `squareoff_time`) or \"EndOfData\" (still open\n"
            "when the data ended)."),
    };
    s.repr = &repr_impl<&trade_repr>;
    return build_class(std::move(s));
}

// ---------------------------------------------------------------------------
// BacktestMetrics
// ---------------------------------------------------------------------------

// Ratios without a finite value read as None.
std::optional<double> finite_or_none(double v) {
    if (std::isfinite(v)) return v;
    return std::nullopt;
}

template <auto MP>
std::optional<double> finite_field(const BacktestMetrics& m) {
    return finite_or_none(m.*MP);
}

PyRef metrics_to_dict(const BacktestMetrics& m) {
    PyRef d = PyRef::check(PyDict_New());
    PyObject* o = d.get();
    dict_set(o, "Start Value", m.start_value);
    dict_set(o, "End Value", m.end_value);
    dict_set(o, "Total Return [%]", m.total_return_pct);
    dict_set(o, "Total Fees Paid", m.total_fees_paid);
    dict_set(o, "Total Turnover", m.total_turnover);
    dict_set(o, "Max Drawdown [%]", m.max_drawdown_pct);
    dict_set(o, "Max Drawdown Duration", m.max_drawdown_duration);
    dict_set(o, "Max Drawdown Duration [s]", m.max_drawdown_duration_secs);
    dict_set(o, "Total Trades", m.total_trades);
    dict_set(o, "Total Closed Trades", m.total_closed_trades);
    dict_set(o, "Total Open Trades", m.total_open_trades);
    dict_set(o, "Open Trade PnL", m.open_trade_pnl);
    dict_set(o, "Win Rate [%]", m.win_rate_pct);
    dict_set(o, "Best Trade [%]", m.best_trade_pct);
    dict_set(o, "Worst Trade [%]", m.worst_trade_pct);
    dict_set(o, "Avg Winning Trade [%]", m.avg_win_pct);
    dict_set(o, "Avg Losing Trade [%]", m.avg_loss_pct);
    dict_set(o, "Avg Winning Trade Duration", m.avg_winning_duration);
    dict_set(o, "Avg Losing Trade Duration", m.avg_losing_duration);
    dict_set(o, "Profit Factor", finite_or_none(m.profit_factor));
    dict_set(o, "Expectancy", m.expectancy);
    dict_set(o, "SQN", m.sqn);
    dict_set(o, "Sharpe Ratio", m.sharpe_ratio);
    dict_set(o, "Sortino Ratio", finite_or_none(m.sortino_ratio));
    dict_set(o, "Calmar Ratio", finite_or_none(m.calmar_ratio));
    dict_set(o, "Omega Ratio", finite_or_none(m.omega_ratio));
    return d;
}

std::string metrics_repr(const BacktestMetrics& m) {
    return "BacktestMetrics(return=" + fmt_fixed(m.total_return_pct, 2) + "%, sharpe=" + fmt_fixed(m.sharpe_ratio, 2) +
           ", max_dd=" + fmt_fixed(m.max_drawdown_pct, 2) + "%, trades=" + std::to_string(m.total_trades) + ")";
}

PyTypeObject* build_metrics() {
    using M = BacktestMetrics;
    ClassSpec s = class_spec<M>("Python-exposed backtest metrics.");
    s.getset = {
        ro<&M::total_return_pct>("total_return_pct"),
        ro<&M::sharpe_ratio>("sharpe_ratio",
                             "sqrt(P) x (mean return - risk_free_rate / P) / sample standard\n"
                             "deviation of the returns.\n\n"
                             "P is the run's periods per year (see `BacktestConfig.periods_per_year`);\n"
                             "the returns are those of `BacktestResult.returns()`, NaN returns\n"
                             "skipped: one per bar, the first 0.0, except in `run_tick_backtest` (one\n"
                             "per trade) and in the runners that `BacktestConfig.legacy_annualization`\n"
                             "switches to the trades' returns. 0.0 when the deviation is 0."),
        ro_fn<&finite_field<&M::sortino_ratio>>(
            "sortino_ratio",
            "sqrt(P) x (mean return - risk_free_rate / P) / downside deviation.\n\n"
            "The downside deviation is sqrt(sum of min(r, 0)^2 / n) over all n\n"
            "returns (losses spread over every period, not only the losing ones).\n"
            "Without a negative return: None (infinite) when the mean excess is\n"
            "positive, else 0.0."),
        ro_fn<&finite_field<&M::calmar_ratio>>(
            "calmar_ratio",
            "Total return over maximum drawdown, not annualised.\n\n"
            "`total_return_pct / max_drawdown_pct`, so it equals `recovery_factor`\n"
            "where a runner fills that (the basket, options and pairs runners and\n"
            "`run_multi_backtest`'s \"independent\" mode leave it at 0), rather than\n"
            "the annualised-return form. None (infinite) for a gain without drawdown."),
        ro_fn<&finite_field<&M::omega_ratio>>("omega_ratio"),
        ro<&M::max_drawdown_pct>("max_drawdown_pct"),
        ro<&M::max_drawdown_duration>("max_drawdown_duration"),
        ro<&M::max_drawdown_duration_secs>("max_drawdown_duration_secs",
                                           "The same stretch in seconds, present when the run supplied timestamps\n"
                                           "(a bar is a day only on daily data)."),
        ro<&M::win_rate_pct>("win_rate_pct"),
        ro_fn<&finite_field<&M::profit_factor>>("profit_factor"),
        ro<&M::expectancy>("expectancy"),
        ro<&M::sqn>("sqn"),
        ro<&M::total_trades>("total_trades"),
        ro<&M::total_closed_trades>("total_closed_trades"),
        ro<&M::total_open_trades>("total_open_trades"),
        ro<&M::open_trade_pnl>("open_trade_pnl"),
        ro<&M::winning_trades>("winning_trades"),
        ro<&M::losing_trades>("losing_trades"),
        ro<&M::start_value>("start_value"),
        ro<&M::end_value>("end_value"),
        ro<&M::total_fees_paid>("total_fees_paid"),
        ro<&M::best_trade_pct>("best_trade_pct"),
        ro<&M::worst_trade_pct>("worst_trade_pct"),
        ro<&M::avg_trade_return_pct>("avg_trade_return_pct"),
        ro<&M::avg_win_pct>("avg_win_pct",
                            "None when no trade won -- an average over an empty set is undefined.\n\n"
                            "None also, like its three siblings, from the runners that do not fill\n"
                            "it: the basket, options and pairs runners and `run_multi_backtest`'s\n"
                            "\"independent\" mode."),
        ro<&M::avg_loss_pct>("avg_loss_pct", "None when no trade lost, or not filled (see `avg_win_pct`)."),
        ro<&M::avg_winning_duration>("avg_winning_duration",
                                     "None when no trade won, or not filled (see `avg_win_pct`)."),
        ro<&M::avg_losing_duration>("avg_losing_duration",
                                    "None when no trade lost, or not filled (see `avg_win_pct`)."),
        ro<&M::max_consecutive_wins>("max_consecutive_wins"),
        ro<&M::max_consecutive_losses>("max_consecutive_losses"),
        ro<&M::avg_holding_period>("avg_holding_period"),
        ro<&M::avg_holding_period_secs>("avg_holding_period_secs",
                                        "The same average in seconds, when the run supplied timestamps."),
        ro<&M::exposure_pct>("exposure_pct"),
        ro_fn<&finite_field<&M::payoff_ratio>>("payoff_ratio"),
        ro_fn<&finite_field<&M::recovery_factor>>("recovery_factor",
                                                  "Net profit over `max_drawdown_pct` of the starting\n"
                                                  "capital, which equals `calmar_ratio`; 0 from the\n"
                                                  "runners that do not fill it (see `avg_win_pct`)."),
        ro<&M::total_turnover>("total_turnover", "Total traded notional, both sides counted."),
    };
    s.methods = {method0<&metrics_to_dict>("to_dict", "Convert to dictionary of all metrics.")};
    s.repr = &repr_impl<&metrics_repr>;
    return build_class(std::move(s));
}

// ---------------------------------------------------------------------------
// BacktestResult
// ---------------------------------------------------------------------------

BacktestMetrics result_metrics(const EngineResult& r) { return r.metrics; }
Series<double> result_equity(const EngineResult& r) { return r.equity_curve; }
Series<double> result_drawdown(const EngineResult& r) { return r.drawdown_curve; }
Series<double> result_returns(const EngineResult& r) { return r.returns; }

PyRef trades_list(const TradeList& trades) {
    return list_of(trades.size(), [&](std::size_t i) { return new_object(trades[i]); });
}

PyRef result_trades(const EngineResult& r) { return trades_list(r.trades); }

std::string result_repr(const EngineResult& r) {
    return "BacktestResult(return=" + fmt_fixed(r.metrics.total_return_pct, 2) +
           "%, trades=" + std::to_string(r.metrics.total_trades) + ", max_dd=" + fmt_fixed(r.metrics.max_drawdown_pct, 2) +
           "%)";
}

PyTypeObject* build_result() {
    ClassSpec s = class_spec<EngineResult>("Python-exposed backtest result.");
    s.getset = {ro_fn<&result_metrics>("metrics")};
    s.methods = {
        method0<&result_equity>("equity_curve", "Get equity curve as numpy array."),
        method0<&result_drawdown>("drawdown_curve", "Get drawdown curve as numpy array."),
        method0<&result_returns>("returns",
                                 "Get returns as numpy array.\n\n"
                                 "One per bar, the first 0.0; from `run_tick_backtest` one per trade."),
        method0<&result_trades>("trades", "Get list of trades."),
    };
    s.repr = &repr_impl<&result_repr>;
    return build_class(std::move(s));
}

// ---------------------------------------------------------------------------
// InstrumentSummary and PortfolioResult
// ---------------------------------------------------------------------------

std::string summary_repr(const InstrumentSummary& s) {
    return "InstrumentSummary(symbol='" + s.symbol + "', trades=" + std::to_string(s.trades) +
           ", pnl=" + fmt_fixed(s.pnl, 2) + ", rejected_entries=" + std::to_string(s.rejected_entries) + ")";
}

PyTypeObject* build_summary() {
    using S = InstrumentSummary;
    ClassSpec s = class_spec<S>("Per-instrument attribution from a portfolio backtest.");
    s.getset = {
        ro<&S::symbol>("symbol"),
        ro<&S::trades>("trades"),
        ro<&S::pnl>("pnl"),
        ro<&S::rejected_entries>("rejected_entries",
                                 "Entries refused because the portfolio was at its limit or halted.\n\n"
                                 "From a `PortfolioSession`, as `PortfolioResult.rejected_entries`\n"
                                 "counts them, for this instrument."),
    };
    s.repr = &repr_impl<&summary_repr>;
    return build_class(std::move(s));
}

EngineResult portfolio_result(const PortfolioResult& p) { return p.result; }
BacktestMetrics portfolio_metrics(const PortfolioResult& p) { return p.result.metrics; }
PyRef portfolio_per_instrument(const PortfolioResult& p) {
    return list_of(p.per_instrument.size(), [&](std::size_t i) { return new_object(p.per_instrument[i]); });
}

std::string portfolio_repr(const PortfolioResult& p) {
    return "PortfolioResult(instruments=" + std::to_string(p.per_instrument.size()) +
           ", rejected_entries=" + std::to_string(p.rejected_entries) + ", halted=" + (p.halted ? "true" : "false") +
           ")";
}

PyTypeObject* build_portfolio_result() {
    using P = PortfolioResult;
    ClassSpec s = class_spec<P>(
        "Result of a shared-capital portfolio backtest.\n\n"
        "From a `PortfolioSession`, the curves of `result` hold one sample per\n"
        "instant (the events of one timestamp), taken once its last bar or trade\n"
        "is applied, with every instrument at its mark of that instant.");
    s.getset = {
        ro_fn<&portfolio_result>("result"),
        ro_fn<&portfolio_per_instrument>("per_instrument"),
        ro<&P::rejected_entries>("rejected_entries",
                                 "Entries refused by the risk gate, across all instruments.\n\n"
                                 "From a `PortfolioSession`, the entry signals refused for\n"
                                 "\"MaxPositions\", \"DrawdownHalt\", \"MarginCall\", \"Expired\" or\n"
                                 "\"Inactive\", and the orders refused for \"max_positions\",\n"
                                 "\"drawdown_halt\", \"margin_call\", \"position_open\", \"reduce_only\",\n"
                                 "\"invalid_qty\" (a closing order with nothing to close) or\n"
                                 "\"unfillable\". Refusals for size, capital or margin (\"ZeroSize\",\n"
                                 "\"InsufficientMargin\", \"insufficient_capital\", ...) and\n"
                                 "\"post_only\" are not counted."),
        ro<&P::halted>("halted",
                       "Whether the drawdown kill-switch tripped.\n\nFor a `PortfolioSession`, also "
                       "whether a margin call latched."),
        ro<&P::halted_at>("halted_at",
                          "Where the account latched, or None.\n\n"
                          "From a `PortfolioSession`, the position in the merged schedule of the\n"
                          "event whose valuation latched it, the last bar or trade of its instant\n"
                          "(counting every instrument's events from 0), not an instrument's bar\n"
                          "index; from `run_portfolio_backtest`, whose instruments share one bar\n"
                          "index, that bar index."),
        ro_fn<&portfolio_metrics>("metrics", "Portfolio metrics, computed on the constrained run."),
    };
    s.repr = &repr_impl<&portfolio_repr>;
    return build_class(std::move(s));
}

// ---------------------------------------------------------------------------
// run_single_backtest and resolve_atr_period
// ---------------------------------------------------------------------------

constexpr Param kRunSingleParams[] = {
    {"timestamps"}, {"open"}, {"high"}, {"low"}, {"close"}, {"volume"}, {"entries"}, {"exits"},
    {"direction", "1"}, {"weight", "1.0"}, {"symbol", "\"UNKNOWN\""}, {"config", "None"},
    {"position_sizes", "None"}, {"instrument_config", "None"},
};
const Sig kRunSingle{nullptr, "run_single_backtest", kRunSingleParams};

EngineResult run_single_backtest(ArrayArg<int64_t> timestamps, ArrayArg<double> open, ArrayArg<double> high,
                                 ArrayArg<double> low, ArrayArg<double> close, ArrayArg<double> volume,
                                 BoolArg entries, BoolArg exits, int32_t direction, double weight,
                                 std::string symbol, std::optional<Ref<BacktestConfig>> config,
                                 std::optional<ArrayArg<double>> position_sizes,
                                 std::optional<Ref<InstrumentConfig>> instrument_config) {
    const int8_t dir = checked_direction(direction);
    const EngineParams params = engine_params_for(config ? **config : BacktestConfig{});
    const std::optional<InstrumentConfig> ic =
        instrument_config ? std::optional<InstrumentConfig>(**instrument_config) : std::nullopt;
    BarArrays bars{timestamps, open, high, low, close, volume};
    SignalArrays signals;
    signals.symbol = std::move(symbol);
    signals.entries = entries;
    signals.exits = exits;
    if (position_sizes) signals.position_sizes = std::span<const double>(*position_sizes);
    signals.weight = weight;
    signals.direction = dir;
    return run_backtest_loop(params, bars, signals, ic ? &*ic : nullptr);
}

// The length rule of run_single_backtest (see function_def).
void single_lengths(const ArrayArg<int64_t>&, const ArrayArg<double>&, const ArrayArg<double>&,
                    const ArrayArg<double>&, const ArrayArg<double>& close, const ArrayArg<double>&,
                    const BoolArg& entries, const BoolArg& exits, int32_t direction, double, const std::string&,
                    const std::optional<Ref<BacktestConfig>>&, const std::optional<ArrayArg<double>>&,
                    const std::optional<Ref<InstrumentConfig>>&) {
    (void)checked_direction(direction);
    check_run_lengths(close.size(), entries.size(), exits.size());
}

// The same rule from the lengths of the arrays reached so far, in argument
// order: the eight required arrays come before any argument whose conversion
// could run Python code, and hold all the lengths it compares.
bool single_refused(std::span<const std::size_t> n) {
    return n.size() >= 8 && detail::refuses([&] { check_run_lengths(n[4], n[6], n[7]); });
}

constexpr Param kResolveAtrParams[] = {{"config", "None"}, {"instrument_config", "None"}};
const Sig kResolveAtr{nullptr, "resolve_atr_period", kResolveAtrParams};

std::optional<uint64_t> resolve_atr_period(std::optional<Ref<BacktestConfig>> config,
                                           std::optional<Ref<InstrumentConfig>> instrument_config) {
    StopModel stop = config ? (*config)->stop : StopModel{};
    TargetModel target = config ? (*config)->target : TargetModel{};
    if (instrument_config) {
        if ((*instrument_config)->stop) stop = *(*instrument_config)->stop;
        if ((*instrument_config)->target) target = *(*instrument_config)->target;
    }
    return atr_period_for(stop, target);
}

}  // namespace

// Type cells: each class's type object is built once, on first use, and kept.
#define TIDEMARK_TYPE_CELL(Rec, builder)       \
    PyTypeObject* PyClass<Rec>::type() {       \
        static PyTypeObject* t = builder();    \
        return t;                              \
    }

TIDEMARK_TYPE_CELL(BacktestConfig, build_backtest_config)
TIDEMARK_TYPE_CELL(InstrumentConfig, build_instrument_config)
TIDEMARK_TYPE_CELL(StopConfigRec, build_stop_config)
TIDEMARK_TYPE_CELL(TargetConfigRec, build_target_config)
TIDEMARK_TYPE_CELL(Trade, build_trade)
TIDEMARK_TYPE_CELL(BacktestMetrics, build_metrics)
TIDEMARK_TYPE_CELL(EngineResult, build_result)
TIDEMARK_TYPE_CELL(InstrumentSummary, build_summary)
TIDEMARK_TYPE_CELL(PortfolioResult, build_portfolio_result)

#undef TIDEMARK_TYPE_CELL

void export_records(Exports& ex) {
    ex.add_class("BacktestConfig", &PyClass<BacktestConfig>::type);
    ex.add_class("InstrumentConfig", &PyClass<InstrumentConfig>::type);
    ex.add_class("StopConfig", &PyClass<StopConfigRec>::type);
    ex.add_class("TargetConfig", &PyClass<TargetConfigRec>::type);
    ex.add_class("BacktestResult", &PyClass<EngineResult>::type);
    ex.add_class("BacktestMetrics", &PyClass<BacktestMetrics>::type);
    ex.add_class("Trade", &PyClass<Trade>::type);
    ex.add_class("PortfolioResult", &PyClass<PortfolioResult>::type);
    ex.add_class("InstrumentSummary", &PyClass<InstrumentSummary>::type);
    ex.add_function(function_def<kRunSingle, &run_single_backtest, &single_lengths, &single_refused>(
        "Run a backtest on a single instrument.\n\n"
        "Arrays: `timestamps` int64 nanoseconds since the epoch (microseconds, as\n"
        "some pandas indexes hold them, are read as nanoseconds and make daily bars\n"
        "look intraday, which breaks every annualised figure), prices and volume\n"
        "float64, `entries` and `exits` bool, all of the bar count. `direction` is 1\n"
        "(long) or -1 (short); `position_sizes`, when given, is the fraction of\n"
        "capital an entry on each bar uses (all of it otherwise). Sizing buys\n"
        "fractional units unless `instrument_config` sets a `lot_size`. Stops and\n"
        "targets come from `config` (the ATR ones computed here over their period);\n"
        "nothing squares off at `config.squareoff_time`. A position open at the end\n"
        "closes at the last close with no exit fee, as a trade with exit reason\n"
        "\"EndOfData\" counted in `total_open_trades`. `KernelSession` runs the same\n"
        "engine one bar per call.\n\n"
        "Signals are read one position at a time, from the signals alone: an\n"
        "entry the account refuses (no free capital, a `position_sizes` of 0, a\n"
        "NaN price) still counts as open until the next exit signal, and the\n"
        "entries before that signal are ignored; an exit on a bar that also enters\n"
        "is ignored. Give such an entry an exit signal, or use `KernelSession`\n"
        "when entries must follow fills."));
    ex.add_function(function_def<kResolveAtr, &resolve_atr_period>(
        "The ATR period a run with these settings computes its ATR series with,\n"
        "or None when neither the stop nor the target model is ATR-based. The\n"
        "stop's period wins over the target's."));
}

}  // namespace tidemark::py
