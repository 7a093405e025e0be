// The card in the scripted service: its files and how it answers commands. It knows nothing of
// contexts, handles or transactions; the service hands it each command and returns its answer.
#pragma once

#include "pcscfake/pcscfake.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

namespace pcscfake {

enum class Soort { gewoon, eindeloos, corrigerend };

struct Bestand {
    Soort soort = Soort::gewoon;
    Bytes inhoud;
    std::uint8_t le = 0; // the 6C answer of a correcting file
};

struct Kaart {
    std::map<Bytes, Bestand> bestanden;
    bool corrigeer = false;       // 6C with what remains when more is asked
    bool leegAanEinde = false;    // 90 00 without data at or past the end, instead of 6B 00
    std::optional<Bytes> gekozen; // the selected file's path
    std::size_t eindeloosGelezen = 0;
};

// The card's answer to one command APDU, status word included.
Bytes antwoord(Kaart& kaart, const Bytes& apdu);

// A card powered up anew forgets its selected file.
void zetAan(Kaart& kaart);

} // namespace pcscfake
