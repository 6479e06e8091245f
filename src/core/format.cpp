#include "core/format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tidemark {

namespace {

// Room for the longest fixed-notation double: the smallest subnormal written
// out in full needs 327 characters.
constexpr std::size_t kBufSize = 512;

// NaN prints without a sign whatever its sign bit; infinities keep theirs.
bool non_finite_text(double v, std::string& out) {
    if (std::isnan(v)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(v)) {
        out = v < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

std::string fmt_shortest(double v) {
    std::string out;
    if (non_finite_text(v, out)) return out;
    char buf[kBufSize];
    auto res = std::to_chars(buf, buf + kBufSize, v, std::chars_format::fixed);
    return std::string(buf, res.ptr);
}

std::string fmt_debug(double v) {
    std::string out;
    if (non_finite_text(v, out)) return out;
    char buf[kBufSize];
    const double mag = std::fabs(v);
    if (mag >= 1e16 || (mag != 0.0 && mag < 1e-4)) {
        // to_chars writes "1.5e-07" / "1e+16"; the printed form has neither the
        // plus sign nor the zero padding of the exponent.
        auto res = std::to_chars(buf, buf + kBufSize, v, std::chars_format::scientific);
        char* e = static_cast<char*>(std::memchr(buf, 'e', static_cast<std::size_t>(res.ptr - buf)));
        out.assign(buf, e + 1);
        const char* p = e + 1;
        if (*p == '-') out.push_back(*p++);
        else if (*p == '+') ++p;
        while (p + 1 < res.ptr && *p == '0') ++p;
        out.append(p, static_cast<std::size_t>(res.ptr - p));
        return out;
    }
    auto res = std::to_chars(buf, buf + kBufSize, v, std::chars_format::fixed);
    out.assign(buf, res.ptr);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

std::string fmt_fixed(double v, int decimals) {
    std::string out;
    if (non_finite_text(v, out)) return out;
    if (decimals < 0) decimals = 0;
    // glibc's printf rounds on the exact binary value under the current
    // (round-to-nearest-even) mode, which is the rounding wanted here.
    const int len = std::snprintf(nullptr, 0, "%.*f", decimals, v);
    out.resize(static_cast<std::size_t>(len));
    std::snprintf(out.data(), out.size() + 1, "%.*f", decimals, v);
    return out;
}

std::string escape_text(std::string_view s, char quote) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u{";
                    if (c >= 0x10) out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xf]);
                    out.push_back('}');
                } else {
                    if (ch == quote) out.push_back('\\');
                    out.push_back(ch);
                }
        }
    }
    return out;
}

std::string debug_quote(std::string_view s) { return '"' + escape_text(s, '"') + '"'; }

namespace {

// Byte length of the White_Space code point starting at s[i], or 0.
std::size_t ws_at(std::string_view s, std::size_t i) {
    const std::size_t left = s.size() - i;
    const auto b0 = static_cast<unsigned char>(s[i]);
    if ((b0 >= 0x09 && b0 <= 0x0d) || b0 == 0x20) return 1;
    if (left >= 2 && b0 == 0xc2) {
        const auto b1 = static_cast<unsigned char>(s[i + 1]);
        return (b1 == 0x85 || b1 == 0xa0) ? 2 : 0;
    }
    if (left < 3) return 0;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    const auto b2 = static_cast<unsigned char>(s[i + 2]);
    switch (b0) {
        case 0xe1:  // U+1680
            return (b1 == 0x9a && b2 == 0x80) ? 3 : 0;
        case 0xe2:
            if (b1 == 0x80) {
                // U+2000..U+200A, U+2028, U+2029, U+202F
                if (b2 <= 0x8a && b2 >= 0x80) return 3;
                if (b2 == 0xa8 || b2 == 0xa9 || b2 == 0xaf) return 3;
                return 0;
            }
            return (b1 == 0x81 && b2 == 0x9f) ? 3 : 0;  // U+205F
        case 0xe3:  // U+3000
            return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;
        default:
            return 0;
    }
}

// Byte length of the White_Space code point ending at s[end - 1], or 0. Every
// candidate is a complete sequence whose first byte cannot be a continuation
// byte, so matching the suffix is enough in valid UTF-8.
std::size_t ws_before(std::string_view s, std::size_t begin, std::size_t end) {
    for (std::size_t len = 1; len <= 3 && len <= end - begin; ++len) {
        if (ws_at(s.substr(0, end), end - len) == len) return len;
    }
    return 0;
}

}  // namespace

std::string_view trim_unicode_ws(std::string_view s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end) {
        const std::size_t n = ws_at(s.substr(0, end), begin);
        if (n == 0) break;
        begin += n;
    }
    while (end > begin) {
        const std::size_t n = ws_before(s, begin, end);
        if (n == 0) break;
        end -= n;
    }
    return s.substr(begin, end - begin);
}

}  // namespace tidemark
