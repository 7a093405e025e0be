#include "belpic/wacht.h"

#include "belpic/bestand.h"
#include "belpic/dienst.h"
#include "belpic/pcsc.h"

#include <algorithm>
#include <map>
#include <vector>

namespace belpic {

namespace {

// A slice is short enough for a reader plugged in on macOS to be seen within a second, and
// long enough for a waiter to cost next to nothing.
constexpr std::chrono::milliseconds kPlak(1000);
// Between attempts while the service is away.
constexpr std::chrono::milliseconds kHerstelPauze(1000);

constexpr DWORD kZonderWijziging = ~static_cast<DWORD>(SCARD_STATE_CHANGED);

bool gestopt(Onderbreking& onderbreking) {
    std::lock_guard<std::mutex> slot(onderbreking.slot);
    return onderbreking.gestopt;
}

// The waiter's own context, shown to the Onderbreking while it lives. It is withdrawn before
// the Context releases it, so a stop never cancels a context that is gone.
struct EigenContext {
    Onderbreking& onderbreking;
    Context context;

    EigenContext(Onderbreking& o, Fout& fout) : onderbreking(o), context(maakContext(fout)) {
        std::lock_guard<std::mutex> slot(onderbreking.slot);
        onderbreking.context = context.handvat;
    }
    ~EigenContext() {
        std::lock_guard<std::mutex> slot(onderbreking.slot);
        onderbreking.context = 0;
    }
    EigenContext(const EigenContext&) = delete;
    EigenContext& operator=(const EigenContext&) = delete;

    SCARDCONTEXT handvat() const { return static_cast<SCARDCONTEXT>(context.handvat); }
};

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
};

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

// A reader no longer listed is forgotten: plugged in again, it is a new reader.
void vergeetAfwezige(Waarneming& w, const std::vector<std::string>& alle) {
    for (auto r = w.staat.begin(); r != w.staat.end();) {
        r = std::find(alle.begin(), alle.end(), r->first) == alle.end() ? w.staat.erase(r)
                                                                        : std::next(r);
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
bool plak(SCARDCONTEXT context, const std::string& lezer, std::chrono::milliseconds duur,
          Waarneming& w, Onderbreking& onderbreking, const Klok& klok, Fout& fout) {
    w.ingestoken.clear(); // a slice that fails has seen no insertion
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
    if (gestopt(onderbreking)) {
        return true;
    }
    if (staten.empty()) { // nothing to wait on: only a new listing can tell
        klok.pauze(onderbreking, duur);
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

// The probe: connects shared on the waiter's own context, selects the identity file, and lets
// the card go as it was found. Only a card that refuses the file is of another kind; one that
// cannot be asked (mute, held alone, gone again) counts, so that the read after it says why.
// The pause between two attempts to connect is the waiter's, which a stop ends at once.
bool eidKaart(SCARDCONTEXT context, const std::string& naam, Onderbreking& onderbreking,
              const Klok& klok) {
    Kaart kaart(static_cast<std::int64_t>(context));
    Fout fout;
    const bool verbonden = kaart.verbind(naam, fout, [&](std::chrono::milliseconds duur) {
        klok.pauze(onderbreking, duur);
        return !gestopt(onderbreking);
    });
    if (!verbonden) {
        return true;
    }
    const bool gekozen = kies(kaart, bestandIdentiteit(), fout);
    kaart.laatLiggen();
    return gekozen || fout.melding != Melding::geenBestand;
}

// Whether the card now in `naam` counts: each card is probed once, when it first matters, and
// its verdict kept until it leaves. Once the wait is stopped no card counts: a probe cut short
// tells nothing.
bool telt(SCARDCONTEXT context, Waarneming& w, const std::string& naam, Onderbreking& onderbreking,
          const Klok& klok) {
    const std::uint32_t nu = teller(w.staat[naam]);
    const auto oordeel = w.oordelen.find(naam);
    if (oordeel != w.oordelen.end() && oordeel->second.teller == nu) {
        return oordeel->second.telt;
    }
    if (gestopt(onderbreking)) {
        return false;
    }
    const bool eid = eidKaart(context, naam, onderbreking, klok);
    if (gestopt(onderbreking)) {
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

// The slices of a wait on one context of its own, until a card is there, the time is up, the
// wait is stopped, or the service fails as `fout` says.
std::string wachtOpContext(const std::string& lezer, Tijdstip einde, Waarneming& w,
                           Onderbreking& onderbreking, const Klok& klok, Fout& fout) {
    const EigenContext context(onderbreking, fout);
    w.tellersGeldig = false; // a service that came back counts anew
    while (context.handvat() != 0 && !gestopt(onderbreking)) {
        if (!plak(context.handvat(), lezer, over(einde, klok), w, onderbreking, klok, fout)) {
            return {};
        }
        for (const std::string& naam : w.aanwezig) {
            if (telt(context.handvat(), w, naam, onderbreking, klok)) {
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

} // namespace

void onderbreek(Onderbreking& onderbreking) {
    std::lock_guard<std::mutex> slot(onderbreking.slot);
    onderbreking.gestopt = true;
    if (onderbreking.context != 0) {
        pcsc::annuleer(static_cast<SCARDCONTEXT>(onderbreking.context));
    }
    onderbreking.gewekt.notify_all();
}

void Klok::pauzeer(Onderbreking& onderbreking, std::chrono::milliseconds duur) {
    std::unique_lock<std::mutex> slot(onderbreking.slot);
    onderbreking.gewekt.wait_for(slot, duur, [&] { return onderbreking.gestopt; });
}

std::string wachtOpKaart(const std::string& lezer, std::chrono::milliseconds duur,
                         Onderbreking& onderbreking, const Klok& klok, Fout& fout) {
    fout = Fout{};
    const Tijdstip einde = klok.nu() + duur;
    Waarneming w;
    for (;;) {
        const std::string houder = wachtOpContext(lezer, einde, w, onderbreking, klok, fout);
        if (!houder.empty()) {
            return houder;
        }
        // A stop that came with the end of the time, or with a failure, is a stop.
        if (gestopt(onderbreking)) {
            zet(fout, onderbroken, Melding::wachtGestopt, "stopped");
            return {};
        }
        if (fout.code != geenFout && !geenLezerOpWindows(lezer, fout)) {
            return {};
        }
        if (klok.nu() >= einde) {
            zet(fout, tijdOm, Melding::nietOpTijd, "timeout");
            return {};
        }
        fout = Fout{};
        klok.pauze(onderbreking, std::min(kHerstelPauze, over(einde, klok)));
    }
}

void bewaak(const std::string& lezer, Onderbreking& onderbreking, const Klok& klok,
            const std::function<void(const std::string&)>& ingestoken) {
    Waarneming w;
    while (!gestopt(onderbreking)) {
        Fout fout;
        const EigenContext context(onderbreking, fout);
        w.tellersGeldig = false; // a service that came back counts anew
        bool gaatDoor = context.handvat() != 0;
        while (gaatDoor && !gestopt(onderbreking)) {
            gaatDoor = plak(context.handvat(), lezer, kPlak, w, onderbreking, klok, fout);
            for (const std::string& naam : w.ingestoken) {
                if (telt(context.handvat(), w, naam, onderbreking, klok)) {
                    ingestoken(naam);
                }
            }
        }
        if (!gestopt(onderbreking)) { // the service is away or in trouble: never spin
            klok.pauze(onderbreking, kHerstelPauze);
        }
    }
}

} // namespace belpic
