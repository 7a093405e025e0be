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

} // namespace
