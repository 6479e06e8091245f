// Fill simulation for typed orders: the decisions the bar step hands to the
// matcher, the uniform draws of stochastic fills, and the queue position of a
// resting limit order against the five-level book.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "data/book.h"

namespace tidemark {

// What the bar step decided for one order. The step has already set the
// order's status for every kind but evaluate.
struct OrderAction {
    enum Kind : uint8_t { Evaluate = 0, Triggered, Expire, Cancel, Reject };
    Kind kind = Evaluate;
    uint64_t order_id = 0;
    // Evaluate: the fill price the step saw; NaN leaves it to the price basis.
    double price = 0.0;
    // Reject: the refusal text.
    const char* reason = nullptr;
};

// One SplitMix64 step: advances `state` and returns a uniform draw in [0, 1).
double next_uniform(uint64_t& state);

enum class QueueVerdict : uint8_t {
    Fill,           // fills at the limit price now
    Wait,           // no fill this print
    NotApplicable,  // the book cannot place the order: the probability gate decides
};

// The queue model for a limit order at `limit` meeting a trade print of
// `print_size` at `print_price`. A print through the limit fills at once; a
// print at the limit consumes the volume queued ahead of the order, which is
// taken from the book the first time the order meets a print at this limit.
QueueVerdict queue_limit_gate(std::unordered_map<uint64_t, QueueEntry>& queue, const DepthBook& depth,
                              uint64_t order_id, Side side, double limit, double print_price, double print_size);

// A top-of-book quote moves resting orders' queue places: a same-side price
// behind the order's limit leaves nothing ahead of it, and a smaller size
// displayed at its limit is all that can still be ahead. A side whose price
// is not above 0 changes none of its orders.
void requeue_from_quote(std::unordered_map<uint64_t, QueueEntry>& queue, double bid, double bid_size, double ask,
                        double ask_size);

}  // namespace tidemark
