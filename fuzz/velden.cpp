// The card file parser and the field clean-up, on any bytes.
//
// ontleed must agree with a plain walk over the elements; every text that leaves the clean-up
// has no blank at either end, no double space, no zero byte and no other blank than the space;
// a date of birth is either the cleaned text or ten characters dd.mm.yyyy.
#include "belpic/lees.h"
#include "belpic/netjes.h"
#include "belpic/tekens.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void eis(bool waar, const char* wat) {
    if (!waar) {
        std::fprintf(stderr, "violated: %s\n", wat);
        std::abort();
    }
}

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The invariants of every cleaned text, and no byte of the input lost but blanks and zeros.
void netjes(const std::string& uit) {
    eis(uit.empty() || (uit.front() != ' ' && uit.back() != ' '), "no blank at either end");
    eis(uit.find("  ") == std::string::npos, "no double space");
    eis(uit.find('\0') == std::string::npos, "no zero byte");
    eis(uit.find_first_of("\t\n\r") == std::string::npos, "no blank but the space");
}

std::string zonderBlanco(const std::string& tekst) {
    std::string uit;
    for (char c : tekst) {
        if (!blank(c) && c != '\0') {
            uit += c;
        }
    }
    return uit;
}

// Tag, length, value from byte 0 on; an element that runs past the end ends the walk.
belpic::Velden wandel(const belpic::Bytes& bestand) {
    belpic::Velden velden;
    std::size_t p = 0;
    while (bestand.size() - p >= 2) {
        const std::size_t lengte = bestand[p + 1];
        if (bestand.size() - p - 2 < lengte) {
            break;
        }
        velden[bestand[p]].assign(bestand.begin() + p + 2, bestand.begin() + p + 2 + lengte);
        p += 2 + lengte;
    }
    return velden;
}

bool cijfers(const std::string& tekst, std::size_t van, std::size_t aantal) {
    for (std::size_t i = van; i < van + aantal; ++i) {
        if (tekst[i] < '0' || tekst[i] > '9') {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string tekst(reinterpret_cast<const char*>(data), size);

    const std::string schoon = belpic::opgekuist(tekst);
    netjes(schoon);
    eis(schoon.size() <= tekst.size(), "clean-up never lengthens");
    eis(zonderBlanco(schoon) == zonderBlanco(tekst), "clean-up keeps every other byte");
    eis(belpic::opgekuist(schoon) == schoon, "clean-up twice changes nothing");

    const std::string straat = belpic::straatNetjes(tekst);
    netjes(straat);
    eis(straat.size() <= tekst.size(), "the street never lengthens");

    const std::string datum = belpic::datumNetjes(tekst);
    if (datum != schoon) {
        eis(datum.size() == 10 && datum[2] == '.' && datum[5] == '.', "a date is dd.mm.yyyy");
        eis(cijfers(datum, 0, 2) && cijfers(datum, 3, 2) && cijfers(datum, 6, 4), "digits");
        const int dag = std::atoi(datum.substr(0, 2).c_str());
        const int maand = std::atoi(datum.substr(3, 2).c_str());
        eis(dag >= 1 && dag <= 31 && maand >= 1 && maand <= 12 && datum[6] != '0',
            "day, month and year in range");
    }

    const belpic::Bytes bestand(data, data + size);
    const belpic::Velden velden = belpic::ontleed(bestand);
    eis(velden == wandel(bestand), "the parser agrees with a plain walk");
    for (const auto& [tag, waarde] : velden) {
        const std::string veld = belpic::tekst(velden, tag);
        netjes(veld);
        const std::string rauw(waarde.begin(), waarde.end());
        eis(veld == belpic::opgekuist(belpic::geldigUtf8(rauw)), "field text");
        eis(belpic::geldigUtf8(veld) == veld, "field text is UTF-8");
    }
    return 0;
}
