// fmxhost, the host driver: its command line run in this process against the test build of
// the plug-in, and as a program against the production plug-in.
#include "support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tessarin_test {
namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

class FmxhostTest : public PluginTest {
  protected:
    Outcome run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "fmxhost");
        std::ostringstream out;
        std::ostringstream err;
        const int status = fmxhost::run(arguments, out, err);
        // Whatever happened, the host sent Shutdown.
        EXPECT_TRUE(fakehost::registrations().empty());
        return {status, out.str(), err.str()};
    }
};

// One line on standard error, starting with the program's name.
void expectOneErrorLine(const Outcome& o) {
    EXPECT_EQ(o.err.rfind("fmxhost: ", 0), 0u) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_EQ(o.err.back(), '\n');
    EXPECT_EQ(o.out, "");
}

TEST_F(FmxhostTest, PrintsTheResultTextAndOneLineFeed) {
    pcscfake::readers({"Reader A", "Reader B"});
    const std::string liege = "Li\xC3\xA8ge \xF0\x9F\x98\x80";
    const struct {
        std::vector<std::string> arguments;
        std::string out;
    } cases[] = {
        {{kFakePlugin, "EID_Version"}, "Tessarin 1.0\n"},
        {{"--extn-version", "57", kFakePlugin, "EID_Version"}, "Tessarin 1.0\n"},
        {{kFakePlugin, "EID_Version", "autoupdate"}, "01000000\n"},
        {{kFakePlugin, "EID_Readers"}, "Reader A\rReader B\n"},
        {{kFakePlugin, "EID_Read", liege},
         "{\n  \"error\": \"Could not connect to reader " + liege +
             ".\",\n  \"errorDetail\": \"SCardConnect 0x80100009\"\n}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.back());
        const Outcome o = run(c.arguments);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, "");
    }
    EXPECT_EQ(pcscfake::calls(pcscfake::Call::Connect).back().reader, liege);
}

TEST_F(FmxhostTest, InfoPrintsTheStringsAndTheFunctionTable) {
    const Outcome o = run({"--info", kFakePlugin});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    for (const std::string line : {
             "name:         Tessarin\n",
             "description:  Reads the Belgian eID card through a card reader.\n",
             "options:      TSRN1nnYYnn\n",
             "Init reply:   77 (extension version 77)\n",
             "  100    EID_Read         0 to 2      0x00FFFF7E  EID_Read( { reader ; photo } )\n",
             "  101    EID_Readers      0 to 1      0x00FFFF7E  EID_Readers( { format } )\n",
             "  102    EID_Version      0 to 1      0x00FFFF7E  EID_Version( { format } )\n",
             "  103    EID_WaitForCard  0 to 2      0x00FFFF7E  EID_WaitForCard( { seconds ; "
             "reader } )\n",
             "  104    EID_OnCardInserted 2 to 4      0x00FFFF7E  EID_OnCardInserted( fileName ; "
             "scriptName { ; reader ; fields } )\n",
             "  107    EID_OnCardRemoved 2 to 3      0x00FFFF7E  EID_OnCardRemoved( fileName ; "
             "scriptName { ; reader } )\n",
             "  106    EID_ReadFields   1 to 2      0x00FFFF7E  EID_ReadFields( fields { ; reader "
             "} "
             ")\n",
             "         plug-in TSRN, description: EID Version|Returns the version of the "
             "plug-in; with \"autoupdate\", as eight digits that compare as numbers (01000000 "
             "for 1.0).\n",
             "steps:\n  id     name             flags       definition\n"
             "  200    EID Read Card    0x00FFFF7E  <PluginStep><Parameter ID=\"0\" Type=\"Calc\" "
             "DataType=\"text\" ShowInline=\"true\" Label=\"Reader\"/><Parameter ID=\"1\" "
             "Type=\"Bool\" Label=\"Photo\" Default=\"true\"/><Parameter ID=\"2\" Type=\"Calc\" "
             "DataType=\"text\" ShowInline=\"true\" Label=\"Fields\"/><Parameter "
             "Type=\"Target\" Label=\"Result\"/></PluginStep>\n"
             "         plug-in TSRN, description: EID Read Card|Reads the Belgian eID card",
         }) {
        EXPECT_NE(o.out.find(line), std::string::npos) << line << "in:\n" << o.out;
    }
}

TEST_F(FmxhostTest, FailuresAreOneLineWithTheirOwnStatus) {
    const std::string notAPlugin =
        testing::TempDir() + "not-a-plugin-" + std::to_string(getpid()) + ".fmx";
    std::ofstream(notAPlugin) << "text";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string err;
    } cases[] = {
        {{}, fmxhost::kUsage, "fmxhost: no plug-in named"},
        {{kFakePlugin}, fmxhost::kUsage, "fmxhost: no function named"},
        {{"--extn-version"}, fmxhost::kUsage, "fmxhost: --extn-version needs a number"},
        {{"--extn-version", "7x", kFakePlugin, "EID_Version"},
         fmxhost::kUsage,
         "fmxhost: --extn-version takes a number"},
        {{"--extn-version", "40000", kFakePlugin, "EID_Version"},
         fmxhost::kUsage,
         "fmxhost: --extn-version takes a number"},
        {{"--idle"}, fmxhost::kUsage, "fmxhost: --idle needs a number"},
        {{"--idle", "-1", kFakePlugin, "EID_Version"},
         fmxhost::kUsage,
         "fmxhost: --idle takes a number from 0 to 86400, not \"-1\""},
        {{"--application", "256", kFakePlugin, "EID_Version"},
         fmxhost::kUsage,
         "fmxhost: --application takes a number from 0 to 255, not \"256\""},
        {{"--shutdown-after", "soon", kFakePlugin, "EID_Version"},
         fmxhost::kUsage,
         "fmxhost: --shutdown-after takes a number from 0 to 86400, not \"soon\""},
        {{"--verbose", kFakePlugin, "EID_Version"},
         fmxhost::kUsage,
         "fmxhost: unknown option --verbose"},
        {{"--info", kFakePlugin, "EID_Version"},
         fmxhost::kUsage,
         "fmxhost: --info takes the plug-in alone"},
        {{"/nonexistent/Tessarin.fmx", "EID_Version"},
         fmxhost::kNotLoaded,
         "fmxhost: no such file: /nonexistent/Tessarin.fmx\n"},
        {{notAPlugin, "EID_Version"}, fmxhost::kNotLoaded, "fmxhost: cannot load " + notAPlugin},
        {{FAKEHOST_LIBRARY, "EID_Version"},
         fmxhost::kNotLoaded,
         std::string("fmxhost: ") + FAKEHOST_LIBRARY +
             " is not a plug-in: it has no FMExternCallProc\n"},
        {{"--extn-version", "56", kFakePlugin, "EID_Version"},
         fmxhost::kRefused,
         std::string("fmxhost: ") + kFakePlugin +
             " refused to start: Init replied -2 to extension version 56\n"},
        {{kFakePlugin, "EID_Nope"},
         fmxhost::kNoSuchFunction,
         "fmxhost: no function or step EID_Nope is registered (there are EID_Read, EID_Readers, "
         "EID_Version, EID_WaitForCard, EID_OnCardInserted, EID_SetLanguage, EID_ReadFields, "
         "EID_OnCardRemoved, EID Read Card)\n"},
        {{kFakePlugin, "eid read card"},
         fmxhost::kNoSuchFunction,
         "fmxhost: no function or step eid read card is registered"},
        {{kFakePlugin, "EID_Version", "x", "y"},
         fmxhost::kNoSuchFunction,
         "fmxhost: EID_Version takes 0 to 1 arguments, 2 given\n"},
        {{kFakePlugin, "EID_Read", "a", "b", "c"},
         fmxhost::kNoSuchFunction,
         "fmxhost: EID_Read takes 0 to 2 arguments, 3 given\n"},
        {{kFakePlugin, "EID Read Card", "a", "1", "c", "d"},
         fmxhost::kNoSuchFunction,
         "fmxhost: EID Read Card takes 0 to 3 parameters, 4 given\n"},
        {{kFakePlugin, "EID_ReadFields"},
         fmxhost::kNoSuchFunction,
         "fmxhost: EID_ReadFields takes 1 to 2 arguments, 0 given\n"},
        // Every call of a run is checked before the first is made: nothing is done.
        {{kFakePlugin, "--", "EID_SetLanguage", "nl"},
         fmxhost::kUsage,
         "fmxhost: no function named before --"},
        {{kFakePlugin, "EID_SetLanguage", "nl", "--"},
         fmxhost::kUsage,
         "fmxhost: no function named after --"},
        {{kFakePlugin, "EID_SetLanguage", "nl", "--", "--", "EID_Version"},
         fmxhost::kUsage,
         "fmxhost: no function named before --"},
        {{kFakePlugin, "EID_SetLanguage", "nl", "--", "EID_Nope"},
         fmxhost::kNoSuchFunction,
         "fmxhost: no function or step EID_Nope is registered"},
        {{kFakePlugin, "EID_SetLanguage", "nl", "--", "EID_SetLanguage"},
         fmxhost::kNoSuchFunction,
         "fmxhost: EID_SetLanguage takes 1 to 1 arguments, 0 given\n"},
        {{kFakePlugin, "EID_SetLanguage", "nl", "--", "EID Read Card", "a", "1", "c", "d"},
         fmxhost::kNoSuchFunction,
         "fmxhost: EID Read Card takes 0 to 3 parameters, 4 given\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        const Outcome o = run(c.arguments);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.err.rfind(c.err, 0), 0u) << o.err;
        expectOneErrorLine(o);
        EXPECT_EQ(run({kFakePlugin, "EID_SetLanguage", ""}).out, "en\n") << "nl was not set";
    }
    std::remove(notAPlugin.c_str());
}

// Init's kind of host reaches the plug-in; Idle for no time adds nothing to the output.
TEST_F(FmxhostTest, ApplicationAndIdleOptions) {
    const struct {
        std::vector<std::string> arguments;
        std::string out;
    } cases[] = {
        {{"--idle", "0", kFakePlugin, "EID_Version"}, "Tessarin 1.0\n"},
        {{"--application", "9", "--idle", "0", kFakePlugin, "EID_OnCardInserted", "F", "S"},
         "{\n  \"error\": \"Scripts cannot be started when a card is inserted here: only "
         "FileMaker Pro runs them, not FileMaker Server or the Data API.\",\n  \"errorDetail\": "
         "\"application 9\"\n}\n"},
        {{"--application", "1", kFakePlugin, "EID_OnCardInserted", "", ""},
         "{\n  \"error\": \"\"\n}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[1]);
        const Outcome o = run(c.arguments);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, "");
    }
}

TEST_F(FmxhostTest, ARefusedInitIsStillShutDown) {
    fakehost::failRegistration(100, 1);
    const Outcome o = run({kFakePlugin, "EID_Version"});
    EXPECT_EQ(o.status, fmxhost::kRefused);
    expectOneErrorLine(o);
    // Init withdrew the seven it registered, Shutdown asked for all eight again.
    EXPECT_EQ(fakehost::unregistrations(),
              (std::vector<short>{101, 102, 103, 104, 105, 106, 107, 100, 101, 102, 103, 104, 105,
                                  106, 107}));
}

// A step is called by its name, the arguments filling its parameters in ID order. Its error
// code ends the run with status 1, after the result the host would show as the detail.
TEST_F(FmxhostTest, PerformsAStepByItsName) {
    pcscfake::readers({"Reader A"});
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{kFakePlugin, "EID Read Card"},
         1,
         "There is no card in the reader.\n",
         "fmxhost: error 1553\n"},
        {{kFakePlugin, "EID Read Card", "Nope", "0"},
         1,
         "Could not connect to reader Nope.\n",
         "fmxhost: error 1555\n"},
        {{kFakePlugin, "EID_Read", "Nope", "0"},
         0,
         "{\n  \"error\": \"Could not connect to reader Nope.\",\n  \"errorDetail\": "
         "\"SCardConnect 0x80100009\"\n}\n",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        pcscfake::removeCard();
        const Outcome o = run(c.arguments);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
    }
}

// Several calls in one load, separated by --: each result and its line feed in order, each
// error code on standard error as it comes, the status of the last call. The language set by
// one call holds for the next (every case sets its own first: the plug-in stays loaded).
TEST_F(FmxhostTest, MakesSeveralCallsInOneLoad) {
    const std::string noReader = "{\n  \"error\": \"Er is geen kaartlezer aangesloten.\",\n  "
                                 "\"errorDetail\": \"\"\n}\n";
    const struct {
        std::vector<std::string> arguments;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {{kFakePlugin, "EID_SetLanguage", "nl", "--", "EID_Read"}, 0, "nl\n" + noReader, ""},
        {{kFakePlugin, "EID_SetLanguage", "de", "--", "EID Read Card", "--", "EID_Version"},
         0,
         "de\nEs ist kein Kartenleser angeschlossen.\nTessarin 1.0\n",
         "fmxhost: error 1552\n"},
        {{kFakePlugin, "EID_SetLanguage", "en", "--", "EID Read Card", "", "0", "--",
          "EID Read Card"},
         1,
         "en\nNo card reader connected.\nNo card reader connected.\n",
         "fmxhost: error 1552\nfmxhost: error 1552\n"},
        {{kFakePlugin, "EID_SetLanguage",
          "Fran\xC3\xA7"
          "ais",
          "--", "EID_SetLanguage", "Italiano", "--", "EID_SetLanguage", ""},
         0,
         "fr\n{\n  \"error\": \"La langue Italiano n'est pas disponible\xC2\xA0: utilisez nl, fr, "
         "de ou en.\",\n  \"errorDetail\": \"\"\n}\nfr\n",
         ""},
        {{"--idle", "0", kFakePlugin, "EID_SetLanguage", "en", "--", "EID_Version", "autoupdate"},
         0,
         "en\n01000000\n",
         ""},
        // A call after Shutdown still reaches its handler, as it did when the run began.
        {{"--shutdown-after", "0", kFakePlugin, "EID_Version", "--", "EID_Version"},
         0,
         "Tessarin 1.0\nTessarin 1.0\n",
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const Outcome o = run(c.arguments);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
    }
}

TEST_F(FmxhostTest, AFunctionsErrorCodeEndsWithStatus1) {
    run({kFakePlugin, "EID_Version"});
    const auto calls = fakehost::calls();
    const auto set = std::find(calls.begin(), calls.end(), "FM_Data_SetAsText");
    ASSERT_NE(set, calls.end());
    fakehost::reset();
    fakehost::failCall(static_cast<unsigned long>(set - calls.begin()) + 1, 2);
    const Outcome o = run({kFakePlugin, "EID_Version"});
    EXPECT_EQ(o.status, fmxhost::kFunctionFailed);
    EXPECT_EQ(o.err, "fmxhost: error -1\n");
    EXPECT_EQ(o.out, "") << "no result was set";
}

// The production plug-in and fmxhost, each as its own program.
struct Program {
    int status;
    std::string out;
    std::string err;
};

Program runProgram(const std::string& command) {
    const std::string errFile =
        testing::TempDir() + "fmxhost-stderr-" + std::to_string(getpid()) + ".txt";
    FILE* pipe = popen((command + " 2>" + errFile).c_str(), "r");
    std::string out;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        out.append(chunk, n);
    }
    const int status = pclose(pipe);
    std::ifstream errStream(errFile, std::ios::binary);
    std::string err{std::istreambuf_iterator<char>(errStream), {}};
    std::remove(errFile.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, err};
}

const std::string kFmxhost = FMXHOST_PROGRAM;
const std::string kProduction = TESSARIN_PLUGIN;

// The production plug-in answers the project's version, as its Windows resource and macOS
// Info.plist give it (windows.version_resource, mac.info_plist).
TEST(ProductionPlugin, AnswersThroughFmxhost) {
    const Program version = runProgram(kFmxhost + " " + kProduction + " EID_Version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Tessarin " TESSARIN_PROJECT_VERSION "\n");
    EXPECT_EQ(version.err, "");

    const Program info = runProgram(kFmxhost + " --info " + kProduction);
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("options:      TSRN1nnYYnn\n"), std::string::npos) << info.out;
    EXPECT_NE(
        info.out.find(
            "  100    EID_Read         0 to 2      0x00FFFF7E  EID_Read( { reader ; photo } )\n"),
        std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("  200    EID Read Card    0x00FFFF7E  <PluginStep>"),
              std::string::npos)
        << info.out;

    const Program old = runProgram(kFmxhost + " --extn-version 56 " + kProduction + " EID_Version");
    EXPECT_EQ(old.status, fmxhost::kRefused);
    EXPECT_EQ(old.out, "");
    EXPECT_EQ(std::count(old.err.begin(), old.err.end(), '\n'), 1) << old.err;
}

// The language lives as long as the loaded plug-in: through the calls of one run, not into the
// next process.
TEST(ProductionPlugin, TheLanguageHoldsForOneRun) {
    const Program set =
        runProgram(kFmxhost + " " + kProduction + " EID_SetLanguage Deutsch -- EID_SetLanguage ''");
    EXPECT_EQ(set.status, 0);
    EXPECT_EQ(set.out, "de\nde\n");
    EXPECT_EQ(set.err, "");
    const Program next = runProgram(kFmxhost + " " + kProduction + " EID_SetLanguage ''");
    EXPECT_EQ(next.out, "en\n");
}

// Only the entry point and the call-block global are visible to the host.
TEST(ProductionPlugin, ExportsOnlyTheEntryPointAndTheGlobal) {
    for (const std::string& module : {kProduction, std::string(kFakePlugin)}) {
        SCOPED_TRACE(module);
        const Program nm = runProgram("nm -D --defined-only " + module + " | awk '{print $3}'");
        EXPECT_EQ(nm.status, 0) << nm.err;
        EXPECT_EQ(nm.out, "FMExternCallProc\ngFMX_ExternCallPtr\n");
    }
}

} // namespace
} // namespace tessarin_test
