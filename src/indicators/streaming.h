// The streaming indicator: one technical indicator fed one bar at a time.
// Each kind follows its batch kernel step for step (same seeds, same
// smoothing weights, same order of every sum), so EMA, RSI, ATR and MACD
// equal the batch series bit for bit; SMA and the Bollinger middle keep their
// running sum in arrival order (new close added before the oldest is
// subtracted) and may differ from the batch in the last bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "indicators/smoothing.h"

namespace tidemark {

enum class IndicatorKind : uint8_t { Sma, Ema, WilderMa, Wma, Roc, Stddev, Rsi, Atr, Donchian, Bollinger, Macd };

const char* indicator_kind_name(IndicatorKind kind);

// The value of an update: nothing during warm-up, one number, or a tuple of
// two (Donchian) or three (Bollinger, MACD).
struct IndicatorValue {
    uint8_t size = 0;
    double v[3] = {0.0, 0.0, 0.0};

    void set(double a) {
        size = 1;
        v[0] = a;
    }
    void set(double a, double b) {
        size = 2;
        v[0] = a;
        v[1] = b;
    }
    void set(double a, double b, double c) {
        size = 3;
        v[0] = a;
        v[1] = b;
        v[2] = c;
    }
};

namespace streaming {

// First-in first-out window of the most recent values, oldest first. Storage
// is reserved up front for ordinary periods and grows with the data for huge
// ones, so a period of 10**18 costs nothing until data arrives.
class Window {
public:
    explicit Window(std::size_t capacity);
    // Appends x; when that takes the window past its capacity the oldest
    // value is dropped into `dropped` and true is returned.
    bool push(double x, double& dropped) {
        if (buf_.size() < capacity_) {
            buf_.push_back(x);
            return false;
        }
        dropped = buf_[head_];
        buf_[head_] = x;
        head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
        return true;
    }
    void push(double x) {
        double dropped;
        push(x, dropped);
    }
    std::size_t size() const { return buf_.size(); }
    bool full() const { return buf_.size() == capacity_; }
    double oldest() const { return buf_[head_]; }
    // f(value) oldest first.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t k = head_; k < buf_.size(); ++k) f(buf_[k]);
        for (std::size_t k = 0; k < head_; ++k) f(buf_[k]);
    }
    // f(first, count) for the stored values as at most two contiguous runs,
    // oldest first.
    template <class F>
    void for_each_run(F&& f) const {
        f(buf_.data() + head_, buf_.size() - head_);
        f(buf_.data(), head_);
    }
    void clear();

private:
    std::vector<double> buf_;
    std::size_t capacity_;
    std::size_t head_ = 0;  // slot of the oldest value once full
};

// The largest (Max) or smallest order key among the last p pushed, in O(1)
// per push and without a branch that depends on the data: the pushes fall
// into blocks of p, and the window ending inside a block is the part of the
// previous block after that point (a suffix fold, taken once when that
// block is complete) and the current block so far (a running prefix fold):
// two comparisons per push and one more, amortised, for the suffix folds.
// Keys are compared as integers, so the grouping changes nothing. Storage
// grows with the data up to two blocks; nothing is allocated after the
// first block is complete.
template <bool Max>
class WindowExtreme {
public:
    explicit WindowExtreme(uint64_t period) : period_(period) {
        block_.reserve(period < kReserve ? static_cast<std::size_t>(period) : kReserve);
    }
    void push(int64_t key) {
        const uint64_t at = pos_;
        if (at < block_.size()) {
            block_[at] = key;
        } else {
            block_.push_back(key);
        }
        prefix_ = at == 0 ? key : pick(prefix_, key);
        extreme_ = full_ && at + 1 < period_ ? pick(suffix_[at + 1], prefix_) : prefix_;
        if (++pos_ == period_) {
            suffix_.resize(block_.size());
            int64_t acc = block_.back();
            for (std::size_t j = block_.size(); j-- > 0;) suffix_[j] = acc = pick(block_[j], acc);
            pos_ = 0;
            full_ = true;
        }
    }
    // The extreme of the window; only after a push.
    int64_t extreme() const { return extreme_; }
    bool full() const { return full_; }
    void clear() {
        pos_ = 0;
        full_ = false;
    }

private:
    static constexpr std::size_t kReserve = std::size_t{1} << 12;
    static int64_t pick(int64_t a, int64_t b) { return Max ? (a > b ? a : b) : (a < b ? a : b); }
    std::vector<int64_t> block_;   // the current block so far, then the rest of the previous
    std::vector<int64_t> suffix_;  // suffix_[j]: the extreme of the previous block from j on
    uint64_t pos_ = 0;             // pushes into the current block
    uint64_t period_;
    int64_t prefix_ = 0;
    int64_t extreme_ = 0;
    bool full_ = false;  // a whole block has been pushed
};

// Each state's update takes the bar and writes the new value into `out`
// when there is one, leaving `out` as it was while warming up (and, for
// ROC, on a zero reference). Values are written field by field: a value
// built apart and copied over in one piece costs a store-forwarding stall
// per bar, which is most of an update.

// An exponential average seeded by the mean of its first p inputs: the EMA,
// the Wilder MA, the ATR and the three lines of MACD, each with its own
// weights. `update` returns whether it has a value.
struct EmaCore {
    Smoother w;
    uint64_t period;
    uint64_t count = 0;
    double sum = 0.0;
    double value = 0.0;
    bool ready = false;

    bool update(double x) {
        if (ready) {
            value = w.step(value, x);
            return true;
        }
        sum = x + sum;
        if (++count < period) return false;
        value = sum / static_cast<double>(period);
        ready = true;
        return true;
    }
    void clear();
};

// The last p closes and their running sum (SMA, standard deviation and
// Bollinger bands).
struct SumWindow {
    Window window;
    uint64_t period;
    double sum = 0.0;

    // Takes x; returns whether the window holds p closes. The new close is
    // added first, then the dropped one subtracted (the batch SMA subtracts
    // first, hence the last-bit differences).
    bool push(double x) {
        double dropped;
        const bool was_full = window.push(x, dropped);
        sum = x + sum;
        if (was_full) sum = sum - dropped;
        return window.full();
    }
    double mean() const;
    // Population standard deviation about `mean`.
    double stddev(double mean) const;
    void clear();
};

struct SmaState {
    SumWindow closes;
    void update(double x, IndicatorValue& out);
    void clear() { closes.clear(); }
};
struct EmaState {
    EmaCore ema;
    void update(double x, IndicatorValue& out);
    void clear() { ema.clear(); }
};
struct WmaState {
    Window window;
    uint64_t period;
    void update(double x, IndicatorValue& out);
    void clear() { window.clear(); }
};
struct RocState {
    Window window;  // p + 1 closes
    void update(double x, IndicatorValue& out);
    void clear() { window.clear(); }
};
struct StddevState {
    SumWindow closes;
    void update(double x, IndicatorValue& out);
    void clear() { closes.clear(); }
};
struct RsiState {
    Smoother w;
    uint64_t period;
    uint64_t count = 0;
    double prev = 0.0;
    double gain = 0.0, loss = 0.0;  // sums until seeded, then averages
    bool has_prev = false;
    bool seeded = false;
    void update(double x, IndicatorValue& out);
    void clear();
};
struct AtrState {
    EmaCore average;
    double prev = 0.0;
    bool has_prev = false;
    // The average is a value the step by a true range of +0 leaves as it
    // is: over a flat stretch it is held there, not stepped on subnormals.
    bool held = false;
    void update(double high, double low, double close, IndicatorValue& out);
    void clear();
};
struct DonchianState {
    WindowExtreme<true> highs;
    WindowExtreme<false> lows;
    void update(double high, double low, IndicatorValue& out);
    void clear();
};
struct BollingerState {
    SumWindow closes;
    double k;
    void update(double x, IndicatorValue& out);
    void clear() { closes.clear(); }
};
struct MacdState {
    EmaCore fast, slow, signal;
    void update(double x, IndicatorValue& out);
    void clear();
};

using State = std::variant<SmaState, EmaState, WmaState, RocState, StddevState, RsiState, AtrState, DonchianState,
                           BollingerState, MacdState>;

}  // namespace streaming

class StreamingIndicator {
public:
    // Every period is clamped to at least 1; nothing else is checked.
    static StreamingIndicator sma(uint64_t period);
    static StreamingIndicator ema(uint64_t period);
    static StreamingIndicator wilder_ma(uint64_t period);
    static StreamingIndicator wma(uint64_t period);
    static StreamingIndicator roc(uint64_t period);
    static StreamingIndicator stddev(uint64_t period);
    static StreamingIndicator rsi(uint64_t period);
    static StreamingIndicator atr(uint64_t period);
    static StreamingIndicator donchian(uint64_t period);
    static StreamingIndicator bollinger(uint64_t period, double k);
    static StreamingIndicator macd(uint64_t fast, uint64_t slow, uint64_t signal);

    // Feeds one bar; ATR reads high, low and close, Donchian high and low,
    // every other kind the close. Returns the value after the update.
    const IndicatorValue& update_bar(double high, double low, double close);
    // Back to warming up; the kind and its parameters stay.
    void reset();

    const IndicatorValue& value() const { return value_; }
    bool initialized() const { return value_.size != 0; }
    IndicatorKind kind() const { return kind_; }
    const char* kind_name() const { return indicator_kind_name(kind_); }

private:
    StreamingIndicator(IndicatorKind kind, streaming::State state) : kind_(kind), state_(std::move(state)) {}

    IndicatorKind kind_;
    streaming::State state_;
    IndicatorValue value_;
};

}  // namespace tidemark
