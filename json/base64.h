// Base64 (RFC 4648, section 4): standard alphabet, padded, one unbroken line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace belpic {

std::string base64(const std::vector<std::uint8_t>& bytes);

} // namespace belpic
