#include "indicators/streaming.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "indicators/extrema.h"
#include "indicators/momentum.h"
#include "indicators/volatility.h"

namespace tidemark {

const char* indicator_kind_name(IndicatorKind kind) {
    switch (kind) {
        case IndicatorKind::Sma: return "sma";
        case IndicatorKind::Ema: return "ema";
        case IndicatorKind::WilderMa: return "wilder_ma";
        case IndicatorKind::Wma: return "wma";
        case IndicatorKind::Roc: return "roc";
        case IndicatorKind::Stddev: return "stddev";
        case IndicatorKind::Rsi: return "rsi";
        case IndicatorKind::Atr: return "atr";
        case IndicatorKind::Donchian: return "donchian";
        case IndicatorKind::Bollinger: return "bollinger";
        case IndicatorKind::Macd: return "macd";
    }
    return "unknown";
}

namespace streaming {

namespace {

// Up to this many slots are reserved when the window is made; longer windows
// grow with the data.
constexpr std::size_t kReserveLimit = std::size_t{1} << 16;

double as_double(uint64_t v) { return static_cast<double>(v); }

}  // namespace

Window::Window(std::size_t capacity) : capacity_(capacity) {
    buf_.reserve(capacity < kReserveLimit ? capacity : kReserveLimit);
}

void Window::clear() {
    buf_.clear();
    head_ = 0;
}

void EmaCore::clear() {
    count = 0;
    sum = 0.0;
    value = 0.0;
    ready = false;
}

double SumWindow::mean() const { return sum / as_double(period); }

// The squared deviations go into four sums side by side: one chain of
// additions through the whole window would make the rescan the larger part of
// an update. The grouping is fixed, so a window always gives the same value.
double SumWindow::stddev(double mean) const {
    double acc[4] = {0.0, 0.0, 0.0, 0.0};
    window.for_each_run([&](const double* x, std::size_t n) {
        std::size_t j = 0;
        for (; j + 4 <= n; j += 4) {
            for (std::size_t l = 0; l < 4; ++l) {
                const double d = x[j + l] - mean;
                acc[l] += d * d;
            }
        }
        for (; j < n; ++j) {
            const double d = x[j] - mean;
            acc[0] += d * d;
        }
    });
    const double dev = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    return std::sqrt(dev / as_double(period));
}

void SumWindow::clear() {
    window.clear();
    sum = 0.0;
}

void SmaState::update(double x, IndicatorValue& out) {
    if (closes.push(x)) out.set(closes.mean());
}

void EmaState::update(double x, IndicatorValue& out) {
    if (ema.update(x)) out.set(ema.value);
}

void WmaState::update(double x, IndicatorValue& out) {
    window.push(x);
    if (!window.full()) return;
    double weighted = 0.0, weight = 0.0;
    window.for_each([&](double v) {
        weight += 1.0;
        weighted = weighted + v * weight;
    });
    const double p = as_double(period);
    out.set(weighted / (p * (p + 1.0) / 2.0));
}

void RocState::update(double x, IndicatorValue& out) {
    window.push(x);
    if (!window.full()) return;
    // A zero reference has no rate of change: the previous value stands.
    const double ref = window.oldest();
    if (ref != 0.0) out.set((x - ref) / ref * 100.0);
}

void StddevState::update(double x, IndicatorValue& out) {
    if (closes.push(x)) out.set(closes.stddev(closes.mean()));
}

void RsiState::update(double x, IndicatorValue& out) {
    if (!has_prev) {
        prev = x;
        has_prev = true;
        return;
    }
    const double change = x - prev;
    prev = x;
    const double g = rsi_gain(change), l = rsi_loss(change);
    if (seeded) {
        gain = w.step(gain, g);
        loss = w.step(loss, l);
    } else {
        gain = gain + g;
        loss = loss + l;
        if (++count < period) return;
        gain /= as_double(period);
        loss /= as_double(period);
        seeded = true;
    }
    out.set(rsi_value(gain, loss));
}

void RsiState::clear() {
    count = 0;
    prev = gain = loss = 0.0;
    has_prev = seeded = false;
}

void AtrState::update(double high, double low, double close, IndicatorValue& out) {
    const double tr = has_prev ? true_range(high, low, prev) : high - low;
    prev = close;
    has_prev = true;
    const bool flat = std::bit_cast<uint64_t>(tr) == 0;
    if (held && flat) [[unlikely]] {
        out.set(average.value);
        return;
    }
    const bool stepping = average.ready;
    const double before = average.value;
    if (!average.update(tr)) return;
    held = flat && stepping && same_bits(average.value, before);
    out.set(average.value);
}

void AtrState::clear() {
    average.clear();
    prev = 0.0;
    has_prev = false;
    held = false;
}

void DonchianState::update(double high, double low, IndicatorValue& out) {
    // Starting from the finite extremes, a window without numbers reads as
    // them rather than NaN. Compared by order key (as the batch rolling
    // extremes are), each value costs one integer compare instead of a
    // NaN-aware maxNum; a NaN stands for the starting extreme, which it
    // cannot pass, and -0.0 stays below +0.0 as in maxNum.
    const int64_t lowest = order_key(std::numeric_limits<double>::lowest());
    const int64_t highest = order_key(std::numeric_limits<double>::max());
    highs.push(high != high ? lowest : order_key(high));
    lows.push(low != low ? highest : order_key(low));
    if (!highs.full()) return;
    const int64_t upper = highs.extreme(), lower = lows.extreme();
    out.set(from_order_key(upper > lowest ? upper : lowest), from_order_key(lower < highest ? lower : highest));
}

void DonchianState::clear() {
    highs.clear();
    lows.clear();
}

void BollingerState::update(double x, IndicatorValue& out) {
    if (!closes.push(x)) return;
    const double middle = closes.mean();
    const double sd = k * closes.stddev(middle);
    out.set(middle, middle + sd, middle - sd);
}

void MacdState::update(double x, IndicatorValue& out) {
    const bool f = fast.update(x);
    const bool s = slow.update(x);
    if (!f || !s) return;
    const double m = fast.value - slow.value;
    if (signal.update(m)) out.set(m, signal.value, m - signal.value);
}

void MacdState::clear() {
    fast.clear();
    slow.clear();
    signal.clear();
}

}  // namespace streaming

namespace {

uint64_t at_least_one(uint64_t period) { return period == 0 ? 1 : period; }

std::size_t window_size(uint64_t period) { return static_cast<std::size_t>(period); }

// Room for p + 1 closes; the largest period keeps its (unreachable) size.
std::size_t window_size_plus_one(uint64_t period) {
    return period == std::numeric_limits<uint64_t>::max() ? window_size(period) : window_size(period + 1);
}

streaming::EmaCore ema_core(Smoother w, uint64_t period) { return streaming::EmaCore{w, period}; }

streaming::SumWindow sum_window(uint64_t period) {
    const uint64_t p = at_least_one(period);
    return streaming::SumWindow{streaming::Window(window_size(p)), p};
}

}  // namespace

StreamingIndicator StreamingIndicator::sma(uint64_t period) {
    return {IndicatorKind::Sma, streaming::SmaState{sum_window(period)}};
}

StreamingIndicator StreamingIndicator::ema(uint64_t period) {
    const uint64_t p = at_least_one(period);
    return {IndicatorKind::Ema, streaming::EmaState{ema_core(Smoother::ema(p), p)}};
}

StreamingIndicator StreamingIndicator::wilder_ma(uint64_t period) {
    const uint64_t p = at_least_one(period);
    return {IndicatorKind::WilderMa, streaming::EmaState{ema_core(Smoother::wilder(p), p)}};
}

StreamingIndicator StreamingIndicator::wma(uint64_t period) {
    const uint64_t p = at_least_one(period);
    return {IndicatorKind::Wma, streaming::WmaState{streaming::Window(window_size(p)), p}};
}

StreamingIndicator StreamingIndicator::roc(uint64_t period) {
    const uint64_t p = at_least_one(period);
    return {IndicatorKind::Roc, streaming::RocState{streaming::Window(window_size_plus_one(p))}};
}

StreamingIndicator StreamingIndicator::stddev(uint64_t period) {
    return {IndicatorKind::Stddev, streaming::StddevState{sum_window(period)}};
}

StreamingIndicator StreamingIndicator::rsi(uint64_t period) {
    const uint64_t p = at_least_one(period);
    return {IndicatorKind::Rsi, streaming::RsiState{Smoother::wilder(p), p}};
}

StreamingIndicator StreamingIndicator::atr(uint64_t period) {
    const uint64_t p = at_least_one(period);
    return {IndicatorKind::Atr, streaming::AtrState{ema_core(Smoother::wilder(p), p)}};
}

StreamingIndicator StreamingIndicator::donchian(uint64_t period) {
    const uint64_t p = at_least_one(period);
    return {IndicatorKind::Donchian,
            streaming::DonchianState{streaming::WindowExtreme<true>(p), streaming::WindowExtreme<false>(p)}};
}

StreamingIndicator StreamingIndicator::bollinger(uint64_t period, double k) {
    return {IndicatorKind::Bollinger, streaming::BollingerState{sum_window(period), k}};
}

StreamingIndicator StreamingIndicator::macd(uint64_t fast, uint64_t slow, uint64_t signal) {
    const uint64_t f = at_least_one(fast), s = at_least_one(slow), g = at_least_one(signal);
    return {IndicatorKind::Macd, streaming::MacdState{ema_core(Smoother::ema(f), f), ema_core(Smoother::ema(s), s),
                                                      ema_core(Smoother::ema(g), g)}};
}

// Out of line, so that every value is computed in this file (compiled
// without contraction) whoever calls it.
const IndicatorValue& StreamingIndicator::update_bar(double high, double low, double close) {
    std::visit(
        [&](auto& s) {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, streaming::AtrState>) {
                s.update(high, low, close, value_);
            } else if constexpr (std::is_same_v<S, streaming::DonchianState>) {
                s.update(high, low, value_);
            } else {
                s.update(close, value_);
            }
        },
        state_);
    return value_;
}

void StreamingIndicator::reset() {
    std::visit([](auto& s) { s.clear(); }, state_);
    value_ = {};
}

}  // namespace tidemark
