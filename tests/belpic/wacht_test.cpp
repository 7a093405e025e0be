// Waiting for cards against the scripted service, on the service's clock: no test sleeps, and
// every wait that a test lets run out is moved on by the test itself.
#include "belpic/bestand.h"
#include "belpic/lees.h"
#include "belpic/pcsc.h"
#include "belpic/wacht.h"
#include "nepdienst.h"
#include "tests/record.h"
#include "tests/threads.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace belpic::test {
namespace {

using namespace std::chrono_literals;
using pcscfake::Call;
using threads::step;

struct Uitkomst {
    std::string lezer;
    Fout fout;
};

// A wait in a session of its own, which `stop` ends.
std::string wacht(const std::string& lezer, std::chrono::milliseconds duur,
                  const std::shared_ptr<Onderbreking>& stop, Fout& fout) {
    return wachtOpKaart(std::make_shared<Sessie>(stop), lezer, duur, fout);
}

// A wait on a thread of its own. Its end counts as one more wait of the service, so a test
// awaiting the waiter's next wait sees the end too.
struct Apart {
    std::shared_ptr<Onderbreking> stop = std::make_shared<Onderbreking>();
    std::atomic<bool> klaar{false};
    std::future<Uitkomst> uitkomst;

    Apart(const std::string& lezer, std::chrono::milliseconds duur)
        : uitkomst(std::async(std::launch::async, [=] {
              Uitkomst u;
              u.lezer = wacht(lezer, duur, stop, u.fout);
              klaar = true;
              pcscfake::sleep(std::chrono::seconds(0));
              return u;
          })) {}
};

// A watch that `stop` ends, in a session of its own; with `vraag`, it reads those fields from each
// eID card put in.
void bewaakMet(const std::shared_ptr<Onderbreking>& stop, const std::string& lezer,
               const std::function<void(const Kaartmelding&)>& meld,
               const std::optional<Vraag>& vraag = {}) {
    bewaak(
        std::make_shared<Sessie>(stop), lezer, [vraag](const std::string&) { return vraag; }, meld);
}

// A watch on its own thread, what it tells collected.
class Wacht {
  public:
    explicit Wacht(const std::string& lezer, const std::optional<Vraag>& vraag = {})
        : draad([this, lezer, vraag] {
              bewaakMet(
                  stop, lezer,
                  [this](const Kaartmelding& melding) {
                      std::lock_guard<std::mutex> slot(this->slot);
                      gemeld.push_back(melding);
                      verteld.notify_all();
                  },
                  vraag);
          }) {}
    ~Wacht() { stoppen(); }

    void stoppen() {
        if (draad.joinable()) {
            onderbreek(*stop);
            draad.join();
        }
    }

    std::vector<Kaartmelding> meldingen() {
        std::lock_guard<std::mutex> slot(this->slot);
        return gemeld;
    }

    // Waits until the watch has told `n` cards in or out: a step may be taken in by a wait that
    // began before the watch saw all of it.
    void wachtOpMeldingen(std::size_t n) {
        std::unique_lock<std::mutex> slot(this->slot);
        EXPECT_TRUE(
            verteld.wait_for(slot, std::chrono::seconds(20), [&] { return gemeld.size() >= n; }));
    }

    // The readers of the cards put in, in order.
    std::vector<std::string> insertions() {
        std::vector<std::string> lezers;
        for (const Kaartmelding& m : meldingen()) {
            if (m.ingestoken) {
                lezers.push_back(m.lezer);
            }
        }
        return lezers;
    }

    // Every card put in (+A) and taken out (-A), in order.
    std::vector<std::string> verloop() {
        std::vector<std::string> lijst;
        for (const Kaartmelding& m : meldingen()) {
            lijst.push_back((m.ingestoken ? "+" : "-") + m.lezer);
        }
        return lijst;
    }

  private:
    std::shared_ptr<Onderbreking> stop = std::make_shared<Onderbreking>();
    std::mutex slot;
    std::vector<Kaartmelding> gemeld;
    std::condition_variable verteld;
    std::thread draad;
};

// Whether the waiter ended without the service's clock moving on. A waiter that goes on waiting
// instead fails the test, and the clock is moved on to end it.
template <typename T>
bool eindigtZonderTijd(std::future<T>& einde) {
    return threads::doneOrUnstick(einde, [] { pcscfake::advance(std::chrono::hours(1)); });
}

// Waits count eID cards only, which a probe knows by their identity file.
void eidKaart() {
    pcscfake::file(bestandIdentiteit(), {0x01, 0x00});
}

// The waits run on the service's clock, which only the test moves on.
class Wachten : public MetNepdienst {
  protected:
    void SetUp() override {
        MetNepdienst::SetUp();
        pcscfake::manualClock(true);
        eidKaart();
    }
};

TEST_F(Wachten, LooksOnceWithoutWaitingWhenTheAnswerIsKnown) {
    struct Geval {
        const char* naam;
        std::vector<std::string> lezers;
        std::string kaartIn; // "-": no card
        std::string gevraagd;
        std::string verwacht; // the reader, or empty for a timeout
    };
    const Geval gevallen[] = {
        {"card in the only reader", {"A"}, "A", "", "A"},
        {"card in the second reader", {"A", "B"}, "B", "", "B"},
        {"two readers, card in the first", {"A", "B"}, "A", "", "A"},
        {"named reader holds it", {"A", "B"}, "B", "B", "B"},
        {"card elsewhere than the named reader", {"A", "B"}, "A", "B", ""},
        {"no card at all", {"A", "B"}, "-", "", ""},
        {"no reader at all", {}, "-", "", ""},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        pcscfake::manualClock(true);
        eidKaart();
        pcscfake::readers(g.lezers);
        if (g.kaartIn == "-") {
            pcscfake::removeCard();
        } else {
            pcscfake::insertCard(g.kaartIn);
        }
        Fout fout;
        const std::string lezer = wacht(g.gevraagd, 0ms, std::make_shared<Onderbreking>(), fout);
        EXPECT_EQ(lezer, g.verwacht);
        if (g.verwacht.empty()) {
            verwachtFout(fout, tijdOm,
                         "No card was inserted in time. Insert the card and try again.", "timeout");
        } else {
            EXPECT_EQ(fout.code, geenFout);
        }
        EXPECT_EQ(pcscfake::waitsBegun(), 0u);
        EXPECT_EQ(pcscfake::openContexts(), 0u);
    }
}

// The probes of a wait or a watch: the readers connected to, in order.
std::string gepeild() {
    std::string lezers;
    for (const auto& r : pcscfake::calls(Call::Connect)) {
        lezers += (lezers.empty() ? "" : " ") + r.reader;
    }
    return lezers;
}

// Every card is probed in one of the waiter's own sessions (whose contexts it waits on) with one
// SELECT of the identity file, and let go as it was found: no end of a transaction or disconnect
// resets it.
void verwachtProeven() {
    std::set<std::uint64_t> eigen;
    for (const auto& r : pcscfake::calls(Call::GetStatusChange)) {
        eigen.insert(r.context);
    }
    for (const auto& r : pcscfake::calls(Call::Connect)) {
        EXPECT_EQ(eigen.count(r.context), 1u) << r.reader;
        EXPECT_EQ(r.shareMode, static_cast<std::uint64_t>(SCARD_SHARE_SHARED));
    }
    for (const auto& r : pcscfake::calls(Call::Transmit)) {
        EXPECT_EQ(r.command,
                  (Bytes{0x00, 0xA4, 0x08, 0x0C, 0x06, 0x3F, 0x00, 0xDF, 0x01, 0x40, 0x31}));
    }
    for (const Call call : {Call::EndTransaction, Call::Disconnect}) {
        for (const auto& r : pcscfake::calls(call)) {
            EXPECT_EQ(r.disposition, static_cast<std::uint64_t>(SCARD_LEAVE_CARD)) << r.reader;
        }
    }
    EXPECT_EQ(pcscfake::openCards(), 0u);
}

TEST_F(Wachten, AWaitReturnsTheFirstReaderHoldingAnEidCard) {
    struct Geval {
        const char* naam;
        std::string bureau; // readers A, B, C, as legNeer reads them
        std::string gevraagd;
        std::string verwacht; // the reader, or empty for a timeout
        std::string gepeild;
        std::function<void()> storing = [] {};
    };
    const Geval gevallen[] = {
        {"the eID card after a card of another kind", "6A82 eid 6A82", "", "B", "A B"},
        {"the eID card first: the other cards are not probed", "eid 6A82 -", "", "A", "A"},
        {"cards of other kinds only", "6A82 - 6D00", "", "", "A C"},
        // The wait's time is up: no second attempt after the pause.
        {"a mute card counts: the read will tell", "stom eid -", "", "A", "A"},
        {"a card held alone counts", "- alleen eid", "", "B", "B"},
        {"a card gone again before the probe counts", "eid - -", "", "A", "A",
         [] { pcscfake::script(Call::Connect, {pcscfake::kNoSmartcard}); }},
        {"a probe whose SELECT does not reach the card counts", "eid - -", "", "A", "A",
         [] { pcscfake::script(Call::Transmit, {pcscfake::kRemovedCard}); }},
        {"an answer without a status word counts", "6A82 - -", "", "A", "A",
         [] { pcscfake::answer(1, {0x6A}); }},
        {"the named reader's card of another kind", "eid 6A82 -", "B", "", "B"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        pcscfake::manualClock(true);
        eidKaart();
        legNeer(g.bureau);
        g.storing();
        Fout fout;
        EXPECT_EQ(wacht(g.gevraagd, 0ms, std::make_shared<Onderbreking>(), fout), g.verwacht);
        EXPECT_EQ(fout.code, g.verwacht.empty() ? tijdOm : geenFout);
        EXPECT_EQ(gepeild(), g.gepeild);
        EXPECT_TRUE(pcscfake::pauses().empty());
        EXPECT_EQ(pcscfake::calls(Call::EstablishContext).size(), 1u);
        verwachtProeven();
        EXPECT_EQ(pcscfake::openContexts(), 0u);
    }
}

// A card of another kind beside the reader: probed once, not again slice after slice; the eID
// card that comes later ends the wait.
TEST_F(Wachten, AWaitProbesACardOnceWhileItStays) {
    pcscfake::readers({"A", "B"});
    pcscfake::removeCard();
    pcscfake::otherCard("A");
    Apart wacht("", 30s);
    pcscfake::awaitWaits(1);
    for (int seconde = 0; seconde < 5; ++seconde) {
        step([] { pcscfake::advance(1s); });
    }
    EXPECT_EQ(gepeild(), "A");
    pcscfake::insertCard("B");
    const Uitkomst u = wacht.uitkomst.get();
    EXPECT_EQ(u.lezer, "B");
    EXPECT_EQ(u.fout.code, geenFout);
    EXPECT_EQ(gepeild(), "A B");
    verwachtProeven();
}

// A card that another program holds (the system reading it just after the insertion): the probe
// waits for it until the wait's time is up, and a moment more; then the card counts, as one that
// cannot be asked. The wait never ends later than that.
TEST_F(Wachten, ACardHeldByAnotherProgramCountsWhenTheTimeIsUp) {
    for (const auto duur : {0ms, 3000ms}) {
        SCOPED_TRACE(duur.count());
        pcscfake::reset();
        pcscfake::manualClock(true);
        eidKaart();
        legNeer("eid");
        pcscfake::heldElsewhere("A", pcscfake::kForever);
        const auto begin = pcscfake::now();
        Apart wacht("", duur);
        pcscfake::awaitHeldCalls(1);
        step([&] { pcscfake::advance(duur + kProefRuimte - 1ms); });
        EXPECT_FALSE(wacht.klaar);
        pcscfake::advance(1ms);
        const Uitkomst u = wacht.uitkomst.get();
        EXPECT_EQ(u.lezer, "A");
        EXPECT_EQ(u.fout.code, geenFout);
        EXPECT_LE(pcscfake::now() - begin, duur + 300ms);
        // The probe given up on ends when the other program lets go, and leaves the card as found.
        pcscfake::heldElsewhere("A", pcscfake::now());
        pcscfake::awaitAllClosed();
        verwachtProeven();
    }
}

TEST_F(Wachten, FailuresOfTheServiceAndTheQuestion) {
    struct Geval {
        const char* naam;
        Call call;
        std::uint32_t code;
        std::string gevraagd;
        std::int32_t categorie;
        std::string melding;
        std::string detail;
    };
    // On Windows the service runs only while a reader is plugged in: there its absence means
    // no reader, which is no reason to stop, so a look ends as without a card.
    const std::int32_t weg = pcsc::kWindows ? tijdOm : kaartDienst;
    const std::string dienst = pcsc::kWindows
                                   ? "No card was inserted in time. Insert the card and try again."
                                   : "The smart card service is not responding.";
    const auto detail = [](const std::string& functie) {
        return pcsc::kWindows ? "timeout" : functie + " 0x8010001D";
    };
    const Geval gevallen[] = {
        {"no service", Call::EstablishContext, pcscfake::kNoService, "", weg, dienst,
         detail("SCardEstablishContext")},
        {"listing fails", Call::ListReaders, pcscfake::kNoService, "", weg, dienst,
         detail("SCardListReaders")},
        {"the wait fails", Call::GetStatusChange, pcscfake::kNoService, "", weg, dienst,
         detail("SCardGetStatusChange")},
        {"the wait meets a broken service", Call::GetStatusChange, 0x80100013u, "", kaartDienst,
         "The smart card service is not responding.", "SCardGetStatusChange 0x80100013"},
        {"unknown reader", Call::EstablishContext, pcscfake::kSuccess, "Z", geenLezer,
         "There is no card reader named Z.", ""},
        {"the named reader goes before the wait", Call::GetStatusChange, pcscfake::kUnknownReader,
         "A", geenLezer, "There is no card reader named A.", ""},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        pcscfake::readers({"A"});
        pcscfake::removeCard();
        pcscfake::script(g.call, {g.code});
        Fout fout;
        EXPECT_EQ(wacht(g.gevraagd, 0ms, std::make_shared<Onderbreking>(), fout), "");
        verwachtFout(fout, g.categorie, g.melding, g.detail);
        EXPECT_EQ(pcscfake::openContexts(), 0u);
    }
}

// A wait reads the reader list as the reader list itself does: a list that fails ends the wait
// as it fails the reader list, and on Windows, where that means no reader, the wait looks on as
// it does while no reader is plugged in (here only once).
TEST_F(Wachten, AFailingListEndsTheWaitAsItFailsTheReaderList) {
    struct Geval {
        const char* naam;
        std::vector<std::uint32_t> codes; // of the calls of SCardListReaders, in turn
        std::string detail;
    };
    const Geval gevallen[] = {
        {"the length is refused", {pcscfake::kInternalError}, "SCardListReaders 0x80100001"},
        {"the service stopped", {pcscfake::kServiceStopped}, "SCardListReaders 0x8010001E"},
        {"no reader any more at the second call",
         {pcscfake::kSuccess, pcscfake::kNoReadersAvailable},
         "SCardListReaders 0x8010002E"},
        {"the list grew between the calls",
         {pcscfake::kSuccess, pcscfake::kInsufficientBuffer},
         "SCardListReaders 0x80100008"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        const auto zoals = [&] {
            pcscfake::reset();
            pcscfake::readers({"A"});
            pcscfake::insertCard("A");
            pcscfake::script(Call::ListReaders, g.codes);
        };
        zoals();
        Fout wachtFout;
        EXPECT_EQ(wacht("", 0ms, std::make_shared<Onderbreking>(), wachtFout), "");
        EXPECT_EQ(pcscfake::openContexts(), 0u);
        zoals();
        Fout lijstFout;
        EXPECT_TRUE(Kaart::lezers(lijstFout).empty());
        if (pcsc::kWindows) {
            verwachtFout(wachtFout, tijdOm,
                         "No card was inserted in time. Insert the card and try again.", "timeout");
            verwachtFout(lijstFout, geenFout, "", "");
        } else {
            verwachtFout(wachtFout, kaartDienst, "The smart card service is not responding.",
                         g.detail);
            verwachtFout(lijstFout, wachtFout.code, engels(wachtFout), wachtFout.detail);
        }
    }
}

// A reader unplugged between the list and the wait, while any reader will do: the next slice
// lists again and finds the card in the one that is left.
TEST_F(Wachten, AReaderGoneBeforeTheWaitIsNoReasonToStop) {
    pcscfake::readers({"A"});
    pcscfake::insertCard("A");
    pcscfake::script(Call::GetStatusChange, {pcscfake::kUnknownReader});
    Fout fout;
    EXPECT_EQ(wacht("", 30s, std::make_shared<Onderbreking>(), fout), "A");
    verwachtFout(fout, geenFout, "", "");
    EXPECT_EQ(pcscfake::calls(Call::GetStatusChange).size(), 2u);
}

TEST_F(Wachten, NeverWaitsPastTheTimeAskedFor) {
    for (const std::chrono::milliseconds duur : {1ms, 999ms, 1000ms, 2500ms, 30000ms}) {
        SCOPED_TRACE(duur.count());
        pcscfake::reset();
        pcscfake::manualClock(true);
        pcscfake::readers({"A"});
        pcscfake::removeCard();
        Apart wacht("", duur);
        // Whole seconds at a time, as long as the waiter keeps waiting.
        pcscfake::awaitWaits(1);
        while (!wacht.klaar) {
            step([] { pcscfake::advance(1s); });
        }
        const Uitkomst u = wacht.uitkomst.get();
        EXPECT_EQ(u.fout.detail, "timeout");
        const auto begin = pcscfake::calls(Call::EstablishContext).at(0).time;
        for (const pcscfake::Record& r : pcscfake::calls(Call::GetStatusChange)) {
            EXPECT_LE(r.time + std::chrono::milliseconds(r.timeout), begin + duur);
        }
    }
}

TEST_F(Wachten, WokenByAnInsertionOrAReaderPluggedIn) {
    pcscfake::readers({"A"});
    pcscfake::removeCard();
    Apart wacht("", 30s);
    pcscfake::awaitWaits(1);
    step([] { pcscfake::readers({"A", "B"}); });
    pcscfake::insertCard("B");
    const Uitkomst u = wacht.uitkomst.get();
    EXPECT_EQ(u.lezer, "B");
    EXPECT_EQ(u.fout.code, geenFout);
    // The slice that saw the new reader came from the arrival, not from a timeout.
    const auto wachten = pcscfake::calls(Call::GetStatusChange);
    ASSERT_GE(wachten.size(), 3u);
    EXPECT_EQ(wachten[1].result, pcscfake::kSuccess);
    EXPECT_EQ(wachten[1].states.back().reader, "\\\\?PnP?\\Notification");
    EXPECT_EQ(wachten[1].states.back().event & 0xFFFF0000u, 2u << 16);
}

TEST_F(Wachten, StoppedFromAnotherThreadAtOnce) {
    pcscfake::readers({"A"});
    pcscfake::removeCard();
    Apart apart("", 600s);
    pcscfake::awaitWaits(1);
    onderbreek(*apart.stop);
    const Uitkomst u = apart.uitkomst.get();
    verwachtFout(u.fout, onderbroken, "The wait for a card was stopped.", "stopped");
    ASSERT_EQ(pcscfake::calls(Call::Cancel).size(), 1u);
    EXPECT_EQ(pcscfake::calls(Call::Cancel)[0].context,
              pcscfake::calls(Call::EstablishContext)[0].context);
    EXPECT_EQ(pcscfake::openContexts(), 0u);
    // Sent again once the wait has ended (as Shutdown does until it sees the end): the context
    // is released, and no stop reaches it.
    onderbreek(*apart.stop);
    EXPECT_EQ(pcscfake::calls(Call::Cancel).size(), 1u);

    // Stopped before it began: no slice at all.
    pcscfake::reset();
    Fout fout;
    EXPECT_EQ(wacht("", 30s, apart.stop, fout), "");
    EXPECT_EQ(fout.code, onderbroken);
    EXPECT_TRUE(pcscfake::calls(Call::GetStatusChange).empty());
}

// A stop that lands while the waiter lists the readers, between two waits: SCardCancel reaches
// only a wait in progress (pcsc-lite's and the scripted service's), so the waiter must see the
// stop itself before it waits again, or the stop waits out a whole slice.
TEST_F(Wachten, AStopBetweenTwoWaitsIsSeenBeforeTheNext) {
    for (const bool bewaking : {false, true}) {
        SCOPED_TRACE(bewaking ? "watch" : "wait");
        pcscfake::reset();
        pcscfake::manualClock(true);
        pcscfake::readers({"A"});
        pcscfake::removeCard();
        const auto stop = std::make_shared<Onderbreking>();
        // The second slice's list: the first slice's wait answered at once (the reader's state
        // was not known yet).
        pcscfake::Hold lijst(Call::ListReaders, 3);
        std::future<Fout> einde = std::async(std::launch::async, [&] {
            Fout fout;
            if (bewaking) {
                bewaakMet(stop, "", [](const Kaartmelding&) {});
            } else {
                wacht("", 600s, stop, fout);
            }
            return fout;
        });
        lijst.awaitHeld();
        onderbreek(*stop);
        lijst.release();
        ASSERT_TRUE(eindigtZonderTijd(einde));
        if (!bewaking) {
            verwachtFout(einde.get(), onderbroken, "The wait for a card was stopped.", "stopped");
        }
        EXPECT_EQ(pcscfake::calls(Call::GetStatusChange).size(), 1u);
        EXPECT_EQ(pcscfake::openContexts(), 0u);
    }
}

// A stop that lands while a probe connects to a mute card: the probe's pause between its two
// attempts is the waiter's, which the stop ends, so neither the second attempt nor the read's own
// pauses follow, the card the stopped probe could not ask is not told, and the stop needs no time
// to pass. (A probe that waits for a card another program holds: EventsTest.)
TEST_F(Wachten, AStopDuringAProbeEndsItAtOnce) {
    for (const bool bewaking : {false, true}) {
        SCOPED_TRACE(bewaking ? "watch" : "wait");
        pcscfake::reset();
        pcscfake::manualClock(true);
        pcscfake::readers({"A"});
        pcscfake::cardState("A", pcscfake::CardState::mute);
        if (bewaking) {
            pcscfake::removeCard();
        }
        const auto stop = std::make_shared<Onderbreking>();
        std::vector<std::string> gezien;
        std::future<Uitkomst> einde = std::async(std::launch::async, [&] {
            Uitkomst u;
            if (bewaking) {
                bewaakMet(stop, "",
                          [&gezien](const Kaartmelding& m) { gezien.push_back(m.lezer); });
            } else {
                u.lezer = wacht("", 30s, stop, u.fout);
            }
            return u;
        });
        if (bewaking) {
            pcscfake::awaitWaits(1);
            pcscfake::insertCard("A");
        }
        pcscfake::awaitWaits(bewaking ? 2 : 1); // the pause
        onderbreek(*stop);
        ASSERT_TRUE(eindigtZonderTijd(einde));
        const Uitkomst u = einde.get();
        if (!bewaking) {
            EXPECT_EQ(u.lezer, "");
            verwachtFout(u.fout, onderbroken, "The wait for a card was stopped.", "stopped");
        }
        EXPECT_TRUE(gezien.empty());
        ASSERT_EQ(pcscfake::calls(Call::Connect).size(), 1u);
        EXPECT_EQ(pcscfake::pauses().size(), 1u);
        pcscfake::awaitAllClosed();
    }

    // A stop that lands while the slice that finds the card asks for the readers' states: no
    // probe follows.
    pcscfake::reset();
    eidKaart();
    pcscfake::readers({"A"});
    const auto stop = std::make_shared<Onderbreking>();
    pcscfake::onCall(Call::GetStatusChange, 1, [&] { onderbreek(*stop); });
    Fout fout;
    EXPECT_EQ(wacht("", 30s, stop, fout), "");
    EXPECT_EQ(fout.code, onderbroken);
    EXPECT_EQ(pcscfake::calls(Call::GetStatusChange).at(0).result, pcscfake::kSuccess);
    EXPECT_TRUE(pcscfake::calls(Call::Connect).empty());
}

// On Windows the service stops with the last reader and starts with the next: a reader gone
// and back is a reader plugged in during the wait, which counts. Elsewhere a service that goes
// away is broken, and ends the wait.
TEST_F(Wachten, TheServiceGoneWithTheLastReader) {
    struct Geval {
        const char* naam;
        std::string gevraagd;
        bool vanAfHetBegin; // no service when the wait begins
    };
    const Geval gevallen[] = {
        {"stopped during the wait", "", false},
        {"not running at the start", "", true},
        {"stopped during a wait for a named reader", "A", false},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        pcscfake::manualClock(true);
        eidKaart();
        pcscfake::readers({"A"});
        pcscfake::removeCard();
        const auto weg = [] { // in this order: a waiter sees the service stop, not the reader go
            pcscfake::serviceRunning(false);
            pcscfake::readers({});
        };
        if (g.vanAfHetBegin) {
            weg();
        }
        Apart wacht(g.gevraagd, 30s);
        pcscfake::awaitWaits(1); // waiting for a change, or pausing until the service is back
        if (!g.vanAfHetBegin) {
            step(weg);
        }
        const bool gaatDoor = pcsc::kWindows && g.gevraagd.empty();
        EXPECT_EQ(wacht.klaar.load(), !gaatDoor);
        pcscfake::serviceRunning(true);
        pcscfake::readers({"A"});
        pcscfake::insertCard("A");
        pcscfake::advance(1s); // the pause ends
        const Uitkomst u = wacht.uitkomst.get();
        if (gaatDoor) {
            EXPECT_EQ(u.lezer, "A");
            verwachtFout(u.fout, geenFout, "", "");
        } else if (pcsc::kWindows) {
            verwachtFout(u.fout, geenLezer, "No card reader connected.", "");
        } else {
            EXPECT_EQ(u.fout.code, kaartDienst);
            EXPECT_EQ(u.fout.detail.rfind("SCard", 0), 0u) << u.fout.detail;
        }
        EXPECT_EQ(pcscfake::openContexts(), 0u);
    }
}

// The cards on a desk as a timeline changes them (legNeer lays the desk down). One step, as
// `woord` says: `A=eid` the eID card into reader A (out of where it was), `A=6A82` a card of
// another kind answering that status word, `A=stom` the card in A turns mute, `A=-` A's card
// out; `+5s`, `+200ms` the clock moves on; `lezers=A,B` the readers plugged in; `dienst=uit`,
// `dienst=aan` the service stops, runs again; `vast=A` another program holds the card in A,
// `los=A` it lets go. Steps joined by `&` are done at once.
struct Bureau {
    std::string eid; // the reader holding the eID card

    explicit Bureau(const std::string& bureau) {
        legNeer(bureau);
        std::istringstream woorden(bureau);
        std::string woord;
        for (char lezer = 'A'; woorden >> woord; ++lezer) {
            eid = woord == "eid" ? std::string(1, lezer) : eid;
        }
    }

    void doe(const std::string& woord) {
        const std::size_t en = woord.find('&');
        if (en != std::string::npos) {
            doe(woord.substr(0, en));
            doe(woord.substr(en + 1));
            return;
        }
        const std::size_t is = woord.find('=');
        const std::string links = woord.substr(0, is);
        const std::string rechts = is == std::string::npos ? "" : woord.substr(is + 1);
        if (woord[0] == '+') {
            const bool ms = woord.compare(woord.size() - 2, 2, "ms") == 0;
            const long n = std::stol(woord.substr(1));
            pcscfake::advance(ms ? std::chrono::milliseconds(n) : std::chrono::seconds(n));
        } else if (links == "lezers") {
            std::vector<std::string> lezers;
            for (std::size_t i = 0; i < rechts.size(); i += 2) {
                lezers.push_back(rechts.substr(i, 1));
            }
            pcscfake::readers(lezers);
        } else if (links == "dienst") {
            pcscfake::serviceRunning(rechts == "aan");
        } else if (links == "vast" || links == "los") {
            pcscfake::heldElsewhere(rechts, links == "vast" ? pcscfake::kForever : pcscfake::now());
        } else if (rechts == "eid") {
            pcscfake::insertCard(links);
            eid = links;
        } else if (rechts == "stom") {
            pcscfake::cardState(links, pcscfake::CardState::mute);
        } else if (rechts == "-" && links == eid) {
            pcscfake::removeCard();
            eid.clear();
        } else if (rechts == "-") {
            pcscfake::removeOtherCard(links);
        } else {
            const unsigned long sw = std::stoul(rechts, nullptr, 16);
            pcscfake::otherCard(
                links, {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)});
        }
    }
};

// A watch over a timeline: the desk as legNeer lays it down, the reader watched, the steps, each
// taken in by the watch before the next (but `vast` and `los`, which wake no watch), and the
// insertions it told.
struct Tijdlijn {
    const char* naam;
    std::string bureau;
    std::string lezer;
    std::string stappen;
    std::vector<std::string> verwacht;
    const char* gepeild = nullptr; // the readers probed, in order, where it matters
};

void speel(const Tijdlijn& t) {
    SCOPED_TRACE(t.naam);
    pcscfake::reset();
    pcscfake::manualClock(true);
    eidKaart();
    Bureau bureau(t.bureau);
    {
        Wacht wacht(t.lezer);
        pcscfake::awaitWaits(1);
        std::istringstream woorden(t.stappen);
        for (std::string woord; woorden >> woord;) {
            if (woord.rfind("vast=", 0) == 0 || woord.rfind("los=", 0) == 0) {
                bureau.doe(woord);
            } else {
                step([&] { bureau.doe(woord); });
            }
        }
        wacht.stoppen();
        EXPECT_EQ(wacht.insertions(), t.verwacht);
    }
    for (char lezer = 'A'; lezer <= 'C'; ++lezer) {
        pcscfake::heldElsewhere(std::string(1, lezer), pcscfake::now());
    }
    pcscfake::awaitAllClosed();
    if (t.gepeild != nullptr) {
        EXPECT_EQ(gepeild(), t.gepeild);
    }
    verwachtProeven();
}

// On Windows the service stops only with the last reader: whatever it knew is gone with it.
const std::vector<std::string> kAlsWindows =
    pcsc::kWindows ? std::vector<std::string>{"A"} : std::vector<std::string>{};

TEST_F(Wachten, WatchTimelines) {
    const Tijdlijn tijdlijnen[] = {
        // A card present at the start is no insertion; a slice that times out changes nothing.
        {"each insertion once", "eid -", "", "+5s A=- A=eid +5s A=- B=eid", {"A", "B"}},
        // Whether the watch sees the empty reader or only the event counter moved on by two.
        {"a quick swap", "- -", "", "A=eid A=-&A=eid +2s", {"A", "A"}},
        // Changes elsewhere do not wake the watch: the end of its slice lets it look again.
        {"a named reader", "- -", "B", "A=eid&+1s lezers=A,B,C C=eid&+1s B=eid", {"B"}},
        // The new service counts its events afresh: the counters of before and after are not
        // compared. On Windows the service stopped with the readers, and the card is a new one.
        {"a card left in across a restart", "-", "",
         "A=eid A=- A=eid dienst=uit dienst=aan&+1s +5s A=- A=eid",
         pcsc::kWindows ? std::vector<std::string>{"A", "A", "A", "A"}
                        : std::vector<std::string>{"A", "A", "A"}},
        // A verdict holds under the counters of the service that gave it: after a restart the
        // same count in the same reader may be another card, which is probed anew.
        {"a card probed anew under a restarted service",
         "-",
         "",
         "A=6A82 dienst=uit dienst=aan&+1s A=eid",
         {"A"},
         pcsc::kWindows ? "A A A" : "A A"},
        // Unplugged with its card and plugged back with it: a reader plugged in with a card.
        {"a reader plugged back with its card", "- eid", "", "lezers=A lezers=A,B", {"B"}},
        // Windows: the last reader unplugged stops the service; plugged back with the card still
        // in, it is an insertion. A restarted pcscd with the card left in is none.
        {"the last reader back with its card", "eid", "",
         "dienst=uit&lezers= dienst=aan&lezers=A&+1s", kAlsWindows},
        // Another program holds the card: the probe waits ten seconds, then the card counts; the
        // watch goes on in a new session, and the probe given up on lets go once it returns.
        {"a card held by another program",
         "- -",
         "",
         "vast=A A=eid +9s +1s B=eid los=A B=- A=eid",
         {"A", "B", "A"},
         "A B A"},
    };
    for (const Tijdlijn& t : tijdlijnen) {
        speel(t);
    }
}

// A watch that reads: an eID card put in is read on in the probe's connection and transaction,
// the probe's SELECT its first command, holding the process's one conversation at a time, and
// ends as a read ends; its removal is told too. A card of another kind is neither read nor told,
// in or out. A stop during a read ends it between two commands, as a read ends, telling nothing.
TEST_F(Wachten, AWatchThatReadsGoesOnInTheProbesConnection) {
    Fout fout;
    const Vraag vraag = vraagNaar("surname street", fout);
    const auto kaart = [] {
        pcscfake::file(bestandIdentiteit(), kIdentiteit);
        pcscfake::file(bestandAdres(), kAdres);
    };
    kaart();
    pcscfake::readers({"A", "B"});
    pcscfake::removeCard();
    bool eigenBeurt = true; // no other conversation could begin during the read
    pcscfake::onCall(Call::Transmit, 2,
                     [&] { std::thread([&] { eigenBeurt = !gesprekSlot().try_lock(); }).join(); });
    {
        Wacht wacht("", vraag);
        pcscfake::awaitWaits(1);
        step([] { pcscfake::insertCard("A"); });
        step([] { pcscfake::otherCard("B"); });
        step([] { pcscfake::removeOtherCard("B"); });
        step([] { // swapped at once: only the event counter tells
            pcscfake::removeCard();
            pcscfake::insertCard("A");
        });
        wacht.wachtOpMeldingen(3);
        step([] { pcscfake::removeCard(); });
        wacht.stoppen();
        EXPECT_EQ(wacht.verloop(), (std::vector<std::string>{"+A", "-A", "+A", "-A"}));
        const Kaartmelding gelezen = wacht.meldingen().at(0);
        EXPECT_EQ(gelezen.fout.code, geenFout);
        EXPECT_EQ(record::pairs(gelezen.gegevens),
                  (record::Pairs{{"surname", "Van den Berghe"}, {"street", "Kerkstraat 12"}}));
    }
    EXPECT_TRUE(eigenBeurt);
    std::vector<std::string> opdrachten; // A's: SELECT identity, READ, SELECT address, READ
    for (const auto& r : pcscfake::calls(Call::Transmit)) {
        opdrachten.push_back(r.reader + " " + std::to_string(r.command[1]));
    }
    EXPECT_EQ(opdrachten, (std::vector<std::string>{"A 164", "A 176", "A 164", "A 176", "B 164",
                                                    "A 164", "A 176", "A 164", "A 176"}));
    EXPECT_EQ(pcscfake::calls(Call::EndTransaction).at(0).disposition,
              pcsc::kAfsluiting.transactie);

    // Stopped while the card answers the read's second command.
    pcscfake::reset();
    pcscfake::manualClock(true);
    eidKaart();
    kaart();
    pcscfake::readers({"A"});
    pcscfake::removeCard();
    pcscfake::Hold tweede(Call::Transmit, 2);
    pcscfake::onCall(Call::Cancel, 1, [&] { tweede.release(); });
    Wacht wacht("", vraag);
    pcscfake::awaitWaits(1);
    pcscfake::insertCard("A");
    tweede.awaitHeld();
    wacht.stoppen();
    EXPECT_TRUE(wacht.meldingen().empty());
    EXPECT_EQ(pcscfake::calls(Call::Transmit).size(), 2u);
    EXPECT_EQ(pcscfake::calls(Call::EndTransaction).at(0).disposition,
              pcsc::kAfsluiting.transactie);
    EXPECT_EQ(pcscfake::openCards(), 0u);
}

// The slice after an insertion fails at its list: the insertion was told already, and the
// watch goes on after its pause. On Windows a failing list means no reader (the service stops
// with the last one): the card found in the reader afterwards is a new one.
TEST_F(Wachten, WatchTellsAnInsertionOnceWhenTheNextSliceFails) {
    pcscfake::readers({"A"});
    pcscfake::removeCard();
    Wacht wacht("");
    pcscfake::awaitWaits(1);
    std::vector<std::uint32_t> codes(pcscfake::calls(Call::ListReaders).size(), pcscfake::kSuccess);
    codes.push_back(pcscfake::kInternalError);
    pcscfake::script(Call::ListReaders, codes);
    step([] { pcscfake::insertCard("A"); }); // seen, then the list fails and the watch pauses
    step([] { pcscfake::advance(1s); });     // the pause ends and the watch waits again
    step([] { pcscfake::removeCard(); });
    step([] { pcscfake::insertCard("A"); });
    wacht.stoppen();
    EXPECT_EQ(wacht.insertions(), pcsc::kWindows ? (std::vector<std::string>{"A", "A", "A"})
                                                 : (std::vector<std::string>{"A", "A"}));
    EXPECT_EQ(pcscfake::calls(Call::ListReaders).at(codes.size() - 1).result,
              pcscfake::kInternalError);
}

// A watch tells eID cards only: a card of another kind is probed once per insertion and ignored
// until it leaves; a card that cannot be probed is told.
TEST_F(Wachten, WatchProbesEachInsertionOnceAndTellsEidCardsOnly) {
    pcscfake::readers({"A", "B"});
    pcscfake::removeCard();
    pcscfake::otherCard("B"); // present at the start: no insertion, no probe
    Wacht wacht("");
    pcscfake::awaitWaits(1);
    step([] { pcscfake::otherCard("A"); });
    step([] { pcscfake::advance(5s); });
    step([] { pcscfake::advance(5s); });
    EXPECT_TRUE(wacht.insertions().empty());
    EXPECT_EQ(gepeild(), "A");
    step([] { pcscfake::removeOtherCard("A"); });
    step([] { pcscfake::otherCard("A"); });  // a new insertion: probed anew
    step([] { pcscfake::insertCard("A"); }); // the other card swapped for the eID card at once
    step([] { pcscfake::cardState("B", pcscfake::CardState::mute); }); // the same card
    step([] { pcscfake::otherCard("B"); }); // a new card, which cannot be probed
    // The probe's pause after its first attempt to connect, on the waiter's clock.
    step([] { pcscfake::advance(200ms); });
    step([] { pcscfake::advance(5s); });
    wacht.stoppen();
    EXPECT_EQ(wacht.insertions(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(gepeild(), "A A A B B");
    verwachtProeven();
    EXPECT_EQ(pcscfake::calls(Call::EstablishContext).size(), 1u);
}

TEST_F(Wachten, WatchPausesWhileTheServiceIsAwayAndResumes) {
    pcscfake::readers({"A"});
    pcscfake::insertCard("A");
    Wacht wacht("");
    pcscfake::awaitWaits(1);
    step([] { pcscfake::serviceRunning(false); });
    const std::size_t pogingenVoor = pcscfake::calls(Call::EstablishContext).size();
    for (int seconde = 0; seconde < 10; ++seconde) {
        step([] { pcscfake::advance(1s); });
    }
    // One attempt a second while it is away, not a loop.
    const std::size_t pogingen = pcscfake::calls(Call::EstablishContext).size() - pogingenVoor;
    EXPECT_GE(pogingen, 9u);
    EXPECT_LE(pogingen, 11u);
    EXPECT_EQ(pcscfake::calls(Call::GetStatusChange).back().result, pcscfake::kNoService);

    // Back, with the same card still in: no insertion (but on Windows, where the readers went
    // with the service). Then a new one is seen.
    step([] {
        pcscfake::serviceRunning(true);
        pcscfake::advance(1s);
    });
    step([] { pcscfake::advance(1s); });
    step([] { pcscfake::removeCard(); });
    step([] { pcscfake::insertCard("A"); });
    wacht.stoppen();
    EXPECT_EQ(wacht.insertions(), pcsc::kWindows ? (std::vector<std::string>{"A", "A"})
                                                 : (std::vector<std::string>{"A"}));
    EXPECT_EQ(pcscfake::openContexts(), 0u);
}

// A reader unplugged and plugged back under the same name is watched again. Windows answers a
// wait on a reader it no longer knows with the state unknown, ignored and changed: remembered,
// that state would have the service ignore the reader for good once it is back, whether the
// next list missed the reader or not.
TEST_F(Wachten, AReaderUnpluggedAndPluggedBackIsWatchedAgain) {
    struct Geval {
        const char* naam;
        std::vector<std::string> lezers;
        std::vector<std::string> zonder; // while one is unplugged
        std::string terug;               // the reader unplugged, plugged back, given a card
        bool voorDeLijst;                // back before the waiter lists the readers again
    };
    const Geval gevallen[] = {
        {"the only reader", {"A"}, {}, "A", false},
        {"one of two", {"A", "B"}, {"A"}, "B", false},
        {"back before the next list", {"A", "B"}, {"A"}, "B", true},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        const auto begin = [&] {
            pcscfake::reset();
            pcscfake::manualClock(true);
            eidKaart();
            pcscfake::readers(g.lezers);
            pcscfake::removeCard();
        };
        const auto uitEnIn = [&] {
            if (g.voorDeLijst) {
                pcscfake::onCall(Call::ListReaders, pcscfake::calls(Call::ListReaders).size() + 1,
                                 [&] { pcscfake::readers(g.lezers); });
                step([&] { pcscfake::readers(g.zonder); });
            } else {
                step([&] { pcscfake::readers(g.zonder); });
                step([&] { pcscfake::readers(g.lezers); });
            }
            // Not awaited: a watch that no longer hears of the reader would wait on.
            pcscfake::insertCard(g.terug);
        };

        begin();
        {
            Wacht wacht("");
            pcscfake::awaitWaits(1);
            uitEnIn();
            step([] { pcscfake::advance(1s); });
            wacht.stoppen();
            EXPECT_EQ(wacht.insertions(), std::vector<std::string>{g.terug});
        }

        begin();
        Apart wacht("", 30s);
        pcscfake::awaitWaits(1);
        uitEnIn();
        while (!wacht.klaar) { // the card wakes the wait, or it runs out of time
            step([] { pcscfake::advance(1s); });
        }
        const Uitkomst u = wacht.uitkomst.get();
        EXPECT_EQ(u.lezer, g.terug);
        verwachtFout(u.fout, geenFout, "", "");
    }
}

} // namespace
} // namespace belpic::test
