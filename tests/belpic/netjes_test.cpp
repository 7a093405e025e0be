// The three text functions, each against a table of inputs and the text it must give.
#include "belpic/netjes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace belpic::test {
namespace {

struct Geval {
    std::string in;
    std::string uit;
};

using namespace std::string_literals; // zero bytes inside the literals

TEST(Opgekuist, CollapsesBlanksDropsZeroBytesAndTrims) {
    const std::vector<Geval> gevallen = {
        {"", ""},
        {"Jan", "Jan"},
        {"Jan  \t\r\nPeeters", "Jan Peeters"},
        {"  \t Jan Peeters \r\n", "Jan Peeters"},
        {" \t\r\n "s + '\0' + "  ", ""},
        {"\0\0\0"s, ""},
        {"A\0B"s, "AB"},
        {"A \0 B"s, "A B"},
        {"A\0 \0B"s, "A B"},
        {"A\vB", "A\vB"},
        {"A\fB", "A\fB"},
        {"\vA\v", "\vA\v"},
        {"A\x01\x1F\x7F"
         "B",
         "A\x01\x1F\x7F"
         "B"},
        {"Li\xC3\xA8ge  \xC3\xA9", "Li\xC3\xA8ge \xC3\xA9"},
        {"A\xC2\xA0 B", "A\xC2\xA0 B"}, // a no-break space is not a blank
        {"\xFF\x80", "\xFF\x80"},
        {" x ", "x"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(testing::PrintToString(g.in));
        EXPECT_EQ(opgekuist(g.in), g.uit);
    }
}

TEST(StraatNetjes, DropsBracketedGroupsOfTwoToFiveCapitals) {
    const std::vector<Geval> gevallen = {
        {"Kerkstraat 12 (NL)", "Kerkstraat 12"},
        {"Rue Haute 5 (BXL) bte 3", "Rue Haute 5 bte 3"},
        {"Markt 1(FR)", "Markt 1"},
        {"Markt 12 (NL)1", "Markt 12 1"}, // not the number 121
        {"Markt 12 (NL)(FR)1", "Markt 12 1"},
        {"Markt 1   (ABCDE)", "Markt 1"},
        {"Markt (DE) 1 (NL)", "Markt 1"},
        {"(NL)Markt 1", "Markt 1"},
        {"(NL)", ""},
        {"Markt (NL)(FR) 2", "Markt 2"},
        {"Markt 1 (A)", "Markt 1 (A)"},
        {"Markt 1 (ABCDEF)", "Markt 1 (ABCDEF)"},
        {"Markt 1 (Nl)", "Markt 1 (Nl)"},
        {"Markt 1 (N1)", "Markt 1 (N1)"},
        {"Markt 1 ( NL)", "Markt 1 ( NL)"},
        {"Markt 1 (NL", "Markt 1 (NL"},
        {"Markt 1 (", "Markt 1 ("},
        {"Markt 1 ()", "Markt 1 ()"},
        {"Markt ((NL))", "Markt ()"},
        {"Markt\t(NL) 3", "Markt 3"},
        {"  Kerkstraat   12  ", "Kerkstraat 12"},
        {"Place de l'\xC3\x89glise (FR)", "Place de l'\xC3\x89glise"},
        {"Markt (\xC3\x89T)", "Markt (\xC3\x89T)"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(g.in);
        EXPECT_EQ(straatNetjes(g.in), g.uit);
    }
}

TEST(DatumNetjes, RecognisedDatesBecomeDayMonthYear) {
    const std::vector<Geval> gevallen = {
        {"7 MEI 1985", "07.05.1985"},
        {"07 mei 1985", "07.05.1985"},
        {"15 AOUT 1990", "15.08.1990"},
        {"  1   JAN \t 2000 ", "01.01.2000"},
        {"31 FEB 2001", "31.02.2001"},
        {"+7 MEI 1985", "07.05.1985"},
        {"007 MEI 1985", "07.05.1985"},
        {"1 Janv 1000", "01.01.1000"},
        {"31 dez 9999", "31.12.9999"},
        {"\v7 MEI 1985", "07.05.1985"},
        {"\f\v1 MEI +1985", "01.05.1985"},
        {"12 MAAR 1970", "12.03.1970"},
        {"12 mars 1970", "12.03.1970"},
        {"12 MAR 1970", "12.03.1970"},
        {"12 MAY 1970", "12.05.1970"},
        {"12 JUIL 1970", "12.07.1970"},
        {"12 OKT 1970", "12.10.1970"},
        {"12 SEPT 1970", "12.09.1970"},
        {"12 FEVR 1970", "12.02.1970"},
        {"12 AVR 1970", "12.04.1970"},
        // Not recognised: the cleaned text comes back in its own letter case.
        {"07.05.1985", "07.05.1985"},
        {"7 MEI 85", "7 MEI 85"},
        {"7 MEI 10000", "7 MEI 10000"},
        {"7 MEI 999", "7 MEI 999"},
        {"0 MEI 1985", "0 MEI 1985"},
        {"32 MEI 1985", "32 MEI 1985"},
        {"-7 MEI 1985", "-7 MEI 1985"},
        {"7 MEI 1985 x", "7 MEI 1985 x"},
        {"7  mei", "7 mei"},
        {"7 FEV 1985", "7 FEV 1985"},
        {"7 M\xC3\x84R 1985", "7 M\xC3\x84R 1985"},
        {"7 JANUARI 1985", "7 JANUARI 1985"},
        {"7 Mei. 1985", "7 Mei. 1985"},
        {"7a MEI 1985", "7a MEI 1985"},
        {"+ MEI 1985", "+ MEI 1985"},
        {"7 MEI 1985a", "7 MEI 1985a"},
        {"99999999999999999999 MEI 1985", "99999999999999999999 MEI 1985"},
        {"7 MEI 99999999999999999999", "7 MEI 99999999999999999999"},
        {"7 MEI\0 1985"s, "07.05.1985"},
        {"", ""},
        {"\v", "\v"},
    };
    for (const Geval& g : gevallen) {
        SCOPED_TRACE(testing::PrintToString(g.in));
        EXPECT_EQ(datumNetjes(g.in), g.uit);
    }
}

} // namespace
} // namespace belpic::test
