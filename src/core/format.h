// Text forms of numbers and strings used by printed representations and
// messages, and the ASCII case folding the name parsers share.
#pragma once

#include <cstddef>
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

// The text with backslash escapes for the backslash, control characters
// ("\n", "\t", "\r", "\0", "\u{1b}") and, when one is given, the quote
// that encloses it in a message, so that a message shows the whole text (an
// embedded NUL would otherwise end it) and shows it unambiguously.
std::string escape_text(std::string_view s, char quote = '\0');

// The text in double quotes, escaped for them.
std::string debug_quote(std::string_view s);

// Removes Unicode White_Space code points from both ends of UTF-8 text.
std::string_view trim_unicode_ws(std::string_view s);

// Case folding for the names the parsers accept. ASCII letters only, and not
// the C library's, whose result follows the process locale.
constexpr char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
constexpr char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// `s` with its ASCII letters in lower case.
inline std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = ascii_lower(c);
    return out;
}

// Whether `s`, upper-cased on ASCII letters only, equals `word`, an
// upper-case word.
constexpr bool upper_equals(std::string_view s, std::string_view word) {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (ascii_upper(s[i]) != word[i]) return false;
    }
    return true;
}

}  // namespace tidemark
