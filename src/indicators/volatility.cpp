#include "indicators/volatility.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/numeric.h"

namespace tidemark {

std::string IndicatorError::text() const {
    if (kind == DataLengthMismatch) {
        return "Data length mismatch: expected " + std::to_string(expected) + ", got " +
               std::to_string(got);
    }
    return "Invalid parameter: " + message;
}

SeriesResult compute_atr(std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, uint64_t period) {
    const std::size_t n = close.size();
    if (high.size() != n) return IndicatorError::length_mismatch(n, high.size());
    if (low.size() != n) return IndicatorError::length_mismatch(n, low.size());
    if (period == 0) return IndicatorError::invalid("ATR period must be > 0");

    if (n == 0 || n <= period) return Series<double>(n, std::numeric_limits<double>::quiet_NaN());

    // Only the warm-up is NaN; the rest is written once, below.
    const std::size_t p = static_cast<std::size_t>(period);
    Series<double> out;
    out.reserve(n);
    out.resize(p - 1, std::numeric_limits<double>::quiet_NaN());
    auto true_range = [&](std::size_t i) {
        if (i == 0) return high[0] - low[0];
        const double prev = close[i - 1];
        return max_num(max_num(high[i] - low[i], std::fabs(high[i] - prev)), std::fabs(low[i] - prev));
    };

    double sum = 0.0;
    for (std::size_t i = 0; i < p; ++i) sum += true_range(i);
    const double pd = static_cast<double>(period);
    double atr = sum / pd;
    out.push_back(atr);

    const double alpha = 1.0 / pd;
    const double keep = 1.0 - 1.0 / pd;
    // Block by block, so that the running value stays in a register: the
    // loop is one long chain of multiply and add.
    constexpr std::size_t kBlock = 256;
    double block[kBlock];
    for (std::size_t from = p; from < n; from += kBlock) {
        const std::size_t k = std::min(kBlock, n - from);
        for (std::size_t j = 0; j < k; ++j) {
            atr = alpha * true_range(from + j) + keep * atr;
            block[j] = atr;
        }
        out.insert(out.end(), block, block + k);
    }
    return out;
}

}  // namespace tidemark
