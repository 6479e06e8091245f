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

// The lane count of a vector type.
template <class V>
constexpr std::size_t count = sizeof(V) / sizeof(V{}[0]);

// The helpers hand vectors out through references: returned by value, a
// vector wider than the baseline's would be passed by a convention that
// depends on the instruction set, which GCC warns of even where every call
// is inlined.

// Every lane `x`.
template <class V, class T>
[[gnu::always_inline]] inline void splat(V& v, T x) {
    for (std::size_t l = 0; l < count<V>; ++l) v[l] = x;
}

namespace detail {
template <std::size_t S, class V, std::size_t... l>
[[gnu::always_inline]] inline void shift_up(V& out, const V& x, const V& fill, std::index_sequence<l...>) {
    constexpr std::size_t L = sizeof...(l);
    out = __builtin_shufflevector(x, fill, (l < S ? L + l : l - S)...);
}
template <class V, std::size_t... l>
[[gnu::always_inline]] inline void last_everywhere(V& out, const V& x, std::index_sequence<l...>) {
    out = __builtin_shufflevector(x, x, ((void)l, sizeof...(l) - 1)...);
}
}  // namespace detail

// Lane l of `x` moved to lane l + S; the S lowest lanes from `fill`.
template <std::size_t S, class V>
[[gnu::always_inline]] inline void shift_up(V& out, const V& x, const V& fill) {
    detail::shift_up<S>(out, x, fill, std::make_index_sequence<count<V>>{});
}

// The last lane of `x` in every lane.
template <class V>
[[gnu::always_inline]] inline void last_everywhere(V& out, const V& x) {
    detail::last_everywhere(out, x, std::make_index_sequence<count<V>>{});
}

// `x` made running maxima across its lanes (lane l: the greatest of lanes
// 0..l), in log2(L) shifted steps, for lanes free of NaN; `floor` is below
// them all.
template <class V>
[[gnu::always_inline]] inline void prefix_max(V& x, const V& floor) {
    static_assert(count<V> <= 8, "prefix_max folds up to 8 lanes");
    V y;
    if constexpr (count<V> > 1) {
        shift_up<1>(y, x, floor);
        x = y > x ? y : x;
    }
    if constexpr (count<V> > 2) {
        shift_up<2>(y, x, floor);
        x = y > x ? y : x;
    }
    if constexpr (count<V> > 4) {
        shift_up<4>(y, x, floor);
        x = y > x ? y : x;
    }
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
