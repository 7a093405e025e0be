// The card fields a read can ask for, by the names of the document, and what a read asks.
#pragma once

#include "belpic/bestand.h"
#include "belpic/fout.h"

#include <cstdint>
#include <string>
#include <vector>

namespace belpic {

// How a field's value is made from what the card stores.
enum class Vorm : std::uint8_t {
    tekst,  // the element's cleaned text (tekst)
    datum,  // the cleaned text as dd.mm.yyyy where it is a date (datumNetjes)
    straat, // the cleaned text without its language marks (straatNetjes)
    hex,    // the element's bytes as uppercase hexadecimal
    geheel, // the whole file's bytes as read; the document gives them as base64
};

// One row of the table: the name in the document, where the card keeps the value and its form.
struct Kaartveld {
    const char* naam;
    Bestand bestand;
    std::uint8_t tag; // of the element in a tag-length-value file; none for a whole file
    Vorm vorm;
};

// What a read asks of the card: the fields of its document in their order, each once, and the
// files to read for them, in the order they are read. The first of those is what a read looks
// for first on a card.
struct Vraag {
    std::vector<const Kaartveld*> velden;
    std::vector<Bestand> bestanden;
};

// EID_Read's question: its thirteen fields, photo last. Without `metFoto` the photo file is not
// read and the photo stays empty.
Vraag volledigeVraag(bool metFoto = true);

// The fields named in `lijst` (separated by any run of returns, line feeds, commas, semicolons,
// spaces and tabs; names match ignoring case), each once, in the order first named. An unknown
// name, or no name at all, fills `fout` and gives the empty question.
Vraag vraagNaar(const std::string& lijst, Fout& fout);

} // namespace belpic
