#include "belpic/kaart.h"

#include "belpic/pcsc.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace belpic {

namespace {

constexpr auto kPauze = std::chrono::milliseconds(200);
constexpr int kPogingen = 2;
constexpr DWORD kOntvangLengte = 258; // 256 data bytes and the status word

const char* const kDienstZwijgt = "The smart card service is not responding.";
const char* const kKaartZwijgt =
    "The card does not respond. If this card was just read successfully, take it out and put "
    "it back. Otherwise turn it over -- on the newer Belgian eID the chip is on the back -- and "
    "insert it all the way.";

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

void dienstFout(Fout& fout, const char* functie, LONG code) {
    zet(fout, kaartDienst, kDienstZwijgt, std::string(functie) + " " + codeTekst(code));
}

// Names one after another, each closed by NUL, the list closed by an empty name. Only the
// first `lengte` bytes are looked at, so a list that lacks its NULs cannot lead past the end.
std::vector<std::string> namenUit(const std::vector<char>& buffer, std::size_t lengte) {
    std::vector<std::string> namen;
    const char* positie = buffer.data();
    const char* const einde = buffer.data() + std::min(lengte, buffer.size());
    while (positie < einde && *positie != '\0') {
        const char* naamEinde = std::find(positie, einde, '\0');
        namen.emplace_back(positie, naamEinde);
        positie = naamEinde == einde ? einde : naamEinde + 1;
    }
    return namen;
}

bool zwijgtOfHersteld(LONG code) {
    return code == SCARD_W_UNRESPONSIVE_CARD || code == SCARD_W_RESET_CARD;
}

// One attempt: connect shared, then hold the card for this conversation alone. The card is
// shared: without a transaction another program's commands could come between a SELECT FILE
// and its READ BINARYs, and the read would take that program's file for ours. A handle whose
// transaction did not begin is let go at once. `functie` names the call that answered last.
LONG neemKaart(SCARDCONTEXT context, const std::string& naam, SCARDHANDLE& handvat, DWORD& actief,
               const char*& functie) {
    functie = "SCardConnect";
    LONG code = pcsc::verbindKaart(context, naam.c_str(), SCARD_SHARE_SHARED,
                                   SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handvat, &actief);
    if (code != SCARD_S_SUCCESS) {
        return code;
    }
    functie = "SCardBeginTransaction";
    code = SCardBeginTransaction(handvat);
    if (code != SCARD_S_SUCCESS) {
        SCardDisconnect(handvat, SCARD_LEAVE_CARD);
    }
    return code;
}

} // namespace

Kaart::~Kaart() {
    verbreek();
}

std::vector<std::string> Kaart::lezers(Fout& fout) {
    fout = Fout{};
    SCARDCONTEXT context = 0;
    LONG code = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (code != SCARD_S_SUCCESS) {
        dienstFout(fout, "SCardEstablishContext", code);
        return {};
    }
    struct Vrijgave {
        SCARDCONTEXT context;
        ~Vrijgave() { SCardReleaseContext(context); }
    } vrijgave{context};

    DWORD lengte = 0;
    code = pcsc::lijstLezers(context, nullptr, &lengte);
    if (code == SCARD_E_NO_READERS_AVAILABLE || (code == SCARD_S_SUCCESS && lengte == 0)) {
        return {};
    }
    std::vector<char> buffer;
    if (code == SCARD_S_SUCCESS) {
        buffer.assign(lengte, '\0');
        code = pcsc::lijstLezers(context, buffer.data(), &lengte);
    }
    if (code != SCARD_S_SUCCESS) {
        if constexpr (!pcsc::kWindows) {
            dienstFout(fout, "SCardListReaders", code);
        }
        return {};
    }
    return namenUit(buffer, lengte);
}

bool Kaart::verbind(const std::string& lezer, Fout& fout) {
    fout = Fout{};
    verbreek();
    SCARDCONTEXT nieuw = 0;
    LONG code = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &nieuw);
    if (code != SCARD_S_SUCCESS) {
        dienstFout(fout, "SCardEstablishContext", code);
        return false;
    }
    context = static_cast<std::int64_t>(nieuw);

    std::string naam = lezer;
    if (naam.empty()) {
        Fout lijstFout;
        std::vector<std::string> namen = lezers(lijstFout);
        if (!pcsc::kWindows && lijstFout.code != geenFout) {
            fout = std::move(lijstFout);
            return false;
        }
        if (namen.empty()) {
            zet(fout, geenLezer, "No card reader connected.", "");
            return false;
        }
        naam = std::move(namen.front());
    }

    SCARDHANDLE handvat = 0;
    DWORD actief = 0;
    const char* functie = nullptr;
    for (int poging = 1; poging <= kPogingen; ++poging) {
        code = neemKaart(nieuw, naam, handvat, actief, functie);
        if (!zwijgtOfHersteld(code)) {
            break;
        }
        std::this_thread::sleep_for(kPauze);
    }

    if (code == SCARD_S_SUCCESS) {
        verbinding = static_cast<std::int64_t>(handvat);
        protocol = static_cast<std::uint32_t>(actief);
        return true;
    }
    if (code == SCARD_E_NO_SMARTCARD || code == SCARD_W_REMOVED_CARD) {
        zet(fout, geenKaart, "There is no card in the reader.", codeTekst(code));
    } else if (code == SCARD_W_UNRESPONSIVE_CARD || code == SCARD_E_PROTO_MISMATCH) {
        zet(fout, kaartZwijgt, kKaartZwijgt, codeTekst(code));
    } else {
        zet(fout, geenVerbinding, "Could not connect to reader " + naam + ".",
            std::string(functie) + " " + codeTekst(code));
    }
    return false;
}

Bytes Kaart::stuur(const Bytes& apdu, Fout& fout) {
    fout = Fout{};
    if (verbinding == 0) {
        zet(fout, geenVerbinding, "No open connection to the card.", "");
        return {};
    }
    SCARD_IO_REQUEST zend{};
    zend.dwProtocol = protocol;
    zend.cbPciLength = sizeof(SCARD_IO_REQUEST);
    BYTE antwoord[kOntvangLengte];
    DWORD lengte = kOntvangLengte;
    LONG code = SCardTransmit(static_cast<SCARDHANDLE>(verbinding), &zend, apdu.data(),
                              static_cast<DWORD>(apdu.size()), nullptr, antwoord, &lengte);
    if (code != SCARD_S_SUCCESS) {
        zet(fout, kaartDienst, "The command did not reach the card.",
            "SCardTransmit " + codeTekst(code));
        return {};
    }
    return Bytes(antwoord, antwoord + std::min<DWORD>(lengte, kOntvangLengte));
}

void Kaart::verbreek() {
    if (verbinding != 0) {
        // The card is reset while the conversation still holds it: a reset at the disconnect
        // would land in the middle of the next program's transaction.
        SCardEndTransaction(static_cast<SCARDHANDLE>(verbinding), SCARD_RESET_CARD);
        SCardDisconnect(static_cast<SCARDHANDLE>(verbinding), SCARD_LEAVE_CARD);
        verbinding = 0;
    }
    if (context != 0) {
        SCardReleaseContext(static_cast<SCARDCONTEXT>(context));
        context = 0;
    }
}

} // namespace belpic
