// Turns raw entry/exit arrays into per-bar flags under a one-position reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/buffer.h"
#include "core/types.h"

namespace tidemark {

struct ProcessedSignals {
    BoolVec entry_signals;
    BoolVec exit_signals;
};

// The fault of unequal entry and exit lengths, from the lengths alone.
void check_signal_lengths(std::size_t entries, std::size_t exits);

// One notional position: an entry survives only while flat, an exit only while
// in position and on a bar without a raw entry. Unequal lengths are a fault.
ProcessedSignals process_signals(std::span<const uint8_t> entries, std::span<const uint8_t> exits);

// The processed flags found bar by bar, for a caller that only wants the bars
// that carry one: what process_signals writes out, without the arrays.
class SignalCursor {
public:
    // Unequal lengths are the fault of process_signals.
    SignalCursor(std::span<const uint8_t> entries, std::span<const uint8_t> exits, std::size_t max_open = 1,
                 bool pyramiding = false);

    // The first bar from `i` on with a processed entry or exit flag, which
    // are set in `entry` and `exit`; the length of the arrays when there is
    // none. Bars must be asked for in increasing order, each once.
    std::size_t next(std::size_t i, bool& entry, bool& exit);

    // The bars with a raw entry (exit) flag set.
    std::size_t raw_entries() const { return raw_entries_; }
    std::size_t raw_exits() const { return raw_exits_; }

private:
    // The first bar from `i` on with either raw flag set, or the length.
    std::size_t next_flagged(std::size_t i) const;
    bool entry_at(std::size_t i) const { return (entry_bits_[i / 64] >> (i % 64)) & 1; }
    bool exit_at(std::size_t i) const { return (exit_bits_[i / 64] >> (i % 64)) & 1; }

    std::size_t n_;
    // One bit per bar and flag, set where the raw flag is: signals are
    // sparse, and a flagged bar is found in a word of 64 without a branch
    // per bar; the bits stay in the processor's caches, where the arrays
    // would not.
    Series<uint64_t> entry_bits_;
    Series<uint64_t> exit_bits_;
    std::size_t raw_entries_ = 0;
    std::size_t raw_exits_ = 0;
    std::size_t cap_;
    std::size_t open_ = 0;  // notional positions
};

// General form used by the strategy runners: at most `max_open` notional
// positions; with `pyramiding` further entries add while below the cap. An exit
// closes every notional position. (1, false) is the two-argument form.
ProcessedSignals process_signals(std::span<const uint8_t> entries, std::span<const uint8_t> exits, std::size_t max_open,
                                 bool pyramiding);

}  // namespace tidemark
