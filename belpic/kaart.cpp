#include "belpic/kaart.h"

#include "belpic/pcsc.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

namespace belpic {

namespace {

constexpr auto kWacht = std::chrono::milliseconds(200);
constexpr int kPogingen = 2;
constexpr DWORD kOntvangLengte = 258; // 256 data bytes and the status word

constexpr const char* kGeenLezer = "No card reader connected.";
constexpr const char* kDienstZwijgt = "The smart card service is not responding.";
constexpr const char* kKaartZwijgt =
    "The card does not respond. If this card was just read successfully, take it out and put "
    "it back. Otherwise turn it over -- on the newer Belgian eID the chip is on the back -- and "
    "insert it all the way.";

void slaap(std::chrono::milliseconds duur) {
    std::this_thread::sleep_for(duur);
}

std::atomic<Pauze> gPauze{slaap};

// --- From PC/SC return codes to outcomes --------------------------------------------------------

// Where in the conversation the service answered.
enum Stap : unsigned {
    kContext = 1,   // SCardEstablishContext
    kLengte = 2,    // the first SCardListReaders, asking for the list's length
    kLijst = 4,     // the second SCardListReaders, filling the buffer
    kVerbinden = 8, // SCardConnect and SCardBeginTransaction
    kZenden = 16,   // SCardTransmit
};

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

// Every PC/SC failure of the core, the first matching row wins. "No reader" from lezers is an
// empty list with the Fout clear; from verbind it is the error geenLezer.
constexpr Regel kRegels[] = {
    {kContext, pcsc::geenDienstIsGeenLezer, geenLezer, kGeenLezer, Vorm::leeg},
    {kContext, elke, kaartDienst, kDienstZwijgt, Vorm::functieEnCode},
    {kLengte, geenLezersGemeld, geenLezer, kGeenLezer, Vorm::leeg},
    {kLengte | kLijst, lijstFoutIsGeenLezer, geenLezer, kGeenLezer, Vorm::leeg},
    {kLengte | kLijst, elke, kaartDienst, kDienstZwijgt, Vorm::functieEnCode},
    {kVerbinden, geenKaartGemeld, geenKaart, "There is no card in the reader.", Vorm::code},
    {kVerbinden, zwijgtGemeld, kaartZwijgt, kKaartZwijgt, Vorm::code},
    {kVerbinden, elke, geenVerbinding, "Could not connect to reader {lezer}.", Vorm::functieEnCode},
    {kZenden, elke, kaartDienst, "The command did not reach the card.", Vorm::functieEnCode},
};

std::string codeTekst(LONG code) {
    char tekst[32];
    std::snprintf(tekst, sizeof tekst, "0x%08lX", static_cast<unsigned long>(pcsc::laag32(code)));
    return tekst;
}

void zet(Fout& fout, std::int32_t code, std::string melding, std::string detail) {
    fout.code = code;
    fout.melding = std::move(melding);
    fout.detail = std::move(detail);
}

// Fills `fout` for a failing `code` that `functie` answered at `stap`.
void meld(Fout& fout, Stap stap, const char* functie, LONG code, const std::string& lezer = "") {
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

// --- Helpers ---------------------------------------------------------------------------------

std::int64_t maakContext(Fout& fout) {
    SCARDCONTEXT context = 0;
    const LONG code = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (code != SCARD_S_SUCCESS) {
        meld(fout, kContext, "SCardEstablishContext", code);
        return 0;
    }
    return static_cast<std::int64_t>(context);
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

const char* const kVerbindFunctie = "SCardConnect";
const char* const kBeginFunctie = "SCardBeginTransaction";

struct Poging {
    LONG code;
    const char* functie; // the call that answered last
};

// Whether a failed attempt to take the card is worth one more after a pause: a card still
// waking up, or one that another party reset (or, at our transaction, re-powered) before we
// held it.
bool nogEens(const Poging& poging) {
    return poging.code == SCARD_W_UNRESPONSIVE_CARD || poging.code == SCARD_W_RESET_CARD ||
           (poging.functie == kBeginFunctie && pcsc::kaartVerstoord(poging.code));
}

// One attempt: connect shared, then hold the card for this conversation alone. The card is
// shared: without a transaction another program's commands could come between a SELECT FILE
// and its READ BINARYs, and the read would take that program's file for ours. A handle whose
// transaction did not begin is let go at once.
Poging neemKaart(SCARDCONTEXT context, const std::string& naam, SCARDHANDLE& handvat,
                 DWORD& actief) {
    LONG code = pcsc::verbindKaart(context, naam, SCARD_SHARE_SHARED,
                                   SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handvat, &actief);
    if (code != SCARD_S_SUCCESS) {
        return {code, kVerbindFunctie};
    }
    code = SCardBeginTransaction(handvat);
    if (code != SCARD_S_SUCCESS) {
        SCardDisconnect(handvat, SCARD_LEAVE_CARD);
    }
    return {code, kBeginFunctie};
}

} // namespace

Pauze zetPauze(Pauze pauze) {
    return gPauze.exchange(pauze);
}

void Context::sluit() {
    if (handvat != 0) {
        SCardReleaseContext(static_cast<SCARDCONTEXT>(handvat));
        handvat = 0;
    }
}

bool Transactie::sluit() {
    if (handvat == 0) {
        return false;
    }
    const SCARDHANDLE kaart = static_cast<SCARDHANDLE>(handvat);
    handvat = 0;
    const LONG einde = SCardEndTransaction(kaart, pcsc::kAfsluiting.transactie);
    SCardDisconnect(kaart, pcsc::kAfsluiting.verbinding);
    return pcsc::kaartVerstoord(einde);
}

std::vector<std::string> Kaart::lezers(Fout& fout) {
    fout = Fout{};
    const Context context(maakContext(fout));
    if (context.handvat == 0) {
        if (fout.code == geenLezer) {
            fout = Fout{};
        }
        return {};
    }
    const SCARDCONTEXT handvat = static_cast<SCARDCONTEXT>(context.handvat);
    DWORD lengte = 0;
    LONG code = pcsc::lijstLezers(handvat, nullptr, &lengte);
    Stap stap = kLengte;
    std::vector<pcsc::Teken> buffer;
    if (code == SCARD_S_SUCCESS && lengte > 0) {
        buffer.assign(lengte, pcsc::Teken{0});
        code = pcsc::lijstLezers(handvat, buffer.data(), &lengte);
        stap = kLijst;
    }
    if (code != SCARD_S_SUCCESS) {
        meld(fout, stap, "SCardListReaders", code);
        if (fout.code == geenLezer) {
            fout = Fout{};
        }
        return {};
    }
    return namenUit(buffer, lengte);
}

bool Kaart::verbind(const std::string& lezer, Fout& fout) {
    fout = Fout{};
    verbreek();
    verstoord_ = false;
    context.handvat = maakContext(fout);
    if (context.handvat == 0) {
        return false;
    }

    std::string naam = lezer;
    if (naam.empty()) {
        // Where a failing list means "no reader", so does any failure to list.
        Fout lijstFout;
        std::vector<std::string> namen = lezers(lijstFout);
        if (!pcsc::kLijstFoutIsGeenLezer && lijstFout.code != geenFout) {
            fout = std::move(lijstFout);
            return false;
        }
        if (namen.empty()) {
            zet(fout, geenLezer, kGeenLezer, "");
            return false;
        }
        naam = std::move(namen.front());
    }

    SCARDHANDLE handvat = 0;
    DWORD actief = 0;
    Poging poging{SCARD_S_SUCCESS, nullptr};
    for (int n = 1; n <= kPogingen; ++n) {
        poging = neemKaart(static_cast<SCARDCONTEXT>(context.handvat), naam, handvat, actief);
        if (!nogEens(poging)) {
            break;
        }
        gPauze.load()(kWacht);
    }
    if (poging.code != SCARD_S_SUCCESS) {
        meld(fout, kVerbinden, poging.functie, poging.code, naam);
        return false;
    }
    transactie.handvat = static_cast<std::int64_t>(handvat);
    protocol = static_cast<std::uint32_t>(actief);
    return true;
}

Bytes Kaart::stuur(const Bytes& apdu, Fout& fout) {
    fout = Fout{};
    if (transactie.handvat == 0) {
        zet(fout, geenVerbinding, "No open connection to the card.", "");
        return {};
    }
    SCARD_IO_REQUEST zend{};
    zend.dwProtocol = protocol;
    zend.cbPciLength = sizeof(SCARD_IO_REQUEST);
    BYTE antwoord[kOntvangLengte];
    DWORD lengte = kOntvangLengte;
    const LONG code =
        SCardTransmit(static_cast<SCARDHANDLE>(transactie.handvat), &zend, apdu.data(),
                      static_cast<DWORD>(apdu.size()), nullptr, antwoord, &lengte);
    if (code != SCARD_S_SUCCESS) {
        verstoord_ = verstoord_ || pcsc::kaartVerstoord(code);
        meld(fout, kZenden, "SCardTransmit", code);
        return {};
    }
    return Bytes(antwoord, antwoord + std::min<DWORD>(lengte, kOntvangLengte));
}

void Kaart::verbreek() {
    if (transactie.sluit()) {
        verstoord_ = true;
    }
    context.sluit();
}

} // namespace belpic
