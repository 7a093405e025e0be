// What the PC/SC service's answers mean to the core, shared by the card connection and the waits
// so that one return code reads the same to the user wherever it comes from.
#pragma once

#include "belpic/kaart.h"
#include "belpic/pcsc.h"

#include <string>
#include <vector>

namespace belpic {

// Where in the conversation the service answered.
enum Stap : unsigned {
    kContext = 1,   // SCardEstablishContext
    kLengte = 2,    // the first SCardListReaders, asking for the list's length
    kLijst = 4,     // the second SCardListReaders, filling the buffer
    kVerbinden = 8, // SCardConnect and SCardBeginTransaction
    kZenden = 16,   // SCardTransmit
    kWachten = 32,  // SCardGetStatusChange, waiting for a card
    kStaat = 64,    // SCardGetStatusChange, asking every reader's state at once
};

void zet(Fout& fout, std::int32_t code, Melding melding, std::string detail,
         std::string argument = "");

// Fills `fout` for the `code` that `functie` answered at `stap`; `lezer` is the reader meant.
void meld(Fout& fout, Stap stap, const char* functie, LONG code, const std::string& lezer = "");

// A new context for a Context to own, or 0 with `fout` filled.
std::int64_t maakContext(Fout& fout);

// The names of the readers the service lists on `context`, in its order. No reader at all is an
// empty list with `fout` clear; a failing list fills `fout`, on Windows as geenLezer.
std::vector<std::string> leesLezers(SCARDCONTEXT context, Fout& fout);

} // namespace belpic
