#include "json/base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace belpic {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesVan(const std::string& tekst) {
    return Bytes(tekst.begin(), tekst.end());
}

TEST(Base64, KnownVectors) {
    struct Geval {
        Bytes invoer;
        std::string verwacht;
    };
    const std::vector<Geval> gevallen = {
        {{}, ""},
        {bytesVan("f"), "Zg=="},
        {bytesVan("fo"), "Zm8="},
        {bytesVan("foo"), "Zm9v"},
        {bytesVan("foob"), "Zm9vYg=="},
        {bytesVan("fooba"), "Zm9vYmE="},
        {bytesVan("foobar"), "Zm9vYmFy"},
        {{0xFF, 0xD8, 0xFF, 0xE0}, "/9j/4A=="},
        {{0x00}, "AA=="},
        {{0x00, 0x00}, "AAA="},
        {{0x00, 0x00, 0x00}, "AAAA"},
        {{0xFF}, "/w=="},
        {{0xFF, 0xFF}, "//8="},
        {{0xFF, 0xFF, 0xFF}, "////"},
        {{0xFB, 0xEF, 0xBE}, "++++"},
        // The whole alphabet in order: standard, not the URL-safe one.
        {{0x00, 0x10, 0x83, 0x10, 0x51, 0x87, 0x20, 0x92, 0x8B, 0x30, 0xD3, 0x8F,
          0x41, 0x14, 0x93, 0x51, 0x55, 0x97, 0x61, 0x96, 0x9B, 0x71, 0xD7, 0x9F,
          0x82, 0x18, 0xA3, 0x92, 0x59, 0xA7, 0xA2, 0x9A, 0xAB, 0xB2, 0xDB, 0xAF,
          0xC3, 0x1C, 0xB3, 0xD3, 0x5D, 0xB7, 0xE3, 0x9E, 0xBB, 0xF3, 0xDF, 0xBF},
         "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"},
    };
    for (const Geval& geval : gevallen)
        EXPECT_EQ(base64(geval.invoer), geval.verwacht) << geval.verwacht;
}

// OpenSSL's decoder answers three bytes for every four characters, padding included, so the
// padding is taken off afterwards; it also skips surrounding blanks, which are checked apart.
Bytes decodeer(const std::string& tekst) {
    if (tekst.size() % 4 != 0)
        return {};
    Bytes bytes(tekst.size() / 4 * 3);
    const int n =
        EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(tekst.data()),
                        static_cast<int>(tekst.size()));
    if (n < 0 || static_cast<std::size_t>(n) != bytes.size())
        return {};
    std::size_t vulling = 0;
    while (vulling < 2 && vulling < tekst.size() && tekst[tekst.size() - 1 - vulling] == '=')
        ++vulling;
    bytes.resize(bytes.size() - vulling);
    return bytes;
}

std::string opensslEncode(const Bytes& bytes) {
    std::string tekst(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(tekst.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    tekst.resize(static_cast<std::size_t>(n));
    return tekst;
}

TEST(Base64, AgreesWithOpenSslForEveryLengthUpToSeveralThousand) {
    std::mt19937 toeval(20240611);
    for (std::size_t lengte = 0; lengte <= 4100; ++lengte) {
        Bytes bytes(lengte);
        for (std::uint8_t& byte : bytes)
            byte = static_cast<std::uint8_t>(toeval());
        const std::string tekst = base64(bytes);

        ASSERT_EQ(tekst.size(), 4 * ((lengte + 2) / 3)) << "length " << lengte;
        ASSERT_EQ(tekst.find_first_of("\r\n \t"), std::string::npos) << "length " << lengte;
        ASSERT_EQ(tekst, opensslEncode(bytes)) << "length " << lengte;
        ASSERT_EQ(decodeer(tekst), bytes) << "length " << lengte;
    }
}

} // namespace
} // namespace belpic
