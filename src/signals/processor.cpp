#include "signals/processor.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

std::size_t count_flags(std::span<const uint8_t> flags) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    const uint8_t* p = flags.data();
    const std::size_t n = flags.size();
    constexpr uint64_t kBytes = 0x00FF00FF00FF00FFULL;
    std::size_t set = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen at a time: a one per set byte, summed by the byte-sum
    // instruction into two counts.
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    __m128i counts = zero;
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        counts = _mm_add_epi64(counts, _mm_sad_epu8(_mm_andnot_si128(_mm_cmpeq_epi8(x, zero), one), zero));
    }
    set += static_cast<std::size_t>(_mm_cvtsi128_si64(counts)) +
           static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(counts, counts)));
#endif
    while (i + 8 <= n) {
        // A one in each byte of `ones` where that byte of the flags is not
        // zero, added up byte by byte for up to 255 words, then across.
        uint64_t ones = 0;
        for (int k = 0; k < 255 && i + 8 <= n; ++k, i += 8) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            ones += ((((w & kLow7) + kLow7) | w) & ~kLow7) >> 7;
        }
        const uint64_t pairs = (ones & kBytes) + ((ones >> 8) & kBytes);
        set += static_cast<std::size_t>((pairs * 0x0001000100010001ULL) >> 48);
    }
    for (; i < n; ++i) set += p[i] != 0;
    return set;
}

SignalCursor::SignalCursor(std::span<const uint8_t> entries, std::span<const uint8_t> exits, std::size_t max_open,
                           bool pyramiding)
    : entries_(entries),
      exits_(exits),
      // Without pyramiding a second entry never stacks on an open one,
      // whatever the cap says.
      cap_(pyramiding ? max_open : (max_open < 1 ? max_open : 1)) {
    if (entries.size() != exits.size()) {
        fail_assert_eq("Entry and exit arrays must have same length", entries.size(), exits.size());
    }
}

std::size_t SignalCursor::next(std::size_t i, bool& entry, bool& exit) {
    const std::size_t n = entries_.size();
    // A bar with neither flag changes nothing.
    for (i = next_flag(entries_.data(), exits_.data(), i, n); i < n;
         i = next_flag(entries_.data(), exits_.data(), i + 1, n)) {
        const bool raw_entry = entries_[i] != 0;
        if (raw_entry && open_ < cap_) {
            ++open_;
            entry = true;
            exit = false;
            return i;
        }
        if (open_ > 0 && !raw_entry && exits_[i] != 0) {
            // A bar that asks to enter again is read as "stay in", so its
            // exit is dropped rather than closing and reopening.
            open_ = 0;
            entry = false;
            exit = true;
            return i;
        }
    }
    return n;
}

ProcessedSignals process_signals(std::span<const uint8_t> entries, std::span<const uint8_t> exits, std::size_t max_open,
                                 bool pyramiding) {
    SignalCursor cursor(entries, exits, max_open, pyramiding);
    const std::size_t n = entries.size();
    ProcessedSignals out{BoolVec(n, 0), BoolVec(n, 0)};
    bool entry = false, exit = false;
    for (std::size_t i = cursor.next(0, entry, exit); i < n; i = cursor.next(i + 1, entry, exit)) {
        out.entry_signals[i] = entry;
        out.exit_signals[i] = exit;
    }
    return out;
}

}  // namespace tidemark
