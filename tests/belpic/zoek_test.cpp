// The search for the eID card among the readers: its order, every failure on the way, and the
// cards of other kinds left as they were found.
#include "nepdienst.h"

#include "belpic/bestand.h"
#include "belpic/lees.h"
#include "belpic/pcsc.h"
#include "belpic/zoek.h"
#include "tests/record.h"
#include "tests/samplecard.h"

#include <functional>
#include <map>
#include <new>

namespace belpic::test {
namespace {

using pcscfake::Call;

// The surname a read gave: empty when the read failed.
std::string achternaam(const Gegevens& gegevens) {
    return record::value(gegevens, "surname").value_or("");
}

const std::string kGeenKaart = "There is no card in the reader.";
const std::string kDienst = "The smart card service is not responding.";

class Zoek : public MetNepdienst {
  protected:
    // The readers connected to, in order.
    static std::string verbonden() {
        std::string lezers;
        for (const auto& r : pcscfake::calls(Call::Connect)) {
            lezers += (lezers.empty() ? "" : " ") + r.reader;
        }
        return lezers;
    }

    // How each card handle was let go, in order: "A=eid" as a read ends, "A=laat" left as found,
    // "A=los" disconnected, as found, without a transaction to end.
    static std::string afsluitingen() {
        std::vector<std::string> lezers;
        std::vector<std::string> einden; // "end/disconnect" dispositions of each handle
        std::map<std::uint64_t, std::size_t> plaats;
        for (const auto& r : pcscfake::calls()) {
            if (r.call != Call::EndTransaction && r.call != Call::Disconnect) {
                continue;
            }
            if (plaats.count(r.card) == 0) {
                plaats[r.card] = lezers.size();
                lezers.push_back(r.reader);
                einden.push_back(r.call == Call::EndTransaction ? "" : "-");
            }
            einden[plaats[r.card]] +=
                (r.call == Call::Disconnect ? "/" : "") + std::to_string(r.disposition);
        }
        const auto dispositie = [](DWORD einde, DWORD los) {
            return std::to_string(einde) + "/" + std::to_string(los);
        };
        const std::map<std::string, std::string> namen = {
            {dispositie(pcsc::kAfsluiting.transactie, pcsc::kAfsluiting.verbinding), "eid"},
            {dispositie(SCARD_LEAVE_CARD, SCARD_LEAVE_CARD), "laat"},
            {"-/" + std::to_string(SCARD_LEAVE_CARD), "los"},
        };
        std::string uit;
        for (std::size_t i = 0; i < lezers.size(); ++i) {
            const auto naam = namen.find(einden[i]);
            uit += (uit.empty() ? "" : " ") + lezers[i] + "=" +
                   (naam == namen.end() ? einden[i] : naam->second);
        }
        return uit;
    }
};

TEST_F(Zoek, AnUnnamedReadTriesTheCardsInOrderAndReadsTheEidCard) {
    struct Geval {
        const char* naam;
        std::string bureau;       // readers A, B, C, as legNeer reads it
        std::string verbonden;    // the readers connected to, in order
        std::string afsluitingen; // how each card was let go
        std::int32_t code;
        std::string melding;
        std::string detail;
        std::function<void()> storing = [] {}; // a failure on the way
    };
    const std::string zwijgt =
        "The card does not respond. If this card was just read successfully, take it out and put "
        "it back. Otherwise turn it over -- on the newer Belgian eID the chip is on the back -- "
        "and insert it all the way.";
    const std::vector<Geval> gevallen = {
        {"in the first reader", "eid - -", "A", "A=eid", 0, "", ""},
        {"in the last reader, the others empty", "- - eid", "C", "C=eid", 0, "", ""},
        {"after a card of another kind", "6A82 eid -", "A B", "A=laat B=eid", 0, "", ""},
        {"after cards of other kinds", "6D00 6986 eid", "A B C", "A=laat B=laat C=eid", 0, "", ""},
        {"before a card of another kind, never touched", "eid - 6A82", "A", "A=eid", 0, "", ""},
        {"after a mute card", "stom eid -", "A A B", "B=eid", 0, "", ""},
        {"after a card held alone by another program", "alleen - eid", "A C", "C=eid", 0, "", ""},
        {"no card at all: no connection", "- - -", "", "", 2, kGeenKaart, "0x8010000C"},
        {"a card of another kind only", "- 6A82 -", "B", "B=laat", 2, kGeenKaart,
         "not an eID card: B (6A82)"},
        {"cards of other kinds only, each named with its status word", "6A82 - 6D00", "A C",
         "A=laat C=laat", 2, kGeenKaart, "not an eID card: A (6A82); C (6D00)"},
        {"a mute card, then a card of another kind: the failure wins", "stom 6A82 -", "A A B",
         "B=laat", 3, zwijgt, "0x80100066"},
        {"two failures: the first is told", "alleen stom -", "A B B", "", 4,
         "Could not connect to reader A.", "SCardConnect 0x8010000B"},
        {"the card taken out between the question and the connection", "eid - -", "A", "", 2,
         kGeenKaart, "0x80100069",
         [] { pcscfake::script(Call::Connect, {pcscfake::kRemovedCard}); }},
        {"the transaction refused, then the eID card in the next reader", "6A82 eid -", "A B",
         "A=los B=eid", 0, "", "",
         [] { pcscfake::script(Call::BeginTransaction, {pcscfake::kSharingViolation}); }},
        {"the SELECT does not reach the card, then the eID card", "6A82 eid -", "A B",
         "A=eid B=eid", 0, "", "",
         [] { pcscfake::script(Call::Transmit, {pcscfake::kNotTransacted}); }},
        {"an incomplete answer to the SELECT is remembered", "eid 6A82 -", "A B", "A=eid B=laat", 5,
         "The card returned an incomplete response.", "", [] { pcscfake::answer(1, {0x90}); }},
        // The card that selected the file is the card: its failure is the read's, and the
        // readers after it are left alone.
        {"the eID card fails after its SELECT", "eid 6A82 -", "A", "A=eid", 5,
         "Reading the card failed.", "6F00",
         [] {
             pcscfake::answer(2, {0x6F, 0x00});
         }},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        samplecard::insert();
        legNeer(g.bureau);
        g.storing();
        Fout fout{9, Melding::leesFout, "old", "old"};
        const Gegevens gelezen = lees("", fout);
        verwachtFout(fout, g.code, g.melding, g.detail);
        EXPECT_EQ(achternaam(gelezen), g.code == 0 ? "Voorbeeld" : "");
        EXPECT_EQ(verbonden(), g.verbonden);
        EXPECT_EQ(afsluitingen(), g.afsluitingen);
        // One question about every reader, on the read's own context, before any connection.
        const auto vragen = pcscfake::calls(Call::GetStatusChange);
        ASSERT_EQ(vragen.size(), 1u);
        EXPECT_EQ(vragen[0].timeout, 0u);
        ASSERT_EQ(vragen[0].states.size(), 3u);
        for (const auto& staat : vragen[0].states) {
            EXPECT_EQ(staat.current, static_cast<std::uint64_t>(SCARD_STATE_UNAWARE));
        }
        ASSERT_EQ(pcscfake::calls(Call::EstablishContext).size(), 1u);
        const auto context = pcscfake::calls(Call::EstablishContext)[0].context;
        EXPECT_EQ(vragen[0].context, context);
        for (const auto& r : pcscfake::calls(Call::Connect)) {
            EXPECT_EQ(r.context, context);
        }
        verwachtGesloten();
    }
}

// Before any card: the list and the question about the readers' states.
TEST_F(Zoek, TheReadersAndTheirStatesFromTheService) {
    struct Geval {
        const char* naam;
        std::function<void()> klaar; // readers A and B, the eID card in B
        std::int32_t code;
        std::string melding;
        std::string detail;
        std::size_t vragen; // calls of SCardGetStatusChange
    };
    const std::int32_t weg = pcsc::kWindows ? geenLezer : kaartDienst;
    const std::string dienst = pcsc::kWindows ? "No card reader connected." : kDienst;
    const auto detail = [](const std::string& d) { return pcsc::kWindows ? "" : d; };
    const std::vector<Geval> gevallen = {
        {"no reader", [] { pcscfake::readers({}); }, 1, "No card reader connected.", "", 0},
        {"an empty list", [] { pcscfake::readerBytes({0}); }, 1, "No card reader connected.", "",
         0},
        {"no context", [] { pcscfake::script(Call::EstablishContext, {pcscfake::kInternalError}); },
         6, kDienst, "SCardEstablishContext 0x80100001", 0},
        {"the list fails", [] { pcscfake::script(Call::ListReaders, {pcscfake::kNoService}); }, weg,
         dienst, detail("SCardListReaders 0x8010001D"), 0},
        {"the question fails",
         [] { pcscfake::script(Call::GetStatusChange, {pcscfake::kInternalError}); }, 6, kDienst,
         "SCardGetStatusChange 0x80100001", 1},
        {"the service stops at the question",
         [] { pcscfake::script(Call::GetStatusChange, {pcscfake::kServiceStopped}); }, weg, dienst,
         detail("SCardGetStatusChange 0x8010001E"), 1},
        {"a reader unplugged between the list and the question: listed again",
         [] { pcscfake::script(Call::GetStatusChange, {pcscfake::kUnknownReader}); }, 0, "", "", 2},
        {"unplugged again: the service's answer",
         [] {
             pcscfake::script(Call::GetStatusChange,
                              {pcscfake::kUnknownReader, pcscfake::kUnknownReader});
         },
         6, kDienst, "SCardGetStatusChange 0x80100009", 2},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        samplecard::insert();
        legNeer("- eid");
        g.klaar();
        Fout fout{9, Melding::leesFout, "old", "old"};
        const Gegevens gelezen = lees("", fout);
        verwachtFout(fout, g.code, g.melding, g.detail);
        EXPECT_EQ(achternaam(gelezen), g.code == 0 ? "Voorbeeld" : "");
        EXPECT_EQ(pcscfake::calls(Call::GetStatusChange).size(), g.vragen);
        EXPECT_EQ(pcscfake::calls(Call::Connect).empty(), g.code != 0);
        verwachtGesloten();
    }
}

// A named reader is read as before, whatever else is on the desk; only a card there that refuses
// the identity file is now let go as it was found, with the outcome of before.
TEST_F(Zoek, ANamedReaderIsTheOnlyOneTried) {
    samplecard::insert();
    legNeer("6A82 eid");
    Fout fout;
    EXPECT_EQ(achternaam(lees("B", fout)), "Voorbeeld");
    verwachtFout(fout, 0, "", "");
    EXPECT_EQ(verbonden(), "B");
    EXPECT_TRUE(pcscfake::calls(Call::GetStatusChange).empty());

    pcscfake::reset();
    samplecard::insert();
    legNeer("6A82 eid");
    EXPECT_EQ(achternaam(lees("A", fout)), "");
    verwachtFout(fout, 5, "That file is not on the card.", "6A82");
    EXPECT_EQ(verbonden(), "A");
    EXPECT_EQ(afsluitingen(), "A=laat");
    verwachtGesloten();
}

// The first file is the search's parameter: its SELECT is the only one the card gets for it.
TEST_F(Zoek, TheFirstFileIsSelectedOnceAndReadFromTheCardThatHasIt) {
    samplecard::insert();
    legNeer("6A82 eid");
    auto kaart = std::make_unique<Kaart>();
    Fout fout;
    EXPECT_TRUE(zoek(*kaart, "", bestandAdres(), pcscfake::now() + kGeduld, fout));
    verwachtFout(fout, 0, "", "");
    EXPECT_EQ(leesGekozen(*kaart, fout), samplecard::addressFile());
    std::vector<std::string> opdrachten;
    for (const auto& r : pcscfake::calls(Call::Transmit)) {
        opdrachten.push_back(r.reader + " " + std::to_string(r.command[1]));
    }
    // A's SELECT, B's SELECT (0xA4 = 164), then B's one READ BINARY (0xB0 = 176).
    EXPECT_EQ(opdrachten, (std::vector<std::string>{"A 164", "B 164", "B 176"}));
    EXPECT_EQ(pcscfake::calls(Call::Transmit)[1].command,
              (Bytes{0x00, 0xA4, 0x08, 0x0C, 0x06, 0x3F, 0x00, 0xDF, 0x01, 0x40, 0x33}));
    // The card found stays connected for the rest of the read.
    EXPECT_EQ(pcscfake::openCards(), 1u);
    EXPECT_EQ(leesBestand(*kaart, bestandIdentiteit(), fout), samplecard::identityFile());
    kaart.reset();
    verwachtGesloten();
}

// Another party resets the eID card while the search selects its file: the whole read, search
// included, starts again once, and the card of another kind is left as found each time.
TEST_F(Zoek, ACardResetDuringTheSearchStartsTheReadAgain) {
    struct Geval {
        const char* naam;
        std::string bureau;
        std::vector<std::uint32_t> codes; // of the SCardTransmit calls, in turn
        std::string verbonden;
        std::string afsluitingen;
    };
    const Geval gevallen[] = {
        {"after a card of another kind",
         "6A82 eid",
         {0, pcscfake::kResetCard},
         "A B A B",
         "A=laat B=eid A=laat B=eid"},
        {"before a card of another kind", "eid 6A82", {pcscfake::kResetCard}, "A A", "A=eid A=eid"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        samplecard::insert();
        legNeer(g.bureau);
        pcscfake::script(Call::Transmit, g.codes);
        Fout fout;
        EXPECT_EQ(achternaam(lees("", fout)), "Voorbeeld");
        verwachtFout(fout, 0, "", "");
        EXPECT_EQ(verbonden(), g.verbonden);
        EXPECT_EQ(afsluitingen(), g.afsluitingen);
        EXPECT_EQ(pcscfake::calls(Call::GetStatusChange).size(), 2u);
        verwachtGesloten();
    }
}

TEST_F(Zoek, AnExceptionOnTheWayLeavesNothingOpen) {
    struct Geval {
        const char* naam;
        Call call;
        std::size_t n;
    };
    const std::vector<Geval> gevallen = {
        {"asking the readers' states", Call::GetStatusChange, 1},
        {"selecting on the card of another kind", Call::Transmit, 1},
        {"connecting to the eID card", Call::Connect, 2},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        samplecard::insert();
        legNeer("6A82 eid");
        pcscfake::throwBadAlloc(g.call, g.n);
        Fout fout;
        EXPECT_THROW(lees("", fout), std::bad_alloc);
        verwachtGesloten();
    }
}

} // namespace
} // namespace belpic::test
