// The host shell: the entry point the host calls, the calculation functions (the card events'
// own work is in events.cpp) and the conversion of values at the border with the host.
// The SDK's headers compile only in this order.
// clang-format off
#include "FMWrapper/FMXExtern.h"
#include "FMWrapper/FMXTypes.h"
#include "FMWrapper/FMXText.h"
#include "FMWrapper/FMXData.h"
#include "FMWrapper/FMXCalcEngine.h"
// clang-format on

#include "belpic/kaart.h"
#include "belpic/lees.h"
#include "plugin/events.h"
#include "json/json.h"

#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <vector>

// The host finds these by name. The SDK marks the entry point for export only with MSVC, and
// the module is built with hidden symbols, so it is marked here. Only the macOS and Linux
// hosts read the global; FMX_StartScript reads it everywhere.
#if defined(_WIN32)
#define TESSARIN_EXPORT __declspec(dllexport)
FMX_ExternCallPtr gFMX_ExternCallPtr = nullptr;
#else
#define TESSARIN_EXPORT __attribute__((visibility("default")))
TESSARIN_EXPORT FMX_ExternCallPtr gFMX_ExternCallPtr = nullptr;
#endif
static void OnthoudBlok(FMX_ExternCallPtr blok) {
    gFMX_ExternCallPtr = blok;
}

namespace {

constexpr char kPluginId[] = "TSRN";
constexpr char kNaam[] = "Tessarin";
constexpr char kOmschrijving[] = "Reads the Belgian eID card through a card reader.";
// After the plug-in id: always 1, no preferences, always n, Init and Shutdown wanted, Idle wanted
// (scripts start from it), no SessionShutdown or FileShutdown, always n.
constexpr char kOpties[] = "1nnYYnn";
constexpr char kVersie[] = "Tessarin 1.0";

// kDisplayInAllDialogs | kFutureCompatible: offered everywhere, on every present and future
// kind of host.
constexpr fmx::uint32 kVlaggen = 0x00FFFF7E;

// What a handler returns when the host fails under it; the host then shows no result. These
// are the host's own error numbers for the two failures its SDK reports: "Memory error" and
// "Unknown error".
constexpr fmx::errcode kGeheugenFout = 2;
constexpr fmx::errcode kOnbekendeFout = -1;

fmx::QuadCharUniquePtr PluginId() {
    return fmx::QuadCharUniquePtr(kPluginId[0], kPluginId[1], kPluginId[2], kPluginId[3]);
}

// Host values <-> UTF-8. Each host call that reports a failure throws; the owners free what
// was made.

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

// The result keeps the locale of the first parameter, or the result value's own.
void GeefTerug(fmx::Data& resultaat, const fmx::DataVect& parameters, const std::string& tekst) {
    fmx::TextUniquePtr hostTekst;
    hostTekst->Assign(tekst.c_str(), fmx::Text::kEncoding_UTF8);
    const fmx::Locale& locale =
        parameters.Size() > 0 ? parameters.At(0).GetLocale() : resultaat.GetLocale();
    resultaat.SetAsText(*hostTekst, locale, fmx::Data::kDTText);
}

// Cut to `size` units, the terminating zero included; nothing at all fits in zero units.
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

// The calculation functions. A host failure under a handler leaves the result unset and
// returns an error, so the host never sees half a result; card and service failures are
// results like any other.

template <typename Werk>
fmx::errcode Afgeschermd(Werk werk) {
    try {
        werk();
        return 0;
    } catch (const std::bad_alloc&) {
        return kGeheugenFout;
    } catch (...) {
        return kOnbekendeFout;
    }
}

FMX_PROC(fmx::errcode)
Do_EID_Read(short, const fmx::ExprEnv&, const fmx::DataVect& parameters, fmx::Data& resultaat) {
    return Afgeschermd([&] {
        const std::string lezer = ArgumentAlsTekst(parameters, 0);
        belpic::Fout fout;
        const belpic::Gegevens gegevens = belpic::lees(lezer, fout);
        GeefTerug(resultaat, parameters,
                  fout.code != 0 ? belpic::foutAlsJson(fout) : belpic::alsJson(gegevens));
    });
}

FMX_PROC(fmx::errcode)
Do_EID_Readers(short, const fmx::ExprEnv&, const fmx::DataVect& parameters, fmx::Data& resultaat) {
    return Afgeschermd([&] {
        belpic::Fout fout;
        const std::vector<std::string> namen = belpic::Kaart::lezers(fout);
        std::string tekst;
        if (fout.code != 0) {
            tekst = "ERROR: " + fout.melding + " (" + fout.detail + ")";
        } else {
            for (const auto& naam : namen) {
                if (!tekst.empty()) {
                    tekst += '\r';
                }
                tekst += naam;
            }
        }
        GeefTerug(resultaat, parameters, tekst);
    });
}

FMX_PROC(fmx::errcode)
Do_EID_Version(short, const fmx::ExprEnv&, const fmx::DataVect& parameters, fmx::Data& resultaat) {
    return Afgeschermd([&] { GeefTerug(resultaat, parameters, kVersie); });
}

FMX_PROC(fmx::errcode)
Do_EID_WaitForCard(short, const fmx::ExprEnv&, const fmx::DataVect& parameters,
                   fmx::Data& resultaat) {
    return Afgeschermd([&] {
        GeefTerug(
            resultaat, parameters,
            events::WaitForCard(ArgumentAlsTekst(parameters, 0), ArgumentAlsTekst(parameters, 1)));
    });
}

FMX_PROC(fmx::errcode)
Do_EID_OnCardInserted(short, const fmx::ExprEnv&, const fmx::DataVect& parameters,
                      fmx::Data& resultaat) {
    return Afgeschermd([&] {
        GeefTerug(resultaat, parameters,
                  events::OnCardInserted(ArgumentAlsTekst(parameters, 0),
                                         ArgumentAlsTekst(parameters, 1),
                                         ArgumentAlsTekst(parameters, 2)));
    });
}

struct Functie {
    short id;
    const char* naam;
    const char* prototype;
    const char* omschrijving;
    short minimum;
    short maximum;
    fmx::ExtPluginType handler;
};

constexpr short kEidRead = 100;

const Functie kFuncties[] = {
    {kEidRead, "EID_Read", "EID_Read( { reader } )",
     "EID Read|Reads the Belgian eID card and returns the data as JSON, with the photo as "
     "base64. Without an argument the first reader is used. Call it from a script, behind a "
     "button. Every call is a full conversation with the card and takes about a second, so a "
     "calculation field, an unstored calculation or a Data Viewer watch will re-read the card "
     "over and over and make FileMaker crawl.",
     0, 1, Do_EID_Read},
    {101, "EID_Readers", "EID_Readers",
     "EID Readers|Returns the connected card readers, one per line. Empty means the system sees "
     "no reader.",
     0, 0, Do_EID_Readers},
    {102, "EID_Version", "EID_Version", "EID Version|Returns the version of the plug-in.", 0, 0,
     Do_EID_Version},
    {103, "EID_WaitForCard", "EID_WaitForCard( { seconds ; reader } )",
     "EID WaitForCard|Waits until a card is in the reader (any reader when empty), at most the "
     "seconds given (30 by default, 0 to 600), and returns JSON naming the reader that holds "
     "it, or an error; errorDetail is \"timeout\" when no card came in time.",
     0, 2, Do_EID_WaitForCard},
    {104, "EID_OnCardInserted", "EID_OnCardInserted( fileName ; scriptName { ; reader } )",
     "EID OnCardInserted|Starts the script of the file each time a card is inserted into the "
     "reader (any reader when empty), with the reader's name as the script parameter. Empty "
     "names stop it. Set it up once, e.g. in an OnFirstWindowOpen script.",
     2, 3, Do_EID_OnCardInserted},
};

// The host messages.

// The host enables the plug-in only when EID_Read is registered; the other two are offered
// whatever happened to it.
fmx::int64 Registreer(fmx::int16 extnVersion) {
    const fmx::QuadCharUniquePtr id = PluginId();
    fmx::TextUniquePtr naam;
    fmx::TextUniquePtr prototype;
    fmx::TextUniquePtr omschrijving;
    fmx::int64 antwoord = kDoNotEnable;
    if (extnVersion < k150ExtnVersion) {
        return antwoord;
    }
    for (const Functie& functie : kFuncties) {
        naam->Assign(functie.naam, fmx::Text::kEncoding_UTF8);
        prototype->Assign(functie.prototype, fmx::Text::kEncoding_UTF8);
        omschrijving->Assign(functie.omschrijving, fmx::Text::kEncoding_UTF8);
        const fmx::errcode fout = fmx::ExprEnv::RegisterExternalFunctionEx(
            *id, functie.id, *naam, *prototype, *omschrijving, functie.minimum, functie.maximum,
            kVlaggen, functie.handler);
        if (functie.id == kEidRead && fout == 0) {
            antwoord = kCurrentExtnVersion;
        }
    }
    return antwoord;
}

// A host failure midway leaves the plug-in disabled.
void Init(FMX_ExternCallStruct& blok) {
    events::Begin(blok.parm1);
    fmx::int64 antwoord = kDoNotEnable;
    try {
        antwoord = Registreer(blok.extnVersion);
    } catch (...) {
        antwoord = kDoNotEnable;
    }
    blok.result = static_cast<fmx::ptrtype>(antwoord);
}

void Shutdown(const FMX_ExternCallStruct& blok) {
    try {
        events::End();
        const fmx::QuadCharUniquePtr id = PluginId();
        if (blok.extnVersion >= k150ExtnVersion) {
            for (const Functie& functie : kFuncties) {
                fmx::ExprEnv::UnRegisterExternalFunction(*id, functie.id);
            }
        }
    } catch (...) {
        // Nothing is left to undo: the owners freed what was made.
    }
}

// A buffer too small for a reply gets as much as fits; a host failure gives the empty text.
void GetString(const FMX_ExternCallStruct& blok) {
    auto* buffer = reinterpret_cast<unsigned short*>(blok.result);
    const auto grootte = static_cast<fmx::uint32>(blok.parm3);
    try {
        switch (blok.parm1) {
        case kFMXT_NameStr:
            KopieerNaarUnichar16(kNaam, grootte, buffer);
            return;
        case kFMXT_AppConfigStr:
            KopieerNaarUnichar16(kOmschrijving, grootte, buffer);
            return;
        case kFMXT_OptionsStr:
            KopieerNaarUnichar16((std::string(kPluginId) + kOpties).c_str(), grootte, buffer);
            return;
        default:
            break;
        }
    } catch (...) {
        // The reply becomes the empty text below.
    }
    if (grootte > 0) {
        buffer[0] = 0;
    }
}

} // namespace

void Idle(const FMX_ExternCallStruct& blok) {
    try {
        events::Idle(blok);
    } catch (...) {
        // A host failure loses the scripts of this message; the watch goes on.
    }
}

// Every message not named here leaves the call block as it is.
TESSARIN_EXPORT void FMExternCallProc(FMX_ExternCallPtr blok) {
    OnthoudBlok(blok);
    switch (blok->whichCall) {
    case kFMXT_Init:
        Init(*blok);
        break;
    case kFMXT_Idle:
        Idle(*blok);
        break;
    case kFMXT_Shutdown:
        Shutdown(*blok);
        break;
    case kFMXT_GetString:
        GetString(*blok);
        break;
    default:
        break;
    }
}
