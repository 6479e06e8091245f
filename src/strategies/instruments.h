// The instruments of the multi-instrument runners (basket and shared-capital
// portfolio): each instrument's bar columns and raw signals, and the
// per-symbol overrides.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "core/errors.h"
#include "core/types.h"

namespace tidemark {

// The lengths of an instrument's arrays: all that the runners' checks read,
// so that a call is refused from them before any column is read or copied
// and before anything of the bar count's size is made.
struct InstrumentShape {
    std::size_t timestamps = 0;
    std::size_t open = 0;
    std::size_t high = 0;
    std::size_t low = 0;
    std::size_t close = 0;
    std::size_t volume = 0;
    std::size_t entries = 0;
    std::size_t exits = 0;

    // The bar columns against the bar count `n`, before a run reads any of
    // them: a shorter one fails as reading its first missing bar would (the
    // bounds fault a single-instrument run gives), the shortest first. A run
    // that would never reach the missing bars is refused all the same.
    // Longer columns are read up to the bar count only.
    void check_columns(std::size_t n) const {
        const std::size_t shortest = std::min({timestamps, open, high, low, volume});
        if (shortest < n) fail_index(shortest, shortest);
    }
};

// The columns are views of storage the caller owns and keeps unchanged for
// the length of the run (the input arrays themselves, where they can be read
// in place); they may differ in length.
struct InstrumentData {
    std::span<const int64_t> timestamps;
    std::span<const double> open;
    std::span<const double> high;
    std::span<const double> low;
    std::span<const double> close;
    std::span<const double> volume;
    std::string symbol;
    std::span<const uint8_t> entries;
    std::span<const uint8_t> exits;
    double weight = 1.0;
    int8_t direction = 1;  // 1 long, -1 short

    InstrumentShape shape() const {
        return {timestamps.size(), open.size(),   high.size(),    low.size(),
                close.size(),      volume.size(), entries.size(), exits.size()};
    }

    // Bar t (the columns checked against the bar count first).
    Bar bar(std::size_t t) const {
        return Bar{at_checked(timestamps, t), at_checked(open, t),  at_checked(high, t),
                   at_checked(low, t),        at_checked(close, t), at_checked(volume, t)};
    }
};

inline std::vector<InstrumentShape> shapes_of(std::span<const InstrumentData> instruments) {
    std::vector<InstrumentShape> out;
    out.reserve(instruments.size());
    for (const InstrumentData& ins : instruments) out.push_back(ins.shape());
    return out;
}

// Overrides by exact symbol. Instruments that share a symbol share its entry;
// an entry whose symbol names no instrument is never read.
struct InstrumentConfigs {
    std::map<std::string, InstrumentConfig> by_symbol;

    const InstrumentConfig* find(const std::string& symbol) const {
        auto it = by_symbol.find(symbol);
        return it == by_symbol.end() ? nullptr : &it->second;
    }
};

}  // namespace tidemark
