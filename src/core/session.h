// Time rules shared by the engine: saturating timestamp arithmetic and local
// trading days.
#pragma once

#include <cstdint>
#include <limits>

namespace tidemark {

inline constexpr int64_t kNanosPerDay = 86'400'000'000'000LL;

// Timestamps near the ends of the int64 range must not wrap around.
inline int64_t saturating_add(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return r;
}

inline int64_t saturating_sub(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r))
        return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return r;
}

// Floor division: day numbers before the epoch must not round toward zero.
inline int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// The local trading day of `ts` with the given offset from UTC.
inline int64_t trading_day(int64_t ts, int64_t tz_offset_ns) {
    return floor_div(saturating_add(ts, tz_offset_ns), kNanosPerDay);
}

// Minutes after local midnight (0..1439) of `ts` with the given offset from UTC.
inline uint32_t local_minute_of_day(int64_t ts, int64_t tz_offset_ns) {
    int64_t r = saturating_add(ts, tz_offset_ns) % kNanosPerDay;
    if (r < 0) r += kNanosPerDay;
    return static_cast<uint32_t>(r / 60'000'000'000LL);
}

}  // namespace tidemark
