#include "signals/processor.h"

#include <cstring>

#include "core/errors.h"

namespace tidemark {

ProcessedSignals process_signals(std::span<const uint8_t> entries, std::span<const uint8_t> exits) {
    return process_signals(entries, exits, 1, false);
}

std::size_t next_flag(const uint8_t* a, const uint8_t* b, std::size_t i, std::size_t end) {
    for (; i + 8 <= end; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x | y) break;
    }
    for (; i < end; ++i)
        if (a[i] | b[i]) return i;
    return end;
}

ProcessedSignals process_signals(std::span<const uint8_t> entries, std::span<const uint8_t> exits, std::size_t max_open,
                                 bool pyramiding) {
    if (entries.size() != exits.size()) {
        fail_assert_eq("Entry and exit arrays must have same length", entries.size(), exits.size());
    }
    const std::size_t n = entries.size();
    ProcessedSignals out{BoolVec(n, 0), BoolVec(n, 0)};

    // Without pyramiding a second entry never stacks on an open one, whatever
    // the cap says.
    const std::size_t cap = pyramiding ? max_open : (max_open < 1 ? max_open : 1);
    std::size_t open = 0;
    // A bar with neither flag changes nothing.
    for (std::size_t i = next_flag(entries.data(), exits.data(), 0, n); i < n;
         i = next_flag(entries.data(), exits.data(), i + 1, n)) {
        const bool entry = entries[i] != 0;
        if (entry && open < cap) {
            out.entry_signals[i] = 1;
            ++open;
        } else if (open > 0 && !entry && exits[i] != 0) {
            // A bar that asks to enter again is read as "stay in", so its exit
            // is dropped rather than closing and reopening.
            out.exit_signals[i] = 1;
            open = 0;
        }
    }
    return out;
}

}  // namespace tidemark
