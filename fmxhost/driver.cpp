#include "fmxhost/driver.h"
#include "fmxhost/platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

namespace fmxhost {

namespace {

constexpr fmx::uint32 kStringBufferSize = 1024; // units the driver offers for GetString
constexpr fmx::ptrtype kEnglish = 0x0409;       // the Windows language id sent with GetString
constexpr const char* kUsageText =
    "usage: fmxhost [--extn-version N] [--application N] [--idle SECONDS] "
    "[--shutdown-after SECONDS] PLUGIN FUNCTION|STEP [ARG...] [-- FUNCTION|STEP [ARG...]]..., "
    "or fmxhost [--extn-version N] [--application N] --info PLUGIN";
constexpr const char* kCallSeparator = "--";
constexpr auto kIdleInterval = std::chrono::milliseconds(20); // as often as a waiting host

std::string hex8(fmx::uint32 value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace

Failure::Failure(Status status, const std::string& message)
    : std::runtime_error(message), status(status) {}

Plugin::Plugin(const std::string& path) : module_(nullptr), entry_(nullptr) {
    std::error_code ignored;
    if (!std::filesystem::exists(std::filesystem::u8path(path), ignored)) {
        throw Failure(kNotLoaded, "no such file: " + path);
    }
    std::string error;
    module_ = openModule(path, error);
    if (module_ == nullptr) {
        throw Failure(kNotLoaded, "cannot load " + path + ": " + error);
    }
    entry_ = reinterpret_cast<FMX_ExternCallProc>(symbol("FMExternCallProc"));
    if (entry_ == nullptr) {
        closeModule(module_);
        throw Failure(kNotLoaded, path + " is not a plug-in: it has no FMExternCallProc");
    }
}

Plugin::~Plugin() {
    closeModule(module_);
}

void* Plugin::symbol(const char* name) const {
    return findSymbol(module_, name);
}

FMX_ExternCallStruct callBlock(const Plugin& plugin, fmx::uchar whichCall, fmx::int16 extnVersion) {
    FMX_ExternCallStruct block;
    std::memset(&block, 0, sizeof block);
    block.extnVersion = extnVersion;
    block.unusedID = -1;
    block.entryPoint = plugin.entry();
    block.whichCall = whichCall;
    block.cStartScript = fakehost::startScript;
    return block;
}

void send(const Plugin& plugin, FMX_ExternCallStruct& block) {
    plugin.entry()(&block);
}

fmx::int64 init(const Plugin& plugin, fmx::int16 extnVersion, FMX_Application application) {
    auto block = callBlock(plugin, kFMXT_Init, extnVersion);
    block.parm1 = application;
    send(plugin, block);
    return static_cast<fmx::int64>(block.result);
}

void shutdown(const Plugin& plugin, fmx::int16 extnVersion) {
    auto block = callBlock(plugin, kFMXT_Shutdown, extnVersion);
    send(plugin, block);
}

void idle(const Plugin& plugin, FMX_IdleLevel level, fmx::int16 extnVersion) {
    auto block = callBlock(plugin, kFMXT_Idle, extnVersion);
    block.parm1 = level;
    send(plugin, block);
}

std::u16string getString(const Plugin& plugin, fmx::uchar id, fmx::uint32 size,
                         fmx::int16 extnVersion) {
    std::vector<fmx::unichar16> buffer(size, 0xFFFF);
    auto block = callBlock(plugin, kFMXT_GetString, extnVersion);
    block.parm1 = id;
    block.parm2 = kEnglish;
    block.parm3 = size;
    block.result = reinterpret_cast<fmx::ptrtype>(buffer.data());
    send(plugin, block);
    const auto end = std::find(buffer.begin(), buffer.end(), 0);
    if (end == buffer.end()) {
        throw Failure(kPluginMisbehaved, "the reply to GetString " + std::to_string(id) +
                                             " has no terminator within " + std::to_string(size) +
                                             " units");
    }
    return {buffer.begin(), end};
}

namespace {

// What a call by a name nobody registered is told: every function and step there is.
Failure unknown(const std::string& name) {
    std::string known;
    for (const auto& r : fakehost::registrations()) {
        known += (known.empty() ? "" : ", ") + r.name;
    }
    for (const auto& s : fakehost::scriptSteps()) {
        known += (known.empty() ? "" : ", ") + s.name;
    }
    return Failure(kNoSuchFunction, "no function or step " + name + " is registered" +
                                        (known.empty() ? "" : " (there are " + known + ")"));
}

// The named function, when the number of arguments suits its registration.
fakehost::Registration checkedFunction(const std::string& name, std::size_t given) {
    const auto registration = fakehost::find(name);
    if (!registration) {
        throw unknown(name);
    }
    const bool unlimited = registration->maxArgs < 0;
    if (static_cast<long>(given) < registration->minArgs ||
        (!unlimited && static_cast<long>(given) > registration->maxArgs)) {
        throw Failure(
            kNoSuchFunction,
            name + " takes " + std::to_string(registration->minArgs) +
                (unlimited ? " or more" : " to " + std::to_string(registration->maxArgs)) +
                " arguments, " + std::to_string(given) + " given");
    }
    return *registration;
}

// The named step, when there are no more arguments than it has parameters.
fakehost::ScriptStep checkedStep(const std::string& name, std::size_t given) {
    const auto step = fakehost::findStep(name);
    if (!step) {
        throw unknown(name);
    }
    const auto parameters = std::count_if(step->parameters.begin(), step->parameters.end(),
                                          [](const auto& p) { return p.id >= 0; });
    if (static_cast<long>(given) > parameters) {
        throw Failure(kNoSuchFunction, name + " takes 0 to " + std::to_string(parameters) +
                                           " parameters, " + std::to_string(given) + " given");
    }
    return *step;
}

std::vector<fakehost::Argument> texts(const std::vector<std::string>& arguments) {
    std::vector<fakehost::Argument> values;
    for (const auto& argument : arguments) {
        values.push_back({argument});
    }
    return values;
}

} // namespace

fakehost::Result callFunction(const std::string& name, const std::vector<std::string>& arguments) {
    const fakehost::Registration registration = checkedFunction(name, arguments.size());
    return fakehost::call(registration.handler, registration.functionId, texts(arguments));
}

fakehost::Result performStep(const std::string& name, const std::vector<std::string>& arguments) {
    return fakehost::performStep(checkedStep(name, arguments.size()), arguments);
}

namespace {

// One function call or step of the command line.
struct Call {
    std::string name;
    std::vector<std::string> arguments;
};

struct Options {
    fmx::int16 extnVersion = kCurrentExtnVersion;
    FMX_Application application = 0; // Developer
    double idleSeconds = -1;         // below zero: no Idle messages
    double shutdownAfter = -1;       // below zero: Shutdown once the calls are done
    bool info = false;
    std::string plugin;
    std::vector<Call> calls; // in order; none with --info
};

// A whole number from `low` to `high`, for the option `name`.
long number(const std::string& name, const std::string& text, long low, long high) {
    std::size_t end = 0;
    long value = 0;
    try {
        value = std::stol(text, &end);
    } catch (const std::exception&) {
        end = 0;
    }
    if (end == 0 || end != text.size() || value < low || value > high) {
        throw Failure(kUsage, name + " takes a number from " + std::to_string(low) + " to " +
                                  std::to_string(high) + ", not \"" + text + "\"");
    }
    return value;
}

Options parse(const std::vector<std::string>& arguments) {
    Options options;
    std::size_t i = 1;
    for (; i < arguments.size(); ++i) {
        if (arguments[i] == "--info") {
            options.info = true;
        } else if (arguments[i] == "--extn-version") {
            if (++i == arguments.size()) {
                throw Failure(kUsage, "--extn-version needs a number");
            }
            options.extnVersion =
                static_cast<fmx::int16>(number("--extn-version", arguments[i], -32768, 32767));
        } else if (arguments[i] == "--application" || arguments[i] == "--idle" ||
                   arguments[i] == "--shutdown-after") {
            const std::string name = arguments[i];
            if (++i == arguments.size()) {
                throw Failure(kUsage, name + " needs a number");
            }
            if (name == "--idle") {
                options.idleSeconds = static_cast<double>(number(name, arguments[i], 0, 86400));
            } else if (name == "--shutdown-after") {
                options.shutdownAfter = static_cast<double>(number(name, arguments[i], 0, 86400));
            } else {
                options.application =
                    static_cast<FMX_Application>(number(name, arguments[i], 0, 255));
            }
        } else if (arguments[i].rfind("--", 0) == 0) {
            throw Failure(kUsage, "unknown option " + arguments[i]);
        } else {
            break;
        }
    }
    if (i == arguments.size()) {
        throw Failure(kUsage, "no plug-in named");
    }
    options.plugin = arguments[i++];
    if (options.info) {
        if (i != arguments.size()) {
            throw Failure(kUsage, "--info takes the plug-in alone");
        }
        return options;
    }
    if (i == arguments.size()) {
        throw Failure(kUsage, "no function named");
    }
    // The calls, separated by --: each is a name and its arguments.
    options.calls.emplace_back();
    for (; i < arguments.size(); ++i) {
        Call& call = options.calls.back();
        if (arguments[i] == kCallSeparator) {
            if (call.name.empty()) {
                throw Failure(kUsage, "no function named before --");
            }
            options.calls.emplace_back();
        } else if (call.name.empty()) {
            call.name = arguments[i];
        } else {
            call.arguments.push_back(arguments[i]);
        }
    }
    if (options.calls.back().name.empty()) {
        throw Failure(kUsage, "no function named after --");
    }
    return options;
}

// From a successful Init to Shutdown, which the host sends once whatever happens in between.
struct Started {
    const Plugin& plugin;
    fmx::int16 extnVersion;
    std::once_flag sent;

    void end() {
        std::call_once(sent, [&] { shutdown(plugin, extnVersion); });
    }
    ~Started() { end(); }
};

// The host closing while a function runs on another of its threads: Shutdown from a thread of
// its own after a while, unless the function is done first.
class Closer {
  public:
    Closer(Started& started, double seconds) {
        if (seconds >= 0) {
            thread_ = std::thread([this, &started, seconds] {
                std::unique_lock<std::mutex> lock(lock_);
                if (!done_.wait_for(lock, std::chrono::duration<double>(seconds),
                                    [this] { return finished_; })) {
                    lock.unlock();
                    started.end();
                }
            });
        }
    }
    ~Closer() {
        {
            std::lock_guard<std::mutex> lock(lock_);
            finished_ = true;
        }
        done_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;

  private:
    std::mutex lock_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

void printInfo(std::ostream& out, const Plugin& plugin, fmx::int16 extnVersion, fmx::int64 reply) {
    const auto text = [&](fmx::uchar id) {
        return fakehost::utf8(getString(plugin, id, kStringBufferSize, extnVersion));
    };
    out << "name:         " << text(kFMXT_NameStr) << '\n'
        << "description:  " << text(kFMXT_AppConfigStr) << '\n'
        << "options:      " << text(kFMXT_OptionsStr) << '\n'
        << "Init reply:   " << reply << " (extension version " << extnVersion << ")\n"
        << "functions:\n"
        << "  id     name             parameters  flags       prototype\n";
    for (const auto& r : fakehost::registrations()) {
        std::ostringstream counts;
        counts << r.minArgs << " to " << r.maxArgs;
        out << "  " << std::left << std::setw(6) << r.functionId << ' ' << std::setw(16) << r.name
            << ' ' << std::setw(11) << counts.str() << ' ' << hex8(r.flags) << "  " << r.prototype
            << '\n'
            << "         plug-in " << r.pluginId << ", description: " << r.description << '\n';
    }
    out << "steps:\n"
        << "  id     name             flags       definition\n";
    for (const auto& s : fakehost::scriptSteps()) {
        out << "  " << std::left << std::setw(6) << s.stepId << ' ' << std::setw(16) << s.name
            << ' ' << hex8(s.flags) << "  " << s.definition << '\n'
            << "         plug-in " << s.pluginId << ", description: " << s.description << '\n';
    }
}

// The host waiting for the user: Idle on the main thread every 20 ms, each script the plug-in
// starts printed at once.
void idleFor(const Plugin& plugin, const Options& options, std::ostream& out) {
    fakehost::onScriptStart([&](const fakehost::ScriptStart& start) {
        out << "StartScript\t" << start.file << '\t' << start.script << '\t' << start.control
            << '\t' << start.parameter << '\n'
            << std::flush;
    });
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(options.idleSeconds));
    auto next = std::chrono::steady_clock::now();
    while (next < end) {
        idle(plugin, kFMXT_UserNotIdle, options.extnVersion);
        next += kIdleInterval;
        std::this_thread::sleep_until(std::min(next, end));
    }
    fakehost::onScriptStart(nullptr);
}

// A call checked against what the plug-in registered, ready to be made; a name that only a step
// has performs the step. The handler is kept, so a call still reaches it after Shutdown.
std::function<fakehost::Result()> prepared(const Call& call) {
    if (!fakehost::find(call.name) && fakehost::findStep(call.name)) {
        return [step = checkedStep(call.name, call.arguments.size()), values = call.arguments] {
            return fakehost::performStep(step, values);
        };
    }
    return [function = checkedFunction(call.name, call.arguments.size()),
            values = texts(call.arguments)] {
        return fakehost::call(function.handler, function.functionId, values);
    };
}

// Prints the result of one call and answers its status: a function's or step's error code is
// written to `err`, after the result the host would show as a step's detail.
int report(const fakehost::Result& result, std::ostream& out, std::ostream& err) {
    if (result.error == 0 || result.sets > 0) {
        out << fakehost::utf8(result.text) << '\n' << std::flush;
    }
    if (result.error == 0) {
        return kOk;
    }
    err << "fmxhost: error " << result.error << '\n' << std::flush;
    return kFunctionFailed;
}

// The calls one after the other in one load of the plug-in, as the host makes them; the status
// is the last call's.
int runChecked(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    const Options options = parse(arguments);
    const Plugin plugin(options.plugin);
    const fmx::int64 reply = init(plugin, options.extnVersion, options.application);
    Started started{plugin, options.extnVersion, {}};
    if (reply <= 0) {
        throw Failure(kRefused, options.plugin + " refused to start: Init replied " +
                                    std::to_string(reply) + " to extension version " +
                                    std::to_string(options.extnVersion));
    }
    for (const fmx::uchar id : {kFMXT_NameStr, kFMXT_AppConfigStr, kFMXT_OptionsStr}) {
        getString(plugin, id, kStringBufferSize, options.extnVersion);
    }
    if (options.info) {
        printInfo(out, plugin, options.extnVersion, reply);
        return kOk;
    }
    // Every call is checked first, so that a misspelt name stops the run before any is made.
    std::vector<std::function<fakehost::Result()>> calls;
    for (const Call& call : options.calls) {
        calls.push_back(prepared(call));
    }
    int status = kOk;
    {
        const Closer closer(started, options.shutdownAfter);
        for (const auto& call : calls) {
            status = report(call(), out, err);
        }
    }
    if (options.idleSeconds >= 0) {
        idleFor(plugin, options, out);
    }
    return status;
}

// What the fake host saw go wrong during the run: misuses and objects left alive.
void warnAboutHostState(std::size_t misusesBefore, int textsBefore, int quadCharsBefore,
                        std::ostream& err) {
    const auto misuses = fakehost::misuses();
    for (auto i = misusesBefore; i < misuses.size(); ++i) {
        err << "fmxhost: warning: the plug-in misused the SDK: " << misuses[i] << '\n';
    }
    const int texts = fakehost::liveTexts() - textsBefore;
    const int quadChars = fakehost::liveQuadChars() - quadCharsBefore;
    if (texts != 0 || quadChars != 0) {
        err << "fmxhost: warning: the plug-in left " << texts << " texts and " << quadChars
            << " four-character codes undeleted\n";
    }
    if (fakehost::liveData() != 0 || fakehost::liveLocales() != 0) {
        err << "fmxhost: warning: the plug-in left " << fakehost::liveData() << " data and "
            << fakehost::liveLocales() << " locales undeleted\n";
    }
}

} // namespace

int run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    if (arguments.size() == 2 && (arguments[1] == "--help" || arguments[1] == "-h")) {
        out << kUsageText << '\n';
        return kOk;
    }
    const auto misusesBefore = fakehost::misuses().size();
    const int textsBefore = fakehost::liveTexts();
    const int quadCharsBefore = fakehost::liveQuadChars();
    int status = kOk;
    try {
        status = runChecked(arguments, out, err);
    } catch (const Failure& failure) {
        err << "fmxhost: " << failure.what();
        if (failure.status == kUsage) {
            err << " (" << kUsageText << ")";
        }
        err << '\n';
        status = failure.status;
    } catch (const std::exception& e) {
        err << "fmxhost: an exception left the plug-in: " << e.what() << '\n';
        status = kPluginMisbehaved;
    } catch (...) {
        err << "fmxhost: an exception left the plug-in\n";
        status = kPluginMisbehaved;
    }
    warnAboutHostState(misusesBefore, textsBefore, quadCharsBefore, err);
    return status;
}

} // namespace fmxhost
