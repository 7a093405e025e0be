// The fake host and the SDK stand-in's wrappers, on which every other test of the plug-in
// stands.
#include "fakehost/fakehost.h"

#include <gtest/gtest.h>

#include <new>

namespace {

class FakeHostTest : public testing::Test {
  protected:
    void SetUp() override { fakehost::reset(); }
};

TEST_F(FakeHostTest, ConvertsBetweenUtf8AndUtf16) {
    const struct {
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"", u""},
        {"Tessarin", u"Tessarin"},
        {"Li\xC3\xA8ge", u"Li\u00E8ge"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
        {"\xF0\x90\x80\x80", u"\xD800\xDC00"},
        {"\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.utf8);
        EXPECT_EQ(fakehost::utf16(c.utf8), c.utf16);
        EXPECT_EQ(fakehost::utf8(c.utf16), c.utf8);
    }
}

// One U+FFFD for each longest valid beginning of a broken sequence.
TEST_F(FakeHostTest, ReplacesMalformedInput) {
    const struct {
        std::string utf8;
        std::u16string utf16;
    } fromUtf8[] = {
        {"\x80", u"\uFFFD"},
        {"a\xC3", u"a\uFFFD"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                     // overlong
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},           // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
        {"\xF0\x9F\x98", u"\uFFFD"},                       // cut short
        {"\xF0\x9F\x98x", u"\uFFFDx"},
        {"\xFF", u"\uFFFD"},
    };
    for (const auto& c : fromUtf8) {
        SCOPED_TRACE(c.utf8);
        EXPECT_EQ(fakehost::utf16(c.utf8), c.utf16);
    }
    EXPECT_EQ(fakehost::utf8(u"a\xD83D"), "a\xEF\xBF\xBD");
    EXPECT_EQ(fakehost::utf8(u"\xDE00z"), "\xEF\xBF\xBDz");
    EXPECT_EQ(fakehost::utf8(u"\xD83D\xD83D\xDE00"), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

TEST_F(FakeHostTest, TextsKeepUtf16AndGiveUtf8CutBetweenCharacters) {
    fmx::TextUniquePtr text;
    text->Assign("A\xC3\xA8\xF0\x9F\x98\x80", fmx::Text::kEncoding_UTF8); // A, è, U+1F600
    EXPECT_EQ(text->GetSize(), 4u);

    fmx::uint16 units[4] = {9, 9, 9, 9};
    text->GetUnicode(units, 1, 3);
    EXPECT_EQ(units[0], 0xE8);
    EXPECT_EQ(units[1], 0xD83D);
    EXPECT_EQ(units[2], 0xDE00);
    EXPECT_EQ(units[3], 9) << "a terminator was written";

    const struct {
        fmx::uint32 buffersize, position, size;
        std::string bytes; // the zero byte counted when it fits
    } cases[] = {
        {20, 0, fmx::Text::kSize_End, std::string("A\xC3\xA8\xF0\x9F\x98\x80\0", 8)},
        {7, 0, fmx::Text::kSize_End, "A\xC3\xA8\xF0\x9F\x98\x80"},
        {6, 0, fmx::Text::kSize_End, std::string("A\xC3\xA8\0", 4)},
        {3, 0, fmx::Text::kSize_End, "A\xC3\xA8"},
        {2, 0, fmx::Text::kSize_End, std::string("A\0", 2)},
        {0, 0, fmx::Text::kSize_End, ""},
        {20, 1, 1, std::string("\xC3\xA8\0", 3)},
        {20, 2, 1, std::string("\xEF\xBF\xBD\0", 4)}, // half a pair
        {20, 4, 10, std::string("\0", 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.buffersize) + " " + std::to_string(c.position));
        std::string buffer(c.buffersize + 1, '#');
        const auto written = text->GetBytesEx(buffer.data(), c.buffersize, c.position, c.size);
        EXPECT_EQ(buffer.substr(0, written), c.bytes);
        EXPECT_EQ(buffer[c.buffersize], '#');
    }
    EXPECT_TRUE(fakehost::misuses().empty());
}

TEST_F(FakeHostTest, OwnersFreeWhatTheHostMadeEvenWhenItReportsAFailure) {
    for (const fmx::int32 code : {1, 2}) {
        fakehost::failCall(1, code);
        if (code == 1) {
            EXPECT_THROW(fmx::TextUniquePtr(), std::bad_alloc);
        } else {
            EXPECT_THROW(fmx::QuadCharUniquePtr('T', 'S', 'R', 'N'), std::exception);
        }
        EXPECT_EQ(fakehost::liveTexts(), 0);
        EXPECT_EQ(fakehost::liveQuadChars(), 0);
    }
    EXPECT_EQ(fakehost::calls(),
              (std::vector<std::string>{"FM_Text_Constructor1", "FM_Text_Delete",
                                        "FM_QuadChar_Constructor2", "FM_QuadChar_Delete"}));
}

TEST_F(FakeHostTest, AFailedCallDoesNothingAndThrowsByItsCode) {
    fmx::TextUniquePtr text;
    text->Assign("old", fmx::Text::kEncoding_UTF8);
    fakehost::failCall(2, 2);
    EXPECT_EQ(text->GetSize(), 3u);
    EXPECT_THROW(text->Assign("new", fmx::Text::kEncoding_UTF8), std::exception);
    fakehost::failCall(1, 1);
    EXPECT_THROW(text->GetSize(), std::bad_alloc);
    fmx::uint16 units[3];
    text->GetUnicode(units, 0, 3);
    EXPECT_EQ(std::u16string(units, units + 3), u"old");
    fakehost::failCall(1, 3); // not a code the wrapper knows: it goes on with the host's 0
    EXPECT_EQ(text->GetSize(), 0u);
}

TEST_F(FakeHostTest, RecordsMisusesAndReportsThemAsFailures) {
    fmx::TextUniquePtr text;
    EXPECT_THROW(text->Assign("x"), std::exception); // the native encoding, not UTF-8
    fmx::uint16 units[4];
    text->Assign("abc", fmx::Text::kEncoding_UTF8);
    EXPECT_THROW(text->GetUnicode(units, 1, 3), std::exception);
    char bytes[4];
    EXPECT_THROW(text->GetBytesEx(bytes, 4, 4, 1), std::exception);
    fmx::_fmxcpt x;
    FM_Text_Delete(units, x);
    EXPECT_EQ(x.m_code, 2);
    EXPECT_EQ(fakehost::misuses().size(), 4u);
    EXPECT_EQ(fakehost::liveTexts(), 1);
}

fmx::errcode Handler(short, const fmx::ExprEnv&, const fmx::DataVect& parms, fmx::Data& result) {
    const fmx::Text& argument = parms.AtAsText(parms.Size() - 1);
    result.SetAsText(argument, parms.At(0).GetLocale());
    return 7;
}

TEST_F(FakeHostTest, RegistersAndCallsFunctions) {
    fmx::QuadCharUniquePtr id('T', 'E', 'S', 'T');
    fmx::TextUniquePtr name;
    name->Assign("F\xC3\xA8", fmx::Text::kEncoding_UTF8);
    EXPECT_EQ(
        fmx::ExprEnv::RegisterExternalFunctionEx(*id, 5, *name, *name, *name, 1, 2, 0x42, Handler),
        0);
    fakehost::failRegistration(6, 9);
    EXPECT_EQ(
        fmx::ExprEnv::RegisterExternalFunctionEx(*id, 6, *name, *name, *name, 0, 0, 0, Handler), 9);
    const auto registered = fakehost::registrations();
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].pluginId, "TEST");
    EXPECT_EQ(registered[0].name, "F\xC3\xA8");
    EXPECT_EQ(registered[0].flags, 0x42u);

    const auto r = fakehost::call(fakehost::find("F\xC3\xA8")->handler, 5,
                                  {{"one", "nl_BE"}, {"tw\xC3\xA9\xF0\x9F\x98\x80", "fr_BE"}});
    EXPECT_EQ(r.error, 7);
    EXPECT_EQ(r.sets, 1);
    EXPECT_EQ(r.text, u"tw\u00E9\xD83D\xDE00");
    EXPECT_EQ(r.locale, "nl_BE");
    EXPECT_EQ(r.type, fmx::Data::kDTText);

    EXPECT_EQ(fmx::ExprEnv::UnRegisterExternalFunction(*id, 5), 0);
    EXPECT_TRUE(fakehost::registrations().empty());
    EXPECT_EQ(fakehost::unregistrations(), std::vector<short>{5});
}

TEST_F(FakeHostTest, ReadsAValueAsABooleanAsTheHostDoes) {
    const struct {
        std::string text;
        bool value;
    } cases[] = {
        {"", false},    {"0", false},    {"1", true},         {"2", true},     {"-1", true},
        {"0.5", true},  {"0.0", false},  {"00", false},       {"true", false}, {"false", false},
        {"yes", false}, {"no 0", false}, {"abc1", true},      {" 7 ", true},   {"-0", false},
        {"1e0", true},  {"0,1", true},   {"\xC3\xA9", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(fakehost::hostBoolean(c.text), c.value);
    }
}

// What a handler reads of its parameters through the Data readers.
struct Read {
    bool empty;
    bool boolean;
    fmx::int32 type;
    std::string text;
};
Read gRead;

fmx::errcode Reader(short, const fmx::ExprEnv&, const fmx::DataVect& parms, fmx::Data&) {
    const fmx::Data& value = parms.At(0);
    const fmx::Text& text = value.GetAsText();
    std::string bytes(4 * text.GetSize() + 1, '\0');
    bytes.resize(text.GetBytesEx(bytes.data(), static_cast<fmx::uint32>(bytes.size())));
    while (!bytes.empty() && bytes.back() == '\0') {
        bytes.pop_back();
    }
    gRead = {value.IsEmpty(), value.GetAsBoolean(), value.GetNativeType(), bytes};
    return 0;
}

TEST_F(FakeHostTest, ParametersAnswerTheDataReaders) {
    const struct {
        fakehost::Argument argument;
        bool empty;
        bool boolean;
    } cases[] = {
        {{"", "en_US", fmx::Data::kDTText}, true, false},
        {{"1", "en_US", fmx::Data::kDTNumber}, false, true},
        {{"0", "en_US", fmx::Data::kDTNumber}, false, false},
        {{"true", "nl_BE", fmx::Data::kDTText}, false, false},
        {{"Li\xC3\xA8ge 9", "fr_BE", fmx::Data::kDTText}, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument.text);
        EXPECT_EQ(fakehost::call(Reader, 1, {c.argument}).error, 0);
        EXPECT_EQ(gRead.empty, c.empty);
        EXPECT_EQ(gRead.boolean, c.boolean);
        EXPECT_EQ(gRead.type, c.argument.type);
        EXPECT_EQ(gRead.text, c.argument.text);
    }
    EXPECT_TRUE(fakehost::misuses().empty());
}

TEST_F(FakeHostTest, ReadsAStepDefinitionOrSaysWhyNot) {
    const std::string reader = "<Parameter ID=\"0\" Type=\"Calc\" Label=\"Reader\"/>";
    const std::string photo =
        "<Parameter ID=\"1\" Type=\"Bool\" Label=\"Photo\" Default=\"true\"/>";
    const std::string target = "<Parameter Type=\"Target\" Label=\"Result\"/>";
    std::string ten;
    for (int i = 0; i < 10; ++i) {
        ten += "<Parameter ID=\"" + std::to_string(i) + "\" Type=\"Calc\"/>";
    }
    const struct {
        std::string xml;
        std::string refusal; // its beginning; empty when accepted
        std::size_t parameters;
    } cases[] = {
        {"<PluginStep>" + reader + photo + target + "</PluginStep>", "", 3},
        {"<?xml version=\"1.0\"?>\n<PluginStep>\n  " + photo + "\n</PluginStep>\n", "", 1},
        {"<PluginStep/>", "", 0},
        {"<PluginStep>" + ten + "</PluginStep>", "", 10},
        {"<PluginStep>" + ten + target + "</PluginStep>", "11 parameters, at most 10", 0},
        {"<PluginStep><Parameter ID='3' Type=\"List\"><Value>A &amp; B</Value></Parameter>"
         "</PluginStep>",
         "", 1},
        {"<PluginStep>" + reader + photo + target, "not well formed", 0},
        {"<PluginStep>" + reader + "</pluginstep>", "not well formed", 0},
        {"<PluginStep><Parameter ID=0 Type=\"Calc\"/></PluginStep>", "not well formed", 0},
        {"<PluginStep><Parameter ID=\"0\"ID=\"1\"/></PluginStep>", "not well formed", 0},
        {"<PluginStep><Parameter ID=\"0\" ID=\"1\"/></PluginStep>", "not well formed", 0},
        {"<PluginStep>&nbsp;</PluginStep>", "not well formed", 0},
        {"<PluginStep><!-- x --></PluginStep>", "not well formed", 0},
        {"<PluginStep></PluginStep><PluginStep/>", "not well formed", 0},
        {"", "not well formed", 0},
        {"<Step>" + reader + "</Step>", "the root is <Step>", 0},
        {"<PluginStep><Param ID=\"0\"/></PluginStep>", "<Param> in <PluginStep>", 0},
        {"<PluginStep><Parameter Type=\"Calc\"/></PluginStep>", "parameter  has ID \"\"", 0},
        {"<PluginStep><Parameter ID=\"10\" Type=\"Calc\"/></PluginStep>", "parameter  has ID", 0},
        {"<PluginStep><Parameter ID=\"-1\" Type=\"Calc\"/></PluginStep>", "parameter  has ID", 0},
        {"<PluginStep>" + reader + reader + "</PluginStep>", "ID 0 repeated", 0},
        {"<PluginStep>" + target + target + "</PluginStep>", "more than one Target", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        const auto d = fakehost::readStepDefinition(c.xml);
        EXPECT_EQ(d.refusal.rfind(c.refusal, 0), 0u) << d.refusal;
        EXPECT_EQ(d.refusal.empty(), c.refusal.empty()) << d.refusal;
        EXPECT_EQ(d.parameters.size(), c.parameters);
    }
    const auto d = fakehost::readStepDefinition("<PluginStep>" + target + photo + "</PluginStep>");
    ASSERT_EQ(d.parameters.size(), 2u);
    EXPECT_EQ(d.parameters[0].id, -1);
    EXPECT_EQ(d.parameters[0].type, "Target");
    EXPECT_EQ(d.parameters[1].id, 1);
    EXPECT_EQ(d.parameters[1].label, "Photo");
    EXPECT_EQ(d.parameters[1].defaultValue, "true");
}

// The step's parameters by ID: values fill them in ID order, not in the definition's order.
fmx::errcode StepHandler(short, const fmx::ExprEnv&, const fmx::DataVect& parms,
                         fmx::Data& result) {
    std::string seen;
    for (fmx::uint32 i = 0; i < parms.Size(); ++i) {
        const fmx::Text& text = parms.AtAsText(i);
        std::string bytes(4 * text.GetSize() + 1, '\0');
        bytes.resize(text.GetBytesEx(bytes.data(), static_cast<fmx::uint32>(bytes.size())));
        bytes = bytes.c_str();
        seen += std::to_string(parms.At(i).GetNativeType()) + ":" + bytes + ";";
    }
    fmx::TextUniquePtr text;
    text->Assign(seen.c_str(), fmx::Text::kEncoding_UTF8);
    result.SetAsText(*text, result.GetLocale());
    return 3;
}

TEST_F(FakeHostTest, RegistersAndPerformsScriptSteps) {
    fmx::QuadCharUniquePtr id('T', 'E', 'S', 'T');
    fmx::TextUniquePtr name;
    name->Assign("Step", fmx::Text::kEncoding_UTF8);
    fmx::TextUniquePtr definition;
    definition->Assign("<PluginStep><Parameter ID=\"2\" Type=\"Bool\" Default=\"true\"/>"
                       "<Parameter Type=\"Target\"/><Parameter ID=\"0\" Type=\"Calc\"/>"
                       "</PluginStep>",
                       fmx::Text::kEncoding_UTF8);
    EXPECT_EQ(
        fmx::ExprEnv::RegisterScriptStep(*id, 300, *name, *definition, *name, 0x42, StepHandler),
        0);
    const auto step = fakehost::findStep("Step");
    ASSERT_TRUE(step);
    EXPECT_EQ(step->stepId, 300);
    EXPECT_EQ(step->flags, 0x42u);
    const struct {
        std::vector<std::string> values;
        std::string seen;
    } cases[] = {
        {{}, "1:;1:;2:1;"},          {{"x"}, "1:x;1:;2:1;"},
        {{"x", "0"}, "1:x;1:;2:0;"}, {{"x", "true"}, "1:x;1:;2:0;"},
        {{"", "5"}, "1:;1:;2:1;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seen);
        const auto r = fakehost::performStep(*step, c.values);
        EXPECT_EQ(r.error, 3);
        EXPECT_EQ(fakehost::utf8(r.text), c.seen);
    }

    // A definition the host would not read is a misuse; nothing is registered.
    definition->Assign("<PluginStep><Parameter ID=\"0\"/><Parameter ID=\"0\"/></PluginStep>",
                       fmx::Text::kEncoding_UTF8);
    EXPECT_THROW(
        fmx::ExprEnv::RegisterScriptStep(*id, 301, *name, *definition, *name, 0, StepHandler),
        std::exception);
    ASSERT_EQ(fakehost::misuses().size(), 1u);
    EXPECT_NE(fakehost::misuses()[0].find("ID 0 repeated"), std::string::npos);
    definition->Assign("<PluginStep/>", fmx::Text::kEncoding_UTF8);
    fakehost::failRegistration(302, 9);
    EXPECT_EQ(fmx::ExprEnv::RegisterScriptStep(*id, 302, *name, *definition, *name, 0, StepHandler),
              9);
    EXPECT_EQ(fakehost::scriptSteps().size(), 1u);

    EXPECT_EQ(fmx::ExprEnv::UnRegisterScriptStep(*id, 300), 0);
    EXPECT_TRUE(fakehost::scriptSteps().empty());
    EXPECT_EQ(fakehost::stepUnregistrations(), std::vector<short>{300});
}

} // namespace
