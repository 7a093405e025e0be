// The host strings copied into the host's buffer when the host's own calls misbehave: nothing
// may be written outside the buffer, whatever the host answers.
#include "fakehost/fakehost.h"
#include "fmxhost/driver.h"
#include "pcscfake/pcscfake.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr std::size_t kWacht = 16;
constexpr fmx::unichar16 kWachtWaarde = 0xA5A5;

// GetString 128 into a buffer of `grootte` units, with the n-th host call failing with `code`.
std::vector<fmx::unichar16> vraag(const fmxhost::Plugin& plugin, fmx::uint32 grootte,
                                  unsigned long n, fmx::int32 code) {
    std::vector<fmx::unichar16> geheugen(grootte + 2 * kWacht, kWachtWaarde);
    auto blok = fmxhost::callBlock(plugin, kFMXT_GetString, kCurrentExtnVersion);
    blok.parm1 = kFMXT_NameStr;
    blok.parm3 = grootte;
    blok.result = reinterpret_cast<fmx::ptrtype>(geheugen.data() + kWacht);
    fakehost::failCall(n, code);
    fmxhost::send(plugin, blok);
    fakehost::failCall(0, 0);
    return geheugen;
}

TEST(Grens, AHostThatFailsUnderAStringCopyGetsNothingOutsideItsBuffer) {
    fakehost::reset();
    pcscfake::reset();
    fmxhost::Plugin plugin(TESSARIN_FAKE_PLUGIN);
    // The copy makes a text, fills it, asks its length and copies it out: fail each in turn,
    // with the SDK's two failures and with a code it does not name (the copy then goes on).
    for (unsigned long n = 1; n <= 5; ++n) {
        for (fmx::int32 code : {1, 2, 3}) {
            for (fmx::uint32 grootte : {1u, 4u, 5u, 9u}) {
                SCOPED_TRACE(testing::Message() << "call " << n << " fails with " << code
                                                << ", buffer of " << grootte);
                const auto geheugen = vraag(plugin, grootte, n, code);
                for (std::size_t i = 0; i < kWacht; ++i) {
                    EXPECT_EQ(geheugen[i], kWachtWaarde);
                    EXPECT_EQ(geheugen[kWacht + grootte + i], kWachtWaarde);
                }
                bool afgesloten = false;
                for (std::size_t i = 0; i < grootte; ++i) {
                    afgesloten = afgesloten || geheugen[kWacht + i] == 0;
                }
                EXPECT_TRUE(afgesloten) << "no terminator within the buffer";
            }
        }
    }
    EXPECT_EQ(fakehost::liveTexts(), 0);
}

} // namespace
