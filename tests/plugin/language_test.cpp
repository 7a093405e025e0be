// The sentences for the person at the desk in four languages: the catalogue itself, and
// EID_SetLanguage through the plug-in as the host loads it, alone and beside other calls.
#include "support.h"

#include "plugin/language.h"
#include "json/json.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <thread>

namespace tessarin_test {
namespace {

using belpic::Melding;
using language::Language;

constexpr Language kLanguages[] = {Language::en, Language::nl, Language::fr, Language::de};
const std::string kNoBreakSpace = "\xC2\xA0";

// Every sentence the code can produce, in English as the documents have always had it.
const struct {
    Melding melding;
    std::string english;
} kEnglish[] = {
    {Melding::geenLezer, "No card reader connected."},
    {Melding::geenKaart, "There is no card in the reader."},
    {Melding::kaartZwijgt,
     "The card does not respond. If this card was just read successfully, take it out and put it "
     "back. Otherwise turn it over -- on the newer Belgian eID the chip is on the back -- and "
     "insert it all the way."},
    {Melding::geenVerbinding, "Could not connect to reader {reader}."},
    {Melding::dienstZwijgt, "The smart card service is not responding."},
    {Melding::nietBereikt, "The command did not reach the card."},
    {Melding::geenBestand, "That file is not on the card."},
    {Melding::leesFout, "Reading the card failed."},
    {Melding::onvolledig, "The card returned an incomplete response."},
    {Melding::nietVerbonden, "No open connection to the card."},
    {Melding::onbekendeLezer, "There is no card reader named {reader}."},
    {Melding::wachtGestopt, "The wait for a card was stopped."},
    {Melding::nietOpTijd, "No card was inserted in time. Insert the card and try again."},
    {Melding::verkeerdeSeconden,
     "The number of seconds to wait must be a whole number from 0 to 600."},
    {Melding::geenScripts,
     "Scripts cannot be started when a card is inserted here: only FileMaker Pro runs them, not "
     "FileMaker Server or the Data API."},
    {Melding::bestandEnScript, "Name both the file and the script to start."},
    {Melding::onbekendVeld, "There is no card field named {field}."},
    {Melding::geenVelden, "Name at least one card field."},
    {Melding::onbekendeTaal, "The language {language} is not available: use nl, fr, de or en."},
};

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// The catalogue walked message by message: four texts each, the English unchanged, the
// argument in every language where the English has one, distinct texts, well-formed UTF-8, a
// colon where the English has one (15 and 19), in French after a no-break space.
TEST(LanguageCatalogue, EveryMessageInFourLanguages) {
    const std::string argument = "<argument>";
    for (std::size_t i = 0; i < std::size(kEnglish); ++i) {
        const auto& row = kEnglish[i];
        SCOPED_TRACE(row.english);
        ASSERT_EQ(static_cast<std::size_t>(row.melding), i + 1) << "every message, in order";
        const belpic::Fout fout{1, row.melding, argument, "detail"};
        const auto open = row.english.find('{');
        const bool named = open != std::string::npos;
        std::string english = row.english;
        if (named) {
            english.replace(open, row.english.find('}') + 1 - open, argument);
        }
        EXPECT_EQ(language::Sentence(fout, Language::en), english);

        std::vector<std::string> texts;
        for (const Language l : kLanguages) {
            const std::string text = language::Sentence(fout, l);
            SCOPED_TRACE(text);
            EXPECT_GT(text.size(), named ? argument.size() : 0u);
            EXPECT_EQ(count(text, argument), named ? 1u : 0u);
            EXPECT_EQ(text.find_first_of("{}"), std::string::npos) << "a placeholder left";
            EXPECT_EQ(fakehost::utf8(fakehost::utf16(text)), text) << "not well-formed UTF-8";
            EXPECT_EQ(count(text, ":"), count(row.english, ":"));
            EXPECT_EQ(count(text, kNoBreakSpace + ":"),
                      l == Language::fr ? count(row.english, ":") : 0u);
            EXPECT_EQ(count(text, kNoBreakSpace), count(text, kNoBreakSpace + ":"));
            EXPECT_EQ(std::find(texts.begin(), texts.end(), text), texts.end()) << "a copy";
            texts.push_back(text);
        }
    }
    for (const Language l : kLanguages) {
        EXPECT_EQ(language::Sentence(belpic::Fout{}, l), "");
    }
}

class LanguageTest : public PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        start();
    }
    // English again for the next test: a module kept loaded (a watch ran) keeps the language
    // from one load to the next, as FileMaker's would.
    void TearDown() override {
        setLanguage("en");
        fmxhost::shutdown(*plugin, kCurrentExtnVersion);
        PluginTest::TearDown();
    }

    // EID_SetLanguage's answer, checked to be stored once as text.
    std::string setLanguage(const std::string& name) {
        const auto r = call("EID_SetLanguage", {{name}});
        EXPECT_EQ(r.error, 0);
        EXPECT_EQ(r.sets, 1);
        EXPECT_EQ(r.type, fmx::Data::kDTText);
        return utf8(r.text);
    }

    std::string text(const std::string& function,
                     const std::vector<fakehost::Argument>& arguments = {}) {
        const auto r = call(function, arguments);
        EXPECT_EQ(r.error, 0);
        return utf8(r.text);
    }
};

std::string code(Language l) {
    return language::Code(l);
}

// Another language than `l`, to set before setting `l`, so that every setting shows.
Language other(Language l) {
    return l == Language::en ? Language::nl : Language::en;
}

TEST_F(LanguageTest, AcceptedNamesAnswerTheirCode) {
    const struct {
        std::string name;
        Language language;
    } cases[] = {
        {"nl", Language::nl},
        {"NL", Language::nl},
        {"Dutch", Language::nl},
        {"DUTCH", Language::nl},
        {"Nederlands", Language::nl},
        {"nederlands", Language::nl},
        {"fr", Language::fr},
        {"Fr", Language::fr},
        {"French", Language::fr},
        {"Fran\u00E7ais", Language::fr},
        {"FRAN\u00C7AIS", Language::fr},
        {"fRaN\u00C7aIs", Language::fr},
        {"Francais", Language::fr},
        {"FRANCAIS", Language::fr},
        {"de", Language::de},
        {"DE", Language::de},
        {"German", Language::de},
        {"Deutsch", Language::de},
        {"deutsch", Language::de},
        {"en", Language::en},
        {"EN", Language::en},
        {"English", Language::en},
        {"english", Language::en},
        {" nl", Language::nl},
        {"German ", Language::de},
        {"\t Fran\u00E7ais\r", Language::fr},
        {"English\r\n", Language::en},
        {"\n\nde\t", Language::de},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(setLanguage(code(other(c.language))), code(other(c.language)));
        EXPECT_EQ(setLanguage(c.name), code(c.language));
        EXPECT_EQ(setLanguage(""), code(c.language)) << "the language in force";
    }
}

// Nothing, or blanks alone, asks for the code in force and changes nothing.
TEST_F(LanguageTest, EmptyAnswersTheCodeInForce) {
    EXPECT_EQ(text("EID_SetLanguage", {{""}}), "en") << "English until set";
    for (const Language l : kLanguages) {
        setLanguage(code(l));
        for (const std::string empty : {"", " ", "\t\r\n ", "\r"}) {
            EXPECT_EQ(setLanguage(empty), code(l));
        }
    }
}

// Any other text is refused in the language in force, naming the text without its surrounding
// blanks, and leaves that language in force.
TEST_F(LanguageTest, AnUnknownLanguageIsRefusedAndChangesNothing) {
    const std::string refusal[] = {
        "The language {} is not available: use nl, fr, de or en.",
        "De taal {} is niet beschikbaar: gebruik nl, fr, de of en.",
        "La langue {} n'est pas disponible\xC2\xA0: utilisez nl, fr, de ou en.",
        "Die Sprache {} ist nicht verf\xC3\xBCgbar: Verwenden Sie nl, fr, de oder en.",
    };
    const struct {
        std::string name;
        std::string shown;
    } cases[] = {
        {"Italian", "Italian"},
        {" Klingon\r\n", "Klingon"},
        {"nl-BE", "nl-BE"},
        {"nl_BE", "nl_BE"},
        {"n l", "n l"},
        {"Nederlandse", "Nederlandse"},
        {"english.", "english."},
        {"Fran\xC3\xA7", "Fran\xC3\xA7"},
        {"Franc\u0327ais", "Franc\u0327ais"}, // decomposed: c and a combining cedilla
        {"\u00A0fr", "\u00A0fr"},             // a no-break space is no blank
        {"deu", "deu"},
        {"\"nl\"", "\"nl\""},
        {"\xC3\xA9n", "\xC3\xA9n"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const std::size_t in = i % std::size(kLanguages);
        setLanguage(code(kLanguages[in]));
        std::string sentence = refusal[in];
        sentence.replace(sentence.find("{}"), 2, c.shown);
        EXPECT_EQ(setLanguage(c.name), belpic::foutAlsJson(sentence, ""));
        EXPECT_EQ(setLanguage(""), code(kLanguages[in])) << "the language is unchanged";
    }
}

// Every sentence of every function and of the step follows the language; details never do.
TEST_F(LanguageTest, SentencesFollowTheLanguageAndDetailsStay) {
    for (const Language l : kLanguages) {
        SCOPED_TRACE(code(l));
        setLanguage(code(l));
        const auto sentence = [l](Melding m, const std::string& argument = "") {
            return language::Sentence(belpic::Fout{1, m, argument, ""}, l);
        };
        pcscfake::reset();
        EXPECT_EQ(text("EID_Read"), belpic::foutAlsJson(sentence(Melding::geenLezer), ""));
        EXPECT_EQ(text("EID_WaitForCard", {{"601"}}),
                  belpic::foutAlsJson(sentence(Melding::verkeerdeSeconden), "seconds: 601"));
        EXPECT_EQ(text("EID_OnCardInserted", {{"Desk.fmp12"}, {""}}),
                  belpic::foutAlsJson(sentence(Melding::bestandEnScript), ""));

        pcscfake::readers({"Reader A"});
        pcscfake::removeCard();
        EXPECT_EQ(text("EID_Read", {{"Lecteur \xC3\xA9"}}),
                  belpic::foutAlsJson(sentence(Melding::geenVerbinding, "Lecteur \xC3\xA9"),
                                      "SCardConnect 0x80100009"));
        EXPECT_EQ(text("EID_WaitForCard", {{"0"}}),
                  belpic::foutAlsJson(sentence(Melding::nietOpTijd), "timeout"));
        EXPECT_EQ(text("EID_OnCardInserted", {{"Desk.fmp12"}, {"Fill"}, {"Nope"}}),
                  belpic::foutAlsJson(sentence(Melding::onbekendeLezer, "Nope"), ""));
        const auto step = fakehost::performStep(*fakehost::findStep("EID Read Card"), {});
        EXPECT_EQ(step.error, 1553);
        EXPECT_EQ(utf8(step.text), sentence(Melding::geenKaart)) << "the step's error detail";

        pcscfake::reset();
        pcscfake::script(pcscfake::Call::EstablishContext, {pcscfake::kNoService});
        EXPECT_EQ(text("EID_Readers"), "ERROR: " + sentence(Melding::dienstZwijgt) +
                                           " (SCardEstablishContext 0x8010001D)");
    }
}

// The language belongs to the loaded plug-in: a Shutdown and a new Init keep it.
TEST_F(LanguageTest, TheLanguageLastsAsLongAsThePluginIsLoaded) {
    setLanguage("Deutsch");
    fmxhost::shutdown(*plugin, kCurrentExtnVersion);
    start();
    EXPECT_EQ(setLanguage(""), "de");
    EXPECT_EQ(text("EID_Read"), belpic::foutAlsJson("Es ist kein Kartenleser angeschlossen.", ""));
}

// Threads that set the language while others render sentences: every document is whole, in
// one of the four languages. ThreadSanitizer watches the setting (scripts/test-sanitizers).
TEST_F(LanguageTest, SettingBesideRenderingFromSeveralThreads) {
    constexpr int kRounds = 200;
    std::vector<std::string> documents;
    for (const Language l : kLanguages) {
        documents.push_back(belpic::foutAlsJson(
            language::Sentence(belpic::Fout{1, Melding::geenLezer, "", ""}, l), ""));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string want = code(kLanguages[(i + t) % std::size(kLanguages)]);
                if (utf8(fmxhost::callFunction("EID_SetLanguage", {want}).text) != want) {
                    ++wrong;
                }
            }
        });
    }
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string got = utf8(fmxhost::callFunction("EID_Read", {}).text);
                if (std::find(documents.begin(), documents.end(), got) == documents.end()) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
    const std::string last = setLanguage("");
    EXPECT_TRUE(last == "en" || last == "nl" || last == "fr" || last == "de") << last;
}

} // namespace
} // namespace tessarin_test
