#include "belpic/dienst.h"

#include <algorithm>
#include <cstdio>

namespace belpic {

namespace {

constexpr const char* kDienstZwijgt = "The smart card service is not responding.";
constexpr const char* kKaartZwijgt =
    "The card does not respond. If this card was just read successfully, take it out and put "
    "it back. Otherwise turn it over -- on the newer Belgian eID the chip is on the back -- and "
    "insert it all the way.";

enum class Vorm {
    leeg,          // no detail
    code,          // "0x80100069"
    functieEnCode, // "SCardConnect 0x80100009"
};

struct Regel {
    unsigned stappen;
    bool (*past)(LONG code);
    std::int32_t categorie;
    const char* melding; // "{lezer}" stands for the reader's name
    Vorm vorm;
};

bool elke(LONG) {
    return true;
}

bool geenLezersGemeld(LONG code) {
    return code == SCARD_E_NO_READERS_AVAILABLE;
}

bool lijstFoutIsGeenLezer(LONG) {
    return pcsc::kLijstFoutIsGeenLezer;
}

bool geenKaartGemeld(LONG code) {
    return code == SCARD_E_NO_SMARTCARD || code == SCARD_W_REMOVED_CARD;
}

bool zwijgtGemeld(LONG code) {
    return code == SCARD_W_UNRESPONSIVE_CARD || code == SCARD_E_PROTO_MISMATCH;
}

bool onbekendeLezerGemeld(LONG code) {
    return code == SCARD_E_UNKNOWN_READER;
}

// Every answer of the service that the core tells apart, the first matching row wins. "No
// reader" from lezers is an empty list with the Fout clear; from verbind and the waits it is the
// error geenLezer.
constexpr Regel kRegels[] = {
    {kContext | kWachten, pcsc::geenDienstIsGeenLezer, geenLezer, kGeenLezer, Vorm::leeg},
    {kLengte, geenLezersGemeld, geenFout, "", Vorm::leeg}, // an empty list, not a failure
    {kLengte | kLijst, lijstFoutIsGeenLezer, geenLezer, kGeenLezer, Vorm::leeg},
    {kVerbinden, geenKaartGemeld, geenKaart, "There is no card in the reader.", Vorm::code},
    {kVerbinden, zwijgtGemeld, kaartZwijgt, kKaartZwijgt, Vorm::code},
    {kVerbinden, elke, geenVerbinding, "Could not connect to reader {lezer}.", Vorm::functieEnCode},
    {kZenden, elke, kaartDienst, "The command did not reach the card.", Vorm::functieEnCode},
    {kWachten, onbekendeLezerGemeld, geenLezer, "There is no card reader named {lezer}.",
     Vorm::leeg},
    {kContext | kLengte | kLijst | kWachten, elke, kaartDienst, kDienstZwijgt, Vorm::functieEnCode},
};

std::string codeTekst(LONG code) {
    char tekst[32];
    std::snprintf(tekst, sizeof tekst, "0x%08lX", static_cast<unsigned long>(pcsc::laag32(code)));
    return tekst;
}

// Names one after another, each closed by NUL, the list closed by an empty name. Only the
// first `lengte` units are looked at, so a list that lacks its NULs cannot lead past the end.
std::vector<std::string> namenUit(const std::vector<pcsc::Teken>& buffer, std::size_t lengte) {
    std::vector<std::string> namen;
    const pcsc::Teken* positie = buffer.data();
    const pcsc::Teken* const einde = buffer.data() + std::min(lengte, buffer.size());
    while (positie < einde && *positie != 0) {
        const pcsc::Teken* naamEinde = std::find(positie, einde, pcsc::Teken{0});
        namen.push_back(pcsc::naamAlsUtf8(positie, naamEinde));
        positie = naamEinde == einde ? einde : naamEinde + 1;
    }
    return namen;
}

} // namespace

void zet(Fout& fout, std::int32_t code, std::string melding, std::string detail) {
    fout.code = code;
    fout.melding = std::move(melding);
    fout.detail = std::move(detail);
}

void meld(Fout& fout, Stap stap, const char* functie, LONG code, const std::string& lezer) {
    for (const Regel& regel : kRegels) {
        if ((regel.stappen & stap) == 0 || !regel.past(code)) {
            continue;
        }
        std::string melding = regel.melding;
        const std::size_t plek = melding.find("{lezer}");
        if (plek != std::string::npos) {
            melding.replace(plek, 7, lezer);
        }
        switch (regel.vorm) {
        case Vorm::leeg:
            zet(fout, regel.categorie, std::move(melding), "");
            return;
        case Vorm::code:
            zet(fout, regel.categorie, std::move(melding), codeTekst(code));
            return;
        case Vorm::functieEnCode:
            zet(fout, regel.categorie, std::move(melding),
                std::string(functie) + " " + codeTekst(code));
            return;
        }
    }
}

std::int64_t maakContext(Fout& fout) {
    SCARDCONTEXT context = 0;
    const LONG code = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (code != SCARD_S_SUCCESS) {
        meld(fout, kContext, "SCardEstablishContext", code);
        return 0;
    }
    return static_cast<std::int64_t>(context);
}

std::vector<std::string> leesLezers(SCARDCONTEXT context, Fout& fout) {
    fout = Fout{};
    DWORD lengte = 0;
    LONG code = pcsc::lijstLezers(context, nullptr, &lengte);
    Stap stap = kLengte;
    std::vector<pcsc::Teken> buffer;
    if (code == SCARD_S_SUCCESS && lengte > 0) {
        buffer.assign(lengte, pcsc::Teken{0});
        code = pcsc::lijstLezers(context, buffer.data(), &lengte);
        stap = kLijst;
    }
    if (code != SCARD_S_SUCCESS) {
        meld(fout, stap, "SCardListReaders", code);
        return {};
    }
    return namenUit(buffer, lengte);
}

} // namespace belpic
