// The fake host: the FMWrapper library's FM_* calls as the host answers them, and the
// controls a test or a driver uses to play the host around them.
//
// Texts are held as UTF-16. Objects the plug-in makes (texts, four-character codes) are
// counted while alive; parameters, results, locales and the environment belong to the host
// and live for one call. Every wrong use the host can see (an unknown or freed object, a
// delete of a host object, an encoding other than UTF-8, a position past the end) is recorded
// as a misuse and reported to the plug-in as code 2. So is a script step whose XML definition
// the host would not read as written (see stepxml.h).
//
// FM_Text_GetBytesEx cuts between characters, writes a zero byte after the text when there is
// room, and counts that byte among the bytes written.
//
// All state sits behind one lock: plug-in functions may run on several threads at once.
#pragma once

// The SDK's headers compile only in this order.
// clang-format off
#include "FMWrapper/FMXExtern.h"
#include "FMWrapper/FMXTypes.h"
#include "FMWrapper/FMXText.h"
#include "FMWrapper/FMXData.h"
#include "FMWrapper/FMXCalcEngine.h"
// clang-format on

#include "fakehost/stepxml.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fakehost {

// The host's conversions; malformed input becomes U+FFFD.
std::u16string utf16(const std::string& utf8);
std::string utf8(const std::u16string& utf16);

// A clean host: no registrations, no pending failures, empty logs, and the objects the
// plug-in left alive forgotten.
void reset();

// The n-th SDK call from now on (1: the next one) reports `code` in its error block.
// Constructors still make their object and deletes still free theirs; any other call then
// does nothing.
void failCall(unsigned long n, fmx::int32 code);

// Registering the function or script step `id` returns `error` and registers nothing.
void failRegistration(short id, fmx::errcode error);

unsigned long callCount();          // SDK calls since reset()
std::vector<std::string> calls();   // their names, in order
int liveTexts();                    // made by the plug-in and not yet deleted
int liveQuadChars();                // likewise
int liveData();                     // likewise
int liveLocales();                  // likewise
std::vector<std::string> misuses(); // since reset()

struct Registration {
    std::string pluginId; // the four characters
    short functionId;
    std::string name; // name, prototype and description as UTF-8
    std::string prototype;
    std::string description;
    short minArgs;
    short maxArgs;
    fmx::uint32 flags;
    fmx::ExtPluginType handler;
};

std::vector<Registration> registrations(); // in the order they were made
std::optional<Registration> find(const std::string& name);
std::vector<short> unregistrations(); // the ids asked for since reset(), in order

struct ScriptStep {
    std::string pluginId;
    short stepId;
    std::string name; // name, definition and description as UTF-8
    std::string definition;
    std::string description;
    fmx::uint32 flags;
    fmx::ExtPluginType handler;
    std::vector<StepParameter> parameters; // as the definition lists them
};

std::vector<ScriptStep> scriptSteps(); // in the order they were registered
std::optional<ScriptStep> findStep(const std::string& name);
std::vector<short> stepUnregistrations(); // the ids asked for since reset(), in order

struct Argument {
    std::string text; // UTF-8, as the host shows the value
    std::string locale = "en_US";
    fmx::int32 type = fmx::Data::kDTText;
};

// The host's reading of a value as true or false: a value holding a number other than zero is
// true; an empty value, zero, and a text with no digit (such as "true") are false.
bool hostBoolean(const std::string& text);

struct Result {
    fmx::errcode error = 0; // what the handler returned
    int sets = 0;           // how often the result value was set
    std::u16string text;    // as last set
    std::string locale;
    fmx::int32 type = 0;
};

// Calls a handler as the host does, with fresh parameter, environment and result objects.
Result call(fmx::ExtPluginType handler, short functionId, const std::vector<Argument>& arguments,
            const std::string& resultLocale = "en_US");

// Performs a step as the host does: `values` fill its parameters in ID order, a Bool as the
// number 0 or 1, a missing one its default (Bool) or empty; each reaches the handler at the
// index of its ID.
Result performStep(const ScriptStep& step, const std::vector<std::string>& values);

// The host's cStartScript: records the call and answers 0. The plug-in passes its own texts
// and data, which must be alive.
FMX_PROC(fmx::errcode)
startScript(const fmx::Text* fileName, const fmx::Text* scriptName, FMX_ScriptControl control,
            const fmx::Data* parameter);

struct ScriptStart {
    std::string file; // UTF-8
    std::string script;
    int control = 0;
    std::string parameter; // the parameter's text; empty without one
};

std::vector<ScriptStart> scriptStarts(); // since reset(), in order

// Called with each script start as it is made, on the caller's thread; empty: none.
void onScriptStart(std::function<void(const ScriptStart&)> listener);

} // namespace fakehost
