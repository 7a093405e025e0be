// The host border through the plug-in module as the host loads it: any sequence of messages,
// string requests with any buffer size, function calls and the script step with any argument
// text (any list of card fields among them), and host calls that fail under the plug-in (with the
// two failures the SDK raises as exceptions; tekst16 tries the others).
//
// Nothing is written outside a reply buffer (guard zones on both sides), every reply is
// terminated within its buffer, no exception leaves the plug-in, a handler either sets its
// result once or reports a failure the host caused, the step's error codes come only with a
// sentence, a reader name comes back in the error exactly as the host handed it over, in the
// language last set (EID_SetLanguage answers a code or refuses without a detail), a card
// document holds exactly the fields asked, a list of fields that cannot be read is refused
// before any PC/SC call, and no host object or PC/SC handle is left. Each input begins in
// English, as a freshly loaded plug-in.
#include "fakehost/fakehost.h"
#include "fmxhost/driver.h"
#include "pcscfake/pcscfake.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

void eis(bool waar, const char* wat) {
    if (!waar) {
        std::fprintf(stderr, "violated: %s\n", wat);
        std::abort();
    }
}

constexpr std::size_t kWacht = 64; // guard units on each side of a reply buffer
constexpr fmx::unichar16 kWachtWaarde = 0xA5A5;

std::unique_ptr<fmxhost::Plugin> plugin;

// A failure of the host that may have struck the message or call just made.
struct Storing {
    unsigned long bij = 0; // the SDK call number that fails, 0 for none

    void plan(unsigned long n, fmx::int32 code) {
        fakehost::failCall(n, code);
        bij = fakehost::callCount() + n;
    }
    // Whether it struck between the two counts.
    bool trof(unsigned long voor, unsigned long na) const { return bij > voor && bij <= na; }
};

std::u16string verwachtAntwoord(fmx::uchar id) {
    switch (id) {
    case kFMXT_NameStr:
        return u"Tessarin";
    case kFMXT_AppConfigStr:
        return u"Reads the Belgian eID card through a card reader.";
    case kFMXT_OptionsStr:
        return u"TSRN1nnYYnn";
    default:
        return u"";
    }
}

void vraagString(FuzzedDataProvider& invoer, const Storing& storing) {
    const auto id = invoer.ConsumeIntegral<fmx::uchar>();
    const auto grootte = invoer.ConsumeIntegralInRange<fmx::uint32>(0, 80);
    std::vector<fmx::unichar16> geheugen(grootte + 2 * kWacht, kWachtWaarde);
    auto blok = fmxhost::callBlock(*plugin, kFMXT_GetString, kCurrentExtnVersion);
    blok.parm1 = id;
    // Only the low 32 bits are the size; the high ones may hold anything.
    blok.parm3 = static_cast<fmx::ptrtype>(invoer.ConsumeIntegral<fmx::uint32>()) << 32 | grootte;
    blok.result = reinterpret_cast<fmx::ptrtype>(geheugen.data() + kWacht);
    const auto voor = fakehost::callCount();
    fmxhost::send(*plugin, blok);
    const bool gestoord = storing.trof(voor, fakehost::callCount());

    for (std::size_t i = 0; i < kWacht; ++i) {
        eis(geheugen[i] == kWachtWaarde && geheugen[kWacht + grootte + i] == kWachtWaarde,
            "nothing written outside the reply buffer");
    }
    if (grootte == 0) {
        return;
    }
    const fmx::unichar16* buffer = geheugen.data() + kWacht;
    std::size_t lengte = 0;
    while (lengte < grootte && buffer[lengte] != 0) {
        ++lengte;
    }
    eis(lengte < grootte, "the reply is terminated within its buffer");
    const std::u16string antwoord(buffer, buffer + lengte);
    const std::u16string verwacht = verwachtAntwoord(id);
    const std::u16string gesneden = verwacht.substr(0, grootte - 1);
    eis(antwoord == gesneden || (gestoord && antwoord.empty()), "the reply, cut to the buffer");
}

// The two sentences a read without readers can give, in each language: no reader, and no
// connection to the reader named (before and after the name).
struct Zinnen {
    const char* code;
    const char* geenLezer;
    const char* voorLezer;
    const char* naLezer;
    const char* voorVeld; // no card field of the name that follows
    const char* geenVelden;
};

const Zinnen kZinnen[] = {
    {"en", "No card reader connected.", "Could not connect to reader ", ".",
     "There is no card field named ", "Name at least one card field."},
    {"nl", "Er is geen kaartlezer aangesloten.", "Kan geen verbinding maken met kaartlezer ", ".",
     "Er is geen kaartveld met de naam ", "Geef minstens \xC3\xA9\xC3\xA9n kaartveld op."},
    {"fr", "Aucun lecteur de cartes n'est connect\xC3\xA9.",
     "Impossible de se connecter au lecteur ", ".", "Il n'y a pas de champ de carte nomm\xC3\xA9 ",
     "Indiquez au moins un champ de la carte."},
    {"de", "Es ist kein Kartenleser angeschlossen.", "Keine Verbindung zum Kartenleser ",
     " m\xC3\xB6glich.", "Es gibt kein Kartenfeld namens ",
     "Geben Sie mindestens ein Kartenfeld an."},
};

// The language in force as far as the input has set it; none once a host failure struck a
// setting, which may have taken effect or not.
const Zinnen* taal = &kZinnen[0];

// The sentence of a read without readers: none named gives the first, a name the second.
std::string zonderLezers(const std::string& lezer) {
    return lezer.empty() ? taal->geenLezer : taal->voorLezer + lezer + taal->naLezer;
}

std::string zonderNullenAanEinde(std::string tekst) {
    while (!tekst.empty() && tekst.back() == '\0') {
        tekst.pop_back();
    }
    return tekst;
}

// A text as the plug-in receives it from the host.
std::string doorDeHost(const std::string& tekst) {
    return zonderNullenAanEinde(fakehost::utf8(fakehost::utf16(tekst)));
}

// What a list of card fields asks: the fields, each once in the order first named, under their
// own names; or a refusal, of the first unknown name or of a list that names none.
struct Velden {
    std::vector<std::string> namen;
    bool geweigerd = false;
    std::string onbekend;
};

// The sentence refusing a list, in the language in force.
std::string weigering(const Velden& velden) {
    return velden.onbekend.empty() ? std::string(taal->geenVelden)
                                   : taal->voorVeld + velden.onbekend + ".";
}

bool zelfdeNaam(const std::string& a, const std::string& b) {
    const auto klein = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return klein(x) == klein(y); });
}

Velden gevraagd(const std::string& lijst) {
    static const std::vector<std::string> kNamen = [] {
        std::istringstream namen(
            "cardNumber surname givenNames dateOfBirth placeOfBirth gender nationality validUntil "
            "nationalNumber street postalCode municipality photo chipNumber validFrom "
            "issuingMunicipality thirdGivenNameInitial nobleCondition documentType specialStatus "
            "photoHash");
        return std::vector<std::string>(std::istream_iterator<std::string>(namen), {});
    }();
    const char* const scheiders = "\r\n,; \t";
    Velden velden;
    for (auto begin = lijst.find_first_not_of(scheiders); begin != std::string::npos;
         begin = lijst.find_first_not_of(scheiders, begin)) {
        const std::string naam = lijst.substr(begin, lijst.find_first_of(scheiders, begin) - begin);
        begin += naam.size();
        const auto veld = std::find_if(kNamen.begin(), kNamen.end(),
                                       [&](const std::string& n) { return zelfdeNaam(naam, n); });
        if (veld == kNamen.end()) {
            return {{}, true, naam};
        }
        if (std::find(velden.namen.begin(), velden.namen.end(), *veld) == velden.namen.end()) {
            velden.namen.push_back(*veld);
        }
    }
    velden.geweigerd = velden.namen.empty();
    return velden;
}

// A card document holds "error", empty, then exactly the fields asked.
bool kaartDocument(const nlohmann::ordered_json& document, const std::vector<std::string>& namen) {
    std::vector<std::string> leden;
    for (const auto& lid : document.items()) {
        leden.push_back(lid.key());
    }
    if (leden.empty() || leden.front() != "error" || document["error"] != "") {
        return false;
    }
    return std::vector<std::string>(leden.begin() + 1, leden.end()) == namen;
}

const std::vector<std::string> kEidRead = {
    "cardNumber", "surname",      "givenNames", "dateOfBirth",    "placeOfBirth",
    "gender",     "nationality",  "validUntil", "nationalNumber", "street",
    "postalCode", "municipality", "photo"};

// The step: a card document, or the code of the failure's category with its sentence; with
// Fields, only those fields, or 1558 for a list that cannot be read, before the card is touched.
void voerStapUit(FuzzedDataProvider& invoer, const Storing& storing, bool lezersBekend) {
    const auto stap = fakehost::findStep("EID Read Card");
    if (!stap) {
        return;
    }
    std::vector<std::string> waarden;
    for (int i = invoer.ConsumeIntegralInRange(0, 3); i > 0; --i) {
        waarden.push_back(invoer.ConsumeRandomLengthString(40));
    }
    const std::string lijst = waarden.size() > 2 ? doorDeHost(waarden[2]) : std::string();
    const Velden velden = lijst.empty() ? Velden{kEidRead, false, ""} : gevraagd(lijst);
    const auto oproepen = pcscfake::calls().size();
    const auto voor = fakehost::callCount();
    const fakehost::Result r = fakehost::performStep(*stap, waarden);
    const bool gestoord = storing.trof(voor, fakehost::callCount());
    if (r.error != 0 && (r.error < 1552 || r.error > 1558)) {
        eis(gestoord && r.sets == 0, "the step fails only under a host failure, unset");
        return;
    }
    eis(r.sets == 1, "the step's result is set once");
    const std::string tekst = fakehost::utf8(r.text);
    if (velden.geweigerd) {
        // The sentence goes to the host as a plain text, which ends at a zero byte.
        const std::string zin = taal ? weigering(velden) : tekst;
        eis(r.error == 1558 && tekst == zin.substr(0, zin.find('\0')),
            "a list that cannot be read is 1558, with its sentence");
        eis(pcscfake::calls().size() == oproepen, "a list is refused before the card is touched");
        return;
    }
    if (r.error == 0) {
        eis(kaartDocument(nlohmann::ordered_json::parse(tekst), velden.namen), "a card document");
        return;
    }
    eis(!tekst.empty() && tekst.rfind("{\n", 0) != 0, "a sentence with the code, not a document");
    if (lezersBekend) {
        return;
    }
    const std::string lezer = waarden.empty() ? std::string() : doorDeHost(waarden[0]);
    eis(r.error == (lezer.empty() ? 1552 : 1555),
        "no reader: the first category, or the connection's");
    // The sentence goes to the host as a plain text, which ends at a zero byte.
    const std::string zin = taal ? zonderLezers(lezer) : tekst;
    eis(tekst == zin.substr(0, zin.find('\0')), "the sentence, with the name as given");
}

// EID_SetLanguage with a name the fuzzer knows, or any text: a code, which is in force from now
// on, or a refusal without a detail, which changes nothing.
void zetTaal(FuzzedDataProvider& invoer, const Storing& storing) {
    const auto registratie = fakehost::find("EID_SetLanguage");
    if (!registratie) {
        return;
    }
    const struct {
        std::string naam;
        std::string code; // empty: the code in force
    } namen[] = {{"nl", "nl"},
                 {" FRAN\xC3\x87"
                  "AIS ",
                  "fr"},
                 {"Deutsch\r", "de"},
                 {"english", "en"},
                 {"", ""}};
    const std::size_t welke = invoer.ConsumeIntegralInRange<std::size_t>(0, std::size(namen));
    const bool bekend = welke < std::size(namen);
    const std::string naam = bekend ? namen[welke].naam : invoer.ConsumeRandomLengthString(20);
    const auto voor = fakehost::callCount();
    const fakehost::Result r =
        fakehost::call(registratie->handler, registratie->functionId, {{naam}});
    if (storing.trof(voor, fakehost::callCount())) {
        taal = nullptr;
        eis(r.sets <= 1, "the result is set at most once");
        return;
    }
    eis(r.error == 0 && r.sets == 1, "the language's result is set once");
    const std::string tekst = fakehost::utf8(r.text);
    for (const Zinnen& zinnen : kZinnen) {
        if (tekst == zinnen.code) {
            if (bekend && !namen[welke].code.empty()) {
                eis(tekst == namen[welke].code, "a known name gives its code");
            } else if (bekend && taal) {
                eis(tekst == taal->code, "empty gives the code in force");
            }
            taal = &zinnen;
            return;
        }
    }
    eis(!bekend, "a known name is never refused");
    const auto document = nlohmann::ordered_json::parse(tekst);
    eis(document.size() == 2 && document["errorDetail"] == "" && document["error"] != "",
        "a refusal is the error document, without a detail");
}

void roep(FuzzedDataProvider& invoer, const Storing& storing, bool lezersBekend) {
    const std::string naam[] = {"EID_Read", "EID_Readers", "EID_Version", "EID_ReadFields"};
    const int welke = invoer.ConsumeIntegralInRange(0, 3);
    const auto registratie = fakehost::find(naam[welke]);
    if (!registratie) {
        return;
    }
    std::vector<fakehost::Argument> argumenten;
    if (welke == 3) {
        argumenten.push_back({invoer.ConsumeRandomLengthString(40)});
    }
    if ((welke == 0 || welke == 3) && invoer.ConsumeBool()) {
        argumenten.push_back({invoer.ConsumeRandomLengthString(40)});
    }
    const Velden velden =
        welke == 3 ? gevraagd(doorDeHost(argumenten[0].text)) : Velden{kEidRead, false, ""};
    const auto oproepen = pcscfake::calls().size();
    const auto voor = fakehost::callCount();
    const fakehost::Result r =
        fakehost::call(registratie->handler, registratie->functionId, argumenten);
    const bool gestoord = storing.trof(voor, fakehost::callCount());
    if (r.error != 0) {
        eis(gestoord && r.sets == 0, "a handler fails only under a host failure, unset");
        return;
    }
    eis(r.sets == 1 || (gestoord && r.sets == 0), "the result is set once");
    if (r.sets == 0) {
        return;
    }
    const std::string tekst = fakehost::utf8(r.text);
    if (welke == 2) {
        eis(tekst == "Tessarin 1.0", "the version");
        return;
    }
    if (welke == 1) {
        eis(lezersBekend || tekst.empty(), "no reader, no names");
        return;
    }
    const auto document = nlohmann::ordered_json::parse(tekst);
    const std::string fout = document["error"];
    if (velden.geweigerd) {
        eis(document.size() == 2 && (!taal || fout == weigering(velden)) &&
                document["errorDetail"] == "",
            "a list that cannot be read is refused with its sentence");
        eis(pcscfake::calls().size() == oproepen, "a list is refused before the card is touched");
        return;
    }
    eis(fout.empty() ? kaartDocument(document, velden.namen) : document.size() == 2,
        "a card or an error document");
    if (lezersBekend) {
        return;
    }
    // Without readers the name the host passed comes back in the error.
    const std::string lezer = argumenten.size() > (welke == 3 ? 1u : 0u)
                                  ? doorDeHost(argumenten.back().text)
                                  : std::string();
    if (taal) {
        eis(fout == zonderLezers(lezer), "the reader name as the host gave it");
    }
}

// English again, as the plug-in speaks when it is loaded: the language lives with the module,
// which stays loaded from one input to the next.
void terugNaarEngels() {
    fakehost::reset();
    if (fmxhost::init(*plugin, kCurrentExtnVersion) == kCurrentExtnVersion) {
        fmxhost::callFunction("EID_SetLanguage", {"en"});
    }
    fmxhost::shutdown(*plugin, kCurrentExtnVersion);
    taal = &kZinnen[0];
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    plugin = std::make_unique<fmxhost::Plugin>(TESSARIN_FUZZ_PLUGIN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider invoer(data, size);
    terugNaarEngels();
    fakehost::reset();
    pcscfake::reset();
    Storing storing;
    bool lezersBekend = false;

    const fmx::int16 versies[] = {kCurrentExtnVersion, k160ExtnVersion, k150ExtnVersion,
                                  invoer.ConsumeIntegral<fmx::int16>()};
    const fmx::int16 versie = versies[invoer.ConsumeIntegralInRange(0, 3)];
    if (invoer.ConsumeBool()) {
        storing.plan(invoer.ConsumeIntegralInRange(1, 40), invoer.ConsumeIntegralInRange(1, 2));
    }
    const fmx::int64 antwoord = fmxhost::init(*plugin, versie);
    eis(antwoord == kCurrentExtnVersion || antwoord == kDoNotEnable, "Init replies 77 or -2");
    eis(antwoord == kDoNotEnable || (versie >= k160ExtnVersion && fakehost::find("EID_Read")),
        "enabled only on a recent host with EID_Read registered");
    eis(antwoord != kDoNotEnable ||
            (fakehost::registrations().empty() && fakehost::scriptSteps().empty()),
        "a refused Init leaves nothing registered");

    while (invoer.remaining_bytes() > 0) {
        switch (invoer.ConsumeIntegralInRange(0, 7)) {
        case 0:
            vraagString(invoer, storing);
            break;
        case 1:
            roep(invoer, storing, lezersBekend);
            break;
        case 2:
            storing.plan(invoer.ConsumeIntegralInRange(1, 12), invoer.ConsumeIntegralInRange(1, 2));
            break;
        case 3:
            pcscfake::readers({invoer.ConsumeRandomLengthString(20) + "x"});
            lezersBekend = true;
            break;
        case 4: { // Idle and the messages the plug-in does not answer
            const fmx::uchar berichten[] = {kFMXT_Idle,
                                            2,
                                            3,
                                            kFMXT_DoAppPreferences,
                                            6,
                                            8,
                                            9,
                                            10,
                                            invoer.ConsumeIntegral<fmx::uchar>()};
            const fmx::uchar bericht = berichten[invoer.ConsumeIntegralInRange(0, 8)];
            if (bericht == kFMXT_Init || bericht == kFMXT_Shutdown || bericht == kFMXT_GetString) {
                break;
            }
            auto blok = fmxhost::callBlock(*plugin, bericht, versie);
            blok.parm1 = invoer.ConsumeIntegral<fmx::uchar>();
            const auto kopie = blok;
            fmxhost::send(*plugin, blok);
            eis(std::memcmp(&kopie, &blok, sizeof blok) == 0, "other messages change nothing");
            break;
        }
        case 5:
            voerStapUit(invoer, storing, lezersBekend);
            break;
        case 6:
            zetTaal(invoer, storing);
            break;
        default:
            fmxhost::shutdown(*plugin, versie);
            break;
        }
    }
    fmxhost::shutdown(*plugin, versie);

    eis(fakehost::misuses().empty(), "no misuse of the host's calls");
    eis(fakehost::liveTexts() == 0 && fakehost::liveQuadChars() == 0, "no host object left");
    eis(pcscfake::openContexts() == 0 && pcscfake::openCards() == 0, "no PC/SC handle left");
    return 0;
}
