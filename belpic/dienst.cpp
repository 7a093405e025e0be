#include "belpic/dienst.h"

#include <algorithm>
#include <cstdio>

namespace belpic {

namespace {

enum class Vorm {
    leeg,          // no detail
    code,          // "0x80100069"
    functieEnCode, // "SCardConnect 0x80100009"
};

struct Regel {
    unsigned stappen;
    bool (*past)(LONG code);
    std::int32_t categorie;
    Melding melding;
    bool noemtLezer; // the sentence names the reader
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
// reader" from lezers is an empty list with the Fout clear; from the reads and the waits it is the
// error geenLezer.
constexpr Regel kRegels[] = {
    {kContext | kWachten | kStaat, pcsc::geenDienstIsGeenLezer, geenLezer, Melding::geenLezer,
     false, Vorm::leeg},
    {kLengte, geenLezersGemeld, geenFout, Melding::geen, false, Vorm::leeg}, // an empty list
    {kLengte | kLijst, lijstFoutIsGeenLezer, geenLezer, Melding::geenLezer, false, Vorm::leeg},
    {kVerbinden, geenKaartGemeld, geenKaart, Melding::geenKaart, false, Vorm::code},
    {kVerbinden, zwijgtGemeld, kaartZwijgt, Melding::kaartZwijgt, false, Vorm::code},
    {kVerbinden, elke, geenVerbinding, Melding::geenVerbinding, true, Vorm::functieEnCode},
    {kZenden, elke, kaartDienst, Melding::nietBereikt, false, Vorm::functieEnCode},
    {kWachten, onbekendeLezerGemeld, geenLezer, Melding::onbekendeLezer, true, Vorm::leeg},
    {kContext | kLengte | kLijst | kWachten | kStaat, elke, kaartDienst, Melding::dienstZwijgt,
     false, Vorm::functieEnCode},
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

void zet(Fout& fout, std::int32_t code, Melding melding, std::string detail, std::string argument) {
    fout.code = code;
    fout.melding = melding;
    fout.argument = std::move(argument);
    fout.detail = std::move(detail);
}

void meld(Fout& fout, Stap stap, const char* functie, LONG code, const std::string& lezer) {
    for (const Regel& regel : kRegels) {
        if ((regel.stappen & stap) == 0 || !regel.past(code)) {
            continue;
        }
        std::string detail;
        switch (regel.vorm) {
        case Vorm::leeg:
            break;
        case Vorm::code:
            detail = codeTekst(code);
            break;
        case Vorm::functieEnCode:
            detail = std::string(functie) + " " + codeTekst(code);
            break;
        }
        zet(fout, regel.categorie, regel.melding, std::move(detail),
            regel.noemtLezer ? lezer : std::string());
        return;
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
