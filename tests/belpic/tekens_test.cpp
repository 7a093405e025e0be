// The text encodings at the core's borders: card fields made valid UTF-8, and Windows' UTF-16
// reader names.
#include "belpic/tekens.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace belpic::test {
namespace {

const std::string kVervanging = "\xEF\xBF\xBD"; // U+FFFD

TEST(GeldigUtf8, WellFormedTextStaysByteForByte) {
    const std::vector<std::string> teksten = {
        "",
        "Kerkstraat 12",
        std::string("A\0B", 3),
        "\x7F",             // U+007F, the last one-byte character
        "\xC2\x80",         // U+0080
        "Li\xC3\xA8ge",     // U+00E8
        "\xDF\xBF",         // U+07FF
        "\xE0\xA0\x80",     // U+0800
        "\xE2\x82\xAC",     // U+20AC
        "\xED\x9F\xBF",     // U+D7FF, just below the surrogates
        "\xEE\x80\x80",     // U+E000, just above them
        "\xEF\xBF\xBD",     // U+FFFD itself
        "\xEF\xBF\xBF",     // U+FFFF
        "\xF0\x90\x80\x80", // U+10000
        "\xF0\x9F\x98\x80", // U+1F600
        "\xF4\x8F\xBF\xBF", // U+10FFFF, the last
    };
    for (const std::string& t : teksten) {
        SCOPED_TRACE(t);
        EXPECT_EQ(geldigUtf8(t), t);
    }
}

TEST(GeldigUtf8, EachIllFormedPartBecomesOneReplacement) {
    const std::string v = kVervanging;
    struct Geval {
        const char* naam;
        std::string in;
        std::string uit;
    };
    const std::vector<Geval> gevallen = {
        {"two-byte character cut at the end", "Li\xC3", "Li" + v},
        {"three-byte character cut after two", "\xE2\x82", v},
        {"four-byte character cut after three", "x\xF0\x9F\x98", "x" + v},
        {"cut character before a closing quote keeps the quote", "\xC3\"}", v + "\"}"},
        {"cut character before a backslash", "\xE2\x82\\n", v + "\\n"},
        {"stray continuation byte",
         "a\x80"
         "b",
         "a" + v + "b"},
        {"two stray continuation bytes", "\xBF\xBF", v + v},
        {"Latin-1 byte", "Li\xE8ge", "Li" + v + "ge"},
        {"C0 and C1 never start a character", "\xC0\xAF\xC1\xBF", v + v + v + v},
        {"bytes F5 to FF never appear", "\xF5\xFE\xFF", v + v + v},
        {"over-long three-byte form", "\xE0\x80\x80", v + v + v},
        {"over-long four-byte form", "\xF0\x8F\xBF\xBF", v + v + v + v},
        {"surrogate", "\xED\xA0\x80", v + v + v},
        {"past U+10FFFF", "\xF4\x90\x80\x80", v + v + v + v},
        {"lead byte followed by a lead byte", "\xC3\xC3\xA8", v + "\xC3\xA8"},
        {"lead byte followed by ASCII",
         "\xE2"
         "A",
         v + "A"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        EXPECT_EQ(geldigUtf8(g.in), g.uit);
    }
}

TEST(Utf16, ConvertsBothWaysAndReplacesWhatCannotBeConverted) {
    struct Geval {
        const char* naam;
        std::u16string utf16;
        std::string utf8;
        bool heen; // UTF-8 to UTF-16 gives `utf16` back as well
    };
    const std::vector<Geval> gevallen = {
        {"empty", u"", "", true},
        {"ASCII", u"Reader A 0", "Reader A 0", true},
        {"Latin", u"Lecteur \u00E9", "Lecteur \xC3\xA9", true},
        {"U+0800 and U+FFFF", u"\u0800\uFFFF", "\xE0\xA0\x80\xEF\xBF\xBF", true},
        {"surrogate pair", u"\U0001F600", "\xF0\x9F\x98\x80", true},
        {"last code point", u"\U0010FFFF", "\xF4\x8F\xBF\xBF", true},
        {"NUL kept", std::u16string(u"A\0B", 3), std::string("A\0B", 3), true},
        {"lone high surrogate at the end", std::u16string{u'A', 0xD83D}, "A" + kVervanging, false},
        {"lone low surrogate", std::u16string{0xDE00, u'B'}, kVervanging + "B", false},
        {"high surrogate before a letter", std::u16string{0xD83D, u'C'}, kVervanging + "C", false},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.naam);
        EXPECT_EQ(utf8Uit16(g.utf16), g.utf8);
        if (g.heen) {
            EXPECT_EQ(utf16Uit8(g.utf8), g.utf16);
        }
    }
    EXPECT_EQ(utf16Uit8("a\xC3"), (std::u16string{u'a', 0xFFFD}));
    EXPECT_EQ(utf16Uit8("\xED\xA0\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD}));
}

} // namespace
} // namespace belpic::test
