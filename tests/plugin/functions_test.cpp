// The three functions as the host calls them, against the scripted PC/SC service.
#include "support.h"
#include "tests/samplecard.h"

namespace tessarin_test {
namespace {

using pcscfake::Bytes;

const std::string kSampleDocument = "{\n"
                                    "  \"error\": \"\",\n"
                                    "  \"cardNumber\": \"591234567800\",\n"
                                    "  \"surname\": \"Voorbeeld\",\n"
                                    "  \"givenNames\": \"An Marie\",\n"
                                    "  \"dateOfBirth\": \"14.03.1985\",\n"
                                    "  \"placeOfBirth\": \"Gent\",\n"
                                    "  \"gender\": \"M\",\n"
                                    "  \"nationality\": \"Belg\",\n"
                                    "  \"validUntil\": \"02.06.2031\",\n"
                                    "  \"nationalNumber\": \"85031400000\",\n"
                                    "  \"street\": \"Kerkstraat 12\",\n"
                                    "  \"postalCode\": \"9000\",\n"
                                    "  \"municipality\": \"Gent\",\n"
                                    "  \"photo\": \"/9j/4A==\"\n"
                                    "}";

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

TEST_F(FunctionTest, VersionIsAlwaysTheSame) {
    EXPECT_EQ(storedText(call("EID_Version")), "Tessarin 1.0");
    pcscfake::script(pcscfake::Call::EstablishContext, {pcscfake::kNoService});
    EXPECT_EQ(storedText(call("EID_Version", {{"ignored"}})), "Tessarin 1.0");
    EXPECT_TRUE(pcscfake::calls().empty());
}

TEST_F(FunctionTest, ReadersAreJoinedByOneCarriageReturn) {
    const struct {
        std::vector<std::string> readers;
        std::string text;
    } cases[] = {
        {{}, ""},
        {{"Reader A"}, "Reader A"},
        {{"Reader A", "Reader B"}, "Reader A\rReader B"},
        {{"ACS ACR38U 00 00", "Lecteur \xC3\xA9 01", "X"},
         "ACS ACR38U 00 00\rLecteur \xC3\xA9 01\rX"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        pcscfake::reset();
        pcscfake::readers(c.readers);
        EXPECT_EQ(storedText(call("EID_Readers")), c.text);
    }
}

TEST_F(FunctionTest, ReadersGiveAnErrorLineWhenTheServiceFails) {
    const struct {
        pcscfake::Call call;
        std::string text;
    } cases[] = {
        {pcscfake::Call::EstablishContext,
         "ERROR: The smart card service is not responding. (SCardEstablishContext 0x8010001D)"},
        {pcscfake::Call::ListReaders,
         "ERROR: The smart card service is not responding. (SCardListReaders 0x8010001D)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        pcscfake::reset();
        pcscfake::readers({"Reader A"});
        pcscfake::script(c.call, {pcscfake::kNoService});
        EXPECT_EQ(storedText(call("EID_Readers")), c.text);
    }
}

TEST_F(FunctionTest, ReadGivesTheCardsDocument) {
    samplecard::insert({"Reader A", "Reader B"});
    EXPECT_EQ(storedText(call("EID_Read")), kSampleDocument);
    EXPECT_EQ(connectedReaders(), std::vector<std::string>{"Reader A"});
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

TEST_F(FunctionTest, ReadUsesTheNamedReader) {
    samplecard::insert({"Reader A", "Reader B"});
    pcscfake::insertCard("Reader B");
    EXPECT_EQ(storedText(call("EID_Read", {{"Reader B"}})), kSampleDocument);
    EXPECT_EQ(connectedReaders(), std::vector<std::string>{"Reader B"});
}

TEST_F(FunctionTest, ReadOfAnUnknownReaderIsAnErrorDocument) {
    samplecard::insert();
    const std::string text = storedText(call("EID_Read", {{"Nope"}}));
    EXPECT_EQ(text.rfind("{\n  \"error\": \"", 0), 0u) << text;
    EXPECT_NE(text.find("\"errorDetail\": \"SCardConnect 0x80100009\""), std::string::npos) << text;
}

// The host holds texts as UTF-16; the name must reach the card service as the same UTF-8.
TEST_F(FunctionTest, ReaderNamesArriveAsTheirExactBytes) {
    const std::string names[] = {
        "Li\xC3\xA8ge",                              // Liège: 4C 69 C3 A8 67 65
        "\xF0\x9F\x98\x80",                          // U+1F600, two UTF-16 units
        "Lecteur \xE2\x82\xAC \xF0\x9D\x84\x9E end", // U+20AC and U+1D11E among ASCII
        "\xE4\xB8\xAD\xE6\x96\x87\xE8\xAF\xBB\xE5\x8D\xA1\xE5\x99\xA8", // three bytes each
        std::string(300, 'x') + "\xF0\x9F\x98\x80",
    };
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        pcscfake::reset();
        samplecard::insert({name});
        EXPECT_EQ(storedText(call("EID_Read", {{name}})), kSampleDocument);
        EXPECT_EQ(connectedReaders(), std::vector<std::string>{name});
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
