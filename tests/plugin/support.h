// The test build of the plug-in, loaded through the fake host as the host loads it.
#pragma once

#include "fakehost/fakehost.h"
#include "fmxhost/driver.h"
#include "pcscfake/pcscfake.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tessarin_test {

// The plug-in's sources linked with the scripted PC/SC service and the fake host.
inline const char* const kFakePlugin = TESSARIN_FAKE_PLUGIN;

// A clean host and PC/SC service, and the plug-in loaded but not yet started.
class PluginTest : public testing::Test {
  public:
    void SetUp() override {
        fakehost::reset();
        pcscfake::reset();
        plugin = std::make_unique<fmxhost::Plugin>(kFakePlugin);
    }

    void TearDown() override {
        EXPECT_EQ(fakehost::misuses(), std::vector<std::string>{});
        EXPECT_EQ(fakehost::liveTexts(), 0);
        EXPECT_EQ(fakehost::liveQuadChars(), 0);
        EXPECT_EQ(pcscfake::openContexts(), 0u);
        EXPECT_EQ(pcscfake::openCards(), 0u);
    }

    // Sends Init with the current extension version and checks that it was accepted.
    void start() { ASSERT_EQ(fmxhost::init(*plugin, kCurrentExtnVersion), kCurrentExtnVersion); }

    // A registered function, called as the host calls it.
    fakehost::Result call(const std::string& name,
                          const std::vector<fakehost::Argument>& arguments = {},
                          const std::string& resultLocale = "en_US") {
        const auto registration = fakehost::find(name);
        if (!registration) {
            ADD_FAILURE() << name << " is not registered";
            return {};
        }
        return fakehost::call(registration->handler, registration->functionId, arguments,
                              resultLocale);
    }

    std::unique_ptr<fmxhost::Plugin> plugin;
};

inline std::string utf8(const std::u16string& text) {
    return fakehost::utf8(text);
}

using Members = std::vector<std::pair<std::string, std::string>>;

// A JSON document as the plug-in writes it: one member a line, in order (no value needs escaping
// here).
inline std::string document(const Members& members) {
    std::string text = "{\n";
    for (std::size_t i = 0; i < members.size(); ++i) {
        text += "  \"" + members[i].first + "\": \"" + members[i].second + "\"";
        text += i + 1 < members.size() ? ",\n" : "\n";
    }
    return text + "}";
}

// A card's document: an empty error, then `members`.
inline std::string documentOf(Members members) {
    members.insert(members.begin(), {"error", ""});
    return document(members);
}

// EID_Read's document of the sample card (tests/samplecard.h).
inline const std::string kSampleDocument = documentOf({
    {"cardNumber", "591234567800"},
    {"surname", "Voorbeeld"},
    {"givenNames", "An Marie"},
    {"dateOfBirth", "14.03.1985"},
    {"placeOfBirth", "Gent"},
    {"gender", "M"},
    {"nationality", "Belg"},
    {"validUntil", "02.06.2031"},
    {"nationalNumber", "85031400000"},
    {"street", "Kerkstraat 12"},
    {"postalCode", "9000"},
    {"municipality", "Gent"},
    {"photo", "/9j/4A=="},
});

} // namespace tessarin_test
