// The host shell: the entry point the host calls, the calculation functions and the script
// step (the card events' own work is in events.cpp).
#include "plugin/conversion.h"

#include "belpic/kaart.h"
#include "belpic/lees.h"
#include "belpic/sessie.h"
#include "plugin/events.h"
#include "plugin/language.h"
#include "plugin/lezing.h"
#include "plugin/module.h"
#include "json/json.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

// The host finds these by name. The SDK marks the entry point for export only with MSVC, and
// the module is built with hidden symbols, so it is marked here. Only the macOS and Linux
// hosts read the global, which Init sets from its own call block. No other message writes it:
// those may come on other threads, and the plug-in itself reads only the block of the message
// at hand (a script starts through its Idle message's block).
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

using lezing::Lezing;

constexpr char kPluginId[] = "TSRN";
constexpr char kNaam[] = "Tessarin";
constexpr char kOmschrijving[] = "Reads the Belgian eID card through a card reader.";
// After the plug-in id: always 1, no preferences, always n, Init and Shutdown wanted, Idle wanted
// (scripts start from it), no SessionShutdown or FileShutdown, always n.
constexpr char kOpties[] = "1nnYYnn";
constexpr char kVersie[] = TESSARIN_VERSION; // the project's (CMakeLists.txt)

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

// The calculation functions and the script step. A host failure under a handler leaves the
// result unset and returns an error, so the host never sees half a result. The functions
// give card and service failures as text; the step gives them as an error code the script
// can trap, with the sentence for the user as the error's detail.

// A call to the smart-card service given up on (another program held the card) runs on in a
// thread of its own: from then on the module stays loaded.
template <typename Werk>
fmx::errcode Afgeschermd(Werk werk) {
    struct Nazorg {
        ~Nazorg() {
            if (belpic::draadAchtergelaten()) {
                module::KeepLoaded();
            }
        }
    } nazorg;
    try {
        return werk();
    } catch (const std::bad_alloc&) {
        return kGeheugenFout;
    } catch (...) {
        return kOnbekendeFout;
    }
}

// Parameter 0 names the reader (empty: the eID card in any reader), parameter 1 asks for the photo
// (missing or empty: yes).
FMX_PROC(fmx::errcode)
Do_EID_Read(short, const fmx::ExprEnv&, const fmx::DataVect& parameters, fmx::Data& resultaat) {
    return Afgeschermd([&] {
        const Lezing lezing =
            lezing::LeesKaart(ArgumentAlsTekst(parameters, 0),
                              belpic::volledigeVraag(ArgumentAlsJaNee(parameters, 1, true)));
        GeefTerug(resultaat, parameters, lezing::Document(lezing));
        return fmx::errcode{0};
    });
}

// Parameter 0 names the fields, parameter 1 the reader.
FMX_PROC(fmx::errcode)
Do_EID_ReadFields(short, const fmx::ExprEnv&, const fmx::DataVect& parameters,
                  fmx::Data& resultaat) {
    return Afgeschermd([&] {
        const Lezing lezing =
            lezing::LeesVelden(ArgumentAlsTekst(parameters, 1), ArgumentAlsTekst(parameters, 0));
        GeefTerug(resultaat, parameters, lezing::Document(lezing));
        return fmx::errcode{0};
    });
}

// The step's error code for each category of failure a read can have; the host takes the
// result text as the error's detail.
struct StapFout {
    std::int32_t categorie;
    fmx::errcode code;
};

constexpr StapFout kStapFouten[] = {
    {belpic::geenLezer, fmx::ExprEnv::kPluginErrResult1},      // 1552
    {belpic::geenKaart, fmx::ExprEnv::kPluginErrResult2},      // 1553
    {belpic::kaartZwijgt, fmx::ExprEnv::kPluginErrResult3},    // 1554
    {belpic::geenVerbinding, fmx::ExprEnv::kPluginErrResult4}, // 1555
    {belpic::kaartBestand, fmx::ExprEnv::kPluginErrResult5},   // 1556
    {belpic::kaartDienst, fmx::ExprEnv::kPluginErrResult6},    // 1557
    {belpic::verkeerdeVraag, fmx::ExprEnv::kPluginErrResult7}, // 1558: the question itself
};

// A category that no read gives is the host's "Unknown error".
fmx::errcode StapCode(std::int32_t categorie) {
    for (const StapFout& fout : kStapFouten) {
        if (fout.categorie == categorie) {
            return fout.code;
        }
    }
    return kOnbekendeFout;
}

// Parameters 0 and 1 as EID_Read's; parameter 2, when not empty, names the fields as
// EID_ReadFields' first, and the photo parameter then counts for nothing.
Lezing LeesStap(const fmx::DataVect& parameters) {
    const std::string lezer = ArgumentAlsTekst(parameters, 0);
    const std::string velden = ArgumentAlsTekst(parameters, 2);
    if (!velden.empty()) {
        return lezing::LeesVelden(lezer, velden);
    }
    return lezing::LeesKaart(lezer, belpic::volledigeVraag(ArgumentAlsJaNee(parameters, 1, true)));
}

FMX_PROC(fmx::errcode)
Do_EID_ReadCard(short, const fmx::ExprEnv&, const fmx::DataVect& parameters, fmx::Data& resultaat) {
    return Afgeschermd([&] {
        const Lezing lezing = LeesStap(parameters);
        if (lezing.fout.code != belpic::geenFout) {
            GeefTerug(resultaat, parameters, language::Sentence(lezing.fout));
            return StapCode(lezing.fout.code);
        }
        GeefTerug(resultaat, parameters, belpic::alsJson(lezing.gegevens));
        return fmx::errcode{0};
    });
}

// The reader names one per line, or the error line.
std::string LezersAlsTekst() {
    belpic::Fout fout;
    const std::vector<std::string> namen = belpic::Kaart::lezers(fout);
    if (fout.code != belpic::geenFout) {
        return "ERROR: " + language::Sentence(fout) + " (" + fout.detail + ")";
    }
    std::string tekst;
    for (const auto& naam : namen) {
        if (!tekst.empty()) {
            tekst += '\r';
        }
        tekst += naam;
    }
    return tekst;
}

// Every reader with the state of its card, or the error document. Here no reader is an empty
// list, not a failure, as in the names.
std::string LezersAlsDocument() {
    belpic::Kaart kaart;
    belpic::Fout fout;
    const std::vector<belpic::Lezer> lezers = kaart.lezersMetKaart(fout);
    if (fout.code != belpic::geenFout && fout.code != belpic::geenLezer) {
        return language::ErrorDocument(fout);
    }
    return belpic::lezersAlsJson(lezers);
}

// "json" as a person may type it: in any case, with blanks or returns around it.
bool VraagtJson(const std::string& vorm) {
    const char* const kBlanco = " \t\r\n";
    const std::size_t begin = vorm.find_first_not_of(kBlanco);
    if (begin == std::string::npos) {
        return false;
    }
    std::string woord = vorm.substr(begin, vorm.find_last_not_of(kBlanco) + 1 - begin);
    std::transform(woord.begin(), woord.end(), woord.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return woord == "json";
}

FMX_PROC(fmx::errcode)
Do_EID_Readers(short, const fmx::ExprEnv&, const fmx::DataVect& parameters, fmx::Data& resultaat) {
    return Afgeschermd([&] {
        GeefTerug(resultaat, parameters,
                  VraagtJson(ArgumentAlsTekst(parameters, 0)) ? LezersAlsDocument()
                                                              : LezersAlsTekst());
        return fmx::errcode{0};
    });
}

// The version as eight digits, two per part, so that versions compare as numbers and as
// texts: 1.0 gives 01000000, 2.3.1 gives 02030100.
std::string Vergelijkbaar(const std::string& versie) {
    std::string cijfers;
    std::size_t begin = 0;
    for (int deel = 0; deel < 4; ++deel) {
        unsigned waarde = 0;
        if (begin <= versie.size()) {
            const std::size_t punt = std::min(versie.find('.', begin), versie.size());
            waarde = static_cast<unsigned>(std::stoul(versie.substr(begin, punt - begin)));
            begin = punt + 1;
        }
        char twee[8];
        std::snprintf(twee, sizeof twee, "%02u", waarde % 100);
        cijfers += twee;
    }
    return cijfers;
}

FMX_PROC(fmx::errcode)
Do_EID_Version(short, const fmx::ExprEnv&, const fmx::DataVect& parameters, fmx::Data& resultaat) {
    return Afgeschermd([&] {
        const bool voorUpdate = ArgumentAlsTekst(parameters, 0) == "autoupdate";
        GeefTerug(resultaat, parameters,
                  voorUpdate ? Vergelijkbaar(kVersie) : std::string(kNaam) + " " + kVersie);
        return fmx::errcode{0};
    });
}

FMX_PROC(fmx::errcode)
Do_EID_WaitForCard(short, const fmx::ExprEnv&, const fmx::DataVect& parameters,
                   fmx::Data& resultaat) {
    return Afgeschermd([&] {
        GeefTerug(
            resultaat, parameters,
            events::WaitForCard(ArgumentAlsTekst(parameters, 0), ArgumentAlsTekst(parameters, 1)));
        return fmx::errcode{0};
    });
}

FMX_PROC(fmx::errcode)
Do_EID_OnCardInserted(short, const fmx::ExprEnv&, const fmx::DataVect& parameters,
                      fmx::Data& resultaat) {
    return Afgeschermd([&] {
        GeefTerug(resultaat, parameters,
                  events::OnCardInserted(
                      ArgumentAlsTekst(parameters, 0), ArgumentAlsTekst(parameters, 1),
                      ArgumentAlsTekst(parameters, 2), ArgumentAlsTekst(parameters, 3)));
        return fmx::errcode{0};
    });
}

FMX_PROC(fmx::errcode)
Do_EID_OnCardRemoved(short, const fmx::ExprEnv&, const fmx::DataVect& parameters,
                     fmx::Data& resultaat) {
    return Afgeschermd([&] {
        GeefTerug(resultaat, parameters,
                  events::OnCardRemoved(ArgumentAlsTekst(parameters, 0),
                                        ArgumentAlsTekst(parameters, 1),
                                        ArgumentAlsTekst(parameters, 2)));
        return fmx::errcode{0};
    });
}

FMX_PROC(fmx::errcode)
Do_EID_SetLanguage(short, const fmx::ExprEnv&, const fmx::DataVect& parameters,
                   fmx::Data& resultaat) {
    return Afgeschermd([&] {
        GeefTerug(resultaat, parameters, language::Choose(ArgumentAlsTekst(parameters, 0)));
        return fmx::errcode{0};
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
    {kEidRead, "EID_Read", "EID_Read( { reader ; photo } )",
     "EID Read|Reads the Belgian eID card and returns the data as JSON, with the photo as "
     "base64. Without a reader the eID card is found in whichever reader holds it, and other "
     "cards are left as they are; with photo False the photo is left out, for a read about five "
     "times as fast. Call it from a script, behind a button. "
     "Every call is a full conversation with the card and takes about a second, so a "
     "calculation field, an unstored calculation or a Data Viewer watch will re-read the card "
     "over and over and make FileMaker crawl.",
     0, 2, Do_EID_Read},
    {101, "EID_Readers", "EID_Readers( { format } )",
     "EID Readers|Returns the connected card readers, one per line. Empty means the system sees "
     "no reader. With \"json\", a JSON document of every reader with the state of its card "
     "(empty, mute, exclusive or present) and the card's ATR.",
     0, 1, Do_EID_Readers},
    {102, "EID_Version", "EID_Version( { format } )",
     "EID Version|Returns the version of the plug-in; with \"autoupdate\", as eight digits "
     "that compare as numbers (01000000 for 1.0).",
     0, 1, Do_EID_Version},
    {103, "EID_WaitForCard", "EID_WaitForCard( { seconds ; reader } )",
     "EID WaitForCard|Waits until a card is in the reader (any reader when empty), at most the "
     "seconds given (30 by default, 0 to 600), and returns JSON naming the reader that holds "
     "it, or an error; errorDetail is \"timeout\" when no card came in time.",
     0, 2, Do_EID_WaitForCard},
    {104, "EID_OnCardInserted", "EID_OnCardInserted( fileName ; scriptName { ; reader ; fields } )",
     "EID OnCardInserted|Starts the script of the file each time an eID card is inserted into the "
     "reader (any reader when empty), with the reader's name as the script parameter. With "
     "fields, e.g. \"surname givenNames\", the plug-in reads them from the card first, off "
     "FileMaker's thread, and the parameter is their JSON with the reader. Empty names stop it. "
     "Set it up once, e.g. in an OnFirstWindowOpen script.",
     2, 4, Do_EID_OnCardInserted},
    {105, "EID_SetLanguage", "EID_SetLanguage( language )",
     "EID SetLanguage|Sets the language of the messages for the person at the desk: nl, fr, de "
     "or en, also as Dutch, French, German, English or the language's own name, so "
     "EID_SetLanguage ( Get ( ApplicationLanguage ) ) works. Returns the code in force; empty "
     "changes nothing. Set it once, e.g. in an OnFirstWindowOpen script.",
     1, 1, Do_EID_SetLanguage},
    {106, "EID_ReadFields", "EID_ReadFields( fields { ; reader } )",
     "EID ReadFields|Reads only the card fields named, e.g. \"surname givenNames dateOfBirth\" "
     "(separated by returns, commas, semicolons or spaces), and returns them as JSON in the "
     "order named; only the card files they need are read. Without a reader the eID card is "
     "found in whichever reader holds it. Ask only for the fields the solution may keep. Call it "
     "from a script, behind a button.",
     1, 2, Do_EID_ReadFields},
    {107, "EID_OnCardRemoved", "EID_OnCardRemoved( fileName ; scriptName { ; reader } )",
     "EID OnCardRemoved|Starts the script of the file each time an eID card is taken out of the "
     "reader (any reader when empty), with the reader's name as the script parameter: clear the "
     "card's data from the screen there. Empty names stop it.",
     2, 3, Do_EID_OnCardRemoved},
};

// The host finds a step by its id, so the id stays from release to release.
struct Stap {
    short id;
    const char* naam;
    const char* definitie;
    const char* omschrijving;
    fmx::ExtPluginType handler;
};

const Stap kStap = {
    200, "EID Read Card",
    "<PluginStep>"
    "<Parameter ID=\"0\" Type=\"Calc\" DataType=\"text\" ShowInline=\"true\" Label=\"Reader\"/>"
    "<Parameter ID=\"1\" Type=\"Bool\" Label=\"Photo\" Default=\"true\"/>"
    "<Parameter ID=\"2\" Type=\"Calc\" DataType=\"text\" ShowInline=\"true\" Label=\"Fields\"/>"
    "<Parameter Type=\"Target\" Label=\"Result\"/>"
    "</PluginStep>",
    "EID Read Card|Reads the Belgian eID card into the target as JSON, as EID_Read does; with "
    "Fields, only the fields named, as EID_ReadFields does. When the card cannot be read, "
    "Get(LastError) is 1552 (no reader), 1553 (no card), 1554 (the card does not answer), 1555 "
    "(no connection), 1556 (a card file failed), 1557 (the smart card service failed) or 1558 "
    "(a field unknown, or none named), and Get(LastErrorDetail) says what happened.",
    Do_EID_ReadCard};

// The host messages.

// What Init registered, to be withdrawn when it does not enable the plug-in: the host sends
// no Shutdown to a plug-in it did not enable.
struct Registraties {
    std::vector<short> functies;
    bool stap = false;
};

// The host enables the plug-in only when EID_Read is registered; the other functions and the
// step are offered whatever happened to it. The step and the text conversion need the host's
// calls of FileMaker 16 (extension version 57) on.
fmx::int64 Registreer(fmx::int16 extnVersion, Registraties& gedaan) {
    if (extnVersion < k160ExtnVersion) {
        return kDoNotEnable;
    }
    const fmx::QuadCharUniquePtr id = PluginId();
    fmx::TextUniquePtr naam;
    fmx::TextUniquePtr tekst;
    fmx::TextUniquePtr omschrijving;
    fmx::int64 antwoord = kDoNotEnable;
    for (const Functie& functie : kFuncties) {
        naam->Assign(functie.naam, fmx::Text::kEncoding_UTF8);
        tekst->Assign(functie.prototype, fmx::Text::kEncoding_UTF8);
        omschrijving->Assign(functie.omschrijving, fmx::Text::kEncoding_UTF8);
        const fmx::errcode fout = fmx::ExprEnv::RegisterExternalFunctionEx(
            *id, functie.id, *naam, *tekst, *omschrijving, functie.minimum, functie.maximum,
            kVlaggen, functie.handler);
        if (fout == 0) {
            gedaan.functies.push_back(functie.id);
            if (functie.id == kEidRead) {
                antwoord = kCurrentExtnVersion;
            }
        }
    }
    naam->Assign(kStap.naam, fmx::Text::kEncoding_UTF8);
    tekst->Assign(kStap.definitie, fmx::Text::kEncoding_UTF8);
    omschrijving->Assign(kStap.omschrijving, fmx::Text::kEncoding_UTF8);
    gedaan.stap = fmx::ExprEnv::RegisterScriptStep(*id, kStap.id, *naam, *tekst, *omschrijving,
                                                   kVlaggen, kStap.handler) == 0;
    return antwoord;
}

// Each withdrawal is tried on its own: one the host fails must not keep the others.
void TrekIn(const Registraties& gedaan) {
    if (gedaan.functies.empty() && !gedaan.stap) {
        return;
    }
    try {
        const fmx::QuadCharUniquePtr id = PluginId();
        for (const short functie : gedaan.functies) {
            try {
                fmx::ExprEnv::UnRegisterExternalFunction(*id, functie);
            } catch (...) {
                // The host failed this one; the rest are still withdrawn.
            }
        }
        if (gedaan.stap) {
            fmx::ExprEnv::UnRegisterScriptStep(*id, kStap.id);
        }
    } catch (...) {
        // Nothing is left to undo: the owners freed what was made.
    }
}

// A host failure midway leaves the plug-in disabled, with nothing registered.
void Init(FMX_ExternCallStruct& blok) {
    OnthoudBlok(&blok);
    events::Begin(blok.parm1);
    fmx::int64 antwoord = kDoNotEnable;
    Registraties gedaan;
    try {
        antwoord = Registreer(blok.extnVersion, gedaan);
    } catch (...) {
        antwoord = kDoNotEnable;
    }
    if (antwoord == kDoNotEnable) {
        TrekIn(gedaan);
    }
    blok.result = static_cast<fmx::ptrtype>(antwoord);
}

// Withdraws all, as the host asks whatever Init managed to register.
void Shutdown(const FMX_ExternCallStruct& blok) {
    events::End();
    if (blok.extnVersion < k160ExtnVersion) {
        return;
    }
    Registraties alles;
    for (const Functie& functie : kFuncties) {
        alles.functies.push_back(functie.id);
    }
    alles.stap = true;
    TrekIn(alles);
}

void Idle(const FMX_ExternCallStruct& blok) {
    try {
        events::Idle(blok);
    } catch (...) {
        // A host failure loses the script start it struck; the watch goes on.
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

namespace {

// Every message not named here leaves the call block as it is. Nothing may unwind
// into the host's frames: an exception that got this far ends the program here instead.
void Ontvang(FMX_ExternCallStruct& blok) noexcept {
    switch (blok.whichCall) {
    case kFMXT_Init:
        Init(blok);
        break;
    case kFMXT_Idle:
        Idle(blok);
        break;
    case kFMXT_Shutdown:
        Shutdown(blok);
        break;
    case kFMXT_GetString:
        GetString(blok);
        break;
    default:
        break;
    }
}

} // namespace

// The SDK declares the entry point without an exception specification, so the guarantee
// lives in Ontvang.
TESSARIN_EXPORT void FMExternCallProc(FMX_ExternCallPtr blok) {
    Ontvang(*blok);
}
