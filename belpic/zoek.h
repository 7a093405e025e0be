// Finding the eID card among the readers on the desk, and leaving other cards as they were.
#pragma once

#include "belpic/kaart.h"

#include <string>

namespace belpic {

// Connects `kaart` to the eID card and selects on it the file at `pad`, the first file the read
// needs; true when it did, the card then connected for the rest of the read. The SELECT of that
// file tells the cards apart: no command is sent twice.
//
// With `lezer` named, the card in it is the one; if it refuses the file, the outcome is that
// refusal, and the card is left as found.
//
// With `lezer` empty, every reader holding a card is tried in the service's order, until a card
// selects the file. A card that refuses it with a status word is of another kind: it is left as
// found, neither reset nor unpowered. Any other failure is remembered and the search goes on.
// When no card selects the file the outcome is the first failure remembered; or, with cards of
// other kinds only, geenKaart with the detail "not an eID card: NAME (6A82); NAME (6D00)"; or,
// with no card at all, geenKaart "0x8010000C", without a connection.
//
// A card that another party reset while it was tried ends the search there, with its failure,
// so that the read can start again.
//
// Each card is waited for, while another program holds it, until `uiterlijk` at the latest.
bool zoek(Kaart& kaart, const std::string& lezer, const Bytes& pad, Tijdstip uiterlijk, Fout& fout);

} // namespace belpic
