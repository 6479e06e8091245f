// The five bar builders behind BarBuilder. Each holds only its own state and
// is made by build_bar_builder; none fails once made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "data/aggregate.h"

namespace tidemark {

// Bars of consecutive records that share a window (a bucket number); a
// record in any other window, later or earlier, closes the bar in progress,
// which is stamped at its window's end. `Clock` gives the window of a
// timestamp and the end of a window.
template <class Clock>
class WindowBarBuilder : public BarBuilder {
public:
    std::optional<OhlcvBar> push(const SourceRecord& r) final {
        const int64_t bucket = clock().bucket_of(r.timestamp);
        if (window_ && partial_ && bucket == *window_) {
            partial_->merge(r);
            return std::nullopt;
        }
        std::optional<OhlcvBar> done = take();
        window_ = bucket;
        partial_ = Partial::opened_by(r);
        return done;
    }
    std::optional<OhlcvBar> flush() final { return take(); }

protected:
    std::optional<int64_t> window_;
    std::optional<Partial> partial_;

private:
    const Clock& clock() const { return static_cast<const Clock&>(*this); }
    std::optional<OhlcvBar> take() {
        std::optional<OhlcvBar> done;
        if (window_ && partial_) done = partial_->stamped(clock().bucket_end(*window_));
        window_.reset();
        partial_.reset();
        return done;
    }
};

// Fixed-width windows aligned to the epoch on the offset's local clock (so
// week windows start on Thursdays). The bar stamped t holds only records
// before t.
class TimeBarBuilder final : public WindowBarBuilder<TimeBarBuilder> {
public:
    TimeBarBuilder(int64_t width_ns, int64_t align_offset_ns) : width_ns_(width_ns), align_offset_ns_(align_offset_ns) {}
    std::string debug() const override;
    int64_t bucket_of(int64_t ts) const;
    int64_t bucket_end(int64_t bucket) const;

private:
    int64_t width_ns_;
    int64_t align_offset_ns_;
};

// Month and year buckets of the civil calendar on the offset's local clock,
// counted from January of year 0; a bar is stamped at local midnight of the
// next bucket's first day.
class CalendarBarBuilder final : public WindowBarBuilder<CalendarBarBuilder> {
public:
    CalendarBarBuilder(BarSpec spec, int64_t align_offset_ns) : spec_(spec), align_offset_ns_(align_offset_ns) {}
    std::string debug() const override;
    int64_t bucket_of(int64_t ts) const;
    int64_t bucket_end(int64_t bucket) const;

private:
    BarSpec spec_;
    int64_t align_offset_ns_;
};

// Bars of n records, or of a volume or traded value reaching a threshold;
// the record that crosses it belongs wholly to the bar it completes.
class CountBarBuilder final : public BarBuilder {
public:
    explicit CountBarBuilder(CountThreshold threshold) : threshold_(threshold) {}
    std::string debug() const override;
    std::optional<OhlcvBar> push(const SourceRecord& r) override;
    std::optional<OhlcvBar> flush() override;

private:
    CountThreshold threshold_;
    double accumulated_ = 0.0;
    uint64_t ticks_ = 0;
    int64_t last_ts_ = 0;
    std::optional<Partial> partial_;
};

// Bricks of a fixed price move from an anchor on the brick grid. One record
// may complete many bricks: they queue, oldest first, and push returns the
// oldest.
class RenkoBarBuilder final : public BarBuilder {
public:
    // One record never makes more bricks than this; a larger move re-anchors
    // on the grid at or below its close.
    static constexpr uint64_t kMaxBricksPerRecord = 10'000;

    explicit RenkoBarBuilder(double brick) : brick_(brick) {}
    std::string debug() const override;
    std::optional<OhlcvBar> push(const SourceRecord& r) override;
    std::optional<OhlcvBar> flush() override { return pop(); }
    std::optional<OhlcvBar> next_pending() override { return pop(); }

private:
    std::optional<double> grid_level(double price) const;
    std::optional<OhlcvBar> pop();

    double brick_;
    std::optional<double> anchor_;
    // A queue kept as a vector and a read position, so that its storage is
    // reused rather than given back brick by brick.
    std::vector<OhlcvBar> pending_;
    std::size_t head_ = 0;
};

// Bars that close when signed flow on one side (runs) or the difference of
// the two sides (imbalance) reaches a threshold. A record's side comes from
// its signed size or, when that is unknown, from the tick rule.
class FlowBarBuilder final : public BarBuilder {
public:
    FlowBarBuilder(FlowMagnitude magnitude, FlowRule rule, double threshold)
        : magnitude_(magnitude), rule_(rule), threshold_(threshold) {}
    std::string debug() const override;
    std::optional<OhlcvBar> push(const SourceRecord& r) override;
    std::optional<OhlcvBar> flush() override;

private:
    FlowMagnitude magnitude_;
    FlowRule rule_;
    double threshold_;
    std::optional<Partial> partial_;
    double buy_ = 0.0;
    double sell_ = 0.0;
    std::optional<double> prev_close_;
    double prev_sign_ = 1.0;
    int64_t last_ts_ = 0;
};

}  // namespace tidemark
