// The JSON documents that EID_Read hands to the host.
#pragma once

#include "belpic/kaart.h"
#include "belpic/lees.h"

#include <string>
#include <vector>

namespace belpic {

std::string alsJson(const Gegevens& gegevens); // the card document, sixteen lines
// The error document, four lines: the sentence for the person at the desk and the detail.
std::string foutAlsJson(const std::string& melding, const std::string& detail);
std::string lezerAlsJson(const std::string& lezer); // a wait's answer: no error, the reader
std::string geslaagdAlsJson();                      // no error, and nothing more
// EID_Readers ( "json" ): no error, and every reader with the state of its card and the card's
// answer to reset in hexadecimal; "readers": [] for none.
std::string lezersAlsJson(const std::vector<Lezer>& lezers);

// A value escaped for use between the quotes of a JSON string.
std::string jsonTekst(const std::string& waarde);

} // namespace belpic
