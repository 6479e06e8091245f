#include "data/bar_builders.h"

#include <cmath>
#include <limits>

#include "core/format.h"
#include "core/numeric.h"
#include "core/session.h"

namespace tidemark {

namespace {

// --- debug rendering ------------------------------------------------------

std::string render(double v) { return fmt_debug(v); }
std::string render(int64_t v) { return std::to_string(v); }
std::string render(uint64_t v) { return std::to_string(v); }

std::string render(const Partial& p) {
    return "Partial { open: " + render(p.open) + ", high: " + render(p.high) + ", low: " + render(p.low) +
           ", close: " + render(p.close) + ", volume: " + render(p.volume) + " }";
}

std::string render(const OhlcvBar& b) {
    return "OhlcvBar { timestamp: " + render(b.ts) + ", open: " + render(b.open) + ", high: " +
           render(b.high) + ", low: " + render(b.low) + ", close: " + render(b.close) + ", volume: " +
           render(b.volume) + " }";
}

template <class T>
std::string render(const std::optional<T>& v) {
    return v ? "Some(" + render(*v) + ")" : std::string("None");
}

const char* render_unit(TimeUnit u) {
    static constexpr const char* kNames[] = {"Millisecond", "Second", "Minute", "Hour",
                                             "Day",         "Week",   "Month",  "Year"};
    return kNames[static_cast<uint8_t>(u)];
}

std::string render(const CountThreshold& t) {
    switch (t.kind) {
        case CountThreshold::Ticks: return "Ticks(" + render(t.ticks) + ")";
        case CountThreshold::Volume: return "Volume(" + render(t.amount) + ")";
        case CountThreshold::Value: break;
    }
    return "Value(" + render(t.amount) + ")";
}

const char* render(FlowMagnitude m) {
    switch (m) {
        case FlowMagnitude::Tick: return "Tick";
        case FlowMagnitude::Volume: return "Volume";
        case FlowMagnitude::Value: break;
    }
    return "Value";
}

const char* render(FlowRule r) { return r == FlowRule::Imbalance ? "Imbalance" : "Runs"; }

// The bar in progress, stamped, leaving none.
std::optional<OhlcvBar> take_stamped(std::optional<Partial>& partial, int64_t ts) {
    std::optional<OhlcvBar> done;
    if (partial) done = partial->stamped(ts);
    partial.reset();
    return done;
}

// The int64 nearest to an exact value: a window that ends beyond the
// timestamp range is stamped at the range's edge, never wrapped around.
int64_t clamp_to_i64(__int128 v) {
    if (v > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
    if (v < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

// --- civil calendar ---------------------------------------------------------
// Days since 1970-01-01 and proleptic Gregorian dates, by 400-year eras
// counted from 0000-03-01 so that the leap day ends each year. Every int64
// nanosecond timestamp lies between 1677 and 2262, far inside the range where
// this arithmetic is exact.

struct YearMonth {
    int64_t year;
    int64_t month;  // 1..12
};

YearMonth civil_from_days(int64_t day) {
    const int64_t z = day + 719'468;
    const int64_t era = floor_div(z, 146'097);
    const int64_t doe = z - era * 146'097;
    const int64_t yoe = (doe - doe / 1'460 + doe / 36'524 - doe / 146'096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    return {yoe + 400 * era + (month <= 2 ? 1 : 0), month};
}

// Days since 1970-01-01 of the first day of the given month.
int64_t days_from_civil(int64_t year, int64_t month) {
    const int64_t y = month <= 2 ? year - 1 : year;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146'097 + doe - 719'468;
}

}  // namespace

// --- time ---------------------------------------------------------------------

int64_t TimeBarBuilder::bucket_of(int64_t ts) const {
    return floor_div(saturating_add(ts, align_offset_ns_), width_ns_);
}

int64_t TimeBarBuilder::bucket_end(int64_t bucket) const {
    // bucket + 1 cannot overflow: a bucket is at most INT64_MAX / width.
    return clamp_to_i64(static_cast<__int128>(bucket + 1) * width_ns_ - align_offset_ns_);
}

std::string TimeBarBuilder::debug() const {
    return "TimeBarBuilder { width_ns: " + render(width_ns_) + ", align_offset_ns: " + render(align_offset_ns_) +
           ", window: " + render(window_) + ", partial: " + render(partial_) + " }";
}

// --- calendar -------------------------------------------------------------------

int64_t CalendarBarBuilder::bucket_of(int64_t ts) const {
    const YearMonth ym = civil_from_days(floor_div(saturating_add(ts, align_offset_ns_), kNanosPerDay));
    const int64_t step = spec_.step;
    if (spec_.unit == TimeUnit::Month) return floor_div(ym.year * 12 + ym.month - 1, step);
    return floor_div(ym.year, step);
}

int64_t CalendarBarBuilder::bucket_end(int64_t bucket) const {
    // Buckets number a few thousand at most, so step x (bucket + 1) stays
    // below 2^33; only the nanosecond stamp of a far year leaves the range.
    const int64_t next = static_cast<int64_t>(spec_.step) * (bucket + 1);
    int64_t day;
    if (spec_.unit == TimeUnit::Month) {
        const int64_t year = floor_div(next, 12);
        day = days_from_civil(year, next - 12 * year + 1);
    } else {
        day = days_from_civil(next, 1);
    }
    return clamp_to_i64(static_cast<__int128>(day) * kNanosPerDay - align_offset_ns_);
}

std::string CalendarBarBuilder::debug() const {
    return "CalendarBarBuilder { spec: BarSpec { step: " + std::to_string(spec_.step) +
           ", unit: " + render_unit(spec_.unit) + " }, align_offset_ns: " + render(align_offset_ns_) +
           ", window: " + render(window_) + ", partial: " + render(partial_) + " }";
}

// --- count ------------------------------------------------------------------------

std::optional<OhlcvBar> CountBarBuilder::push(const SourceRecord& r) {
    open_or_merge_finite_volume(partial_, r);
    ++ticks_;
    last_ts_ = r.timestamp;
    // A volume or value that is not a number would hold the total off its
    // threshold until the end of the data; it adds nothing instead.
    const auto add = [this](double x) {
        if (std::isfinite(x)) accumulated_ += x;
    };
    bool complete = false;
    switch (threshold_.kind) {
        case CountThreshold::Ticks:
            complete = ticks_ >= threshold_.ticks;
            break;
        case CountThreshold::Volume:
            add(r.volume);
            complete = accumulated_ >= threshold_.amount;
            break;
        case CountThreshold::Value:
            add(r.close * r.volume);
            complete = accumulated_ >= threshold_.amount;
            break;
    }
    if (!complete) return std::nullopt;
    return flush();
}

std::optional<OhlcvBar> CountBarBuilder::flush() {
    accumulated_ = 0.0;
    ticks_ = 0;
    return take_stamped(partial_, last_ts_);
}

std::string CountBarBuilder::debug() const {
    return "CountBarBuilder { threshold: " + render(threshold_) + ", accumulated: " + render(accumulated_) +
           ", ticks: " + render(ticks_) + ", last_ts: " + render(last_ts_) + ", partial: " + render(partial_) + " }";
}

// --- Renko --------------------------------------------------------------------------

std::optional<double> RenkoBarBuilder::grid_level(double price) const {
    const double level = brick_ * std::floor(price / brick_);
    if (!std::isfinite(level)) return std::nullopt;
    return level;
}

std::optional<OhlcvBar> RenkoBarBuilder::pop() {
    if (head_ >= pending_.size()) return std::nullopt;
    const OhlcvBar bar = pending_[head_++];
    if (head_ == pending_.size()) {
        pending_.clear();
        head_ = 0;
    }
    return bar;
}

std::optional<OhlcvBar> RenkoBarBuilder::push(const SourceRecord& r) {
    const double close = r.close;
    // A record without a usable close neither anchors the grid nor moves it:
    // anchored on NaN or infinity, no later record could make a brick.
    if (!std::isfinite(close)) return std::nullopt;
    if (!anchor_) {
        anchor_ = grid_level(close);
        return std::nullopt;
    }
    const double anchor = *anchor_;
    const double moved = std::floor(std::fabs(close - anchor) / brick_);
    // A move beyond the cap only needs "more than the cap".
    const uint64_t n = saturating_u64(moved);
    if (n == 0) return std::nullopt;

    // Bricks read before the last pop are dead; drop them once they are half
    // the queue, so that an undrained queue does not keep them forever.
    if (head_ > 0 && 2 * head_ >= pending_.size()) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    const uint64_t m = n < kMaxBricksPerRecord ? n : kMaxBricksPerRecord;
    const double step = close > anchor ? brick_ : -brick_;
    double level = anchor;
    for (uint64_t k = 0; k < m; ++k) {
        const double next = level + step;
        pending_.push_back({r.timestamp, level, max_num(level, next), min_num(level, next), next,
                            k + 1 == m ? r.volume : 0.0});
        level = next;
    }
    anchor_ = level;
    if (n > kMaxBricksPerRecord) anchor_ = grid_level(close).value_or(level);
    return pop();
}

std::string RenkoBarBuilder::debug() const {
    std::string queue = "[";
    for (std::size_t i = head_; i < pending_.size(); ++i) {
        if (i > head_) queue += ", ";
        queue += render(pending_[i]);
    }
    queue += "]";
    return "RenkoBarBuilder { brick: " + render(brick_) + ", anchor: " + render(anchor_) + ", pending: " + queue +
           " }";
}

// --- signed flow ------------------------------------------------------------------------

std::optional<OhlcvBar> FlowBarBuilder::push(const SourceRecord& r) {
    double sign;
    if (r.signed_size == 0.0) {
        // The tick rule: an uptick buys, a downtick sells, an unchanged or
        // unknown price repeats the last side; the first record buys.
        if (!prev_close_ || r.close > *prev_close_) {
            sign = 1.0;
        } else if (r.close < *prev_close_) {
            sign = -1.0;
        } else {
            sign = prev_sign_;
        }
        prev_sign_ = sign;
    } else if (std::isnan(r.signed_size)) {
        sign = std::numeric_limits<double>::quiet_NaN();
    } else {
        sign = r.signed_size > 0.0 ? 1.0 : -1.0;
    }
    prev_close_ = r.close;
    last_ts_ = r.timestamp;

    double magnitude = 1.0;
    if (magnitude_ == FlowMagnitude::Volume) magnitude = r.volume;
    if (magnitude_ == FlowMagnitude::Value) magnitude = r.close * r.volume;
    // As in the count bars: a magnitude that is not a number adds nothing,
    // rather than holding both sides off the threshold for good.
    if (std::isfinite(magnitude)) {
        if (sign >= 0.0) {
            buy_ += magnitude;
        } else {
            sell_ += magnitude;
        }
    }
    open_or_merge_finite_volume(partial_, r);

    const double trigger = rule_ == FlowRule::Runs ? max_num(buy_, sell_) : std::fabs(buy_ - sell_);
    if (!(trigger >= threshold_)) return std::nullopt;
    // The completing record's own timestamp, which last_ts now holds.
    return flush();
}

std::optional<OhlcvBar> FlowBarBuilder::flush() {
    buy_ = 0.0;
    sell_ = 0.0;
    return take_stamped(partial_, last_ts_);
}

std::string FlowBarBuilder::debug() const {
    return "FlowBarBuilder { magnitude: " + std::string(render(magnitude_)) + ", rule: " + render(rule_) +
           ", threshold: " + render(threshold_) + ", partial: " + render(partial_) + ", buy: " + render(buy_) +
           ", sell: " + render(sell_) + ", prev_close: " + render(prev_close_) + ", prev_sign: " +
           render(prev_sign_) + ", last_ts: " + render(last_ts_) + " }";
}

}  // namespace tidemark
