// Card events through the plug-in as the host loads it: EID_WaitForCard's documents, and the
// watch of EID_OnCardInserted, whose scripts start only from Idle messages that allow it.
#include "support.h"
#include "tests/samplecard.h"

namespace tessarin_test {
namespace {

using namespace std::chrono_literals;

std::string document(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string text = "{\n";
    for (std::size_t i = 0; i < members.size(); ++i) {
        text += "  \"" + members[i].first + "\": \"" + members[i].second + "\"";
        text += i + 1 < members.size() ? ",\n" : "\n";
    }
    return text + "}";
}

// Does `step` and lets the watch take it in: it has begun waiting again since.
template <typename Step>
void step(Step s) {
    const std::size_t before = pcscfake::waitsBegun();
    s();
    pcscfake::awaitWaits(before + 1);
}

class EventsTest : public PluginTest {
  protected:
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
