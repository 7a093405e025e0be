// A card whose every answer comes from the fuzz input, played through the scripted PC/SC
// service, and a reading of the conversation it had that does not use the reader's code.
#pragma once

#include "pcscfake/pcscfake.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace kaartspel {

using Bytes = std::vector<std::uint8_t>;

inline void eis(bool waar, const char* wat) {
    if (!waar) {
        std::fprintf(stderr, "violated: %s\n", wat);
        std::abort();
    }
}

// One answer of the card: a service code, or (with kSuccess) the response bytes.
struct Antwoord {
    std::uint32_t code = pcscfake::kSuccess;
    Bytes bytes;
};

// Failures a service gives under a transmit: the card gone, the reader gone, the service gone.
inline constexpr std::uint32_t kTransmitFouten[] = {0x80100013, 0x80100069, 0x80100017, 0x8010001D,
                                                    0x80100066, 0x80100016, 0x8010002F, 0x80100068};

// The answers as the input lists them, each an opcode byte and what it needs. The card plays
// them in order and starts again from the first when they run out, so a card can answer for
// ever.
inline std::vector<Antwoord> antwoorden(const std::uint8_t* data, std::size_t size) {
    std::vector<Antwoord> lijst;
    std::size_t i = 0;
    const auto volgende = [&]() -> std::uint8_t { return i < size ? data[i++] : 0; };
    const auto gegevens = [&](std::size_t n) {
        Bytes b;
        for (std::size_t k = 0; k < n; ++k) {
            b.push_back(volgende());
        }
        return b;
    };
    while (i < size) {
        const std::uint8_t soort = volgende();
        Antwoord a;
        switch (soort % 8) {
        case 0: // some data and 90 00
            a.bytes = gegevens(volgende());
            a.bytes.insert(a.bytes.end(), {0x90, 0x00});
            break;
        case 1: { // a full chunk (Le 255, or 256 when the top bit says so) and 90 00
            a.bytes.assign(soort & 0x80 ? 256 : 255, volgende());
            a.bytes.insert(a.bytes.end(), {0x90, 0x00});
            break;
        }
        case 2:
            a.bytes = {0x6C, volgende()};
            break;
        case 3:
            a.bytes = {0x6B, volgende()};
            break;
        case 4: // a short answer: none, one or a few bytes
            a.bytes = gegevens(volgende() % 4);
            break;
        case 5: // any status word, maybe after data
            a.bytes = gegevens(soort >> 5);
            a.bytes.push_back(volgende());
            a.bytes.push_back(volgende());
            break;
        case 6:
            a.code = kTransmitFouten[volgende() % std::size(kTransmitFouten)];
            break;
        default: // the data that the last command asked for, whatever Le was, and 90 00
            a.code = pcscfake::kSuccess;
            a.bytes = {0xFF, volgende()}; // marker: filled in when played
            break;
        }
        lijst.push_back(std::move(a));
    }
    return lijst;
}

// Plays the list on the scripted service.
inline void speel(std::vector<Antwoord> lijst) {
    std::size_t n = 0;
    pcscfake::cardPlayer(
        [lijst = std::move(lijst), n](const Bytes& opdracht, Bytes& antwoord) mutable {
            if (lijst.empty()) {
                antwoord = {0x6B, 0x00};
                return pcscfake::kSuccess;
            }
            const Antwoord& a = lijst[n++ % lijst.size()];
            antwoord = a.bytes;
            if (a.code == pcscfake::kSuccess && a.bytes.size() == 2 && a.bytes[0] == 0xFF) {
                const std::size_t le = opdracht.size() == 5 ? (opdracht[4] ? opdracht[4] : 256) : 0;
                antwoord.assign(le, a.bytes[1]);
                antwoord.insert(antwoord.end(), {0x90, 0x00});
            }
            return a.code;
        });
}

// What one file read came to, by the rules of the card commands, from the conversation.
struct Bestand {
    bool gelukt = false; // selected, and read to the end the card showed
    Bytes inhoud;        // the data of every READ BINARY answered 90 00
    std::size_t lezingen = 0;
    bool buitenGrens = false; // a READ BINARY went past 32 KiB
};

inline bool selectie(const pcscfake::Record& r) {
    return r.command.size() >= 2 && r.command[1] == 0xA4;
}

// The transmits from `van` up to the next SELECT FILE (or the end), as one file read.
inline Bestand lees(const std::vector<pcscfake::Record>& t, std::size_t& van) {
    Bestand b;
    const pcscfake::Record& kies = t[van++];
    bool open = kies.result == pcscfake::kSuccess && kies.response.size() >= 2 &&
                kies.response[kies.response.size() - 2] == 0x90 && kies.response.back() == 0x00;
    for (; van < t.size() && !selectie(t[van]); ++van) {
        const pcscfake::Record& r = t[van];
        eis(open, "no READ BINARY after the file ended or failed");
        eis(r.command.size() == 5 && r.command[0] == 0x00 && r.command[1] == 0xB0, "READ BINARY");
        ++b.lezingen;
        const std::size_t offset = static_cast<std::size_t>(r.command[2]) << 8 | r.command[3];
        eis(offset == b.inhoud.size(), "each read starts where the data so far ends");
        b.buitenGrens = b.buitenGrens || (r.command[2] & 0x80) != 0;
        const Bytes& a = r.response;
        if (r.result != pcscfake::kSuccess || a.size() < 2) {
            open = false;
            continue;
        }
        const std::uint8_t sw1 = a[a.size() - 2];
        const std::uint8_t sw2 = a.back();
        if (sw1 == 0x6B) {
            b.gelukt = true;
            open = false;
        } else if (sw1 == 0x62 && sw2 == 0x82) { // the file ended early: the data is its last
            b.inhoud.insert(b.inhoud.end(), a.begin(), a.end() - 2);
            b.gelukt = true;
            open = false;
        } else if (sw1 == 0x6C && sw2 != 0x00) {
            // read again at the same offset
        } else if (sw1 == 0x90 && sw2 == 0x00) {
            b.inhoud.insert(b.inhoud.end(), a.begin(), a.end() - 2);
            if (a.size() - 2 < r.command[4]) {
                b.gelukt = true;
                open = false;
            }
        } else {
            open = false;
        }
    }
    return b;
}

} // namespace kaartspel
