// Shared by the core's tests: a fresh scripted service for every test, and small helpers.
#pragma once

#include "belpic/bestand.h"
#include "belpic/kaart.h"
#include "pcscfake/pcscfake.h"
#include "plugin/language.h"
#include "tests/record.h"
#include "tests/samplecard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

namespace belpic::test {

inline const std::string kLezer = "Reader A";

class MetNepdienst : public ::testing::Test {
  protected:
    void SetUp() override { pcscfake::reset(); }
    void TearDown() override { pcscfake::reset(); }
};

inline std::vector<pcscfake::Call> soorten() {
    std::vector<pcscfake::Call> uit;
    for (const pcscfake::Record& r : pcscfake::calls()) {
        uit.push_back(r.call);
    }
    return uit;
}

// The sentence as the person at the desk reads it in English, argument included.
inline std::string engels(const Fout& fout) {
    return language::Sentence(fout, language::Language::en);
}

inline void verwachtFout(const Fout& fout, std::int32_t code, const std::string& melding,
                         const std::string& detail) {
    EXPECT_EQ(fout.code, code);
    EXPECT_EQ(engels(fout), melding);
    EXPECT_EQ(fout.detail, detail);
}

// Readers A, B, C, ... with the cards that `bureau` describes, one word per reader: "-" no card,
// "eid" the eID card (its files are the test's), four hexadecimal digits a card of another kind
// answering that status word, "stom" a mute card, "alleen" a card another program holds alone.
inline void legNeer(const std::string& bureau) {
    std::istringstream woorden(bureau);
    std::vector<std::string> lezers;
    std::vector<std::string> kaarten;
    for (std::string woord; woorden >> woord;) {
        lezers.emplace_back(1, static_cast<char>('A' + lezers.size()));
        kaarten.push_back(woord);
    }
    pcscfake::readers(lezers);
    pcscfake::removeCard();
    for (std::size_t i = 0; i < lezers.size(); ++i) {
        const std::string& kaart = kaarten[i];
        if (kaart == "eid") {
            pcscfake::insertCard(lezers[i]);
        } else if (kaart == "stom" || kaart == "alleen") {
            pcscfake::otherCard(lezers[i]);
            pcscfake::cardState(lezers[i], kaart == "stom" ? pcscfake::CardState::mute
                                                           : pcscfake::CardState::exclusive);
        } else if (kaart != "-") {
            const unsigned long sw = std::stoul(kaart, nullptr, 16);
            pcscfake::otherCard(
                lezers[i], {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)});
        }
    }
}

// Nothing of the service left open: no context, no card, no transaction.
inline void verwachtGesloten() {
    EXPECT_EQ(pcscfake::openContexts(), 0u);
    EXPECT_EQ(pcscfake::openCards(), 0u);
    EXPECT_EQ(pcscfake::openTransactions(), 0u);
}

// An identity file with every tag a card holds, each value its own, showing each field's form
// and what cleaning leaves of blanks, a tab and a zero byte.
inline const Bytes kIdentiteit = samplecard::concat({
    samplecard::element(0x00, "\x01"),
    samplecard::element(0x01, "592123456789"),
    samplecard::element(0x02, std::string("\x53\x4C\x00\xFF\x0A\xE9", 6)), // bytes, not text
    samplecard::element(0x03, " 7 mei  2021 "), // cleaned, but not as a date
    samplecard::element(0x04, "01 MEI 2031"),
    samplecard::element(0x05, "Brussel\t"),
    samplecard::element(0x06, "85050712345"),
    samplecard::element(0x07, "  Van  den Berghe "),
    samplecard::element(0x08, "Jan\tPieter"),
    samplecard::element(0x09, "K"),
    samplecard::element(0x0A, "Belg"),
    samplecard::element(0x0B, "Li\xC3\xA8ge"),
    samplecard::element(0x0C, "7 mei 1985"),
    samplecard::element(0x0D, "M"),
    samplecard::element(0x0E, std::string("Baron\0", 6)),
    samplecard::element(0x0F, "01"),
    samplecard::element(0x10, "3"),
    samplecard::element(0x11, std::string("\x8B\x1F\x5D\x2E\x6A\x0C\x93\x47\x7E\x2F"
                                          "\x1B\x8A\x4C\x6D\x0E\x3F\x51\xA2\x9C\x74",
                                          20)),
});
inline const Bytes kAdres = samplecard::concat({
    samplecard::element(0x01, "Kerkstraat 12 (NL) "),
    samplecard::element(0x02, "9000"),
    samplecard::element(0x03, "Gent"),
    samplecard::element(0x04, "ignored"),
});

// Every field, in the order of the table, with its value from the files above and the photo
// samplecard::kPhoto. EID_Read's record is the first thirteen.
inline const record::Pairs kAlles = {
    {"cardNumber", "592123456789"},
    {"surname", "Van den Berghe"},
    {"givenNames", "Jan Pieter"},
    {"dateOfBirth", "07.05.1985"},
    {"placeOfBirth", "Li\xC3\xA8ge"},
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
    {"issuingMunicipality", "Brussel"},
    {"thirdGivenNameInitial", "K"},
    {"nobleCondition", "Baron"},
    {"documentType", "01"},
    {"specialStatus", "3"},
    {"photoHash", "8B1F5D2E6A0C93477E2F1B8A4C6D0E3F51A29C74"},
};

// The card above in the only reader, with `foto` as its photo file.
inline void legKaart(const Bytes& identiteit = kIdentiteit,
                     const Bytes& foto = samplecard::kPhoto) {
    pcscfake::readers({kLezer});
    pcscfake::file(bestandIdentiteit(), identiteit);
    pcscfake::file(bestandAdres(), kAdres);
    pcscfake::file(bestandFoto(), foto);
}

inline Bytes reeks(std::size_t n, std::uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(start + i * 7);
    }
    return b;
}

} // namespace belpic::test
