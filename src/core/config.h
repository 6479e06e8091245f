// Parsers of the run configuration's text settings.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/types.h"

namespace tidemark {

// "HH:MM" local time to minutes after midnight ("15:25" -> 925). Surrounding
// white space is allowed around the text and around each half. Throws
// RuleError quoting the text as given.
uint32_t parse_squareoff_time(std::string_view given);

// "same_bar_close", "next_bar_open" or "same_bar_open_lookahead" (white space
// around is allowed). Throws RuleError quoting the text as given.
FillTiming parse_fill_timing(std::string_view given);
const char* fill_timing_text(FillTiming t);

}  // namespace tidemark
