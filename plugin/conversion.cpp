#include "plugin/conversion.h"

#include <algorithm>
#include <vector>

std::string ArgumentAlsTekst(const fmx::DataVect& parameters, unsigned index) {
    if (parameters.Size() <= index) {
        return {};
    }
    const fmx::Text& tekst = parameters.AtAsText(index);
    const fmx::uint32 lengte = tekst.GetSize();
    if (lengte == 0) {
        return {};
    }
    // Four bytes per unit holds any text: a unit is at most three bytes of UTF-8, a pair
    // of units four.
    std::vector<char> buffer(4 * static_cast<std::size_t>(lengte) + 1, '\0');
    const fmx::uint32 geschreven =
        tekst.GetBytesEx(buffer.data(), static_cast<fmx::uint32>(buffer.size()), 0, lengte,
                         fmx::Text::kEncoding_UTF8);
    std::string resultaat(buffer.data(), std::min<std::size_t>(geschreven, buffer.size()));
    while (!resultaat.empty() && resultaat.back() == '\0') {
        resultaat.pop_back();
    }
    return resultaat;
}

bool ArgumentAlsJaNee(const fmx::DataVect& parameters, unsigned index, bool standaard) {
    if (parameters.Size() <= index) {
        return standaard;
    }
    const fmx::Data& waarde = parameters.At(index);
    if (waarde.IsEmpty()) {
        return standaard;
    }
    return waarde.GetAsBoolean();
}

void GeefTerug(fmx::Data& resultaat, const fmx::DataVect& parameters, const std::string& tekst) {
    fmx::TextUniquePtr hostTekst;
    hostTekst->Assign(tekst.c_str(), fmx::Text::kEncoding_UTF8);
    const fmx::Locale& locale =
        parameters.Size() > 0 ? parameters.At(0).GetLocale() : resultaat.GetLocale();
    resultaat.SetAsText(*hostTekst, locale, fmx::Data::kDTText);
}

void KopieerNaarUnichar16(const char* tekst, unsigned size, unsigned short* buffer) {
    if (size == 0) {
        return;
    }
    fmx::TextUniquePtr hostTekst;
    hostTekst->Assign(tekst, fmx::Text::kEncoding_UTF8);
    // Asked once: a second answer that differed from the first could lead past the buffer.
    const fmx::uint32 lengte = hostTekst->GetSize();
    const fmx::uint32 aantal = size > lengte ? lengte : size - 1;
    hostTekst->GetUnicode(buffer, 0, aantal);
    buffer[aantal] = 0;
}
