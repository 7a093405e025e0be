#include "belpic/bestand.h"

#include <algorithm>
#include <cstdio>

namespace belpic {

namespace {

// From this offset on the top bit of P1 would no longer be part of the offset.
constexpr std::uint32_t kGrens = 0x8000;
constexpr std::uint8_t kVolleLe = 0xFF; // the largest exact short length; 0x00 would ask for 256

Bytes selecteer(const Bytes& pad) {
    Bytes opdracht{0x00, 0xA4, 0x08, 0x0C, static_cast<std::uint8_t>(pad.size())};
    opdracht.resize(5 + pad.size());
    std::copy(pad.begin(), pad.end(), opdracht.begin() + 5);
    return opdracht;
}

Bytes leesBinair(std::uint32_t offset, std::uint8_t le) {
    return {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
            le};
}

// The two status bytes that close every response.
struct Statuswoord {
    std::uint8_t sw1;
    std::uint8_t sw2;

    constexpr bool operator==(const Statuswoord& ander) const {
        return sw1 == ander.sw1 && sw2 == ander.sw2;
    }

    std::string tekst() const {
        char tekst[8];
        std::snprintf(tekst, sizeof tekst, "%02X%02X", sw1, sw2);
        return tekst;
    }
};

// Status words of ISO 7816-4 that the reader tells apart.
constexpr Statuswoord kGelukt{0x90, 0x00};
constexpr std::uint8_t kVoorbijEinde = 0x6B;     // SW1: the offset lies past the end of the file
constexpr std::uint8_t kAndereLengte = 0x6C;     // SW1: ask again with SW2 as the length
constexpr Statuswoord kEindeBereikt{0x62, 0x82}; // the file ended before Le bytes

// Only for a response of two bytes or more.
Statuswoord statuswoord(const Bytes& antwoord) {
    return {antwoord[antwoord.size() - 2], antwoord.back()};
}

std::string grensBereikt(std::uint32_t offset) {
    char tekst[64];
    std::snprintf(tekst, sizeof tekst, "File not ended before offset 0x%04lX; stopped at 0x%04lX",
                  static_cast<unsigned long>(kGrens), static_cast<unsigned long>(offset));
    return tekst;
}

} // namespace

bool kies(Kaart& kaart, const Bytes& pad, Fout& fout) {
    fout = Fout{};
    const Bytes antwoord = kaart.stuur(selecteer(pad), fout);
    if (fout.code != geenFout) {
        return false;
    }
    if (antwoord.size() < 2) {
        fout = Fout{kaartBestand, Melding::onvolledig, "", ""};
        return false;
    }
    if (!(statuswoord(antwoord) == kGelukt)) {
        fout = Fout{kaartBestand, Melding::geenBestand, "", statuswoord(antwoord).tekst()};
        return false;
    }
    return true;
}

Bytes leesBestand(Kaart& kaart, const Bytes& pad, Fout& fout) {
    return kies(kaart, pad, fout) ? leesGekozen(kaart, fout) : Bytes{};
}

Bytes leesGekozen(Kaart& kaart, Fout& fout) {
    fout = Fout{};
    Bytes antwoord;
    Bytes bestand;
    std::uint32_t offset = 0;
    std::uint8_t le = kVolleLe;
    bool herlezing = false; // this read repeats one that the card answered with 6Cxx
    for (;;) {
        if (offset >= kGrens) {
            fout = Fout{kaartBestand, Melding::leesFout, "", grensBereikt(offset)};
            return bestand;
        }
        antwoord = kaart.stuur(leesBinair(offset, le), fout);
        if (fout.code != geenFout) {
            return bestand;
        }
        if (antwoord.size() < 2) {
            fout = Fout{kaartBestand, Melding::onvolledig, "", ""};
            return bestand;
        }
        const Statuswoord sw = statuswoord(antwoord);
        if (sw.sw1 == kVoorbijEinde) {
            return bestand;
        }
        // A card that keeps correcting the length would hold the same offset for ever: one
        // correction per offset, and never to the length that was just asked for.
        if (sw.sw1 == kAndereLengte && sw.sw2 != 0x00 && !herlezing && sw.sw2 != le) {
            le = sw.sw2;
            herlezing = true;
            continue;
        }
        const bool einde = sw == kEindeBereikt;
        if (sw == kGelukt || einde) {
            const std::size_t aantal = antwoord.size() - 2;
            bestand.insert(bestand.end(), antwoord.begin(), antwoord.end() - 2);
            offset += static_cast<std::uint32_t>(aantal);
            if (einde || aantal < le) {
                return bestand;
            }
            herlezing = false;
            continue;
        }
        fout = Fout{kaartBestand, Melding::leesFout, "", sw.tekst()};
        return bestand;
    }
}

Bytes bestandIdentiteit() {
    return {0x3F, 0x00, 0xDF, 0x01, 0x40, 0x31};
}

Bytes bestandAdres() {
    return {0x3F, 0x00, 0xDF, 0x01, 0x40, 0x33};
}

Bytes bestandFoto() {
    return {0x3F, 0x00, 0xDF, 0x01, 0x40, 0x35};
}

Bytes pad(Bestand bestand) {
    constexpr Bytes (*kPaden[])() = {bestandIdentiteit, bestandAdres, bestandFoto};
    return kPaden[static_cast<std::size_t>(bestand)]();
}

} // namespace belpic
