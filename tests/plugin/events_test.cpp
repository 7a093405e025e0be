// Card events through the plug-in as the host loads it: EID_WaitForCard's documents, and the
// watch of EID_OnCardInserted, whose scripts start only from Idle messages that allow it.
#include "support.h"
#include "tests/samplecard.h"
#include "tests/threads.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

namespace tessarin_test {
namespace {

using namespace std::chrono_literals;
using pcscfake::Call;

const std::string kStopped =
    "{\n  \"error\": \"The wait for a card was stopped.\",\n  \"errorDetail\": \"stopped\"\n}";
const std::string kSuccess = "{\n  \"error\": \"\"\n}";

// Script starts through a call block other than the one of the Idle message that starts them.
std::atomic<int> gForeignStarts{0};

FMX_PROC(fmx::errcode)
ForeignStart(const fmx::Text*, const fmx::Text*, FMX_ScriptControl, const fmx::Data*) {
    ++gForeignStarts;
    return 0;
}

// A call already on its way when Shutdown withdraws the functions: made through the
// registration as it is now.
std::function<std::string()> onItsWay(const char* function,
                                      const std::vector<fakehost::Argument>& arguments) {
    const auto registration = fakehost::find(function);
    EXPECT_TRUE(registration) << function;
    return [registration, arguments] {
        return fakehost::utf8(
            fakehost::call(registration->handler, registration->functionId, arguments).text);
    };
}

using threads::doneOrUnstick;
using threads::StartGun;
using threads::step;

class EventsTest : public PluginTest {
  public:
    void TearDown() override {
        fmxhost::shutdown(*plugin, kCurrentExtnVersion);
        EXPECT_EQ(fakehost::liveData(), 0);
        EXPECT_EQ(fakehost::liveLocales(), 0);
        PluginTest::TearDown();
    }

    void idle(FMX_IdleLevel level, char unsafe = 0) {
        auto block = fmxhost::callBlock(*plugin, kFMXT_Idle, kCurrentExtnVersion);
        block.parm1 = level;
        block.unsafeCalls = unsafe;
        fmxhost::send(*plugin, block);
    }

    // An Idle message from another of the host's threads, whose call block names a start
    // function of its own.
    void foreignIdle() {
        auto block = fmxhost::callBlock(*plugin, kFMXT_Idle, kCurrentExtnVersion);
        block.parm1 = kFMXT_Unsafe;
        block.unsafeCalls = 1;
        block.cStartScript = ForeignStart;
        fmxhost::send(*plugin, block);
    }

    // A clean host and service, and the plug-in started again.
    void restart() {
        fmxhost::shutdown(*plugin, kCurrentExtnVersion);
        fakehost::reset();
        pcscfake::reset();
        start();
    }

    std::string watch(const std::vector<fakehost::Argument>& arguments) {
        const auto r = call("EID_OnCardInserted", arguments);
        EXPECT_EQ(r.error, 0);
        return utf8(r.text);
    }

    static std::vector<std::string> started() {
        std::vector<std::string> lines;
        for (const auto& s : fakehost::scriptStarts()) {
            lines.push_back(s.file + "|" + s.script + "|" + std::to_string(s.control) + "|" +
                            s.parameter);
        }
        return lines;
    }
};

TEST_F(EventsTest, WaitForCardDocuments) {
    const std::string badSeconds =
        "The number of seconds to wait must be a whole number from 0 to 600.";
    const struct {
        const char* name;
        bool card;
        std::vector<fakehost::Argument> arguments;
        std::string expected;
    } cases[] = {
        {"card present, no arguments", true, {}, document({{"error", ""}, {"reader", "Reader A"}})},
        {"card present, zero seconds",
         true,
         {{"0"}},
         document({{"error", ""}, {"reader", "Reader A"}})},
        {"blanks around the number",
         true,
         {{" 600 "}},
         document({{"error", ""}, {"reader", "Reader A"}})},
        {"named reader",
         true,
         {{"0"}, {"Reader A"}},
         document({{"error", ""}, {"reader", "Reader A"}})},
        {"no card in time",
         false,
         {{"0"}},
         document({{"error", "No card was inserted in time. Insert the card and try again."},
                   {"errorDetail", "timeout"}})},
        {"card elsewhere",
         true,
         {{"0"}, {"Reader B"}},
         document({{"error", "No card was inserted in time. Insert the card and try again."},
                   {"errorDetail", "timeout"}})},
        {"unknown reader",
         true,
         {{"0"}, {"Reader \"Z\""}},
         document(
             {{"error", "There is no card reader named Reader \\\"Z\\\"."}, {"errorDetail", ""}})},
        {"letters",
         true,
         {{"abc"}},
         document({{"error", badSeconds}, {"errorDetail", "seconds: abc"}})},
        {"negative",
         true,
         {{"-1"}},
         document({{"error", badSeconds}, {"errorDetail", "seconds: -1"}})},
        {"too many",
         true,
         {{"601"}},
         document({{"error", badSeconds}, {"errorDetail", "seconds: 601"}})},
        {"fraction",
         true,
         {{"1.5"}},
         document({{"error", badSeconds}, {"errorDetail", "seconds: 1.5"}})},
        {"huge",
         true,
         {{"99999999999999999999"}},
         document({{"error", badSeconds}, {"errorDetail", "seconds: 99999999999999999999"}})},
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pcscfake::reset();
        samplecard::insert({"Reader A", "Reader B"});
        if (!c.card) {
            pcscfake::removeCard();
        }
        const auto r = call("EID_WaitForCard", c.arguments);
        EXPECT_EQ(r.error, 0);
        EXPECT_EQ(utf8(r.text), c.expected);
    }
}

TEST_F(EventsTest, EachInsertionStartsTheScriptOnceFromAnIdleThatAllowsIt) {
    samplecard::insert({"Reader A", "Reader B"});
    pcscfake::insertCard("Reader A"); // present before the watch: no insertion
    start();
    EXPECT_EQ(watch({{"Desk.fmp12"}, {"Fill from card"}}), document({{"error", ""}}));
    pcscfake::awaitWaits(1);
    idle(kFMXT_UserNotIdle);
    EXPECT_TRUE(started().empty());

    step([] { pcscfake::removeCard(); });
    step([] { pcscfake::insertCard("Reader B"); });
    // Not while a script runs or is paused, nor off the main thread.
    for (const fmx::uchar level : {kFMXT_ScriptPaused, kFMXT_ScriptRunning, kFMXT_Unsafe}) {
        idle(level);
    }
    idle(kFMXT_UserIdle, 1);
    EXPECT_TRUE(started().empty());
    // A second insertion in the same reader meanwhile stays one.
    step([] { pcscfake::removeCard(); });
    step([] { pcscfake::insertCard("Reader B"); });
    step([] { pcscfake::insertCard("Reader A"); });
    idle(kFMXT_UserNotIdle);
    EXPECT_EQ(started(), (std::vector<std::string>{"Desk.fmp12|Fill from card|3|Reader B",
                                                   "Desk.fmp12|Fill from card|3|Reader A"}));
    // The card stays: nothing more, whatever the time.
    step([] { pcscfake::advance(10s); });
    idle(kFMXT_UserIdle);
    EXPECT_EQ(started().size(), 2u);

    // Empty names stop the watch: its context is let go, insertions go unseen.
    EXPECT_EQ(watch({{""}, {""}}), document({{"error", ""}}));
    EXPECT_EQ(pcscfake::openContexts(), 0u);
    pcscfake::removeCard();
    pcscfake::insertCard("Reader A");
    idle(kFMXT_UserNotIdle);
    EXPECT_EQ(started().size(), 2u);
}

TEST_F(EventsTest, ANewWatchReplacesTheOldAndForgetsItsInsertions) {
    samplecard::insert({"Reader A", "Reader B"});
    pcscfake::removeCard();
    start();
    watch({{"One.fmp12"}, {"First"}});
    pcscfake::awaitWaits(1);
    step([] { pcscfake::insertCard("Reader A"); });
    step([&] { watch({{"Two.fmp12"}, {"Second"}, {"Reader B"}}); });
    idle(kFMXT_UserNotIdle);
    EXPECT_TRUE(started().empty());
    step([] { pcscfake::insertCard("Reader B"); });
    idle(kFMXT_UserNotIdle);
    EXPECT_EQ(started(), (std::vector<std::string>{"Two.fmp12|Second|3|Reader B"}));
    EXPECT_EQ(pcscfake::openContexts(), 1u);
}

// With fields, the insertion script is given the card: what EID_ReadFields would answer, read off
// FileMaker's thread, with the reader last; a read that fails gives the error document in the
// language in force when the card was read.
TEST_F(EventsTest, TheInsertionScriptIsGivenTheCard) {
    const std::string kRead = documentOf({{"surname", "Voorbeeld"}, {"reader", "Reader A"}});
    const struct {
        const char* name;
        const char* language;
        std::vector<std::uint32_t> transmits; // the probe's SELECT, then the read's READ BINARY
        std::string parameter;
    } cases[] = {
        {"read", "en", {}, kRead},
        {"a read that fails",
         "en",
         {0, pcscfake::kRemovedCard},
         document({{"error", "The command did not reach the card."},
                   {"errorDetail", "SCardTransmit 0x80100069"},
                   {"reader", "Reader A"}})},
        {"in the language of the moment",
         "nl",
         {0, pcscfake::kRemovedCard},
         document({{"error", "De opdracht heeft de kaart niet bereikt."},
                   {"errorDetail", "SCardTransmit 0x80100069"},
                   {"reader", "Reader A"}})},
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        samplecard::insert({"Reader A"});
        pcscfake::removeCard();
        call("EID_SetLanguage", {{c.language}});
        EXPECT_EQ(watch({{"Desk.fmp12"}, {"Fill"}, {""}, {"surname"}}), kSuccess);
        pcscfake::awaitWaits(1);
        pcscfake::script(Call::Transmit, c.transmits);
        step([] { pcscfake::insertCard("Reader A"); });
        call("EID_SetLanguage", {{"de"}}); // after the read: the document is made
        idle(kFMXT_UserNotIdle);
        EXPECT_EQ(started(), std::vector<std::string>{"Desk.fmp12|Fill|3|" + c.parameter});
        call("EID_SetLanguage", {{"en"}});
    }
}

// The insertion and removal scripts start in the order the cards came and went, once FileMaker is
// idle. A reader has at most one document waiting: a card put in drops what its reader had
// waiting, the cards of which came and went unseen. A card of another kind starts nothing.
TEST_F(EventsTest, StartsWaitInTheOrderTheCardsCameAndWent) {
    const auto card = [](const char* reader) {
        return "In|" + documentOf({{"surname", "Voorbeeld"}, {"reader", reader}});
    };
    const struct {
        const char* name;
        std::vector<std::function<void()>> steps;
        std::vector<std::string> started;
    } cases[] = {
        {"in and out",
         {[] { pcscfake::insertCard("Reader A"); }, [] { pcscfake::removeCard(); }},
         {card("Reader A"), "Out|Reader A"}},
        {"in, out and in again",
         {[] { pcscfake::insertCard("Reader A"); }, [] { pcscfake::removeCard(); },
          [] { pcscfake::insertCard("Reader A"); }},
         {card("Reader A")}},
        {"from one reader to the other",
         {[] { pcscfake::insertCard("Reader A"); }, [] { pcscfake::insertCard("Reader B"); }},
         {card("Reader A"), "Out|Reader A", card("Reader B")}},
        {"a card of another kind",
         {[] { pcscfake::otherCard("Reader B"); }, [] { pcscfake::removeOtherCard("Reader B"); }},
         {}},
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        samplecard::insert({"Reader A", "Reader B"});
        pcscfake::removeCard();
        EXPECT_EQ(watch({{"F"}, {"In"}, {""}, {"surname"}}), kSuccess);
        pcscfake::awaitWaits(1);
        // The watch made anew with both scripts.
        step([&] { EXPECT_EQ(utf8(call("EID_OnCardRemoved", {{"F"}, {"Out"}}).text), kSuccess); });
        for (const auto& s : c.steps) {
            step(s);
        }
        idle(kFMXT_UserNotIdle);
        std::vector<std::string> scripts;
        for (const auto& s : fakehost::scriptStarts()) {
            scripts.push_back(s.script + "|" + s.parameter);
        }
        EXPECT_EQ(scripts, c.started);
    }
}

// Shutdown may come while a function runs on another of the host's threads. Once it has begun,
// no watch starts and no wait begins: each answers as a stopped wait, at once.
TEST_F(EventsTest, NothingWaitsOrWatchesOnceShutdownHasBegun) {
    samplecard::insert({"Reader A"}); // holding the card
    start();
    const auto lateWatch = onItsWay("EID_OnCardInserted", {{"F"}, {"S"}});
    const auto lateWait = onItsWay("EID_WaitForCard", {{"30"}});
    {
        // A watch on a named reader lists the readers first: Shutdown comes meanwhile.
        pcscfake::Hold list(Call::ListReaders, 1);
        auto setUp = std::async(std::launch::async, [&] {
            return watch({{"F"}, {"S"}, {"Reader A"}});
        });
        list.awaitHeld();
        fmxhost::shutdown(*plugin, kCurrentExtnVersion);
        list.release();
        EXPECT_EQ(setUp.get(), kStopped);
    }
    EXPECT_EQ(lateWatch(), kStopped);
    EXPECT_EQ(lateWait(), kStopped);
    EXPECT_TRUE(pcscfake::calls(Call::GetStatusChange).empty());
    EXPECT_EQ(pcscfake::openContexts(), 0u);
}

// Two set-ups at once, as two windows' triggers may run them: every replaced watch is stopped
// and joined, and one watch is left.
TEST_F(EventsTest, SetUpsAtOnceLeaveOneWatch) {
    samplecard::insert({"Reader A"});
    pcscfake::removeCard();
    start();
    for (int round = 0; round < 100; ++round) {
        StartGun gun;
        auto one = gun.thread([&] { EXPECT_EQ(watch({{"F"}, {"One"}}), kSuccess); });
        auto two = gun.thread([&] { EXPECT_EQ(watch({{"F"}, {"Two"}}), kSuccess); });
        auto stop = gun.thread([&] { EXPECT_EQ(watch({{""}, {""}}), kSuccess); });
        gun.fire.set_value();
        one.get();
        two.get();
        stop.get();
    }
    EXPECT_EQ(watch({{""}, {""}}), kSuccess);
    const std::size_t before = pcscfake::waitsBegun();
    EXPECT_EQ(watch({{"F"}, {"Last"}}), kSuccess);
    pcscfake::awaitWaits(before + 1);
    EXPECT_EQ(pcscfake::openContexts(), 1u);
    step([] { pcscfake::insertCard("Reader A"); });
    idle(kFMXT_UserNotIdle);
    EXPECT_EQ(started(), (std::vector<std::string>{"F|Last|3|Reader A"}));
}

// The threads of this process.
std::size_t threads() {
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// Whether the threads of this process come down to `count`. A joined thread may still be listed
// for a moment while the system lets it go; a thread that runs on fails the test after a while.
bool threadsComeDownTo(std::size_t count) {
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (threads() > count && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
    }
    return threads() <= count;
}

// A set-up and Shutdown at once, the set-up replacing a watch: whichever comes first, once both
// are done no thread of the plug-in is left.
TEST_F(EventsTest, ASetUpDuringShutdownLeavesNoThread) {
    pcscfake::readers({"Reader A"});
    pcscfake::removeCard();
    for (int round = 0; round < 100; ++round) {
        start();
        const std::size_t before = pcscfake::waitsBegun();
        EXPECT_EQ(watch({{"F"}, {"First"}}), kSuccess);
        pcscfake::awaitWaits(before + 1);
        const std::size_t watching = threads();
        const auto second = onItsWay("EID_OnCardInserted", {{"F"}, {"Second"}});
        {
            StartGun gun;
            auto setUp = gun.thread([&] { second(); });
            auto shutdown = gun.thread([&] { fmxhost::shutdown(*plugin, kCurrentExtnVersion); });
            gun.fire.set_value();
        }
        ASSERT_TRUE(threadsComeDownTo(watching - 1)) << "round " << round;
    }
}

// A script or a layout trigger may set up the watch it already has. The same file, script and
// reader leave it running, with the insertions it has not started yet; any other watch
// replaces it and forgets them. Fields that cannot be read are refused as EID_ReadFields refuses
// them, and the watch stays as it was.
TEST_F(EventsTest, TheSameWatchAgainKeepsItsPendingStarts) {
    const struct {
        const char* name;
        std::vector<fakehost::Argument> arguments;
        bool kept;
        std::string answer = kSuccess;
    } cases[] = {
        {"the same", {{"Desk.fmp12"}, {"Fill"}, {"Reader A"}}, true},
        {"the same, fields left empty", {{"Desk.fmp12"}, {"Fill"}, {"Reader A"}, {""}}, true},
        {"another script", {{"Desk.fmp12"}, {"Other"}, {"Reader A"}}, false},
        {"another file", {{"Hotel.fmp12"}, {"Fill"}, {"Reader A"}}, false},
        {"any reader", {{"Desk.fmp12"}, {"Fill"}}, false},
        {"fields", {{"Desk.fmp12"}, {"Fill"}, {"Reader A"}, {"surname"}}, false},
        {"a field that does not exist",
         {{"Desk.fmp12"}, {"Other"}, {"Reader A"}, {"surname nope"}},
         true,
         document({{"error", "There is no card field named nope."}, {"errorDetail", ""}})},
        {"no field at all",
         {{"Desk.fmp12"}, {"Other"}, {"Reader A"}, {" ;"}},
         true,
         document({{"error", "Name at least one card field."}, {"errorDetail", ""}})},
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        samplecard::insert({"Reader A"});
        pcscfake::removeCard();
        watch({{"Desk.fmp12"}, {"Fill"}, {"Reader A"}});
        pcscfake::awaitWaits(1);
        step([] { pcscfake::insertCard("Reader A"); });
        EXPECT_EQ(watch(c.arguments), c.answer);
        idle(kFMXT_UserNotIdle);
        EXPECT_EQ(started(), c.kept ? std::vector<std::string>{"Desk.fmp12|Fill|3|Reader A"}
                                    : std::vector<std::string>{});
        EXPECT_EQ(pcscfake::calls(Call::Cancel).empty(), c.kept);
    }
}

// A stop that lands after the watch looked for it and before its wait has begun is lost on
// pcsc-lite, whose SCardCancel reaches only a wait in progress. It is sent again until the
// watch has ended, so neither the host's thread nor Shutdown waits out a slice.
TEST_F(EventsTest, AStopJustBeforeTheWatchWaitsIsSentAgain) {
    const struct {
        const char* name;
        std::function<void(EventsTest&)> stop;
    } cases[] = {
        {"empty names",
         [](EventsTest& t) {
             EXPECT_EQ(t.watch({{""}, {""}}), kSuccess);
         }},
        {"Shutdown", [](EventsTest& t) { fmxhost::shutdown(*t.plugin, kCurrentExtnVersion); }},
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        pcscfake::readers({"Reader A"});
        pcscfake::removeCard();
        watch({{"F"}, {"S"}});
        pcscfake::awaitWaits(1); // in its second wait: the first answered at once
        pcscfake::Hold wait(Call::GetStatusChange, 3);
        // The second stop lets the held wait begin: the first was lost.
        pcscfake::onCall(Call::Cancel, 2, [&] { wait.release(); });
        pcscfake::insertCard("Reader A");
        wait.awaitHeld();
        auto stopping = std::async(std::launch::async, [&] { c.stop(*this); });
        EXPECT_TRUE(doneOrUnstick(stopping, [&] {
            wait.release();
            pcscfake::serviceRunning(false);
        }));
        stopping.get();
        EXPECT_EQ(pcscfake::openContexts(), 0u);
        EXPECT_EQ(pcscfake::calls(Call::GetStatusChange).back().result, pcscfake::kCancelled);
    }
}

// Shutdown returns only once every wait has ended: a wait still running when the module is
// unloaded would run code that is gone. The wait here is held between two of its calls until
// Shutdown has stopped it three times.
TEST_F(EventsTest, ShutdownReturnsOnlyOnceEveryWaitHasEnded) {
    pcscfake::readers({"Reader A"});
    pcscfake::removeCard();
    start();
    pcscfake::Hold list(Call::ListReaders, 3); // the second slice's
    pcscfake::onCall(Call::Cancel, 3, [&] { list.release(); });
    auto wait = std::async(std::launch::async, [&] { return call("EID_WaitForCard", {{"600"}}); });
    list.awaitHeld();
    auto shutdown =
        std::async(std::launch::async, [&] { fmxhost::shutdown(*plugin, kCurrentExtnVersion); });
    EXPECT_TRUE(doneOrUnstick(shutdown, [&] { list.release(); }));
    shutdown.get();
    EXPECT_EQ(pcscfake::openContexts(), 0u); // the wait's context is gone: the wait ended
    list.release();
    pcscfake::serviceRunning(false);
    EXPECT_EQ(utf8(wait.get().text), kStopped);
}

// The host reads the exported call-block pointer. It is set from Init's block alone: messages
// that may come on other threads leave it alone, and a script starts through the block of the
// Idle message that starts it, never through Init's.
TEST_F(EventsTest, ScriptsStartThroughTheirIdleMessagesOwnBlock) {
    auto* global = static_cast<FMX_ExternCallPtr*>(plugin->symbol("gFMX_ExternCallPtr"));
    ASSERT_NE(global, nullptr);
    auto init = fmxhost::callBlock(*plugin, kFMXT_Init, kCurrentExtnVersion);
    init.cStartScript = ForeignStart;
    fmxhost::send(*plugin, init);
    ASSERT_EQ(static_cast<fmx::int64>(init.result), kCurrentExtnVersion);
    EXPECT_EQ(*global, &init);

    gForeignStarts = 0;
    samplecard::insert({"Reader A"});
    pcscfake::removeCard();
    watch({{"F"}, {"S"}});
    pcscfake::awaitWaits(1);
    step([] { pcscfake::insertCard("Reader A"); });
    foreignIdle();
    fmxhost::getString(*plugin, kFMXT_NameStr, 64, kCurrentExtnVersion);
    idle(kFMXT_UserNotIdle);
    EXPECT_EQ(started(), (std::vector<std::string>{"F|S|3|Reader A"}));
    EXPECT_EQ(gForeignStarts, 0);
    EXPECT_EQ(*global, &init);
}

// Insertions arrive on the watch's thread while Idle messages come on two of the host's threads
// at once, one of them not the main thread: the list of insertions is shared under its lock,
// every start goes through the main thread's own call block, and the watch goes on after.
TEST_F(EventsTest, IdleOnTwoThreadsWhileInsertionsArrive) {
    const std::vector<std::string> readers = {"Reader A", "Reader B", "Reader C"};
    samplecard::insert(readers);
    pcscfake::removeCard();
    start();
    gForeignStarts = 0;
    watch({{"F"}, {"S"}});
    pcscfake::awaitWaits(1);
    constexpr int kInsertions = 300;
    std::atomic<bool> done{false};
    StartGun gun;
    auto inserter = gun.thread([&] {
        for (int i = 0; i < kInsertions; ++i) {
            pcscfake::insertCard(readers[static_cast<std::size_t>(i) % readers.size()]);
        }
        step([] { pcscfake::advance(1s); }); // the watch has taken in the last one
        done = true;
    });
    auto main = gun.thread([&] {
        while (!done) {
            idle(kFMXT_UserNotIdle);
        }
    });
    auto other = gun.thread([&] {
        while (!done) {
            foreignIdle();
        }
    });
    gun.fire.set_value();
    inserter.get();
    main.get();
    other.get();
    idle(kFMXT_UserNotIdle);
    const std::size_t before = started().size();
    EXPECT_GE(before, 1u);
    EXPECT_LE(before, static_cast<std::size_t>(kInsertions));
    for (const auto& s : fakehost::scriptStarts()) {
        EXPECT_NE(std::find(readers.begin(), readers.end(), s.parameter), readers.end());
    }
    EXPECT_EQ(gForeignStarts, 0);

    step([] { pcscfake::removeCard(); });
    step([] { pcscfake::insertCard("Reader B"); });
    idle(kFMXT_UserNotIdle);
    const auto after = started();
    EXPECT_EQ(std::vector<std::string>(after.begin() + static_cast<long>(before), after.end()),
              std::vector<std::string>{"F|S|3|Reader B"});
}

// The host fails a script start (here its first call, making the file's name): that start is
// lost, and the starts after it stay pending, in their order, for the next Idle message.
TEST_F(EventsTest, AStartTheHostFailsLeavesTheNextPending) {
    const struct {
        unsigned long failing; // the start that fails, from 0
        std::vector<std::string> expected;
    } cases[] = {
        {0, {"F|S|3|Reader C", "F|S|3|Reader A"}},
        {1, {"F|S|3|Reader B", "F|S|3|Reader A"}},
        {2, {"F|S|3|Reader B", "F|S|3|Reader C"}},
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        restart();
        samplecard::insert({"Reader A", "Reader B", "Reader C"});
        pcscfake::removeCard();
        watch({{"F"}, {"S"}});
        pcscfake::awaitWaits(1);
        // The SDK calls of one start.
        step([] { pcscfake::insertCard("Reader A"); });
        const unsigned long before = fakehost::callCount();
        idle(kFMXT_UserNotIdle);
        const unsigned long perStart = fakehost::callCount() - before;
        fakehost::reset();

        for (const char* reader : {"Reader B", "Reader C", "Reader A"}) {
            step([&] { pcscfake::insertCard(reader); });
        }
        fakehost::failCall(c.failing * perStart + 1, 1);
        idle(kFMXT_UserNotIdle);
        idle(kFMXT_UserNotIdle);
        EXPECT_EQ(started(), c.expected);
    }
}

// An allocation failure on the watch's thread ends the watch, not FileMaker. The next set-up,
// even with the same names, starts a working watch in its place.
TEST_F(EventsTest, AFailureOnTheWatchThreadEndsItQuietly) {
    samplecard::insert({"Reader A"});
    pcscfake::removeCard();
    start();
    std::atomic<pid_t> watcher{0};
    pcscfake::onCall(Call::GetStatusChange, 1, [&] { watcher = gettid(); });
    pcscfake::throwBadAlloc(Call::GetStatusChange, 2);
    EXPECT_EQ(watch({{"F"}, {"S"}}), kSuccess);
    while (watcher == 0 ||
           std::filesystem::exists("/proc/self/task/" + std::to_string(watcher.load()))) {
        std::this_thread::yield(); // until the watch's thread has ended
    }
    EXPECT_EQ(pcscfake::openContexts(), 0u);
    EXPECT_EQ(watch({{"F"}, {"S"}}), kSuccess);
    auto waiting = std::async(std::launch::async, [] { pcscfake::awaitWaits(1); });
    ASSERT_TRUE(doneOrUnstick(waiting, [] { pcscfake::sleep(0s); })) << "no watch runs";
    step([] { pcscfake::insertCard("Reader A"); });
    idle(kFMXT_UserNotIdle);
    EXPECT_EQ(started(), (std::vector<std::string>{"F|S|3|Reader A"}));
}

// A host that ends without Shutdown (a crash elsewhere, a forced quit) exits with the plug-in
// loaded and its watch running: the process ends normally, as FileMaker's must, whether the
// watch waits in the service or, finding none, pauses before it tries again.
TEST_F(EventsTest, WithoutShutdownTheProcessEndsNormally) {
    for (const char* module : {kFakePlugin, TESSARIN_PLUGIN}) {
        SCOPED_TRACE(module);
        const std::string command = std::string("PCSCLITE_CSOCK_NAME=/nonexistent/pcscd.comm ") +
                                    NOSHUTDOWN_PROGRAM + " " + module +
                                    " EID_OnCardInserted F S >/dev/null";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

// A security key or a login card beside the eID reader: waits and watches pass it by.
TEST_F(EventsTest, WaitsAndWatchesCountTheEidCardOnly) {
    samplecard::insert({"Reader A", "Reader B"});
    pcscfake::removeCard();
    pcscfake::otherCard("Reader A");
    start();
    EXPECT_EQ(utf8(call("EID_WaitForCard", {{"0"}}).text),
              document({{"error", "No card was inserted in time. Insert the card and try again."},
                        {"errorDetail", "timeout"}}));
    pcscfake::insertCard("Reader B");
    EXPECT_EQ(utf8(call("EID_WaitForCard", {{"0"}}).text),
              document({{"error", ""}, {"reader", "Reader B"}}));

    pcscfake::removeCard();
    EXPECT_EQ(watch({{"Desk.fmp12"}, {"Fill from card"}}), document({{"error", ""}}));
    pcscfake::awaitWaits(1);
    step([] { pcscfake::removeOtherCard("Reader A"); });
    step([] { pcscfake::otherCard("Reader A"); });
    idle(kFMXT_UserNotIdle);
    EXPECT_TRUE(started().empty());
    step([] { pcscfake::insertCard("Reader B"); });
    idle(kFMXT_UserNotIdle);
    EXPECT_EQ(started(), (std::vector<std::string>{"Desk.fmp12|Fill from card|3|Reader B"}));
    // Every card was let go as it was found.
    for (const auto call : {pcscfake::Call::EndTransaction, pcscfake::Call::Disconnect}) {
        for (const auto& r : pcscfake::calls(call)) {
            EXPECT_EQ(r.disposition, 0u) << r.reader;
        }
    }
}

TEST_F(EventsTest, RefusedWhereScriptsCannotStartOrTheReaderIsUnknown) {
    const std::string server = "Scripts cannot be started when a card is inserted here: only "
                               "FileMaker Pro runs them, not FileMaker Server or the Data API.";
    const struct {
        FMX_Application application;
        std::vector<fakehost::Argument> arguments;
        std::string expected;
    } cases[] = {
        {7, {{"F"}, {"S"}}, document({{"error", server}, {"errorDetail", "application 7"}})},
        {9, {{"F"}, {"S"}}, document({{"error", server}, {"errorDetail", "application 9"}})},
        {4, {{"F"}, {"S"}}, document({{"error", server}, {"errorDetail", "application 4"}})},
        {7, {{""}, {""}}, document({{"error", ""}})}, // stopping is always allowed
        {1,
         {{"F"}, {""}},
         document({{"error", "Name both the file and the script to start."}, {"errorDetail", ""}})},
        {1,
         {{"F"}, {"S"}, {"Nope"}},
         document({{"error", "There is no card reader named Nope."}, {"errorDetail", ""}})},
        {2, {{"F"}, {"S"}, {"Reader A"}}, document({{"error", ""}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.application));
        pcscfake::reset();
        pcscfake::readers({"Reader A"});
        fakehost::reset();
        ASSERT_EQ(fmxhost::init(*plugin, kCurrentExtnVersion, c.application), kCurrentExtnVersion);
        EXPECT_EQ(watch(c.arguments), c.expected);
        fmxhost::shutdown(*plugin, kCurrentExtnVersion);
        EXPECT_EQ(pcscfake::openContexts(), 0u);
    }
}

// Another program holds the card (the system reading it after an insertion, a signature waiting
// for its PIN), and the service makes each call to it wait for as long. Every way of ending a
// probe that waits for it ends it at once: no time passes (Shutdown would give the watch up only
// once the clock moved on). EID_WaitForCard ( 0 ) ends when its time is up, and a moment more.
// The card the probe could not ask is not told.
TEST_F(EventsTest, NothingWaitsForAnotherProgramPastItsBound) {
    const auto shutdown = [](EventsTest& t) { fmxhost::shutdown(*t.plugin, kCurrentExtnVersion); };
    const struct {
        const char* name;
        const char* seconds; // the wait's; none: the watch's probe
        std::function<void(EventsTest&)> end;
        std::chrono::milliseconds time; // the clock moves on by this much
        std::string answer;             // the wait's
    } cases[] = {
        {"Shutdown during a watch's probe", nullptr, shutdown, 0ms, ""},
        {"Shutdown during a wait's probe", "30", shutdown, 0ms, kStopped},
        {"the watch stopped during its probe", nullptr,
         [](EventsTest& t) {
             EXPECT_EQ(t.watch({{""}, {""}}), kSuccess);
         },
         0ms, ""},
        {"the watch replaced during its probe", nullptr,
         [](EventsTest& t) {
             EXPECT_EQ(t.watch({{"F"}, {"Other"}}), kSuccess);
         },
         0ms, ""},
        {"EID_WaitForCard ( 0 )", "0", [](EventsTest&) {}, 200ms,
         document({{"error", ""}, {"reader", "Reader A"}})},
    };
    const auto letGo = [] { pcscfake::heldElsewhere("Reader A", pcscfake::now()); };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restart();
        samplecard::insert({"Reader A"});
        pcscfake::heldElsewhere("Reader A", pcscfake::kForever);
        std::future<std::string> waiting;
        if (c.seconds == nullptr) {
            pcscfake::removeCard();
            watch({{"F"}, {"S"}});
            pcscfake::awaitWaits(1);
            pcscfake::insertCard("Reader A");
        } else {
            waiting = std::async(std::launch::async,
                                 [&] { return utf8(call("EID_WaitForCard", {{c.seconds}}).text); });
        }
        pcscfake::awaitHeldCalls(1);
        auto ending = std::async(std::launch::async, [&] { c.end(*this); });
        pcscfake::advance(c.time);
        EXPECT_TRUE(doneOrUnstick(ending, [&] {
            letGo();
            pcscfake::advance(1h);
        }));
        if (c.seconds != nullptr) {
            ASSERT_TRUE(doneOrUnstick(waiting, letGo));
            EXPECT_EQ(waiting.get(), c.answer);
        }
        idle(kFMXT_UserNotIdle);
        EXPECT_TRUE(started().empty());
        // The probe given up on ends once the other program lets go, and leaves nothing open.
        fmxhost::shutdown(*plugin, kCurrentExtnVersion);
        letGo();
        pcscfake::awaitAllClosed();
    }
}

// Shutdown, whose time is up once it has begun to stop what runs (its first stop reaches the
// service).
void shutdownOutOfTime(PluginTest& t) {
    pcscfake::Hold stopping(Call::Cancel, 1);
    auto shutdown =
        std::async(std::launch::async, [&t] { fmxhost::shutdown(*t.plugin, kCurrentExtnVersion); });
    stopping.awaitHeld();
    pcscfake::advance(1s);
    stopping.release();
    shutdown.get();
}

// The host unloads the plug-in while a thread of it still runs: the watch, after no Shutdown
// (FileMaker made to quit, or crashed elsewhere); a read's call to the service given up on; or a
// wait whose call to the service does not return, after a Shutdown that gave up on it once its
// time was up. The module stays loaded, the thread goes on in it and returns, and the
// process goes on and ends normally.
TEST_F(EventsTest, UnloadedWhileAThreadOfThePluginRunsTheProcessGoesOn) {
    const struct {
        const char* name;
        std::function<void(EventsTest&)> act;
    } cases[] = {
        {"the watch, without Shutdown",
         [](EventsTest& t) {
             pcscfake::removeCard();
             t.watch({{"F"}, {"S"}});
             pcscfake::awaitWaits(1);
             t.plugin.reset();
             step([] { pcscfake::insertCard("Reader A"); }); // the watch runs the module's code
         }},
        {"a read given up on, without Shutdown",
         [](EventsTest& t) {
             pcscfake::heldElsewhere("Reader A", pcscfake::kForever);
             auto read = std::async(std::launch::async, [&t] { return t.call("EID_Read"); });
             pcscfake::awaitHeldCalls(1);
             pcscfake::advance(10s);
             read.get();
             t.plugin.reset();
             pcscfake::heldElsewhere("Reader A", pcscfake::now());
             pcscfake::awaitAllClosed(); // the call given up on has returned and let go
         }},
        {"a wait in a command that does not return, after Shutdown",
         [](EventsTest& t) {
             pcscfake::Hold select(Call::Transmit, 1);
             auto wait = std::async(std::launch::async,
                                    [&t] { return t.call("EID_WaitForCard", {{"30"}}); });
             select.awaitHeld();
             shutdownOutOfTime(t);
             t.plugin.reset();
             select.release();
             if (utf8(wait.get().text) != kStopped) {
                 std::exit(1);
             }
         }},
    };
    // Each in a process of its own, started afresh: threads of earlier tests are not in it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                samplecard::insert({"Reader A"});
                start();
                c.act(*this);
                std::exit(0);
            },
            testing::ExitedWithCode(0), "");
    }
}

TEST_F(EventsTest, ShutdownStopsTheWatchAndJoinsIt) {
    pcscfake::readers({"Reader A"});
    pcscfake::removeCard();
    start();
    watch({{"F"}, {"S"}});
    pcscfake::awaitWaits(1);
    EXPECT_EQ(pcscfake::openContexts(), 1u);
    fmxhost::shutdown(*plugin, kCurrentExtnVersion);
    // Joined: the watch's context is released and it was cancelled on that same context.
    EXPECT_EQ(pcscfake::openContexts(), 0u);
    const auto cancels = pcscfake::calls(pcscfake::Call::Cancel);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0].context, pcscfake::calls(pcscfake::Call::GetStatusChange).back().context);
    EXPECT_EQ(pcscfake::calls(pcscfake::Call::GetStatusChange).back().result, pcscfake::kCancelled);
}

} // namespace
} // namespace tessarin_test
