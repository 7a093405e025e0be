// Shared by the core's tests: a fresh scripted service for every test, and small helpers.
#pragma once

#include "belpic/kaart.h"
#include "pcscfake/pcscfake.h"
#include "plugin/language.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

namespace belpic::test {

inline const std::string kLezer = "Reader A";

// The pauses the core asked for, each with the number of service calls made before it: the
// tests run on this record instead of the clock.
struct Gepauzeerd {
    std::chrono::milliseconds duur;
    std::size_t naOproepen;
};

inline std::vector<Gepauzeerd>& pauzes() {
    static std::vector<Gepauzeerd> lijst;
    return lijst;
}

inline void noteerPauze(std::chrono::milliseconds duur) {
    pauzes().push_back({duur, pcscfake::calls().size()});
}

class MetNepdienst : public ::testing::Test {
  protected:
    void SetUp() override {
        pcscfake::reset();
        pauzes().clear();
        vorige = zetPauze(noteerPauze);
    }
    void TearDown() override {
        zetPauze(vorige);
        pcscfake::reset();
    }

  private:
    Pauze vorige = nullptr;
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

inline Bytes reeks(std::size_t n, std::uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(start + i * 7);
    }
    return b;
}

} // namespace belpic::test
