// Every SDK call of every message and function made to fail in turn, with each failure code:
// nothing may escape into the host, nothing may leak, and no half result may be stored.
#include "support.h"
#include "tests/samplecard.h"

#include <algorithm>
#include <functional>
#include <set>

namespace tessarin_test {
namespace {

// One message or function call, with what must hold after it when call `failed` of the
// host reported `code` ("" and 0 for the run without failure).
struct Scenario {
    std::string name;
    std::function<void(PluginTest&)> prepare;
    std::function<void(PluginTest&, const std::string& failed, fmx::int32 code)> act;
};

bool isDelete(const std::string& call) {
    const std::string suffix = "_Delete";
    return call.size() > suffix.size() &&
           call.compare(call.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A failure reported by a delete cannot be seen by the plug-in; any other ends the work.
bool stops(const std::string& failed) {
    return !failed.empty() && !isDelete(failed);
}

void sampleCard() {
    samplecard::insert({"Reader A", "Reader B"});
}

void initScenario(PluginTest& t, const std::string& failed, fmx::int32) {
    const auto reply = fmxhost::init(*t.plugin, 77);
    EXPECT_EQ(reply, stops(failed) ? kDoNotEnable : kCurrentExtnVersion);
    // A disabled plug-in gets no Shutdown: it leaves nothing registered.
    EXPECT_EQ(fakehost::registrations().size(), stops(failed) ? 0u : 8u);
    EXPECT_EQ(fakehost::scriptSteps().size(), stops(failed) ? 0u : 1u);
}

void shutdownScenario(PluginTest& t, const std::string& failed, fmx::int32) {
    fmxhost::shutdown(*t.plugin, 77);
    if (!stops(failed)) {
        EXPECT_EQ(fakehost::unregistrations(),
                  (std::vector<short>{100, 101, 102, 103, 104, 105, 106, 107}));
        EXPECT_EQ(fakehost::stepUnregistrations(), std::vector<short>{200});
    }
}

std::function<void(PluginTest&, const std::string&, fmx::int32)>
getStringScenario(int id, std::u16string text) {
    return [id, text](PluginTest& t, const std::string& failed, fmx::int32) {
        std::vector<fmx::unichar16> memory(40, 0xBEEF);
        auto block = fmxhost::callBlock(*t.plugin, kFMXT_GetString, 77);
        block.parm1 = static_cast<fmx::uchar>(id);
        block.parm3 = 32;
        block.result = reinterpret_cast<fmx::ptrtype>(memory.data());
        fmxhost::send(*t.plugin, block);
        const std::u16string expected = stops(failed) ? u"" : text;
        EXPECT_EQ(std::u16string(memory.begin(), memory.begin() + expected.size()), expected);
        EXPECT_EQ(memory[expected.size()], 0);
        EXPECT_TRUE(
            std::all_of(memory.begin() + 32, memory.end(), [](auto u) { return u == 0xBEEF; }));
    };
}

// A function call: its text when nothing stops it, else no result and the error for the
// failure.
std::function<void(PluginTest&, const std::string&, fmx::int32)>
functionScenario(const std::string& function, std::vector<fakehost::Argument> arguments,
                 std::function<void(const std::string&)> checkText) {
    return [=](PluginTest& t, const std::string& failed, fmx::int32 code) {
        const auto result = t.call(function, arguments);
        if (stops(failed)) {
            EXPECT_EQ(result.error, code == 1 ? 2 : -1);
            EXPECT_EQ(result.sets, 0);
        } else {
            EXPECT_EQ(result.error, 0);
            EXPECT_EQ(result.sets, 1);
            checkText(utf8(result.text));
        }
        EXPECT_EQ(pcscfake::openContexts(), 0u);
        EXPECT_EQ(pcscfake::openCards(), 0u);
    };
}

// The step: its result and code when nothing stops it, else no result and the error for the
// failure.
std::function<void(PluginTest&, const std::string&, fmx::int32)>
stepScenario(std::vector<std::string> values, fmx::errcode error,
             std::function<void(const std::string&)> checkText) {
    return [=](PluginTest&, const std::string& failed, fmx::int32 code) {
        const auto step = fakehost::findStep("EID Read Card");
        ASSERT_TRUE(step);
        const auto result = fakehost::performStep(*step, values);
        if (stops(failed)) {
            EXPECT_EQ(result.error, code == 1 ? 2 : -1);
            EXPECT_EQ(result.sets, 0);
        } else {
            EXPECT_EQ(result.error, error);
            EXPECT_EQ(result.sets, 1);
            checkText(utf8(result.text));
        }
        EXPECT_EQ(pcscfake::openContexts(), 0u);
        EXPECT_EQ(pcscfake::openCards(), 0u);
    };
}

void started(PluginTest& t) {
    t.start();
}

// A watch with one insertion waiting for an Idle message (the watch of an earlier run is shut
// down first, and the service made new once it has stopped).
void insertionPending(PluginTest& t) {
    fmxhost::shutdown(*t.plugin, kCurrentExtnVersion);
    pcscfake::reset();
    t.start();
    samplecard::insert({"Reader A"});
    pcscfake::removeCard();
    t.call("EID_OnCardInserted", {{"Desk.fmp12"}, {"Fill"}});
    pcscfake::awaitWaits(1);
    const std::size_t before = pcscfake::waitsBegun();
    pcscfake::insertCard("Reader A");
    pcscfake::awaitWaits(before + 1);
}

// Idle starts the script, unless a host failure stops it. The watch goes on until the next
// run's Shutdown, or the sweep's.
void idleScenario(PluginTest& t, const std::string& failed, fmx::int32) {
    auto block = fmxhost::callBlock(*t.plugin, kFMXT_Idle, kCurrentExtnVersion);
    block.parm1 = kFMXT_UserNotIdle;
    fmxhost::send(*t.plugin, block);
    const auto starts = fakehost::scriptStarts();
    if (stops(failed)) {
        EXPECT_TRUE(starts.empty());
    } else {
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0].parameter, "Reader A");
    }
}

std::vector<Scenario> scenarios() {
    const auto isCard = [](const std::string& text) {
        EXPECT_NE(text.find("\"cardNumber\": \"591234567800\""), std::string::npos) << text;
    };
    return {
        {"Init", [](PluginTest&) {}, initScenario},
        {"Shutdown", started, shutdownScenario},
        {"GetString 128", [](PluginTest&) {}, getStringScenario(128, u"Tessarin")},
        {"GetString 129", [](PluginTest&) {},
         getStringScenario(129, u"Reads the Belgian eID card thro")},
        {"GetString 131", [](PluginTest&) {}, getStringScenario(131, u"TSRN1nnYYnn")},
        {"EID_Version", started,
         functionScenario("EID_Version", {},
                          [](const std::string& text) { EXPECT_EQ(text, "Tessarin 1.0"); })},
        {"EID_Readers",
         [](PluginTest& t) {
             t.start();
             pcscfake::readers({"Reader A", "Reader B"});
         },
         functionScenario("EID_Readers", {},
                          [](const std::string& text) { EXPECT_EQ(text, "Reader A\rReader B"); })},
        {"EID_Readers as JSON",
         [](PluginTest& t) {
             t.start();
             sampleCard();
         },
         functionScenario("EID_Readers", {{"json"}},
                          [](const std::string& text) {
                              EXPECT_NE(text.find("\"card\": \"empty\""), std::string::npos);
                          })},
        {"EID_Readers without service",
         [](PluginTest& t) {
             t.start();
             pcscfake::script(pcscfake::Call::EstablishContext, {pcscfake::kNoService});
         },
         functionScenario(
             "EID_Readers", {},
             [](const std::string& text) { EXPECT_EQ(text.rfind("ERROR: ", 0), 0u); })},
        {"EID_Read",
         [](PluginTest& t) {
             t.start();
             sampleCard();
         },
         functionScenario("EID_Read", {}, isCard)},
        {"EID_Read of a named reader",
         [](PluginTest& t) {
             t.start();
             sampleCard();
         },
         functionScenario("EID_Read", {{"Reader A", "nl_BE"}}, isCard)},
        {"EID_Read without the photo",
         [](PluginTest& t) {
             t.start();
             sampleCard();
         },
         functionScenario("EID_Read", {{"Reader A"}, {"0", "en_US", fmx::Data::kDTNumber}},
                          [](const std::string& text) {
                              EXPECT_NE(text.find("\"photo\": \"\""), std::string::npos);
                          })},
        {"EID Read Card",
         [](PluginTest& t) {
             t.start();
             sampleCard();
         },
         stepScenario({"", "1"}, 0, isCard)},
        {"EID_ReadFields",
         [](PluginTest& t) {
             t.start();
             sampleCard();
         },
         functionScenario("EID_ReadFields", {{"surname,dateOfBirth"}, {"Reader A"}},
                          [](const std::string& text) {
                              EXPECT_EQ(text, "{\n  \"error\": \"\",\n  \"surname\": "
                                              "\"Voorbeeld\",\n  \"dateOfBirth\": "
                                              "\"14.03.1985\"\n}");
                          })},
        {"EID_ReadFields of an unknown field", started,
         functionScenario("EID_ReadFields", {{"surname nope"}},
                          [](const std::string& text) {
                              EXPECT_NE(text.find("There is no card field named nope."),
                                        std::string::npos);
                          })},
        {"EID Read Card with Fields",
         [](PluginTest& t) {
             t.start();
             sampleCard();
         },
         stepScenario({"", "0", "photo cardNumber"}, 0, isCard)},
        {"EID Read Card with no field", started,
         stepScenario(
             {"", "1", ";"}, 1558,
             [](const std::string& text) { EXPECT_EQ(text, "Name at least one card field."); })},
        {"EID Read Card without reader", started,
         stepScenario(
             {}, 1552,
             [](const std::string& text) { EXPECT_EQ(text, "No card reader connected."); })},
        {"EID_Version autoupdate", started,
         functionScenario("EID_Version", {{"autoupdate"}},
                          [](const std::string& text) { EXPECT_EQ(text, "01000000"); })},
        {"EID_WaitForCard",
         [](PluginTest& t) {
             t.start();
             sampleCard();
         },
         functionScenario("EID_WaitForCard", {{"0"}},
                          [](const std::string& text) {
                              EXPECT_EQ(text,
                                        "{\n  \"error\": \"\",\n  \"reader\": \"Reader A\"\n}");
                          })},
        {"EID_Read without reader", started,
         functionScenario("EID_Read", {{""}},
                          [](const std::string& text) {
                              EXPECT_NE(text.find("No card reader connected."), std::string::npos);
                          })},
        // Both keep English, which the scenarios after them expect.
        {"EID_SetLanguage", started,
         functionScenario("EID_SetLanguage", {{" English "}},
                          [](const std::string& text) { EXPECT_EQ(text, "en"); })},
        {"EID_SetLanguage refused", started,
         functionScenario("EID_SetLanguage", {{"Klingon"}},
                          [](const std::string& text) {
                              EXPECT_EQ(text, "{\n  \"error\": \"The language Klingon is not "
                                              "available: use nl, fr, de or en.\",\n  "
                                              "\"errorDetail\": \"\"\n}");
                          })},
        // Last: its watch runs on until a Shutdown.
        {"Idle with an insertion pending", insertionPending, idleScenario},
    };
}

class SweepTest : public PluginTest {
  protected:
    void TearDown() override {
        fmxhost::shutdown(*plugin, kCurrentExtnVersion);
        PluginTest::TearDown();
    }

    // Runs the scenario from a clean host, with the n-th call of its act failing (0: none).
    // Returns the names of the calls the act made.
    std::vector<std::string> run(const Scenario& s, unsigned long n, fmx::int32 code,
                                 const std::string& failed) {
        fakehost::reset();
        pcscfake::reset();
        s.prepare(*this);
        const auto before = fakehost::callCount();
        if (n > 0) {
            fakehost::failCall(n, code);
        }
        EXPECT_NO_THROW(s.act(*this, failed, code));
        EXPECT_EQ(fakehost::liveTexts(), 0);
        EXPECT_EQ(fakehost::liveQuadChars(), 0);
        EXPECT_EQ(fakehost::liveData(), 0);
        EXPECT_EQ(fakehost::liveLocales(), 0);
        EXPECT_EQ(fakehost::misuses(), std::vector<std::string>{});
        const auto all = fakehost::calls();
        return {all.begin() + static_cast<long>(before), all.end()};
    }
};

TEST_F(SweepTest, NoHostFailureEscapesLeaksOrLeavesHalfAResult) {
    for (const auto& s : scenarios()) {
        SCOPED_TRACE(s.name);
        const auto calls = run(s, 0, 0, "");
        ASSERT_FALSE(calls.empty());
        for (unsigned long n = 1; n <= calls.size(); ++n) {
            for (const fmx::int32 code : {1, 2}) {
                SCOPED_TRACE("call " + std::to_string(n) + " (" + calls[n - 1] + ") reports " +
                             std::to_string(code));
                const auto made = run(s, n, code, calls[n - 1]);
                ASSERT_GE(made.size(), n);
                EXPECT_EQ(made[n - 1], calls[n - 1]);
            }
        }
    }
}

// The sweep relies on the scenarios making the calls whose failures matter.
TEST_F(SweepTest, ScenariosCoverEveryCallThePluginMakes) {
    std::set<std::string> seen;
    for (const auto& s : scenarios()) {
        for (const auto& c : run(s, 0, 0, "")) {
            seen.insert(c);
        }
    }
    EXPECT_EQ(seen, (std::set<std::string>{"FM_QuadChar_Constructor2",
                                           "FM_QuadChar_Delete",
                                           "FM_Text_Constructor1",
                                           "FM_Text_Delete",
                                           "FM_Text_Assign",
                                           "FM_Text_GetSize",
                                           "FM_Text_GetUnicode",
                                           "FM_Text_GetBytesEx",
                                           "FM_DataVect_Size",
                                           "FM_DataVect_AtAsText",
                                           "FM_DataVect_At",
                                           "FM_Data_GetLocale",
                                           "FM_Data_SetAsText",
                                           "FM_Data_IsEmpty",
                                           "FM_Data_GetAsBoolean",
                                           "FM_Data_Constructor1",
                                           "FM_Data_Delete",
                                           "FM_Locale_Constructor1",
                                           "FM_Locale_Delete",
                                           "FM_ExprEnv_RegisterExternalFunctionEx",
                                           "FM_ExprEnv_UnRegisterExternalFunction",
                                           "FM_ExprEnv_RegisterScriptStep",
                                           "FM_ExprEnv_UnRegisterScriptStep"}));
}

} // namespace
} // namespace tessarin_test
