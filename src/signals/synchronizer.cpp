#include "signals/synchronizer.h"

#include "core/errors.h"

namespace tidemark {

SyncMode parse_sync_mode(std::string_view text) {
    if (text == "any") return SyncMode::Any;
    if (text == "majority") return SyncMode::Majority;
    if (text == "master") return SyncMode::Master;
    return SyncMode::All;
}

void check_synchronized_length(std::size_t length, std::size_t first) {
    if (length != first) fail_assert_eq("All signal arrays must have same length", length, first);
}

std::vector<uint32_t> count_set_flags(std::span<const std::span<const uint8_t>> series, std::size_t n) {
    std::vector<uint32_t> counts(n, 0);
    // One series at a time keeps both streams sequential; the inner loop has
    // no branch, so it vectorises.
    for (std::span<const uint8_t> s : series) {
        if (s.size() < n) fail_index(s.size(), s.size());
        const uint8_t* flags = s.data();
        uint32_t* c = counts.data();
        for (std::size_t t = 0; t < n; ++t) c[t] += flags[t] != 0;
    }
    return counts;
}

BoolVec flags_at_least(std::span<const std::span<const uint8_t>> series, std::size_t n, uint32_t threshold) {
    const std::vector<uint32_t> counts = count_set_flags(series, n);
    BoolVec out(n);
    for (std::size_t t = 0; t < n; ++t) out[t] = counts[t] >= threshold;
    return out;
}

namespace {

void check_one_length(std::span<const std::span<const uint8_t>> series) {
    for (std::span<const uint8_t> s : series) check_synchronized_length(s.size(), series.front().size());
}

BoolVec at_least(std::span<const std::span<const uint8_t>> series, uint32_t threshold) {
    return flags_at_least(series, series.front().size(), threshold);
}

BoolVec copy_flags(std::span<const uint8_t> s) {
    BoolVec out(s.size());
    for (std::size_t t = 0; t < s.size(); ++t) out[t] = s[t] != 0;
    return out;
}

}  // namespace

CombinedSignals synchronize_signals(std::span<const std::span<const uint8_t>> entries,
                                    std::span<const std::span<const uint8_t>> exits, SyncMode mode) {
    if (entries.empty() || exits.empty()) return {};
    check_one_length(entries);
    check_one_length(exits);
    const auto all = static_cast<uint32_t>(entries.size());
    switch (mode) {
        case SyncMode::All: return {at_least(entries, all), at_least(exits, 1)};
        case SyncMode::Any: return {at_least(entries, 1), at_least(exits, all)};
        case SyncMode::Majority: {
            const uint32_t quorum = all - all / 2;
            return {at_least(entries, quorum), at_least(exits, quorum)};
        }
        case SyncMode::Master: return {copy_flags(entries.front()), copy_flags(exits.front())};
    }
    return {};
}

}  // namespace tidemark
