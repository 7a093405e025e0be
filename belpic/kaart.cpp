#include "belpic/kaart.h"

#include "belpic/dienst.h"
#include "belpic/pcsc.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace belpic {

namespace {

constexpr auto kWacht = std::chrono::milliseconds(200);
constexpr int kPogingen = 2;
constexpr DWORD kOntvangLengte = 258; // 256 data bytes and the status word

void slaap(std::chrono::milliseconds duur) {
    std::this_thread::sleep_for(duur);
}

std::atomic<Pauze> gPauze{slaap};

// --- Helpers ---------------------------------------------------------------------------------

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
    std::vector<std::string> namen;
    if (context.handvat != 0) {
        namen = leesLezers(static_cast<SCARDCONTEXT>(context.handvat), fout);
    }
    // Here no reader is an empty list, not a failure.
    if (fout.code == geenLezer) {
        fout = Fout{};
    }
    return namen;
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
            zet(fout, geenLezer, Melding::geenLezer, "");
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
        zet(fout, geenVerbinding, Melding::nietVerbonden, "");
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
