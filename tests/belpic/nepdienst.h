// Shared by the core's tests: a fresh scripted service for every test, and small helpers.
#pragma once

#include "belpic/kaart.h"
#include "pcscfake/pcscfake.h"

#include <gtest/gtest.h>

#include <chrono>
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

inline long long ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

inline void verwachtFout(const Fout& fout, std::int32_t code, const std::string& melding,
                         const std::string& detail) {
    EXPECT_EQ(fout.code, code);
    EXPECT_EQ(fout.melding, melding);
    EXPECT_EQ(fout.detail, detail);
}

inline Bytes reeks(std::size_t n, std::uint8_t start = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(start + i * 7);
    }
    return b;
}

} // namespace belpic::test
