#include "analytics/row_sort.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace tidemark {

namespace {

constexpr uint64_t kSign = uint64_t{1} << 63;

// Unsigned keys in the order of the doubles: negatives flipped whole,
// positives with the sign bit set. -0.0 sorts just below +0.0, which only
// orders two values that compare equal. Written as one exclusive or with a
// mask made from the sign, so that loops over a row vectorise.
uint64_t order_key(double v) {
    const auto b = std::bit_cast<uint64_t>(v);
    return b ^ (static_cast<uint64_t>(std::bit_cast<int64_t>(b) >> 63) | kSign);
}

double from_order_key(uint64_t k) { return std::bit_cast<double>((k & kSign) ? (k & ~kSign) : ~k); }

// Writes word(v[i], i) for the entries of v to out, the NaN entries left out
// with skip_nan; returns how many were written. A row without NaN (the usual
// case) is one pass the compiler vectorises; otherwise the NaN entries are
// dropped without a branch (missing cells fall unpredictably).
template <class Word>
std::size_t make_words(std::span<const double> v, bool skip_nan, uint64_t* out, Word word) {
    const std::size_t n = v.size();
    bool any_nan = false;
    if (skip_nan) {
        for (std::size_t i = 0; i < n; ++i) any_nan |= std::isnan(v[i]);
    }
    if (!any_nan) {
        for (std::size_t i = 0; i < n; ++i) out[i] = word(v[i], i);
        return n;
    }
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        out[m] = word(v[i], i);
        m += !std::isnan(v[i]);
    }
    return m;
}

// Rows this short sort by insertion; up to kRadixMin by comparisons, whose
// cost stays below the radix passes' fixed histogram work.
constexpr std::size_t kInsertionMax = 20;
constexpr std::size_t kRadixMin = 256;

// The radix passes order the top 33 bits of the key (sign, exponent and 21
// bits of mantissa) and carry the position in the low 31 bits of the word.
constexpr int kPositionBits = 31;
constexpr uint64_t kPositionMask = (uint64_t{1} << kPositionBits) - 1;
constexpr int kDigitBits = 11;
constexpr std::size_t kDigits = 3;
constexpr uint32_t kDigitMask = (1u << kDigitBits) - 1;

}  // namespace

void RowSorter::small_sort(std::span<const double> v) {
    const std::size_t m = order_.size();
    if (m <= kInsertionMax) {
        for (std::size_t i = 1; i < m; ++i) {
            const std::size_t pos = order_[i];
            std::size_t j = i;
            while (j > 0 && v[order_[j - 1]] > v[pos]) {
                order_[j] = order_[j - 1];
                --j;
            }
            order_[j] = pos;
        }
        return;
    }
    pairs_.resize(m);
    for (std::size_t i = 0; i < m; ++i) pairs_[i] = {v[order_[i]], order_[i]};
    std::sort(pairs_.begin(), pairs_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < m; ++i) order_[i] = pairs_[i].second;
}

const std::vector<std::size_t>& RowSorter::order(std::span<const double> v, bool skip_nan) {
    const std::size_t n = v.size();
    if (n < kRadixMin || n > kPositionMask) {
        order_.clear();
        for (std::size_t i = 0; i < n; ++i) {
            if (!skip_nan || !std::isnan(v[i])) order_.push_back(i);
        }
        small_sort(v);
        return order_;
    }

    // Words of the top 33 key bits and the position.
    words_.resize(n);
    spare_.resize(n);
    const std::size_t m = make_words(v, skip_nan, words_.data(),
                                     [](double x, std::size_t i) { return (order_key(x) & ~kPositionMask) | i; });
    if (m < kRadixMin) {
        order_.resize(m);
        for (std::size_t i = 0; i < m; ++i) order_[i] = static_cast<std::size_t>(words_[i] & kPositionMask);
        small_sort(v);
        return order_;
    }

    hist_.fill(0);
    for (std::size_t i = 0; i < m; ++i) {
        const uint64_t w = words_[i];
        for (std::size_t d = 0; d < kDigits; ++d)
            ++hist_[d * 2048 + ((w >> (kPositionBits + kDigitBits * d)) & kDigitMask)];
    }

    // A digit every word has needs no pass.
    std::array<bool, kDigits> skip{};
    for (std::size_t d = 0; d < kDigits; ++d)
        skip[d] = hist_[d * 2048 + ((words_[0] >> (kPositionBits + kDigitBits * d)) & kDigitMask)] == m;
    // Counts to starting offsets, the digits side by side: three independent
    // running sums keep the processor busy where one would make each bucket
    // wait for the last.
    std::array<uint32_t, kDigits> offset{};
    for (uint32_t x = 0; x <= kDigitMask; ++x) {
        for (std::size_t d = 0; d < kDigits; ++d) {
            const uint32_t c = hist_[d * 2048 + x];
            hist_[d * 2048 + x] = offset[d];
            offset[d] += c;
        }
    }

    uint64_t* src = words_.data();
    uint64_t* dst = spare_.data();
    for (std::size_t d = 0; d < kDigits; ++d) {
        if (skip[d]) continue;
        const int shift = kPositionBits + kDigitBits * static_cast<int>(d);
        uint32_t* h = hist_.data() + d * 2048;
        for (std::size_t i = 0; i < m; ++i) {
            const uint64_t w = src[i];
            dst[h[(w >> shift) & kDigitMask]++] = w;
        }
        std::swap(src, dst);
    }
    // Values that share their top 33 bits may still be out of order: an
    // insertion pass by the full value fixes them. Only words whose key bits
    // equal their predecessor's can be: a smaller key means a smaller (or, for
    // -0.0 against +0.0, an equal) value, so those skip the value lookup. Rows
    // of values closer than that throughout would make it quadratic; past a
    // budget of moves the nearly sorted row is finished by comparisons instead.
    std::size_t moves = 0;
    const std::size_t budget = 4 * m;
    for (std::size_t i = 1; i < m; ++i) {
        const uint64_t w = src[i];
        if ((src[i - 1] ^ w) > kPositionMask) continue;  // the key bits differ
        const double x = v[w & kPositionMask];
        std::size_t j = i;
        while (j > 0 && v[src[j - 1] & kPositionMask] > x) {
            src[j] = src[j - 1];
            --j;
            ++moves;
        }
        src[j] = w;
        if (moves > budget) break;
    }
    order_.resize(m);
    for (std::size_t i = 0; i < m; ++i) order_[i] = static_cast<std::size_t>(src[i] & kPositionMask);
    if (moves > budget) small_sort(v);
    return order_;
}

std::size_t RowSorter::load(std::span<const double> v, bool skip_nan) {
    words_.resize(v.size());
    loaded_ = make_words(v, skip_nan, words_.data(), [](double x, std::size_t) { return order_key(x); });
    return loaded_;
}

void RowSorter::count_bytes(const uint64_t* p, std::size_t n, int shift) {
    // Four interleaved counters per bucket: the top byte of real data falls
    // in a handful of buckets, and a single counter would make every
    // increment wait for the previous one.
    uint32_t* h = hist_.data();
    std::memset(h, 0, 4 * 256 * sizeof(uint32_t));
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        ++h[(p[i] >> shift) & 0xff];
        ++h[256 + ((p[i + 1] >> shift) & 0xff)];
        ++h[512 + ((p[i + 2] >> shift) & 0xff)];
        ++h[768 + ((p[i + 3] >> shift) & 0xff)];
    }
    for (; i < n; ++i) ++h[(p[i] >> shift) & 0xff];
    for (uint32_t b = 0; b < 256; ++b) h[b] += h[256 + b] + h[512 + b] + h[768 + b];
}

namespace {

// The bucket of hist[0, 256) that holds rank k, and the count below it.
std::pair<uint32_t, std::size_t> bucket_of(const uint32_t* hist, std::size_t k) {
    uint32_t bucket = 0;
    std::size_t below = 0;
    while (k >= below + hist[bucket]) below += hist[bucket++];
    return {bucket, below};
}

// The k_lo-th and k_hi-th smallest of the n keys at p, by comparisons.
std::pair<double, double> select_directly(uint64_t* p, std::size_t n, std::size_t k_lo, std::size_t k_hi) {
    std::nth_element(p, p + k_lo, p + n);
    const uint64_t lo = p[k_lo];
    // Everything after k_lo is now at least lo.
    if (k_hi > k_lo) std::nth_element(p + k_lo + 1, p + k_hi, p + n);
    return {from_order_key(lo), from_order_key(p[k_hi])};
}

}  // namespace

// Radix selection, a byte at a time from the top: keep only the bucket that
// holds the k-th key until few enough remain to finish directly.
uint64_t RowSorter::select_key(uint64_t* p, std::size_t n, std::size_t k, int shift) {
    for (; shift >= 0; shift -= 8) {
        if (n <= 32) {
            std::nth_element(p, p + k, p + n);
            return p[k];
        }
        count_bytes(p, n, shift);
        const auto [bucket, below] = bucket_of(hist_.data(), k);
        k -= below;
        // Branch-free: the kept/dropped pattern is data-dependent and would
        // mispredict on every other word.
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const uint64_t w = p[i];
            p[kept] = w;
            kept += ((w >> shift) & 0xff) == bucket;
        }
        n = kept;
    }
    return p[0];  // every remaining key is the same
}

std::pair<double, double> RowSorter::select_pair(std::size_t k_lo, std::size_t k_hi) {
    uint64_t* p = words_.data();
    std::size_t n = loaded_;
    loaded_ = 0;
    if (n > UINT32_MAX) return select_directly(p, n, k_lo, k_hi);  // beyond the counters' range: no radix
    for (int shift = 56; shift >= 0; shift -= 8) {
        if (n <= 32) return select_directly(p, n, k_lo, k_hi);
        count_bytes(p, n, shift);
        const auto [lo_bucket, lo_below] = bucket_of(hist_.data(), k_lo);
        const auto [hi_bucket, hi_below] = bucket_of(hist_.data(), k_hi);
        k_lo -= lo_below;
        k_hi -= hi_below;
        if (lo_bucket != hi_bucket) {
            // The ranks part here: one pass keeps the low bucket in place and
            // copies the high one aside, and each goes on alone.
            spare_.resize(n);
            uint64_t* q = spare_.data();
            std::size_t lo_n = 0, hi_n = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const uint64_t w = p[i];
                const uint64_t byte = (w >> shift) & 0xff;
                p[lo_n] = w;
                lo_n += byte == lo_bucket;
                q[hi_n] = w;
                hi_n += byte == hi_bucket;
            }
            return {from_order_key(select_key(p, lo_n, k_lo, shift - 8)),
                    from_order_key(select_key(q, hi_n, k_hi, shift - 8))};
        }
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const uint64_t w = p[i];
            p[kept] = w;
            kept += ((w >> shift) & 0xff) == lo_bucket;
        }
        n = kept;
    }
    return {from_order_key(p[0]), from_order_key(p[0])};  // every remaining key is the same
}

}  // namespace tidemark
