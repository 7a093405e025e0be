#include "belpic/wacht.h"

#include "belpic/bestand.h"
#include "belpic/dienst.h"
#include "belpic/lees.h"
#include "belpic/pcsc.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace belpic {

namespace {

// A slice is short enough for a reader plugged in on macOS to be seen within a second, and
// long enough for a waiter to cost next to nothing.
constexpr std::chrono::milliseconds kPlak(1000);
// Between attempts while the service is away.
constexpr std::chrono::milliseconds kHerstelPauze(1000);

constexpr DWORD kZonderWijziging = ~static_cast<DWORD>(SCARD_STATE_CHANGED);

std::uint32_t teller(DWORD staat) {
    return staat >> 16;
}

// What Windows answers for a reader it no longer knows: unknown, and to be ignored. Passed back
// as the current state, it would have the service ignore a reader of that name for good, also
// once it is plugged in again.
bool onbekend(DWORD staat) {
    return (staat & (SCARD_STATE_IGNORE | SCARD_STATE_UNKNOWN)) != 0;
}

// Whether the card in a reader counts, decided once for the card that the reader's event counter
// names.
struct Oordeel {
    std::uint32_t teller;
    bool telt;
};

// What a waiter has learnt of the readers, slice after slice.
struct Waarneming {
    std::map<std::string, DWORD> staat;  // each reader's last state, without the change flag
    bool tellersGeldig = false;          // the event counters came from this same service
    bool eerste = true;                  // no slice has answered yet
    DWORD aankomst = 0;                  // the pseudo-reader's last state
    std::vector<std::string> aanwezig;   // watched readers holding a card, in the service's order
    std::vector<std::string> ingestoken; // cards put in during the last slice
    std::map<std::string, Oordeel> oordelen; // the cards in watched readers, once probed
    // The readers holding an eID card that a watch told, each with the event counter of its
    // insertion, and those whose told card left during the last slice (or with their reader).
    std::map<std::string, std::uint32_t> verteld;
    std::vector<std::string> uitgenomen;
};

// A told card left when its reader holds none now, or when the reader's event counter moved on
// since its insertion. Under a service that came back the counters are new: a card still in is
// taken for the one told, under its new count.
void neemUitname(Waarneming& w, const std::string& naam, DWORD nu) {
    const auto verteld = w.verteld.find(naam);
    if (verteld == w.verteld.end()) {
        return;
    }
    if ((nu & SCARD_STATE_PRESENT) == 0 || (w.tellersGeldig && teller(nu) != verteld->second)) {
        w.uitgenomen.push_back(naam);
        w.verteld.erase(verteld);
    } else if (!w.tellersGeldig) {
        verteld->second = teller(nu);
    }
}

// A card came when the reader holds one now and did not before, or when its event counter has
// moved on by a removal and an insertion since. A reader plugged in with a card counts too,
// except in the first look.
bool ingestoken(const Waarneming& w, const std::string& naam, DWORD nu) {
    if ((nu & SCARD_STATE_PRESENT) == 0) {
        return false;
    }
    const auto oud = w.staat.find(naam);
    if (oud == w.staat.end()) {
        return !w.eerste;
    }
    return (oud->second & SCARD_STATE_PRESENT) == 0 ||
           (w.tellersGeldig && teller(nu) - teller(oud->second) >= 2);
}

void neemWaar(Waarneming& w, const std::vector<std::string>& gevolgd,
              const std::vector<pcsc::LezerStaat>& staten) {
    // A verdict holds while its card is seen in a watched reader, under counters of one service.
    std::map<std::string, Oordeel> oordelen;
    w.aanwezig.clear();
    for (std::size_t i = 0; i < gevolgd.size(); ++i) {
        const DWORD nu = staten[i].dwEventState & kZonderWijziging;
        neemUitname(w, gevolgd[i], nu);
        if (ingestoken(w, gevolgd[i], nu)) {
            w.ingestoken.push_back(gevolgd[i]);
        }
        if (nu & SCARD_STATE_PRESENT) {
            w.aanwezig.push_back(gevolgd[i]);
            const auto oordeel = w.oordelen.find(gevolgd[i]);
            if (w.tellersGeldig && oordeel != w.oordelen.end()) {
                oordelen.insert(*oordeel);
            }
        }
        w.staat[gevolgd[i]] = nu;
    }
    w.oordelen = std::move(oordelen);
    if (staten.size() > gevolgd.size()) {
        w.aankomst = staten.back().dwEventState & kZonderWijziging;
    }
    w.eerste = false;
    w.tellersGeldig = true;
}

// A reader no longer listed is forgotten: plugged in again, it is a new reader. A told card
// leaves with it.
void vergeetAfwezige(Waarneming& w, const std::vector<std::string>& alle) {
    for (auto r = w.staat.begin(); r != w.staat.end();) {
        if (std::find(alle.begin(), alle.end(), r->first) != alle.end()) {
            r = std::next(r);
            continue;
        }
        if (w.verteld.erase(r->first) == 1) {
            w.uitgenomen.push_back(r->first);
        }
        r = w.staat.erase(r);
    }
}

// The entries of one wait: each watched reader as last seen (unaware when not seen since the
// service began), then the pseudo-reader of arrivals where there is one. The entries point into
// `namen`, which must outlive them.
std::vector<pcsc::LezerStaat> klaarVoorWacht(const Waarneming& w,
                                             const std::vector<std::string>& gevolgd,
                                             std::size_t lezers,
                                             std::vector<pcsc::LezerNaam>& namen) {
    for (const std::string& naam : gevolgd) {
        namen.push_back(pcsc::lezerNaam(naam));
    }
    if (pcsc::kAankomstMelding) {
        namen.push_back(pcsc::aankomstNaam());
    }
    std::vector<pcsc::LezerStaat> staten(namen.size());
    for (std::size_t i = 0; i < namen.size(); ++i) {
        staten[i] = pcsc::LezerStaat{};
        staten[i].szReader = namen[i].c_str();
        if (i < gevolgd.size()) {
            const auto bekend = w.staat.find(gevolgd[i]);
            const bool geldig =
                bekend != w.staat.end() && w.tellersGeldig && !onbekend(bekend->second);
            staten[i].dwCurrentState = geldig ? bekend->second : SCARD_STATE_UNAWARE;
        } else {
            staten[i].dwCurrentState = w.tellersGeldig ? w.aankomst : pcsc::aankomstStaat(lezers);
        }
    }
    return staten;
}

// One slice: lists the readers and waits at most `duur` for a change in those watched (or a
// reader plugged in). False when the wait cannot go on: the service failed or the named reader
// is not there, as `fout` says.
bool plak(Sessie& sessie, const std::string& lezer, std::chrono::milliseconds duur, Waarneming& w,
          Fout& fout) {
    w.ingestoken.clear(); // a slice that fails has seen no insertion
    w.uitgenomen.clear();
    if (!open(sessie, fout)) {
        return false;
    }
    const auto context = static_cast<SCARDCONTEXT>(sessie.context.handvat);
    const std::vector<std::string> alle = leesLezers(context, fout);
    if (fout.code != geenFout) {
        return false;
    }
    if (!lezer.empty() && std::find(alle.begin(), alle.end(), lezer) == alle.end()) {
        // What the service answers a wait on a reader it does not know.
        meld(fout, kWachten, "SCardGetStatusChange", SCARD_E_UNKNOWN_READER, lezer);
        return false;
    }
    std::vector<std::string> gevolgd;
    std::copy_if(alle.begin(), alle.end(), std::back_inserter(gevolgd),
                 [&](const std::string& naam) { return lezer.empty() || naam == lezer; });
    vergeetAfwezige(w, alle);
    std::vector<pcsc::LezerNaam> namen;
    std::vector<pcsc::LezerStaat> staten = klaarVoorWacht(w, gevolgd, alle.size(), namen);
    // SCardCancel reaches only a wait in progress: a stop that came while the readers were
    // listed is seen here, or the wait would sit out its slice.
    if (gestopt(*sessie.stop)) {
        return true;
    }
    if (staten.empty()) { // nothing to wait on: only a new listing can tell
        sessie.klok.pauze(*sessie.stop, duur);
        w.aanwezig.clear();
        w.eerste = false;
        return true;
    }
    const LONG code = pcsc::wachtOpWijziging(context, static_cast<DWORD>(duur.count()),
                                             staten.data(), static_cast<DWORD>(staten.size()));
    if (code == SCARD_S_SUCCESS) {
        neemWaar(w, gevolgd, staten);
    }
    // Nothing came, the wait was stopped, or a reader went between the list and the wait while
    // any reader will do: the next slice looks again.
    if (code == SCARD_S_SUCCESS || code == SCARD_E_TIMEOUT || code == SCARD_E_CANCELLED ||
        (code == SCARD_E_UNKNOWN_READER && lezer.empty())) {
        return true;
    }
    meld(fout, kWachten, "SCardGetStatusChange", code, lezer);
    return false;
}

// The probe: connects shared in the waiter's session, selects the identity file, and lets the
// card go as it was found. Only a card that refuses the file is of another kind; one that cannot
// be asked (mute, held alone, gone again, held by another program past `uiterlijk`) counts, so
// that the read after it says why, as `fout` does. The pause between two attempts to connect is
// the session's, which a stop ends at once. After a probe given up on, the waiter goes on in the
// next session. With `verder`, an eID card is handed to it, still connected and its identity
// file selected, instead of being let go.
bool eidKaart(std::shared_ptr<Sessie>& sessie, const std::string& naam, Tijdstip uiterlijk,
              Fout& fout, const std::function<void(Kaart&)>& verder) {
    Kaart kaart(sessie);
    const bool verbonden = kaart.verbind(naam, fout, uiterlijk);
    sessie = kaart.sessie();
    if (!verbonden) {
        return true;
    }
    const bool gekozen = kies(kaart, bestandIdentiteit(), fout);
    if (gekozen && verder) {
        verder(kaart);
        return true;
    }
    kaart.laatLiggen();
    return gekozen || fout.melding != Melding::geenBestand;
}

// Whether the card now in `naam` counts: each card is probed once, when it first matters, and
// its verdict kept until it leaves. Once the wait is stopped no card counts: a probe cut short
// tells nothing.
bool telt(std::shared_ptr<Sessie>& sessie, Waarneming& w, const std::string& naam,
          Tijdstip uiterlijk, Fout& fout, const std::function<void(Kaart&)>& verder = {}) {
    const std::uint32_t nu = teller(w.staat[naam]);
    const auto oordeel = w.oordelen.find(naam);
    if (oordeel != w.oordelen.end() && oordeel->second.teller == nu) {
        return oordeel->second.telt;
    }
    Onderbreking& stop = *sessie->stop;
    if (gestopt(stop)) {
        return false;
    }
    const bool eid = eidKaart(sessie, naam, uiterlijk, fout, verder);
    if (gestopt(stop)) {
        return false;
    }
    w.oordelen[naam] = Oordeel{nu, eid};
    return eid;
}

std::chrono::milliseconds over(Tijdstip einde, const Klok& klok) {
    // Rounded up: a wait of a fraction of a millisecond would be a wait of none, again and again.
    const auto rest = std::chrono::ceil<std::chrono::milliseconds>(einde - klok.nu());
    return std::clamp(rest, std::chrono::milliseconds(0), kPlak);
}

// The slices of a wait in one session (and the sessions after a probe given up on), until a card
// is there, the time is up, the wait is stopped, or the service fails as `fout` says.
std::string wachtInSessie(std::shared_ptr<Sessie>& sessie, const std::string& lezer, Tijdstip einde,
                          Waarneming& w, Fout& fout) {
    const Klok klok = sessie->klok;
    w.tellersGeldig = false; // a service that came back counts anew
    while (!gestopt(*sessie->stop)) {
        if (!plak(*sessie, lezer, over(einde, klok), w, fout)) {
            return {};
        }
        for (const std::string& naam : w.aanwezig) {
            Fout proef;
            if (telt(sessie, w, naam, einde + kProefRuimte, proef)) {
                return naam;
            }
        }
        if (klok.nu() >= einde) {
            return {};
        }
    }
    return {};
}

// On Windows the service runs only while a reader is plugged in, so its absence means no
// reader: no reason to end a wait on any reader, as a reader plugged in during it counts.
bool geenLezerOpWindows(const std::string& lezer, const Fout& fout) {
    return pcsc::kWindows && lezer.empty() && fout.code == geenLezer;
}

// After a failure of the service, before the next session: a failure that means no reader at all
// (on Windows, the service stopped with the last reader) leaves none to remember, so a card in a
// reader plugged back in is an insertion. A service that merely restarted keeps its readers.
void naFout(Waarneming& w, const Fout& fout) {
    if (fout.code == geenLezer) {
        vergeetAfwezige(w, {});
    }
}

// Whether the card inserted in `melding`'s reader counts; with `vraag`, an eID card is read on in
// the probe's connection, one conversation at a time in the process as every read, and the
// read's outcome goes into `melding`. A card that cannot be asked has the probe's failure there.
bool leesBijInsteken(std::shared_ptr<Sessie>& sessie, Waarneming& w,
                     const std::optional<Vraag>& vraag, Kaartmelding& melding) {
    const Tijdstip uiterlijk = sessie->klok.nu() + kGeduld;
    if (!vraag) {
        return telt(sessie, w, melding.lezer, uiterlijk, melding.fout);
    }
    const std::lock_guard<std::mutex> beurt(gesprekSlot());
    return telt(sessie, w, melding.lezer, uiterlijk, melding.fout, [&](Kaart& kaart) {
        melding.gegevens = leesNaProef(kaart, melding.lezer, *vraag, melding.fout);
    });
}

} // namespace

std::string wachtOpKaart(std::shared_ptr<Sessie> sessie, const std::string& lezer,
                         std::chrono::milliseconds duur, Fout& fout) {
    fout = Fout{};
    const Klok klok = sessie->klok;
    const Tijdstip einde = klok.nu() + duur;
    Waarneming w;
    for (;;) {
        const std::string houder = wachtInSessie(sessie, lezer, einde, w, fout);
        if (!houder.empty()) {
            return houder;
        }
        // A stop that came with the end of the time, or with a failure, is a stop.
        if (gestopt(*sessie->stop)) {
            meldStop(fout);
            return {};
        }
        if (fout.code != geenFout && !geenLezerOpWindows(lezer, fout)) {
            return {};
        }
        if (klok.nu() >= einde) {
            zet(fout, tijdOm, Melding::nietOpTijd, "timeout");
            return {};
        }
        naFout(w, fout);
        fout = Fout{};
        sessie = volgende(*sessie);
        klok.pauze(*sessie->stop, std::min(kHerstelPauze, over(einde, klok)));
    }
}

void bewaak(std::shared_ptr<Sessie> sessie, const std::string& lezer, const VraagVoor& vraagVoor,
            const std::function<void(const Kaartmelding&)>& meld) {
    Waarneming w;
    const auto meldUitnames = [&] {
        for (const std::string& naam : w.uitgenomen) {
            meld(Kaartmelding{false, naam, {}, {}});
        }
    };
    while (!gestopt(*sessie->stop)) {
        Fout fout;
        w.tellersGeldig = false; // a service that came back counts anew
        while (!gestopt(*sessie->stop) && plak(*sessie, lezer, kPlak, w, fout)) {
            meldUitnames();
            for (const std::string& naam : w.ingestoken) {
                Kaartmelding melding{true, naam, {}, {}};
                if (!leesBijInsteken(sessie, w, vraagVoor(naam), melding) ||
                    gestopt(*sessie->stop)) {
                    continue;
                }
                w.verteld[naam] = teller(w.staat[naam]);
                meld(melding);
            }
        }
        if (gestopt(*sessie->stop)) {
            return;
        }
        // The service is away or in trouble: never spin.
        naFout(w, fout);
        meldUitnames();
        sessie = volgende(*sessie);
        sessie->klok.pauze(*sessie->stop, kHerstelPauze);
    }
}

} // namespace belpic
