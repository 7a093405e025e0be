// The card functions as the host calls them, against the scripted PC/SC service.
#include "support.h"
#include "tests/samplecard.h"
#include "tests/threads.h"

#include <functional>
#include <future>
#include <sstream>

namespace tessarin_test {
namespace {

using pcscfake::Bytes;

// The same card read without its photo: every member in its place, the photo empty.
const std::string kNoPhotoDocument =
    kSampleDocument.substr(0, kSampleDocument.find("\"/9j/4A==\"")) + "\"\"\n}";

const std::string kNoReaderDocument = "{\n"
                                      "  \"error\": \"No card reader connected.\",\n"
                                      "  \"errorDetail\": \"\"\n"
                                      "}";

std::vector<std::string> connectedReaders() {
    std::vector<std::string> names;
    for (const auto& record : pcscfake::calls(pcscfake::Call::Connect)) {
        names.push_back(record.reader);
    }
    return names;
}

class FunctionTest : public PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        start();
    }
};

// The text a function stored, checked to be stored once, as text, after a return of 0.
std::string storedText(const fakehost::Result& r) {
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.sets, 1);
    EXPECT_EQ(r.type, fmx::Data::kDTText);
    return utf8(r.text);
}

TEST_F(FunctionTest, VersionAnswersAutoupdateWithEightDigitsAndAnythingElseWithTheName) {
    const struct {
        std::vector<fakehost::Argument> arguments;
        std::string text;
    } cases[] = {
        {{}, "Tessarin 1.0"},
        {{{""}}, "Tessarin 1.0"},
        {{{"ignored"}}, "Tessarin 1.0"},
        {{{"autoupdate"}}, "01000000"},
        {{{"autoupdate "}}, "Tessarin 1.0"},
        {{{"auto"}}, "Tessarin 1.0"},
        {{{"1", "nl_BE", fmx::Data::kDTNumber}}, "Tessarin 1.0"},
    };
    pcscfake::script(pcscfake::Call::EstablishContext, {pcscfake::kNoService});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "none" : c.arguments[0].text);
        EXPECT_EQ(storedText(call("EID_Version", c.arguments)), c.text);
    }
    EXPECT_TRUE(pcscfake::calls().empty());
}

// The version a user sees in FileMaker is the build's; the two forms must not drift from it.
TEST_F(FunctionTest, VersionIsTheProjectsVersion) {
    const std::string version = TESSARIN_PROJECT_VERSION;
    EXPECT_EQ(storedText(call("EID_Version")), "Tessarin " + version);
    std::string digits;
    std::istringstream parts(version);
    for (std::string part; std::getline(parts, part, '.');) {
        digits += (part.size() < 2 ? "0" : "") + part;
    }
    digits.resize(8, '0');
    EXPECT_EQ(storedText(call("EID_Version", {{"autoupdate"}})), digits);
}

// The names joined by one carriage return; with "json", every reader and the card in it, from
// one question to the service, without connecting to a card. Any other argument gives the names
// as before. A failing service gives an error line, or with "json" an error document.
TEST_F(FunctionTest, ReadersAsNamesOrAsJson) {
    const auto desk = [] {
        samplecard::insert({"Reader A", "Reader B", "Reader C"});
        pcscfake::otherCard("Reader A");
        pcscfake::insertCard("Reader B");
    };
    const auto readers = [](std::vector<std::string> names) {
        return [names] { pcscfake::readers(names); };
    };
    const auto failing = [](pcscfake::Call call, std::uint32_t code) {
        return [call, code] {
            pcscfake::readers({"Reader A"});
            pcscfake::script(call, {code});
        };
    };
    const std::string both =
        "{\n"
        "  \"error\": \"\",\n"
        "  \"readers\": [\n"
        "    {\"name\": \"Reader A\", \"card\": \"present\", \"atr\": \"3B021450\"},\n"
        "    {\"name\": \"Reader B\", \"card\": \"present\", "
        "\"atr\": \"3B9813400AA503010101AD1311\"},\n"
        "    {\"name\": \"Reader C\", \"card\": \"empty\", \"atr\": \"\"}\n"
        "  ]\n"
        "}";
    const std::string names = "Reader A\rReader B\rReader C";
    const std::string down = "The smart card service is not responding.";
    const struct {
        std::function<void()> prepare;
        std::vector<fakehost::Argument> arguments;
        std::string text;
    } cases[] = {
        {readers({}), {}, ""},
        {readers({"Reader A"}), {}, "Reader A"},
        {readers({"Reader A", "Reader B"}), {}, "Reader A\rReader B"},
        {readers({"ACS ACR38U 00 00", "Lecteur \xC3\xA9 01", "X"}),
         {},
         "ACS ACR38U 00 00\rLecteur \xC3\xA9 01\rX"},
        {desk, {{"json"}}, both},
        {desk, {{"JSON"}}, both},
        {desk, {{" Json\r"}}, both},
        {desk, {{"\tjson  "}}, both},
        {desk, {}, names},
        {desk, {{""}}, names},
        {desk, {{"jso n"}}, names},
        {desk, {{"jsonx"}}, names},
        {desk, {{"xml"}}, names},
        {readers({}), {{"json"}}, "{\n  \"error\": \"\",\n  \"readers\": []\n}"},
        {failing(pcscfake::Call::EstablishContext, pcscfake::kNoService),
         {{"json"}},
         "{\n  \"error\": \"" + down +
             "\",\n  \"errorDetail\": \"SCardEstablishContext 0x8010001D\"\n}"},
        {failing(pcscfake::Call::GetStatusChange, pcscfake::kInternalError),
         {{"json"}},
         "{\n  \"error\": \"" + down +
             "\",\n  \"errorDetail\": \"SCardGetStatusChange 0x80100001\"\n}"},
        {failing(pcscfake::Call::EstablishContext, pcscfake::kNoService),
         {},
         "ERROR: " + down + " (SCardEstablishContext 0x8010001D)"},
        {failing(pcscfake::Call::ListReaders, pcscfake::kNoService),
         {},
         "ERROR: " + down + " (SCardListReaders 0x8010001D)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " from " + (c.arguments.empty() ? "none" : c.arguments[0].text));
        pcscfake::reset();
        c.prepare();
        EXPECT_EQ(storedText(call("EID_Readers", c.arguments)), c.text);
        EXPECT_TRUE(pcscfake::calls(pcscfake::Call::Connect).empty());
    }
}

TEST_F(FunctionTest, ReadWithoutArgumentAndWithAnEmptyOneAreAlike) {
    for (const bool withCard : {true, false}) {
        SCOPED_TRACE(withCard ? "card" : "no reader");
        std::vector<std::string> results;
        std::vector<std::vector<pcscfake::Call>> conversations;
        for (const auto& arguments :
             {std::vector<fakehost::Argument>{}, std::vector<fakehost::Argument>{{""}}}) {
            pcscfake::reset();
            if (withCard) {
                samplecard::insert();
            }
            results.push_back(storedText(call("EID_Read", arguments)));
            std::vector<pcscfake::Call> conversation;
            for (const auto& record : pcscfake::calls()) {
                conversation.push_back(record.call);
            }
            conversations.push_back(conversation);
        }
        EXPECT_EQ(results[0], withCard ? kSampleDocument : kNoReaderDocument);
        EXPECT_EQ(results[1], results[0]);
        EXPECT_EQ(conversations[1], conversations[0]);
    }
}

bool photoSelected() {
    const auto files = samplecard::selected();
    return std::find(files.begin(), files.end(), samplecard::kPhotoPath) != files.end();
}

// The second argument is read as FileMaker reads a Boolean: a number other than zero is
// true; zero and a text without digits are false. Missing or empty, the photo is read.
TEST_F(FunctionTest, ThePhotoArgumentIsReadAsAFileMakerBoolean) {
    const fmx::int32 number = fmx::Data::kDTNumber;
    const struct {
        std::vector<fakehost::Argument> arguments;
        bool photo;
    } cases[] = {
        {{}, true},
        {{{""}}, true},
        {{{""}, {""}}, true},
        {{{""}, {"1"}}, true},
        {{{""}, {"0"}}, false},
        {{{""}, {"false"}}, false},
        {{{""}, {"true"}}, false},
        {{{""}, {"2"}}, true},
        {{{""}, {"-1"}}, true},
        {{{""}, {"0.5"}}, true},
        {{{""}, {"0.0"}}, false},
        {{{""}, {"no 0"}}, false},
        {{{""}, {"1", "en_US", number}}, true},
        {{{""}, {"0", "en_US", number}}, false},
        {{{"Reader A"}, {"0"}}, false},
        {{{"Reader A"}, {"1"}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.size() < 2 ? "no photo argument"
                                            : "photo argument \"" + c.arguments[1].text + "\"");
        pcscfake::reset();
        samplecard::insert();
        EXPECT_EQ(storedText(call("EID_Read", c.arguments)),
                  c.photo ? kSampleDocument : kNoPhotoDocument);
        EXPECT_EQ(photoSelected(), c.photo);
    }
}

fakehost::Result performReadCard(const std::vector<std::string>& values) {
    const auto step = fakehost::findStep("EID Read Card");
    if (!step) {
        ADD_FAILURE() << "the step is not registered";
        return {};
    }
    return fakehost::performStep(*step, values);
}

// Another program holds the card (a signature waiting for its PIN): a read waits ten seconds for
// it, then answers that it could not connect, naming the call that waited (the step: 1555). The
// read given up on holds up no other: the next, once the other program lets go, reads the card.
TEST_F(FunctionTest, ACardHeldElsewhereIsGivenUpOnAfterTenSeconds) {
    const struct {
        pcscfake::Call held;
        bool step;
        std::string detail;
    } cases[] = {
        {pcscfake::Call::BeginTransaction, false, "SCardBeginTransaction 0x8010000A"},
        {pcscfake::Call::Connect, true, "SCardConnect 0x8010000A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.detail);
        pcscfake::reset();
        samplecard::insert();
        pcscfake::heldElsewhere("Reader A", pcscfake::now() + std::chrono::seconds(12), c.held);
        const auto read = [&] {
            return std::async(std::launch::async,
                              [&] { return c.step ? performReadCard({}) : call("EID_Read"); });
        };
        auto first = read();
        pcscfake::awaitHeldCalls(1);
        threads::step([] { pcscfake::advance(std::chrono::milliseconds(9999)); });
        EXPECT_EQ(first.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
        pcscfake::advance(std::chrono::milliseconds(1));
        const auto given = first.get();
        const std::string sentence = "Could not connect to reader Reader A.";
        EXPECT_EQ(given.error, c.step ? 1555 : 0);
        EXPECT_EQ(utf8(given.text),
                  c.step ? sentence : document({{"error", sentence}, {"errorDetail", c.detail}}));
        auto next = read();
        pcscfake::awaitHeldCalls(2);
        pcscfake::advance(std::chrono::seconds(2)); // the other program lets go
        const auto read2 = next.get();
        EXPECT_EQ(read2.error, 0);
        EXPECT_EQ(utf8(read2.text), kSampleDocument);
        pcscfake::awaitAllClosed();
    }
}

// The step hands the same document to its target, or, when the card cannot be read, the
// category's code from 1552 on with the sentence for the user as the error's detail.
TEST_F(FunctionTest, TheStepGivesTheDocumentOrAnErrorCodeWithItsSentence) {
    const struct {
        const char* name;
        std::function<void()> prepare;
        std::vector<std::string> values;
        fmx::errcode error;
        std::string text;
    } cases[] = {
        {"card", [] { samplecard::insert(); }, {}, 0, kSampleDocument},
        {"card, photo on", [] { samplecard::insert(); }, {"", "1"}, 0, kSampleDocument},
        {"card, photo off", [] { samplecard::insert(); }, {"", "0"}, 0, kNoPhotoDocument},
        {"named reader",
         [] {
             samplecard::insert({"Reader A", "Reader B"});
         },
         {"Reader A"},
         0,
         kSampleDocument},
        {"no reader", [] {}, {}, 1552, "No card reader connected."},
        {"no card",
         [] {
             samplecard::insert();
             pcscfake::removeCard();
         },
         {},
         1553,
         "There is no card in the reader."},
        {"mute card",
         [] {
             samplecard::insert();
             pcscfake::script(pcscfake::Call::Connect, {pcscfake::kProtoMismatch});
         },
         {},
         1554,
         "The card does not respond."},
        {"unknown reader",
         [] { samplecard::insert(); },
         {"Nope"},
         1555,
         "Could not connect to reader Nope."},
        {"identity file missing in the named reader",
         [] {
             samplecard::insert();
             pcscfake::answer(1, {0x6A, 0x82});
         },
         {"Reader A"},
         1556,
         "That file is not on the card."},
        {"a card of another kind only",
         [] {
             samplecard::insert({"Reader A", "Reader B"});
             pcscfake::otherCard("Reader A");
         },
         {},
         1553,
         "There is no card in the reader."},
        {"the eID card after a card of another kind",
         [] {
             samplecard::insert({"Reader A", "Reader B"});
             pcscfake::otherCard("Reader A");
             pcscfake::insertCard("Reader B");
         },
         {},
         0,
         kSampleDocument},
        {"service down",
         [] { pcscfake::script(pcscfake::Call::EstablishContext, {pcscfake::kNoService}); },
         {},
         1557,
         "The smart card service is not responding."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pcscfake::reset();
        c.prepare();
        const auto r = performReadCard(c.values);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.sets, 1);
        EXPECT_EQ(utf8(r.text).rfind(c.text, 0), 0u) << utf8(r.text);
        if (c.error == 0) {
            EXPECT_EQ(utf8(r.text), c.text);
        } else {
            EXPECT_EQ(utf8(r.text).find('{'), std::string::npos) << "a sentence, not a document";
        }
        EXPECT_EQ(pcscfake::openContexts(), 0u);
        EXPECT_EQ(pcscfake::openCards(), 0u);
    }
}

// With Fields the step fills its target as EID_ReadFields does, and Photo counts for nothing;
// an unknown field or an empty list is 1558 before the card is touched. Empty Fields is the
// step as before.
TEST_F(FunctionTest, TheStepWithFieldsReadsOnlyThoseFields) {
    const struct {
        const char* name;
        bool card;
        std::vector<std::string> values;
        fmx::errcode error;
        std::string text;
    } cases[] = {
        {"fields",
         true,
         {"", "1", "surname\rdateOfBirth"},
         0,
         documentOf({{"surname", "Voorbeeld"}, {"dateOfBirth", "14.03.1985"}})},
        {"photo asked, photo off",
         true,
         {"", "0", "photo"},
         0,
         documentOf({{"photo", "/9j/4A=="}})},
        {"named reader", true, {"Reader A", "0", "gender"}, 0, documentOf({{"gender", "M"}})},
        {"empty fields", true, {"", "1", ""}, 0, kSampleDocument},
        {"empty fields, photo off", true, {"", "0", ""}, 0, kNoPhotoDocument},
        {"unknown field",
         true,
         {"", "1", "surname nope"},
         1558,
         "There is no card field named nope."},
        {"no field", true, {"", "1", " ;\r"}, 1558, "Name at least one card field."},
        {"unknown field, no reader",
         false,
         {"", "1", "nope"},
         1558,
         "There is no card field named nope."},
        {"no reader", false, {"", "1", "surname"}, 1552, "No card reader connected."},
        {"unknown reader",
         true,
         {"Nope", "1", "surname"},
         1555,
         "Could not connect to reader Nope."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pcscfake::reset();
        if (c.card) {
            samplecard::insert();
        }
        const auto r = performReadCard(c.values);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.sets, 1);
        EXPECT_EQ(utf8(r.text), c.text);
        if (c.error == 1558) {
            EXPECT_TRUE(pcscfake::calls().empty());
        }
    }
}

// The functions never answer with those codes: their failures stay text.
TEST_F(FunctionTest, FunctionsKeepTheirFailuresAsText) {
    EXPECT_EQ(storedText(call("EID_Read")), kNoReaderDocument);
    EXPECT_EQ(storedText(call("EID_Read", {{""}, {"0"}})), kNoReaderDocument);
    pcscfake::reset();
    pcscfake::script(pcscfake::Call::EstablishContext, {pcscfake::kNoService});
    EXPECT_EQ(storedText(call("EID_Readers")).rfind("ERROR: ", 0), 0u);
}

// The fields asked, once each, in the order first asked, under their own names; only the files
// they need are selected.
TEST_F(FunctionTest, ReadFieldsGivesTheFieldsAskedInTheirOrder) {
    const Bytes identity = samplecard::kIdentityPath;
    const Bytes address = samplecard::kAddressPath;
    const Bytes photo = samplecard::kPhotoPath;
    const struct {
        std::vector<fakehost::Argument> arguments;
        std::string document;
        std::vector<Bytes> files;
        std::string reader;
    } cases[] = {
        {{{"surname givenNames dateOfBirth"}},
         documentOf(
             {{"surname", "Voorbeeld"}, {"givenNames", "An Marie"}, {"dateOfBirth", "14.03.1985"}}),
         {identity},
         "Reader A"},
        {{{"PHOTO;street"}},
         documentOf({{"photo", "/9j/4A=="}, {"street", "Kerkstraat 12"}}),
         {address, photo},
         "Reader A"},
        {{{"municipality"}, {"Reader B"}},
         documentOf({{"municipality", "Gent"}}),
         {address},
         "Reader B"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0].text);
        pcscfake::reset();
        samplecard::insert({"Reader A", "Reader B"});
        pcscfake::insertCard(c.reader);
        EXPECT_EQ(storedText(call("EID_ReadFields", c.arguments)), c.document);
        EXPECT_EQ(samplecard::selected(), c.files);
        EXPECT_EQ(connectedReaders(), std::vector<std::string>{c.reader});
    }
}

// An unknown field or an empty list is refused before the service is even asked for a context.
TEST_F(FunctionTest, ReadFieldsRefusesABadListWithoutTouchingTheCard) {
    const struct {
        std::vector<fakehost::Argument> arguments;
        std::string error;
    } cases[] = {
        {{{""}}, "Name at least one card field."},
        {{{" \r\n"}}, "Name at least one card field."},
        {{{",;"}, {"Reader A"}}, "Name at least one card field."},
        {{{"nope"}}, "There is no card field named nope."},
        {{{"surname,Photo-Hash"}, {"Nope"}}, "There is no card field named Photo-Hash."},
        {{{"surname \xC3\xA9"}}, "There is no card field named \xC3\xA9."},
    };
    for (const bool withCard : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.arguments[0].text + (withCard ? ", card" : ", no reader"));
            pcscfake::reset();
            if (withCard) {
                samplecard::insert();
            }
            EXPECT_EQ(storedText(call("EID_ReadFields", c.arguments)),
                      "{\n  \"error\": \"" + c.error + "\",\n  \"errorDetail\": \"\"\n}");
            EXPECT_TRUE(pcscfake::calls().empty());
        }
    }
}

// A failure of the card, the reader or the service gives EID_Read's error document.
TEST_F(FunctionTest, ReadFieldsFailsAsEidReadDoes) {
    const struct {
        const char* name;
        std::function<void()> prepare;
        std::string reader;
    } cases[] = {
        {"no reader", [] {}, ""},
        {"no card",
         [] {
             samplecard::insert();
             pcscfake::removeCard();
         },
         ""},
        {"unknown reader", [] { samplecard::insert(); }, "Nope"},
        {"service down",
         [] { pcscfake::script(pcscfake::Call::EstablishContext, {pcscfake::kNoService}); }, ""},
        {"identity file missing",
         [] {
             samplecard::insert();
             pcscfake::answer(1, {0x6A, 0x82});
         },
         ""},
        {"identity breaks off",
         [] {
             samplecard::insert();
             pcscfake::answer(2, {0x6F, 0x00});
         },
         "Reader A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pcscfake::reset();
        c.prepare();
        const std::string read = storedText(call("EID_Read", {{c.reader}, {"0"}}));
        EXPECT_EQ(read.rfind("{\n  \"error\": \"", 0), 0u);
        EXPECT_EQ(read.find("{\n  \"error\": \"\""), std::string::npos) << "not a failure";
        pcscfake::reset();
        c.prepare();
        EXPECT_EQ(storedText(call("EID_ReadFields", {{"dateOfBirth nationality"}, {c.reader}})),
                  read);
    }
}

TEST_F(FunctionTest, ReadOfAnUnknownReaderIsAnErrorDocument) {
    samplecard::insert();
    const std::string text = storedText(call("EID_Read", {{"Nope"}}));
    EXPECT_EQ(text.rfind("{\n  \"error\": \"", 0), 0u) << text;
    EXPECT_NE(text.find("\"errorDetail\": \"SCardConnect 0x80100009\""), std::string::npos) << text;
}

// The card's document from the reader named (the card in it), or without a name from the first
// (the card there). The host holds texts as UTF-16; the name must reach the card service as the
// same UTF-8.
TEST_F(FunctionTest, ReadGivesTheDocumentOfTheReaderNamedOrTheFirst) {
    const struct {
        std::string name;
        std::vector<std::string> readers = {}; // none: the reader named alone
    } cases[] = {
        {"", {"Reader A", "Reader B"}},
        {"Reader B", {"Reader A", "Reader B"}},
        {"Li\xC3\xA8ge"},                              // Liège: 4C 69 C3 A8 67 65
        {"\xF0\x9F\x98\x80"},                          // U+1F600, two UTF-16 units
        {"Lecteur \xE2\x82\xAC \xF0\x9D\x84\x9E end"}, // U+20AC and U+1D11E among ASCII
        {"\xE4\xB8\xAD\xE6\x96\x87\xE8\xAF\xBB\xE5\x8D\xA1\xE5\x99\xA8"}, // three bytes each
        {std::string(300, 'x') + "\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pcscfake::reset();
        const auto readers = c.readers.empty() ? std::vector<std::string>{c.name} : c.readers;
        const std::string card = c.name.empty() ? readers.front() : c.name;
        samplecard::insert(readers);
        pcscfake::insertCard(card);
        const std::vector<fakehost::Argument> named = {{c.name}};
        EXPECT_EQ(storedText(
                      call("EID_Read", c.name.empty() ? std::vector<fakehost::Argument>{} : named)),
                  kSampleDocument);
        EXPECT_EQ(connectedReaders(), std::vector<std::string>{card});
    }
}

TEST_F(FunctionTest, ResultsCarryTheFirstParametersLocaleOrTheirOwn) {
    samplecard::insert();
    EXPECT_EQ(call("EID_Read", {{"Reader A", "nl_BE"}}, "fr_BE").locale, "nl_BE");
    EXPECT_EQ(call("EID_Read", {}, "fr_BE").locale, "fr_BE");
    EXPECT_EQ(call("EID_Readers", {}, "de_BE").locale, "de_BE");
    EXPECT_EQ(call("EID_Version", {}, "de_BE").locale, "de_BE");
}

} // namespace
} // namespace tessarin_test
