// The plug-in's border conversions with texts and sizes the plug-in itself never passes:
// any argument texts at any index, any result text, and any text copied into a host buffer of
// any size, with guard zones around the buffer.
#include "plugin/conversion.h"

#include "fakehost/fakehost.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

namespace {

void eis(bool waar, const char* wat) {
    if (!waar) {
        std::fprintf(stderr, "violated: %s\n", wat);
        std::abort();
    }
}

constexpr std::size_t kWacht = 32;
constexpr unsigned short kWachtWaarde = 0x5A5A;

// What the handler below is to read and hand back.
unsigned gIndex = 0;
std::string gGelezen;
std::string gTerug;

FMX_PROC(fmx::errcode)
Proef(short, const fmx::ExprEnv&, const fmx::DataVect& parameters, fmx::Data& resultaat) {
    gGelezen = ArgumentAlsTekst(parameters, gIndex);
    GeefTerug(resultaat, parameters, gTerug);
    return 0;
}

// The host's own reading of a text: its UTF-16 form back in UTF-8.
std::string alsHost(const std::string& tekst) {
    return fakehost::utf8(fakehost::utf16(tekst));
}

std::string totNul(const std::string& tekst) {
    return tekst.substr(0, tekst.find('\0'));
}

// A copy with any text into any size, with one host call failing on request: with the SDK's
// own failures the copy ends in an exception, with any other code it goes on; in every case
// nothing is written outside the buffer.
void kopieer(FuzzedDataProvider& invoer) {
    const std::string tekst = totNul(invoer.ConsumeRandomLengthString(100));
    const auto grootte = invoer.ConsumeIntegralInRange<unsigned>(0, 120);
    const auto storing = invoer.ConsumeIntegralInRange<unsigned long>(0, 8);
    const auto code = invoer.ConsumeIntegralInRange<fmx::int32>(1, 4);
    std::vector<unsigned short> geheugen(grootte + 2 * kWacht, kWachtWaarde);
    unsigned short* buffer = geheugen.data() + kWacht;
    if (storing > 0) {
        fakehost::failCall(storing, code);
    }
    const auto voor = fakehost::callCount();
    bool geworpen = false;
    try {
        KopieerNaarUnichar16(tekst.c_str(), grootte, buffer);
    } catch (const std::exception&) {
        geworpen = true;
    }
    const bool gestoord = storing > 0 && voor + storing <= fakehost::callCount();
    if (storing > 0) {
        fakehost::failCall(0, 0); // nothing left pending
    }
    for (std::size_t i = 0; i < kWacht; ++i) {
        eis(geheugen[i] == kWachtWaarde && geheugen[kWacht + grootte + i] == kWachtWaarde,
            "nothing written outside the buffer");
    }
    if (grootte == 0) {
        return;
    }
    eis(!geworpen || (gestoord && code <= 2), "an exception only for the SDK's failures");
    if (gestoord) {
        return;
    }
    const std::u16string verwacht = fakehost::utf16(tekst).substr(0, grootte - 1);
    eis(std::u16string(buffer, buffer + verwacht.size()) == verwacht, "the text, cut");
    eis(buffer[verwacht.size()] == 0, "terminated right after it");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider invoer(data, size);
    fakehost::reset();

    std::vector<fakehost::Argument> argumenten(invoer.ConsumeIntegralInRange(0, 3));
    for (auto& argument : argumenten) {
        argument.text = invoer.ConsumeRandomLengthString(60);
    }
    gIndex = invoer.ConsumeIntegralInRange(0, 4);
    gTerug = invoer.ConsumeRandomLengthString(60);
    const fakehost::Result r = fakehost::call(Proef, 100, argumenten);
    eis(r.error == 0 && r.sets == 1, "the result set once");

    std::string verwacht;
    if (gIndex < argumenten.size()) {
        verwacht = alsHost(argumenten[gIndex].text);
        while (!verwacht.empty() && verwacht.back() == '\0') {
            verwacht.pop_back();
        }
    }
    eis(gGelezen == verwacht, "the argument as the host holds it, without trailing zeros");
    eis(fakehost::utf8(r.text) == alsHost(totNul(gTerug)), "the result, up to a zero byte");
    eis(r.locale == (argumenten.empty() ? "en_US" : argumenten[0].locale), "the locale");

    while (invoer.remaining_bytes() > 0) {
        kopieer(invoer);
    }
    eis(fakehost::misuses().empty(), "no misuse of the host's calls");
    eis(fakehost::liveTexts() == 0 && fakehost::liveQuadChars() == 0, "no host object left");
    return 0;
}
