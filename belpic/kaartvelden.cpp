#include "belpic/kaartvelden.h"

#include <algorithm>
#include <iterator>

namespace belpic {

namespace {

// Every field once. EID_Read's document is the first thirteen rows, in its order; the others
// are kept as the card stores them: no mapping of codes, no translation.
constexpr Kaartveld kKaartvelden[] = {
    {"cardNumber", Bestand::identiteit, 0x01, Vorm::tekst},
    {"surname", Bestand::identiteit, 0x07, Vorm::tekst},
    {"givenNames", Bestand::identiteit, 0x08, Vorm::tekst},
    {"dateOfBirth", Bestand::identiteit, 0x0C, Vorm::datum},
    {"placeOfBirth", Bestand::identiteit, 0x0B, Vorm::tekst},
    {"gender", Bestand::identiteit, 0x0D, Vorm::tekst},
    {"nationality", Bestand::identiteit, 0x0A, Vorm::tekst},
    {"validUntil", Bestand::identiteit, 0x04, Vorm::tekst},
    {"nationalNumber", Bestand::identiteit, 0x06, Vorm::tekst},
    {"street", Bestand::adres, 0x01, Vorm::straat},
    {"postalCode", Bestand::adres, 0x02, Vorm::tekst},
    {"municipality", Bestand::adres, 0x03, Vorm::tekst},
    {"photo", Bestand::foto, 0x00, Vorm::geheel},
    {"chipNumber", Bestand::identiteit, 0x02, Vorm::hex},
    {"validFrom", Bestand::identiteit, 0x03, Vorm::tekst},
    {"issuingMunicipality", Bestand::identiteit, 0x05, Vorm::tekst},
    {"thirdGivenNameInitial", Bestand::identiteit, 0x09, Vorm::tekst},
    {"nobleCondition", Bestand::identiteit, 0x0E, Vorm::tekst},
    {"documentType", Bestand::identiteit, 0x0F, Vorm::tekst},
    {"specialStatus", Bestand::identiteit, 0x10, Vorm::tekst},
    {"photoHash", Bestand::identiteit, 0x11, Vorm::hex},
};
constexpr std::size_t kEidRead = 13;

constexpr Bestand kLeesvolgorde[] = {Bestand::identiteit, Bestand::adres, Bestand::foto};

constexpr char kScheiders[] = "\r\n,; \t";

// The files of `velden`, in reading order.
Vraag vraagVoor(std::vector<const Kaartveld*> velden) {
    Vraag vraag;
    for (const Bestand bestand : kLeesvolgorde) {
        if (std::any_of(velden.begin(), velden.end(),
                        [&](const Kaartveld* veld) { return veld->bestand == bestand; })) {
            vraag.bestanden.push_back(bestand);
        }
    }
    vraag.velden = std::move(velden);
    return vraag;
}

char klein(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool zelfdeNaam(const std::string& naam, const char* veld) {
    const std::size_t lengte = std::char_traits<char>::length(veld);
    return naam.size() == lengte && std::equal(naam.begin(), naam.end(), veld,
                                               [](char a, char b) { return klein(a) == klein(b); });
}

const Kaartveld* genaamd(const std::string& naam) {
    const auto veld = std::find_if(std::begin(kKaartvelden), std::end(kKaartvelden),
                                   [&](const Kaartveld& v) { return zelfdeNaam(naam, v.naam); });
    return veld == std::end(kKaartvelden) ? nullptr : veld;
}

} // namespace

Vraag volledigeVraag(bool metFoto) {
    std::vector<const Kaartveld*> velden;
    for (std::size_t i = 0; i < kEidRead; ++i) {
        velden.push_back(&kKaartvelden[i]);
    }
    Vraag vraag = vraagVoor(std::move(velden));
    if (!metFoto) {
        vraag.bestanden.erase(
            std::remove(vraag.bestanden.begin(), vraag.bestanden.end(), Bestand::foto),
            vraag.bestanden.end());
    }
    return vraag;
}

Vraag vraagNaar(const std::string& lijst, Fout& fout) {
    fout = Fout{};
    std::vector<const Kaartveld*> velden;
    std::size_t begin = lijst.find_first_not_of(kScheiders);
    while (begin != std::string::npos) {
        const std::size_t einde = std::min(lijst.find_first_of(kScheiders, begin), lijst.size());
        const std::string naam = lijst.substr(begin, einde - begin);
        const Kaartveld* veld = genaamd(naam);
        if (veld == nullptr) {
            fout = Fout{verkeerdeVraag, Melding::onbekendVeld, naam, ""};
            return {};
        }
        if (std::find(velden.begin(), velden.end(), veld) == velden.end()) {
            velden.push_back(veld);
        }
        begin = lijst.find_first_not_of(kScheiders, einde);
    }
    if (velden.empty()) {
        fout = Fout{verkeerdeVraag, Melding::geenVelden, "", ""};
        return {};
    }
    return vraagVoor(std::move(velden));
}

} // namespace belpic
