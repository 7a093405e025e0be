// The host's messages: Init and Shutdown with their registrations, GetString, and the
// messages the plug-in leaves alone.
#include "support.h"

#include <cstring>

namespace tessarin_test {
namespace {

const std::string kReadDescription =
    "EID Read|Reads the Belgian eID card and returns the data as JSON, with the photo as base64. "
    "Without a reader the eID card is found in whichever reader holds it, and other cards are "
    "left as they are; with photo False the photo is left out, for a read about five times as "
    "fast. Call it from a script, behind a button. Every call is a full conversation with the "
    "card and takes about a second, so a calculation field, an unstored calculation or a Data "
    "Viewer watch will re-read the card over and over and make FileMaker crawl.";

const std::string kStepDefinition =
    "<PluginStep>"
    "<Parameter ID=\"0\" Type=\"Calc\" DataType=\"text\" ShowInline=\"true\" Label=\"Reader\"/>"
    "<Parameter ID=\"1\" Type=\"Bool\" Label=\"Photo\" Default=\"true\"/>"
    "<Parameter ID=\"2\" Type=\"Calc\" DataType=\"text\" ShowInline=\"true\" Label=\"Fields\"/>"
    "<Parameter Type=\"Target\" Label=\"Result\"/>"
    "</PluginStep>";

const std::string kStepDescription =
    "EID Read Card|Reads the Belgian eID card into the target as JSON, as EID_Read does; with "
    "Fields, only the fields named, as EID_ReadFields does. When the card cannot be read, "
    "Get(LastError) is 1552 (no reader), 1553 (no card), 1554 (the card does not answer), 1555 "
    "(no connection), 1556 (a card file failed), 1557 (the smart card service failed) or 1558 "
    "(a field unknown, or none named), and Get(LastErrorDetail) says what happened.";

struct Expected {
    short id;
    std::string name;
    std::string prototype;
    std::string description;
    short minArgs;
    short maxArgs;
};

const std::vector<Expected> kTable = {
    {100, "EID_Read", "EID_Read( { reader ; photo } )", kReadDescription, 0, 2},
    {101, "EID_Readers", "EID_Readers( { format } )",
     "EID Readers|Returns the connected card readers, one per line. Empty means the system sees "
     "no reader. With \"json\", a JSON document of every reader with the state of its card "
     "(empty, mute, exclusive or present) and the card's ATR.",
     0, 1},
    {102, "EID_Version", "EID_Version( { format } )",
     "EID Version|Returns the version of the plug-in; with \"autoupdate\", as eight digits that "
     "compare as numbers (01000000 for 1.0).",
     0, 1},
    {103, "EID_WaitForCard", "EID_WaitForCard( { seconds ; reader } )",
     "EID WaitForCard|Waits until a card is in the reader (any reader when empty), at most the "
     "seconds given (30 by default, 0 to 600), and returns JSON naming the reader that holds it, "
     "or an error; errorDetail is \"timeout\" when no card came in time.",
     0, 2},
    {104, "EID_OnCardInserted", "EID_OnCardInserted( fileName ; scriptName { ; reader ; fields } )",
     "EID OnCardInserted|Starts the script of the file each time an eID card is inserted into the "
     "reader (any reader when empty), with the reader's name as the script parameter. With "
     "fields, e.g. \"surname givenNames\", the plug-in reads them from the card first, off "
     "FileMaker's thread, and the parameter is their JSON with the reader. Empty names stop it. "
     "Set it up once, e.g. in an OnFirstWindowOpen script.",
     2, 4},
    {105, "EID_SetLanguage", "EID_SetLanguage( language )",
     "EID SetLanguage|Sets the language of the messages for the person at the desk: nl, fr, de "
     "or en, also as Dutch, French, German, English or the language's own name, so "
     "EID_SetLanguage ( Get ( ApplicationLanguage ) ) works. Returns the code in force; empty "
     "changes nothing. Set it once, e.g. in an OnFirstWindowOpen script.",
     1, 1},
    {106, "EID_ReadFields", "EID_ReadFields( fields { ; reader } )",
     "EID ReadFields|Reads only the card fields named, e.g. \"surname givenNames dateOfBirth\" "
     "(separated by returns, commas, semicolons or spaces), and returns them as JSON in the order "
     "named; only the card files they need are read. Without a reader the eID card is found in "
     "whichever reader holds it. Ask only for the fields the solution may keep. Call it from a "
     "script, behind a button.",
     1, 2},
    {107, "EID_OnCardRemoved", "EID_OnCardRemoved( fileName ; scriptName { ; reader } )",
     "EID OnCardRemoved|Starts the script of the file each time an eID card is taken out of the "
     "reader (any reader when empty), with the reader's name as the script parameter: clear the "
     "card's data from the screen there. Empty names stop it.",
     2, 3},
};

// The functions `ids` and, with `step`, the script step, each as the host must know it.
void expectRegistered(const std::vector<short>& ids, bool step) {
    const auto steps = fakehost::scriptSteps();
    ASSERT_EQ(steps.size(), step ? 1u : 0u);
    if (step) {
        EXPECT_EQ(steps[0].pluginId, "TSRN");
        EXPECT_EQ(steps[0].stepId, 200);
        EXPECT_EQ(steps[0].name, "EID Read Card");
        EXPECT_EQ(steps[0].definition, kStepDefinition);
        EXPECT_EQ(steps[0].description, kStepDescription);
        EXPECT_EQ(steps[0].flags, 0x00FFFF7Eu);
        EXPECT_NE(steps[0].handler, nullptr);
    }
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

// FileMaker 15 (extension version 56) lacks calls the plug-in makes: it is refused.
TEST_F(PluginTest, InitRegistersTheTableFromExtensionVersion57On) {
    const struct {
        fmx::int16 version;
        fmx::ptrtype reply;
        std::vector<short> registered;
    } cases[] = {
        {-1, 0xFFFFFFFFFFFFFFFEu, {}},
        {0, 0xFFFFFFFFFFFFFFFEu, {}},
        {55, 0xFFFFFFFFFFFFFFFEu, {}},
        {56, 0xFFFFFFFFFFFFFFFEu, {}},
        {57, 77, {100, 101, 102, 103, 104, 105, 106, 107}},
        {77, 77, {100, 101, 102, 103, 104, 105, 106, 107}},
        {32767, 77, {100, 101, 102, 103, 104, 105, 106, 107}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        fakehost::reset();
        auto block = fmxhost::callBlock(*plugin, kFMXT_Init, c.version);
        fmxhost::send(*plugin, block);
        EXPECT_EQ(block.result, c.reply);
        expectRegistered(c.registered, !c.registered.empty());
        EXPECT_EQ(fakehost::callCount() == 0, c.registered.empty()) << "the host was called";
        EXPECT_EQ(fakehost::liveTexts(), 0);
        EXPECT_EQ(fakehost::liveQuadChars(), 0);
    }
}

// The host sends no Shutdown to a plug-in it did not enable, so a refusing Init withdraws what
// it registered; an enabled one keeps what it could register.
TEST_F(PluginTest, OnlyAFailedEidReadRegistrationDisablesThePlugin) {
    const struct {
        short failing;
        fmx::int64 reply;
        std::vector<short> registered;
        bool step;
        std::vector<short> withdrawn;
        std::vector<short> stepsWithdrawn;
    } cases[] = {
        {100, kDoNotEnable, {}, false, {101, 102, 103, 104, 105, 106, 107}, {200}},
        {101, 77, {100, 102, 103, 104, 105, 106, 107}, true, {}, {}},
        {102, 77, {100, 101, 103, 104, 105, 106, 107}, true, {}, {}},
        {200, 77, {100, 101, 102, 103, 104, 105, 106, 107}, false, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        fakehost::reset();
        fakehost::failRegistration(c.failing, 3);
        EXPECT_EQ(fmxhost::init(*plugin, 77), c.reply);
        expectRegistered(c.registered, c.step);
        EXPECT_EQ(fakehost::unregistrations(), c.withdrawn);
        EXPECT_EQ(fakehost::stepUnregistrations(), c.stepsWithdrawn);
        if (c.reply == kDoNotEnable) {
            continue;
        }
        fmxhost::shutdown(*plugin, 77);
        EXPECT_EQ(fakehost::unregistrations(),
                  (std::vector<short>{100, 101, 102, 103, 104, 105, 106, 107}));
        EXPECT_EQ(fakehost::stepUnregistrations(), std::vector<short>{200});
        EXPECT_TRUE(fakehost::registrations().empty());
        EXPECT_TRUE(fakehost::scriptSteps().empty());
    }
}

// A withdrawal the host fails does not keep the others registered.
TEST_F(PluginTest, EveryWithdrawalIsTriedWhateverTheHostFails) {
    start();
    const auto before = fakehost::callCount();
    fmxhost::shutdown(*plugin, 77);
    const auto calls = fakehost::calls();
    for (auto n = before; n < calls.size(); ++n) {
        if (calls[n] != "FM_ExprEnv_UnRegisterExternalFunction") {
            continue;
        }
        SCOPED_TRACE(n);
        fakehost::reset();
        start();
        fakehost::failCall(n - before + 1, 2);
        fmxhost::shutdown(*plugin, 77);
        EXPECT_EQ(fakehost::registrations().size(), 1u);
        EXPECT_TRUE(fakehost::scriptSteps().empty());
    }
}

TEST_F(PluginTest, ShutdownUnregistersInTableOrderFromExtensionVersion57On) {
    const struct {
        fmx::int16 version;
        std::vector<short> unregistered;
        std::vector<short> steps;
    } cases[] = {{55, {}, {}},
                 {56, {}, {}},
                 {57, {100, 101, 102, 103, 104, 105, 106, 107}, {200}},
                 {77, {100, 101, 102, 103, 104, 105, 106, 107}, {200}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        fakehost::reset();
        start();
        auto block = fmxhost::callBlock(*plugin, kFMXT_Shutdown, c.version);
        const auto before = block;
        fmxhost::send(*plugin, block);
        EXPECT_EQ(fakehost::unregistrations(), c.unregistered);
        EXPECT_EQ(fakehost::stepUnregistrations(), c.steps);
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
