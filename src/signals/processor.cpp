#include "signals/processor.h"

#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/errors.h"

namespace tidemark {

ProcessedSignals process_signals(std::span<const uint8_t> entries, std::span<const uint8_t> exits) {
    return process_signals(entries, exits, 1, false);
}

void check_signal_lengths(std::size_t entries, std::size_t exits) {
    if (entries != exits) fail_assert_eq("Entry and exit arrays must have same length", entries, exits);
}

SignalCursor::SignalCursor(std::span<const uint8_t> entries, std::span<const uint8_t> exits, std::size_t max_open,
                           bool pyramiding)
    : n_(entries.size()),
      // Without pyramiding a second entry never stacks on an open one,
      // whatever the cap says.
      cap_(pyramiding ? max_open : (max_open < 1 ? max_open : 1)) {
    check_signal_lengths(entries.size(), exits.size());
    const std::size_t n = entries.size();
    const uint8_t* a = entries.data();
    const uint8_t* b = exits.data();
    entry_bits_.assign((n + 63) / 64, 0);
    exit_bits_.assign((n + 63) / 64, 0);
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen bars at a time: a mask of the flagged ones, and a one per set
    // flag, summed by the byte-sum instruction.
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    __m128i counts_a = zero, counts_b = zero;
    for (; i + 16 <= n; i += 16) {
        const __m128i clear_a = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)), zero);
        const __m128i clear_b = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)), zero);
        counts_a = _mm_add_epi64(counts_a, _mm_sad_epu8(_mm_andnot_si128(clear_a, one), zero));
        counts_b = _mm_add_epi64(counts_b, _mm_sad_epu8(_mm_andnot_si128(clear_b, one), zero));
        const auto set_a = static_cast<uint64_t>(~_mm_movemask_epi8(clear_a) & 0xFFFF);
        const auto set_b = static_cast<uint64_t>(~_mm_movemask_epi8(clear_b) & 0xFFFF);
        entry_bits_[i / 64] |= set_a << (i % 64);
        exit_bits_[i / 64] |= set_b << (i % 64);
    }
    raw_entries_ = static_cast<std::size_t>(_mm_cvtsi128_si64(counts_a)) +
                   static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(counts_a, counts_a)));
    raw_exits_ = static_cast<std::size_t>(_mm_cvtsi128_si64(counts_b)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(counts_b, counts_b)));
#endif
    for (; i < n; ++i) {
        raw_entries_ += a[i] != 0;
        raw_exits_ += b[i] != 0;
        entry_bits_[i / 64] |= uint64_t{a[i] != 0} << (i % 64);
        exit_bits_[i / 64] |= uint64_t{b[i] != 0} << (i % 64);
    }
}

std::size_t SignalCursor::next_flagged(std::size_t i) const {
    if (i >= n_) return n_;
    std::size_t w = i / 64;
    uint64_t bits = (entry_bits_[w] | exit_bits_[w]) & (~uint64_t{0} << (i % 64));
    while (bits == 0) {
        if (++w == entry_bits_.size()) return n_;
        bits = entry_bits_[w] | exit_bits_[w];
    }
    return w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
}

std::size_t SignalCursor::next(std::size_t i, bool& entry, bool& exit) {
    const std::size_t n = n_;
    // A bar with neither flag changes nothing.
    for (i = next_flagged(i); i < n; i = next_flagged(i + 1)) {
        const bool raw_entry = entry_at(i);
        if (raw_entry && open_ < cap_) {
            ++open_;
            entry = true;
            exit = false;
            return i;
        }
        if (open_ > 0 && !raw_entry && exit_at(i)) {
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
