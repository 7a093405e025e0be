// Documents made from generated records, read back by nlohmann-json's strict parser and the
// photo by OpenSSL's decoder: every value must come back as the field it was made from.
#include "json/json.h"

#include "tests/record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace belpic {
namespace {

using Json = nlohmann::ordered_json; // keeps the members in document order

// Pieces of valid UTF-8 from which field values are built: plain letters, accented Latin
// letters, characters of three and four bytes (outside the Basic Multilingual Plane), the
// characters JSON escapes, every control byte, solidus and DEL.
std::vector<std::string> stukken() {
    std::vector<std::string> s = {
        "a",        "Z",  "0",  " ",      "-",
        "'",        ".",  "é",  "è",      "ë",
        "ß",        "Ç",  "€",  "中",     "😀",
        "𝄞",        "\"", "\\", "/",      "\x7F",
        "\xC2\x80", "ÿ",  "ﬀ",  "\uFFFD", "\xF4\x8F\xBF\xBF" /* U+10FFFF */};
    for (int byte = 0; byte < 0x20; ++byte)
        s.emplace_back(1, static_cast<char>(byte));
    return s;
}

class Generator {
  public:
    explicit Generator(std::uint32_t zaad) : toeval(zaad) {}

    // mt19937's sequence is fixed by the standard, so a failure reproduces anywhere.
    std::size_t getal(std::size_t grens) { return toeval() % grens; }

    std::string tekst() {
        std::string t;
        const std::size_t aantal = getal(4) == 0 ? 0 : getal(40);
        for (std::size_t i = 0; i < aantal; ++i)
            t += kStukken[getal(kStukken.size())];
        return t;
    }

    Bytes foto() {
        Bytes f(getal(3500));
        for (std::uint8_t& byte : f)
            byte = static_cast<std::uint8_t>(toeval());
        return f;
    }

  private:
    const std::vector<std::string> kStukken = stukken();
    std::mt19937 toeval;
};

Bytes decodeer(const std::string& tekst) {
    Bytes bytes(tekst.size() / 4 * 3);
    const int n =
        EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(tekst.data()),
                        static_cast<int>(tekst.size()));
    EXPECT_EQ(n, static_cast<int>(bytes.size())) << "not base64: " << tekst;
    // The decoder counts the padding as bytes.
    std::size_t vulling = 0;
    while (vulling < 2 && vulling < tekst.size() && tekst[tekst.size() - 1 - vulling] == '=')
        ++vulling;
    bytes.resize(bytes.size() - vulling);
    return bytes;
}

std::size_t regels(const std::string& document) {
    std::size_t n = 1;
    for (const char c : document)
        n += c == '\n';
    return n;
}

// The members in order, each a string; a value of nullopt is checked by the caller.
using Leden = std::vector<std::pair<const char*, std::optional<std::string>>>;

void verwachtLeden(const Json& object, const Leden& leden) {
    ASSERT_TRUE(object.is_object());
    ASSERT_EQ(object.size(), leden.size());
    std::size_t i = 0;
    for (const auto& [sleutel, waarde] : object.items()) {
        EXPECT_EQ(sleutel, leden[i].first);
        ASSERT_TRUE(waarde.is_string()) << sleutel;
        if (leden[i].second) {
            EXPECT_EQ(waarde.get<std::string>(), *leden[i].second) << sleutel;
        }
        ++i;
    }
}

// Any of the card's fields, in any order: EID_Read's document, and those of EID_ReadFields.
TEST(CrossCheck, CardDocumentsParseBackToTheirFields) {
    std::istringstream woorden(
        "cardNumber surname givenNames dateOfBirth placeOfBirth gender nationality validUntil "
        "nationalNumber street postalCode municipality photo chipNumber validFrom "
        "issuingMunicipality nobleCondition documentType thirdGivenNameInitial specialStatus "
        "photoHash");
    const std::vector<std::string> namen(std::istream_iterator<std::string>(woorden), {});
    Generator gen(3141592);
    for (int ronde = 0; ronde < 400; ++ronde) {
        SCOPED_TRACE("record " + std::to_string(ronde));
        std::string lijst;
        for (std::size_t i = gen.getal(8) + 1; i > 0; --i)
            lijst += namen[gen.getal(namen.size())] + " ";
        Fout fout;
        const Vraag vraag = ronde % 4 == 0 ? volledigeVraag() : vraagNaar(lijst, fout);
        ASSERT_EQ(fout.code, geenFout) << lijst;
        std::vector<std::string> waarden;
        Leden leden = {{"error", ""}};
        Bytes foto;
        for (const Kaartveld* veld : vraag.velden) {
            const bool isFoto = veld->vorm == Vorm::geheel;
            if (isFoto)
                foto = gen.foto();
            waarden.push_back(isFoto ? std::string(foto.begin(), foto.end()) : gen.tekst());
            leden.emplace_back(veld->naam,
                               isFoto ? std::nullopt : std::optional<std::string>(waarden.back()));
        }

        const std::string document = alsJson(record::of(vraag, waarden));
        EXPECT_EQ(regels(document), leden.size() + 2);
        EXPECT_EQ(document.back(), '}');
        Json object;
        ASSERT_NO_THROW(object = Json::parse(document)) << document;
        verwachtLeden(object, leden);
        if (object.contains("photo")) {
            EXPECT_EQ(decodeer(object["photo"].get<std::string>()), foto);
        }
    }
}

TEST(CrossCheck, ErrorDocumentsParseBackToTheirTexts) {
    Generator gen(2718281);
    for (int ronde = 0; ronde < 400; ++ronde) {
        SCOPED_TRACE("error " + std::to_string(ronde));
        const std::string melding = gen.tekst();
        const std::string detail = gen.tekst();

        const std::string document = foutAlsJson(melding, detail);
        EXPECT_EQ(regels(document), 4u);
        Json object;
        ASSERT_NO_THROW(object = Json::parse(document)) << document;
        verwachtLeden(object, {{"error", melding}, {"errorDetail", detail}});
    }
}

TEST(CrossCheck, ReadersDocumentsParseBackToTheirReaders) {
    Generator gen(1414213);
    const KaartStand standen[] = {KaartStand::leeg, KaartStand::stom, KaartStand::exclusief,
                                  KaartStand::aanwezig};
    const char* const teksten[] = {"empty", "mute", "exclusive", "present"};
    for (int ronde = 0; ronde < 200; ++ronde) {
        SCOPED_TRACE("readers " + std::to_string(ronde));
        std::vector<Lezer> lezers(gen.getal(5));
        for (Lezer& l : lezers) {
            l.naam = gen.tekst();
            l.kaart = standen[gen.getal(4)];
            l.atr = gen.foto();
            l.atr.resize(std::min<std::size_t>(l.atr.size(), 33));
        }

        const std::string document = lezersAlsJson(lezers);
        EXPECT_EQ(regels(document), lezers.empty() ? 4u : 5u + lezers.size());
        Json object;
        ASSERT_NO_THROW(object = Json::parse(document)) << document;
        ASSERT_EQ(object.size(), 2u);
        EXPECT_EQ(object["error"], "");
        ASSERT_TRUE(object["readers"].is_array());
        ASSERT_EQ(object["readers"].size(), lezers.size());
        for (std::size_t i = 0; i < lezers.size(); ++i) {
            const Json& lezer = object["readers"][i];
            ASSERT_EQ(lezer.size(), 3u);
            EXPECT_EQ(lezer["name"], lezers[i].naam);
            EXPECT_EQ(lezer["card"], teksten[static_cast<int>(lezers[i].kaart)]);
            std::string hex;
            for (const std::uint8_t b : lezers[i].atr) {
                char twee[3];
                std::snprintf(twee, sizeof twee, "%02X", b);
                hex += twee;
            }
            EXPECT_EQ(lezer["atr"], hex);
        }
    }
}

TEST(CrossCheck, EveryAsciiByteEscapedParsesBackToItself) {
    for (int byte = 0; byte < 0x80; ++byte) {
        const std::string een(1, static_cast<char>(byte));
        Json waarde;
        ASSERT_NO_THROW(waarde = Json::parse("\"" + jsonTekst(een) + "\"")) << "byte " << byte;
        EXPECT_EQ(waarde.get<std::string>(), een) << "byte " << byte;
    }
}

} // namespace
} // namespace belpic
