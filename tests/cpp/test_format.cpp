#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/format.h"

using namespace tidemark;

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");
}  // namespace

TEST(FormatShortest, PlainDecimalsWithoutForcedFraction) {
    EXPECT_EQ(fmt_shortest(1.0), "1");
    EXPECT_EQ(fmt_shortest(0.25), "0.25");
    EXPECT_EQ(fmt_shortest(-3.5), "-3.5");
    EXPECT_EQ(fmt_shortest(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(fmt_shortest(1e20), "100000000000000000000");
    EXPECT_EQ(fmt_shortest(5e-5), "0.00005");
    EXPECT_EQ(fmt_shortest(0.0), "0");
    EXPECT_EQ(fmt_shortest(-0.0), "-0");
}

TEST(FormatShortest, ExtremeMagnitudesStayInFixedNotation) {
    const std::string tiny = fmt_shortest(std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(tiny.size(), 326u);
    EXPECT_EQ(tiny.substr(0, 3), "0.0");
    EXPECT_EQ(tiny.back(), '5');
    const std::string huge = fmt_shortest(std::numeric_limits<double>::max());
    EXPECT_EQ(huge.size(), 309u);
    EXPECT_EQ(huge.substr(0, 17), "17976931348623157");
}

TEST(FormatShortest, NonFinite) {
    EXPECT_EQ(fmt_shortest(kNaN), "NaN");
    EXPECT_EQ(fmt_shortest(-kNaN), "NaN");
    EXPECT_EQ(fmt_shortest(kInf), "inf");
    EXPECT_EQ(fmt_shortest(-kInf), "-inf");
}

TEST(FormatDebug, AlwaysShowsAFraction) {
    EXPECT_EQ(fmt_debug(100.0), "100.0");
    EXPECT_EQ(fmt_debug(0.5), "0.5");
    EXPECT_EQ(fmt_debug(101.5), "101.5");
    EXPECT_EQ(fmt_debug(0.0), "0.0");
    EXPECT_EQ(fmt_debug(-0.0), "-0.0");
    EXPECT_EQ(fmt_debug(-2.0), "-2.0");
    EXPECT_EQ(fmt_debug(0.0001), "0.0001");
    EXPECT_EQ(fmt_debug(9999999999999998.0), "9999999999999998.0");
}

TEST(FormatDebug, ExponentFormOutsideTheFixedRange) {
    EXPECT_EQ(fmt_debug(5e-5), "5e-5");
    EXPECT_EQ(fmt_debug(1e-5), "1e-5");
    EXPECT_EQ(fmt_debug(1.5e-7), "1.5e-7");
    EXPECT_EQ(fmt_debug(-1.5e-7), "-1.5e-7");
    EXPECT_EQ(fmt_debug(1e16), "1e16");
    EXPECT_EQ(fmt_debug(1.2345e20), "1.2345e20");
    EXPECT_EQ(fmt_debug(1e300), "1e300");
    EXPECT_EQ(fmt_debug(std::numeric_limits<double>::denorm_min()), "5e-324");
    EXPECT_EQ(fmt_debug(9.99999e-5), "9.99999e-5");
}

TEST(FormatDebug, NonFinite) {
    EXPECT_EQ(fmt_debug(kNaN), "NaN");
    EXPECT_EQ(fmt_debug(kInf), "inf");
    EXPECT_EQ(fmt_debug(-kInf), "-inf");
}

TEST(FormatFixed, RoundsOnTheExactBinaryValue) {
    EXPECT_EQ(fmt_fixed(1.0, 2), "1.00");
    // 2.675 is stored just below the midpoint.
    EXPECT_EQ(fmt_fixed(2.675, 2), "2.67");
    // Exact ties go to the even digit.
    EXPECT_EQ(fmt_fixed(2.5, 0), "2");
    EXPECT_EQ(fmt_fixed(3.5, 0), "4");
    EXPECT_EQ(fmt_fixed(0.25, 1), "0.2");
    EXPECT_EQ(fmt_fixed(-1.005, 2), "-1.00");
    EXPECT_EQ(fmt_fixed(1e20, 1), "100000000000000000000.0");
}

TEST(FormatFixed, NonFinite) {
    EXPECT_EQ(fmt_fixed(kNaN, 2), "NaN");
    EXPECT_EQ(fmt_fixed(kInf, 2), "inf");
    EXPECT_EQ(fmt_fixed(-kInf, 4), "-inf");
}

TEST(FormatDebugQuote, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(debug_quote(""), "\"\"");
    EXPECT_EQ(debug_quote("buy"), "\"buy\"");
    EXPECT_EQ(debug_quote("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(debug_quote("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(debug_quote("it's"), "\"it's\"");
    EXPECT_EQ(debug_quote("\n\r\t"), "\"\\n\\r\\t\"");
    EXPECT_EQ(debug_quote(std::string_view("x\0y", 3)), "\"x\\0y\"");
    EXPECT_EQ(debug_quote("\x1b[0m"), "\"\\u{1b}[0m\"");
    EXPECT_EQ(debug_quote("\x01"), "\"\\u{1}\"");
    EXPECT_EQ(debug_quote("\x7f"), "\"\\u{7f}\"");
}

TEST(FormatEscapeText, EscapesTheGivenQuoteOnly) {
    EXPECT_EQ(escape_text(std::string_view("netting\0", 8)), "netting\\0");
    EXPECT_EQ(escape_text("a\"b'c\\"), "a\"b'c\\\\");
    EXPECT_EQ(escape_text("a\"b'c", '\''), "a\"b\\'c");
}

TEST(FormatDebugQuote, NonAsciiPassesThrough) {
    EXPECT_EQ(debug_quote("\xe2\x82\xb9 caf\xc3\xa9"), "\"\xe2\x82\xb9 caf\xc3\xa9\"");
}

TEST(FormatTrim, AsciiAndUnicodeWhiteSpace) {
    EXPECT_EQ(trim_unicode_ws("  buy \t\n"), "buy");
    EXPECT_EQ(trim_unicode_ws("\v\f\rsell\r"), "sell");
    EXPECT_EQ(trim_unicode_ws("\xc2\xa0limit\xc2\x85"), "limit");
    EXPECT_EQ(trim_unicode_ws("\xe1\x9a\x80x\xe2\x80\x80"), "x");
    EXPECT_EQ(trim_unicode_ws("\xe2\x80\x8ax\xe2\x80\xa8\xe2\x80\xa9"), "x");
    EXPECT_EQ(trim_unicode_ws("\xe2\x80\xafx\xe2\x81\x9f\xe3\x80\x80"), "x");
    EXPECT_EQ(trim_unicode_ws("a b\xc2\xa0" "c"), "a b\xc2\xa0" "c");
}

TEST(FormatTrim, LeavesNonWhiteSpaceAlone) {
    EXPECT_EQ(trim_unicode_ws(""), "");
    EXPECT_EQ(trim_unicode_ws(" \xe3\x80\x80 "), "");
    // Information separators are not white space.
    EXPECT_EQ(trim_unicode_ws("\x1c" "a\x1f"), "\x1c" "a\x1f");
    // Zero width space U+200B and U+200C sit just past the white-space range.
    EXPECT_EQ(trim_unicode_ws("\xe2\x80\x8bx\xe2\x80\x8c"), "\xe2\x80\x8bx\xe2\x80\x8c");
    // A trailing multibyte letter whose last byte looks like a white-space tail.
    EXPECT_EQ(trim_unicode_ws("\xc3\x85"), "\xc3\x85");
}
