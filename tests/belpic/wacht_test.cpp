// Waiting for cards against the scripted service, on the service's clock: no test sleeps, and
// every wait that a test lets run out is moved on by the test itself.
#include "belpic/bestand.h"
#include "belpic/pcsc.h"
#include "belpic/wacht.h"
#include "nepdienst.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace belpic::test {
namespace {

using namespace std::chrono_literals;
using pcscfake::Call;

// The service's clock; pauses wait on it too, so only the test moves time on.
Klok nepklok() {
    Klok klok;
    klok.nu = pcscfake::now;
    klok.pauze = [](Onderbreking&, std::chrono::milliseconds duur) { pcscfake::sleep(duur); };
    return klok;
}

struct Uitkomst {
    std::string lezer;
    Fout fout;
};

// A wait on a thread of its own. Its end counts as one more wait of the service, so a test
// awaiting the waiter's next wait sees the end too.
struct Apart {
    std::atomic<bool> klaar{false};
    std::future<Uitkomst> uitkomst;

    Apart(const std::string& lezer, std::chrono::milliseconds duur, Onderbreking& onderbreking)
        : uitkomst(std::async(std::launch::async, [=, &onderbreking] {
              Uitkomst u;
              u.lezer = wachtOpKaart(lezer, duur, onderbreking, nepklok(), u.fout);
              klaar = true;
              pcscfake::sleep(std::chrono::seconds(0));
              return u;
          })) {}
};

// Whether the waiter ended without the service's clock moving on. A waiter that goes on waiting
// instead fails the test, and the clock is moved on to end it.
template <typename T>
bool eindigtZonderTijd(std::future<T>& einde) {
    if (einde.wait_for(std::chrono::seconds(20)) == std::future_status::ready) {
        return true;
    }
    pcscfake::advance(std::chrono::hours(1));
    return false;
}

// Lets the waiter take in what the test just did: it has waited again since.
void laatVerwerken(std::size_t wachtenVoor) {
    pcscfake::awaitWaits(wachtenVoor + 1);
}

// Does `stap` and lets the watch take it in.
template <typename Stap>
void doe(Stap stap) {
    const std::size_t voor = pcscfake::waitsBegun();
    stap();
    laatVerwerken(voor);
}

// Waits count eID cards only, which a probe knows by their identity file.
void eidKaart() {
    pcscfake::file(bestandIdentiteit(), {0x01, 0x00});
}

class Wachten : public MetNepdienst {
  protected:
    void SetUp() override {
        MetNepdienst::SetUp();
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
        eidKaart();
        pcscfake::readers(g.lezers);
        if (g.kaartIn == "-") {
            pcscfake::removeCard();
        } else {
            pcscfake::insertCard(g.kaartIn);
        }
        Onderbreking onderbreking;
        Fout fout;
        const std::string lezer = wachtOpKaart(g.gevraagd, 0ms, onderbreking, nepklok(), fout);
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

// Every card is probed on the waiter's own context with one SELECT of the identity file, and let
// go as it was found: no end of a transaction or disconnect resets it.
void verwachtProeven() {
    const auto contexten = pcscfake::calls(Call::EstablishContext);
    for (const auto& r : pcscfake::calls(Call::Connect)) {
        EXPECT_EQ(r.context, contexten.back().context);
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
        std::string bureau; // readers A, B, C, as legNeer reads it
        std::string gevraagd;
        std::string verwacht; // the reader, or empty for a timeout
        std::string gepeild;
        std::size_t pauzes; // of the waiter's, between a probe's attempts to connect
        std::function<void()> storing = [] {};
    };
    const Geval gevallen[] = {
        {"the eID card after a card of another kind", "6A82 eid 6A82", "", "B", "A B", 0},
        {"the eID card first: the other cards are not probed", "eid 6A82 -", "", "A", "A", 0},
        {"cards of other kinds only", "6A82 - 6D00", "", "", "A C", 0},
        {"a mute card counts: the read will tell", "stom eid -", "", "A", "A A", 2},
        {"a card held alone counts", "- alleen eid", "", "B", "B", 0},
        {"a card gone again before the probe counts", "eid - -", "", "A", "A", 0,
         [] { pcscfake::script(Call::Connect, {pcscfake::kNoSmartcard}); }},
        {"the named reader's card of another kind", "eid 6A82 -", "B", "", "B", 0},
    };
    // A wait of no time pauses only between a probe's attempts.
    Klok klok = nepklok();
    klok.pauze = [](Onderbreking&, std::chrono::milliseconds duur) { noteerPauze(duur); };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        pauzes().clear();
        eidKaart();
        legNeer(g.bureau);
        g.storing();
        Onderbreking onderbreking;
        Fout fout;
        EXPECT_EQ(wachtOpKaart(g.gevraagd, 0ms, onderbreking, klok, fout), g.verwacht);
        EXPECT_EQ(fout.code, g.verwacht.empty() ? tijdOm : geenFout);
        EXPECT_EQ(gepeild(), g.gepeild);
        EXPECT_EQ(pauzes().size(), g.pauzes);
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
    Onderbreking onderbreking;
    Apart wacht("", 30s, onderbreking);
    pcscfake::awaitWaits(1);
    for (int seconde = 0; seconde < 5; ++seconde) {
        const std::size_t voor = pcscfake::waitsBegun();
        pcscfake::advance(1s);
        laatVerwerken(voor);
    }
    EXPECT_EQ(gepeild(), "A");
    pcscfake::insertCard("B");
    const Uitkomst u = wacht.uitkomst.get();
    EXPECT_EQ(u.lezer, "B");
    EXPECT_EQ(u.fout.code, geenFout);
    EXPECT_EQ(gepeild(), "A B");
    verwachtProeven();
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
        Onderbreking onderbreking;
        Fout fout;
        EXPECT_EQ(wachtOpKaart(g.gevraagd, 0ms, onderbreking, nepklok(), fout), "");
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
        Onderbreking onderbreking;
        Fout wachtFout;
        EXPECT_EQ(wachtOpKaart("", 0ms, onderbreking, nepklok(), wachtFout), "");
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
    Onderbreking onderbreking;
    Fout fout;
    EXPECT_EQ(wachtOpKaart("", 30s, onderbreking, nepklok(), fout), "A");
    verwachtFout(fout, geenFout, "", "");
    EXPECT_EQ(pcscfake::calls(Call::GetStatusChange).size(), 2u);
}

TEST_F(Wachten, NeverWaitsPastTheTimeAskedFor) {
    for (const std::chrono::milliseconds duur : {1ms, 999ms, 1000ms, 2500ms, 30000ms}) {
        SCOPED_TRACE(duur.count());
        pcscfake::reset();
        pcscfake::readers({"A"});
        pcscfake::removeCard();
        Onderbreking onderbreking;
        Apart wacht("", duur, onderbreking);
        // Whole seconds at a time, as long as the waiter keeps waiting.
        pcscfake::awaitWaits(1);
        for (;;) {
            const std::size_t voor = pcscfake::waitsBegun();
            if (wacht.klaar) {
                break;
            }
            pcscfake::advance(1s);
            laatVerwerken(voor);
        }
        const Uitkomst u = wacht.uitkomst.get();
        EXPECT_EQ(u.fout.detail, "timeout");
        const auto begin = pcscfake::calls(Call::EstablishContext).at(0).time;
        for (const pcscfake::Record& r : pcscfake::calls(Call::GetStatusChange)) {
            // The steady clock runs on a little under the service's: a slow machine may add a
            // few milliseconds, far from another slice.
            EXPECT_LE(r.time + std::chrono::milliseconds(r.timeout), begin + duur + 100ms);
        }
    }
}

TEST_F(Wachten, WokenByAnInsertionOrAReaderPluggedIn) {
    pcscfake::readers({"A"});
    pcscfake::removeCard();
    Onderbreking onderbreking;
    Apart wacht("", 30s, onderbreking);
    pcscfake::awaitWaits(1);
    const std::size_t voor = pcscfake::waitsBegun();
    pcscfake::readers({"A", "B"});
    laatVerwerken(voor);
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
    Onderbreking onderbreking;
    Apart wacht("", 600s, onderbreking);
    pcscfake::awaitWaits(1);
    onderbreek(onderbreking);
    const Uitkomst u = wacht.uitkomst.get();
    verwachtFout(u.fout, onderbroken, "The wait for a card was stopped.", "stopped");
    ASSERT_EQ(pcscfake::calls(Call::Cancel).size(), 1u);
    EXPECT_EQ(pcscfake::calls(Call::Cancel)[0].context,
              pcscfake::calls(Call::EstablishContext)[0].context);
    EXPECT_EQ(pcscfake::openContexts(), 0u);
    // Sent again once the wait has ended (as Shutdown does until it sees the end): the context
    // is released, and no stop reaches it.
    onderbreek(onderbreking);
    EXPECT_EQ(pcscfake::calls(Call::Cancel).size(), 1u);

    // Stopped before it began: no slice at all.
    pcscfake::reset();
    Fout fout;
    EXPECT_EQ(wachtOpKaart("", 30s, onderbreking, nepklok(), fout), "");
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
        pcscfake::readers({"A"});
        pcscfake::removeCard();
        Onderbreking onderbreking;
        // The second slice's list: the first slice's wait answered at once (the reader's state
        // was not known yet).
        pcscfake::Hold lijst(Call::ListReaders, 3);
        std::future<Fout> einde = std::async(std::launch::async, [&] {
            Fout fout;
            if (bewaking) {
                bewaak("", onderbreking, nepklok(), [](const std::string&) {});
            } else {
                wachtOpKaart("", 600s, onderbreking, nepklok(), fout);
            }
            return fout;
        });
        lijst.awaitHeld();
        onderbreek(onderbreking);
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
// attempts is the waiter's, which the stop ends, so neither the second attempt nor the read's
// own pauses follow, and the card the stopped probe could not ask is not told.
TEST_F(Wachten, AStopDuringAProbeEndsItsAttemptsToConnect) {
    for (const bool bewaking : {false, true}) {
        SCOPED_TRACE(bewaking ? "watch" : "wait");
        pcscfake::reset();
        pauzes().clear();
        pcscfake::readers({"A"});
        pcscfake::cardState("A", pcscfake::CardState::mute);
        if (bewaking) {
            pcscfake::removeCard();
        }
        Onderbreking onderbreking;
        pcscfake::onCall(Call::Connect, 1, [&] { onderbreek(onderbreking); });
        // The waiter's pauses as the real ones are, on the service's clock: a stop ends them.
        std::vector<std::chrono::milliseconds> gevraagd;
        Klok klok = nepklok();
        klok.pauze = [&gevraagd](Onderbreking& o, std::chrono::milliseconds duur) {
            gevraagd.push_back(duur);
            std::unique_lock<std::mutex> slot(o.slot);
            if (!o.gestopt) {
                slot.unlock();
                pcscfake::sleep(duur);
            }
        };
        std::vector<std::string> gezien;
        std::future<Uitkomst> einde = std::async(std::launch::async, [&] {
            Uitkomst u;
            if (bewaking) {
                bewaak("", onderbreking, klok,
                       [&gezien](const std::string& naam) { gezien.push_back(naam); });
            } else {
                u.lezer = wachtOpKaart("", 30s, onderbreking, klok, u.fout);
            }
            return u;
        });
        if (bewaking) {
            pcscfake::awaitWaits(1);
            pcscfake::insertCard("A");
        }
        ASSERT_TRUE(eindigtZonderTijd(einde));
        const Uitkomst u = einde.get();
        if (!bewaking) {
            EXPECT_EQ(u.lezer, "");
            verwachtFout(u.fout, onderbroken, "The wait for a card was stopped.", "stopped");
        }
        EXPECT_TRUE(gezien.empty());
        ASSERT_EQ(pcscfake::calls(Call::Connect).size(), 1u);
        EXPECT_EQ(pcscfake::calls(Call::Connect)[0].result, pcscfake::kUnresponsiveCard);
        EXPECT_TRUE(pauzes().empty());
        EXPECT_EQ(gevraagd, std::vector<std::chrono::milliseconds>{200ms});
        EXPECT_EQ(pcscfake::openContexts(), 0u);
    }

    // A stop that lands while the slice that finds the card asks for the readers' states: no
    // probe follows, as it might wait for another program's transaction without end.
    pcscfake::reset();
    eidKaart();
    pcscfake::readers({"A"});
    Onderbreking onderbreking;
    pcscfake::onCall(Call::GetStatusChange, 1, [&] { onderbreek(onderbreking); });
    Fout fout;
    EXPECT_EQ(wachtOpKaart("", 30s, onderbreking, nepklok(), fout), "");
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
        Onderbreking onderbreking;
        Apart wacht(g.gevraagd, 30s, onderbreking);
        pcscfake::awaitWaits(1); // waiting for a change, or pausing until the service is back
        if (!g.vanAfHetBegin) {
            doe(weg);
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

// A watch on its own thread, its insertions collected.
class Wacht {
  public:
    explicit Wacht(const std::string& lezer)
        : draad([this, lezer] {
              bewaak(lezer, onderbreking, nepklok(), [this](const std::string& naam) {
                  std::lock_guard<std::mutex> slot(this->slot);
                  gezien.push_back(naam);
              });
          }) {}
    ~Wacht() { stop(); }

    void stop() {
        if (draad.joinable()) {
            onderbreek(onderbreking);
            pcscfake::advance(1h); // ends a pause on the service's clock
            draad.join();
        }
    }

    std::vector<std::string> insertions() {
        std::lock_guard<std::mutex> slot(this->slot);
        return gezien;
    }

  private:
    Onderbreking onderbreking;
    std::mutex slot;
    std::vector<std::string> gezien;
    std::thread draad;
};

TEST_F(Wachten, WatchCountsEachInsertionOnce) {
    pcscfake::readers({"A", "B"});
    pcscfake::insertCard("A"); // present at the start: no insertion
    Wacht wacht("");
    pcscfake::awaitWaits(1);
    doe([] { pcscfake::advance(5s); }); // a slice that times out changes nothing
    EXPECT_TRUE(wacht.insertions().empty());
    doe([] { pcscfake::removeCard(); });
    doe([] { pcscfake::insertCard("A"); });
    doe([] { pcscfake::advance(5s); });
    doe([] { pcscfake::removeCard(); });
    doe([] { pcscfake::insertCard("B"); });
    wacht.stop();
    EXPECT_EQ(wacht.insertions(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(pcscfake::openContexts(), 0u);
}

// Out and in again at once: whether the watch sees the empty reader or only the event counter
// moved on by two, it is one more insertion.
TEST_F(Wachten, WatchSeesAQuickSwap) {
    pcscfake::readers({"A"});
    pcscfake::removeCard();
    Wacht wacht("");
    pcscfake::awaitWaits(1);
    doe([] { pcscfake::insertCard("A"); });
    doe([] {
        pcscfake::removeCard();
        pcscfake::insertCard("A");
    });
    doe([] { pcscfake::advance(2s); }); // whatever the swap woke is taken in
    wacht.stop();
    EXPECT_EQ(wacht.insertions(), (std::vector<std::string>{"A", "A"}));
}

TEST_F(Wachten, WatchOnANamedReaderIgnoresTheOthers) {
    pcscfake::readers({"A", "B"});
    pcscfake::removeCard();
    Wacht wacht("B");
    pcscfake::awaitWaits(1);
    // Changes elsewhere do not wake the watch: the end of its slice lets it look again.
    doe([] {
        pcscfake::insertCard("A");
        pcscfake::advance(1s);
    });
    doe([] { pcscfake::readers({"A", "B", "C"}); });
    doe([] {
        pcscfake::insertCard("C");
        pcscfake::advance(1s);
    });
    doe([] { pcscfake::insertCard("B"); });
    wacht.stop();
    EXPECT_EQ(wacht.insertions(), (std::vector<std::string>{"B"}));
}

// The slice after an insertion fails at its list: the insertion was told already, and the
// watch goes on after its pause.
TEST_F(Wachten, WatchTellsAnInsertionOnceWhenTheNextSliceFails) {
    pcscfake::readers({"A"});
    pcscfake::removeCard();
    Wacht wacht("");
    pcscfake::awaitWaits(1);
    std::vector<std::uint32_t> codes(pcscfake::calls(Call::ListReaders).size(), pcscfake::kSuccess);
    codes.push_back(pcscfake::kInternalError);
    pcscfake::script(Call::ListReaders, codes);
    doe([] { pcscfake::insertCard("A"); }); // seen, then the list fails and the watch pauses
    doe([] { pcscfake::advance(1s); });     // the pause ends and the watch waits again
    doe([] { pcscfake::removeCard(); });
    doe([] { pcscfake::insertCard("A"); });
    wacht.stop();
    EXPECT_EQ(wacht.insertions(), (std::vector<std::string>{"A", "A"}));
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
    doe([] { pcscfake::otherCard("A"); });
    doe([] { pcscfake::advance(5s); });
    doe([] { pcscfake::advance(5s); });
    EXPECT_TRUE(wacht.insertions().empty());
    EXPECT_EQ(gepeild(), "A");
    doe([] { pcscfake::removeOtherCard("A"); });
    doe([] { pcscfake::otherCard("A"); });  // a new insertion: probed anew
    doe([] { pcscfake::insertCard("A"); }); // the other card swapped for the eID card at once
    doe([] { pcscfake::cardState("B", pcscfake::CardState::mute); }); // the same card
    doe([] { pcscfake::otherCard("B"); }); // a new card, which cannot be probed
    // The probe's pauses after each of its two attempts to connect, on the waiter's clock.
    doe([] { pcscfake::advance(200ms); });
    doe([] { pcscfake::advance(200ms); });
    doe([] { pcscfake::advance(5s); });
    wacht.stop();
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
    doe([] { pcscfake::serviceRunning(false); });
    const std::size_t pogingenVoor = pcscfake::calls(Call::EstablishContext).size();
    for (int seconde = 0; seconde < 10; ++seconde) {
        doe([] { pcscfake::advance(1s); });
    }
    // One attempt a second while it is away, not a loop.
    const std::size_t pogingen = pcscfake::calls(Call::EstablishContext).size() - pogingenVoor;
    EXPECT_GE(pogingen, 9u);
    EXPECT_LE(pogingen, 11u);
    EXPECT_EQ(pcscfake::calls(Call::GetStatusChange).back().result, pcscfake::kNoService);

    // Back, with the same card still in: no insertion. Then a new one is seen.
    doe([] {
        pcscfake::serviceRunning(true);
        pcscfake::advance(1s);
    });
    doe([] { pcscfake::advance(1s); });
    doe([] { pcscfake::removeCard(); });
    doe([] { pcscfake::insertCard("A"); });
    wacht.stop();
    EXPECT_EQ(wacht.insertions(), (std::vector<std::string>{"A"}));
    EXPECT_EQ(pcscfake::openContexts(), 0u);
}

// A card left in while the service restarts is no insertion: the new service counts its events
// afresh, so the counters of before and after are not compared.
TEST_F(Wachten, WatchCountsNoInsertionForACardLeftInAcrossARestart) {
    pcscfake::readers({"A"});
    pcscfake::removeCard();
    Wacht wacht("");
    pcscfake::awaitWaits(1);
    doe([] { pcscfake::insertCard("A"); });
    doe([] { pcscfake::removeCard(); });
    doe([] { pcscfake::insertCard("A"); }); // the counter at 3
    doe([] { pcscfake::serviceRunning(false); });
    doe([] {
        pcscfake::serviceRunning(true); // the card still in, the counter at 0
        pcscfake::advance(1s);
    });
    doe([] { pcscfake::advance(5s); });
    EXPECT_EQ(wacht.insertions(), (std::vector<std::string>{"A", "A"}));
    doe([] { pcscfake::removeCard(); });
    doe([] { pcscfake::insertCard("A"); });
    wacht.stop();
    EXPECT_EQ(wacht.insertions(), (std::vector<std::string>{"A", "A", "A"}));
}

// A verdict holds under the counters of the service that gave it: after a restart the same
// count in the same reader may be another card, which is probed anew.
TEST_F(Wachten, WatchProbesAnewUnderARestartedService) {
    pcscfake::readers({"A"});
    pcscfake::removeCard();
    Wacht wacht("");
    pcscfake::awaitWaits(1);
    doe([] { pcscfake::otherCard("A"); }); // probed at the count of 2: of another kind
    doe([] { pcscfake::serviceRunning(false); });
    doe([] {
        pcscfake::serviceRunning(true); // the card still in, the count at 0
        pcscfake::advance(1s);
    });
    doe([] { pcscfake::insertCard("A"); }); // swapped for the eID card at once: the count at 2
    wacht.stop();
    EXPECT_EQ(wacht.insertions(), std::vector<std::string>{"A"});
    EXPECT_EQ(gepeild(), "A A");
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
            eidKaart();
            pcscfake::readers(g.lezers);
            pcscfake::removeCard();
        };
        const auto uitEnIn = [&] {
            if (g.voorDeLijst) {
                pcscfake::onCall(Call::ListReaders, pcscfake::calls(Call::ListReaders).size() + 1,
                                 [&] { pcscfake::readers(g.lezers); });
                doe([&] { pcscfake::readers(g.zonder); });
            } else {
                doe([&] { pcscfake::readers(g.zonder); });
                doe([&] { pcscfake::readers(g.lezers); });
            }
            // Not awaited: a watch that no longer hears of the reader would wait on.
            pcscfake::insertCard(g.terug);
        };

        begin();
        {
            Wacht wacht("");
            pcscfake::awaitWaits(1);
            uitEnIn();
            doe([] { pcscfake::advance(1s); });
            wacht.stop();
            EXPECT_EQ(wacht.insertions(), std::vector<std::string>{g.terug});
        }

        begin();
        Onderbreking onderbreking;
        Apart wacht("", 30s, onderbreking);
        pcscfake::awaitWaits(1);
        uitEnIn();
        while (!wacht.klaar) { // the card wakes the wait, or it runs out of time
            const std::size_t voor = pcscfake::waitsBegun();
            pcscfake::advance(1s);
            laatVerwerken(voor);
        }
        const Uitkomst u = wacht.uitkomst.get();
        EXPECT_EQ(u.lezer, g.terug);
        verwachtFout(u.fout, geenFout, "", "");
    }
}

// A reader unplugged with its card and plugged back with it is a reader plugged in with a card:
// an insertion, as the watch cannot tell it from another reader with another card.
TEST_F(Wachten, AReaderPluggedBackWithItsCardIsAnInsertion) {
    pcscfake::readers({"A", "B"});
    pcscfake::insertCard("B"); // present at the start: no insertion
    Wacht wacht("");
    pcscfake::awaitWaits(1);
    doe([] { pcscfake::readers({"A"}); });
    doe([] { pcscfake::readers({"A", "B"}); });
    wacht.stop();
    EXPECT_EQ(wacht.insertions(), std::vector<std::string>{"B"});
}

} // namespace
} // namespace belpic::test
