#include "plugin/events.h"

#include "belpic/kaart.h"
#include "belpic/wacht.h"
#include "plugin/language.h"
#include "json/json.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace events {

namespace {

constexpr int kDefaultSeconds = 30;
constexpr int kMostSeconds = 600;
// How long Shutdown gives the waits in progress to end once stopped.
constexpr auto kEndGrace = std::chrono::seconds(1);

// The kinds of application (Init's parm1) that run scripts a plug-in starts: FileMaker Pro and
// Runtime. The server's scripting process (7), the Data API (9), WebDirect and the others do
// not.
constexpr FMX_Application kDeveloper = 0;
constexpr FMX_Application kRuntime = 2;

struct Watch {
    std::string fileName;
    std::string scriptName;
    belpic::Onderbreking stop;
    std::thread thread;
};

// Everything below is shared by the host's threads and the watch's.
std::mutex gLock;
std::condition_variable gWaitEnded;
FMX_Application gApplication = kDeveloper;
bool gEnded = false;
std::unique_ptr<Watch> gWatch;
std::vector<std::string> gPending; // readers with an insertion not yet started, each once
std::set<belpic::Onderbreking*> gWaits;

// A whole number of seconds from 0 to 600; empty gives the default.
bool ParseSeconds(const std::string& text, int& seconds) {
    const auto begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) {
        seconds = kDefaultSeconds;
        return true;
    }
    const std::string digits = text.substr(begin, text.find_last_not_of(' ') + 1 - begin);
    if (digits.empty() || digits.size() > 3 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    seconds = std::stoi(digits);
    return seconds <= kMostSeconds;
}

void Remember(Watch* watch, const std::string& reader) {
    std::lock_guard<std::mutex> lock(gLock);
    if (gWatch.get() == watch &&
        std::find(gPending.begin(), gPending.end(), reader) == gPending.end()) {
        gPending.push_back(reader);
    }
}

// Stops the watch there is and forgets its insertions; the thread is joined outside the lock,
// as the watch may be about to take it.
void StopWatch() {
    std::unique_ptr<Watch> watch;
    {
        std::lock_guard<std::mutex> lock(gLock);
        watch = std::move(gWatch);
        gPending.clear();
    }
    if (watch) {
        belpic::onderbreek(watch->stop);
        watch->thread.join();
    }
}

void StartWatch(const std::string& fileName, const std::string& scriptName,
                const std::string& reader) {
    auto watch = std::make_unique<Watch>();
    watch->fileName = fileName;
    watch->scriptName = scriptName;
    Watch* const w = watch.get();
    std::lock_guard<std::mutex> lock(gLock);
    watch->thread = std::thread([w, reader] {
        belpic::bewaak(reader, w->stop, belpic::Klok{},
                       [w](const std::string& name) { Remember(w, name); });
    });
    gWatch = std::move(watch);
}

// An owned host text holding `text`.
fmx::TextUniquePtr HostText(const std::string& text) {
    fmx::TextUniquePtr hostText;
    hostText->Assign(text.c_str(), fmx::Text::kEncoding_UTF8);
    return hostText;
}

void StartScript(const std::string& fileName, const std::string& scriptName,
                 const std::string& reader) {
    const fmx::TextUniquePtr file = HostText(fileName);
    const fmx::TextUniquePtr script = HostText(scriptName);
    const fmx::LocaleUniquePtr locale;
    fmx::DataUniquePtr parameter;
    parameter->SetAsText(*HostText(reader), *locale, fmx::Data::kDTText);
    FMX_StartScript(file.get(), script.get(), kFMXT_Pause, parameter.get());
}

} // namespace

void Begin(FMX_Application application) {
    std::lock_guard<std::mutex> lock(gLock);
    gApplication = application;
    gEnded = false;
}

std::string WaitForCard(const std::string& secondsText, const std::string& reader) {
    int seconds = 0;
    if (!ParseSeconds(secondsText, seconds)) {
        return language::ErrorDocument(belpic::Fout{belpic::verkeerdeVraag,
                                                    belpic::Melding::verkeerdeSeconden, "",
                                                    "seconds: " + secondsText});
    }
    belpic::Onderbreking stop;
    {
        std::lock_guard<std::mutex> lock(gLock);
        stop.gestopt = gEnded;
        gWaits.insert(&stop);
    }
    belpic::Fout fout;
    const std::string holder =
        belpic::wachtOpKaart(reader, std::chrono::seconds(seconds), stop, belpic::Klok{}, fout);
    {
        std::lock_guard<std::mutex> lock(gLock);
        gWaits.erase(&stop);
    }
    gWaitEnded.notify_all();
    return fout.code != belpic::geenFout ? language::ErrorDocument(fout)
                                         : belpic::lezerAlsJson(holder);
}

std::string OnCardInserted(const std::string& fileName, const std::string& scriptName,
                           const std::string& reader) {
    if (fileName.empty() && scriptName.empty()) {
        StopWatch();
        return belpic::geslaagdAlsJson();
    }
    FMX_Application application;
    {
        std::lock_guard<std::mutex> lock(gLock);
        application = gApplication;
    }
    if (application > kRuntime) {
        return language::ErrorDocument(belpic::Fout{belpic::verkeerdeVraag,
                                                    belpic::Melding::geenScripts, "",
                                                    "application " + std::to_string(application)});
    }
    if (fileName.empty() || scriptName.empty()) {
        return language::ErrorDocument(
            belpic::Fout{belpic::verkeerdeVraag, belpic::Melding::bestandEnScript, "", ""});
    }
    if (!reader.empty()) {
        belpic::Fout fout;
        const std::vector<std::string> readers = belpic::Kaart::lezers(fout);
        if (fout.code != belpic::geenFout) {
            return language::ErrorDocument(fout);
        }
        if (std::find(readers.begin(), readers.end(), reader) == readers.end()) {
            return language::ErrorDocument(
                belpic::Fout{belpic::geenLezer, belpic::Melding::onbekendeLezer, reader, ""});
        }
    }
    StopWatch();
    StartWatch(fileName, scriptName, reader);
    return belpic::geslaagdAlsJson();
}

void Idle(const FMX_ExternCallStruct& block) {
    if (block.unsafeCalls || block.cStartScript == nullptr ||
        (block.parm1 != kFMXT_UserIdle && block.parm1 != kFMXT_UserNotIdle)) {
        return;
    }
    std::string fileName;
    std::string scriptName;
    std::vector<std::string> readers;
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (!gWatch || gPending.empty()) {
            return;
        }
        fileName = gWatch->fileName;
        scriptName = gWatch->scriptName;
        readers.swap(gPending);
    }
    for (const std::string& reader : readers) {
        StartScript(fileName, scriptName, reader);
    }
}

void End() {
    StopWatch();
    std::unique_lock<std::mutex> lock(gLock);
    gEnded = true;
    for (belpic::Onderbreking* wait : gWaits) {
        belpic::onderbreek(*wait);
    }
    gWaitEnded.wait_for(lock, kEndGrace, [] { return gWaits.empty(); });
}

} // namespace events
