#include "data/aggregate.h"

#include <cmath>
#include <limits>

#include "core/format.h"
#include "core/numeric.h"
#include "data/bar_builders.h"

namespace tidemark {

void Partial::merge(const SourceRecord& r) {
    high = max_num(high, r.high);
    low = min_num(low, r.low);
    close = r.close;
    volume += r.volume;
}

void open_or_merge(std::optional<Partial>& partial, const SourceRecord& r) {
    if (partial) {
        partial->merge(r);
    } else {
        partial = Partial::opened_by(r);
    }
}

void open_or_merge_finite_volume(std::optional<Partial>& partial, const SourceRecord& r) {
    if (std::isfinite(r.volume)) {
        open_or_merge(partial, r);
        return;
    }
    SourceRecord without_volume = r;
    without_volume.volume = 0.0;
    open_or_merge(partial, without_volume);
}

namespace {

struct UnitName {
    std::string_view text;
    uint8_t code;
};

constexpr UnitName kUnitNames[] = {
    {"ms", 0},     {"millisecond", 0},
    {"s", 1},      {"sec", 1},          {"second", 1},
    {"m", 2},      {"min", 2},          {"minute", 2},
    {"h", 3},      {"hour", 3},
    {"d", 4},      {"day", 4},
    {"w", 5},      {"week", 5},
    {"month", 6},
    {"y", 7},      {"year", 7},
    {"tick", 8},   {"volume", 9},       {"value", 10},
    {"renko", 11},
    {"tick_imbalance", 12},   {"tick_runs", 13},
    {"volume_imbalance", 14}, {"volume_runs", 15},
    {"value_imbalance", 16},  {"value_runs", 17},
};

constexpr uint8_t kMonthCode = 6;
constexpr uint8_t kYearCode = 7;
constexpr uint8_t kRenkoCode = 11;

// Nanoseconds in one of the time units 0-5.
constexpr int64_t kUnitNanos[] = {
    1'000'000LL, 1'000'000'000LL, 60'000'000'000LL, 3'600'000'000'000LL, 86'400'000'000'000LL,
    604'800'000'000'000LL,
};

}  // namespace

std::optional<uint8_t> parse_aggregation_unit(std::string_view text) {
    for (const UnitName& u : kUnitNames)
        if (u.text == text) return u.code;
    return std::nullopt;
}

std::string AggregationError::text() const {
    switch (kind) {
        case UnknownUnit: return "unknown aggregation unit " + debug_quote(unit);
        case StepTooSmall: return "aggregation step must be >= 1";
        case InvalidParameter: break;
    }
    return std::string("invalid builder parameter: ") + detail;
}

BuildResult build_bar_builder(std::string_view unit, uint32_t step, int64_t tz_offset_ns, double brick_size) {
    const std::optional<uint8_t> code = parse_aggregation_unit(unit);
    if (!code) return AggregationError{AggregationError::UnknownUnit, std::string(unit), ""};
    if (step == 0) return AggregationError{AggregationError::StepTooSmall, {}, ""};

    const auto invalid = [](const char* detail) {
        return AggregationError{AggregationError::InvalidParameter, {}, detail};
    };
    const double step_f = static_cast<double>(step);
    std::unique_ptr<BarBuilder> builder;
    if (*code < kMonthCode) {
        // A window wider than the int64 nanosecond range could not be stamped.
        int64_t width;
        if (__builtin_mul_overflow(static_cast<int64_t>(step), kUnitNanos[*code], &width))
            return invalid("step too large for unit");
        builder = std::make_unique<TimeBarBuilder>(width, tz_offset_ns);
    } else if (*code <= kYearCode) {
        const TimeUnit unit_kind = *code == kMonthCode ? TimeUnit::Month : TimeUnit::Year;
        builder = std::make_unique<CalendarBarBuilder>(BarSpec{step, unit_kind}, tz_offset_ns);
    } else if (*code < kRenkoCode) {
        CountThreshold t;
        t.kind = static_cast<CountThreshold::Kind>(*code - 8);
        t.ticks = step;
        t.amount = step_f;
        builder = std::make_unique<CountBarBuilder>(t);
    } else if (*code == kRenkoCode) {
        // Zero, negative and NaN sizes fall back to the step.
        const double brick = brick_size > 0.0 ? brick_size : step_f;
        if (brick == std::numeric_limits<double>::infinity()) return invalid("brick_size must be finite and > 0");
        builder = std::make_unique<RenkoBarBuilder>(brick);
    } else {
        const auto magnitude = static_cast<FlowMagnitude>((*code - 12) / 2);
        const FlowRule rule = (*code & 1) ? FlowRule::Runs : FlowRule::Imbalance;
        builder = std::make_unique<FlowBarBuilder>(magnitude, rule, step_f);
    }
    return builder;
}

std::unique_ptr<BarBuilder> make_bar_builder(std::string_view unit, uint32_t step, int64_t tz_offset_ns,
                                             double brick_size) {
    BuildResult built = build_bar_builder(unit, step, tz_offset_ns, brick_size);
    if (!built) throw RuleError(built.error().text());
    return std::move(built.value());
}

namespace {

// Pushes one record and collects its bar and every bar held back with it.
inline void push_and_drain(BarBuilder& builder, const SourceRecord& r, std::vector<OhlcvBar>& out) {
    if (std::optional<OhlcvBar> bar = builder.push(r)) out.push_back(*bar);
    while (std::optional<OhlcvBar> bar = builder.next_pending()) out.push_back(*bar);
}

inline void flush_into(BarBuilder& builder, std::vector<OhlcvBar>& out) {
    if (std::optional<OhlcvBar> bar = builder.flush()) out.push_back(*bar);
}

}  // namespace

std::vector<OhlcvBar> aggregate_bars(std::span<const int64_t> timestamps, std::span<const double> open,
                                     std::span<const double> high, std::span<const double> low,
                                     std::span<const double> close, std::span<const double> volume,
                                     const AggregationParams& params) {
    const std::size_t n = timestamps.size();
    require_same_length(n, {open.size(), high.size(), low.size(), close.size(), volume.size()});
    auto builder = make_bar_builder(params.unit, params.step, params.tz_offset_ns, params.brick_size);
    std::vector<OhlcvBar> out;
    for (std::size_t i = 0; i < n; ++i)
        push_and_drain(*builder, {timestamps[i], open[i], high[i], low[i], close[i], volume[i], 0.0}, out);
    flush_into(*builder, out);
    return out;
}

std::vector<OhlcvBar> bars_from_ticks(const TickColumns& ticks, const AggregationParams& params) {
    const std::size_t n = ticks.rows();
    require_same_length(n, {ticks.timestamps.size(), ticks.buy_qty_delta.size(), ticks.sell_qty_delta.size()});
    auto builder = make_bar_builder(params.unit, params.step, params.tz_offset_ns, params.brick_size);
    std::vector<OhlcvBar> out;
    // Instrument 0; trades on stream 0 and quotes on stream 1, as a session
    // would number one instrument's tick streams.
    for_each_tick_event(ticks, 0, 0, 1, [&](const FeedEvent& ev) {
        if (ev.kind != FeedEventKind::Trade) return;
        push_and_drain(*builder, {ev.ts, ev.a, ev.a, ev.a, ev.a, ev.b, ev.c}, out);
    });
    flush_into(*builder, out);
    return out;
}

}  // namespace tidemark
