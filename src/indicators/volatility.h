// Volatility kernels shared by the execution kernel and the indicator functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/buffer.h"
#include "core/errors.h"

namespace tidemark {

struct IndicatorError {
    enum Kind : uint8_t { DataLengthMismatch = 0, InvalidParameter = 1 };
    Kind kind = InvalidParameter;
    std::size_t expected = 0;
    std::size_t got = 0;
    std::string message;

    static IndicatorError length_mismatch(std::size_t expected, std::size_t got) {
        return {DataLengthMismatch, expected, got, {}};
    }
    static IndicatorError invalid(std::string msg) { return {InvalidParameter, 0, 0, std::move(msg)}; }
    // "Data length mismatch: expected 3, got 2" / "Invalid parameter: ..."
    std::string text() const;
};

using SeriesResult = Outcome<Series<double>, IndicatorError>;

// Wilder average true range, one value per bar of `close`, NaN during warm-up.
SeriesResult compute_atr(std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, uint64_t period);

}  // namespace tidemark
