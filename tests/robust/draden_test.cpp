// Several threads of one host calling EID_Read and EID_Readers at once, as the FileMaker server
// calls plug-in functions: every call gets the whole answer and nothing is left behind. Run
// under ThreadSanitizer by scripts/test-sanitizers.
#include "belpic/bestand.h"
#include "fakehost/fakehost.h"
#include "fmxhost/driver.h"
#include "pcscfake/pcscfake.h"
#include "tests/samplecard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kDraden = 6;
constexpr int kRondes = 20;

TEST(Draden, EidReadAndEidReadersFromSeveralThreadsAtOnce) {
    fakehost::reset();
    pcscfake::reset();
    std::vector<std::uint8_t> foto(2000);
    for (std::size_t i = 0; i < foto.size(); ++i) {
        foto[i] = static_cast<std::uint8_t>(i * 7);
    }
    samplecard::insert({"Lezer A", "Lezer B"}, foto);

    fmxhost::Plugin plugin(TESSARIN_FAKE_PLUGIN);
    ASSERT_EQ(fmxhost::init(plugin, kCurrentExtnVersion), kCurrentExtnVersion);
    const std::string kaart = fakehost::utf8(fmxhost::callFunction("EID_Read", {}).text);
    ASSERT_NE(kaart.find("\"surname\": \"Voorbeeld\""), std::string::npos) << kaart;
    ASSERT_NE(kaart.find("\"dateOfBirth\": \"14.03.1985\""), std::string::npos) << kaart;

    std::atomic<int> afwijkend{0};
    std::vector<std::thread> draden;
    for (int d = 0; d < kDraden; ++d) {
        draden.emplace_back([&, d] {
            for (int i = 0; i < kRondes; ++i) {
                const bool lees = (d + i) % 3 != 0;
                const auto r =
                    fmxhost::callFunction(lees ? "EID_Read" : "EID_Readers",
                                          lees && i % 2 ? std::vector<std::string>{"Lezer A"}
                                                        : std::vector<std::string>{});
                const std::string tekst = fakehost::utf8(r.text);
                if (r.error != 0 || r.sets != 1 || tekst != (lees ? kaart : "Lezer A\rLezer B")) {
                    ++afwijkend;
                }
            }
        });
    }
    for (auto& draad : draden) {
        draad.join();
    }
    fmxhost::shutdown(plugin, kCurrentExtnVersion);
    EXPECT_EQ(afwijkend, 0);
    EXPECT_EQ(fakehost::misuses(), std::vector<std::string>{});
    EXPECT_EQ(fakehost::liveTexts(), 0);
    EXPECT_EQ(fakehost::liveQuadChars(), 0);
    EXPECT_EQ(pcscfake::openContexts(), 0u);
    EXPECT_EQ(pcscfake::openCards(), 0u);
    EXPECT_EQ(pcscfake::openTransactions(), 0u);
}

} // namespace
