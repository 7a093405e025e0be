// The card conversation as one PC/SC transaction: begun right after connecting, ended right
// before disconnecting, and a failure to begin reported as a failure to connect.
#include "belpic/bestand.h"
#include "belpic/kaart.h"
#include "belpic/lees.h"
#include "pcscfake/pcscfake.h"
#include "plugin/language.h"
#include "tests/record.h"
#include "tests/samplecard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using belpic::Fout;
using belpic::Kaart;
using pcscfake::Call;

const std::string kLezer = "Lezer A";

class Transactie : public ::testing::Test {
  protected:
    void SetUp() override { klaarzetten(); }
    static void klaarzetten() {
        pcscfake::reset();
        samplecard::insert({kLezer}, std::vector<std::uint8_t>(600, 0xD8));
    }
    void TearDown() override { pcscfake::reset(); }
};

TEST_F(Transactie, HoldsTheWholeConversation) {
    Fout fout;
    const belpic::Gegevens g = belpic::lees(kLezer, fout);
    ASSERT_EQ(fout.code, 0);
    EXPECT_EQ(record::value(g, "cardNumber"), "591234567800");

    const auto alle = pcscfake::calls();
    std::vector<Call> rond; // everything but the commands
    for (const auto& r : alle) {
        if (r.call != Call::Transmit) {
            rond.push_back(r.call);
        }
    }
    EXPECT_EQ(rond,
              (std::vector<Call>{Call::EstablishContext, Call::Connect, Call::BeginTransaction,
                                 Call::EndTransaction, Call::Disconnect, Call::ReleaseContext}));
    const auto begin = pcscfake::calls(Call::BeginTransaction);
    const auto einde = pcscfake::calls(Call::EndTransaction);
    const auto kaart = pcscfake::calls(Call::Connect)[0].card;
    ASSERT_EQ(begin.size(), 1u);
    ASSERT_EQ(einde.size(), 1u);
    EXPECT_EQ(begin[0].card, kaart);
    EXPECT_EQ(einde[0].card, kaart);
    // The card is reset as the transaction ends, not at the disconnect, where the reset would
    // fall into the next program's transaction.
    EXPECT_EQ(einde[0].disposition, 1u);                             // SCARD_RESET_CARD
    EXPECT_EQ(pcscfake::calls(Call::Disconnect)[0].disposition, 0u); // SCARD_LEAVE_CARD
    for (const auto& r : pcscfake::calls(Call::Transmit)) {
        EXPECT_GE(r.time, begin[0].time);
        EXPECT_LE(r.time, einde[0].time);
    }
    EXPECT_EQ(pcscfake::openTransactions(), 0u);
    EXPECT_EQ(pcscfake::openCards(), 0u);
    EXPECT_EQ(pcscfake::openContexts(), 0u);
}

struct Geval {
    const char* wat;
    std::vector<std::uint32_t> begin; // the codes of the first and second SCardBeginTransaction
    bool verbonden;
    std::int32_t code;
    std::string melding;
    std::string detail;
    std::size_t pogingen; // SCardConnect calls
};

const std::string kKaartZwijgt =
    "The card does not respond. If this card was just read successfully, take it out and put "
    "it back. Otherwise turn it over -- on the newer Belgian eID the chip is on the back -- and "
    "insert it all the way.";

TEST_F(Transactie, AFailureToBeginIsAFailureToConnect) {
    const std::vector<Geval> gevallen = {
        {"card pulled",
         {pcscfake::kRemovedCard},
         false,
         2,
         "There is no card in the reader.",
         "0x80100069",
         1},
        {"no card",
         {pcscfake::kNoSmartcard},
         false,
         2,
         "There is no card in the reader.",
         "0x8010000C",
         1},
        {"silent card, twice",
         {pcscfake::kUnresponsiveCard, pcscfake::kUnresponsiveCard},
         false,
         3,
         kKaartZwijgt,
         "0x80100066",
         2},
        {"reset by another program, once", {pcscfake::kResetCard}, true, 0, "", "", 2},
        {"reset by another program, twice",
         {pcscfake::kResetCard, pcscfake::kResetCard},
         false,
         4,
         "Could not connect to reader Lezer A.",
         "SCardBeginTransaction 0x80100068",
         2},
        {"held by another program",
         {pcscfake::kSharingViolation},
         false,
         4,
         "Could not connect to reader Lezer A.",
         "SCardBeginTransaction 0x8010000B",
         1},
        {"service gone",
         {pcscfake::kNoService},
         false,
         4,
         "Could not connect to reader Lezer A.",
         "SCardBeginTransaction 0x8010001D",
         1},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.wat);
        klaarzetten();
        pcscfake::script(Call::BeginTransaction, g.begin);
        Kaart kaart;
        Fout fout;
        EXPECT_EQ(kaart.verbind(kLezer, fout), g.verbonden);
        EXPECT_EQ(fout.code, g.code);
        EXPECT_EQ(language::Sentence(fout, language::Language::en), g.melding);
        EXPECT_EQ(fout.detail, g.detail);
        EXPECT_EQ(pcscfake::calls(Call::Connect).size(), g.pogingen);
        // Every handle whose transaction did not begin is let go without resetting the card
        // that another program may be using.
        const auto los = pcscfake::calls(Call::Disconnect);
        ASSERT_EQ(los.size(), g.verbonden ? g.pogingen - 1 : g.pogingen);
        for (const auto& r : los) {
            EXPECT_EQ(r.disposition, 0u);
        }
        EXPECT_EQ(pcscfake::openCards(), g.verbonden ? 1u : 0u);
        if (!g.verbonden) {
            // Nothing is sent without a connection, and the Kaart closes only its context.
            kaart.stuur({0x00, 0xB0, 0x00, 0x00, 0x01}, fout);
            EXPECT_EQ(fout.code, 4);
            EXPECT_TRUE(pcscfake::calls(Call::Transmit).empty());
            kaart.verbreek();
            EXPECT_TRUE(pcscfake::calls(Call::EndTransaction).empty());
        }
    }
}

TEST_F(Transactie, AFailedReadReportsTheBeginFailureAndLeavesNothingOpen) {
    pcscfake::script(Call::BeginTransaction, {pcscfake::kSharingViolation});
    Fout fout;
    const belpic::Gegevens g = belpic::lees("", fout);
    EXPECT_EQ(fout.code, 4);
    EXPECT_EQ(fout.detail, "SCardBeginTransaction 0x8010000B");
    EXPECT_TRUE(g.empty());
    EXPECT_TRUE(pcscfake::calls(Call::Transmit).empty());
    EXPECT_EQ(pcscfake::openCards(), 0u);
    EXPECT_EQ(pcscfake::openContexts(), 0u);
}

TEST_F(Transactie, AFailureToEndStillDisconnectsAndReleases) {
    pcscfake::script(Call::EndTransaction, {pcscfake::kInvalidHandle});
    Fout fout;
    belpic::lees(kLezer, fout);
    EXPECT_EQ(fout.code, 0);
    EXPECT_EQ(pcscfake::calls(Call::Disconnect).size(), 1u);
    EXPECT_EQ(pcscfake::openCards(), 0u);
    EXPECT_EQ(pcscfake::openContexts(), 0u);
}

// Two conversations at once: the second waits for the first to end before it sends anything,
// so the commands of the two never interleave.
TEST_F(Transactie, ASecondReaderWaitsForTheFirst) {
    Kaart eerste;
    Fout fout;
    ASSERT_TRUE(eerste.verbind(kLezer, fout));
    std::thread tweede([] {
        Fout f;
        const belpic::Gegevens g = belpic::lees(kLezer, f);
        EXPECT_EQ(f.code, 0);
        EXPECT_EQ(record::value(g, "municipality"), "Gent");
    });
    pcscfake::awaitWaitingBegins(1);
    EXPECT_TRUE(pcscfake::calls(Call::Transmit).empty()) << "the second read went ahead";
    const auto bestand = belpic::leesBestand(eerste, belpic::bestandAdres(), fout);
    EXPECT_EQ(fout.code, 0);
    EXPECT_EQ(bestand, samplecard::addressFile());
    eerste.verbreek();
    tweede.join();
    EXPECT_EQ(pcscfake::openTransactions(), 0u);
    EXPECT_EQ(pcscfake::openCards(), 0u);
}

} // namespace
