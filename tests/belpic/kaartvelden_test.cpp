// Fields on request: the names a solution asks for, the card's values in their forms, and only
// the files those fields need.
#include "nepdienst.h"

#include "belpic/bestand.h"
#include "belpic/kaartvelden.h"
#include "belpic/lees.h"
#include "tests/record.h"
#include "tests/samplecard.h"

#include <algorithm>
#include <functional>

namespace belpic::test {
namespace {

using pcscfake::Call;
using samplecard::concat;
using samplecard::element;

// An identity file with every tag a card holds, with values that show each field's form.
const Bytes kIdentiteit = concat({
    element(0x00, "\x01"),
    element(0x01, "592123456789"),
    element(0x02, std::string("\x53\x4C\x00\xFF\x0A\xE9", 6)), // bytes, not text
    element(0x03, " 7 mei  2021 "),                            // cleaned, but not as a date
    element(0x04, "01 MEI 2031"),
    element(0x05, "Li\xC3\xA8ge\t"),
    element(0x06, "85050712345"),
    element(0x07, "Van den Berghe"),
    element(0x08, "Jan Pieter"),
    element(0x09, "K"),
    element(0x0A, "Belg"),
    element(0x0B, "Gent"),
    element(0x0C, "7 mei 1985"),
    element(0x0D, "M"),
    element(0x0E, std::string("Baron\0", 6)),
    element(0x0F, "01"),
    element(0x10, "3"),
    element(0x11, std::string("\x8B\x1F\x5D\x2E\x6A\x0C\x93\x47\x7E\x2F"
                              "\x1B\x8A\x4C\x6D\x0E\x3F\x51\xA2\x9C\x74",
                              20)),
});
const Bytes kAdres = concat({
    element(0x01, "Kerkstraat 12 (NL)"),
    element(0x02, "9000"),
    element(0x03, "Gent"),
});

// Every field, in the order of the table, with this card's value.
const record::Pairs kAlles = {
    {"cardNumber", "592123456789"},
    {"surname", "Van den Berghe"},
    {"givenNames", "Jan Pieter"},
    {"dateOfBirth", "07.05.1985"},
    {"placeOfBirth", "Gent"},
    {"gender", "M"},
    {"nationality", "Belg"},
    {"validUntil", "01 MEI 2031"},
    {"nationalNumber", "85050712345"},
    {"street", "Kerkstraat 12"},
    {"postalCode", "9000"},
    {"municipality", "Gent"},
    {"photo", "\xFF\xD8\xFF\xE0"},
    {"chipNumber", "534C00FF0AE9"},
    {"validFrom", "7 mei 2021"},
    {"issuingMunicipality", "Li\xC3\xA8ge"},
    {"thirdGivenNameInitial", "K"},
    {"nobleCondition", "Baron"},
    {"documentType", "01"},
    {"specialStatus", "3"},
    {"photoHash", "8B1F5D2E6A0C93477E2F1B8A4C6D0E3F51A29C74"},
};

std::string namenVan(const record::Pairs& paren) {
    std::string lijst;
    for (const auto& paar : paren) {
        lijst += paar.first + " ";
    }
    return lijst;
}

class Velden : public MetNepdienst {
  protected:
    void SetUp() override {
        MetNepdienst::SetUp();
        kaart();
    }

    static void kaart() {
        pcscfake::readers({kLezer});
        pcscfake::file(bestandIdentiteit(), kIdentiteit);
        pcscfake::file(bestandAdres(), kAdres);
        pcscfake::file(bestandFoto(), samplecard::kPhoto);
    }

    // Asks for `lijst`, which must be a good question.
    static Gegevens lees(const std::string& lijst, Fout& fout) {
        const Vraag vraag = vraagNaar(lijst, fout);
        EXPECT_EQ(fout.code, geenFout) << lijst;
        return belpic::lees(kLezer, fout, vraag);
    }

    static std::vector<Bytes> gekozen() {
        std::vector<Bytes> paden;
        for (const auto& r : pcscfake::calls(Call::Transmit)) {
            if (r.command.size() > 5 && r.command[1] == 0xA4) {
                paden.emplace_back(r.command.begin() + 5, r.command.end());
            }
        }
        return paden;
    }
};

TEST_F(Velden, EveryFieldFromACardWithEveryTag) {
    Fout fout{9, Melding::leesFout, "old", "old"};
    EXPECT_EQ(record::pairs(lees(namenVan(kAlles), fout)), kAlles);
    verwachtFout(fout, 0, "", "");
    EXPECT_EQ(gekozen(), (std::vector<Bytes>{bestandIdentiteit(), bestandAdres(), bestandFoto()}));
    EXPECT_EQ(pcscfake::openCards(), 0u);
    EXPECT_EQ(pcscfake::openContexts(), 0u);
}

// A tag the card lacks, or holds empty, gives an empty value in every form.
TEST_F(Velden, ATagTheCardLacksGivesAnEmptyValue) {
    pcscfake::file(bestandIdentiteit(), concat({element(0x01, "592123456789"), element(0x02, ""),
                                                element(0x07, "Peeters")}));
    pcscfake::file(bestandAdres(), concat({element(0x02, "9000")}));
    Fout fout;
    const Gegevens g = lees("surname chipNumber photoHash validFrom nobleCondition documentType "
                            "specialStatus dateOfBirth street postalCode",
                            fout);
    verwachtFout(fout, 0, "", "");
    EXPECT_EQ(record::pairs(g), (record::Pairs{{"surname", "Peeters"},
                                               {"chipNumber", ""},
                                               {"photoHash", ""},
                                               {"validFrom", ""},
                                               {"nobleCondition", ""},
                                               {"documentType", ""},
                                               {"specialStatus", ""},
                                               {"dateOfBirth", ""},
                                               {"street", ""},
                                               {"postalCode", "9000"}}));
}

// Each file is selected and read only for a field asked from it, always in the order identity,
// address, photo, whatever the order of the names; the first of them is the question's first.
TEST_F(Velden, OnlyTheFilesOfTheAskedFieldsAreRead) {
    const Bytes id = bestandIdentiteit();
    const Bytes adres = bestandAdres();
    const Bytes foto = bestandFoto();
    const struct {
        const char* lijst;
        std::vector<Bytes> paden;
        std::size_t opdrachten; // SELECT and one READ BINARY for each short file
    } gevallen[] = {
        {"surname givenNames dateOfBirth", {id}, 2},
        {"photoHash chipNumber", {id}, 2},
        {"street", {adres}, 2},
        {"postalCode municipality", {adres}, 2},
        {"photo", {foto}, 2},
        {"photo street", {adres, foto}, 4},
        {"photo surname", {id, foto}, 4},
        {"municipality documentType", {id, adres}, 4},
        {"photo municipality nationalNumber", {id, adres, foto}, 6},
    };
    for (const auto& g : gevallen) {
        SCOPED_TRACE(g.lijst);
        pcscfake::reset();
        kaart();
        Fout fout;
        const Vraag vraag = vraagNaar(g.lijst, fout);
        ASSERT_FALSE(vraag.bestanden.empty());
        EXPECT_EQ(pad(vraag.bestanden.front()), g.paden.front());
        const Gegevens gelezen = belpic::lees(kLezer, fout, vraag);
        verwachtFout(fout, 0, "", "");
        EXPECT_EQ(gekozen(), g.paden);
        EXPECT_EQ(pcscfake::calls(Call::Transmit).size(), g.opdrachten);
        for (const auto& [naam, waarde] : record::pairs(gelezen)) {
            const auto verwacht = std::find_if(
                kAlles.begin(), kAlles.end(), [&](const auto& paar) { return paar.first == naam; });
            ASSERT_NE(verwacht, kAlles.end()) << naam;
            EXPECT_EQ(waarde, verwacht->second) << naam;
        }
    }
    // EID_Read's question: all three files, or the first two without the photo.
    const auto paden = [](const Vraag& vraag) {
        std::vector<Bytes> uit;
        for (const Bestand bestand : vraag.bestanden) {
            uit.push_back(pad(bestand));
        }
        return uit;
    };
    EXPECT_EQ(paden(volledigeVraag()), (std::vector<Bytes>{id, adres, foto}));
    EXPECT_EQ(paden(volledigeVraag(false)), (std::vector<Bytes>{id, adres}));
}

// A file that no field asked for may be missing or broken; one that is asked for fails the
// read as in EID_Read, except the photo, which is then empty.
TEST_F(Velden, OnlyTheFilesAskedForMatter) {
    const struct {
        const char* naam;
        const char* lijst;
        std::function<void()> kaart;
        std::int32_t code;
        std::string detail;
        record::Pairs waarden;
    } gevallen[] = {
        {"no identity file, address asked",
         "street postalCode",
         [] {
             pcscfake::reset();
             pcscfake::readers({kLezer});
             pcscfake::file(bestandAdres(), kAdres);
         },
         0,
         "",
         {{"street", "Kerkstraat 12"}, {"postalCode", "9000"}}},
        {"no address nor photo, identity asked",
         "nationality",
         [] {
             pcscfake::reset();
             pcscfake::readers({kLezer});
             pcscfake::file(bestandIdentiteit(), kIdentiteit);
         },
         0,
         "",
         {{"nationality", "Belg"}}},
        {"identity never ends, photo asked",
         "photo",
         [] { pcscfake::endlessFile(bestandIdentiteit()); },
         0,
         "",
         {{"photo", "\xFF\xD8\xFF\xE0"}}},
        {"no photo file, photo asked",
         "surname photo",
         [] {
             pcscfake::reset();
             pcscfake::readers({kLezer});
             pcscfake::file(bestandIdentiteit(), kIdentiteit);
         },
         0,
         "",
         {{"surname", "Van den Berghe"}, {"photo", ""}}},
        {"photo breaks off, photo asked alone",
         "photo",
         [] {
             pcscfake::file(bestandFoto(), reeks(600));
             pcscfake::answer(3, {0x6F, 0x00});
         },
         0,
         "",
         {{"photo", ""}}},
        {"no identity file, identity asked",
         "street surname",
         [] {
             pcscfake::answer(1, {0x6A, 0x82});
         },
         5,
         "6A82",
         {}},
        {"address fails, address asked",
         "photo street",
         [] {
             pcscfake::answer(2, {0x6F, 0x00});
         },
         5,
         "6F00",
         {}},
    };
    for (const auto& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        kaart();
        g.kaart();
        Fout fout;
        const Gegevens gelezen = lees(g.lijst, fout);
        EXPECT_EQ(fout.code, g.code);
        EXPECT_EQ(fout.detail, g.detail);
        EXPECT_EQ(record::pairs(gelezen), g.waarden);
        // A failure stops the read at the file that failed.
        if (g.code != 0) {
            EXPECT_EQ(gekozen().size(), 1u);
        }
        EXPECT_EQ(pcscfake::openCards(), 0u);
        EXPECT_EQ(pcscfake::openContexts(), 0u);
    }
}

// Names are separated by any run of the separators and match ignoring ASCII case; each comes
// once, in the order first asked, under its own name.
TEST(VraagNaar, SeparatorsCaseDuplicatesAndOrder) {
    const struct {
        std::string lijst;
        std::vector<std::string> velden;
    } gevallen[] = {
        {"surname", {"surname"}},
        {"surname,dateOfBirth", {"surname", "dateOfBirth"}},
        {"surname;dateOfBirth", {"surname", "dateOfBirth"}},
        {"surname dateOfBirth", {"surname", "dateOfBirth"}},
        {"surname\tdateOfBirth", {"surname", "dateOfBirth"}},
        {"surname\rdateOfBirth", {"surname", "dateOfBirth"}}, // List () in FileMaker
        {"surname\ndateOfBirth", {"surname", "dateOfBirth"}},
        {"\r\n ,;\tsurname \r\n,;\t dateOfBirth\r\n,; \t", {"surname", "dateOfBirth"}},
        {"SURNAME DateOfBirth", {"surname", "dateOfBirth"}},
        {"photohash CHIPNUMBER", {"photoHash", "chipNumber"}},
        {"photo surname Photo SURNAME photo", {"photo", "surname"}},
        {"municipality,cardNumber,municipality", {"municipality", "cardNumber"}},
    };
    for (const auto& g : gevallen) {
        SCOPED_TRACE(g.lijst);
        Fout fout{9, Melding::leesFout, "old", "old"};
        const Vraag vraag = vraagNaar(g.lijst, fout);
        verwachtFout(fout, 0, "", "");
        std::vector<std::string> namen;
        for (const Kaartveld* veld : vraag.velden) {
            namen.push_back(veld->naam);
        }
        EXPECT_EQ(namen, g.velden);
    }
}

// Refused with the name as written and no detail; nothing else counts as a separator, and
// only ASCII letters match ignoring case.
TEST(VraagNaar, AnUnknownNameOrNoNameIsRefused) {
    const struct {
        std::string lijst;
        std::string melding;
        std::string argument;
    } gevallen[] = {
        {"", "Name at least one card field.", ""},
        {" ", "Name at least one card field.", ""},
        {"\r\n,;\t ", "Name at least one card field.", ""},
        {"nope", "There is no card field named nope.", "nope"},
        {"surname Nope dateOfBirth", "There is no card field named Nope.", "Nope"},
        {"surname|dateOfBirth", "There is no card field named surname|dateOfBirth.",
         "surname|dateOfBirth"},
        {"surname\xC2\xA0photo", "There is no card field named surname\xC2\xA0photo.",
         "surname\xC2\xA0photo"}, // a no-break space
        {std::string("surname\0", 8),
         "There is no card field named " + std::string("surname\0", 8) + ".",
         std::string("surname\0", 8)},
        {"photos", "There is no card field named photos.", "photos"},
        {"\xC5\xBFurname", "There is no card field named \xC5\xBFurname.", "\xC5\xBFurname"},
        {"first nope, then bad", "There is no card field named first.", "first"},
    };
    for (const auto& g : gevallen) {
        SCOPED_TRACE(g.lijst);
        Fout fout;
        const Vraag vraag = vraagNaar(g.lijst, fout);
        verwachtFout(fout, verkeerdeVraag, g.melding, "");
        EXPECT_EQ(fout.argument, g.argument);
        EXPECT_TRUE(vraag.velden.empty());
        EXPECT_TRUE(vraag.bestanden.empty());
    }
}

} // namespace
} // namespace belpic::test
