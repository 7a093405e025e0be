// Text encodings at the core's borders: card fields and the reader names of Windows.
#pragma once

#include <string>

namespace belpic {

// The text with every ill-formed UTF-8 sequence (stray bytes, a character cut short,
// over-long forms, surrogates, values past U+10FFFF) replaced by U+FFFD, one for each maximal
// ill-formed part; well-formed text comes back byte for byte.
std::string geldigUtf8(const std::string& tekst);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8Uit16(const std::u16string& tekst);

// UTF-8 to UTF-16; ill-formed parts become U+FFFD as in geldigUtf8.
std::u16string utf16Uit8(const std::string& tekst);

} // namespace belpic
