#include "pcscfake/kaart.h"

#include <algorithm>

namespace pcscfake {

namespace {

// As a safety net for code that would loop, an endless or correcting file gives up after this
// many reads.
constexpr std::size_t kEindeloosMax = 4096;

// Status words.
const Bytes kGoed = {0x90, 0x00};
const Bytes kVerkeerdeLengte = {0x67, 0x00};
const Bytes kGeenBestandGekozen = {0x69, 0x86};
const Bytes kVerkeerdeParameters = {0x6A, 0x86};
const Bytes kBestandOnbekend = {0x6A, 0x82};
const Bytes kVerkeerdeOffset = {0x6B, 0x00};
const Bytes kOnbekendeInstructie = {0x6D, 0x00};
const Bytes kOnbekendeKlasse = {0x6E, 0x00};

Bytes corrigeerLengte(std::uint8_t le) {
    return {0x6C, le};
}

Bytes leesBinair(Kaart& kaart, const Bytes& apdu) {
    if (apdu.size() != 5) {
        return kVerkeerdeLengte;
    }
    if (!kaart.gekozen) {
        return kGeenBestandGekozen;
    }
    const Bestand& bestand = kaart.bestanden.at(*kaart.gekozen);
    const std::size_t offset = static_cast<std::size_t>(apdu[2]) << 8 | apdu[3];
    const std::size_t le = apdu[4] == 0 ? 256 : apdu[4];
    Bytes uit;
    switch (bestand.soort) {
    case Soort::corrigerend:
        if (++kaart.eindeloosGelezen > kEindeloosMax) {
            return kVerkeerdeOffset;
        }
        return corrigeerLengte(bestand.le);
    case Soort::eindeloos:
        if (++kaart.eindeloosGelezen > kEindeloosMax) {
            return kVerkeerdeOffset;
        }
        for (std::size_t i = 0; i < le; ++i) {
            uit.push_back(static_cast<std::uint8_t>(offset + i));
        }
        break;
    case Soort::gewoon: {
        const Bytes& inhoud = bestand.inhoud;
        if (offset >= inhoud.size()) {
            return kaart.leegAanEinde ? kGoed : kVerkeerdeOffset;
        }
        const std::size_t rest = inhoud.size() - offset;
        if (le > rest && kaart.corrigeer && rest < 256) {
            return corrigeerLengte(static_cast<std::uint8_t>(rest));
        }
        const std::size_t aantal = std::min(le, rest);
        uit.assign(inhoud.begin() + offset, inhoud.begin() + offset + aantal);
        break;
    }
    }
    uit.insert(uit.end(), kGoed.begin(), kGoed.end());
    return uit;
}

Bytes selecteer(Kaart& kaart, const Bytes& apdu) {
    if (apdu.size() < 5 || apdu.size() != 5u + apdu[4]) {
        return kVerkeerdeLengte;
    }
    if (apdu[2] != 0x08 || apdu[3] != 0x0C) {
        return kVerkeerdeParameters;
    }
    const Bytes pad(apdu.begin() + 5, apdu.end());
    if (kaart.bestanden.count(pad) == 0) {
        kaart.gekozen.reset();
        return kBestandOnbekend;
    }
    kaart.gekozen = pad;
    return kGoed;
}

} // namespace

Bytes antwoord(Kaart& kaart, const Bytes& apdu) {
    if (apdu.size() < 4) {
        return kVerkeerdeLengte;
    }
    if (apdu[0] != 0x00) {
        return kOnbekendeKlasse;
    }
    switch (apdu[1]) {
    case 0xA4:
        return selecteer(kaart, apdu);
    case 0xB0:
        return leesBinair(kaart, apdu);
    default:
        return kOnbekendeInstructie;
    }
}

void zetAan(Kaart& kaart) {
    kaart.gekozen.reset();
}

} // namespace pcscfake
