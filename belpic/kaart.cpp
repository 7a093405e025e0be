#include "belpic/kaart.h"

#include "belpic/dienst.h"
#include "belpic/pcsc.h"

#include <algorithm>

namespace belpic {

namespace {

constexpr auto kWacht = std::chrono::milliseconds(200);
constexpr int kPogingen = 2;
// A reader unplugged between the list and the question about the readers' states is unknown to
// the question: the list is read once more.
constexpr int kLijstPogingen = 2;
constexpr DWORD kOntvangLengte = 258; // 256 data bytes and the status word

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

// One attempt to take the card, as its thread hands it over under the stop's lock.
struct Greep {
    Poging poging{SCARD_S_SUCCESS, kVerbindFunctie}; // the call it is in, until it returns
    SCARDHANDLE handvat = 0;                         // connected
    bool begonnen = false;                           // the transaction began
    DWORD actief = 0;
};

// One attempt: connect shared, then hold the card for this conversation alone. The card is
// shared: without a transaction another program's commands could come between a SELECT FILE
// and its READ BINARYs, and the read would take that program's file for ours. A handle whose
// transaction did not begin is let go at once.
//
// Either call waits for as long as another program holds the card, so the attempt runs on a
// thread of its own, waited for until `uiterlijk`. Given up on (`opgegeven`), it lets go of the
// card as it found it once it returns.
Greep neemKaart(const std::shared_ptr<Sessie>& sessie, const std::string& naam, Tijdstip uiterlijk,
                bool& opgegeven) {
    const auto greep = std::make_shared<Greep>();
    const std::shared_ptr<Onderbreking> stop = sessie->stop;
    const auto context = static_cast<SCARDCONTEXT>(sessie->context.handvat);
    const auto oproep = [greep, stop, context, naam] {
        SCARDHANDLE handvat = 0;
        DWORD actief = 0;
        LONG code = pcsc::verbindKaart(context, naam, SCARD_SHARE_SHARED,
                                       SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handvat, &actief);
        {
            std::lock_guard<std::mutex> slot(stop->slot);
            greep->poging.code = code;
            if (code != SCARD_S_SUCCESS) {
                return;
            }
            greep->poging.functie = kBeginFunctie;
            greep->handvat = handvat;
            greep->actief = actief;
        }
        code = SCardBeginTransaction(handvat);
        if (code != SCARD_S_SUCCESS) {
            SCardDisconnect(handvat, SCARD_LEAVE_CARD);
        }
        std::lock_guard<std::mutex> slot(stop->slot);
        greep->poging.code = code;
        greep->begonnen = code == SCARD_S_SUCCESS;
        greep->handvat = greep->begonnen ? handvat : 0;
    };
    const auto laatLos = [greep] {
        if (greep->begonnen) {
            SCardEndTransaction(greep->handvat, SCARD_LEAVE_CARD);
        }
        if (greep->handvat != 0) {
            SCardDisconnect(greep->handvat, SCARD_LEAVE_CARD);
        }
    };
    opgegeven = !opTijd(sessie, uiterlijk, oproep, laatLos);
    std::lock_guard<std::mutex> slot(stop->slot);
    return *greep;
}

bool beeindig(std::int64_t& handvat, pcsc::Afsluiting afsluiting) {
    if (handvat == 0) {
        return false;
    }
    const SCARDHANDLE kaart = static_cast<SCARDHANDLE>(handvat);
    handvat = 0;
    const LONG einde = SCardEndTransaction(kaart, afsluiting.transactie);
    SCardDisconnect(kaart, afsluiting.verbinding);
    return pcsc::kaartVerstoord(einde);
}

// The card in a reader from the state the service reported; a card that is mute or held alone
// is still a card, which the conversation with it will explain.
KaartStand stand(DWORD staat) {
    if ((staat & SCARD_STATE_PRESENT) == 0) {
        return KaartStand::leeg;
    }
    if (staat & SCARD_STATE_MUTE) {
        return KaartStand::stom;
    }
    return staat & SCARD_STATE_EXCLUSIVE ? KaartStand::exclusief : KaartStand::aanwezig;
}

// One question about every reader in `namen`: all of them unaware, so the service answers at
// once with what it knows.
LONG vraagStaten(SCARDCONTEXT context, const std::vector<std::string>& namen,
                 std::vector<Lezer>& lezers) {
    std::vector<pcsc::LezerNaam> breed;
    for (const std::string& naam : namen) {
        breed.push_back(pcsc::lezerNaam(naam));
    }
    std::vector<pcsc::LezerStaat> staten(namen.size());
    for (std::size_t i = 0; i < namen.size(); ++i) {
        staten[i] = pcsc::LezerStaat{};
        staten[i].szReader = breed[i].c_str();
        staten[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    const LONG code =
        pcsc::wachtOpWijziging(context, 0, staten.data(), static_cast<DWORD>(staten.size()));
    if (code != SCARD_S_SUCCESS) {
        return code;
    }
    lezers.clear();
    for (std::size_t i = 0; i < namen.size(); ++i) {
        const pcsc::LezerStaat& staat = staten[i];
        const KaartStand kaart = stand(staat.dwEventState);
        const std::size_t lengte = std::min<std::size_t>(staat.cbAtr, sizeof staat.rgbAtr);
        lezers.push_back(
            {namen[i], kaart,
             kaart == KaartStand::leeg ? Bytes{} : Bytes(staat.rgbAtr, staat.rgbAtr + lengte)});
    }
    return SCARD_S_SUCCESS;
}

} // namespace

bool Transactie::sluit() {
    return beeindig(handvat, pcsc::kAfsluiting);
}

bool Transactie::laatLiggen() {
    return beeindig(handvat, {SCARD_LEAVE_CARD, SCARD_LEAVE_CARD});
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

std::vector<Lezer> Kaart::lezersMetKaart(Fout& fout) {
    fout = Fout{};
    if (!open(*sessie_, fout)) {
        return {};
    }
    const SCARDCONTEXT eigen = static_cast<SCARDCONTEXT>(sessie_->context.handvat);
    std::vector<Lezer> lezers;
    LONG code = SCARD_S_SUCCESS;
    for (int poging = 1; poging <= kLijstPogingen; ++poging) {
        const std::vector<std::string> namen = leesLezers(eigen, fout);
        if (fout.code != geenFout) {
            return {};
        }
        if (namen.empty()) {
            zet(fout, geenLezer, Melding::geenLezer, "");
            return {};
        }
        code = vraagStaten(eigen, namen, lezers);
        if (code != SCARD_E_UNKNOWN_READER) {
            break;
        }
    }
    if (code != SCARD_S_SUCCESS) {
        meld(fout, kStaat, "SCardGetStatusChange", code);
        return {};
    }
    return lezers;
}

bool Kaart::verbind(const std::string& lezer, Fout& fout) {
    return verbind(lezer, fout, sessie_->klok.nu() + kGeduld);
}

bool Kaart::verbind(const std::string& lezer, Fout& fout, Tijdstip uiterlijk) {
    fout = Fout{};
    transactie.sluit();
    verstoord_ = false;
    if (gestopt(*sessie_->stop)) {
        meldStop(fout);
        return false;
    }
    if (!open(*sessie_, fout)) {
        return false;
    }
    if (sessie_->klok.nu() >= uiterlijk) { // no time to take the card: no call to give up on
        meld(fout, kVerbinden, kVerbindFunctie, SCARD_E_TIMEOUT, lezer);
        return false;
    }
    Greep greep;
    bool opgegeven = false;
    for (int n = 1; n <= kPogingen; ++n) {
        greep = neemKaart(sessie_, lezer, uiterlijk, opgegeven);
        // Another attempt only with the time for its pause left.
        if (opgegeven || !nogEens(greep.poging) || sessie_->klok.nu() + kWacht >= uiterlijk ||
            !pauzeer(*sessie_, kWacht)) {
            break;
        }
    }
    if (opgegeven) {
        if (gestopt(*sessie_->stop)) {
            meldStop(fout);
        } else {
            meld(fout, kVerbinden, greep.poging.functie, SCARD_E_TIMEOUT, lezer);
        }
        sessie_ = volgende(*sessie_);
        return false;
    }
    if (greep.poging.code != SCARD_S_SUCCESS) {
        meld(fout, kVerbinden, greep.poging.functie, greep.poging.code, lezer);
        return false;
    }
    transactie.handvat = static_cast<std::int64_t>(greep.handvat);
    protocol = static_cast<std::uint32_t>(greep.actief);
    return true;
}

Bytes Kaart::stuur(const Bytes& apdu, Fout& fout) {
    fout = Fout{};
    if (transactie.handvat == 0) {
        zet(fout, geenVerbinding, Melding::nietVerbonden, "");
        return {};
    }
    if (gestopt(*sessie_->stop)) {
        meldStop(fout);
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

void Kaart::laatLiggen() {
    if (transactie.laatLiggen()) {
        verstoord_ = true;
    }
}

void Kaart::verbreek() {
    if (transactie.sluit()) {
        verstoord_ = true;
    }
}

} // namespace belpic
