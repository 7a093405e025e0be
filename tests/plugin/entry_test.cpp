// The host's messages: Init and Shutdown with their registrations, GetString, and the
// messages the plug-in leaves alone.
#include "support.h"

#include <cstring>

namespace tessarin_test {
namespace {

const std::string kReadDescription =
    "EID Read|Reads the Belgian eID card and returns the data as JSON, with the photo as base64. "
    "Without an argument the first reader is used. Call it from a script, behind a button. "
    "Every call is a full conversation with the card and takes about a second, so a calculation "
    "field, an unstored calculation or a Data Viewer watch will re-read the card over and over "
    "and make FileMaker crawl.";

struct Expected {
    short id;
    std::string name;
    std::string prototype;
    std::string description;
    short minArgs;
    short maxArgs;
};

const std::vector<Expected> kTable = {
    {100, "EID_Read", "EID_Read( { reader } )", kReadDescription, 0, 1},
    {101, "EID_Readers", "EID_Readers",
     "EID Readers|Returns the connected card readers, one per line. Empty means the system sees "
     "no reader.",
     0, 0},
    {102, "EID_Version", "EID_Version", "EID Version|Returns the version of the plug-in.", 0, 0},
    {103, "EID_WaitForCard", "EID_WaitForCard( { seconds ; reader } )",
     "EID WaitForCard|Waits until a card is in the reader (any reader when empty), at most the "
     "seconds given (30 by default, 0 to 600), and returns JSON naming the reader that holds it, "
     "or an error; errorDetail is \"timeout\" when no card came in time.",
     0, 2},
    {104, "EID_OnCardInserted", "EID_OnCardInserted( fileName ; scriptName { ; reader } )",
     "EID OnCardInserted|Starts the script of the file each time a card is inserted into the "
     "reader (any reader when empty), with the reader's name as the script parameter. Empty "
     "names stop it. Set it up once, e.g. in an OnFirstWindowOpen script.",
     2, 3},
};

void expectRegistered(const std::vector<short>& ids) {
    const auto registered = fakehost::registrations();
    ASSERT_EQ(registered.size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto& r = registered[i];
        const auto& e = *std::find_if(kTable.begin(), kTable.end(),
                                      [&](const Expected& x) { return x.id == ids[i]; });
        SCOPED_TRACE(e.name);
        EXPECT_EQ(r.pluginId, "TSRN");
        EXPECT_EQ(r.functionId, e.id);
        EXPECT_EQ(r.name, e.name);
        EXPECT_EQ(r.prototype, e.prototype);
        EXPECT_EQ(r.description, e.description);
        EXPECT_EQ(r.minArgs, e.minArgs);
        EXPECT_EQ(r.maxArgs, e.maxArgs);
        EXPECT_EQ(r.flags, 0x00FFFF7Eu);
        EXPECT_NE(r.handler, nullptr);
    }
}

TEST_F(PluginTest, InitRegistersTheTableFromExtensionVersion56On) {
    const struct {
        fmx::int16 version;
        fmx::ptrtype reply;
        std::vector<short> registered;
    } cases[] = {
        {-1, 0xFFFFFFFFFFFFFFFEu, {}},       {0, 0xFFFFFFFFFFFFFFFEu, {}},
        {55, 0xFFFFFFFFFFFFFFFEu, {}},       {56, 77, {100, 101, 102, 103, 104}},
        {77, 77, {100, 101, 102, 103, 104}}, {32767, 77, {100, 101, 102, 103, 104}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        fakehost::reset();
        auto block = fmxhost::callBlock(*plugin, kFMXT_Init, c.version);
        fmxhost::send(*plugin, block);
        EXPECT_EQ(block.result, c.reply);
        expectRegistered(c.registered);
        EXPECT_EQ(fakehost::liveTexts(), 0);
        EXPECT_EQ(fakehost::liveQuadChars(), 0);
    }
}

TEST_F(PluginTest, OnlyAFailedEidReadRegistrationDisablesThePlugin) {
    const struct {
        short failing;
        fmx::int64 reply;
        std::vector<short> registered;
    } cases[] = {
        {100, kDoNotEnable, {101, 102, 103, 104}},
        {101, 77, {100, 102, 103, 104}},
        {102, 77, {100, 101, 103, 104}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        fakehost::reset();
        fakehost::failRegistration(c.failing, 3);
        EXPECT_EQ(fmxhost::init(*plugin, 77), c.reply);
        expectRegistered(c.registered);
        fmxhost::shutdown(*plugin, 77);
        EXPECT_EQ(fakehost::unregistrations(), (std::vector<short>{100, 101, 102, 103, 104}));
        EXPECT_TRUE(fakehost::registrations().empty());
    }
}

TEST_F(PluginTest, ShutdownUnregistersInTableOrderFromExtensionVersion56On) {
    const struct {
        fmx::int16 version;
        std::vector<short> unregistered;
    } cases[] = {{55, {}}, {56, {100, 101, 102, 103, 104}}, {77, {100, 101, 102, 103, 104}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        fakehost::reset();
        start();
        auto block = fmxhost::callBlock(*plugin, kFMXT_Shutdown, c.version);
        const auto before = block;
        fmxhost::send(*plugin, block);
        EXPECT_EQ(fakehost::unregistrations(), c.unregistered);
        EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0) << "Shutdown wrote a reply";
    }
}

// Every byte of the block is distinct, so any write shows.
TEST_F(PluginTest, OtherMessagesLeaveTheCallBlockAsItIs) {
    for (const int message : {1, 2, 3, 5, 6, 8, 9, 10, 11, 64, 127, 128, 255}) {
        SCOPED_TRACE(message);
        FMX_ExternCallStruct block;
        auto* bytes = reinterpret_cast<unsigned char*>(&block);
        for (std::size_t i = 0; i < sizeof block; ++i) {
            bytes[i] = static_cast<unsigned char>(i * 7 + 3);
        }
        block.whichCall = static_cast<fmx::uchar>(message);
        block.extnVersion = 77;
        const auto before = block;
        const auto calls = fakehost::callCount();
        fmxhost::send(*plugin, block);
        EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0);
        EXPECT_EQ(fakehost::callCount(), calls) << "the host was called";
    }
}

TEST_F(PluginTest, EveryMessageLeavesItsBlockInTheGlobal) {
    auto* global = static_cast<FMX_ExternCallPtr*>(plugin->symbol("gFMX_ExternCallPtr"));
    ASSERT_NE(global, nullptr);
    for (const fmx::uchar message : {kFMXT_Init, kFMXT_Idle, kFMXT_GetString, kFMXT_Shutdown,
                                     kFMXT_DoAppPreferences, kFMXT_SchemaChange}) {
        SCOPED_TRACE(static_cast<int>(message));
        fmx::unichar16 buffer[16] = {};
        auto block = fmxhost::callBlock(*plugin, message, 77);
        block.parm1 = kFMXT_NameStr;
        block.parm3 = 16;
        block.result = reinterpret_cast<fmx::ptrtype>(buffer);
        fmxhost::send(*plugin, block);
        EXPECT_EQ(*global, &block);
    }
}

// The reply to GetString `id` in a buffer of `size` units, with guard units on either side.
struct Reply {
    std::vector<fmx::unichar16> units; // the buffer only
    bool guardsIntact;
};

constexpr fmx::unichar16 kUntouched = 0xBEEF;
constexpr std::size_t kGuard = 16;

Reply getString(const fmxhost::Plugin& plugin, int id, fmx::uint32 size) {
    std::vector<fmx::unichar16> memory(kGuard + size + kGuard, kUntouched);
    auto block = fmxhost::callBlock(plugin, kFMXT_GetString, 77);
    block.parm1 = static_cast<fmx::uchar>(id);
    block.parm2 = 0x0409;
    block.parm3 = size;
    block.result = reinterpret_cast<fmx::ptrtype>(memory.data() + kGuard);
    fmxhost::send(plugin, block);
    const bool intact =
        std::all_of(memory.begin(), memory.begin() + kGuard,
                    [](auto u) { return u == kUntouched; }) &&
        std::all_of(memory.end() - kGuard, memory.end(), [](auto u) { return u == kUntouched; });
    return {{memory.begin() + kGuard, memory.end() - kGuard}, intact};
}

// What a buffer of `size` units holds after a reply of `text`: as much as fits before the
// terminator, and the units after it untouched.
std::vector<fmx::unichar16> cut(const std::u16string& text, fmx::uint32 size) {
    std::vector<fmx::unichar16> units(size, kUntouched);
    if (size == 0) {
        return units;
    }
    const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
    std::copy_n(text.begin(), n, units.begin());
    units[n] = 0;
    return units;
}

TEST_F(PluginTest, GetStringCutsEveryReplyToTheBuffer) {
    const struct {
        int id;
        std::u16string text;
    } strings[] = {
        {128, u"Tessarin"},
        {129, u"Reads the Belgian eID card through a card reader."},
        {131, u"TSRN1nnYYnn"},
        {130, u""},
        {132, u""},
        {0, u""},
        {127, u""},
        {255, u""},
    };
    for (const auto& s : strings) {
        for (const fmx::uint32 size : {0u, 1u, 2u, 4u, 5u, 8u, 9u, 11u, 12u, 13u, 49u, 50u, 100u}) {
            SCOPED_TRACE("GetString " + std::to_string(s.id) + ", " + std::to_string(size) +
                         " units");
            const Reply reply = getString(*plugin, s.id, size);
            EXPECT_TRUE(reply.guardsIntact) << "written outside the buffer";
            EXPECT_EQ(reply.units, cut(s.text, size));
        }
    }
}

// The host's own examples: a name cut to four characters, and the options in twelve units.
TEST_F(PluginTest, GetStringAnswersTheHostsExamplesExactly) {
    EXPECT_EQ(getString(*plugin, 128, 5).units,
              (std::vector<fmx::unichar16>{'T', 'e', 's', 's', 0}));
    EXPECT_EQ(
        getString(*plugin, 131, 12).units,
        (std::vector<fmx::unichar16>{'T', 'S', 'R', 'N', '1', 'n', 'n', 'Y', 'Y', 'n', 'n', 0}));
    EXPECT_EQ(getString(*plugin, 128, 9).units,
              (std::vector<fmx::unichar16>{'T', 'e', 's', 's', 'a', 'r', 'i', 'n', 0}));
}

} // namespace
} // namespace tessarin_test
