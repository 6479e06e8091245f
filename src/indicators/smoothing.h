// The exponential smoothing step shared by the batch kernels and the
// streaming indicator. Batch and streaming values are promised equal bit for
// bit, so both go through these few lines and nothing else: the weights are
// computed once from the period the same way, and each step is evaluated as
// alpha * x + keep * previous (two roundings of the products, one of the
// sum). The indicator sources are compiled with contraction off so that no
// compiler turns one of them, and not the other, into a fused multiply-add.
#pragma once

#include <cstdint>

namespace tidemark {

struct Smoother {
    double alpha = 1.0;
    double keep = 0.0;

    // EMA weights: alpha = 2 / (p + 1).
    static Smoother ema(uint64_t period) {
        const double a = 2.0 / (static_cast<double>(period) + 1.0);
        return {a, 1.0 - a};
    }
    // Wilder weights: alpha = 1 / p (RSI averages, ATR, Wilder MA).
    static Smoother wilder(uint64_t period) {
        const double a = 1.0 / static_cast<double>(period);
        return {a, 1.0 - a};
    }

    double step(double previous, double x) const { return alpha * x + keep * previous; }
};

}  // namespace tidemark
