#include "indicators/volatility.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "core/lanes.h"
#include "indicators/trend.h"

namespace tidemark {

std::string IndicatorError::text() const {
    if (kind == DataLengthMismatch) {
        return "Data length mismatch: expected " + std::to_string(expected) + ", got " +
               std::to_string(got);
    }
    return "Invalid parameter: " + message;
}

std::optional<IndicatorError> check_lengths(std::size_t reference, std::initializer_list<std::size_t> others) {
    for (std::size_t len : others)
        if (len != reference) return IndicatorError::length_mismatch(reference, len);
    return std::nullopt;
}

std::optional<IndicatorError> atr_input_error(std::size_t high, std::size_t low, std::size_t close,
                                              uint64_t period) {
    if (auto e = check_lengths(close, {high, low})) return e;
    if (period == 0) return IndicatorError::invalid("ATR period must be > 0");
    return std::nullopt;
}

namespace {

// The Wilder ATR is one chain of a rounded product and a rounded sum per bar,
// six cycles a bar however wide the vector unit. Over a long series it is
// run as K chains at once, one per vector lane, each over its own stretch of
// bars: every lane but the first starts from a guess `warm` bars before its
// stretch. Two chains through the same true ranges meet: each step shrinks
// their distance by the factor 1 - 1/p, and once it is within a rounding of
// the value the roundings make the two values the same number, after which
// they stay the same. So the guessed chain is checked where it takes over:
// its value at the last bar before its stretch must be, bit for bit, the
// value the lane before it (checked itself) computed there; if it is not,
// the stretch is recomputed one bar at a time from that value until the
// two chains meet. Either way every value is the one the single chain
// gives. Merging takes about p * (log(distance / rounding) + 0.6) steps,
// with a long tail: from one rounding apart, 0.7 p at the median and 4.5 p
// for one chain in a hundred. The guesses are estimates of the chain itself
// (see StrideWeights), a few roundings from it, and the warm-up allows 4 p:
// about one lane in ten is recomputed, over a period or so, which costs less
// than a longer warm-up for all of them. With it the lanes pay from a
// stretch of about 1.5 warm-ups on.
//
// Two kinds of stretch are not stepped by the lanes:
// - A long run of true range +0 (a flat or halted stretch): two chunks or
//   more, or any run to the end of the series; the lanes take a shorter one
//   as any other bars. Chains through it do not meet: each only shrinks by keep per bar, so two
//   of them keep their ratio until both sink into the subnormals and stop at
//   values the step no longer moves (not always the same one). The run is
//   stepped one bar at a time from the value before it (see FlatSteps),
//   beside the true ranges of the bars after it, until a step leaves the
//   value as it was; a step being a pure function of the value and the true
//   range, every later +0 leaves it too, and the rest of the run is that
//   value. Its first steps are guessed beside the bars before it (see
//   AtrChain::smooth_before_flat) and kept where they are the chain's.
// - Everything from the first NaN true range on (a missing bar). A NaN
//   average stays NaN: a step by a number gives the average's own bits
//   back, and a step by a NaN true range gives that NaN, as the single
//   chain's step does (x86 keeps the NaN of a sum's first operand, here
//   alpha * x; which operand comes first is the compiler's choice, so the
//   rule is written out rather than left to a step, and holds in every
//   copy). A NaN true range of the average's own bits changes nothing; only
//   one of other bits does (another payload in the low or the close, or a
//   missing bar after an average made NaN by inf - inf), and a stretch
//   holding one is taken bar by bar. The rest is a scan of the inputs for
//   such a NaN while the average is written out.
constexpr std::size_t kWilderLanes = 8;

inline std::size_t wilder_warmup(std::size_t p) { return 4 * p + 64; }

// The chain over kStride bars from a value v is, in exact arithmetic,
// keep^S v + sum_j alpha keep^(S-1-j) x_j: one product and sum on the
// chain per stride, beside a dot product that waits for nothing. Its
// weights are the exact powers rounded once (taken in long double), so
// that the estimate drifts from the exact recurrence by a few roundings,
// as the chain itself does.
constexpr std::size_t kStride = 32;

struct StrideWeights {
    double keep_s = 0.0;      // keep^S
    double w[kStride] = {};   // w[j] = alpha keep^(S-1-j)

    explicit StrideWeights(const Smoother& s) {
        long double power = 1.0L;
        for (std::size_t j = kStride; j-- > 0;) {
            w[j] = static_cast<double>(static_cast<long double>(s.alpha) * power);
            power *= static_cast<long double>(s.keep);
        }
        keep_s = static_cast<double>(power);
    }
};

// The estimate from v through the true ranges o[i, end), whole strides.
template <std::size_t L>
[[gnu::always_inline]] inline double estimate_lanes(const double* o, std::size_t i, std::size_t end, double v,
                                                    const StrideWeights& sw) {
    using V = lanes::F64<L>;
    for (; i < end; i += kStride) {
        V a{}, b{};
        for (std::size_t j = 0; j < kStride; j += 2 * L) {
            a += lanes::load<V>(sw.w + j) * lanes::load<V>(o + i + j);
            b += lanes::load<V>(sw.w + j + L) * lanes::load<V>(o + i + j + L);
        }
        a += b;
        double y = 0.0;
        for (std::size_t k = 0; k < L; ++k) y += a[k];
        v = sw.keep_s * v + y;
    }
    return v;
}

TIDEMARK_LANE_VERSIONS(double, estimate_strides,
                       (const double* o, std::size_t i, std::size_t end, double v, const StrideWeights& sw),
                       estimate_lanes, (o, i, end, v, sw))

// Bars the true ranges and the NaN scan take at a time.
constexpr std::size_t kChunk = 1024;

// The three candidates of the true ranges of bars i .. i + N - 1: high - low,
// |high - prev| and |low - prev|.
template <class V>
struct Candidates {
    V range, up, down;
    [[gnu::always_inline]] Candidates(const double* h, const double* l, const double* c, std::size_t i) {
        using I = lanes::IntOf<V>;
        const I abs_mask = I{} + std::numeric_limits<int64_t>::max();
        const V hv = lanes::load<V>(h + i), lv = lanes::load<V>(l + i), pc = lanes::load<V>(c + i - 1);
        range = hv - lv;
        up = reinterpret_cast<V>(reinterpret_cast<I>(hv - pc) & abs_mask);
        down = reinterpret_cast<V>(reinterpret_cast<I>(lv - pc) & abs_mask);
    }
};

struct TrueRangeChunk {
    bool nan = false;   // some true range is NaN
    bool flat = false;  // every true range is +0
};

// True ranges of bars [i0, i1) into tr[0 .. i1 - i0), as true_range gives
// them, up to the first NaN one: the chain is NaN from there on, and what
// follows it in tr is left as it comes. Each candidate is first raised to at least -inf by the plain maximum,
// which keeps its second operand when the two are unordered: a NaN becomes
// -inf, which loses to any number as a NaN does in maxNum. The plain maxima
// of the three are then maxNum (see true_range_pair), except where all three
// are NaN: that gives -inf where true_range gives NaN. A bar whose true range
// comes out -inf (that, or a range of -inf beside two NaN gaps) is taken
// again one at a time. Compares are kept to these maxima and minima: a
// compare mask as a value is taken apart lane by lane where the unit keeps
// masks in registers of their own.
//
// `beside` is called once per vector of bars: work that waits on a chain of
// its own runs there beside these independent operations.
template <class V, class Beside>
[[gnu::always_inline]] inline TrueRangeChunk true_range_lanes(const double* h, const double* l, const double* c,
                                                              std::size_t i0, std::size_t i1, double* tr,
                                                              Beside&& beside) {
    using I = lanes::IntOf<V>;
    constexpr std::size_t N = lanes::count<V>;
    constexpr double inf = std::numeric_limits<double>::infinity();
    // Hidden from the compiler, which otherwise makes each raise to the
    // constant -inf a compare and a blend rather than one maximum.
    V floor = V{} - inf;
    asm("" : "+v"(floor));
    V lowest = V{} + inf;
    I bits{};
    std::size_t i = i0;
    for (; i + N <= i1; i += N) {
        const Candidates<V> x(h, l, c, i);
        const V range = x.range > floor ? x.range : floor;
        const V up = x.up > floor ? x.up : floor;
        const V down = x.down > floor ? x.down : floor;
        const V m = range > up ? range : up;
        const V t = m > down ? m : down;
        lowest = t < lowest ? t : lowest;
        bits |= reinterpret_cast<I>(t);
        lanes::store(tr + i - i0, t);
        beside();
    }
    bool redo = false;
    uint64_t all = 0;
    for (std::size_t k = 0; k < N; ++k) {
        redo |= lowest[k] == -inf;
        all |= static_cast<uint64_t>(bits[k]);
    }
    TrueRangeChunk out;
    if (redo) [[unlikely]] {
        for (std::size_t j = i0; j < i; ++j) {
            if (tr[j - i0] != -inf) continue;
            const double t = true_range(h[j], l[j], c[j - 1]);
            tr[j - i0] = t;
            if (t != t) {
                out.nan = true;
                return out;
            }
        }
    }
    for (; i < i1; ++i) {
        const double t = true_range(h[i], l[i], c[i - 1]);
        tr[i - i0] = t;
        if (t != t) {
            out.nan = true;
            return out;
        }
        all |= std::bit_cast<uint64_t>(t);
    }
    out.flat = all == 0;
    return out;
}

template <std::size_t L>
[[gnu::always_inline]] inline TrueRangeChunk true_ranges_lanes(const double* h, const double* l, const double* c,
                                                               std::size_t i0, std::size_t i1, double* tr) {
    return true_range_lanes<lanes::F64<L>>(h, l, c, i0, i1, tr, [] {});
}

TIDEMARK_LANE_VERSIONS(TrueRangeChunk, true_ranges,
                       (const double* h, const double* l, const double* c, std::size_t i0, std::size_t i1, double* tr),
                       true_ranges_lanes, (h, l, c, i0, i1, tr))

// The average through a run of true range +0, from the value v before it.
// There a step is keep * v + alpha * (+0), which is the product alone while
// v's sign bit is clear (a NaN keeps its bits either way): one product per
// bar, half the latency of a step. The product has a fixed point (for p > 2
// a subnormal, where products are slow); once a step is seen to leave the
// value as it was, every later bar of the run is that value, the step being
// a pure function of the value and the true range.
struct FlatSteps {
    double* o;
    std::size_t at;   // the next bar to write
    double v;         // the value before it
    Smoother w;
    std::size_t end;  // the bars of the run known so far end here
    bool fixed = false;
    bool stream = false;  // values written past the caches (see kStreamFrom)

    [[gnu::always_inline]] void put(double* p, double x) const {
        if (stream)
            lanes::stream(p, x);
        else
            *p = x;
    }
    // K more bars of the run; the fixed point is looked for once for all.
    template <std::size_t K>
    [[gnu::always_inline]] void steps() {
        double* out = o + at;
        at += K;
        if (fixed) {
            for (std::size_t k = 0; k < K; ++k) put(out + k, v);
            return;
        }
        double before = v;
        if (std::signbit(v)) [[unlikely]] {
            for (std::size_t k = 0; k < K; ++k) put(out + k, v = w.step(before = v, 0.0));
        } else {
            for (std::size_t k = 0; k < K; ++k) put(out + k, v = w.keep * (before = v));
        }
        fixed = same_bits(before, v);
    }
    // Steps a bar of [i0, i1), side by side with them, that take the run
    // known so far to its end (a run found late has more bars behind it
    // than the stretch has).
    std::size_t per_bar(std::size_t i0, std::size_t i1) const {
        return (end - at + (i1 - i0) - 1) / std::max<std::size_t>(1, i1 - i0);
    }
    // The bars of the run known so far.
    void finish() {
        FlatSteps f = *this;  // in registers for the loop
        while (!f.fixed && f.at + 8 <= f.end) f.steps<8>();
        while (!f.fixed && f.at < f.end) f.steps<1>();
        std::fill(o + f.at, o + f.end, f.v);
        f.at = f.end;
        *this = f;
    }
};

// True ranges of bars [i0, i1) as true_ranges gives them, while the run of
// +0 in `flat` (bars before i0) is stepped to its end: the true ranges wait
// on memory and the steps on each other, and side by side each hides the
// other.
template <std::size_t L>
[[gnu::always_inline]] inline TrueRangeChunk true_ranges_beside_flat_lanes(const double* h, const double* l,
                                                                           const double* c, std::size_t i0,
                                                                           std::size_t i1, double* tr,
                                                                           FlatSteps& flat) {
    FlatSteps f = flat;  // in registers for the loop
    const std::size_t per = f.per_bar(i0, i1);
    const TrueRangeChunk out = true_range_lanes<lanes::F64<L>>(h, l, c, i0, i1, tr, [&f, per] {
        for (std::size_t k = 0; k < per && f.at + L <= f.end; ++k) f.steps<L>();
    });
    f.finish();
    flat = f;
    return out;
}

TIDEMARK_LANE_VERSIONS(TrueRangeChunk, true_ranges_beside_flat,
                       (const double* h, const double* l, const double* c, std::size_t i0, std::size_t i1, double* tr,
                        FlatSteps& flat),
                       true_ranges_beside_flat_lanes, (h, l, c, i0, i1, tr, flat))

// The first bar from i on (n if none) that is not seen to hold a run of +0:
// a bar holds it when its high, its low and the close before it are the
// same finite number, which makes its true range +0 (a bar whose true range
// is +0 otherwise is not counted). Logic and one difference a bar: a look
// ahead, much cheaper than the true ranges.
//
// With Fill, each bar seen to hold the run is given the value v in o: the
// run's value once a step leaves it as it is; with Fill == kStreamFill,
// past the caches (o + i aligned to a vector).
enum : int { kNoFill, kStoreFill, kStreamFill };
// `beside` is called after each block of bars seen to hold the run.
struct Nothing {
    void operator()() const {}
};

template <std::size_t L, int Fill = kNoFill, class Beside = Nothing>
[[gnu::always_inline]] inline std::size_t flat_until_lanes(const double* h, const double* l, const double* c,
                                                           std::size_t i, std::size_t n, double v = 0.0,
                                                           double* o = nullptr, Beside&& beside = {}) {
    using V = lanes::F64<L>;
    using U = lanes::U64<L>;
    constexpr std::size_t B = 4 * L;  // bars tested before the lanes are folded
    for (; i + B <= n; i += B) {
        U other{};
        for (std::size_t k = 0; k < B; k += L) {
            const V pc = lanes::load<V>(c + i + k - 1);
            const U pb = reinterpret_cast<U>(pc);
            // pc - pc is +0 for a finite pc, NaN otherwise
            other |= (reinterpret_cast<U>(lanes::load<V>(h + i + k)) ^ pb) |
                     (reinterpret_cast<U>(lanes::load<V>(l + i + k)) ^ pb) | reinterpret_cast<U>(pc - pc);
        }
        uint64_t any = 0;
        for (std::size_t k = 0; k < L; ++k) any |= other[k];
        if (any != 0) break;
        if constexpr (Fill == kStoreFill)
            for (std::size_t k = 0; k < B; k += L) lanes::store(o + i + k, V{} + v);
        if constexpr (Fill == kStreamFill)
            for (std::size_t k = 0; k < B; k += L) lanes::stream(o + i + k, V{} + v);
        beside();
    }
    for (; i < n; ++i) {
        const uint64_t pb = std::bit_cast<uint64_t>(c[i - 1]);
        const double d = c[i - 1] - c[i - 1];
        if (((std::bit_cast<uint64_t>(h[i]) ^ pb) | (std::bit_cast<uint64_t>(l[i]) ^ pb) |
             std::bit_cast<uint64_t>(d)) != 0)
            break;
        if constexpr (Fill != kNoFill) o[i] = v;
    }
    return i;
}

TIDEMARK_LANE_VERSIONS(std::size_t, flat_until,
                       (const double* h, const double* l, const double* c, std::size_t i, std::size_t n),
                       flat_until_lanes, (h, l, c, i, n))

// flat_until from i0 up to i1, while the run in `flat` (bars before i0) is
// stepped to its end, as true_ranges_beside_flat steps it: for a series
// whose output goes past the caches, where stored true ranges would bring
// each line of the output in.
template <std::size_t L>
[[gnu::always_inline]] inline std::size_t flat_until_stepping_lanes(const double* h, const double* l,
                                                                    const double* c, std::size_t i0,
                                                                    std::size_t i1, FlatSteps& flat) {
    FlatSteps f = flat;  // in registers for the loop
    const std::size_t per = 4 * f.per_bar(i0, i1);  // L steps a bar, a block of 4 L bars
    const std::size_t i = flat_until_lanes<L>(h, l, c, i0, i1, 0.0, nullptr, [&f, per] {
        for (std::size_t k = 0; k < per && f.at + L <= f.end; ++k) f.steps<L>();
    });
    f.finish();
    flat = f;
    return i;
}

TIDEMARK_LANE_VERSIONS(std::size_t, flat_until_stepping,
                       (const double* h, const double* l, const double* c, std::size_t i0, std::size_t i1,
                        FlatSteps& flat),
                       flat_until_stepping_lanes, (h, l, c, i0, i1, flat))

template <std::size_t L>
[[gnu::always_inline]] inline std::size_t flat_fill_lanes(const double* h, const double* l, const double* c,
                                                          std::size_t i, std::size_t n, double v, double* o,
                                                          bool stream) {
    if (!stream) return flat_until_lanes<L, kStoreFill>(h, l, c, i, n, v, o);
    // The bars up to the first one aligned to a vector, one at a time.
    constexpr std::size_t bytes = sizeof(lanes::F64<L>);
    const std::size_t a = std::min(n, i + (bytes - reinterpret_cast<std::uintptr_t>(o + i) % bytes) % bytes / 8);
    const std::size_t j = flat_until_lanes<L, kStoreFill>(h, l, c, i, a, v, o);
    return j < a ? j : flat_until_lanes<L, kStreamFill>(h, l, c, a, n, v, o);
}

TIDEMARK_LANE_VERSIONS(std::size_t, flat_fill,
                       (const double* h, const double* l, const double* c, std::size_t i, std::size_t n, double v,
                        double* o, bool stream),
                       flat_fill_lanes, (h, l, c, i, n, v, o, stream))

// Writes the NaN average v to o[i0, i1) and tells whether each of those
// bars leaves it as it is: its true range is a number or a NaN of v's bits.
// A true range is NaN only where its last candidate, |low - prev|, is, and is
// then that NaN (max_num of two NaN gives the second); so it is enough that
// no |low - prev| is a NaN of other bits. Tested with integer arithmetic
// alone: |x| + (2^52 - 1) reaches the sign bit exactly when x is NaN, and
// d | -d does exactly when d is not 0.
template <class V>
[[gnu::always_inline]] inline bool nan_held_lanes(const double* l, const double* c, std::size_t i0, std::size_t i1,
                                                  double v, double* o) {
    constexpr std::size_t N = lanes::count<V>;
    using U = lanes::U64<N>;
    const U abs_mask = U{} + (~uint64_t{0} >> 1);
    const U below_nan = U{} + ((uint64_t{1} << 52) - 1);
    const V held = V{} + v;
    const U held_bits = reinterpret_cast<U>(held);
    U other{};
    std::size_t i = i0;
    for (; i + N <= i1; i += N) {
        const U down = reinterpret_cast<U>(lanes::load<V>(l + i) - lanes::load<V>(c + i - 1)) & abs_mask;
        const U diff = down ^ held_bits;
        other |= (down + below_nan) & (diff | (U{} - diff));
        lanes::store(o + i, held);
    }
    uint64_t all = 0;
    for (std::size_t k = 0; k < N; ++k) all |= other[k];
    bool same = all >> 63 == 0;
    for (; i < i1; ++i) {
        const double down = std::fabs(l[i] - c[i - 1]);
        same &= down == down || same_bits(down, v);
        o[i] = v;
    }
    return same;
}

template <std::size_t L>
[[gnu::always_inline]] inline bool nan_held_lanes_of(const double* l, const double* c, std::size_t i0,
                                                     std::size_t i1, double v, double* o) {
    return nan_held_lanes<lanes::F64<L>>(l, c, i0, i1, v, o);
}

TIDEMARK_LANE_VERSIONS(bool, nan_held,
                       (const double* l, const double* c, std::size_t i0, std::size_t i1, double v, double* o),
                       nan_held_lanes_of, (l, c, i0, i1, v, o))

struct WilderLanesArgs {
    double* o;
    const std::size_t* bar;  // bar[k]: the first bar of lane k
    std::size_t warm, steps;
    Smoother w;
    const double* start;
    double* probe;
};

template <std::size_t S, class V, std::size_t... i>
[[gnu::always_inline]] inline void swap_blocks(V& x, V& y, std::index_sequence<i...>) {
    constexpr std::size_t N = sizeof...(i);
    const V lo = __builtin_shufflevector(x, y, ((i & S) == 0 ? i : N + i - S)...);
    const V hi = __builtin_shufflevector(x, y, ((i & S) == 0 ? i + S : N + i)...);
    x = lo;
    y = hi;
}
template <std::size_t S, class V>
[[gnu::always_inline]] inline void swap_blocks(V* r) {
    constexpr std::size_t N = lanes::count<V>;
    for (std::size_t j = 0; j < N; ++j)
        if ((j & S) == 0) swap_blocks<S>(r[j], r[j + S], std::make_index_sequence<N>{});
}

// Rows r[0 .. N) of N lanes made columns, in place: each round swaps the
// off-diagonal S x S blocks of every 2S x 2S block.
template <class V>
[[gnu::always_inline]] inline void transpose(V* r) {
    constexpr std::size_t N = lanes::count<V>;
    static_assert(N == 2 || N == 4, "transpose takes 2 or 4 lanes");
    swap_blocks<1>(r);
    if constexpr (N == 4) swap_blocks<2>(r);
}

// Steps the N rows of r (N bars of each of a vector's N lanes, as loaded)
// through the lanes' chains a, and writes the values back in place of the
// bars, through out[j] + t for lane j (none where out[j] is null): for
// every lane, or (in a warm-up) for the first alone; with Stream, past the
// caches (out[j] + t aligned to a vector). `look` sees the bars made columns
// first, a vector a step, its lanes the chains'.
template <bool Stream = false, class V, class Look>
[[gnu::always_inline]] inline void step_rows(V* r, V& a, const V& alpha, const V& keep, double* const* out,
                                             std::size_t t, bool all, bool first, Look&& look) {
    constexpr std::size_t N = lanes::count<V>;
    transpose(r);
    look(r);
#pragma GCC unroll 8
    for (std::size_t q = 0; q < N; ++q) r[q] = a = alpha * r[q] + keep * a;
    transpose(r);
    auto put = [](double* p, const V& v) __attribute__((always_inline)) {
        if constexpr (Stream)
            lanes::stream(p, v);
        else
            lanes::store(p, v);
    };
    if (all) {
#pragma GCC unroll 8
        for (std::size_t j = 0; j < N; ++j)
            if (out[j]) put(out[j] + t, r[j]);
    } else if (first) {
        put(out[0] + t, r[0]);
    }
}

// The K chains side by side through the true ranges in o, M vectors of N
// lanes: lane k steps through bars bar[k] .. bar[k] + steps - 1, writing its
// values in place of the true ranges from step `warm` on (lane 0 from step
// 0); its value after step warm - 1 is left in probe[k]. A lane reads each
// true range before the lane below it reaches that bar.
//
// The lanes take N steps at a time: N bars of each of a vector's N lanes
// come in as N whole loads, transposed into one vector a step, and go back
// the same way, which costs fewer instructions than gathering and
// scattering a lane at a time at every step.
template <class V, std::size_t M, class Beside>
[[gnu::always_inline]] inline void wilder_lanes(const WilderLanesArgs& args, Beside&& beside) {
    constexpr std::size_t N = lanes::count<V>;
    static_assert(M * N == kWilderLanes);
    double* const o = args.o;
    const V alpha = V{} + args.w.alpha, keep = V{} + args.w.keep;
    double* base[kWilderLanes];
    for (std::size_t k = 0; k < kWilderLanes; ++k) base[k] = o + args.bar[k];
    V a[M];
    for (std::size_t m = 0; m < M; ++m) a[m] = lanes::load<V>(args.start + m * N);
    // Steps t .. t + N - 1 of every lane, written back for all of them or
    // (in the warm-up) for lane 0 alone. Unrolled, so that the running
    // values stay in registers rather than going through memory each step.
    auto block = [&](std::size_t t, bool all) {
#pragma GCC unroll 8
        for (std::size_t m = 0; m < M; ++m) {
            V r[N];
#pragma GCC unroll 8
            for (std::size_t j = 0; j < N; ++j) r[j] = lanes::load<V>(base[m * N + j] + t);
            step_rows(r, a[m], alpha, keep, base + m * N, t, all, m == 0, [](const V*) {});
        }
    };
    auto step = [&](std::size_t t, bool all) {
        for (std::size_t m = 0; m < M; ++m) {
            V x;
            for (std::size_t j = 0; j < N; ++j) x[j] = base[m * N + j][t];
            a[m] = alpha * x + keep * a[m];
            if (all)
                for (std::size_t j = 0; j < N; ++j) base[m * N + j][t] = a[m][j];
        }
        if (!all) base[0][t] = a[0][0];
    };
    std::size_t t = 0;
    for (; t + N <= args.warm; t += N) {
        block(t, false);
        beside();
    }
    for (; t < args.warm; ++t) step(t, false);
    for (std::size_t m = 0; m < M; ++m)
        for (std::size_t j = 0; j < N; ++j) args.probe[m * N + j] = a[m][j];
    for (; t + N <= args.steps; t += N) {
        block(t, true);
        beside();
    }
    for (; t < args.steps; ++t) step(t, true);
}

// A step is a product and then a sum: the chains run at that latency, which
// two vectors of four already reach, stepping side by side. One vector of
// eight runs at the same latency and adds the transposes of 8 x 8 blocks,
// which keep the shuffle unit busier than the steps they feed (in two
// halves each, on some units); so the wider copy runs four lanes a vector
// too.
template <std::size_t L>
[[gnu::always_inline]] inline void wilder_chains_lanes(const WilderLanesArgs& a) {
    constexpr std::size_t N = L < 4 ? L : 4;
    wilder_lanes<lanes::F64<N>, kWilderLanes / N>(a, [] {});
}

TIDEMARK_LANE_VERSIONS(void, wilder_chains, (const WilderLanesArgs& a), wilder_chains_lanes, (a))

// The run of +0 after the lanes' bars, guessed beside them (see
// AtrChain::smooth_before_flat): a chain of its own (the scout) steps the
// last bars before the run, their true ranges in o, from an estimate; from
// the run's first bar on it takes products alone, written to o[run, end).
struct FlatGuess {
    double* o;
    std::size_t bar;   // the scout's next bar
    std::size_t run;   // the run's first bar
    std::size_t end;   // the end of its bars known to be +0
    double v;          // the scout's value before `bar`
    Smoother w;
    double before = 0.0;  // the scout's value before the run, once it got there
};

// The lanes with the scout beside them: as many steps a block as each lane
// takes, then twice as many products, which are half as long.
template <std::size_t L>
[[gnu::always_inline]] inline void wilder_chains_guessing_lanes(const WilderLanesArgs& a, FlatGuess& g) {
    constexpr std::size_t N = L < 4 ? L : 4;
    double* const o = g.o;
    const Smoother w = g.w;
    const std::size_t run = g.run, end = g.end;
    std::size_t bar = g.bar;
    double v = g.v;
    bool on = true;
    wilder_lanes<lanes::F64<N>, kWilderLanes / N>(a, [&]() __attribute__((always_inline)) {
        if (bar < run) {
            for (std::size_t k = 0; k < N && bar < run; ++k, ++bar) v = w.step(v, o[bar]);
            // A step by +0 is the product alone only for a positive number.
            if (bar == run) {
                g.before = v;
                on = v > 0.0 && v <= std::numeric_limits<double>::max();
            }
        } else if (on && bar + 2 * N <= end) {
            for (std::size_t k = 0; k < 2 * N; ++k) o[bar + k] = v = w.keep * v;
            bar += 2 * N;
        }
    });
    g.bar = on ? bar : run;
}

TIDEMARK_LANE_VERSIONS(void, wilder_chains_guessing, (const WilderLanesArgs& a, FlatGuess& g),
                       wilder_chains_guessing_lanes, (a, g))

// The lanes for a long series whose true ranges are not stored: each lane
// takes its bars' true ranges from the high, low and close itself, so the
// inputs are read once and the output written once, where stored true
// ranges cost a second pass over the output. Four lanes: four places of
// three inputs and an output are as many streams as one core keeps fetched
// ahead, and eight places came in at half the speed.
constexpr std::size_t kFusedLanes = 4;
// Series from this many bars on take them: below it the inputs and the
// output stay in the cache, where storing the true ranges and stepping them
// after costs no more. Within such a series, so do stretches of kFusedPiece
// bars or more, whose inputs are not in the cache either.
constexpr std::size_t kFusedFrom = std::size_t{1} << 19;
constexpr std::size_t kFusedPiece = std::size_t{1} << 16;
// From this many bars on (25 MB of inputs and output), the lanes write the
// output past the caches, which then need not read each line before it is
// written over: a fifth of the traffic. Each lane writes a line in two
// stores of four bars, one after the other, its bars aligned so. Below it,
// where the output can stay in the cache, stores past it cost more.
constexpr std::size_t kStreamFrom = std::size_t{3} << 18;
// Steps between looks for a missing bar or a flat stretch.
constexpr std::size_t kFusedLook = kChunk;

struct FusedLanesArgs {
    const double *h, *l, *c;
    double* o;
    const std::size_t* bar;  // bar[k]: the first bar of lane k
    std::size_t warm, steps;  // both whole blocks of four
    std::size_t takeover;     // lanes after the first take over up to this step
    Smoother w;
    const double* start;
    double* probe;            // each lane's value after its warm-up, if it has one
};

struct FusedStop {
    std::size_t done;  // every lane's steps [0, done) are written as wilder_lanes writes them
    unsigned flat;     // bit k: lane k's last kFusedLook bars were all +0
};

// As wilder_lanes, with the true ranges taken beside the steps. Every
// kFusedLook steps a look stops the lanes early: at the look before, if some
// bar since then has a true range true_range_lanes takes again one at a time
// (a NaN among them); where the look is, if a lane's bars since the look
// before are all +0 (a flat stretch) and either it takes over there (a lane
// after the first, at one of the two looks after its warm-up) or its value
// comes within two looks' steps of the subnormals. Chains do not meet in a
// flat stretch, so a lane taking over in one would have its bars taken
// again one at a time; and steps of subnormals are slow. Those stretches are
// left to the lanes over stored true ranges, which take them out and hold
// the value once it stops moving. A lane steps any other flat stretch as it
// steps other bars.
template <class V, std::size_t M, bool Stream>
[[gnu::always_inline]] inline FusedStop fused_lanes(const FusedLanesArgs& args) {
    using I = lanes::IntOf<V>;
    constexpr std::size_t N = lanes::count<V>;
    constexpr std::size_t K = kFusedLanes;
    static_assert(M * N == K);
    constexpr double inf = std::numeric_limits<double>::infinity();
    const V alpha = V{} + args.w.alpha, keep = V{} + args.w.keep;
    const double *const h = args.h, *const l = args.l, *const c = args.c;
    double* const o = args.o;
    std::size_t at[K];
    // Where each lane writes: nowhere for a lane over the bars of one before
    // it, which writes them.
    double* dest[K];
    for (std::size_t k = 0; k < K; ++k) {
        at[k] = args.bar[k];
        dest[k] = o + at[k];
        for (std::size_t j = 0; j < k; ++j)
            if (args.bar[j] == args.bar[k]) dest[k] = nullptr;
    }
    V a[M];
    for (std::size_t m = 0; m < M; ++m) a[m] = lanes::load<V>(args.start + m * N);
    // As in true_range_lanes.
    V floor = V{} - inf;
    asm("" : "+v"(floor));
    V lowest = V{} + inf;
    I seen[M] = {};  // the bits of each lane's true ranges since the last look, or-ed
    auto block = [&](std::size_t t, bool all) {
#pragma GCC unroll 8
        for (std::size_t m = 0; m < M; ++m) {
            V r[N];
#pragma GCC unroll 8
            for (std::size_t j = 0; j < N; ++j) {
                const Candidates<V> x(h, l, c, at[m * N + j] + t);
                const V range = x.range > floor ? x.range : floor;
                const V up = x.up > floor ? x.up : floor;
                const V down = x.down > floor ? x.down : floor;
                const V mx = range > up ? range : up;
                r[j] = mx > down ? mx : down;
                lowest = r[j] < lowest ? r[j] : lowest;
            }
            step_rows<Stream>(r, a[m], alpha, keep, dest + m * N, t, all, m == 0, [&](const V* x) {
                for (std::size_t q = 0; q < N; ++q) seen[m] |= reinterpret_cast<I>(x[q]);
            });
        }
    };
    // Below this a value reaches the subnormals within two looks of +0.
    const double slow = std::numeric_limits<double>::min() / std::pow(args.w.keep, 2.0 * kFusedLook);
    std::size_t t = 0, clean = 0;
    auto run = [&](std::size_t end, bool all) {
        for (; t < end; t += N) block(t, all);
    };
    for (std::size_t next = kFusedLook;; next += kFusedLook) {
        const std::size_t end = std::min(next, args.steps);
        if (t < args.warm && args.warm <= end) {
            run(args.warm, false);
            for (std::size_t m = 0; m < M; ++m)
                for (std::size_t j = 0; j < N; ++j) args.probe[m * N + j] = a[m][j];
        }
        run(end, t >= args.warm);
        for (std::size_t j = 0; j < N; ++j)
            if (lowest[j] == -inf) return {clean, 0};
        clean = end;
        unsigned flat = 0;
        for (std::size_t k = 0; k < K; ++k) {
            const bool any = seen[k / N][k % N] != 0;
            const bool takes_over = k > 0 && end <= args.takeover;
            if (!any && end == next && end > args.warm && (takes_over || std::fabs(a[k / N][k % N]) < slow))
                flat |= 1u << k;
        }
        for (std::size_t m = 0; m < M; ++m) seen[m] = I{};
        if (flat != 0 || end == args.steps) return {end, flat};
    }
}

template <std::size_t L>
[[gnu::always_inline]] inline FusedStop wilder_fused_lanes(const FusedLanesArgs& a) {
    constexpr std::size_t N = L < 4 ? L : 4;
    return fused_lanes<lanes::F64<N>, kFusedLanes / N, false>(a);
}

TIDEMARK_LANE_VERSIONS(FusedStop, wilder_fused, (const FusedLanesArgs& a), wilder_fused_lanes, (a))

// The same, the output written past the caches (each lane's first bar
// aligned to 32 bytes), and fenced before anything reads it.
template <std::size_t L>
[[gnu::always_inline]] inline FusedStop wilder_fused_streaming_lanes(const FusedLanesArgs& a) {
    constexpr std::size_t N = L < 4 ? L : 4;
    const FusedStop stop = fused_lanes<lanes::F64<N>, kFusedLanes / N, true>(a);
    lanes::stream_fence();
    return stop;
}

TIDEMARK_LANE_VERSIONS(FusedStop, wilder_fused_streaming, (const FusedLanesArgs& a), wilder_fused_streaming_lanes,
                       (a))

// The batch ATR past its seed: the inputs, the output (the seed at o[p - 1])
// and the weights.
struct AtrChain {
    const double *h, *l, *c;
    double* o;
    std::size_t p, warm;
    Smoother w;
    StrideWeights stride;

    // Whether a stretch of `rest` bars is long enough for the lanes: they
    // take about (rest - warm) / K + warm steps where one chain takes rest.
    bool lanes_pay(std::size_t rest) const { return 2 * rest >= 3 * warm + 256; }

    // Steps bars [s, e) one at a time through their true ranges in o, from
    // the value at s - 1.
    void step_through(std::size_t s, std::size_t e) const {
        double v = o[s - 1];
        for (std::size_t i = s; i < e; ++i) {
            v = w.step(v, o[i]);
            o[i] = v;
        }
    }

    // step_through with the scout beside it (see smooth_before_flat): a
    // step of its own for each of the chain's, from a warm-up before e on,
    // then two products for each.
    void step_through_scouting(std::size_t s, std::size_t e, FlatGuess& g) const {
        std::size_t bar = e - warm;
        double u = estimate(s - 1, o[s - 1], bar - 1);
        double v = o[s - 1];
        std::size_t i = s;
        for (; bar < e; ++i, ++bar) {
            u = w.step(u, o[bar]);  // read before the chain writes it: bar > i
            v = w.step(v, o[i]);
            o[i] = v;
        }
        g.before = u;
        const bool on = u > 0.0 && u <= std::numeric_limits<double>::max();
        for (; on && i < e && bar + 2 <= g.end; ++i, bar += 2) {
            v = w.step(v, o[i]);
            o[i] = v;
            o[bar] = u = w.keep * u;
            o[bar + 1] = u = w.keep * u;
        }
        for (; i < e; ++i) {
            v = w.step(v, o[i]);
            o[i] = v;
        }
        g.bar = on ? bar : e;
    }

    // An estimate of the chain's value after bar `to` from the value v
    // after bar `from` (from <= to), through the true ranges in o, a stride
    // at a time.
    double estimate(std::size_t from, double v, std::size_t to) const {
        std::size_t i = from + 1;
        for (; (to + 1 - i) % kStride != 0; ++i) v = w.step(v, o[i]);
        return estimate_strides(o, i, to + 1, v, stride);
    }

    // The chain through bars [s, e), their true ranges in o, from the value
    // at s - 1: in the lanes where the stretch is long enough.
    void smooth(std::size_t s, std::size_t e, FlatGuess* scout = nullptr) const {
        if (e <= s) return;
        const std::size_t rest = e - s;
        if (!lanes_pay(rest)) {
            if (scout && rest > warm + 2 * kWilderLanes) return step_through_scouting(s, e, *scout);
            return step_through(s, e);
        }
        // Lane k covers bars [bar_k, bar_k + steps), bar_k = s + k * len:
        // the first lane all of them, the others from bar_k + warm on.
        const std::size_t len = (rest - warm) / kWilderLanes, steps = len + warm;
        std::size_t bar[kWilderLanes];
        double start[kWilderLanes], probe[kWilderLanes];
        // Each lane starts from an estimate of the chain before its first
        // bar, carried on from the one before it; where that is more than
        // `reach` bars back, from the level of the true ranges `reach` bars
        // back instead, whose distance from the chain has shrunk below a
        // rounding by the lane's first bar.
        const std::size_t reach = this->reach();
        std::size_t at = s - 1;
        double guess = o[s - 1];
        for (std::size_t k = 0; k < kWilderLanes; ++k) {
            bar[k] = s + k * len;
            if (k == 0) {
                start[k] = o[s - 1];
                continue;
            }
            const std::size_t to = bar[k] - 1;
            if (to - at > reach) {
                at = to - reach;
                double sum = 0.0;
                for (std::size_t i = at + 1; i <= at + p; ++i) sum += o[i];
                guess = sum / static_cast<double>(p);
            }
            guess = estimate(at, guess, to);
            if (!std::isfinite(guess)) guess = o[s - 1];
            at = to;
            start[k] = guess;
        }
        // The scout starts a warm-up before the run, past the last lane's
        // first bar (which it reads before that lane writes over it).
        const std::size_t last = bar[kWilderLanes - 1];
        if (scout && e > last + warm + 2 * kWilderLanes) {
            scout->bar = e - warm;
            scout->v = estimate(last - 1, start[kWilderLanes - 1], scout->bar - 1);
            wilder_chains_guessing(WilderLanesArgs{o, bar, warm, steps, w, start, probe}, *scout);
        } else {
            wilder_chains(WilderLanesArgs{o, bar, warm, steps, w, start, probe});
        }
        for (std::size_t k = 1; k < kWilderLanes; ++k) {
            const std::size_t own = bar[k] + warm;  // the lane's first bar of its own
            double v = o[own - 1];
            if (!same_bits(v, probe[k])) step_until_met(own, bar[k] + steps, v);
        }
        step_through(bar[kWilderLanes - 1] + steps, e);
    }

    // The chain through bars [from, e), from the value at from - 1 (a
    // number), over true ranges stored in o as they are taken. Returns true
    // where it met a missing bar, having made every bar from there up to n
    // NaN.
    bool smooth_stored(std::size_t from, std::size_t e, std::size_t n) const {
        if (e <= from) return false;
        // The true ranges go first, in one pass in order, and the lanes step
        // them after: a run of them +0 long enough takes itself out of the
        // lanes; the first NaN one ends the pass.
        auto zero = [this](std::size_t i) { return std::bit_cast<uint64_t>(o[i]) == 0; };
        // A shorter run stays with the lanes, which step it as any other bars:
        // only a lane that takes over in it or soon after is recomputed (the
        // chains do not meet in the run), and the lanes need no second warm-up
        // for the bars after it. A longer one is taken out as soon as a chunk
        // ends in it and a look at the bars after the chunk shows it that long
        // (or reaching the end of the stretch, which leaves no bars for a second
        // warm-up), so that its steps hide the true ranges of all those bars.
        const std::size_t flat_length = 2 * kChunk;
        std::size_t s = from;  // the first bar not smoothed; its true range is in o
        std::size_t run = e;  // where the run of +0 up to bar i starts, if a whole chunk of it has been seen
        for (std::size_t i = from; i < e;) {  // i: the first bar whose true range is not
            const std::size_t i1 = std::min(e, i + kChunk);
            const TrueRangeChunk chunk = true_ranges(h, l, c, i, i1, o + i);
            std::size_t scan = i;  // where a NaN true range is looked for
            bool nan = chunk.nan;
            i = i1;
            const bool whole = chunk.flat && !(i1 - scan < kChunk && i1 < e);
            std::size_t seen = i1;  // the bars from `run` up to here are +0, their true ranges taken or looked at
            if (whole) {
                if (run == e)
                    for (run = scan; run > s && zero(run - 1);) --run;
            } else {
                run = e;
                if (!nan && zero(i1 - 1) && i1 + kChunk < e) {
                    // The chunk ends in +0: a run that goes on for a chunk after it
                    // may be long enough. (One that ends the stretch sooner is as
                    // cheap in the lanes, unless a whole chunk of it is seen.)
                    const std::size_t next = i1 + kChunk;
                    seen = flat_until(h, l, c, i1, next);
                    if (seen == next) {
                        for (run = i1 - 1; run > scan && zero(run - 1);) --run;
                        if (run + flat_length > e) run = e;
                    }
                }
            }
            if (run != e) {
                const std::size_t want = std::min(e, run + flat_length);
                if (seen < want) seen = flat_until(h, l, c, seen, want);
                if (seen >= want) {
                    // The run's steps start beside the bars before it, and its
                    // true ranges are taken from `seen` on.
                    const auto flat = flat_run(smooth_before_flat(s, run, seen), seen, e, n >= kStreamFrom);
                    s = scan = flat.end;
                    i = flat.known;
                    nan = flat.nan;
                    run = e;
                } else if (!whole) {
                    run = e;
                }
            }
            if (nan) {
                while (o[scan] == o[scan]) ++scan;
                smooth(s, scan);
                nan_from(scan, n);
                return true;
            }
        }
        smooth(s, e);
        return false;
    }

    // The chain through bars [s, e), from the value at s - 1 (a number),
    // their true ranges not taken yet: in the fused lanes where the stretch
    // is long enough, and over stored true ranges where it is not or where
    // the fused lanes stop. Returns true where it met a missing bar, having
    // made every bar from there up to n NaN.
    // How far back an estimate starts from the level of the true ranges:
    // its distance from the chain has shrunk below a rounding by its end.
    std::size_t reach() const { return 40 * p; }

    // Stores past the cache take a vector's alignment (see kStreamFrom): the
    // fused lanes start this many bars after s, the bars before the first
    // aligned one going over stored true ranges.
    std::size_t fused_lead(std::size_t s) const {
        return (32 - reinterpret_cast<std::uintptr_t>(o + s) % 32) % 32 / sizeof(double);
    }

    // The bars of each fused lane over [s, e), whole blocks, or 0 where they
    // do not pay. Each lane but the first starts from an estimate through
    // the true ranges of the `reach` bars before it, taken for it: a lane of
    // twice that or more pays for them. (A stretch left after a stop can be
    // shorter than a warm-up.)
    std::size_t fused_len(std::size_t s, std::size_t e, std::size_t n) const {
        const std::size_t lead = fused_lead(s);
        const std::size_t rest = e - s > lead ? e - s - lead : 0;
        if (n < kFusedFrom || rest < kFusedPiece || rest <= warm) return 0;
        std::size_t len = (rest - warm) / kFusedLanes;
        len -= len % 4;  // whole blocks, as warm is
        return len < 2 * (reach() + p) ? 0 : len;
    }

    bool smooth_from_inputs(std::size_t s, std::size_t e, std::size_t n) const {
        constexpr std::size_t K = kFusedLanes;
        const std::size_t reach = this->reach();
        const std::size_t len = fused_len(s, e, n);
        if (len == 0) return smooth_stored(s, e, n);
        if (const std::size_t lead = fused_lead(s); lead > 0) {
            if (smooth_stored(s, s + lead, n)) return true;
            s += lead;
        }
        const std::size_t steps = len + warm;
        std::size_t bar[K];
        double start[K], probe[K];
        for (std::size_t k = 0; k < K; ++k) {
            bar[k] = s + k * len;
            if (k == 0) {
                start[k] = o[s - 1];
                continue;
            }
            const std::size_t to = bar[k] - 1, at = to - reach;
            if (true_ranges(h, l, c, at + 1, to + 1, o + at + 1).nan) return smooth_stored(s, e, n);
            double sum = 0.0;
            for (std::size_t i = at + 1; i <= at + p; ++i) sum += o[i];
            const double guess = estimate(at, sum / static_cast<double>(p), to);
            start[k] = std::isfinite(guess) ? guess : o[s - 1];
        }
        const std::size_t takeover = warm + 2 * kFusedLook;
        auto fused = [n](const FusedLanesArgs& a) {
            return n >= kStreamFrom ? wilder_fused_streaming(a) : wilder_fused(a);
        };
        FusedStop stop = fused(FusedLanesArgs{h, l, c, o, bar, warm, steps, takeover, w, start, probe});
        // kept[k]: lane k's steps written as wilder_lanes writes them; left:
        // stopped in a flat stretch, keeping its steps before the look that
        // found it.
        std::size_t kept[K];
        bool left[K];
        auto take = [&](const FusedStop& f, std::size_t at, std::size_t k) {
            left[k] = (f.flat >> k & 1) != 0;
            kept[k] = at + f.done - (left[k] ? kFusedLook : 0);
        };
        for (std::size_t k = 0; k < K; ++k) take(stop, 0, k);
        // Where the lanes stopped late in a flat stretch, the others go on
        // from their own values, with no warm-up or estimate: a lane left
        // behind gives its place to a copy of another, which steps the same
        // bars and writes nothing (two stores of one line past the caches
        // cost a third of the time). One that stops early has the bars after
        // it taken as new stretches.
        std::size_t at = stop.done;  // the steps taken so far
        bool late = stop.flat != 0 && 2 * stop.done >= steps;
        while (late && at < steps) {
            std::size_t donor = K;
            for (std::size_t k = K; k-- > 0;)
                if (!left[k]) donor = k;
            if (donor == K) break;
            std::size_t from_bar[K];
            double from_value[K];
            for (std::size_t k = 0; k < K; ++k) {
                from_bar[k] = bar[left[k] ? donor : k] + at;
                from_value[k] = o[from_bar[k] - 1];
            }
            const std::size_t more = steps - at;
            stop = fused(FusedLanesArgs{h, l, c, o, from_bar, 0, more, 0, w, from_value, nullptr});
            for (std::size_t k = 0; k < K; ++k)
                if (!left[k]) take(stop, at, k);
            at += stop.done;
            late = stop.flat != 0 && 2 * stop.done >= more;
        }
        // Lane 0's kept bars are the chain's; a lane after it has bars of
        // its own once it kept more than its warm-up, checked as smooth
        // checks them once the bars between are. The bars after a lane left
        // behind start with what is left of the flat stretch, and go over
        // stored true ranges; a lane that met the stretch no later than its
        // warm-up is left to the bars between as a whole, so that a long
        // stretch goes on as one: apart, each part would be stepped again
        // from a value of its own.
        std::size_t from = s + kept[0];
        bool flat = left[0];  // whether the bars from `from` on start a flat stretch
        for (std::size_t k = 1; k < K; ++k) {
            if (kept[k] <= warm) {
                flat = flat || left[k];
                continue;
            }
            const std::size_t own = bar[k] + warm;
            if (flat ? smooth_stored(from, own, n) : smooth_from_inputs(from, own, n)) return true;
            const double v = o[own - 1];
            if (!same_bits(v, probe[k])) step_until_met(own, bar[k] + kept[k], v);
            from = bar[k] + kept[k];
            flat = left[k];
        }
        // The last lane's bars after a stop, or the few after all lanes.
        const bool again = kept[K - 1] < steps && kept[K - 1] > warm && !flat;
        return again ? smooth_from_inputs(from, e, n) : smooth_stored(from, e, n);
    }

    // Bars [i, e) stepped from the value v before them, each value written
    // until one is the value already there: from there on the chain and the
    // lane that wrote them are one.
    void step_until_met(std::size_t i, std::size_t e, double v) const {
        for (; i + 2 <= e; i += 2) {
            double first, second;
            true_range_pair(h + i, l + i, c + i - 1, first, second);
            v = w.step(v, first);
            if (same_bits(v, o[i])) return;
            o[i] = v;
            v = w.step(v, second);
            if (same_bits(v, o[i + 1])) return;
            o[i + 1] = v;
        }
        if (i < e) o[i] = w.step(v, true_range(h[i], l[i], c[i - 1]));
    }

    // Bars [s, run) as smooth takes them, then the first bars of the run of
    // +0 from `run` (the true ranges of [run, known) are +0): returns the
    // first bar of the run not stepped yet. A run's steps are products
    // alone, one after another, which nothing hides once the lanes are done;
    // so a scout beside the lanes steps the last bars before the run as
    // another lane would, from an estimate, and then steps the run from its
    // own value. It meets the chain in its warm-up as often as a lane does;
    // if its value before the run is the chain's, so are all its steps of
    // the run. If not, the run is stepped from the chain's value until a
    // step gives the scout's value at that bar (each step being a pure
    // function of the one before, all after it are then the same).
    std::size_t smooth_before_flat(std::size_t s, std::size_t run, std::size_t known) const {
        FlatGuess g{o, run, run, known, 0.0, w};
        smooth(s, run, &g);
        double v = o[run - 1];
        if (g.bar <= run || !(v > 0.0)) return run;  // no guess, or one the run does not start from
        if (same_bits(v, g.before)) return g.bar;
        for (std::size_t i = run; i < g.bar; ++i) {
            v = w.keep * v;
            if (same_bits(v, o[i])) return g.bar;
            o[i] = v;
        }
        return g.bar;
    }

    struct FlatEnd {
        std::size_t end;    // the first bar after the run
        std::size_t known;  // the true ranges in o go up to here
        bool nan;           // some true range in [end, known) is NaN
    };

    // A run of +0 true ranges from bar s, those of [s, known) already in o:
    // stepped from the value before s, a chunk at a time beside the true
    // ranges of the chunk after it, up to the first chunk that is not all +0.
    FlatEnd flat_run(std::size_t s, std::size_t known, std::size_t n, bool stream) const {
        FlatSteps f{o, s, o[s - 1], w, known};
        f.stream = stream;
        const FlatEnd end = flat_run_on(f, known, n);
        if (stream) lanes::stream_fence();
        return end;
    }

    FlatEnd flat_run_on(FlatSteps& f, std::size_t known, std::size_t n) const {
        const bool stream = f.stream;
        while (known < n) {
            if (f.fixed) {
                // Every later bar of the run holds the value now: what is
                // left is finding where the run ends, the value written
                // behind the look, with no true ranges taken.
                f.finish();
                f.at = f.end = known = flat_fill(h, l, c, known, n, f.v, o, stream);
                if (known == n) break;
            }
            const std::size_t i1 = std::min(n, known + kChunk);
            if (stream) {
                // A look rather than true ranges: the bars after the run
                // are taken from its end as any others.
                const std::size_t end = flat_until_stepping(h, l, c, known, i1, f);
                f.end = end;
                if (end < i1) {
                    f.finish();
                    return {end, end, false};
                }
                known = i1;
                continue;
            }
            const TrueRangeChunk chunk = true_ranges_beside_flat(h, l, c, known, i1, o + known, f);
            if (!chunk.flat) {
                std::size_t end = known;
                while (std::bit_cast<uint64_t>(o[end]) == 0) ++end;
                f.end = end;
                f.finish();
                return {end, i1, chunk.nan};
            }
            f.end = known = i1;
        }
        f.finish();
        return {n, n, false};
    }

    // Bars [s, n) where the chain is NaN from bar s on: its value before s
    // is NaN, or bar s's true range is.
    void nan_from(std::size_t s, std::size_t n) const {
        const double first = true_range(h[s], l[s], c[s - 1]);
        double v = first != first ? first : w.step(o[s - 1], first);
        o[s] = v;
        for (std::size_t i0 = s + 1; i0 < n; i0 += kChunk) {
            const std::size_t i1 = std::min(n, i0 + kChunk);
            if (nan_held(l, c, i0, i1, v, o)) continue;
            for (std::size_t i = i0; i < i1; ++i) {
                const double t = true_range(h[i], l[i], c[i - 1]);
                if (t != t) v = t;
                o[i] = v;
            }
        }
    }
};

}  // namespace

SeriesResult compute_atr(std::span<const double> high, std::span<const double> low,
                         std::span<const double> close, uint64_t period) {
    const std::size_t n = close.size();
    if (auto e = atr_input_error(high.size(), low.size(), n, period)) return *e;

    // p bars give a seed but nothing to smooth it with: at least p + 1 are needed.
    if (n == 0 || n <= period) return nan_series(n);
    const std::size_t p = static_cast<std::size_t>(period);
    Series<double> out = warmup_series(n, p - 1);
    double* o = out.data();
    AtrPass pass(high, low, close, p);
    pass.run_to(p, [o](std::size_t i, double v) { o[i] = v; });
    const Smoother w = Smoother::wilder(p);
    const AtrChain chain{high.data(), low.data(), close.data(), o, p, wilder_warmup(p), w, StrideWeights(w)};
    if (!chain.lanes_pay(n - p)) {
        pass.run_to(n, [o](std::size_t i, double v) { o[i] = v; });
        return out;
    }
    if (o[p - 1] != o[p - 1]) {
        chain.nan_from(p, n);
        return out;
    }
    chain.smooth_from_inputs(p, n, n);
    return out;
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Sum of squared deviations of x[0 .. p) from m, in index order.
double squared_deviations(const double* x, std::size_t p, double m) {
    double dev = 0.0;
    for (std::size_t j = 0; j < p; ++j) {
        const double d = x[j] - m;
        dev += d * d;
    }
    return dev;
}

}  // namespace

// The serial sums set the pace; the square roots and divisions of a block
// gain nothing from 64-byte vectors, whose copy ran 1-2 % slower.
TIDEMARK_AVX2_CLONES
BollingerResult compute_bollinger(std::span<const double> data, uint64_t period, double std_dev) {
    if (period == 0) return IndicatorError::invalid("Bollinger Bands period must be > 0");
    if (std_dev <= 0.0) return IndicatorError::invalid("Bollinger Bands std_dev must be > 0");

    const std::size_t n = data.size();
    if (period > n) return BollingerSeries{nan_series(n), nan_series(n), nan_series(n)};
    const std::size_t p = static_cast<std::size_t>(period);
    BollingerSeries r{warmup_series(n, p - 1), warmup_series(n, p - 1), warmup_series(n, p - 1)};
    const double pd = static_cast<double>(p);
    const double* x = data.data();

    // The middle band is the SMA, its running sum stepped as sma_series steps
    // it, in the same pass as the deviation sums below: the three chains
    // step side by side.
    double sum = 0.0;
    for (std::size_t i = 0; i < p; ++i) sum += x[i];

    // The deviation sum of each window, sum (x - m)^2, costs p operations if
    // taken afresh at every index. Instead the window keeps running sums of
    // (x - c) and (x - c)^2 around a centre c, from which
    //   sum (x - m)^2 = S2 - 2 (m - c) S1 + p (m - c)^2.
    // The centre is the middle band at the last refresh, where the sums are
    // taken afresh (so that index gets the direct sum exactly). A refresh
    // comes every p steps, which bounds the drift of the running sums, and
    // whenever the deviation has shrunk to a small part of the squares it was
    // computed from (a spike leaving the window), where the subtraction would
    // cancel most of the digits. Both cost O(p) at most once per p steps in
    // ordinary data, so the whole series is O(n) whatever the period.
    constexpr double kCancellation = 1.0 / 1024.0;
    double* mid = r.middle.data();
    double* up = r.upper.data();
    double* lo = r.lower.data();
    double dev_block[kBlock];
    double c = 0.0, s1 = 0.0, s2 = 0.0, peak = 0.0;
    std::size_t since = p;  // steps since the last refresh; p forces one
    // Inlined by name: the file is large enough that the compiler's budget
    // for inlining runs out before it gets here, and out of line the running
    // sums would go through memory at every bar.
    auto deviation = [&](std::size_t i, double m) __attribute__((always_inline)) {
        double dev;
        if (!(std::fabs(m) <= std::numeric_limits<double>::max())) [[unlikely]] {
            if (std::isnan(m)) {
                // A NaN holds the running middle sum for good: no bands.
                dev = m;
            } else {
                dev = squared_deviations(x + i + 1 - p, p, m);
                since = p;
            }
            return dev;
        }
        bool refresh = since >= p;
        if (!refresh) {
            const double out_c = x[i - p] - c, in_c = x[i] - c;
            s1 = s1 - out_c;
            s1 = s1 + in_c;
            s2 = s2 - out_c * out_c;
            s2 = s2 + in_c * in_c;
            peak = s2 > peak ? s2 : peak;
            const double d = m - c;
            dev = s2 - 2.0 * d * s1 + pd * d * d;
            refresh = !(dev >= peak * kCancellation) || !std::isfinite(s2);
            ++since;
        }
        if (refresh) [[unlikely]] {
            c = m;
            s1 = 0.0;
            s2 = 0.0;
            for (std::size_t k = i + 1 - p; k <= i; ++k) {
                const double d = x[k] - c;
                s1 += d;
                s2 += d * d;
            }
            dev = s2;
            peak = s2;
            since = 0;
        }
        return dev;
    };
    // The square roots and divisions of a block, which depend on no other
    // bar, go through the vector unit together.
    auto bands = [&](std::size_t i0, std::size_t len) __attribute__((always_inline)) {
        for (std::size_t j = 0; j < len; ++j) {
            const double sd = std_dev * std::sqrt(dev_block[j] / pd);
            up[i0 + j] = mid[i0 + j] + sd;
            lo[i0 + j] = mid[i0 + j] - sd;
        }
    };
    mid[p - 1] = sum / pd;
    dev_block[0] = deviation(p - 1, mid[p - 1]);
    bands(p - 1, 1);
    for (std::size_t i0 = p; i0 < n; i0 += kBlock) {
        const std::size_t len = i0 + kBlock < n ? kBlock : n - i0;
        for (std::size_t j = 0; j < len; ++j) {
            const std::size_t i = i0 + j;
            sum = sum - x[i - p];
            sum = sum + x[i];
            const double m = sum / pd;
            mid[i] = m;
            dev_block[j] = deviation(i, m);
        }
        bands(i0, len);
    }
    return r;
}

namespace {

template <bool Max>
SeriesResult rolling_extreme_series(std::span<const double> data, uint64_t period) {
    if (period == 0) return IndicatorError::invalid("period must be at least 1");
    const std::size_t n = data.size();
    if (period > n) return nan_series(n);
    const std::size_t p = static_cast<std::size_t>(period);
    Series<double> out = warmup_series(n, p - 1);
    rolling_extreme<Max>(data.data(), n, p, out.data());
    return out;
}

}  // namespace

SeriesResult compute_rolling_min(std::span<const double> data, uint64_t period) {
    return rolling_extreme_series<false>(data, period);
}

SeriesResult compute_rolling_max(std::span<const double> data, uint64_t period) {
    return rolling_extreme_series<true>(data, period);
}

}  // namespace tidemark
