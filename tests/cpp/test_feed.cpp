#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "core/instrument.h"
#include "data/feed.h"
#include "portfolio/session.h"

using namespace tidemark;

// Time-ordered streams merge like a sort by (time, kind priority, stream, position); many ties.
TEST(MergeStreams, SortedStreamsMergeLikeASortOfTheirKeys) {
    constexpr int priority[] = {3, 1, 0, 2};  // trade, quote, book, bar, indexed by the kind's value
    static_assert(static_cast<int>(FeedEventKind::Bar) == 0 && static_cast<int>(FeedEventKind::Book) == 3);
    std::mt19937_64 rng(7);
    for (int round = 0; round < 50; ++round) {
        const uint32_t n_streams = 1 + static_cast<uint32_t>(rng() % 12);
        std::vector<std::vector<FeedEvent>> lists(n_streams);
        std::vector<std::tuple<int64_t, int, uint32_t, double>> keys;  // slot `a` names the event
        double label = 0.0;
        for (uint32_t s = 0; s < n_streams; ++s) {
            const auto kind = static_cast<FeedEventKind>(rng() % 4);
            const uint32_t instrument = static_cast<uint32_t>(rng() % 3);
            int64_t ts = static_cast<int64_t>(rng() % 5) - 2;
            const std::size_t len = rng() % 40;
            for (std::size_t i = 0; i < len; ++i) {
                ts += static_cast<int64_t>(rng() % 3);
                lists[s].push_back(FeedEvent{kind, ts, label, 0, 0, 0, 0, instrument, s});
                keys.emplace_back(ts, priority[static_cast<int>(kind)], s, label);
                label += 1.0;
            }
        }
        std::vector<MergeStream> streams(n_streams);
        for (uint32_t s = 0; s < n_streams; ++s)
            streams[s].id = s, streams[s].size = lists[s].size(), streams[s].events = lists[s].data();
        // Numbering continues from the counters.
        std::vector<uint64_t> counters{rng() % 4, 0, rng() % 4}, seen = counters;
        Series<ScheduleEntry> out;
        merge_streams(streams, counters, out);

        std::sort(keys.begin(), keys.end());
        ASSERT_EQ(out.size(), keys.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].a, std::get<3>(keys[i])) << "round " << round << " entry " << i;
            EXPECT_EQ(out[i].local_idx, seen[out[i].instrument]++);
        }
        EXPECT_EQ(counters, seen);
    }
}

// Random live traffic through a margin session, for the sanitizers: the account stays consistent.
TEST(PortfolioSessionDrive, RandomTrafficKeepsTheAccountConsistent) {
    std::mt19937_64 rng(11);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
    BacktestConfig cfg;
    cfg.fees = 0.0, cfg.max_positions = 3, cfg.max_drawdown_pct = 95.0, cfg.initial_capital = 1e6;
    cfg.queue_fill_model = cfg.liquidate_on_margin_call = true;
    PortfolioSession s(cfg, "margin", 1.0);
    auto call = [](const char* name, double strike) {
        return make_option(name, strike, "call", 1'000'000, 1.0, 10.0, 0.0, "U", false, std::nullopt, 0.0, 0.0, 0.0,
                           0.0, 0.1, 0.05);
    };
    const InstrumentSpec c100 = call("C100", 100.0), c110 = call("C110", 110.0);
    s.add_instrument("C100", 1, nullptr, &c100, "hedging");
    s.add_instrument("C110", -1, nullptr, &c110, "netting");
    s.add_instrument("EQ", 1, nullptr, nullptr, "netting");
    s.adopt_position(2, 0, 50.0, 10.0);
    std::vector<EngineEventRecord> out;
    std::size_t applied = 0;
    for (int step = 0; step < 3000; ++step) {
        const uint64_t inst = static_cast<uint64_t>(pick(3));
        const double px = 5.0 + pick(60);
        switch (pick(5)) {
            case 0: s.push_bar(inst, {step, px, px + 1, px - 1, px, 10.0}); break;
            case 1: s.push_tick(inst, {step, px, px - 0.5, px + 0.5, 1.0, 2.0, 0.0, 0.0, 3.0, 0.0}); break;
            case 2: {
                DepthSnapshot d;
                d.ts = step;
                LevelFilter bids(d.levels.bids, d.levels.n_bids);
                for (int j = 0; j < pick(7); ++j) bids.offer(px - j, 5.0);
                s.push_depth(inst, d);
                break;
            }
            case 3: {
                OrderArgs a;
                a.side = pick(2) ? "buy" : "sell", a.kind = pick(2) ? "market" : "limit";
                a.limit_price = px, a.units = 1.0 + pick(3);
                s.submit_order(inst, std::move(a));
                break;
            }
            default: break;
        }
        if (pick(3)) {
            out.clear();
            const uint64_t before = s.remaining();
            StepIntents in;
            in.entry = pick(4) == 0, in.exit = pick(6) == 0, in.size = 0.2;
            s.apply_current(in, out);
            applied += before > s.remaining();
        }
        ASSERT_TRUE(std::isfinite(s.equity()));
        ASSERT_GE(s.cash() - s.free_capital(), -1e-6);
    }
    out.clear();
    while (s.remaining()) {
        s.apply_current({}, out);
        ++applied;
    }
    EXPECT_EQ(applied, s.len());
    const PortfolioResult r = s.finish();
    uint64_t attributed = 0;
    for (const InstrumentSummary& x : r.per_instrument) attributed += x.trades;
    EXPECT_EQ(attributed, r.result.trades.size());
    EXPECT_EQ(r.result.equity_curve.size(), r.result.drawdown_curve.size());
}
