// What a read of the card answers, as the functions, the script step and the watch hand it over:
// the card's document, or the error document in the language in force.
#pragma once

#include "belpic/fout.h"
#include "belpic/kaartvelden.h"
#include "belpic/lees.h"

#include <string>

namespace lezing {

struct Lezing {
    belpic::Fout fout;
    belpic::Gegevens gegevens;
};

// A read of `vraag` from the card in `lezer` (empty: the eID card in whichever reader holds it).
Lezing LeesKaart(const std::string& lezer, const belpic::Vraag& vraag);

// The fields named in `velden`; a list that names none, or a field that does not exist, is
// refused before the card is touched.
Lezing LeesVelden(const std::string& lezer, const std::string& velden);

std::string Document(const Lezing& lezing);

// The document a script started by the watch is given: Document with the reader last.
std::string Bezorgd(const Lezing& lezing, const std::string& lezer);

} // namespace lezing
