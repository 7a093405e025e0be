#include "belpic/tekens.h"

#include <cstdint>

namespace belpic {

namespace {

constexpr char32_t kVervanging = 0xFFFD;

bool isVervolg(std::uint8_t b) {
    return (b & 0xC0) == 0x80;
}

// Decodes one character at `positie` and moves past it. An ill-formed part is consumed up to
// the first byte that cannot continue it and gives U+FFFD, so a cut character costs one
// replacement and the byte after it starts afresh.
char32_t volgende(const std::string& tekst, std::size_t& positie) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(tekst[i]); };
    const std::uint8_t eerste = byte(positie++);
    if (eerste < 0x80) {
        return eerste;
    }
    std::size_t vervolg;
    char32_t waarde;
    std::uint8_t laag = 0x80; // the range of the second byte, narrowed where forms overlap
    std::uint8_t hoog = 0xBF;
    if (eerste >= 0xC2 && eerste <= 0xDF) {
        vervolg = 1;
        waarde = eerste & 0x1F;
    } else if (eerste >= 0xE0 && eerste <= 0xEF) {
        vervolg = 2;
        waarde = eerste & 0x0F;
        laag = eerste == 0xE0 ? 0xA0 : 0x80; // over-long
        hoog = eerste == 0xED ? 0x9F : 0xBF; // surrogates
    } else if (eerste >= 0xF0 && eerste <= 0xF4) {
        vervolg = 3;
        waarde = eerste & 0x07;
        laag = eerste == 0xF0 ? 0x90 : 0x80; // over-long
        hoog = eerste == 0xF4 ? 0x8F : 0xBF; // past U+10FFFF
    } else {
        return kVervanging;
    }
    for (std::size_t i = 0; i < vervolg; ++i) {
        if (positie >= tekst.size()) {
            return kVervanging;
        }
        const std::uint8_t b = byte(positie);
        const bool past = i == 0 ? b >= laag && b <= hoog : isVervolg(b);
        if (!past) {
            return kVervanging;
        }
        waarde = waarde << 6 | (b & 0x3F);
        ++positie;
    }
    return waarde;
}

void schrijf(std::string& uit, char32_t c) {
    if (c < 0x80) {
        uit += static_cast<char>(c);
    } else if (c < 0x800) {
        uit += static_cast<char>(0xC0 | c >> 6);
        uit += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        uit += static_cast<char>(0xE0 | c >> 12);
        uit += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        uit += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        uit += static_cast<char>(0xF0 | c >> 18);
        uit += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        uit += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        uit += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool isHoog(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}

bool isLaag(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

std::string geldigUtf8(const std::string& tekst) {
    std::string uit;
    uit.reserve(tekst.size());
    std::size_t positie = 0;
    while (positie < tekst.size()) {
        schrijf(uit, volgende(tekst, positie));
    }
    return uit;
}

std::string utf8Uit16(const std::u16string& tekst) {
    std::string uit;
    for (std::size_t i = 0; i < tekst.size(); ++i) {
        const char16_t c = tekst[i];
        if (isHoog(c) && i + 1 < tekst.size() && isLaag(tekst[i + 1])) {
            schrijf(uit, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                             (static_cast<char32_t>(tekst[i + 1]) - 0xDC00));
            ++i;
        } else if (isHoog(c) || isLaag(c)) {
            schrijf(uit, kVervanging);
        } else {
            schrijf(uit, c);
        }
    }
    return uit;
}

std::u16string utf16Uit8(const std::string& tekst) {
    std::u16string uit;
    std::size_t positie = 0;
    while (positie < tekst.size()) {
        const char32_t c = volgende(tekst, positie);
        if (c >= 0x10000) {
            uit += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            uit += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            uit += static_cast<char16_t>(c);
        }
    }
    return uit;
}

} // namespace belpic
