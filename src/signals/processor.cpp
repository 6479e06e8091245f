#include "signals/processor.h"

#include "core/errors.h"

namespace tidemark {

ProcessedSignals process_signals(std::span<const uint8_t> entries, std::span<const uint8_t> exits) {
    return process_signals(entries, exits, 1, false);
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
    for (std::size_t i = 0; i < n; ++i) {
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
