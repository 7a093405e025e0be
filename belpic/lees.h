// Reading a whole card into one record, and the tag-length-value format of its files.
#pragma once

#include "belpic/kaart.h"

#include <map>
#include <mutex>
#include <string>

namespace belpic {

// One card's data, complete or all empty. The member order is the order of the JSON document.
struct Gegevens {
    std::string kaartnummer;
    std::string achternaam;
    std::string voornamen;
    std::string geboortedatum;
    std::string geboorteplaats;
    std::string geslacht;
    std::string nationaliteit;
    std::string geldigTot;
    std::string rijksregisternummer;
    std::string straat;
    std::string postcode;
    std::string gemeente;
    Bytes foto;
};

using Velden = std::map<std::uint8_t, Bytes>;

// One complete conversation with the card in `lezer` (empty: the eID card, wherever zoek finds it);
// without `metFoto` the photo file is neither selected nor read. One conversation at a time in a
// process: a second caller waits for the first. When another party resets the card during the
// conversation, the whole read starts again once from a new connection.
Gegevens lees(const std::string& lezer, Fout& fout, bool metFoto = true);

// The lock that lees holds for the whole of a conversation.
std::mutex& gesprekSlot();

// Tag-length-value elements from byte 0 on; the last occurrence of a tag wins.
Velden ontleed(const Bytes& bestand);

// The cleaned text of a tag's value, or the empty string when the tag is absent. Bytes that are
// not UTF-8 become U+FFFD, so that no decoder downstream can take them with what follows.
std::string tekst(const Velden& velden, std::uint8_t tag);

} // namespace belpic
