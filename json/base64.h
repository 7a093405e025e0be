// Base64 (RFC 4648, section 4): standard alphabet, padded, one unbroken line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace belpic {

std::string base64(const std::uint8_t* bytes, std::size_t n);

inline std::string base64(const std::vector<std::uint8_t>& bytes) {
    return base64(bytes.data(), bytes.size());
}

} // namespace belpic
