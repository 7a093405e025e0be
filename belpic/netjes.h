// Tidying the texts read from the card. Byte-wise on UTF-8; only ASCII bytes are acted on.
#pragma once

#include <string>

namespace belpic {

// Blank runs become one space, zero bytes go, no blank at either end.
std::string opgekuist(const std::string& tekst);

// Drops bracketed groups of two to five capitals, such as "(NL)", then cleans up.
std::string straatNetjes(const std::string& tekst);

// A recognised "7 MEI 1985" becomes "07.05.1985"; anything else comes back cleaned up.
std::string datumNetjes(const std::string& tekst);

} // namespace belpic
