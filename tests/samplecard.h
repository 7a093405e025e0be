// The C++ tests' card data: the tag-length-value elements of the card's identity and address
// files, and the one sample card of a fictitious holder (the same holder as the Windows tests'
// script and the virtual card), put into the scripted PC/SC service.
#pragma once

#include "pcscfake/pcscfake.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace samplecard {

using Bytes = std::vector<std::uint8_t>;

// One element: the tag, the value's length in one byte, the value (at most 255 bytes).
inline Bytes element(std::uint8_t tag, const std::string& value) {
    Bytes bytes{tag, static_cast<std::uint8_t>(value.size())};
    for (const char c : value) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    return bytes;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const Bytes& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

inline Bytes elements(const std::vector<std::pair<std::uint8_t, std::string>>& values) {
    Bytes bytes;
    for (const auto& [tag, value] : values) {
        const Bytes e = element(tag, value);
        bytes.insert(bytes.end(), e.begin(), e.end());
    }
    return bytes;
}

inline const Bytes kIdentityPath = {0x3F, 0x00, 0xDF, 0x01, 0x40, 0x31};
inline const Bytes kAddressPath = {0x3F, 0x00, 0xDF, 0x01, 0x40, 0x33};
inline const Bytes kPhotoPath = {0x3F, 0x00, 0xDF, 0x01, 0x40, 0x35};

inline Bytes identityFile() {
    return elements({{0x01, "591234567800"},
                     {0x04, "02.06.2031"},
                     {0x06, "85031400000"},
                     {0x07, "Voorbeeld"},
                     {0x08, "An Marie"},
                     {0x0A, "Belg"},
                     {0x0B, "Gent"},
                     {0x0C, "14 MAAR 1985"},
                     {0x0D, "M"}});
}

inline Bytes addressFile() {
    return elements({{0x01, "Kerkstraat 12"}, {0x02, "9000"}, {0x03, "Gent"}});
}

inline const Bytes kPhoto = {0xFF, 0xD8, 0xFF, 0xE0};

// The paths of the files selected so far, in order.
inline std::vector<Bytes> selected() {
    std::vector<Bytes> paths;
    for (const auto& r : pcscfake::calls(pcscfake::Call::Transmit)) {
        if (r.command.size() > 5 && r.command[1] == 0xA4) {
            paths.emplace_back(r.command.begin() + 5, r.command.end());
        }
    }
    return paths;
}

// A card played from files by a test that plays the card itself (pcscfake::cardPlayer):
// SELECT FILE by path, READ BINARY of what is asked for or what remains, 6B 00 past the end.
struct FileCard {
    std::map<Bytes, Bytes> files;
    Bytes selected;

    std::uint32_t answer(const Bytes& apdu, Bytes& response) {
        if (apdu.size() >= 5 && apdu[1] == 0xA4) {
            selected.assign(apdu.begin() + 5, apdu.end());
            response = files.count(selected) ? Bytes{0x90, 0x00} : Bytes{0x6A, 0x82};
            return pcscfake::kSuccess;
        }
        const Bytes& file = files.at(selected);
        const std::size_t offset = static_cast<std::size_t>(apdu[2]) << 8 | apdu[3];
        if (offset >= file.size()) {
            response = {0x6B, 0x00};
            return pcscfake::kSuccess;
        }
        const std::size_t count = std::min<std::size_t>(apdu[4], file.size() - offset);
        response.assign(file.begin() + offset, file.begin() + offset + count);
        response.push_back(0x90);
        response.push_back(0x00);
        return pcscfake::kSuccess;
    }
};

// The sample card in the first of `readers`, with `photo` as its photo file.
inline void insert(const std::vector<std::string>& readers = {"Reader A"},
                   const Bytes& photo = kPhoto) {
    pcscfake::readers(readers);
    pcscfake::file(kIdentityPath, identityFile());
    pcscfake::file(kAddressPath, addressFile());
    pcscfake::file(kPhotoPath, photo);
}

} // namespace samplecard
