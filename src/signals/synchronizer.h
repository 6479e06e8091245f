// Combines the entry and exit signals of several instruments into one pair,
// bar by bar, by counting how many instruments raise each flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/types.h"

namespace tidemark {

// How a basket agrees to act. Any text other than the three named modes
// means All, so that a basket never refuses to run over a mode name.
enum class SyncMode : uint8_t { All = 0, Any = 1, Majority = 2, Master = 3 };

SyncMode parse_sync_mode(std::string_view text);

struct CombinedSignals {
    BoolVec entries;
    BoolVec exits;
};

// Per bar t < n, how many of the series have their flag set. A series shorter
// than n is a fault at the first bar it lacks; longer ones are read up to n.
std::vector<uint32_t> count_set_flags(std::span<const std::span<const uint8_t>> series, std::size_t n);

// Per bar t < n, whether at least `threshold` of the series have their flag
// set; short series fail as in count_set_flags.
BoolVec flags_at_least(std::span<const std::span<const uint8_t>> series, std::size_t n, uint32_t threshold);

// The fault of a series of `length` flags beside a first series of `first`,
// from the lengths alone: every entry series must have one length, and every
// exit series one length.
void check_synchronized_length(std::size_t length, std::size_t first);

// Combined flags of a basket:
//   All:      enter when every instrument enters, exit when any exits;
//   Any:      enter when any enters, exit when every one exits;
//   Majority: both when at least N - floor(N/2) of the N instruments agree;
//   Master:   the first instrument's flags.
// Every entry series must have one length and every exit series one length.
CombinedSignals synchronize_signals(std::span<const std::span<const uint8_t>> entries,
                                    std::span<const std::span<const uint8_t>> exits, SyncMode mode);

}  // namespace tidemark
