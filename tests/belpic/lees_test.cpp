// lees, ontleed and tekst: the whole card read, all or nothing, always closing the connection.
#include "nepdienst.h"

#include "belpic/bestand.h"
#include "belpic/lees.h"
#include "tests/record.h"
#include "tests/samplecard.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <new>
#include <thread>

namespace belpic::test {
namespace {

using pcscfake::Call;

using samplecard::concat;
using samplecard::element;

// EID_Read's record of the card of legKaart, with `foto` as its photo.
record::Pairs verwacht(const Bytes& foto = {}) {
    record::Pairs paren(kAlles.begin(), kAlles.begin() + 13);
    paren.back().second = record::bytes(foto);
    return paren;
}

void verwachtGelijk(const Gegevens& a, const record::Pairs& b) {
    EXPECT_EQ(record::pairs(a), b);
}

class Lees : public MetNepdienst {
  protected:
    void SetUp() override {
        MetNepdienst::SetUp();
        legKaart(kIdentiteit, foto);
    }

    // Closed, and the card let go just before the last release.
    static void verwachtGesloten() {
        test::verwachtGesloten();
        const auto alle = soorten();
        const auto los = std::find(alle.begin(), alle.end(), Call::Disconnect);
        if (los != alle.end()) {
            EXPECT_EQ(los + 2, alle.end()); // disconnect, then the last release
            EXPECT_EQ(alle.back(), Call::ReleaseContext);
        }
    }

    const Bytes foto = reeks(3000, 0xD8);
};

TEST_F(Lees, ReadsTheWholeCardOverOneConnection) {
    Fout fout{9, Melding::leesFout, "old", "old"};
    Gegevens g = lees(kLezer, fout);
    verwachtFout(fout, 0, "", "");
    verwachtGelijk(g, verwacht(foto));

    EXPECT_EQ(samplecard::selected(),
              (std::vector<Bytes>{bestandIdentiteit(), bestandAdres(), bestandFoto()}));
    EXPECT_EQ(pcscfake::calls(Call::EstablishContext).size(), 1u);
    EXPECT_EQ(pcscfake::calls(Call::Connect).size(), 1u);
    // The card is reset as the conversation's transaction ends, then let go.
    const auto einde = pcscfake::calls(Call::EndTransaction);
    ASSERT_EQ(einde.size(), 1u);
    EXPECT_EQ(einde[0].disposition, 1u);
    const auto los = pcscfake::calls(Call::Disconnect);
    ASSERT_EQ(los.size(), 1u);
    EXPECT_EQ(los[0].disposition, 0u);
    verwachtGesloten();
}

TEST_F(Lees, AnEmptyNameReadsTheFirstReaderListed) {
    pcscfake::readers({"First", "Second"});
    pcscfake::insertCard("First");
    Fout fout;
    EXPECT_EQ(record::value(lees("", fout), "cardNumber"), "592123456789");
    EXPECT_EQ(fout.code, 0);
    ASSERT_EQ(pcscfake::calls(Call::Connect).size(), 1u);
    EXPECT_EQ(pcscfake::calls(Call::Connect)[0].reader, "First");
    verwachtGesloten();
}

TEST_F(Lees, AFailureGivesAnEmptyRecordWithThatStepsErrorAndClosesEverything) {
    struct Geval {
        const char* naam;
        std::function<void()> klaar;
        std::int32_t code;
        std::string melding;
        std::string detail;
        std::size_t bestanden; // files selected
    };
    const std::vector<Geval> gevallen = {
        {"no reader", [] { pcscfake::readers({}); }, 1, "No card reader connected.", "", 0},
        {"no card", [] { pcscfake::removeCard(); }, 2, "There is no card in the reader.",
         "0x8010000C", 0},
        {"service broken",
         [] { pcscfake::script(Call::EstablishContext, {pcscfake::kInternalError}); }, 6,
         "The smart card service is not responding.", "SCardEstablishContext 0x80100001", 0},
        // With no reader named, a card that refuses the identity file is of another kind.
        {"identity file missing",
         [] {
             pcscfake::answer(1, {0x6A, 0x82});
         },
         2, "There is no card in the reader.", "not an eID card: Reader A (6A82)", 1},
        {"identity file fails part-way",
         [] {
             pcscfake::file(bestandIdentiteit(), reeks(600));
             pcscfake::answer(3, {0x69, 0x82});
         },
         5, "Reading the card failed.", "6982", 1},
        {"identity transmit fails",
         [] {
             pcscfake::script(Call::Transmit, {0, pcscfake::kNotTransacted});
         },
         6, "The command did not reach the card.", "SCardTransmit 0x80100016", 1},
        {"address file missing",
         [] {
             pcscfake::answer(3, {0x6A, 0x82});
         },
         5, "That file is not on the card.", "6A82", 2},
        {"address file fails part-way",
         [] {
             pcscfake::answer(4, {0x6A, 0x86});
         },
         5, "Reading the card failed.", "6A86", 2},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        legKaart(kIdentiteit, foto);
        g.klaar();
        Fout fout{9, Melding::leesFout, "old", "old"};
        verwachtGelijk(lees("", fout), {});
        verwachtFout(fout, g.code, g.melding, g.detail);
        EXPECT_EQ(samplecard::selected().size(), g.bestanden);
        verwachtGesloten();
    }
}

TEST_F(Lees, ThePhotoIsWholeOrEmptyAndItsFailureSilent) {
    struct Geval {
        const char* naam;
        std::function<void()> klaar;
        Bytes foto;
    };
    // Transmits: 1-2 identity, 3-4 address, 5 selects the photo, 6 on read it.
    const std::vector<Geval> gevallen = {
        {"photo read", [] {}, reeks(3000, 0xD8)},
        {"no photo file",
         [] {
             pcscfake::answer(5, {0x6A, 0x82});
         },
         {}},
        {"photo breaks off part-way",
         [] {
             pcscfake::answer(7, {0x6F, 0x00});
         },
         {}},
        {"photo transmit fails",
         [] {
             pcscfake::script(Call::Transmit, {0, 0, 0, 0, 0, 0, pcscfake::kNotTransacted});
         },
         {}},
        {"photo never ends", [] { pcscfake::endlessFile(bestandFoto()); }, {}},
        {"empty photo file", [] { pcscfake::file(bestandFoto(), {}); }, {}},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        legKaart(kIdentiteit, foto);
        g.klaar();
        Fout fout{9, Melding::leesFout, "old", "old"};
        verwachtGelijk(lees(kLezer, fout), verwacht(g.foto));
        verwachtFout(fout, 0, "", "");
        verwachtGesloten();
    }
}

// Without the photo the conversation ends after the address file: the photo is neither
// selected nor read, whatever state it is in, and the rest of the record is the same.
TEST_F(Lees, WithoutThePhotoOnlyIdentityAndAddressAreRead) {
    struct Geval {
        const char* naam;
        std::function<void()> klaar;
    };
    const std::vector<Geval> gevallen = {
        {"photo present", [] {}},
        {"no photo file", [] { pcscfake::file(bestandFoto(), {}); }},
        {"photo never ends", [] { pcscfake::endlessFile(bestandFoto()); }},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        legKaart(kIdentiteit, foto);
        g.klaar();
        Fout fout{9, Melding::leesFout, "old", "old"};
        verwachtGelijk(lees(kLezer, fout, volledigeVraag(false)), verwacht());
        verwachtFout(fout, 0, "", "");
        EXPECT_EQ(samplecard::selected(),
                  (std::vector<Bytes>{bestandIdentiteit(), bestandAdres()}));
        // SELECT and one READ BINARY for each of the two short files.
        EXPECT_EQ(pcscfake::calls(Call::Transmit).size(), 4u);
        verwachtGesloten();
    }

    // A failure before the photo is reported as in the full read.
    pcscfake::reset();
    legKaart(kIdentiteit, foto);
    pcscfake::answer(3, {0x6A, 0x82});
    Fout fout;
    verwachtGelijk(lees(kLezer, fout, volledigeVraag(false)), {});
    verwachtFout(fout, 5, "That file is not on the card.", "6A82");
    verwachtGesloten();
}

// Two threads of one host read at once: the conversations take turns, each one whole, instead
// of meeting at the service's transaction lock.
TEST_F(Lees, OneConversationAtATimeInAProcess) {
    constexpr int kRondes = 5;
    std::atomic<int> afwijkend{0};
    const auto lezer = [&] {
        for (int i = 0; i < kRondes; ++i) {
            Fout fout;
            const Gegevens g = lees(kLezer, fout);
            if (fout.code != 0 || record::value(g, "surname") != "Van den Berghe" ||
                record::value(g, "photo") != record::bytes(foto)) {
                ++afwijkend;
            }
        }
    };
    // Each file of a conversation is selected while it holds the process's lock (looked at from
    // another thread: the lock is not recursive).
    std::atomic<int> onbewaakt{0};
    samplecard::FileCard kaart{
        {{bestandIdentiteit(), kIdentiteit}, {bestandAdres(), kAdres}, {bestandFoto(), foto}}, {}};
    pcscfake::cardPlayer([&](const Bytes& apdu, Bytes& antwoord) -> std::uint32_t {
        if (apdu[1] == 0xA4) {
            std::thread ander([&] {
                if (gesprekSlot().try_lock()) {
                    gesprekSlot().unlock();
                    ++onbewaakt;
                }
            });
            ander.join();
        }
        return kaart.answer(apdu, antwoord);
    });
    std::thread een(lezer);
    std::thread twee(lezer);
    een.join();
    twee.join();
    EXPECT_EQ(afwijkend, 0);
    EXPECT_EQ(onbewaakt, 0);

    // From its context to its release, each conversation stands alone in the record.
    int open = 0;
    int meeste = 0;
    for (const auto& r : pcscfake::calls()) {
        if (r.call == Call::EstablishContext) {
            meeste = std::max(meeste, ++open);
        } else if (r.call == Call::ReleaseContext) {
            --open;
        }
    }
    EXPECT_EQ(meeste, 1);
    EXPECT_EQ(pcscfake::calls(Call::Connect).size(), 2u * kRondes);
    EXPECT_EQ(pcscfake::openContexts(), 0u);
    EXPECT_EQ(pcscfake::openCards(), 0u);
}

TEST_F(Lees, AnExceptionLeavesAfterTheConnectionIsClosed) {
    struct Geval {
        const char* naam;
        Call call;
        std::size_t n;
        std::string lezer;
    };
    const std::vector<Geval> gevallen = {
        {"listing readers", Call::ListReaders, 2, ""},
        {"connecting", Call::Connect, 1, kLezer},
        {"selecting the identity file", Call::Transmit, 1, kLezer},
        {"reading the address file", Call::Transmit, 4, kLezer},
        {"reading the photo", Call::Transmit, 6, kLezer},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        legKaart(kIdentiteit, foto);
        pcscfake::throwBadAlloc(g.call, g.n);
        Fout fout;
        EXPECT_THROW(lees(g.lezer, fout), std::bad_alloc);
        EXPECT_GE(pcscfake::calls(Call::EstablishContext).size(), 1u);
        verwachtGesloten();
    }
}

TEST(Ontleed, ElementsFromByteZeroTheLastOccurrenceWinning) {
    struct Geval {
        const char* naam;
        Bytes bestand;
        Velden velden;
    };
    const std::vector<Geval> gevallen = {
        {"example",
         {0x01, 0x03, 'A', 'B', 'C', 0x07, 0x00, 0x0B, 0x02, 'X', 'Y'},
         {{0x01, {'A', 'B', 'C'}}, {0x07, {}}, {0x0B, {'X', 'Y'}}}},
        {"empty", {}, {}},
        {"one byte", {0x01}, {}},
        {"tag and zero length", {0x05, 0x00}, {{0x05, {}}}},
        {"zero padding stored under tag 0",
         {0x01, 0x01, 'A', 0x00, 0x00, 0x00, 0x00, 0x00},
         {{0x00, {}}, {0x01, {'A'}}}},
        {"odd byte left over ignored", {0x01, 0x01, 'A', 0x02}, {{0x01, {'A'}}}},
        {"element past the end dropped, earlier ones kept",
         {0x01, 0x01, 'A', 0x02, 0x05, 'B', 'C'},
         {{0x01, {'A'}}}},
        {"element ending exactly at the end", {0x02, 0x02, 'B', 'C'}, {{0x02, {'B', 'C'}}}},
        {"repeated tag", {0x01, 0x01, 'A', 0x01, 0x02, 'B', 'C'}, {{0x01, {'B', 'C'}}}},
        {"tag 0xFF", {0xFF, 0x01, 0x00}, {{0xFF, {0x00}}}},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        EXPECT_EQ(ontleed(g.bestand), g.velden);
    }

    // A length byte of 0xFF means 255 value bytes.
    Bytes lang{0x08, 0xFF};
    lang.resize(2 + 255, 'x');
    EXPECT_EQ(ontleed(lang).at(0x08).size(), 255u);
    lang.pop_back();
    EXPECT_TRUE(ontleed(lang).empty());
}

TEST(Tekst, TheCleanedValueOrNothing) {
    const Velden velden = {
        {0x01, {' ', 'A', '\0', 'B', '\r', '\n', 'C', ' '}},
        {0x02, {' ', '\t', '\r', '\n'}},
        {0x03, {0xC3, 0xA8, 0xFF}},
        {0x04, {}},
    };
    EXPECT_EQ(tekst(velden, 0x01), "AB C");
    EXPECT_EQ(tekst(velden, 0x02), "");
    EXPECT_EQ(tekst(velden, 0x03), "\xC3\xA8\xEF\xBF\xBD"); // the stray byte as U+FFFD
    EXPECT_EQ(tekst(velden, 0x04), "");
    EXPECT_EQ(tekst(velden, 0x05), "");
}

TEST_F(Lees, MalformedCardDataIsNeverAnError) {
    struct Geval {
        const char* naam;
        Bytes identiteit;
        std::string kaartnummer;
        std::string achternaam;
    };
    const Bytes begin = concat({element(0x01, "1234"), element(0x07, "Peeters")});
    const std::vector<Geval> gevallen = {
        {"zero padding", concat({begin, Bytes(300, 0x00)}), "1234", "Peeters"},
        {"last element runs past the end", concat({begin, Bytes{0x08, 0x09, 'J'}}), "1234",
         "Peeters"},
        {"the surname element runs past the end", concat({element(0x01, "1234"), {0x07, 0x40}}),
         "1234", ""},
        {"one byte", {0x01}, "", ""},
        {"nothing", {}, "", ""},
        {"repeated tag", concat({begin, element(0x07, "Janssens")}), "1234", "Janssens"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        legKaart(g.identiteit, foto);
        Fout fout;
        const Gegevens gelezen = lees(kLezer, fout);
        EXPECT_EQ(fout.code, 0);
        EXPECT_EQ(record::value(gelezen, "cardNumber"), g.kaartnummer);
        EXPECT_EQ(record::value(gelezen, "surname"), g.achternaam);
        EXPECT_EQ(record::value(gelezen, "givenNames"), "");
        EXPECT_EQ(record::value(gelezen, "municipality"), "Gent");
        EXPECT_EQ(record::value(gelezen, "photo"), record::bytes(foto));
    }
}

} // namespace
} // namespace belpic::test
