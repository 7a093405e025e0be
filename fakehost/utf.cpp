#include "fakehost/utf.h"
#include "fakehost/fakehost.h"

#include <cstdint>

namespace fakehost {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void appendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
        return;
    }
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
}

std::string utf8Of(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

bool isHigh(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool isLow(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Length and payload bits of a sequence that starts with `lead`, or 0 for a byte that
// cannot start one (a continuation byte, an overlong C0/C1, or F5 and above).
int sequenceLength(std::uint8_t lead, char32_t& bits) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        bits = lead & 0x1F;
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        bits = lead & 0x0F;
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        bits = lead & 0x07;
        return 4;
    }
    return 0;
}

// The second byte's range excludes overlong forms, UTF-16 surrogates and code points past
// U+10FFFF.
bool secondByteFits(std::uint8_t lead, std::uint8_t b) {
    const std::uint8_t low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const std::uint8_t high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    return b >= low && b <= high;
}

} // namespace

// A malformed sequence becomes one U+FFFD for its longest valid beginning.
std::u16string utf16(const std::string& utf8) {
    std::u16string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<std::uint8_t>(utf8[i]);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            ++i;
            continue;
        }
        char32_t c = 0;
        const int length = sequenceLength(lead, c);
        int taken = 1;
        while (taken < length && i + taken < utf8.size()) {
            const auto b = static_cast<std::uint8_t>(utf8[i + taken]);
            const bool fits = taken == 1 ? secondByteFits(lead, b) : (b & 0xC0) == 0x80;
            if (!fits) {
                break;
            }
            c = (c << 6) | (b & 0x3F);
            ++taken;
        }
        if (length == 0 || taken < length) {
            out += kReplacement;
        } else {
            appendUtf16(out, c);
        }
        i += taken;
    }
    return out;
}

std::vector<std::string> utf8Characters(const std::u16string& units) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (isHigh(u) && i + 1 < units.size() && isLow(units[i + 1])) {
            out.push_back(utf8Of(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
            ++i;
        } else if (isHigh(u) || isLow(u)) {
            out.push_back(utf8Of(kReplacement));
        } else {
            out.push_back(utf8Of(u));
        }
    }
    return out;
}

std::string utf8(const std::u16string& utf16) {
    std::string out;
    for (const auto& character : utf8Characters(utf16)) {
        out += character;
    }
    return out;
}

} // namespace fakehost
