// Text encodings at the core's borders: card fields, the reader names of Windows, and bytes
// shown as text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace belpic {

// The text with every ill-formed UTF-8 sequence (stray bytes, a character cut short,
// over-long forms, surrogates, values past U+10FFFF) replaced by U+FFFD, one for each maximal
// ill-formed part; well-formed text comes back byte for byte.
std::string geldigUtf8(const std::string& tekst);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8Uit16(const std::u16string& tekst);

// UTF-8 to UTF-16; ill-formed parts become U+FFFD as in geldigUtf8.
std::u16string utf16Uit8(const std::string& tekst);

// The bytes as uppercase hexadecimal, two digits each: 3B 98 gives "3B98". In the header, so
// that the result encoding uses it without the core's code.
inline std::string hexTekst(const std::vector<std::uint8_t>& bytes) {
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string tekst;
    tekst.reserve(2 * bytes.size());
    for (const std::uint8_t byte : bytes) {
        tekst += kHex[byte >> 4];
        tekst += kHex[byte & 0xF];
    }
    return tekst;
}

} // namespace belpic
