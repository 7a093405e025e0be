// The JSON documents that the functions hand to the host.
#pragma once

#include "belpic/kaart.h"
#include "belpic/lees.h"

#include <string>
#include <vector>

namespace belpic {

// The card document: "error" empty, then one line per value, the photo as base64.
std::string alsJson(const Gegevens& gegevens);
// The error document, four lines: the sentence for the person at the desk and the detail.
std::string foutAlsJson(const std::string& melding, const std::string& detail);
std::string lezerAlsJson(const std::string& lezer); // a wait's answer: no error, the reader
// A card or error document above with one more member at its end: "reader".
std::string metLezer(std::string document, const std::string& lezer);
std::string geslaagdAlsJson(); // no error, and nothing more
// EID_Readers ( "json" ): no error, and every reader with the state of its card and the card's
// answer to reset in hexadecimal; "readers": [] for none.
std::string lezersAlsJson(const std::vector<Lezer>& lezers);

// A value escaped for use between the quotes of a JSON string.
std::string jsonTekst(const std::string& waarde);

} // namespace belpic
