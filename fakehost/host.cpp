// The host's side of the FMWrapper calls: its objects, its registry of functions, and what
// the controls record.
#include "fakehost/fakehost.h"
#include "fakehost/utf.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

namespace fakehost {

namespace {

enum class Kind { text, quadChar, locale, data, dataVect, exprEnv };

struct TextObject {
    std::u16string units;
};

struct QuadCharObject {
    std::string characters;
};

struct LocaleObject {
    std::string name;
};

struct DataObject {
    std::unique_ptr<TextObject> text = std::make_unique<TextObject>();
    fmx::int32 type = fmx::Data::kDTText;
    std::unique_ptr<LocaleObject> locale = std::make_unique<LocaleObject>();
    bool isResult = false; // or made by the plug-in: may be set
    Result set;
};

struct DataVectObject {
    std::vector<std::unique_ptr<DataObject>> values;
};

struct ExprEnvObject {
    int unused = 0;
};

struct Object {
    Kind kind;
    bool ownedByPlugin;
};

// A wrong use of the SDK by the plug-in; the call reports code 2.
struct Misuse {
    std::string what;
};

struct Host {
    std::mutex lock;
    std::map<const void*, Object> objects;
    std::vector<Registration> registry;
    std::vector<ScriptStep> steps;
    std::map<short, fmx::errcode> failingRegistrations;
    std::vector<short> unregistered;
    std::vector<short> unregisteredSteps;
    std::vector<const char*> calls;
    std::vector<std::string> misuses;
    std::vector<ScriptStart> scriptStarts;
    std::function<void(const ScriptStart&)> scriptListener;
    unsigned long failAt = 0; // the number of the call to fail, 0 for none
    fmx::int32 failCode = 0;

    // Counts and logs a call; the code it is to report, or 0.
    fmx::int32 begin(const char* name) {
        calls.push_back(name);
        return calls.size() == failAt ? failCode : 0;
    }

    template <typename T>
    T* find(const void* p, Kind kind, const char* call) const {
        const auto it = objects.find(p);
        if (it == objects.end() || it->second.kind != kind) {
            throw Misuse{std::string(call) + ": not a live object of the right kind"};
        }
        return static_cast<T*>(const_cast<void*>(p));
    }

    template <typename T>
    T* add(std::unique_ptr<T> object, Kind kind, bool ownedByPlugin) {
        objects.emplace(object.get(), Object{kind, ownedByPlugin});
        return object.release();
    }

    template <typename T>
    void remove(const void* p, Kind kind, const char* call) {
        T* object = find<T>(p, kind, call);
        if (!objects.at(p).ownedByPlugin) {
            throw Misuse{std::string(call) + ": the object belongs to the host"};
        }
        objects.erase(p);
        delete object;
    }

    int live(Kind kind) const {
        return static_cast<int>(std::count_if(objects.begin(), objects.end(), [&](const auto& o) {
            return o.second.kind == kind && o.second.ownedByPlugin;
        }));
    }
};

Host& host() {
    static Host* const theHost = new Host; // outlives every plug-in that may still call in
    return *theHost;
}

// Runs one SDK call: counted, logged, failed on request, with misuses and allocation
// failures reported through the error block. `always` calls do their work even when failed:
// constructors and deletes.
template <typename Work>
auto sdkCall(const char* name, fmx::_fmxcpt& x, bool always, Work work) noexcept {
    using R = std::invoke_result_t<Work>;
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    const fmx::int32 injected = h.begin(name);
    try {
        if (injected != 0 && !always) {
            x.m_code = injected;
            return R();
        }
        if constexpr (std::is_void_v<R>) {
            work();
            x.m_code = injected;
        } else {
            R r = work();
            x.m_code = injected;
            return r;
        }
    } catch (const Misuse& m) {
        h.misuses.push_back(m.what);
        x.m_code = fmx::_fmxcpt::kUnknown;
    } catch (const std::bad_alloc&) {
        x.m_code = fmx::_fmxcpt::kBadAlloc;
    } catch (...) {
        x.m_code = fmx::_fmxcpt::kUnknown;
    }
    return R();
}

std::string quadChars(const void* p, const char* call) {
    return host().find<QuadCharObject>(p, Kind::quadChar, call)->characters;
}

std::string textUtf8(const void* p, const char* call) {
    return utf8(host().find<TextObject>(p, Kind::text, call)->units);
}

} // namespace

void reset() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    for (auto it = h.objects.begin(); it != h.objects.end();) {
        if (!it->second.ownedByPlugin) {
            ++it;
            continue;
        }
        switch (it->second.kind) {
        case Kind::text:
            delete static_cast<const TextObject*>(it->first);
            break;
        case Kind::quadChar:
            delete static_cast<const QuadCharObject*>(it->first);
            break;
        case Kind::locale:
            delete static_cast<const LocaleObject*>(it->first);
            break;
        case Kind::data: {
            const auto* data = static_cast<const DataObject*>(it->first);
            h.objects.erase(data->text.get());
            h.objects.erase(data->locale.get());
            delete data;
            break;
        }
        default:
            break;
        }
        it = h.objects.erase(it);
    }
    h.registry.clear();
    h.steps.clear();
    h.failingRegistrations.clear();
    h.unregistered.clear();
    h.unregisteredSteps.clear();
    h.calls.clear();
    h.misuses.clear();
    h.scriptStarts.clear();
    h.failAt = 0;
    h.failCode = 0;
}

void failCall(unsigned long n, fmx::int32 code) {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    h.failAt = h.calls.size() + n;
    h.failCode = code;
}

void failRegistration(short id, fmx::errcode error) {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    h.failingRegistrations[id] = error;
}

unsigned long callCount() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.calls.size();
}

std::vector<std::string> calls() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return {h.calls.begin(), h.calls.end()};
}

int liveTexts() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.live(Kind::text);
}

int liveQuadChars() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.live(Kind::quadChar);
}

int liveData() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.live(Kind::data);
}

int liveLocales() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.live(Kind::locale);
}

std::vector<ScriptStart> scriptStarts() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.scriptStarts;
}

void onScriptStart(std::function<void(const ScriptStart&)> listener) {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    h.scriptListener = std::move(listener);
}

FMX_PROC(fmx::errcode)
startScript(const fmx::Text* fileName, const fmx::Text* scriptName, FMX_ScriptControl control,
            const fmx::Data* parameter) {
    Host& h = host();
    std::function<void(const ScriptStart&)> listener;
    ScriptStart start;
    {
        std::lock_guard<std::mutex> guard(h.lock);
        try {
            start.file = utf8(h.find<TextObject>(fileName, Kind::text, "cStartScript")->units);
            start.script = utf8(h.find<TextObject>(scriptName, Kind::text, "cStartScript")->units);
            start.control = control;
            if (parameter != nullptr) {
                start.parameter =
                    utf8(h.find<DataObject>(parameter, Kind::data, "cStartScript")->set.text);
            }
        } catch (const Misuse& m) {
            h.misuses.push_back(m.what);
            return 2;
        }
        h.scriptStarts.push_back(start);
        listener = h.scriptListener;
    }
    if (listener) {
        listener(start);
    }
    return 0;
}

std::vector<std::string> misuses() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.misuses;
}

std::vector<Registration> registrations() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.registry;
}

std::optional<Registration> find(const std::string& name) {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    for (const auto& r : h.registry) {
        if (r.name == name) {
            return r;
        }
    }
    return std::nullopt;
}

std::vector<short> unregistrations() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.unregistered;
}

std::vector<ScriptStep> scriptSteps() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.steps;
}

std::optional<ScriptStep> findStep(const std::string& name) {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    for (const auto& s : h.steps) {
        if (s.name == name) {
            return s;
        }
    }
    return std::nullopt;
}

std::vector<short> stepUnregistrations() {
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.unregisteredSteps;
}

bool hostBoolean(const std::string& text) {
    return text.find_first_of("123456789") != std::string::npos;
}

namespace {

// The host objects of one function call, known to the host for as long as the call lasts.
struct CallObjects {
    ExprEnvObject environment;
    DataVectObject parameters;
    DataObject result;

    CallObjects(const std::vector<Argument>& arguments, const std::string& resultLocale) {
        for (const auto& argument : arguments) {
            auto value = std::make_unique<DataObject>();
            value->text->units = utf16(argument.text);
            value->locale->name = argument.locale;
            value->type = argument.type;
            parameters.values.push_back(std::move(value));
        }
        result.isResult = true;
        result.locale->name = resultLocale;

        Host& h = host();
        std::lock_guard<std::mutex> guard(h.lock);
        h.objects.emplace(&environment, Object{Kind::exprEnv, false});
        h.objects.emplace(&parameters, Object{Kind::dataVect, false});
        for (const auto& value : parameters.values) {
            enter(*value);
        }
        enter(result);
    }

    ~CallObjects() {
        Host& h = host();
        std::lock_guard<std::mutex> guard(h.lock);
        h.objects.erase(&environment);
        h.objects.erase(&parameters);
        for (const auto& value : parameters.values) {
            leave(*value);
        }
        leave(result);
    }

    CallObjects(const CallObjects&) = delete;
    CallObjects& operator=(const CallObjects&) = delete;

  private:
    static void enter(const DataObject& value) {
        Host& h = host();
        h.objects.emplace(&value, Object{Kind::data, false});
        h.objects.emplace(value.text.get(), Object{Kind::text, false});
        h.objects.emplace(value.locale.get(), Object{Kind::locale, false});
    }

    static void leave(const DataObject& value) {
        Host& h = host();
        h.objects.erase(&value);
        h.objects.erase(value.text.get());
        h.objects.erase(value.locale.get());
    }
};

} // namespace

Result call(fmx::ExtPluginType handler, short functionId, const std::vector<Argument>& arguments,
            const std::string& resultLocale) {
    CallObjects objects(arguments, resultLocale);
    const fmx::errcode error =
        handler(functionId, *reinterpret_cast<const fmx::ExprEnv*>(&objects.environment),
                *reinterpret_cast<const fmx::DataVect*>(&objects.parameters),
                *reinterpret_cast<fmx::Data*>(&objects.result));
    std::lock_guard<std::mutex> guard(host().lock);
    Result r = objects.result.set;
    r.error = error;
    return r;
}

Result performStep(const ScriptStep& step, const std::vector<std::string>& values) {
    std::vector<const StepParameter*> inIdOrder;
    for (const auto& p : step.parameters) {
        if (p.id >= 0) {
            inIdOrder.push_back(&p);
        }
    }
    std::sort(inIdOrder.begin(), inIdOrder.end(),
              [](const StepParameter* a, const StepParameter* b) { return a->id < b->id; });
    std::vector<Argument> arguments(inIdOrder.empty() ? 0 : inIdOrder.back()->id + 1);
    for (std::size_t i = 0; i < inIdOrder.size(); ++i) {
        const StepParameter& p = *inIdOrder[i];
        Argument& argument = arguments[static_cast<std::size_t>(p.id)];
        argument.text = i < values.size() ? values[i] : "";
        if (p.type == "Bool") {
            const bool on = i < values.size() ? hostBoolean(values[i]) : p.defaultValue == "true";
            argument.text = on ? "1" : "0";
            argument.type = fmx::Data::kDTNumber;
        }
    }
    return call(step.handler, step.stepId, arguments);
}

} // namespace fakehost

using fakehost::Host;
using fakehost::host;
using fakehost::Kind;
using fakehost::Misuse;
using fakehost::sdkCall;

extern "C" {

fmx::QuadChar* FM_QuadChar_Constructor2(char c0, char c1, char c2, char c3,
                                        fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_QuadChar_Constructor2", x, true, [&] {
        auto object = std::make_unique<fakehost::QuadCharObject>();
        object->characters = {c0, c1, c2, c3};
        return reinterpret_cast<fmx::QuadChar*>(
            host().add(std::move(object), Kind::quadChar, true));
    });
}

void FM_QuadChar_Delete(void* self, fmx::_fmxcpt& x) noexcept {
    sdkCall("FM_QuadChar_Delete", x, true, [&] {
        host().remove<fakehost::QuadCharObject>(self, Kind::quadChar, "FM_QuadChar_Delete");
    });
}

fmx::Locale* FM_Locale_Constructor1(fmx::int32 inputType, fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Locale_Constructor1", x, true, [&] {
        auto object = std::make_unique<fakehost::LocaleObject>();
        object->name =
            inputType == fmx::Locale::kType_System ? "system" : "type " + std::to_string(inputType);
        return reinterpret_cast<fmx::Locale*>(host().add(std::move(object), Kind::locale, true));
    });
}

void FM_Locale_Delete(void* self, fmx::_fmxcpt& x) noexcept {
    sdkCall("FM_Locale_Delete", x, true,
            [&] { host().remove<fakehost::LocaleObject>(self, Kind::locale, "FM_Locale_Delete"); });
}

// A value of the plug-in's own: its text and locale are host objects too, and it may be set.
fmx::Data* FM_Data_Constructor1(fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Data_Constructor1", x, true, [&] {
        auto object = std::make_unique<fakehost::DataObject>();
        object->isResult = true;
        Host& h = host();
        h.objects.emplace(object->text.get(), fakehost::Object{Kind::text, false});
        h.objects.emplace(object->locale.get(), fakehost::Object{Kind::locale, false});
        return reinterpret_cast<fmx::Data*>(h.add(std::move(object), Kind::data, true));
    });
}

void FM_Data_Delete(void* self, fmx::_fmxcpt& x) noexcept {
    sdkCall("FM_Data_Delete", x, true, [&] {
        Host& h = host();
        const auto* data = h.find<fakehost::DataObject>(self, Kind::data, "FM_Data_Delete");
        if (h.objects.at(self).ownedByPlugin) {
            h.objects.erase(data->text.get());
            h.objects.erase(data->locale.get());
        }
        h.remove<fakehost::DataObject>(self, Kind::data, "FM_Data_Delete");
    });
}

fmx::Text* FM_Text_Constructor1(fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Text_Constructor1", x, true, [&] {
        return reinterpret_cast<fmx::Text*>(
            host().add(std::make_unique<fakehost::TextObject>(), Kind::text, true));
    });
}

void FM_Text_Delete(void* self, fmx::_fmxcpt& x) noexcept {
    sdkCall("FM_Text_Delete", x, true,
            [&] { host().remove<fakehost::TextObject>(self, Kind::text, "FM_Text_Delete"); });
}

void FM_Text_Assign(void* self, const char* s, fmx::int32 encoding, fmx::_fmxcpt& x) noexcept {
    sdkCall("FM_Text_Assign", x, false, [&] {
        auto* text = host().find<fakehost::TextObject>(self, Kind::text, "FM_Text_Assign");
        if (s == nullptr) {
            throw Misuse{"FM_Text_Assign: no string"};
        }
        if (encoding != fmx::Text::kEncoding_UTF8) {
            throw Misuse{"FM_Text_Assign: encoding " + std::to_string(encoding) + ", not UTF-8"};
        }
        text->units = fakehost::utf16(s);
    });
}

fmx::uint32 FM_Text_GetSize(const void* self, fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Text_GetSize", x, false, [&] {
        const auto* text = host().find<fakehost::TextObject>(self, Kind::text, "FM_Text_GetSize");
        return static_cast<fmx::uint32>(text->units.size());
    });
}

void FM_Text_GetUnicode(const void* self, fmx::uint16* s, fmx::uint32 position, fmx::uint32 size,
                        fmx::_fmxcpt& x) noexcept {
    sdkCall("FM_Text_GetUnicode", x, false, [&] {
        const auto* text =
            host().find<fakehost::TextObject>(self, Kind::text, "FM_Text_GetUnicode");
        if (position > text->units.size() || size > text->units.size() - position) {
            throw Misuse{"FM_Text_GetUnicode: units " + std::to_string(position) + " to " +
                         std::to_string(std::uint64_t{position} + size) + " of a text of " +
                         std::to_string(text->units.size())};
        }
        if (size > 0 && s == nullptr) {
            throw Misuse{"FM_Text_GetUnicode: no buffer"};
        }
        std::copy_n(text->units.begin() + position, size, s);
    });
}

fmx::uint32 FM_Text_GetBytesEx(const void* self, char* buffer, fmx::uint32 buffersize,
                               fmx::uint32 position, fmx::uint32 size, fmx::int32 encoding,
                               fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Text_GetBytesEx", x, false, [&] {
        const auto* text =
            host().find<fakehost::TextObject>(self, Kind::text, "FM_Text_GetBytesEx");
        if (encoding != fmx::Text::kEncoding_UTF8) {
            throw Misuse{"FM_Text_GetBytesEx: encoding " + std::to_string(encoding) +
                         ", not UTF-8"};
        }
        if (position > text->units.size()) {
            throw Misuse{"FM_Text_GetBytesEx: position past the end"};
        }
        if (buffersize > 0 && buffer == nullptr) {
            throw Misuse{"FM_Text_GetBytesEx: no buffer"};
        }
        const auto units = text->units.substr(position, size);
        fmx::uint32 written = 0;
        for (const auto& character : fakehost::utf8Characters(units)) {
            if (character.size() > buffersize - written) {
                break;
            }
            std::copy(character.begin(), character.end(), buffer + written);
            written += static_cast<fmx::uint32>(character.size());
        }
        if (written < buffersize) {
            buffer[written++] = '\0';
        }
        return written;
    });
}

fmx::uint32 FM_DataVect_Size(const void* self, fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_DataVect_Size", x, false, [&] {
        const auto* v =
            host().find<fakehost::DataVectObject>(self, Kind::dataVect, "FM_DataVect_Size");
        return static_cast<fmx::uint32>(v->values.size());
    });
}

namespace {

const fakehost::DataObject* parameter(const void* self, fmx::uint32 position, const char* call) {
    const auto* v = host().find<fakehost::DataVectObject>(self, Kind::dataVect, call);
    if (position >= v->values.size()) {
        throw Misuse{std::string(call) + ": parameter " + std::to_string(position) + " of " +
                     std::to_string(v->values.size())};
    }
    return v->values[position].get();
}

} // namespace

const fmx::Text* FM_DataVect_AtAsText(const void* self, fmx::uint32 position,
                                      fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_DataVect_AtAsText", x, false, [&] {
        return reinterpret_cast<const fmx::Text*>(
            parameter(self, position, "FM_DataVect_AtAsText")->text.get());
    });
}

const fmx::Data* FM_DataVect_At(const void* self, fmx::uint32 position, fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_DataVect_At", x, false, [&] {
        return reinterpret_cast<const fmx::Data*>(parameter(self, position, "FM_DataVect_At"));
    });
}

const fmx::Locale* FM_Data_GetLocale(const void* self, fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Data_GetLocale", x, false, [&] {
        const auto* data = host().find<fakehost::DataObject>(self, Kind::data, "FM_Data_GetLocale");
        return reinterpret_cast<const fmx::Locale*>(data->locale.get());
    });
}

fmx::errcode FM_Data_SetAsText(void* self, const fmx::Text& textData,
                               const fmx::Locale& sourceLocale, fmx::int32 nativeType,
                               fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Data_SetAsText", x, false, [&] {
        auto* data = host().find<fakehost::DataObject>(self, Kind::data, "FM_Data_SetAsText");
        const auto* text =
            host().find<fakehost::TextObject>(&textData, Kind::text, "FM_Data_SetAsText");
        const auto* locale =
            host().find<fakehost::LocaleObject>(&sourceLocale, Kind::locale, "FM_Data_SetAsText");
        if (!data->isResult) {
            throw Misuse{"FM_Data_SetAsText: a parameter is read only"};
        }
        data->set.sets += 1;
        data->set.text = text->units;
        data->set.locale = locale->name;
        data->set.type = nativeType;
        return fmx::errcode{0};
    });
}

bool FM_Data_IsEmpty(const void* self, fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Data_IsEmpty", x, false, [&] {
        return host()
            .find<fakehost::DataObject>(self, Kind::data, "FM_Data_IsEmpty")
            ->text->units.empty();
    });
}

const fmx::Text* FM_Data_GetAsText(const void* self, fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Data_GetAsText", x, false, [&] {
        const auto* data = host().find<fakehost::DataObject>(self, Kind::data, "FM_Data_GetAsText");
        return reinterpret_cast<const fmx::Text*>(data->text.get());
    });
}

bool FM_Data_GetAsBoolean(const void* self, fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Data_GetAsBoolean", x, false, [&] {
        const auto* data =
            host().find<fakehost::DataObject>(self, Kind::data, "FM_Data_GetAsBoolean");
        return fakehost::hostBoolean(fakehost::utf8(data->text->units));
    });
}

fmx::int32 FM_Data_GetNativeType(const void* self, fmx::_fmxcpt& x) noexcept {
    return sdkCall("FM_Data_GetNativeType", x, false, [&] {
        return host().find<fakehost::DataObject>(self, Kind::data, "FM_Data_GetNativeType")->type;
    });
}

fmx::errcode FM_ExprEnv_RegisterExternalFunctionEx(
    const fmx::QuadChar& pluginId, short functionId, const fmx::Text& functionName,
    const fmx::Text& functionPrototype, const fmx::Text& functionDescription, short minArgs,
    short maxArgs, fmx::uint32 compatibleOnFlags, fmx::ExtPluginType funcPtr,
    fmx::_fmxcpt& x) noexcept {
    constexpr const char* name = "FM_ExprEnv_RegisterExternalFunctionEx";
    return sdkCall(name, x, false, [&] {
        fakehost::Registration r{fakehost::quadChars(&pluginId, name),
                                 functionId,
                                 fakehost::textUtf8(&functionName, name),
                                 fakehost::textUtf8(&functionPrototype, name),
                                 fakehost::textUtf8(&functionDescription, name),
                                 minArgs,
                                 maxArgs,
                                 compatibleOnFlags,
                                 funcPtr};
        Host& h = host();
        const auto failing = h.failingRegistrations.find(functionId);
        if (failing != h.failingRegistrations.end()) {
            return failing->second;
        }
        const auto same = std::find_if(h.registry.begin(), h.registry.end(), [&](const auto& o) {
            return o.pluginId == r.pluginId && o.functionId == functionId;
        });
        if (same != h.registry.end()) {
            *same = std::move(r);
        } else {
            h.registry.push_back(std::move(r));
        }
        return fmx::errcode{0};
    });
}

fmx::errcode FM_ExprEnv_UnRegisterExternalFunction(const fmx::QuadChar& pluginId, short functionId,
                                                   fmx::_fmxcpt& x) noexcept {
    constexpr const char* name = "FM_ExprEnv_UnRegisterExternalFunction";
    return sdkCall(name, x, false, [&] {
        const auto id = fakehost::quadChars(&pluginId, name);
        Host& h = host();
        h.unregistered.push_back(functionId);
        h.registry.erase(std::remove_if(h.registry.begin(), h.registry.end(),
                                        [&](const auto& o) {
                                            return o.pluginId == id && o.functionId == functionId;
                                        }),
                         h.registry.end());
        return fmx::errcode{0};
    });
}

// Declared without an exception specification, as the host's library does; sdkCall lets
// nothing out.
fmx::errcode FM_ExprEnv_RegisterScriptStep(const fmx::QuadChar& pluginId, short scriptStepId,
                                           const fmx::Text& scriptStepName,
                                           const fmx::Text& scriptStepDefinition,
                                           const fmx::Text& scriptStepDescription,
                                           fmx::uint32 compatibleOnFlags,
                                           fmx::ExtPluginType funcPtr, fmx::_fmxcpt& x) {
    constexpr const char* name = "FM_ExprEnv_RegisterScriptStep";
    return sdkCall(name, x, false, [&] {
        fakehost::ScriptStep step{fakehost::quadChars(&pluginId, name),
                                  scriptStepId,
                                  fakehost::textUtf8(&scriptStepName, name),
                                  fakehost::textUtf8(&scriptStepDefinition, name),
                                  fakehost::textUtf8(&scriptStepDescription, name),
                                  compatibleOnFlags,
                                  funcPtr,
                                  {}};
        const auto definition = fakehost::readStepDefinition(step.definition);
        if (!definition.refusal.empty()) {
            throw Misuse{std::string(name) + ": step " + step.name + ": " + definition.refusal};
        }
        step.parameters = definition.parameters;
        Host& h = host();
        const auto failing = h.failingRegistrations.find(scriptStepId);
        if (failing != h.failingRegistrations.end()) {
            return failing->second;
        }
        const auto same = std::find_if(h.steps.begin(), h.steps.end(), [&](const auto& o) {
            return o.pluginId == step.pluginId && o.stepId == scriptStepId;
        });
        if (same != h.steps.end()) {
            *same = std::move(step);
        } else {
            h.steps.push_back(std::move(step));
        }
        return fmx::errcode{0};
    });
}

fmx::errcode FM_ExprEnv_UnRegisterScriptStep(const fmx::QuadChar& pluginId, short scriptStepId,
                                             fmx::_fmxcpt& x) {
    constexpr const char* name = "FM_ExprEnv_UnRegisterScriptStep";
    return sdkCall(name, x, false, [&] {
        const auto id = fakehost::quadChars(&pluginId, name);
        Host& h = host();
        h.unregisteredSteps.push_back(scriptStepId);
        h.steps.erase(std::remove_if(h.steps.begin(), h.steps.end(),
                                     [&](const auto& o) {
                                         return o.pluginId == id && o.stepId == scriptStepId;
                                     }),
                      h.steps.end());
        return fmx::errcode{0};
    });
}

} // extern "C"
