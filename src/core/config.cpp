#include "core/config.h"

#include <optional>
#include <string>

#include "core/errors.h"
#include "core/format.h"

namespace tidemark {

namespace {

// An unsigned 32-bit decimal: one optional '+', then digits only.
std::optional<uint32_t> parse_u32(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(v);
}

}  // namespace

uint32_t parse_squareoff_time(std::string_view given) {
    auto fail = [&]() -> uint32_t {
        throw RuleError("invalid squareoff_time " + debug_quote(given) +
                        "; expected 24-hour \"HH:MM\" local time, e.g. \"15:25\" for NSE. Pass None to disable "
                        "squareoff.");
    };
    std::string_view text = trim_unicode_ws(given);
    auto colon = text.find(':');
    if (colon == std::string_view::npos) return fail();
    auto hours = parse_u32(trim_unicode_ws(text.substr(0, colon)));
    auto minutes = parse_u32(trim_unicode_ws(text.substr(colon + 1)));
    if (!hours || !minutes || *hours > 23 || *minutes > 59) return fail();
    return *hours * 60 + *minutes;
}

FillTiming parse_fill_timing(std::string_view given) {
    std::string_view t = trim_unicode_ws(given);
    if (t == "same_bar_close") return FillTiming::SameBarClose;
    if (t == "next_bar_open") return FillTiming::NextBarOpen;
    if (t == "same_bar_open_lookahead") return FillTiming::SameBarOpenLookahead;
    throw RuleError("invalid fill_timing " + debug_quote(given) +
                    "; expected \"same_bar_close\", \"next_bar_open\", or \"same_bar_open_lookahead\" (a look-ahead, "
                    "for reproducing old results only)");
}

const char* fill_timing_text(FillTiming t) {
    switch (t) {
        case FillTiming::SameBarClose: return "same_bar_close";
        case FillTiming::NextBarOpen: return "next_bar_open";
        case FillTiming::SameBarOpenLookahead: return "same_bar_open_lookahead";
    }
    return "same_bar_close";
}

}  // namespace tidemark
