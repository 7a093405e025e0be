// The result encoders on any field bytes.
//
// Whatever the bytes, both documents of EID_Read keep their shape: sixteen or four lines, no raw
// control byte inside a value. When every field is valid UTF-8 a strict JSON parser reads the
// document back, member for member in order, and the photo's base64 decodes back to its bytes.
#include "json/json.h"
#include "json/base64.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

void eis(bool waar, const char* wat) {
    if (!waar) {
        std::fprintf(stderr, "violated: %s\n", wat);
        std::abort();
    }
}

// Well-formed UTF-8 as RFC 3629 has it: shortest forms, no surrogates, nothing past U+10FFFF.
bool utf8(const std::string& tekst) {
    std::size_t i = 0;
    while (i < tekst.size()) {
        const auto b = static_cast<unsigned char>(tekst[i]);
        std::size_t volg = 0;
        unsigned long punt = 0;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            volg = 1, punt = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            volg = 2, punt = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            volg = 3, punt = b & 0x07;
        } else {
            return false;
        }
        if (tekst.size() - i - 1 < volg) {
            return false;
        }
        for (std::size_t k = 1; k <= volg; ++k) {
            const auto c = static_cast<unsigned char>(tekst[i + k]);
            if ((c & 0xC0) != 0x80) {
                return false;
            }
            punt = punt << 6 | (c & 0x3F);
        }
        const unsigned long kleinste[] = {0, 0x80, 0x800, 0x10000};
        if (punt < kleinste[volg] || punt > 0x10FFFF || (punt >= 0xD800 && punt <= 0xDFFF)) {
            return false;
        }
        i += volg + 1;
    }
    return true;
}

std::vector<std::uint8_t> terugUitBase64(const std::string& tekst) {
    const std::string alfabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    eis(tekst.size() % 4 == 0, "base64 comes in groups of four");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < tekst.size(); i += 4) {
        unsigned long groep = 0;
        int opvulling = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = tekst[i + k];
            if (c == '=') {
                eis(i + 4 == tekst.size() && k >= 2, "padding only at the end");
                ++opvulling;
                groep <<= 6;
                continue;
            }
            eis(opvulling == 0, "nothing after padding");
            const auto positie = alfabet.find(c);
            eis(c != '\0' && positie != std::string::npos, "base64 alphabet only");
            groep = groep << 6 | positie;
        }
        bytes.push_back(static_cast<std::uint8_t>(groep >> 16));
        if (opvulling < 2) {
            bytes.push_back(static_cast<std::uint8_t>(groep >> 8));
        }
        if (opvulling < 1) {
            bytes.push_back(static_cast<std::uint8_t>(groep));
        }
    }
    return bytes;
}

// The shape of a document whatever the bytes: one member a line, no control byte in a value.
void vorm(const std::string& document, std::size_t leden) {
    eis(document.rfind("{\n", 0) == 0 && document.back() == '}', "braces");
    eis(static_cast<std::size_t>(std::count(document.begin(), document.end(), '\n')) == leden + 1,
        "one line per member");
    for (char c : document) {
        eis(static_cast<unsigned char>(c) >= 0x20 || c == '\n', "no raw control byte");
    }
}

// Read back strictly, in order; every value must be the field it came from.
void leesTerug(const std::string& document,
               const std::vector<std::pair<const char*, std::string>>& verwacht) {
    const auto gelezen = nlohmann::ordered_json::parse(document);
    eis(gelezen.is_object() && gelezen.size() == verwacht.size(), "the members");
    std::size_t i = 0;
    for (const auto& [sleutel, waarde] : gelezen.items()) {
        eis(sleutel == verwacht[i].first, "member order");
        eis(waarde.is_string() && waarde.get<std::string>() == verwacht[i].second, "the value");
        ++i;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider invoer(data, size);
    // EID_Read's record: twelve texts, then the photo's bytes.
    const belpic::Vraag vraag = belpic::volledigeVraag();
    belpic::Gegevens g;
    for (const belpic::Kaartveld* veld : vraag.velden) {
        g.push_back({veld, veld->vorm == belpic::Vorm::geheel
                               ? std::string()
                               : invoer.ConsumeRandomLengthString(64)});
    }
    const std::string melding = invoer.ConsumeRandomLengthString(64);
    const std::string detail = invoer.ConsumeRandomLengthString(64);
    const std::vector<std::uint8_t> beeld = invoer.ConsumeRemainingBytes<std::uint8_t>();
    g.back().inhoud.assign(beeld.begin(), beeld.end());

    const std::string foto = belpic::base64(beeld);
    eis(foto.size() == (beeld.size() + 2) / 3 * 4, "base64 length");
    eis(terugUitBase64(foto) == beeld, "base64 decodes back");

    const std::string kaart = belpic::alsJson(g);
    vorm(kaart, 14);
    const std::string foutDocument = belpic::foutAlsJson(melding, detail);
    vorm(foutDocument, 2);

    bool alleGeldig = true;
    std::vector<std::pair<const char*, std::string>> verwacht = {{"error", ""}};
    for (const belpic::Waarde& waarde : g) {
        const bool isFoto = waarde.veld->vorm == belpic::Vorm::geheel;
        verwacht.emplace_back(waarde.veld->naam, isFoto ? foto : waarde.inhoud);
        if (isFoto) {
            continue;
        }
        alleGeldig = alleGeldig && utf8(waarde.inhoud);
        if (utf8(waarde.inhoud)) {
            eis(nlohmann::json::parse("\"" + belpic::jsonTekst(waarde.inhoud) + "\"")
                        .get<std::string>() == waarde.inhoud,
                "an escaped value reads back");
        }
    }
    if (alleGeldig) {
        leesTerug(kaart, verwacht);
    }
    if (utf8(melding) && utf8(detail)) {
        leesTerug(foutDocument, {{"error", melding}, {"errorDetail", detail}});
    }
    return 0;
}
