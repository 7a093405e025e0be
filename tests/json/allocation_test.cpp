// The encoders reserve their result once, up front: counting the allocations made during a
// call shows that the text never has to grow.
#include "json/base64.h"
#include "json/json.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {
thread_local std::size_t tAllocaties = 0;
} // namespace

void* operator new(std::size_t grootte) {
    ++tAllocaties;
    if (void* p = std::malloc(grootte == 0 ? 1 : grootte))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace belpic {
namespace {

template <typename Functie>
std::size_t allocatiesVan(Functie functie) {
    const std::size_t voor = tAllocaties;
    functie();
    return tAllocaties - voor;
}

TEST(Reserve, Base64AllocatesItsResultOnce) {
    // Lengths whose text is longer than a string holds without allocating.
    for (std::size_t lengte : {12u, 13u, 14u, 300u, 3000u, 65536u}) {
        const std::vector<std::uint8_t> bytes(lengte, 0xA5);
        std::string tekst;
        EXPECT_EQ(allocatiesVan([&] { tekst = base64(bytes); }), 1u) << "length " << lengte;
        EXPECT_EQ(tekst.size(), 4 * ((lengte + 2) / 3));
    }
}

TEST(Reserve, EscapingAllocatesOnceWhileTheResultFitsItsReserve) {
    // The reserve is the input length plus 8 bytes: escapes that add up to 8 bytes fit in it.
    const std::vector<std::string> invoer = {std::string(16, 'a'), std::string(5000, 'e'),
                                             "\"quoted\" C:\\dir\\x " + std::string(20, 'z'),
                                             "line\none\x01" + std::string(20, 'z')};
    for (const std::string& waarde : invoer) {
        std::string tekst;
        EXPECT_EQ(allocatiesVan([&] { tekst = belpic::jsonTekst(waarde); }), 1u) << waarde;
    }
}

} // namespace
} // namespace belpic
