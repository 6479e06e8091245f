// Kernels written once over a vector of N doubles and built once per vector
// instruction set, each copy at its own width: 8 lanes where the processor
// has 64-byte vectors (avx512f), 4 with AVX2, 2 with the SSE2 every x86-64
// has. A generic vector wider than the unit is split by the compiler into
// pieces the unit has, but shuffles and lane reads across such a vector go
// lane by lane; sizing the vector to the copy keeps every copy packed.
//
// The build chooses the copies (TIDEMARK_CLONES, as for the target clones
// of core/numeric.h); the widest one built that the processor runs is
// picked once. Each lane does the IEEE operation the scalar code does, and
// the indicator sources fuse no multiply-add in any copy, so every copy gives
// the same bits.
#pragma once

#include <cstdint>

#include "core/numeric.h"
#include "indicators/extrema.h"

namespace tidemark {

typedef double F64x8 __attribute__((vector_size(64)));
typedef int64_t I64x8 __attribute__((vector_size(64)));

enum class VectorSet : uint8_t { Baseline, Avx2, Avx512f };

#if defined(__GNUC__) && defined(__x86_64__)
#define TIDEMARK_LANES_AVX512F (TIDEMARK_CLONE_AVX512F)
#define TIDEMARK_LANES_AVX2 (TIDEMARK_CLONE_AVX2)
#define TIDEMARK_TARGET_AVX512F __attribute__((target("avx512f")))
#define TIDEMARK_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define TIDEMARK_LANES_AVX512F 0
#define TIDEMARK_LANES_AVX2 0
#endif

// The widest set with a copy in this build that the processor runs.
inline VectorSet vector_set() {
#if TIDEMARK_LANES_AVX512F || TIDEMARK_LANES_AVX2
    static const VectorSet set = [] {
#if TIDEMARK_LANES_AVX512F
        if (__builtin_cpu_supports("avx512f")) return VectorSet::Avx512f;
#endif
#if TIDEMARK_LANES_AVX2
        if (__builtin_cpu_supports("avx2")) return VectorSet::Avx2;
#endif
        return VectorSet::Baseline;
    }();
    return set;
#else
    return VectorSet::Baseline;
#endif
}

// The integer vector of the same lanes, for masks and bit operations.
template <class V>
struct LaneTraits;
template <>
struct LaneTraits<F64x2> {
    using Int = I64x2;
    static constexpr int kLanes = 2;
};
template <>
struct LaneTraits<F64x4> {
    using Int = I64x4;
    static constexpr int kLanes = 4;
};
template <>
struct LaneTraits<F64x8> {
    using Int = I64x8;
    static constexpr int kLanes = 8;
};

// The helpers here and the kernels over them take and return vectors wider
// than the baseline's, always inlined into a copy built for their width: no
// such vector crosses a call, so GCC's notes on the ABI of those signatures
// (reported for the whole source that includes this) do not apply.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// Unaligned loads and stores of a whole vector.
template <class V>
[[gnu::always_inline]] inline V load_lanes(const double* p) {
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
[[gnu::always_inline]] inline void store_lanes(double* p, V v) {
    __builtin_memcpy(p, &v, sizeof v);
}

// Whether any lane of a mask is set; for a test once per stretch of data.
template <class V>
[[gnu::always_inline]] inline bool any_lane(typename LaneTraits<V>::Int m) {
    int64_t any = 0;
    for (int k = 0; k < LaneTraits<V>::kLanes; ++k) any |= m[k];
    return any != 0;
}

}  // namespace tidemark
