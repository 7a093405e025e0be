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
using samplecard::selected;

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
        legKaart();
    }

    // Asks for `lijst`, which must be a good question.
    static Gegevens lees(const std::string& lijst, Fout& fout) {
        const Vraag vraag = vraagNaar(lijst, fout);
        EXPECT_EQ(fout.code, geenFout) << lijst;
        return belpic::lees(kLezer, fout, vraag);
    }
};

TEST_F(Velden, EveryFieldFromACardWithEveryTag) {
    Fout fout{9, Melding::leesFout, "old", "old"};
    EXPECT_EQ(record::pairs(lees(namenVan(kAlles), fout)), kAlles);
    verwachtFout(fout, 0, "", "");
    EXPECT_EQ(selected(), (std::vector<Bytes>{bestandIdentiteit(), bestandAdres(), bestandFoto()}));
    verwachtGesloten();
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
        legKaart();
        Fout fout;
        const Vraag vraag = vraagNaar(g.lijst, fout);
        ASSERT_FALSE(vraag.bestanden.empty());
        EXPECT_EQ(pad(vraag.bestanden.front()), g.paden.front());
        const Gegevens gelezen = belpic::lees(kLezer, fout, vraag);
        verwachtFout(fout, 0, "", "");
        EXPECT_EQ(selected(), g.paden);
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
        std::vector<Bestand> weg; // files the card lacks
        std::function<void()> storing;
        std::int32_t code;
        std::string detail;
        record::Pairs waarden;
    } gevallen[] = {
        {"no identity file, address asked",
         "street postalCode",
         {Bestand::identiteit, Bestand::foto},
         [] {},
         0,
         "",
         {{"street", "Kerkstraat 12"}, {"postalCode", "9000"}}},
        {"no address nor photo, identity asked",
         "nationality",
         {Bestand::adres, Bestand::foto},
         [] {},
         0,
         "",
         {{"nationality", "Belg"}}},
        {"identity never ends, photo asked",
         "photo",
         {},
         [] { pcscfake::endlessFile(bestandIdentiteit()); },
         0,
         "",
         {{"photo", "\xFF\xD8\xFF\xE0"}}},
        {"no photo file, photo asked",
         "surname photo",
         {Bestand::adres, Bestand::foto},
         [] {},
         0,
         "",
         {{"surname", "Van den Berghe"}, {"photo", ""}}},
        {"photo breaks off, photo asked alone",
         "photo",
         {},
         [] {
             pcscfake::file(bestandFoto(), reeks(600));
             pcscfake::answer(3, {0x6F, 0x00});
         },
         0,
         "",
         {{"photo", ""}}},
        {"no identity file, identity asked",
         "street surname",
         {},
         [] {
             pcscfake::answer(1, {0x6A, 0x82});
         },
         5,
         "6A82",
         {}},
        {"address fails, address asked",
         "photo street",
         {},
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
        pcscfake::readers({kLezer});
        const std::pair<Bestand, Bytes> bestanden[] = {{Bestand::identiteit, kIdentiteit},
                                                       {Bestand::adres, kAdres},
                                                       {Bestand::foto, samplecard::kPhoto}};
        for (const auto& [bestand, inhoud] : bestanden) {
            if (std::find(g.weg.begin(), g.weg.end(), bestand) == g.weg.end()) {
                pcscfake::file(pad(bestand), inhoud);
            }
        }
        g.storing();
        Fout fout;
        const Gegevens gelezen = lees(g.lijst, fout);
        EXPECT_EQ(fout.code, g.code);
        EXPECT_EQ(fout.detail, g.detail);
        EXPECT_EQ(record::pairs(gelezen), g.waarden);
        // A failure stops the read at the file that failed.
        if (g.code != 0) {
            EXPECT_EQ(selected().size(), 1u);
        }
        verwachtGesloten();
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
        {"sur chip", "There is no card field named sur.", "sur"}, // only the start of a name
        {"valid photoH", "There is no card field named valid.", "valid"},
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
