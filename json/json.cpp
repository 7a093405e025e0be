#include "json/json.h"

#include "belpic/tekens.h"
#include "json/base64.h"

#include <array>
#include <cstddef>

namespace belpic {

namespace {

// For each byte, the character written after a backslash: 'u' for the six-character \u00XX
// form, 0 for a byte that is written as it is. Everything from 0x20 up passes through except
// the quote and the backslash; UTF-8 is never decoded.
constexpr std::array<char, 256> kEscapes = [] {
    std::array<char, 256> tabel{};
    for (int byte = 0; byte < 0x20; ++byte)
        tabel[byte] = 'u';
    tabel['"'] = '"';
    tabel['\\'] = '\\';
    tabel['\n'] = 'n';
    tabel['\r'] = 'r';
    tabel['\t'] = 't';
    return tabel;
}();

constexpr char kHex[] = "0123456789ABCDEF";

// One member line: `  "key": "value",` and a line feed, without the comma for the last member.
void veld(std::string& document, const char* key, const std::string& value, bool last) {
    document += "  \"";
    document += key;
    document += "\": \"";
    document += jsonTekst(value);
    document += last ? "\"\n" : "\",\n";
}

const char* kaartTekst(KaartStand kaart) {
    switch (kaart) {
    case KaartStand::leeg:
        return "empty";
    case KaartStand::stom:
        return "mute";
    case KaartStand::exclusief:
        return "exclusive";
    case KaartStand::aanwezig:
        break;
    }
    return "present";
}

// One reader on a line of its own: `    {"name": "...", "card": "...", "atr": "..."}`.
void lezer(std::string& document, const Lezer& l, bool last) {
    document += "    {\"name\": \"";
    document += jsonTekst(l.naam);
    document += "\", \"card\": \"";
    document += kaartTekst(l.kaart);
    document += "\", \"atr\": \"";
    document += hexTekst(l.atr);
    document += last ? "\"}\n" : "\"},\n";
}

} // namespace

std::string jsonTekst(const std::string& waarde) {
    std::string tekst;
    tekst.reserve(waarde.size() + 8);
    // Bytes that pass through are copied in runs, up to the next byte that needs escaping.
    std::size_t run = 0;
    for (std::size_t i = 0; i < waarde.size(); ++i) {
        const unsigned char byte = waarde[i];
        const char escape = kEscapes[byte];
        if (escape == 0)
            continue;
        tekst.append(waarde, run, i - run);
        if (escape == 'u') {
            const char vorm[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
            tekst.append(vorm, sizeof vorm);
        } else {
            const char vorm[] = {'\\', escape};
            tekst.append(vorm, sizeof vorm);
        }
        run = i + 1;
    }
    tekst.append(waarde, run, waarde.size() - run);
    return tekst;
}

std::string alsJson(const Gegevens& gegevens) {
    std::string document = "{\n";
    veld(document, "error", "", gegevens.empty());
    for (const Waarde& waarde : gegevens) {
        const bool last = &waarde == &gegevens.back();
        if (waarde.veld->vorm == Vorm::geheel) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(waarde.inhoud.data());
            veld(document, waarde.veld->naam, base64(bytes, waarde.inhoud.size()), last);
        } else {
            veld(document, waarde.veld->naam, waarde.inhoud, last);
        }
    }
    document += '}';
    return document;
}

std::string foutAlsJson(const std::string& melding, const std::string& detail) {
    std::string document = "{\n";
    veld(document, "error", melding, false);
    veld(document, "errorDetail", detail, true);
    document += '}';
    return document;
}

std::string lezerAlsJson(const std::string& lezer) {
    std::string document = "{\n";
    veld(document, "error", "", false);
    veld(document, "reader", lezer, true);
    document += '}';
    return document;
}

std::string metLezer(std::string document, const std::string& lezer) {
    document.resize(document.size() - 2); // the last member's line feed, and the brace
    document += ",\n";
    veld(document, "reader", lezer, true);
    document += '}';
    return document;
}

std::string geslaagdAlsJson() {
    std::string document = "{\n";
    veld(document, "error", "", true);
    document += '}';
    return document;
}

std::string lezersAlsJson(const std::vector<Lezer>& lezers) {
    std::string document = "{\n";
    veld(document, "error", "", false);
    if (lezers.empty()) {
        document += "  \"readers\": []\n}";
        return document;
    }
    document += "  \"readers\": [\n";
    for (std::size_t i = 0; i < lezers.size(); ++i) {
        lezer(document, lezers[i], i + 1 == lezers.size());
    }
    document += "  ]\n}";
    return document;
}

} // namespace belpic
