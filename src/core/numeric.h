// IEEE 754 maxNum / minNum: a NaN operand loses to a number, so one missing
// value never erases an extreme; +0 wins the max and -0 the min. std::fmax
// and std::fmin leave the signed-zero case to the platform, so it is spelled
// out here.
#pragma once

#include <cmath>

namespace tidemark {

inline double max_num(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    if (a > b) return a;
    if (b > a) return b;
    return std::signbit(a) ? b : a;
}

inline double min_num(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    if (a < b) return a;
    if (b < a) return b;
    return std::signbit(a) ? a : b;
}

}  // namespace tidemark
