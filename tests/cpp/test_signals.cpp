#include <gtest/gtest.h>

#include <random>

#include "core/errors.h"
#include "signals/processor.h"

using tidemark::BoolVec;
using tidemark::process_signals;

TEST(SignalsSinglePosition, DropsRepeatedEntriesAndExitsWhileFlat) {
    const auto r = process_signals(BoolVec{1, 1, 0, 0, 1}, BoolVec{0, 0, 1, 1, 0});
    EXPECT_EQ(r.entry_signals, (BoolVec{1, 0, 0, 0, 1}));
    EXPECT_EQ(r.exit_signals, (BoolVec{0, 0, 1, 0, 0}));
}

TEST(SignalsSinglePosition, BarWithBothFlagsOpensButNeverCloses) {
    // First bar: a lone exit is ignored. Bar 1 opens although its exit is set;
    // afterwards the always-raised entry masks every exit, and the open
    // position is left for the engine to close.
    const auto r = process_signals(BoolVec{0, 1, 1, 1}, BoolVec{1, 1, 1, 1});
    EXPECT_EQ(r.entry_signals, (BoolVec{0, 1, 0, 0}));
    EXPECT_EQ(r.exit_signals, (BoolVec{0, 0, 0, 0}));
}

TEST(SignalsSinglePosition, AnyNonZeroByteIsTrue) {
    const auto r = process_signals(BoolVec{7, 0, 0}, BoolVec{0, 255, 0});
    EXPECT_EQ(r.entry_signals, (BoolVec{1, 0, 0}));
    EXPECT_EQ(r.exit_signals, (BoolVec{0, 1, 0}));
}

TEST(SignalsSinglePosition, EmptyInputGivesEmptyOutput) {
    const auto r = process_signals(BoolVec{}, BoolVec{});
    EXPECT_TRUE(r.entry_signals.empty());
    EXPECT_TRUE(r.exit_signals.empty());
}

TEST(SignalsSinglePosition, UnequalLengthsAreAFault) {
    try {
        process_signals(BoolVec{1, 0, 0}, BoolVec{0, 0, 0, 1});
        FAIL() << "expected a fault";
    } catch (const tidemark::Fault& f) {
        const std::string msg = f.what();
        EXPECT_NE(msg.find("Entry and exit arrays must have same length"), std::string::npos);
        EXPECT_NE(msg.find("left: 3"), std::string::npos);
        EXPECT_NE(msg.find("right: 4"), std::string::npos);
    }
}

TEST(SignalsGeneralForm, OneWithoutPyramidingMatchesTwoArgumentForm) {
    std::mt19937 gen(11);
    BoolVec en(500), ex(500);
    for (std::size_t i = 0; i < en.size(); ++i) {
        en[i] = gen() % 3 == 0;
        ex[i] = gen() % 3 == 0;
    }
    const auto a = process_signals(en, ex);
    const auto b = process_signals(en, ex, 1, false);
    EXPECT_EQ(a.entry_signals, b.entry_signals);
    EXPECT_EQ(a.exit_signals, b.exit_signals);
    // A larger cap changes nothing while pyramiding is off.
    const auto c = process_signals(en, ex, 3, false);
    EXPECT_EQ(a.entry_signals, c.entry_signals);
    EXPECT_EQ(a.exit_signals, c.exit_signals);
}

TEST(SignalsGeneralForm, PyramidingAddsUpToCapAndOneExitClosesAll) {
    const auto r = process_signals(BoolVec{1, 1, 1, 1, 0, 1}, BoolVec{0, 0, 0, 0, 1, 0}, 3, true);
    EXPECT_EQ(r.entry_signals, (BoolVec{1, 1, 1, 0, 0, 1}));
    EXPECT_EQ(r.exit_signals, (BoolVec{0, 0, 0, 0, 1, 0}));
    EXPECT_THROW(process_signals(BoolVec{1}, BoolVec{}, 2, true), tidemark::Fault);
}
