#include "pcscfake/pcscfake.h"
#include "pcscfake/kaart.h"

#include "belpic/pcsc.h"
#include "belpic/sessie.h"
#include "belpic/tekens.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string>

// The status-change call under its platform name: Windows' W variant takes UTF-16 names.
#if defined(_WIN32)
#define PCSCFAKE_GET_STATUS_CHANGE SCardGetStatusChangeW
#else
#define PCSCFAKE_GET_STATUS_CHANGE SCardGetStatusChange
#endif

namespace pcscfake {

namespace {

constexpr std::size_t kSoorten = 10;
// How long SCardBeginTransaction waits for another handle's transaction to end.
constexpr auto kTransactieWacht = std::chrono::seconds(2);

// Handles above 32 bits where the platform's handle is wide, so truncation shows.
constexpr std::uint64_t kContextBasis = sizeof(SCARDCONTEXT) > 4 ? 0x15C000000ull : 0x5C000000ull;
constexpr std::uint64_t kKaartBasis = sizeof(SCARDHANDLE) > 4 ? 0x12A000000ull : 0x2A000000ull;

// A function, not a global: a script may fill the service while the library is still being
// loaded, before the globals of this file are made.
Bytes eidAtr() {
    return {0x3B, 0x98, 0x13, 0x40, 0x0A, 0xA5, 0x03, 0x01, 0x01, 0x01, 0xAD, 0x13, 0x11};
}

// A card of another kind: every command gets its status word.
struct AndereKaart {
    Bytes status;
    Bytes atr;
};

// An open card handle: the reader it was connected to and the protocol it speaks.
struct Handvat {
    std::string lezer;
    std::uint32_t protocol = SCARD_PROTOCOL_T1;
    std::uint64_t context = 0; // connected in
};

struct Toestand {
    std::mutex slot;
    std::vector<Record> record;
    std::size_t geteld[kSoorten] = {};
    std::map<Call, std::vector<std::uint32_t>> codes;
    std::map<Call, std::size_t> gooi;

    Bytes lijst; // the multi-string
    std::optional<std::uint64_t> nodig;
    std::optional<std::uint64_t> gegeven;
    std::optional<std::string> kaartLezer; // unset: the first reader listed
    std::uint32_t protocol = SCARD_PROTOCOL_T1;

    Kaart kaart;
    Bytes atr = eidAtr();
    std::map<std::string, AndereKaart> andere;   // by reader
    std::map<std::string, CardState> kaartStaat; // by reader; unset: answering
    std::map<std::size_t, Bytes> antwoorden;
    Player speler;

    std::uint64_t volgendeContext = kContextBasis;
    std::uint64_t volgendeKaart = kKaartBasis;
    std::set<std::uint64_t> contexten;
    std::map<std::uint64_t, Handvat> kaarten;
    // Contexts with a call in progress that waits: calls of the code under test, which a reset()
    // leaves as they are.
    std::map<std::uint64_t, std::size_t> bezet;
    std::set<std::uint64_t> transacties; // card handles holding a transaction
    std::condition_variable transactieVrij;
    std::size_t wachtend = 0; // SCardBeginTransaction calls waiting for another's transaction
    std::condition_variable wachtendVeranderd;

    bool dienstLoopt = true;
    // The clock: where it began, and every advance() since. It never goes back, not at reset()
    // either, and moves only when a test moves it.
    const std::chrono::steady_clock::time_point begin = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration verschoven{};
    std::map<std::string, std::uint64_t> tellers;        // insertions and removals per reader
    std::map<std::uint64_t, std::uint64_t> annuleringen; // SCardCancel calls per context
    std::size_t wachten = 0;                             // waits begun: see waitsBegun()
    std::condition_variable veranderd; // anything a waiting SCardGetStatusChange looks at
    std::multimap<std::pair<Call, std::size_t>, std::function<void()>> acties; // onCall()
    // Another program's holds: by reader, the call that waits and until when.
    std::map<std::string, std::pair<Call, std::chrono::steady_clock::time_point>> vast;
    std::size_t vastBegonnen = 0; // calls that began waiting for a hold
    bool handmatig = false;       // pauses wait for advance()
    std::vector<Pause> pauzes;

    // The waits of the code under test on the clock (a lock and what wakes it), woken at each
    // advance(). Under a lock of their own, never taken while the service's lock is held.
    std::mutex wekkerSlot;
    std::multiset<std::pair<std::mutex*, std::condition_variable*>> wekkers;

    void wis() {
        record.clear();
        std::fill(std::begin(geteld), std::end(geteld), 0);
        codes.clear();
        gooi.clear();
        lijst.clear();
        nodig.reset();
        gegeven.reset();
        kaartLezer.reset();
        protocol = SCARD_PROTOCOL_T1;
        kaart = Kaart{};
        atr = eidAtr();
        andere.clear();
        kaartStaat.clear();
        antwoorden.clear();
        speler = nullptr;
        contexten.clear();
        kaarten.clear();
        transacties.clear();
        dienstLoopt = true;
        tellers.clear();
        annuleringen.clear();
        wachten = 0;
        acties.clear();
        vast.clear();
        vastBegonnen = 0;
        handmatig = false;
        pauzes.clear();
    }
};

// Never destroyed: a client's thread may still be inside the service, waiting, when the process
// ends (a plug-in unloaded without Shutdown), and a condition variable that is waited on cannot
// be destroyed.
Toestand& toestand() {
    static Toestand* const t = new Toestand;
    return *t;
}

// Runs `werk` on the service's state under its lock: every entry point goes through here.
template <typename Werk>
auto onderSlot(Werk werk) {
    Toestand& t = toestand();
    std::lock_guard<std::mutex> slot(t.slot);
    return werk(t);
}

std::vector<std::string> namenIn(const Bytes& lijst) {
    std::vector<std::string> namen;
    std::string naam;
    for (std::uint8_t b : lijst) {
        if (b == 0) {
            if (!naam.empty()) {
                namen.push_back(naam);
            }
            naam.clear();
        } else {
            naam += static_cast<char>(b);
        }
    }
    if (!naam.empty()) {
        namen.push_back(naam);
    }
    return namen;
}

std::chrono::steady_clock::time_point nu(const Toestand& t) {
    return t.begin + t.verschoven;
}

// The reader holding the eID card, or the empty name.
std::string houder(const Toestand& t) {
    if (t.kaartLezer) {
        return *t.kaartLezer;
    }
    const std::vector<std::string> namen = namenIn(t.lijst);
    return namen.empty() ? std::string() : namen.front();
}

// Runs the actions onCall() gave the n-th call of `call`, with the service's lock, which the
// caller holds, let go meanwhile.
void doeActies(Toestand& t, Call call, std::size_t n) {
    const auto [begin, einde] = t.acties.equal_range({call, n});
    std::vector<std::function<void()>> acties;
    for (auto a = begin; a != einde; ++a) {
        acties.push_back(std::move(a->second));
    }
    t.acties.erase(begin, einde);
    if (acties.empty()) {
        return;
    }
    struct Ontgrendeld {
        std::mutex& slot;
        ~Ontgrendeld() { slot.lock(); }
    };
    t.slot.unlock();
    const Ontgrendeld weer{t.slot};
    for (const std::function<void()>& actie : acties) {
        actie();
    }
}

bool heeftKaart(const Toestand& t, const std::string& lezer) {
    return !lezer.empty() && (lezer == houder(t) || t.andere.count(lezer) == 1);
}

// Takes whatever card is in `lezer` out, moving its event counter on.
void haalUit(Toestand& t, const std::string& lezer) {
    if (!heeftKaart(t, lezer)) {
        return;
    }
    if (lezer == houder(t)) {
        t.kaartLezer = "";
    }
    t.andere.erase(lezer);
    ++t.tellers[lezer];
}

// The card's state bits as the service reports a reader that holds one.
DWORD kaartStand(const Toestand& t, const std::string& lezer) {
    const auto staat = t.kaartStaat.find(lezer);
    const CardState s = staat == t.kaartStaat.end() ? CardState::answering : staat->second;
    switch (s) {
    case CardState::mute:
        return SCARD_STATE_PRESENT | SCARD_STATE_MUTE;
    case CardState::exclusive:
        return SCARD_STATE_PRESENT | SCARD_STATE_EXCLUSIVE;
    case CardState::answering:
        break;
    }
    return SCARD_STATE_PRESENT;
}

const Bytes& atrIn(const Toestand& t, const std::string& lezer) {
    const auto ander = t.andere.find(lezer);
    return ander == t.andere.end() ? t.atr : ander->second.atr;
}

// The context a call goes into: its own, or that of its card handle.
std::uint64_t contextVan(const Toestand& t, const Record& r) {
    const auto open = t.kaarten.find(r.card);
    return r.context != 0 ? r.context : open == t.kaarten.end() ? 0 : open->second.context;
}

// pcsc-lite lets one call at a time into a context (SCardCancel excepted): a call waits while
// another call in its context waits, for a change, a transaction or another program.
void wachtTotVrij(Toestand& t, std::uint64_t context) {
    std::unique_lock<std::mutex> slot(t.slot, std::adopt_lock);
    t.veranderd.wait(slot, [&] { return t.bezet.count(context) == 0; });
    slot.release();
}

// A call that waits, held by the context it waits in.
struct Bezet {
    Toestand& t;
    std::uint64_t context;

    Bezet(Toestand& t, std::uint64_t context) : t(t), context(context) { ++t.bezet[context]; }
    ~Bezet() {
        if (--t.bezet[context] == 0) {
            t.bezet.erase(context);
        }
        t.veranderd.notify_all();
    }
    Bezet(const Bezet&) = delete;
    Bezet& operator=(const Bezet&) = delete;
};

// Opens a record of the call, counts it, and tells the code the script forces (0: none).
// Throws std::bad_alloc when the script asks for it.
std::uint32_t start(Toestand& t, Call call, Record& r) {
    r.call = call;
    const std::size_t n = ++t.geteld[static_cast<std::size_t>(call)];
    doeActies(t, call, n);
    if (call != Call::Cancel) {
        wachtTotVrij(t, contextVan(t, r));
    }
    r.time = nu(t);
    const auto gooi = t.gooi.find(call);
    if (gooi != t.gooi.end() && gooi->second == n) {
        t.record.push_back(r);
        throw std::bad_alloc();
    }
    const auto codes = t.codes.find(call);
    if (codes != t.codes.end() && n <= codes->second.size()) {
        return codes->second[n - 1];
    }
    return t.dienstLoopt ? kSuccess : kNoService;
}

// A wait that names a reader the service does not know: Windows answers that reader's state as
// unknown, to be ignored, and changed (Microsoft's SCardGetStatusChange page), so the call
// returns at once; pcsc-lite fails the whole call with kUnknownReader.
constexpr bool kOnbekendeLezerAlsStaat = belpic::pcsc::kWindows;

bool onbekend(const std::vector<std::string>& namen, const std::string& naam) {
    return naam != belpic::pcsc::utf8(belpic::pcsc::aankomstNaam().c_str()) &&
           std::find(namen.begin(), namen.end(), naam) == namen.end();
}

// Whether the entries name a reader that pcsc-lite would fail the call for.
bool onbekendeLezerGevraagd(const Toestand& t, const belpic::pcsc::LezerStaat* staten,
                            DWORD aantal) {
    const std::vector<std::string> namen = namenIn(t.lijst);
    for (DWORD i = 0; i < aantal && !kOnbekendeLezerAlsStaat; ++i) {
        if ((staten[i].dwCurrentState & SCARD_STATE_IGNORE) == 0 &&
            onbekend(namen, belpic::pcsc::utf8(staten[i].szReader))) {
            return true;
        }
    }
    return false;
}

// Fills each entry's event state as the service sees the readers now; tells whether any differs
// from what the caller knew.
bool bekijk(Toestand& t, belpic::pcsc::LezerStaat* staten, DWORD aantal) {
    const std::vector<std::string> namen = namenIn(t.lijst);
    const std::string aankomst = belpic::pcsc::utf8(belpic::pcsc::aankomstNaam().c_str());
    constexpr DWORD kStand = SCARD_STATE_PRESENT | SCARD_STATE_EMPTY | SCARD_STATE_UNKNOWN |
                             SCARD_STATE_MUTE | SCARD_STATE_EXCLUSIVE;
    bool gewijzigd = false;
    for (DWORD i = 0; i < aantal; ++i) {
        belpic::pcsc::LezerStaat& staat = staten[i];
        const DWORD huidig = staat.dwCurrentState;
        const std::string naam = belpic::pcsc::utf8(staat.szReader);
        DWORD gebeurd = 0;
        bool anders = false;
        if (huidig & SCARD_STATE_IGNORE) {
            gebeurd = SCARD_STATE_IGNORE;
        } else if (naam == aankomst) {
            gebeurd = static_cast<DWORD>(namen.size()) << 16;
            anders = (huidig >> 16) != namen.size();
        } else if (onbekend(namen, naam)) {
            gebeurd = SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE;
            anders = true;
        } else {
            const bool kaart = heeftKaart(t, naam);
            const DWORD stand = kaart ? kaartStand(t, naam) : SCARD_STATE_EMPTY;
            const DWORD teller = static_cast<DWORD>(t.tellers[naam] & 0xFFFF);
            gebeurd = teller << 16 | stand;
            anders = (huidig & kStand) != stand || (huidig >> 16) != teller;
            const Bytes leeg;
            const Bytes& atr = kaart ? atrIn(t, naam) : leeg;
            staat.cbAtr = static_cast<DWORD>(std::min(atr.size(), sizeof staat.rgbAtr));
            std::copy(atr.begin(), atr.begin() + staat.cbAtr, staat.rgbAtr);
        }
        staat.dwEventState = gebeurd | (anders ? SCARD_STATE_CHANGED : 0);
        gewijzigd = gewijzigd || anders;
    }
    return gewijzigd;
}

// The reader of an open card handle, for the record; empty for a handle that is not open.
std::string lezerVan(const Toestand& t, std::uint64_t kaart) {
    const auto open = t.kaarten.find(kaart);
    return open == t.kaarten.end() ? std::string() : open->second.lezer;
}

// While another program holds the card in `lezer` for `call`, the call waits for the hold to end.
void wachtOpHouder(Toestand& t, std::unique_lock<std::mutex>& slot, const Record& r, Call call) {
    const std::string& lezer = r.reader;
    const auto vastgehouden = [&] {
        const auto houder = t.vast.find(lezer);
        return t.dienstLoopt && houder != t.vast.end() && houder->second.first == call &&
               nu(t) < houder->second.second;
    };
    if (!vastgehouden()) {
        return;
    }
    ++t.vastBegonnen;
    const Bezet bezet(t, contextVan(t, r));
    // It counts as a wait begun, and again each time it waits on after the clock moved: a test
    // knows that the time it gave has been looked at.
    std::optional<std::chrono::steady_clock::duration> gezien;
    while (vastgehouden()) {
        if (gezien != t.verschoven) {
            gezien = t.verschoven;
            ++t.wachten;
            t.veranderd.notify_all();
        }
        t.veranderd.wait(slot);
    }
}

// Wakes every wait on the clock, so that it looks at the time again.
void wekWachters(Toestand& t) {
    std::lock_guard<std::mutex> wekkers(t.wekkerSlot);
    for (const auto& [slot, gewekt] : t.wekkers) {
        std::lock_guard<std::mutex> wacht(*slot);
        gewekt->notify_all();
    }
}

LONG klaar(Toestand& t, Record& r, std::uint32_t code) {
    r.result = code;
    t.record.push_back(std::move(r));
    return static_cast<LONG>(code);
}

} // namespace

void reset() {
    onderSlot([&](Toestand& t) {
        t.wis();
        t.transactieVrij.notify_all();
        t.veranderd.notify_all();
    });
}

void readers(const std::vector<std::string>& names) {
    Bytes lijst;
    for (const std::string& naam : names) {
        lijst.insert(lijst.end(), naam.begin(), naam.end());
        lijst.push_back(0);
    }
    if (!lijst.empty()) {
        lijst.push_back(0);
    }
    readerBytes(lijst);
}

void readerBytes(const Bytes& multiString) {
    onderSlot([&](Toestand& t) {
        t.lijst = multiString;
        t.veranderd.notify_all();
    });
}

void listLengths(std::uint64_t needed, std::uint64_t returned) {
    onderSlot([&](Toestand& t) {
        t.nodig = needed;
        t.gegeven = returned;
    });
}

void insertCard(const std::string& reader) {
    onderSlot([&](Toestand& t) {
        const std::string oud = houder(t);
        if (oud != reader) { // the reader that lost the card and the one that got it
            haalUit(t, oud);
            haalUit(t, reader);
            if (!reader.empty()) {
                ++t.tellers[reader];
            }
        }
        t.kaartLezer = reader;
        t.veranderd.notify_all();
    });
}

void removeCard() {
    insertCard("");
}

void cardAtr(const Bytes& atr) {
    onderSlot([&](Toestand& t) { t.atr = atr; });
}

void otherCard(const std::string& reader, const Bytes& status, const Bytes& atr) {
    onderSlot([&](Toestand& t) {
        haalUit(t, reader);
        t.andere[reader] = AndereKaart{status, atr};
        ++t.tellers[reader];
        t.veranderd.notify_all();
    });
}

void removeOtherCard(const std::string& reader) {
    onderSlot([&](Toestand& t) {
        if (t.andere.count(reader) == 1) {
            haalUit(t, reader);
        }
        t.veranderd.notify_all();
    });
}

void cardState(const std::string& reader, CardState state) {
    onderSlot([&](Toestand& t) {
        t.kaartStaat[reader] = state;
        t.veranderd.notify_all();
    });
}

void cardProtocol(std::uint32_t protocol) {
    onderSlot([&](Toestand& t) { t.protocol = protocol; });
}

void script(Call call, const std::vector<std::uint32_t>& codes) {
    onderSlot([&](Toestand& t) { t.codes[call] = codes; });
}

void onCall(Call call, std::size_t n, std::function<void()> action) {
    onderSlot([&](Toestand& t) { t.acties.emplace(std::make_pair(call, n), std::move(action)); });
}

struct Hold::State {
    std::mutex slot;
    std::condition_variable veranderd;
    bool vast = false;
    bool los = false;
};

Hold::Hold(Call call, std::size_t n) : state_(std::make_shared<State>()) {
    onCall(call, n, [state = state_] {
        std::unique_lock<std::mutex> slot(state->slot);
        state->vast = true;
        state->veranderd.notify_all();
        state->veranderd.wait(slot, [&] { return state->los; });
    });
}

Hold::~Hold() {
    release();
}

void Hold::awaitHeld() {
    std::unique_lock<std::mutex> slot(state_->slot);
    state_->veranderd.wait(slot, [&] { return state_->vast; });
}

void Hold::release() {
    std::lock_guard<std::mutex> slot(state_->slot);
    state_->los = true;
    state_->veranderd.notify_all();
}

void throwBadAlloc(Call call, std::size_t n) {
    onderSlot([&](Toestand& t) { t.gooi[call] = n; });
}

void file(const Bytes& path, const Bytes& content) {
    onderSlot([&](Toestand& t) { t.kaart.bestanden[path] = Bestand{Soort::gewoon, content, 0}; });
}

void endlessFile(const Bytes& path) {
    onderSlot([&](Toestand& t) { t.kaart.bestanden[path] = Bestand{Soort::eindeloos, {}, 0}; });
}

void correctingFile(const Bytes& path, std::uint8_t le) {
    onderSlot([&](Toestand& t) { t.kaart.bestanden[path] = Bestand{Soort::corrigerend, {}, le}; });
}

void correctLength(bool on) {
    onderSlot([&](Toestand& t) { t.kaart.corrigeer = on; });
}

void emptyAtEnd(bool on) {
    onderSlot([&](Toestand& t) { t.kaart.leegAanEinde = on; });
}

void answer(std::size_t n, const Bytes& response) {
    onderSlot([&](Toestand& t) { t.antwoorden[n] = response; });
}

void cardPlayer(Player player) {
    onderSlot([&](Toestand& t) { t.speler = std::move(player); });
}

void serviceRunning(bool running) {
    onderSlot([&](Toestand& t) {
        t.dienstLoopt = running;
        if (!running) { // a service started again knows nothing of the old one, counters included
            t.contexten.clear();
            t.kaarten.clear();
            t.transacties.clear();
            t.tellers.clear();
        }
        t.transactieVrij.notify_all();
        t.veranderd.notify_all();
    });
}

std::chrono::steady_clock::time_point now() {
    return onderSlot([&](Toestand& t) { return nu(t); });
}

void advance(std::chrono::steady_clock::duration by) {
    onderSlot([&](Toestand& t) {
        t.verschoven += by;
        t.veranderd.notify_all();
    });
    wekWachters(toestand());
}

void heldElsewhere(const std::string& reader, std::chrono::steady_clock::time_point until,
                   Call at) {
    onderSlot([&](Toestand& t) {
        t.vast[reader] = {at, until};
        t.veranderd.notify_all();
    });
}

void awaitHeldCalls(std::size_t n) {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    t.veranderd.wait(slot, [&] { return t.vastBegonnen >= n; });
}

void manualClock(bool on) {
    onderSlot([&](Toestand& t) { t.handmatig = on; });
}

std::vector<Pause> pauses() {
    return onderSlot([&](Toestand& t) { return t.pauzes; });
}

void sleep(std::chrono::steady_clock::duration duration) {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    const auto einde = t.verschoven + duration;
    ++t.wachten;
    t.veranderd.notify_all();
    t.veranderd.wait(slot, [&] { return t.verschoven >= einde; });
}

std::size_t waitsBegun() {
    return onderSlot([&](Toestand& t) { return t.wachten; });
}

bool awaitWaits(std::size_t n) {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    return t.veranderd.wait_for(slot, std::chrono::minutes(1), [&] { return t.wachten >= n; });
}

std::vector<Record> calls() {
    return onderSlot([&](Toestand& t) { return t.record; });
}

std::vector<Record> calls(Call call) {
    std::vector<Record> gekozen;
    for (Record& r : calls()) {
        if (r.call == call) {
            gekozen.push_back(std::move(r));
        }
    }
    return gekozen;
}

std::size_t openContexts() {
    return onderSlot([&](Toestand& t) { return t.contexten.size(); });
}

std::size_t openCards() {
    return onderSlot([&](Toestand& t) { return t.kaarten.size(); });
}

void awaitWaitingBegins(std::size_t n) {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    t.wachtendVeranderd.wait(slot, [&] { return t.wachtend >= n; });
}

std::size_t openTransactions() {
    return onderSlot([&](Toestand& t) { return t.transacties.size(); });
}

void awaitAllClosed() {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    t.veranderd.wait(
        slot, [&] { return t.contexten.empty() && t.kaarten.empty() && t.transacties.empty(); });
}

namespace {

template <typename Teken>
std::basic_string<Teken> inEenheden(const Bytes& lijst) {
    if constexpr (sizeof(Teken) == 1) {
        return std::basic_string<Teken>(lijst.begin(), lijst.end());
    } else {
        const std::u16string breed = belpic::utf16Uit8(std::string(lijst.begin(), lijst.end()));
        return std::basic_string<Teken>(breed.begin(), breed.end());
    }
}

// The reader list in the caller's units: bytes, or UTF-16 for Windows' W variant.
template <typename Teken>
LONG lijstLezers(SCARDCONTEXT hContext, const Teken* mszGroups, Teken* mszReaders,
                 LPDWORD pcchReaders) {
    return onderSlot([&](Toestand& t) -> LONG {
        Record r;
        r.context = static_cast<std::uint64_t>(hContext);
        r.groupsNull = mszGroups == nullptr;
        r.bufferNull = mszReaders == nullptr;
        r.lengthIn = pcchReaders == nullptr ? 0 : *pcchReaders;
        if (const std::uint32_t code = start(t, Call::ListReaders, r)) {
            return klaar(t, r, code);
        }
        if (pcchReaders == nullptr) {
            return klaar(t, r, kInvalidParameter);
        }
        if (t.contexten.count(r.context) == 0) {
            return klaar(t, r, kInvalidHandle);
        }
        const std::basic_string<Teken> lijst = inEenheden<Teken>(t.lijst);
        if (lijst.empty()) {
            return klaar(t, r, kNoReadersAvailable);
        }
        if (mszReaders == nullptr) {
            *pcchReaders = static_cast<DWORD>(t.nodig.value_or(lijst.size()));
            r.lengthOut = *pcchReaders;
            return klaar(t, r, kSuccess);
        }
        if (*pcchReaders < lijst.size()) {
            *pcchReaders = static_cast<DWORD>(lijst.size());
            r.lengthOut = *pcchReaders;
            return klaar(t, r, kInsufficientBuffer);
        }
        std::copy(lijst.begin(), lijst.end(), mszReaders);
        *pcchReaders = static_cast<DWORD>(t.gegeven.value_or(lijst.size()));
        r.lengthOut = *pcchReaders;
        return klaar(t, r, kSuccess);
    });
}

// `lezer` is the name in UTF-8, or null when the caller passed none.
LONG verbind(SCARDCONTEXT hContext, const std::string* lezer, DWORD dwShareMode,
             DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    {
        Record r;
        r.context = static_cast<std::uint64_t>(hContext);
        r.reader = lezer == nullptr ? "" : *lezer;
        r.shareMode = dwShareMode;
        r.preferredProtocols = dwPreferredProtocols;
        if (const std::uint32_t code = start(t, Call::Connect, r)) {
            return klaar(t, r, code);
        }
        wachtOpHouder(t, slot, r, Call::Connect);
        if (lezer == nullptr || phCard == nullptr || pdwActiveProtocol == nullptr) {
            return klaar(t, r, kInvalidParameter);
        }
        if (t.contexten.count(r.context) == 0) {
            return klaar(t, r, kInvalidHandle);
        }
        const std::vector<std::string> namen = namenIn(t.lijst);
        if (std::find(namen.begin(), namen.end(), r.reader) == namen.end()) {
            return klaar(t, r, kUnknownReader);
        }
        if (!heeftKaart(t, r.reader)) {
            return klaar(t, r, kNoSmartcard);
        }
        const DWORD stand = kaartStand(t, r.reader);
        if (stand & SCARD_STATE_MUTE) {
            return klaar(t, r, kUnresponsiveCard);
        }
        if (stand & SCARD_STATE_EXCLUSIVE) {
            return klaar(t, r, kSharingViolation);
        }
        const bool eid = r.reader == houder(t);
        const std::uint32_t protocol = eid ? t.protocol : SCARD_PROTOCOL_T1;
        if ((dwPreferredProtocols & protocol) == 0) {
            return klaar(t, r, kProtoMismatch);
        }
        r.card = t.volgendeKaart++;
        r.activeProtocol = protocol;
        // A card already in use by another handle is not powered up anew.
        const bool inGebruik =
            std::any_of(t.kaarten.begin(), t.kaarten.end(),
                        [&](const auto& open) { return open.second.lezer == r.reader; });
        if (eid && !inGebruik) {
            zetAan(t.kaart);
        }
        t.kaarten[r.card] = Handvat{r.reader, protocol, r.context};
        *phCard = static_cast<SCARDHANDLE>(r.card);
        *pdwActiveProtocol = protocol;
        return klaar(t, r, kSuccess);
    }
}

} // namespace

} // namespace pcscfake

using namespace pcscfake;

extern "C" {

#if defined(_WIN32)
// Windows: names travel in UTF-16. The ANSI variants would garble any name outside the code
// page, so the scripted service refuses them and a caller that uses them shows at once.
LONG WINAPI SCardListReadersW(SCARDCONTEXT hContext, LPCWSTR mszGroups, LPWSTR mszReaders,
                              LPDWORD pcchReaders) {
    return lijstLezers(hContext, mszGroups, mszReaders, pcchReaders);
}

LONG WINAPI SCardConnectW(SCARDCONTEXT hContext, LPCWSTR szReader, DWORD dwShareMode,
                          DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                          LPDWORD pdwActiveProtocol) {
    const std::string naam = szReader == nullptr ? "" : belpic::pcsc::utf8(szReader);
    return verbind(hContext, szReader == nullptr ? nullptr : &naam, dwShareMode,
                   dwPreferredProtocols, phCard, pdwActiveProtocol);
}

LONG WINAPI SCardListReadersA(SCARDCONTEXT, LPCSTR, LPSTR, LPDWORD) {
    return static_cast<LONG>(kUnsupportedFeature);
}

LONG WINAPI SCardConnectA(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE, LPDWORD) {
    return static_cast<LONG>(kUnsupportedFeature);
}
#else
LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                      LPDWORD pcchReaders) {
    return lijstLezers(hContext, mszGroups, mszReaders, pcchReaders);
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    const std::string naam = szReader == nullptr ? "" : szReader;
    return verbind(hContext, szReader == nullptr ? nullptr : &naam, dwShareMode,
                   dwPreferredProtocols, phCard, pdwActiveProtocol);
}
#endif

LONG TESSARIN_SCARD_CALL SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1,
                                               LPCVOID pvReserved2, LPSCARDCONTEXT phContext) {
    return onderSlot([&](Toestand& t) -> LONG {
        Record r;
        r.scope = dwScope;
        r.reserved1Null = pvReserved1 == nullptr;
        r.reserved2Null = pvReserved2 == nullptr;
        if (const std::uint32_t code = start(t, Call::EstablishContext, r)) {
            return klaar(t, r, code);
        }
        if (phContext == nullptr) {
            return klaar(t, r, kInvalidParameter);
        }
        r.context = t.volgendeContext++;
        t.contexten.insert(r.context);
        *phContext = static_cast<SCARDCONTEXT>(r.context);
        return klaar(t, r, kSuccess);
    });
}

LONG TESSARIN_SCARD_CALL SCardReleaseContext(SCARDCONTEXT hContext) {
    return onderSlot([&](Toestand& t) -> LONG {
        Record r;
        r.context = static_cast<std::uint64_t>(hContext);
        if (const std::uint32_t code = start(t, Call::ReleaseContext, r)) {
            return klaar(t, r, code);
        }
        t.veranderd.notify_all(); // a wait on the context ends
        return klaar(t, r, t.contexten.erase(r.context) == 1 ? kSuccess : kInvalidHandle);
    });
}

LONG TESSARIN_SCARD_CALL SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci,
                                       LPCBYTE pbSendBuffer, DWORD cbSendLength,
                                       SCARD_IO_REQUEST* pioRecvPci, LPBYTE pbRecvBuffer,
                                       LPDWORD pcbRecvLength) {
    return onderSlot([&](Toestand& t) -> LONG {
        Record r;
        r.card = static_cast<std::uint64_t>(hCard);
        r.sendPciNull = pioSendPci == nullptr;
        if (pioSendPci != nullptr) {
            r.pciProtocol = pioSendPci->dwProtocol;
            r.pciLength = pioSendPci->cbPciLength;
        }
        r.receivePciNull = pioRecvPci == nullptr;
        if (pbSendBuffer != nullptr) {
            r.command.assign(pbSendBuffer, pbSendBuffer + cbSendLength);
        }
        r.receiveLength = pcbRecvLength == nullptr ? 0 : *pcbRecvLength;
        r.reader = lezerVan(t, r.card);
        if (const std::uint32_t code = start(t, Call::Transmit, r)) {
            return klaar(t, r, code);
        }
        if (pioSendPci == nullptr || pbSendBuffer == nullptr || pbRecvBuffer == nullptr ||
            pcbRecvLength == nullptr) {
            return klaar(t, r, kInvalidParameter);
        }
        const auto open = t.kaarten.find(r.card);
        if (open == t.kaarten.end()) {
            return klaar(t, r, kInvalidHandle);
        }
        if (pioSendPci->dwProtocol != open->second.protocol) {
            return klaar(t, r, kProtoMismatch);
        }
        const std::size_t n = t.geteld[static_cast<std::size_t>(Call::Transmit)];
        const auto gedwongen = t.antwoorden.find(n);
        const auto ander = t.andere.find(r.reader);
        Bytes antwoord;
        if (gedwongen != t.antwoorden.end()) {
            antwoord = gedwongen->second;
        } else if (ander != t.andere.end()) {
            antwoord = ander->second.status;
        } else if (t.speler) {
            if (const std::uint32_t code = t.speler(r.command, antwoord)) {
                return klaar(t, r, code);
            }
        } else {
            antwoord = pcscfake::antwoord(t.kaart, r.command);
        }
        if (antwoord.size() > *pcbRecvLength) {
            *pcbRecvLength = static_cast<DWORD>(antwoord.size());
            return klaar(t, r, kInsufficientBuffer);
        }
        std::copy(antwoord.begin(), antwoord.end(), pbRecvBuffer);
        *pcbRecvLength = static_cast<DWORD>(antwoord.size());
        r.response = std::move(antwoord);
        return klaar(t, r, kSuccess);
    });
}

LONG TESSARIN_SCARD_CALL SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    return onderSlot([&](Toestand& t) -> LONG {
        Record r;
        r.card = static_cast<std::uint64_t>(hCard);
        r.disposition = dwDisposition;
        r.reader = lezerVan(t, r.card);
        if (const std::uint32_t code = start(t, Call::Disconnect, r)) {
            return klaar(t, r, code);
        }
        if (t.transacties.erase(r.card) == 1) { // the service ends a transaction still open
            t.transactieVrij.notify_all();
        }
        t.veranderd.notify_all(); // awaitAllClosed
        return klaar(t, r, t.kaarten.erase(r.card) == 1 ? kSuccess : kInvalidHandle);
    });
}

// As the real service: while another handle of the same reader holds a transaction this one
// waits for it to end (here at most kTransactieWacht, then kSharingViolation).
LONG TESSARIN_SCARD_CALL SCardBeginTransaction(SCARDHANDLE hCard) {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    Record r;
    r.card = static_cast<std::uint64_t>(hCard);
    r.reader = lezerVan(t, r.card);
    if (const std::uint32_t code = start(t, Call::BeginTransaction, r)) {
        return klaar(t, r, code);
    }
    wachtOpHouder(t, slot, r, Call::BeginTransaction);
    if (t.kaarten.count(r.card) == 0) {
        return klaar(t, r, kInvalidHandle);
    }
    // Free when no other handle of the same reader holds a transaction.
    const auto beschikbaar = [&] {
        return std::none_of(t.transacties.begin(), t.transacties.end(), [&](std::uint64_t ander) {
            return ander != r.card && lezerVan(t, ander) == r.reader;
        });
    };
    bool vrij = beschikbaar();
    if (!vrij) {
        const Bezet bezet(t, contextVan(t, r));
        ++t.wachtend;
        t.wachtendVeranderd.notify_all();
        vrij = t.transactieVrij.wait_for(slot, kTransactieWacht, beschikbaar);
        --t.wachtend;
    }
    if (!vrij) {
        return klaar(t, r, kSharingViolation);
    }
    t.transacties.insert(r.card);
    return klaar(t, r, kSuccess);
}

LONG TESSARIN_SCARD_CALL SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
    return onderSlot([&](Toestand& t) -> LONG {
        Record r;
        r.card = static_cast<std::uint64_t>(hCard);
        r.disposition = dwDisposition;
        r.reader = lezerVan(t, r.card);
        if (const std::uint32_t code = start(t, Call::EndTransaction, r)) {
            return klaar(t, r, code);
        }
        if (t.kaarten.count(r.card) == 0) {
            return klaar(t, r, kInvalidHandle);
        }
        if (t.transacties.erase(r.card) == 0) {
            return klaar(t, r, kNotTransacted);
        }
        t.transactieVrij.notify_all();
        t.veranderd.notify_all(); // awaitAllClosed
        return klaar(t, r, kSuccess);
    });
}

// Waits until a reader's state differs from what the caller knew, advance() has moved the
// service's clock past the timeout, SCardCancel is called on the context, or the service stops.
#if defined(_WIN32)
LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT, DWORD, LPSCARD_READERSTATEA, DWORD) {
    return static_cast<LONG>(kUnsupportedFeature);
}
#endif

LONG TESSARIN_SCARD_CALL PCSCFAKE_GET_STATUS_CHANGE(SCARDCONTEXT hContext, DWORD dwTimeout,
                                                    belpic::pcsc::LezerStaat* rgReaderStates,
                                                    DWORD cReaders) {
    Toestand& t = toestand();
    std::unique_lock<std::mutex> slot(t.slot);
    Record r;
    r.context = static_cast<std::uint64_t>(hContext);
    r.timeout = dwTimeout;
    for (DWORD i = 0; rgReaderStates != nullptr && i < cReaders; ++i) {
        const auto* naam = rgReaderStates[i].szReader;
        r.states.push_back(
            {naam == nullptr ? "" : belpic::pcsc::utf8(naam), rgReaderStates[i].dwCurrentState, 0});
    }
    if (const std::uint32_t code = start(t, Call::GetStatusChange, r)) {
        return klaar(t, r, code);
    }
    if (rgReaderStates == nullptr && cReaders > 0) {
        return klaar(t, r, kInvalidParameter);
    }
    for (DWORD i = 0; i < cReaders; ++i) {
        if (rgReaderStates[i].szReader == nullptr) {
            return klaar(t, r, kInvalidParameter);
        }
    }
    if (t.contexten.count(r.context) == 0) {
        return klaar(t, r, kInvalidHandle);
    }
    const auto einde = t.verschoven + std::chrono::milliseconds(dwTimeout);
    const std::uint64_t annulering = t.annuleringen[r.context];
    const Bezet bezet(t, r.context);
    std::uint32_t code = kSuccess;
    bool wacht = false;
    for (;;) {
        if (!t.dienstLoopt) {
            code = kNoService;
        } else if (t.contexten.count(r.context) == 0) {
            code = kInvalidHandle;
        } else if (t.annuleringen[r.context] != annulering) {
            code = kCancelled;
        } else if (onbekendeLezerGevraagd(t, rgReaderStates, cReaders)) {
            code = kUnknownReader;
        } else if (bekijk(t, rgReaderStates, cReaders)) {
            code = kSuccess;
        } else if (dwTimeout != INFINITE && t.verschoven >= einde) {
            code = kTimeout;
        } else {
            if (!wacht) {
                wacht = true;
                ++t.wachten;
                t.veranderd.notify_all();
            }
            t.veranderd.wait(slot);
            continue;
        }
        break;
    }
    for (DWORD i = 0; i < cReaders && code == kSuccess; ++i) {
        r.states[i].event = rgReaderStates[i].dwEventState;
    }
    return klaar(t, r, code);
}

// Ends the waits in progress on the context; a later wait is not affected.
LONG TESSARIN_SCARD_CALL SCardCancel(SCARDCONTEXT hContext) {
    return onderSlot([&](Toestand& t) -> LONG {
        Record r;
        r.context = static_cast<std::uint64_t>(hContext);
        if (const std::uint32_t code = start(t, Call::Cancel, r)) {
            return klaar(t, r, code);
        }
        if (t.contexten.count(r.context) == 0) {
            return klaar(t, r, kInvalidHandle);
        }
        ++t.annuleringen[r.context];
        t.veranderd.notify_all();
        return klaar(t, r, kSuccess);
    });
}

} // extern "C"

// The clock of the code under test is the service's: see manualClock().
namespace belpic {

namespace {

// Waits until `klaar` or the clock reaches `tot`; `slot` is held. The wait is registered without
// `slot` held, so that advance() may take it to wake the wait. A pause counts as a wait begun; a
// wait for another thread does not: that thread either is done at once, or waits for another
// program's hold, which counts itself.
void wachtOpKlok(std::unique_lock<std::mutex>& slot, std::condition_variable& gewekt, Tijdstip tot,
                 const std::function<bool()>& klaar, bool telt) {
    pcscfake::Toestand& t = pcscfake::toestand();
    const auto wacht = std::make_pair(slot.mutex(), &gewekt);
    slot.unlock();
    {
        std::lock_guard<std::mutex> wekkers(t.wekkerSlot);
        t.wekkers.insert(wacht);
    }
    slot.lock();
    const auto tijdOm = [&] {
        return pcscfake::onderSlot([&](pcscfake::Toestand& t) { return pcscfake::nu(t) >= tot; });
    };
    if (!klaar() && !tijdOm()) {
        if (telt) {
            pcscfake::onderSlot([](pcscfake::Toestand& t) {
                ++t.wachten;
                t.veranderd.notify_all();
            });
        }
        gewekt.wait(slot, [&] { return klaar() || tijdOm(); });
    }
    slot.unlock();
    {
        std::lock_guard<std::mutex> wekkers(t.wekkerSlot);
        t.wekkers.erase(t.wekkers.find(wacht));
    }
    slot.lock();
}

void wachtOpAndere(std::unique_lock<std::mutex>& slot, std::condition_variable& gewekt,
                   Tijdstip tot, const std::function<bool()>& klaar) {
    wachtOpKlok(slot, gewekt, tot, klaar, false);
}

void pauzeerOpKlok(Onderbreking& stop, std::chrono::milliseconds duur) {
    {
        std::lock_guard<std::mutex> slot(stop.slot);
        if (stop.gestopt) {
            return;
        }
    }
    const bool handmatig = pcscfake::onderSlot([&](pcscfake::Toestand& t) {
        t.pauzes.push_back({duur, t.record.size()});
        return t.handmatig;
    });
    if (!handmatig) {
        pcscfake::advance(duur);
        return;
    }
    const Tijdstip einde = pcscfake::now() + duur;
    std::unique_lock<std::mutex> slot(stop.slot);
    wachtOpKlok(
        slot, stop.gewekt, einde, [&] { return stop.gestopt; }, true);
}

} // namespace

PCSCFAKE_API Klok systeemKlok() {
    return Klok{pcscfake::now, pauzeerOpKlok, wachtOpAndere};
}

} // namespace belpic
