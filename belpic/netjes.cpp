#include "belpic/netjes.h"

#include <cstdio>
#include <vector>

namespace belpic {

namespace {

struct Maand {
    const char* afkorting;
    int maand;
};

// The spellings found on the cards, in Dutch, French and German; searched in this order.
constexpr Maand kMaanden[] = {
    {"JAN", 1},  {"JANV", 1}, {"FEB", 2},  {"FEVR", 2}, {"MAR", 3}, {"MAAR", 3}, {"MARS", 3},
    {"APR", 4},  {"AVR", 4},  {"MEI", 5},  {"MAI", 5},  {"MAY", 5}, {"JUN", 6},  {"JUIN", 6},
    {"JUL", 7},  {"JUIL", 7}, {"AUG", 8},  {"AOUT", 8}, {"SEP", 9}, {"SEPT", 9}, {"OCT", 10},
    {"OKT", 10}, {"NOV", 11}, {"DEC", 12}, {"DEZ", 12},
};

bool isBlank(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

bool isHoofdletter(char c) {
    return c >= 'A' && c <= 'Z';
}

bool isCijfer(char c) {
    return c >= '0' && c <= '9';
}

std::vector<std::string> stukken(const std::string& tekst) {
    std::vector<std::string> uit;
    std::size_t begin = 0;
    while (begin < tekst.size()) {
        std::size_t einde = tekst.find(' ', begin);
        if (einde == std::string::npos) {
            einde = tekst.size();
        }
        if (einde > begin) {
            uit.push_back(tekst.substr(begin, einde - begin));
        }
        begin = einde + 1;
    }
    return uit;
}

// A decimal integer after any vertical tabs or form feeds, with an optional sign and nothing
// after its digits. Numbers beyond `grens` in size are only reported as out of range, so no
// text can overflow them.
bool alsGetal(const std::string& stuk, long grens, long& getal) {
    std::size_t i = stuk.find_first_not_of("\v\f");
    if (i == std::string::npos) {
        return false;
    }
    const bool negatief = stuk[i] == '-';
    if (stuk[i] == '+' || stuk[i] == '-') {
        ++i;
    }
    if (i == stuk.size()) {
        return false;
    }
    long waarde = 0;
    for (; i < stuk.size(); ++i) {
        if (!isCijfer(stuk[i])) {
            return false;
        }
        if (waarde <= grens) {
            waarde = waarde * 10 + (stuk[i] - '0');
        }
    }
    getal = negatief ? -waarde : waarde;
    return true;
}

bool inBereik(const std::string& stuk, long laagste, long hoogste, long& getal) {
    return alsGetal(stuk, hoogste, getal) && getal >= laagste && getal <= hoogste;
}

int maandVan(std::string stuk) {
    for (char& c : stuk) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    for (const Maand& rij : kMaanden) {
        if (stuk == rij.afkorting) {
            return rij.maand;
        }
    }
    return 0;
}

} // namespace

std::string opgekuist(const std::string& tekst) {
    std::string uit;
    uit.reserve(tekst.size());
    bool inBlanco = false;
    for (char c : tekst) {
        if (c == '\0') {
            continue;
        }
        if (isBlank(c)) {
            if (!inBlanco) {
                uit += ' ';
            }
            inBlanco = true;
        } else {
            uit += c;
            inBlanco = false;
        }
    }
    const std::size_t begin = uit.find_first_not_of(' ');
    if (begin == std::string::npos) {
        return {};
    }
    return uit.substr(begin, uit.find_last_not_of(' ') - begin + 1);
}

std::string straatNetjes(const std::string& tekst) {
    std::string uit;
    uit.reserve(tekst.size());
    std::size_t i = 0;
    while (i < tekst.size()) {
        if (tekst[i] == '(') {
            std::size_t j = i + 1;
            while (j < tekst.size() && isHoofdletter(tekst[j])) {
                ++j;
            }
            const std::size_t k = j - i - 1;
            if (k >= 2 && k <= 5 && j < tekst.size() && tekst[j] == ')') {
                // The spaces before the group go with it, unless text follows it directly:
                // then they keep "12 (NL)1" from becoming one number.
                const bool gevolgd = j + 1 < tekst.size() && !isBlank(tekst[j + 1]);
                while (!gevolgd && !uit.empty() && uit.back() == ' ') {
                    uit.pop_back();
                }
                i = j + 1;
                continue;
            }
        }
        uit += tekst[i];
        ++i;
    }
    return opgekuist(uit);
}

std::string datumNetjes(const std::string& tekst) {
    std::string schoon = opgekuist(tekst);
    const std::vector<std::string> delen = stukken(schoon);
    long dag = 0;
    long jaar = 0;
    if (delen.size() != 3 || !inBereik(delen[0], 1, 31, dag) ||
        !inBereik(delen[2], 1000, 9999, jaar)) {
        return schoon;
    }
    const int maand = maandVan(delen[1]);
    if (maand == 0) {
        return schoon;
    }
    char datum[32];
    std::snprintf(datum, sizeof datum, "%02ld.%02d.%04ld", dag, maand, jaar);
    return datum;
}

} // namespace belpic
