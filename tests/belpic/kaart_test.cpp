// Kaart against the scripted service: listing readers, connecting, sending, closing.
#include "nepdienst.h"

#include "belpic/pcsc.h"

#include <functional>

namespace belpic::test {
namespace {

using pcscfake::Call;
using Klaarzetten = std::function<void()>;

const std::string kDienst = "The smart card service is not responding.";
const std::string kZwijgt =
    "The card does not respond. If this card was just read successfully, take it out and put it "
    "back. Otherwise turn it over -- on the newer Belgian eID the chip is on the back -- and "
    "insert it all the way.";

pcscfake::Bytes tekstBytes(const std::string& s) {
    return pcscfake::Bytes(s.begin(), s.end());
}

// --- lezers -----------------------------------------------------------------------------------

struct LezersGeval {
    const char* naam;
    Klaarzetten klaar;
    std::vector<std::string> namen;
    std::int32_t code;
    std::string melding;
    std::string detail;
    bool lijstFaalt = false; // Windows reads a failing list as "no reader"
};

class Lezers : public MetNepdienst {};

TEST_F(Lezers, ListsOrFailsAsTheServiceAnswersAndAlwaysReleasesItsContext) {
    const std::vector<LezersGeval> gevallen = {
        {"no reader", [] {}, {}, 0, "", ""},
        {"one reader", [] { pcscfake::readers({"Reader A"}); }, {"Reader A"}, 0, "", ""},
        {"two readers in service order",
         [] {
             pcscfake::readers({"Zeta 1", "Alpha 0"});
         },
         {"Zeta 1", "Alpha 0"},
         0,
         "",
         ""},
        {"name bytes untouched",
         [] { pcscfake::readers({"Lecteur \xC3\xA9 \x01\x7F"}); },
         {"Lecteur \xC3\xA9 \x01\x7F"},
         0,
         "",
         ""},
        {"context fails",
         [] { pcscfake::script(Call::EstablishContext, {pcscfake::kInternalError}); },
         {},
         6,
         kDienst,
         "SCardEstablishContext 0x80100001"},
        {"first list call fails",
         [] {
             pcscfake::readers({"Reader A"});
             pcscfake::script(Call::ListReaders, {pcscfake::kNoService});
         },
         {},
         6,
         kDienst,
         "SCardListReaders 0x8010001D",
         true},
        {"second list call says no readers",
         [] {
             pcscfake::readers({"Reader A"});
             pcscfake::script(Call::ListReaders, {0, pcscfake::kNoReadersAvailable});
         },
         {},
         6,
         kDienst,
         "SCardListReaders 0x8010002E",
         true},
        {"second list call fails otherwise",
         [] {
             pcscfake::readers({"Reader A"});
             pcscfake::script(Call::ListReaders, {0, pcscfake::kInsufficientBuffer});
         },
         {},
         6,
         kDienst,
         "SCardListReaders 0x80100008",
         true},
        {"small code keeps eight digits",
         [] { pcscfake::script(Call::EstablishContext, {0x1F}); },
         {},
         6,
         kDienst,
         "SCardEstablishContext 0x0000001F"},
        {"length 0 needed",
         [] {
             pcscfake::readers({"Reader A"});
             pcscfake::listLengths(0, 0);
         },
         {},
         0,
         "",
         ""},
        {"list starting with NUL",
         [] {
             pcscfake::readerBytes({0, 0});
         },
         {},
         0,
         "",
         ""},
        {"list without any NUL",
         [] { pcscfake::readerBytes(tekstBytes("Reader A")); },
         {"Reader A"},
         0,
         "",
         ""},
        {"last name without its NUL",
         [] { pcscfake::readerBytes(tekstBytes(std::string("One\0Two", 7))); },
         {"One", "Two"},
         0,
         "",
         ""},
        {"returned length beyond the buffer",
         [] {
             pcscfake::readerBytes(tekstBytes(std::string("One\0Two", 7)));
             pcscfake::listLengths(7, 4096);
         },
         {"One", "Two"},
         0,
         "",
         ""},
        {"returned length shorter than the list",
         [] {
             pcscfake::readers({"Alpha", "Beta"});
             pcscfake::listLengths(12, 6);
         },
         {"Alpha"},
         0,
         "",
         ""},
        {"buffer larger than the list is zero-filled",
         [] {
             pcscfake::readers({"Alpha"});
             pcscfake::listLengths(64, 64);
         },
         {"Alpha"},
         0,
         "",
         ""},
    };
    for (const LezersGeval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        g.klaar();
        Fout fout{9, Melding::leesFout, "old", "old"};
        const std::vector<std::string> namen = Kaart::lezers(fout);
        if (pcsc::kWindows && g.lijstFaalt) {
            EXPECT_TRUE(namen.empty());
            verwachtFout(fout, 0, "", "");
        } else {
            EXPECT_EQ(namen, g.namen);
            verwachtFout(fout, g.code, g.melding, g.detail);
        }
        EXPECT_EQ(pcscfake::openContexts(), 0u);
        EXPECT_TRUE(pcscfake::calls(Call::Connect).empty());
    }
}

TEST_F(Lezers, AsksForTheLengthThenFillsABufferOfExactlyThatLength) {
    pcscfake::readers({"Reader A", "Reader B"});
    Fout fout;
    Kaart::lezers(fout);

    const auto contexten = pcscfake::calls(Call::EstablishContext);
    ASSERT_EQ(contexten.size(), 1u);
    EXPECT_EQ(contexten[0].scope, 2u);
    EXPECT_TRUE(contexten[0].reserved1Null);
    EXPECT_TRUE(contexten[0].reserved2Null);

    const auto lijsten = pcscfake::calls(Call::ListReaders);
    ASSERT_EQ(lijsten.size(), 2u);
    for (const auto& l : lijsten) {
        EXPECT_EQ(l.context, contexten[0].context);
        EXPECT_TRUE(l.groupsNull);
    }
    EXPECT_TRUE(lijsten[0].bufferNull);
    EXPECT_EQ(lijsten[0].lengthIn, 0u);
    EXPECT_FALSE(lijsten[1].bufferNull);
    EXPECT_EQ(lijsten[1].lengthIn, 19u); // two names, their NULs and the closing NUL

    const auto vrij = pcscfake::calls(Call::ReleaseContext);
    ASSERT_EQ(vrij.size(), 1u);
    EXPECT_EQ(vrij[0].context, contexten[0].context);
}

TEST_F(Lezers, StopsCallingTheServiceAsSoonAsTheAnswerIsKnown) {
    Fout fout;
    {
        SCOPED_TRACE("context fails: nothing to list with, nothing to release");
        pcscfake::script(Call::EstablishContext, {pcscfake::kNoService});
        Kaart::lezers(fout);
        EXPECT_EQ(soorten(), std::vector<Call>{Call::EstablishContext});
    }
    const std::vector<Call> eenLijst = {Call::EstablishContext, Call::ListReaders,
                                        Call::ReleaseContext};
    {
        SCOPED_TRACE("no readers");
        pcscfake::reset();
        Kaart::lezers(fout);
        EXPECT_EQ(soorten(), eenLijst);
    }
    {
        SCOPED_TRACE("length 0 needed");
        pcscfake::reset();
        pcscfake::readers({kLezer});
        pcscfake::listLengths(0, 0);
        Kaart::lezers(fout);
        EXPECT_EQ(soorten(), eenLijst);
    }
}

// --- lezersMetKaart ---------------------------------------------------------------------------

// Each reader as "name state ATR", the state as KaartStand's number, the ATR in hexadecimal.
std::vector<std::string> beschreven(const std::vector<Lezer>& lezers) {
    std::vector<std::string> uit;
    for (const Lezer& l : lezers) {
        std::string regel = l.naam + " " + std::to_string(static_cast<int>(l.kaart)) + " ";
        for (const std::uint8_t b : l.atr) {
            char twee[3];
            std::snprintf(twee, sizeof twee, "%02X", b);
            regel += twee;
        }
        uit.push_back(regel);
    }
    return uit;
}

class LezersMetKaart : public MetNepdienst {};

// Each reader's card from one question, on the Kaart's own context, without touching a card.
TEST_F(LezersMetKaart, EveryReaderWithItsCardFromOneQuestion) {
    const Bytes lang(33, 0x3B); // the longest ATR there is
    std::string langHex;
    for (std::size_t i = 0; i < lang.size(); ++i) {
        langHex += "3B";
    }
    pcscfake::readers({"A", "B", "C", "D", "E"});
    pcscfake::insertCard("A");
    pcscfake::otherCard("C", {0x6A, 0x82}, lang);
    pcscfake::otherCard("D");
    pcscfake::cardState("D", pcscfake::CardState::mute);
    pcscfake::otherCard("E");
    pcscfake::cardState("E", pcscfake::CardState::exclusive);
    pcscfake::cardState("B", pcscfake::CardState::mute); // of no account without a card
    {
        Kaart kaart;
        Fout fout{9, Melding::leesFout, "old", "old"};
        const std::vector<Lezer> lezers = kaart.lezersMetKaart(fout);
        verwachtFout(fout, 0, "", "");
        // leeg 0, stom 1, exclusief 2, aanwezig 3
        EXPECT_EQ(beschreven(lezers), (std::vector<std::string>{
                                          "A 3 3B9813400AA503010101AD1311",
                                          "B 0 ",
                                          "C 3 " + langHex,
                                          "D 1 3B021450",
                                          "E 2 3B021450",
                                      }));
        EXPECT_EQ(pcscfake::openContexts(), 1u);
    }
    const auto vragen = pcscfake::calls(Call::GetStatusChange);
    ASSERT_EQ(vragen.size(), 1u);
    EXPECT_EQ(vragen[0].timeout, 0u);
    EXPECT_EQ(vragen[0].context, pcscfake::calls(Call::EstablishContext).at(0).context);
    ASSERT_EQ(vragen[0].states.size(), 5u);
    for (const auto& staat : vragen[0].states) {
        EXPECT_EQ(staat.current, static_cast<std::uint64_t>(SCARD_STATE_UNAWARE));
    }
    EXPECT_TRUE(pcscfake::calls(Call::Connect).empty());
    EXPECT_EQ(pcscfake::openContexts(), 0u);

    // Asked again on the same Kaart: the same context, and what the service says now.
    pcscfake::reset();
    pcscfake::readers({"A"});
    pcscfake::cardAtr({0x3B, 0x00});
    Kaart kaart;
    Fout fout;
    kaart.lezersMetKaart(fout);
    pcscfake::removeCard();
    EXPECT_EQ(beschreven(kaart.lezersMetKaart(fout)), std::vector<std::string>{"A 0 "});
    pcscfake::insertCard("A");
    EXPECT_EQ(beschreven(kaart.lezersMetKaart(fout)), std::vector<std::string>{"A 3 3B00"});
    EXPECT_EQ(pcscfake::calls(Call::EstablishContext).size(), 1u);
}

// --- verbind ----------------------------------------------------------------------------------

struct VerbindGeval {
    const char* naam;
    Klaarzetten klaar;
    std::string lezer;
    std::int32_t code;
    std::string melding;
    std::string detail;
    std::vector<std::string> pogingen; // the reader of each connect attempt
    bool metContext = true;            // the Kaart holds a context afterwards
};

class Verbind : public MetNepdienst {};

TEST_F(Verbind, EveryOutcomeWithItsCodeMessageDetailAndAttempts) {
    const auto eenLezer = [] { pcscfake::readers({kLezer}); };
    const auto connect = [eenLezer](std::vector<std::uint32_t> codes) {
        return [eenLezer, codes] {
            eenLezer();
            pcscfake::script(Call::Connect, codes);
        };
    };
    const std::string nietVerbonden = "Could not connect to reader " + kLezer + ".";
    const std::vector<VerbindGeval> gevallen = {
        {"named reader connects", eenLezer, kLezer, 0, "", "", {kLezer}},
        {"context fails",
         [eenLezer] {
             eenLezer();
             pcscfake::script(Call::EstablishContext, {pcscfake::kInternalError});
         },
         kLezer,
         6,
         kDienst,
         "SCardEstablishContext 0x80100001",
         {},
         false},
        {"no card",
         [eenLezer] {
             eenLezer();
             pcscfake::removeCard();
         },
         kLezer,
         2,
         "There is no card in the reader.",
         "0x8010000C",
         {kLezer}},
        {"card removed while connecting",
         connect({pcscfake::kRemovedCard}),
         kLezer,
         2,
         "There is no card in the reader.",
         "0x80100069",
         {kLezer}},
        {"card silent twice",
         connect({pcscfake::kUnresponsiveCard, pcscfake::kUnresponsiveCard}),
         kLezer,
         3,
         kZwijgt,
         "0x80100066",
         {kLezer, kLezer}},
        {"card silent for ever still costs two attempts only",
         connect({pcscfake::kUnresponsiveCard, pcscfake::kUnresponsiveCard,
                  pcscfake::kUnresponsiveCard}),
         kLezer,
         3,
         kZwijgt,
         "0x80100066",
         {kLezer, kLezer}},
        {"protocol mismatch is not retried",
         connect({pcscfake::kProtoMismatch}),
         kLezer,
         3,
         kZwijgt,
         "0x8010000F",
         {kLezer}},
        {"reset twice",
         connect({pcscfake::kResetCard, pcscfake::kResetCard}),
         kLezer,
         4,
         nietVerbonden,
         "SCardConnect 0x80100068",
         {kLezer, kLezer}},
        {"silent, then reset",
         connect({pcscfake::kUnresponsiveCard, pcscfake::kResetCard}),
         kLezer,
         4,
         nietVerbonden,
         "SCardConnect 0x80100068",
         {kLezer, kLezer}},
        {"reset, then silent",
         connect({pcscfake::kResetCard, pcscfake::kUnresponsiveCard}),
         kLezer,
         3,
         kZwijgt,
         "0x80100066",
         {kLezer, kLezer}},
        {"silent, then no card",
         connect({pcscfake::kUnresponsiveCard, pcscfake::kNoSmartcard}),
         kLezer,
         2,
         "There is no card in the reader.",
         "0x8010000C",
         {kLezer, kLezer}},
        {"reset once, then connected",
         connect({pcscfake::kResetCard}),
         kLezer,
         0,
         "",
         "",
         {kLezer, kLezer}},
        {"silent once, then connected",
         connect({pcscfake::kUnresponsiveCard}),
         kLezer,
         0,
         "",
         "",
         {kLezer, kLezer}},
        {"unknown reader, named exactly as given",
         eenLezer,
         "Lezer \xC3\x9C  2",
         4,
         "Could not connect to reader Lezer \xC3\x9C  2.",
         "SCardConnect 0x80100009",
         {"Lezer \xC3\x9C  2"}},
        {"other code",
         connect({pcscfake::kNoService}),
         kLezer,
         4,
         nietVerbonden,
         "SCardConnect 0x8010001D",
         {kLezer}},
        {"small code keeps eight digits",
         connect({0x2A}),
         kLezer,
         4,
         nietVerbonden,
         "SCardConnect 0x0000002A",
         {kLezer}},
    };
    for (const VerbindGeval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        g.klaar();
        {
            Kaart kaart;
            Fout fout{9, Melding::leesFout, "old", "old"};
            EXPECT_EQ(kaart.verbind(g.lezer, fout), g.code == 0);
            verwachtFout(fout, g.code, g.melding, g.detail);

            std::vector<std::string> pogingen;
            for (const auto& c : pcscfake::calls(Call::Connect)) {
                pogingen.push_back(c.reader);
            }
            EXPECT_EQ(pogingen, g.pogingen);
            // The Kaart keeps its context after a failure; only a success holds a card.
            EXPECT_EQ(pcscfake::openContexts(), g.metContext ? 1u : 0u);
            EXPECT_EQ(pcscfake::openCards(), g.code == 0 ? 1u : 0u);
        }
        EXPECT_EQ(pcscfake::openContexts(), 0u);
        EXPECT_EQ(pcscfake::openCards(), 0u);
    }
}

TEST_F(Verbind, ConnectsSharedWithT0OrT1OnItsOwnContext) {
    pcscfake::readers({kLezer});
    Kaart kaart;
    Fout fout;
    ASSERT_TRUE(kaart.verbind(kLezer, fout));

    const auto contexten = pcscfake::calls(Call::EstablishContext);
    ASSERT_EQ(contexten.size(), 1u);
    for (const auto& c : contexten) {
        EXPECT_EQ(c.scope, 2u);
        EXPECT_TRUE(c.reserved1Null);
        EXPECT_TRUE(c.reserved2Null);
    }
    const auto connects = pcscfake::calls(Call::Connect);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].context, contexten[0].context);
    EXPECT_EQ(connects[0].reader, kLezer);
    EXPECT_EQ(connects[0].shareMode, 2u);
    EXPECT_EQ(connects[0].preferredProtocols, 3u);
    EXPECT_EQ(pcscfake::openContexts(), 1u);
}

TEST_F(Verbind, PausesTwoHundredMillisecondsAfterEachSilentOrResetAnswer) {
    struct Geval {
        std::vector<std::uint32_t> codes;
        bool verbonden;
    };
    const std::vector<Geval> gevallen = {
        {{pcscfake::kUnresponsiveCard}, true},
        {{pcscfake::kResetCard}, true},
        {{pcscfake::kUnresponsiveCard, pcscfake::kUnresponsiveCard}, false},
        {{pcscfake::kResetCard, pcscfake::kResetCard}, false},
        {{pcscfake::kNoSmartcard}, false},
        {{}, true},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.codes.size());
        pcscfake::reset();
        pcscfake::readers({kLezer});
        pcscfake::script(Call::Connect, g.codes);
        Kaart kaart;
        Fout fout;
        EXPECT_EQ(kaart.verbind(kLezer, fout), g.verbonden);

        // One pause after each answer worth waiting for, right after that answer.
        std::vector<std::size_t> erna;
        std::size_t n = 0;
        for (const auto& r : pcscfake::calls()) {
            ++n;
            if (r.call == Call::Connect &&
                (r.result == pcscfake::kUnresponsiveCard || r.result == pcscfake::kResetCard)) {
                erna.push_back(n);
            }
        }
        ASSERT_EQ(pcscfake::pauses().size(), erna.size());
        for (std::size_t i = 0; i < erna.size(); ++i) {
            EXPECT_EQ(pcscfake::pauses()[i].duration, std::chrono::milliseconds(200));
            EXPECT_EQ(pcscfake::pauses()[i].callsBefore, erna[i]);
        }
    }
}

// --- stuur ------------------------------------------------------------------------------------

class Stuur : public MetNepdienst {
  protected:
    void verbonden(Kaart& kaart) {
        pcscfake::readers({kLezer});
        Fout fout;
        ASSERT_TRUE(kaart.verbind(kLezer, fout));
    }
};

TEST_F(Stuur, WithoutAConnectionNothingIsSent) {
    const auto nietVerbonden = [](Kaart& kaart) {
        Fout fout{9, Melding::leesFout, "old", "old"};
        EXPECT_TRUE(kaart.stuur({0x00, 0xB0, 0x00, 0x00, 0xFF}, fout).empty());
        verwachtFout(fout, 4, "No open connection to the card.", "");
    };
    {
        SCOPED_TRACE("new Kaart");
        Kaart kaart;
        nietVerbonden(kaart);
    }
    {
        SCOPED_TRACE("after a failed verbind");
        pcscfake::readers({kLezer});
        pcscfake::removeCard();
        Kaart kaart;
        Fout fout;
        EXPECT_FALSE(kaart.verbind(kLezer, fout));
        nietVerbonden(kaart);
    }
    {
        SCOPED_TRACE("after verbreek");
        pcscfake::insertCard(kLezer);
        Kaart kaart;
        Fout fout;
        ASSERT_TRUE(kaart.verbind(kLezer, fout));
        kaart.verbreek();
        nietVerbonden(kaart);
    }
    EXPECT_TRUE(pcscfake::calls(Call::Transmit).empty());
}

TEST_F(Stuur, SendsThePlatformStructureAndOffers258Bytes) {
    for (std::uint32_t protocol : {1u, 2u}) {
        SCOPED_TRACE(protocol);
        pcscfake::reset();
        pcscfake::cardProtocol(protocol);
        Kaart kaart;
        verbonden(kaart);
        const Bytes apdu{0x00, 0xA4, 0x08, 0x0C, 0x02, 0x3F, 0x00};
        Fout fout;
        kaart.stuur(apdu, fout);

        const auto zend = pcscfake::calls(Call::Transmit);
        ASSERT_EQ(zend.size(), 1u);
        EXPECT_EQ(zend[0].card, pcscfake::calls(Call::Connect)[0].card);
        EXPECT_FALSE(zend[0].sendPciNull);
        EXPECT_EQ(zend[0].pciProtocol, protocol);
        EXPECT_EQ(zend[0].pciLength, sizeof(SCARD_IO_REQUEST));
        EXPECT_EQ(zend[0].command, apdu);
        EXPECT_TRUE(zend[0].receivePciNull);
        EXPECT_EQ(zend[0].receiveLength, 258u);
    }
    // pcsc-lite on 64-bit Linux: two 8-byte fields.
    if (sizeof(void*) == 8 && !pcsc::kWindows) {
        EXPECT_EQ(sizeof(SCARD_IO_REQUEST), 16u);
    }
}

TEST_F(Stuur, ReturnsTheWholeResponseOrTheTransmitFailure) {
    struct Geval {
        const char* naam;
        Klaarzetten klaar;
        Bytes antwoord;
        std::int32_t code;
        std::string melding;
        std::string detail;
    };
    const Bytes vol = reeks(258);
    const std::vector<Geval> gevallen = {
        {"258 bytes", [&] { pcscfake::answer(1, vol); }, vol, 0, "", ""},
        {"status word only",
         [] {
             pcscfake::answer(1, {0x6A, 0x82});
         },
         {0x6A, 0x82},
         0,
         "",
         ""},
        {"nothing", [] { pcscfake::answer(1, {}); }, {}, 0, "", ""},
        {"transmit fails",
         [] { pcscfake::script(Call::Transmit, {pcscfake::kNotTransacted}); },
         {},
         6,
         "The command did not reach the card.",
         "SCardTransmit 0x80100016"},
        {"response too long for the buffer",
         [] { pcscfake::answer(1, Bytes(259, 0x90)); },
         {},
         6,
         "The command did not reach the card.",
         "SCardTransmit 0x80100008"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        pcscfake::reset();
        Kaart kaart;
        verbonden(kaart);
        g.klaar();
        Fout fout{9, Melding::leesFout, "old", "old"};
        EXPECT_EQ(kaart.stuur({0x00, 0xB0, 0x00, 0x00, 0x00}, fout), g.antwoord);
        verwachtFout(fout, g.code, g.melding, g.detail);

        // The connection stays as it was: the next command goes out over the same card.
        pcscfake::answer(2, {0x90, 0x00});
        EXPECT_EQ(kaart.stuur({0x00, 0xB0, 0x00, 0x00, 0x00}, fout), (Bytes{0x90, 0x00}));
        EXPECT_EQ(fout.code, 0);
    }
}

// --- verbreek and the destructor ------------------------------------------------------------

class Verbreek : public MetNepdienst {};

TEST_F(Verbreek, DisconnectsWithResetBeforeReleasingAndOnlyOnce) {
    pcscfake::readers({kLezer});
    std::size_t voor = 0;
    std::uint64_t kaartHandvat = 0;
    {
        Kaart kaart;
        Fout fout;
        ASSERT_TRUE(kaart.verbind(kLezer, fout));
        kaartHandvat = pcscfake::calls(Call::Connect)[0].card;
        voor = pcscfake::calls().size();
        kaart.verbreek();
        kaart.verbreek();
    }
    // The context goes with the Kaart, the last owner of its session.
    const auto context = pcscfake::calls(Call::EstablishContext)[0].context;
    const auto na = pcscfake::calls();
    ASSERT_EQ(na.size(), voor + 3);
    EXPECT_EQ(na[voor].call, Call::EndTransaction);
    EXPECT_EQ(na[voor].card, kaartHandvat);
    EXPECT_EQ(na[voor].disposition, 1u); // SCARD_RESET_CARD, while the card is still ours
    EXPECT_EQ(na[voor + 1].call, Call::Disconnect);
    EXPECT_EQ(na[voor + 1].card, kaartHandvat);
    EXPECT_EQ(na[voor + 1].disposition, 0u); // SCARD_LEAVE_CARD
    EXPECT_EQ(na[voor + 2].call, Call::ReleaseContext);
    EXPECT_EQ(na[voor + 2].context, context);
    EXPECT_EQ(pcscfake::openContexts(), 0u);
    EXPECT_EQ(pcscfake::openCards(), 0u);
}

TEST_F(Verbreek, ClosesWhatIsOpenAndNothingElse) {
    {
        SCOPED_TRACE("new Kaart");
        Kaart kaart;
        kaart.verbreek();
        EXPECT_TRUE(pcscfake::calls().empty());
    }
    EXPECT_TRUE(pcscfake::calls().empty());
    {
        SCOPED_TRACE("context only");
        pcscfake::readers({kLezer});
        pcscfake::removeCard();
        {
            Kaart kaart;
            Fout fout;
            EXPECT_FALSE(kaart.verbind(kLezer, fout));
            pcscfake::reset();
            kaart.verbreek();
            EXPECT_TRUE(pcscfake::calls().empty());
        }
        EXPECT_EQ(soorten(), std::vector<Call>{Call::ReleaseContext});
    }
    {
        SCOPED_TRACE("destructor of a connected Kaart");
        pcscfake::reset();
        pcscfake::readers({kLezer});
        {
            Kaart kaart;
            Fout fout;
            ASSERT_TRUE(kaart.verbind(kLezer, fout));
        }
        const auto alle = soorten();
        ASSERT_GE(alle.size(), 2u);
        EXPECT_EQ(alle[alle.size() - 2], Call::Disconnect);
        EXPECT_EQ(alle.back(), Call::ReleaseContext);
        EXPECT_EQ(pcscfake::openContexts(), 0u);
        EXPECT_EQ(pcscfake::openCards(), 0u);
    }
}

// A second verbind lets the first card go as a read ends, and connects on the same context.
TEST_F(Verbreek, ASecondVerbindReleasesTheFirstConnectionFirst) {
    pcscfake::readers({kLezer});
    Kaart kaart;
    Fout fout;
    ASSERT_TRUE(kaart.verbind(kLezer, fout));
    const auto eerste = pcscfake::calls();
    const std::size_t n = eerste.size();

    ASSERT_TRUE(kaart.verbind(kLezer, fout));
    const auto alle = pcscfake::calls();
    ASSERT_GT(alle.size(), n + 2);
    EXPECT_EQ(alle[n].call, Call::EndTransaction);
    EXPECT_EQ(alle[n].disposition, pcsc::kAfsluiting.transactie);
    EXPECT_EQ(alle[n + 1].call, Call::Disconnect);
    EXPECT_EQ(alle[n + 1].disposition, pcsc::kAfsluiting.verbinding);
    EXPECT_EQ(alle[n + 1].card, pcscfake::calls(Call::Connect)[0].card);
    EXPECT_EQ(alle[n + 2].call, Call::Connect);
    EXPECT_EQ(alle[n + 2].context, pcscfake::calls(Call::EstablishContext)[0].context);
    EXPECT_EQ(pcscfake::calls(Call::EstablishContext).size(), 1u);
    EXPECT_EQ(pcscfake::openContexts(), 1u);
    EXPECT_EQ(pcscfake::openCards(), 1u);

    // A failing second verbind also leaves nothing of the first behind.
    pcscfake::removeCard();
    EXPECT_FALSE(kaart.verbind(kLezer, fout));
    EXPECT_EQ(fout.code, 2);
    EXPECT_EQ(pcscfake::openContexts(), 1u);
    EXPECT_EQ(pcscfake::openCards(), 0u);
}

} // namespace
} // namespace belpic::test
