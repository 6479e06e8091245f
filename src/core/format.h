// Text forms of numbers and strings used by printed representations and
// messages.
#pragma once

#include <string>
#include <string_view>

namespace tidemark {

// Shortest text that reads back to the same double, never in exponent form and
// without a forced fraction: 1.0 -> "1", 0.25 -> "0.25", 1e20 ->
// "100000000000000000000", NaN -> "NaN", infinities -> "inf" / "-inf".
std::string fmt_shortest(double v);

// Shortest round-trip text that always shows a fraction ("100.0"), in exponent
// form when the magnitude is non-zero and below 1e-4, or 1e16 and above
// ("5e-5", "1e16", "1.5e-7"). NaN -> "NaN", infinities -> "inf" / "-inf".
std::string fmt_debug(double v);

// Exactly `decimals` decimals, rounded on the exact binary value (ties to
// even); NaN -> "NaN", infinities -> "inf" / "-inf".
std::string fmt_fixed(double v, int decimals);

// The text in double quotes with backslash escapes for the quote, the
// backslash and control characters ("\n", "\t", "\r", "\0", "\u{1b}").
std::string debug_quote(std::string_view s);

// Removes Unicode White_Space code points from both ends of UTF-8 text.
std::string_view trim_unicode_ws(std::string_view s);

}  // namespace tidemark
