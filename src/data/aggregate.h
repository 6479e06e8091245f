// Bar aggregation: turning a time-ordered stream of finer bars or trades into
// coarser bars. Five builders (time, calendar, count, Renko, signed flow) sit
// behind one interface; a builder is made from (unit text, step, time-zone
// offset, brick size) and never fails once made.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "core/types.h"
#include "data/events.h"

namespace tidemark {

// One input of a builder. `signed_size` is buy-initiated minus
// sell-initiated volume; 0.0 means unknown (only the flow builders read it).
struct SourceRecord {
    int64_t timestamp = 0;
    double open = 0.0;
    double high = 0.0;
    double low = 0.0;
    double close = 0.0;
    double volume = 0.0;
    double signed_size = 0.0;
};

// The bar in progress. The first record opens it; later ones keep the open,
// extend the extremes with maxNum/minNum (a NaN extreme in a later record is
// ignored), take the close and add the volume (a NaN close or volume is
// taken as it is).
struct Partial {
    double open = 0.0;
    double high = 0.0;
    double low = 0.0;
    double close = 0.0;
    double volume = 0.0;

    static Partial opened_by(const SourceRecord& r) { return {r.open, r.high, r.low, r.close, r.volume}; }
    void merge(const SourceRecord& r);
    OhlcvBar stamped(int64_t ts) const { return {ts, open, high, low, close, volume}; }
};

// Opens the partial from the record, or merges the record into it.
void open_or_merge(std::optional<Partial>& partial, const SourceRecord& r);

// The same for the count and flow bars, where a volume that is not finite
// adds nothing to the bar, as it adds nothing to the threshold: the bar's
// volume is the sum of the finite volumes (0.0 when there is none).
void open_or_merge_finite_volume(std::optional<Partial>& partial, const SourceRecord& r);

enum class TimeUnit : uint8_t { Millisecond = 0, Second, Minute, Hour, Day, Week, Month, Year };

// The calendar builder's bucket: `step` months or years.
struct BarSpec {
    uint32_t step = 1;
    TimeUnit unit = TimeUnit::Month;
};

struct CountThreshold {
    enum Kind : uint8_t { Ticks = 0, Volume = 1, Value = 2 };
    Kind kind = Ticks;
    uint64_t ticks = 0;   // Ticks
    double amount = 0.0;  // Volume, Value
};

// What one record adds to its side: 1, its volume, or close x volume.
enum class FlowMagnitude : uint8_t { Tick = 0, Volume = 1, Value = 2 };
// Which quantity completes a flow bar: |buy - sell|, or the larger side.
enum class FlowRule : uint8_t { Imbalance = 0, Runs = 1 };

// The code a unit text names, 0 to 17: the time units ms, s, m, h, d, w
// (0-5), month and year (6, 7), tick, volume and value counts (8-10), renko
// (11) and the six flow units (12-17: tick, volume, value; imbalance before
// runs). Matching is exact and case-sensitive.
std::optional<uint8_t> parse_aggregation_unit(std::string_view text);

struct AggregationError {
    enum Kind : uint8_t { UnknownUnit = 0, StepTooSmall = 1, InvalidParameter = 2 };
    Kind kind = UnknownUnit;
    std::string unit;            // UnknownUnit
    const char* detail = "";     // InvalidParameter

    std::string text() const;
};

// The one interface of the five builders. Records are pushed in ascending
// time order.
class BarBuilder {
public:
    virtual ~BarBuilder() = default;
    // "Name { field: value, ... }" with every field of the builder's state.
    virtual std::string debug() const = 0;
    // The bar this record completed, if any.
    virtual std::optional<OhlcvBar> push(const SourceRecord& r) = 0;
    // End of data: the bar in progress, if any; the builder stays usable.
    virtual std::optional<OhlcvBar> flush() = 0;
    // A further bar completed by the last push but held back (only Renko
    // completes several at once).
    virtual std::optional<OhlcvBar> next_pending() { return std::nullopt; }
};

using BuildResult = Outcome<std::unique_ptr<BarBuilder>, AggregationError>;

// `tz_offset_ns` moves the time and calendar windows onto a local clock;
// `brick_size` is the Renko brick (a value not above 0 falls back to the
// step). The others ignore both.
BuildResult build_bar_builder(std::string_view unit, uint32_t step, int64_t tz_offset_ns, double brick_size);

// The same, with a failure raised as a RuleError carrying its text.
std::unique_ptr<BarBuilder> make_bar_builder(std::string_view unit, uint32_t step, int64_t tz_offset_ns,
                                             double brick_size);

struct AggregationParams {
    uint32_t step = 1;
    std::string_view unit;
    int64_t tz_offset_ns = 0;
    double brick_size = 0.0;
};

// Every bar of a batch: each record's bar and every bar held back with it,
// then the flushed bar in progress.
std::vector<OhlcvBar> aggregate_bars(std::span<const int64_t> timestamps, std::span<const double> open,
                                     std::span<const double> high, std::span<const double> low,
                                     std::span<const double> close, std::span<const double> volume,
                                     const AggregationParams& params);

// Bars from the trades of tick rows (rows without a positive last price make
// none), each trade a record at its price with its size and signed flow.
std::vector<OhlcvBar> bars_from_ticks(const TickColumns& ticks, const AggregationParams& params);

}  // namespace tidemark
