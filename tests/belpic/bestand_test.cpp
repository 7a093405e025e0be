// leesBestand against the scripted card: the commands it sends and the rules that end a file.
#include "nepdienst.h"

#include "belpic/bestand.h"

#include <functional>
#include <utility>

namespace belpic::test {
namespace {

using pcscfake::Call;
using Lezing = std::pair<unsigned, unsigned>; // offset, Le of one READ BINARY

const std::string kLeesFout = "Reading the card failed.";
const std::string kOnvolledig = "The card returned an incomplete response.";

class LeesBestand : public MetNepdienst {
  protected:
    void SetUp() override {
        MetNepdienst::SetUp();
        pcscfake::readers({kLezer});
    }

    // Connects a fresh Kaart and reads `pad`; the transmit record starts with this read.
    Bytes lees(const Bytes& pad, Fout& fout) {
        Kaart kaart;
        Fout verbonden;
        EXPECT_TRUE(kaart.verbind(kLezer, verbonden));
        fout = Fout{9, Melding::leesFout, "old", "old"};
        return leesBestand(kaart, pad, fout);
    }

    static std::vector<Lezing> lezingen() {
        std::vector<Lezing> uit;
        for (const auto& r : pcscfake::calls(Call::Transmit)) {
            if (r.command.size() == 5 && r.command[1] == 0xB0) {
                uit.emplace_back(r.command[2] << 8 | r.command[3], r.command[4]);
            }
        }
        return uit;
    }
};

Bytes plus(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes deel(const Bytes& b, std::size_t van, std::size_t tot) {
    return Bytes(b.begin() + van, b.begin() + tot);
}

TEST(Paden, AreTheThreeCardFiles) {
    EXPECT_EQ(bestandIdentiteit(), (Bytes{0x3F, 0x00, 0xDF, 0x01, 0x40, 0x31}));
    EXPECT_EQ(bestandAdres(), (Bytes{0x3F, 0x00, 0xDF, 0x01, 0x40, 0x33}));
    EXPECT_EQ(bestandFoto(), (Bytes{0x3F, 0x00, 0xDF, 0x01, 0x40, 0x35}));
}

TEST_F(LeesBestand, SelectsByPathThenReadsInChunksOf255) {
    const Bytes inhoud = reeks(600);
    pcscfake::file(bestandIdentiteit(), inhoud);
    Fout fout;
    EXPECT_EQ(lees(bestandIdentiteit(), fout), inhoud);
    verwachtFout(fout, 0, "", "");

    const auto zend = pcscfake::calls(Call::Transmit);
    ASSERT_EQ(zend.size(), 4u);
    EXPECT_EQ(zend[0].command,
              (Bytes{0x00, 0xA4, 0x08, 0x0C, 0x06, 0x3F, 0x00, 0xDF, 0x01, 0x40, 0x31}));
    EXPECT_EQ(zend[1].command, (Bytes{0x00, 0xB0, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(zend[2].command, (Bytes{0x00, 0xB0, 0x00, 0xFF, 0xFF}));
    EXPECT_EQ(zend[3].command, (Bytes{0x00, 0xB0, 0x01, 0xFE, 0xFF}));
}

TEST_F(LeesBestand, SelectionFailuresReturnNothing) {
    struct Geval {
        const char* naam;
        std::function<void()> klaar;
        std::int32_t code;
        std::string melding;
        std::string detail;
    };
    const std::vector<Geval> gevallen = {
        {"file not on the card", [] {}, 5, "That file is not on the card.", "6A82"},
        {"other status, data before it ignored",
         [] {
             pcscfake::answer(1, {0x01, 0x02, 0x69, 0x82});
         },
         5, "That file is not on the card.", "6982"},
        {"90 01 is not success",
         [] {
             pcscfake::answer(1, {0x90, 0x01});
         },
         5, "That file is not on the card.", "9001"},
        {"one byte", [] { pcscfake::answer(1, {0x90}); }, 5, kOnvolledig, ""},
        {"no bytes", [] { pcscfake::answer(1, {}); }, 5, kOnvolledig, ""},
        {"transmit fails", [] { pcscfake::script(Call::Transmit, {pcscfake::kNotTransacted}); }, 6,
         "The command did not reach the card.", "SCardTransmit 0x80100016"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        pcscfake::readers({kLezer});
        pcscfake::file(bestandAdres(), reeks(10));
        g.klaar();
        Fout fout;
        EXPECT_TRUE(lees(bestandFoto(), fout).empty());
        verwachtFout(fout, g.code, g.melding, g.detail);
        EXPECT_TRUE(lezingen().empty());
    }
}

struct LeesGeval {
    const char* naam;
    std::function<void()> klaar; // the card holds the identity file; transmit 1 is the select
    Bytes resultaat;
    std::int32_t code;
    std::string melding;
    std::string detail;
    std::vector<Lezing> lezingen;
};

TEST_F(LeesBestand, ReadingRulesInTheirOrder) {
    const Bytes f600 = reeks(600);
    const Bytes f510 = reeks(510);
    const Bytes f330 = reeks(330);
    const Bytes f300 = reeks(300);
    const Bytes& id = bestandIdentiteit();
    const auto file = [id](const Bytes& b) { return [id, b] { pcscfake::file(id, b); }; };
    const auto en = [](std::function<void()> a, std::function<void()> b) {
        return [a, b] {
            a();
            b();
        };
    };
    const auto antwoord = [](std::size_t n, Bytes b) { return [n, b] { pcscfake::answer(n, b); }; };
    const std::vector<LeesGeval> gevallen = {
        {"600 bytes, the last 90 answered in full",
         file(f600),
         f600,
         0,
         "",
         "",
         {{0, 0xFF}, {255, 0xFF}, {510, 0xFF}}},
        {"multiple of 255 ended by 6B00",
         file(f510),
         f510,
         0,
         "",
         "",
         {{0, 0xFF}, {255, 0xFF}, {510, 0xFF}}},
        {"multiple of 255 ended by 90 00 without data",
         en(file(f510), [] { pcscfake::emptyAtEnd(true); }),
         f510,
         0,
         "",
         "",
         {{0, 0xFF}, {255, 0xFF}, {510, 0xFF}}},
        {"empty file", file({}), {}, 0, "", "", {{0, 0xFF}}},
        {"90 00 without data ends at once",
         en(file(f600), antwoord(2, {0x90, 0x00})),
         {},
         0,
         "",
         "",
         {{0, 0xFF}}},
        {"6Bxx ends whatever SW2 is",
         en(file(f600), antwoord(3, {0x6B, 0x42})),
         deel(f600, 0, 255),
         0,
         "",
         "",
         {{0, 0xFF}, {255, 0xFF}}},
        {"6Bxx ends even with data before it",
         en(file(f600), antwoord(2, {0x01, 0x6B, 0x00})),
         {},
         0,
         "",
         "",
         {{0, 0xFF}}},
        {"6C2D: same offset again, then Le 2D for the rest of the file",
         en(file(f330), antwoord(3, {0x6C, 0x2D})),
         f330,
         0,
         "",
         "",
         {{0, 0xFF}, {255, 0xFF}, {255, 0x2D}, {300, 0x2D}}},
        {"card corrects a read past the end",
         en(file(f330), [] { pcscfake::correctLength(true); }),
         f330,
         0,
         "",
         "",
         {{0, 0xFF}, {255, 0xFF}, {255, 0x4B}, {330, 0x4B}}},
        {"more than Le: all of it kept, reading goes on after it",
         en(file(f300), antwoord(2, plus(deel(f300, 0, 256), {0x90, 0x00}))),
         f300,
         0,
         "",
         "",
         {{0, 0xFF}, {256, 0xFF}}},
        // ISO 7816-4: 62 82, end of file reached before Le bytes; the data is the file's.
        {"62 82 with data: the data kept, the file ended",
         en(file(f600), antwoord(3, plus(deel(f600, 255, 300), {0x62, 0x82}))),
         deel(f600, 0, 300),
         0,
         "",
         "",
         {{0, 0xFF}, {255, 0xFF}}},
        {"62 82 with a full chunk still ends the file",
         en(file(f600), antwoord(2, plus(deel(f600, 0, 255), {0x62, 0x82}))),
         deel(f600, 0, 255),
         0,
         "",
         "",
         {{0, 0xFF}}},
        {"62 82 without data ends the file",
         en(file(f600), antwoord(3, {0x62, 0x82})),
         deel(f600, 0, 255),
         0,
         "",
         "",
         {{0, 0xFF}, {255, 0xFF}}},
        {"other 62xx is a failure",
         en(file(f600), antwoord(3, plus(deel(f600, 255, 300), {0x62, 0x81}))),
         deel(f600, 0, 255),
         5,
         kLeesFout,
         "6281",
         {{0, 0xFF}, {255, 0xFF}}},
        {"6C00 is a failure",
         en(file(f600), antwoord(3, {0x6C, 0x00})),
         deel(f600, 0, 255),
         5,
         kLeesFout,
         "6C00",
         {{0, 0xFF}, {255, 0xFF}}},
        {"6A82 while reading",
         en(file(f600), antwoord(4, {0x6A, 0x82})),
         deel(f600, 0, 510),
         5,
         kLeesFout,
         "6A82",
         {{0, 0xFF}, {255, 0xFF}, {510, 0xFF}}},
        {"61xx is not followed up",
         en(file(f600), antwoord(2, {0x61, 0x10})),
         {},
         5,
         kLeesFout,
         "6110",
         {{0, 0xFF}}},
        {"data with a failing status word is dropped",
         en(file(f600), antwoord(3, {0x01, 0x02, 0x65, 0x81})),
         deel(f600, 0, 255),
         5,
         kLeesFout,
         "6581",
         {{0, 0xFF}, {255, 0xFF}}},
        {"one byte while reading",
         en(file(f600), antwoord(3, {0x90})),
         deel(f600, 0, 255),
         5,
         kOnvolledig,
         "",
         {{0, 0xFF}, {255, 0xFF}}},
        {"no bytes while reading",
         en(file(f600), antwoord(2, {})),
         {},
         5,
         kOnvolledig,
         "",
         {{0, 0xFF}}},
        {"transmit fails while reading",
         en(file(f600),
            [] {
                pcscfake::script(Call::Transmit, {0, 0, pcscfake::kNotTransacted});
            }),
         deel(f600, 0, 255),
         6,
         "The command did not reach the card.",
         "SCardTransmit 0x80100016",
         {{0, 0xFF}, {255, 0xFF}}},
        // A card that keeps correcting the length must not hold the reader for ever.
        {"6Cxx naming the Le just asked for",
         [id] { pcscfake::correctingFile(id, 0xFF); },
         {},
         5,
         kLeesFout,
         "6CFF",
         {{0, 0xFF}}},
        {"6Cxx repeated after the re-read",
         [id] { pcscfake::correctingFile(id, 0x2D); },
         {},
         5,
         kLeesFout,
         "6C2D",
         {{0, 0xFF}, {0, 0x2D}}},
        {"6Cxx again at the same offset with another length",
         en(file(f600), en(antwoord(3, {0x6C, 0x2D}), antwoord(4, {0x6C, 0x10}))),
         deel(f600, 0, 255),
         5,
         kLeesFout,
         "6C10",
         {{0, 0xFF}, {255, 0xFF}, {255, 0x2D}}},
        {"6Cxx naming the current Le at a later offset",
         en(file(f600), en(antwoord(2, {0x6C, 0x2D}), antwoord(4, {0x6C, 0x2D}))),
         deel(f600, 0, 45),
         5,
         kLeesFout,
         "6C2D",
         {{0, 0xFF}, {0, 0x2D}, {45, 0x2D}}},
    };
    for (const LeesGeval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        pcscfake::readers({kLezer});
        g.klaar();
        Fout fout;
        EXPECT_EQ(lees(id, fout), g.resultaat);
        verwachtFout(fout, g.code, g.melding, g.detail);
        EXPECT_EQ(lezingen(), g.lezingen);
    }
}

TEST_F(LeesBestand, StopsAFileThatHasNotEndedBy32KiB) {
    struct Geval {
        const char* naam;
        bool eindeloos;
        std::size_t lengte;
        std::int32_t code;
        std::string detail;
        std::size_t gelezen;
    };
    // 128 full chunks end at 0x7F80; the 129th reaches past 0x8000.
    const std::vector<Geval> gevallen = {
        {"never-ending file", true, 0, 5, "File not ended before offset 0x8000; stopped at 0x807F",
         129 * 255},
        {"last chunk one byte short of full", false, 129 * 255 - 1, 0, "", 129 * 255 - 1},
        {"exactly 32 KiB", false, 0x8000, 0, "", 0x8000},
        {"129 full chunks", false, 129 * 255, 5,
         "File not ended before offset 0x8000; stopped at 0x807F", 129 * 255},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        pcscfake::readers({kLezer});
        const Bytes inhoud = reeks(g.lengte);
        if (g.eindeloos) {
            pcscfake::endlessFile(bestandFoto());
        } else {
            pcscfake::file(bestandFoto(), inhoud);
        }
        Fout fout;
        const Bytes gelezen = lees(bestandFoto(), fout);
        verwachtFout(fout, g.code, g.code == 0 ? "" : kLeesFout, g.detail);
        EXPECT_EQ(gelezen.size(), g.gelezen);
        if (!g.eindeloos) {
            EXPECT_TRUE(std::equal(gelezen.begin(), gelezen.end(), inhoud.begin()));
        }
        for (const Lezing& l : lezingen()) {
            EXPECT_LT(l.first, 0x8000u); // P1's top bit is never set
        }
    }
}

// After a 6Cxx correction to 0x80 the offset lands exactly on 0x8000: nothing is asked there.
TEST_F(LeesBestand, AnOffsetLandingOn32KiBAfterACorrectionStopsThere) {
    struct Geval {
        const char* naam;
        bool eindeloos;
    };
    const std::vector<Geval> gevallen = {
        {"never-ending file", true},
        // The file may end right there, but asking would set P1's top bit: it is stopped too.
        {"file of exactly 32 KiB", false},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        pcscfake::readers({kLezer});
        const Bytes inhoud = reeks(0x8000);
        if (g.eindeloos) {
            pcscfake::endlessFile(bestandFoto());
        } else {
            pcscfake::file(bestandFoto(), inhoud);
        }
        pcscfake::answer(2, {0x6C, 0x80});
        Fout fout;
        const Bytes gelezen = lees(bestandFoto(), fout);
        verwachtFout(fout, 5, kLeesFout, "File not ended before offset 0x8000; stopped at 0x8000");
        EXPECT_EQ(gelezen.size(), 0x8000u);
        if (!g.eindeloos) {
            EXPECT_EQ(gelezen, inhoud);
        }
        const std::vector<Lezing> l = lezingen();
        ASSERT_EQ(l.size(), 2u + 255u);
        EXPECT_EQ(l[0], Lezing(0, 0xFF));
        EXPECT_EQ(l[1], Lezing(0, 0x80));
        EXPECT_EQ(l.back(), Lezing(0x7F80, 0x80));
    }
}

TEST_F(LeesBestand, NeedsAConnectionAndLeavesItOpen) {
    pcscfake::file(bestandAdres(), reeks(20));
    {
        Kaart kaart;
        Fout fout;
        EXPECT_TRUE(leesBestand(kaart, bestandAdres(), fout).empty());
        verwachtFout(fout, 4, "No open connection to the card.", "");
        EXPECT_TRUE(pcscfake::calls(Call::Transmit).empty());
    }
    Kaart kaart;
    Fout fout;
    ASSERT_TRUE(kaart.verbind(kLezer, fout));
    EXPECT_TRUE(leesBestand(kaart, bestandFoto(), fout).empty());
    EXPECT_EQ(fout.code, 5);
    EXPECT_EQ(pcscfake::openCards(), 1u);
    EXPECT_EQ(leesBestand(kaart, bestandAdres(), fout), reeks(20));
    EXPECT_EQ(fout.code, 0);
}

} // namespace
} // namespace belpic::test
