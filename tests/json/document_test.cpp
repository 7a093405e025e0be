#include "json/json.h"

#include "tests/record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace belpic {
namespace {

Gegevens voorbeeld() {
    return record::of(volledigeVraag(), {"591234567800", "Voorbeeld", "An Marie", "14.03.1985",
                                         "Gent", "M", "Belg", "02.06.2031", "85031400000",
                                         "Kerkstraat 12", "9000", "Gent", "\xFF\xD8\xFF\xE0"});
}

TEST(CardDocument, ExampleCardGivesTheSixteenLinesExactly) {
    const std::string verwacht = "{\n"
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
    EXPECT_EQ(alsJson(voorbeeld()), verwacht);
}

TEST(CardDocument, EmptyRecordKeepsEveryMemberWithEmptyValues) {
    const std::string verwacht = "{\n"
                                 "  \"error\": \"\",\n"
                                 "  \"cardNumber\": \"\",\n"
                                 "  \"surname\": \"\",\n"
                                 "  \"givenNames\": \"\",\n"
                                 "  \"dateOfBirth\": \"\",\n"
                                 "  \"placeOfBirth\": \"\",\n"
                                 "  \"gender\": \"\",\n"
                                 "  \"nationality\": \"\",\n"
                                 "  \"validUntil\": \"\",\n"
                                 "  \"nationalNumber\": \"\",\n"
                                 "  \"street\": \"\",\n"
                                 "  \"postalCode\": \"\",\n"
                                 "  \"municipality\": \"\",\n"
                                 "  \"photo\": \"\"\n"
                                 "}";
    EXPECT_EQ(alsJson(record::of(volledigeVraag(), {})), verwacht);
}

TEST(CardDocument, EachFieldLandsOnItsOwnLineEscaped) {
    // A distinct value per field catches members swapped between lines.
    const Gegevens g =
        record::of(volledigeVraag(), {"1", "D'Hondt \"de jonge\"", "Zoë Anaïs", "4", "Liège", "V",
                                      "7", "8", "9", "Straße 1\tbus 2", "11", "C:\\12", "Ma"});
    const std::string verwacht = "{\n"
                                 "  \"error\": \"\",\n"
                                 "  \"cardNumber\": \"1\",\n"
                                 "  \"surname\": \"D'Hondt \\\"de jonge\\\"\",\n"
                                 "  \"givenNames\": \"Zoë Anaïs\",\n"
                                 "  \"dateOfBirth\": \"4\",\n"
                                 "  \"placeOfBirth\": \"Liège\",\n"
                                 "  \"gender\": \"V\",\n"
                                 "  \"nationality\": \"7\",\n"
                                 "  \"validUntil\": \"8\",\n"
                                 "  \"nationalNumber\": \"9\",\n"
                                 "  \"street\": \"Straße 1\\tbus 2\",\n"
                                 "  \"postalCode\": \"11\",\n"
                                 "  \"municipality\": \"C:\\\\12\",\n"
                                 "  \"photo\": \"TWE=\"\n"
                                 "}";
    EXPECT_EQ(alsJson(g), verwacht);
}

// The fields asked, in the order asked: the photo as base64 wherever it stands, a comma after
// every member but the last, whatever the number of members.
TEST(CardDocument, TheFieldsAskedInTheirOrder) {
    struct Geval {
        const char* velden;
        std::vector<std::string> waarden;
        std::string verwacht;
    };
    const std::vector<Geval> gevallen = {
        {"photo surname",
         {"Ma", "Peeters"},
         "{\n  \"error\": \"\",\n  \"photo\": \"TWE=\",\n  \"surname\": \"Peeters\"\n}"},
        {"chipNumber", {"534C"}, "{\n  \"error\": \"\",\n  \"chipNumber\": \"534C\"\n}"},
        {"photo", {""}, "{\n  \"error\": \"\",\n  \"photo\": \"\"\n}"},
        {"documentType specialStatus photoHash validFrom",
         {"1", "", "8B1F", "01.03.2021"},
         "{\n  \"error\": \"\",\n  \"documentType\": \"1\",\n  \"specialStatus\": \"\",\n"
         "  \"photoHash\": \"8B1F\",\n  \"validFrom\": \"01.03.2021\"\n}"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.velden);
        Fout fout;
        const Vraag vraag = vraagNaar(g.velden, fout);
        ASSERT_EQ(fout.code, geenFout);
        EXPECT_EQ(alsJson(record::of(vraag, g.waarden)), g.verwacht);
    }
    EXPECT_EQ(alsJson(Gegevens{}), "{\n  \"error\": \"\"\n}");
}

TEST(ErrorDocument, GivesTheFourLinesExactly) {
    struct Geval {
        std::string melding;
        std::string detail;
        std::string verwacht;
    };
    const std::vector<Geval> gevallen = {
        {"No card reader connected.", "",
         "{\n  \"error\": \"No card reader connected.\",\n  \"errorDetail\": \"\"\n}"},
        {"The smart card service failed.", "SCardConnect 0x8010001D",
         "{\n  \"error\": \"The smart card service failed.\",\n"
         "  \"errorDetail\": \"SCardConnect 0x8010001D\"\n}"},
        {"", "6A82\r\n", "{\n  \"error\": \"\",\n  \"errorDetail\": \"6A82\\r\\n\"\n}"},
        {"x", "y", "{\n  \"error\": \"x\",\n  \"errorDetail\": \"y\"\n}"},
    };
    for (const Geval& geval : gevallen)
        EXPECT_EQ(foutAlsJson(geval.melding, geval.detail), geval.verwacht) << geval.melding;
}

TEST(ReadersDocument, OneLinePerReaderIndentedAsShown) {
    const Bytes atr = {0x3B, 0x98, 0x13, 0x40, 0x0A, 0xA5, 0x03,
                       0x01, 0x01, 0x01, 0xAD, 0x13, 0x11};
    const std::vector<Lezer> lezers = {
        {"Reader A 00 00", KaartStand::aanwezig, atr},
        {"Reader B 00 00", KaartStand::leeg, {}},
        {"Lecteur \"\xC3\xA9\" 02", KaartStand::stom, {0x3B, 0x0F, 0xA0}},
        {"Key\\3", KaartStand::exclusief, {0x00, 0xFF}},
    };
    EXPECT_EQ(lezersAlsJson(lezers),
              "{\n"
              "  \"error\": \"\",\n"
              "  \"readers\": [\n"
              "    {\"name\": \"Reader A 00 00\", \"card\": \"present\", "
              "\"atr\": \"3B9813400AA503010101AD1311\"},\n"
              "    {\"name\": \"Reader B 00 00\", \"card\": \"empty\", \"atr\": \"\"},\n"
              "    {\"name\": \"Lecteur \\\"\xC3\xA9\\\" 02\", \"card\": \"mute\", "
              "\"atr\": \"3B0FA0\"},\n"
              "    {\"name\": \"Key\\\\3\", \"card\": \"exclusive\", \"atr\": \"00FF\"}\n"
              "  ]\n"
              "}");
    EXPECT_EQ(lezersAlsJson({}), "{\n  \"error\": \"\",\n  \"readers\": []\n}");
    EXPECT_EQ(lezersAlsJson({{"X", KaartStand::leeg, {}}}),
              "{\n  \"error\": \"\",\n  \"readers\": [\n"
              "    {\"name\": \"X\", \"card\": \"empty\", \"atr\": \"\"}\n  ]\n}");
}

TEST(Escaping, FollowsTheTable) {
    struct Geval {
        std::string invoer;
        std::string verwacht;
    };
    const std::vector<Geval> gevallen = {
        {"", ""},
        {"\"", "\\\""},
        {"\\", "\\\\"},
        {"\n", "\\n"},
        {"\r", "\\r"},
        {"\t", "\\t"},
        {std::string(1, '\0'), "\\u0000"},
        {"\x01", "\\u0001"},
        {"\b", "\\u0008"},
        {"\f", "\\u000C"},
        {"\x0B", "\\u000B"},
        {"\x1B", "\\u001B"},
        {"\x1F", "\\u001F"},
        {" ", " "},
        {"/", "/"},
        {"\x7F", "\x7F"},
        {"Liège", "Liège"},
        {"\xC3\xA8", "\xC3\xA8"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        // Bytes that form no UTF-8 pass through as well: nothing is decoded.
        {"\xFF\xC0\x80\xE2\x82", "\xFF\xC0\x80\xE2\x82"},
        // A NUL inside a value does not end it.
        {std::string("a\0b", 3), "a\\u0000b"},
        {"\"\\\"", "\\\"\\\\\\\""},
        {"a\r\nb", "a\\r\\nb"},
        {"\x1F\x20", "\\u001F "},
    };
    for (const Geval& geval : gevallen)
        EXPECT_EQ(jsonTekst(geval.invoer), geval.verwacht) << "input: " << geval.invoer;
}

TEST(Escaping, EveryByteFromSpaceUpPassesThroughButQuoteAndBackslash) {
    for (int byte = 0x20; byte <= 0xFF; ++byte) {
        if (byte == '"' || byte == '\\')
            continue;
        const std::string een(1, static_cast<char>(byte));
        EXPECT_EQ(jsonTekst(een), een) << "byte " << byte;
    }
}

TEST(Escaping, OtherControlBytesUseUppercaseSixCharacterForm) {
    for (int byte = 0; byte < 0x20; ++byte) {
        if (byte == '\t' || byte == '\n' || byte == '\r')
            continue;
        const std::string uit = jsonTekst(std::string(1, static_cast<char>(byte)));
        ASSERT_EQ(uit.size(), 6u) << "byte " << byte;
        EXPECT_EQ(uit.substr(0, 2), "\\u");
        EXPECT_EQ(uit.find_first_not_of("0123456789ABCDEF", 2), std::string::npos) << uit;
        EXPECT_EQ(std::stoi(uit.substr(2), nullptr, 16), byte) << uit;
    }
}

} // namespace
} // namespace belpic
