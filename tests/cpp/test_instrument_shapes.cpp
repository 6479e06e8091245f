// The multi-instrument runners' length checks, made from lengths alone: with
// several faults at once the first in the runs' order wins, and lengths no
// memory could hold are judged without a column behind them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/errors.h"
#include "strategies/basket.h"
#include "strategies/portfolio.h"

using namespace tidemark;

namespace {

constexpr std::size_t kHuge = std::size_t{1} << 60;

InstrumentShape bars(std::size_t n) { return {n, n, n, n, n, n, n, n}; }

// The fault's text, or "" when the shapes pass.
template <class F>
std::string failure(F&& check) {
    try {
        check();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

std::string assert_eq(const char* what, std::size_t left, std::size_t right) {
    return failure([&] { fail_assert_eq(what, left, right); });
}

struct Case {
    const char* name;
    std::vector<InstrumentShape> shapes;
    std::string allocation;
    std::string portfolio;  // the expected failures ("" none)
    std::string basket;
};

std::vector<Case> cases() {
    const InstrumentShape ok = bars(10);
    InstrumentShape long_close = ok, long_signals = ok, short_volume = ok, long_exits = ok, long_entries = ok;
    long_close.close = kHuge;
    long_signals.close = long_signals.entries = long_signals.exits = kHuge;
    short_volume.volume = 3;
    long_exits.exits = kHuge;
    long_entries.entries = kHuge;
    const std::string index = "index out of bounds: the len is 10 but the index is 10";
    const std::string mismatch = "Entry and exit arrays must have same length";
    return {
        {"none", {}, "bogus", "run_portfolio_backtest requires at least one instrument", ""},
        {"sound", {ok, ok}, "full", "", ""},
        {"one long close", {long_close}, "full", assert_eq("signals must match OHLCV length", 10, kHuge),
         assert_eq("Signals must match OHLCV length", 10, kHuge)},
        {"one row of long signals", {long_signals}, "full", index, index},
        {"bar counts first",
         {ok, long_close, long_exits},
         "bogus",
         "all instruments must have the same number of bars; instrument 1 has " + std::to_string(kHuge) +
             ", expected 10",
         assert_eq("All instruments must have same number of bars", kHuge, 10)},
        {"entries before exits", {long_exits, long_entries}, "full", assert_eq(mismatch.c_str(), 10, kHuge),
         assert_eq("Signals must match OHLCV length", kHuge, 10)},
        {"exits before columns", {short_volume, long_exits, long_exits}, "equal_weight",
         assert_eq(mismatch.c_str(), 10, kHuge), assert_eq("All signal arrays must have same length", kHuge, 10)},
        {"exits of one length", {long_exits, long_exits, short_volume}, "equal_weight",
         assert_eq(mismatch.c_str(), 10, kHuge), assert_eq("All signal arrays must have same length", 10, kHuge)},
        {"combined exits", {long_exits, long_exits}, "full", assert_eq(mismatch.c_str(), 10, kHuge),
         assert_eq(mismatch.c_str(), 10, kHuge)},
        {"columns last", {ok, short_volume}, "full", "index out of bounds: the len is 3 but the index is 3",
         "index out of bounds: the len is 3 but the index is 3"},
    };
}

class InstrumentShapes : public ::testing::TestWithParam<Case> {};

TEST_P(InstrumentShapes, FirstFaultInTheRunsOrder) {
    const Case& c = GetParam();
    EXPECT_EQ(failure([&] { (void)check_portfolio_shapes(c.shapes, c.allocation); }), c.portfolio);
    EXPECT_EQ(failure([&] { check_basket_shapes(c.shapes); }), c.basket);
}

INSTANTIATE_TEST_SUITE_P(Cases, InstrumentShapes, ::testing::ValuesIn(cases()), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name)
        if (ch == ' ') ch = '_';
    return name;
});

}  // namespace
