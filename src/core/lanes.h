// Loops written once for any number of vector lanes and built at each width
// the build clones for (TIDEMARK_CLONES): 8 doubles with AVX-512, 4 with
// AVX2 and 2 in the baseline (SSE2 on x86-64). GCC lowers a generic vector
// wider than the unit lane by lane, compares and shuffles included, so a
// loop written for 8 lanes runs as scalar code on an AVX2 or SSE2 machine;
// written for the unit's own width it stays packed in every copy.
//
// TIDEMARK_LANE_VERSIONS defines one function per width, which the loader
// picks between as it does for target_clones. The lanes never change a
// result: the functions built on them fold with operations whose outcome is
// the same in any grouping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/numeric.h"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
// Declares the vector builtins of every width (stream uses them only in
// copies built for the width).
#include <immintrin.h>
#endif

namespace tidemark::lanes {

template <std::size_t L>
struct Of;
template <>
struct Of<2> {
    typedef double F64 __attribute__((vector_size(16)));
    typedef int64_t I64 __attribute__((vector_size(16)));
    typedef uint64_t U64 __attribute__((vector_size(16)));
};
template <>
struct Of<4> {
    typedef double F64 __attribute__((vector_size(32)));
    typedef int64_t I64 __attribute__((vector_size(32)));
    typedef uint64_t U64 __attribute__((vector_size(32)));
};
template <>
struct Of<8> {
    typedef double F64 __attribute__((vector_size(64)));
    typedef int64_t I64 __attribute__((vector_size(64)));
    typedef uint64_t U64 __attribute__((vector_size(64)));
};

template <std::size_t L>
using F64 = typename Of<L>::F64;
template <std::size_t L>
using I64 = typename Of<L>::I64;
template <std::size_t L>
using U64 = typename Of<L>::U64;

// The lane count of a vector type, and the integer vector of its lanes (for
// masks and bit operations).
template <class V>
constexpr std::size_t count = sizeof(V) / sizeof(V{}[0]);
template <class V>
using IntOf = I64<count<V>>;

// Vectors wider than the baseline's are taken and returned by value here
// and in the loops built on these helpers, always inlined into a copy built
// for their width: no such vector crosses a call, so GCC's note that such a
// signature's calling convention depends on the instruction set (reported
// for the whole source that includes this) does not apply.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// Every lane `x`.
template <class V, class T>
[[gnu::always_inline]] inline V splat(T x) {
    V v;
    for (std::size_t l = 0; l < count<V>; ++l) v[l] = x;
    return v;
}

// Unaligned loads and stores of a whole vector.
template <class V, class T>
[[gnu::always_inline]] inline V load(const T* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
template <class V, class T>
[[gnu::always_inline]] inline void store(T* p, const V& v) {
    __builtin_memcpy(p, &v, sizeof v);
}

// A store of a whole vector to `p`, aligned to the vector's size, past the
// caches (where the processor has such stores): for output far larger than
// the cache, written in whole lines, which then costs no read of each line
// before it is written over. Stores made so are ordered with later ones by
// stream_fence.
template <class V>
[[gnu::always_inline]] inline void stream(double* p, const V& v) {
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
    if constexpr (sizeof(V) == 64) {
        __builtin_ia32_movntpd512(p, v);
        return;
    } else if constexpr (sizeof(V) == 32) {
        __builtin_ia32_movntpd256(p, v);
        return;
    } else if constexpr (sizeof(V) == 16) {
        __builtin_ia32_movntpd(p, v);
        return;
    }
#endif
    store(p, v);
}

// One double so, to `p`: lines filled by such stores in order go out whole.
[[gnu::always_inline]] inline void stream(double* p, double x) {
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
    __builtin_ia32_movnti64(reinterpret_cast<long long*>(p), __builtin_bit_cast(long long, x));
#else
    *p = x;
#endif
}

[[gnu::always_inline]] inline void stream_fence() {
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
    __builtin_ia32_sfence();
#endif
}

// Whether any lane of `m` is not zero; for a test once per stretch of data.
template <class M>
[[gnu::always_inline]] inline bool any(const M& m) {
    auto acc = m[0];
    for (std::size_t l = 1; l < count<M>; ++l) acc |= m[l];
    return acc != 0;
}

namespace detail {
template <std::size_t S, class V, std::size_t... l>
[[gnu::always_inline]] inline V shift_up(const V& x, const V& fill, std::index_sequence<l...>) {
    constexpr std::size_t L = sizeof...(l);
    return __builtin_shufflevector(x, fill, (l < S ? L + l : l - S)...);
}
template <class V, std::size_t... l>
[[gnu::always_inline]] inline V last_everywhere(const V& x, std::index_sequence<l...>) {
    return __builtin_shufflevector(x, x, ((void)l, sizeof...(l) - 1)...);
}
}  // namespace detail

// Lane l of `x` moved to lane l + S; the S lowest lanes from `fill`.
template <std::size_t S, class V>
[[gnu::always_inline]] inline V shift_up(const V& x, const V& fill) {
    return detail::shift_up<S>(x, fill, std::make_index_sequence<count<V>>{});
}

// The last lane of `x` in every lane.
template <class V>
[[gnu::always_inline]] inline V last_everywhere(const V& x) {
    return detail::last_everywhere(x, std::make_index_sequence<count<V>>{});
}

// Running maxima across the lanes (lane l: the greatest of lanes 0..l), in
// log2(L) shifted steps, for lanes free of NaN; `floor` is below them all.
template <class V>
[[gnu::always_inline]] inline V prefix_max(V x, const V& floor) {
    static_assert(count<V> <= 8, "prefix_max folds up to 8 lanes");
    if constexpr (count<V> > 1) {
        const V y = shift_up<1>(x, floor);
        x = y > x ? y : x;
    }
    if constexpr (count<V> > 2) {
        const V y = shift_up<2>(x, floor);
        x = y > x ? y : x;
    }
    if constexpr (count<V> > 4) {
        const V y = shift_up<4>(x, floor);
        x = y > x ? y : x;
    }
    return x;
}

}  // namespace tidemark::lanes

// One function per lane width: `impl<L> args` at each width the build has.
// `params` and `args` go in parentheses, e.g.
//   TIDEMARK_LANE_VERSIONS(bool, curve_block, (const double* eq, std::size_t k), curve_block_lanes, (eq, k))
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && (TIDEMARK_CLONE_AVX512F || TIDEMARK_CLONE_AVX2)
#define TIDEMARK_LANES_BASELINE_ __attribute__((target("default")))
#else
#define TIDEMARK_LANES_BASELINE_
#endif
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && TIDEMARK_CLONE_AVX2
#define TIDEMARK_LANES_AVX2_(ret, name, params, impl, args) \
    __attribute__((target("avx2"))) ret name params { return impl<4> args; }
#else
#define TIDEMARK_LANES_AVX2_(ret, name, params, impl, args)
#endif
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && TIDEMARK_CLONE_AVX512F
#define TIDEMARK_LANES_AVX512F_(ret, name, params, impl, args) \
    __attribute__((target("avx512f"))) ret name params { return impl<8> args; }
#else
#define TIDEMARK_LANES_AVX512F_(ret, name, params, impl, args)
#endif
#define TIDEMARK_LANE_VERSIONS(ret, name, params, impl, args)     \
    TIDEMARK_LANES_BASELINE_ ret name params { return impl<2> args; } \
    TIDEMARK_LANES_AVX2_(ret, name, params, impl, args)           \
    TIDEMARK_LANES_AVX512F_(ret, name, params, impl, args)
