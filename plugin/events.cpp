#include "plugin/events.h"

#include "belpic/kaart.h"
#include "belpic/wacht.h"
#include "plugin/language.h"
#include "plugin/module.h"
#include "json/json.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

namespace events {

namespace {

constexpr int kDefaultSeconds = 30;
constexpr int kMostSeconds = 600;
// How long a stop waits for the watch or a wait to end: FileMaker must quit, and a file close,
// at once, whatever the smart-card service does. A watch still inside a call to the service
// after that is let go, and ends by itself when the call returns.
constexpr auto kStopTime = std::chrono::milliseconds(150);
// How often a stop is sent again until its waiter has ended: pcsc-lite's SCardCancel reaches
// only a wait in progress, so a stop that lands between two of the waiter's calls is lost, and
// the next must come well within the time a stop has.
constexpr auto kStopAgain = std::chrono::milliseconds(50);
static_assert(kStopAgain * 2 <= kStopTime, "a lost stop is sent again in time");

// The kinds of application (Init's parm1) that run scripts a plug-in starts: FileMaker Pro and
// Runtime. The server's scripting process (7), the Data API (9), WebDirect and the others do
// not.
constexpr FMX_Application kDeveloper = 0;
constexpr FMX_Application kRuntime = 2;

// Shared by the watch's thread and the state: a thread that a stop let go keeps its watch.
struct Watch {
    std::string fileName;
    std::string scriptName;
    std::string reader;
    std::shared_ptr<belpic::Onderbreking> stop = std::make_shared<belpic::Onderbreking>();
    bool ended = false; // the thread is done watching
    std::thread thread;
};

// What the host's threads and the watch's share; everything but `setUp` under `lock`.
struct State {
    std::mutex setUp; // one set-up or Shutdown at a time; taken before `lock`
    std::mutex lock;
    std::condition_variable ended; // a wait or the watch has ended
    FMX_Application application = kDeveloper;
    bool shutDown = false;
    std::shared_ptr<Watch> watch;
    std::vector<std::string> pending; // readers with an insertion not yet started, each once
    std::set<belpic::Onderbreking*> waits;
};

// Never destroyed. A host that unloads the plug-in without Shutdown (it crashed, or was made to
// quit) leaves the watch running until the process ends, and its thread uses this state till
// then: destroyed, its joinable thread would end the process, and the thread would lock a
// destroyed mutex (which throws on macOS); joined instead, it would deadlock under the Windows
// loader lock. After Shutdown it holds no memory, so nothing is lost when the module goes.
State& Shared() {
    alignas(State) static unsigned char storage[sizeof(State)];
    static State* const state = new (storage) State;
    return *state;
}

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

// What a wait answers when it was stopped.
std::string Stopped() {
    return language::ErrorDocument(
        belpic::Fout{belpic::onderbroken, belpic::Melding::wachtGestopt, "", "stopped"});
}

// When a stop that begins now gives up waiting, on the clock of the sessions it stops.
belpic::Tijdstip StopDeadline() {
    return belpic::systeemKlok().nu() + kStopTime;
}

// Stops a waiter, and again every kStopAgain, until `done` (checked under `lock`) or, on the
// sessions' clock, `until`; whether it is done. A stop is lost to a race between threads, not to
// the time the sessions keep: it is sent again in real time.
bool StopUntil(std::unique_lock<std::mutex>& lock, const std::function<void()>& stop,
               const std::function<bool()>& done, belpic::Tijdstip until) {
    const belpic::Klok clock = belpic::systeemKlok();
    while (!done() && clock.nu() < until) {
        stop();
        Shared().ended.wait_for(lock, kStopAgain, done);
    }
    return done();
}

void Remember(Watch* watch, const std::string& reader) {
    State& s = Shared();
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.watch.get() == watch &&
        std::find(s.pending.begin(), s.pending.end(), reader) == s.pending.end()) {
        s.pending.push_back(reader);
    }
}

// The watch's thread. Nothing may leave it: an exception that leaves a thread ends the process.
void RunWatch(const std::shared_ptr<Watch>& watch) {
    try {
        belpic::bewaak(std::make_shared<belpic::Sessie>(watch->stop), watch->reader,
                       [&watch](const std::string& reader) { Remember(watch.get(), reader); });
    } catch (...) {
        // Out of memory, or the like: this watch ends, and the next set-up starts another.
    }
    State& s = Shared();
    {
        std::lock_guard<std::mutex> lock(s.lock);
        watch->ended = true;
    }
    s.ended.notify_all();
}

// Under `setUp`: stops the watch there is and forgets its insertions. Its thread is joined once
// it has ended, or let go at `until`, to end by itself.
void StopWatch(State& s, belpic::Tijdstip until) {
    std::shared_ptr<Watch> watch;
    bool ended = false;
    {
        std::unique_lock<std::mutex> lock(s.lock);
        watch = std::move(s.watch);
        s.pending = std::vector<std::string>(); // its memory too
        if (!watch) {
            return;
        }
        ended = StopUntil(
            lock, [&] { belpic::onderbreek(*watch->stop); }, [&] { return watch->ended; }, until);
    }
    if (ended) {
        watch->thread.join();
    } else {
        watch->thread.detach();
    }
}

// Under `setUp`, with no watch left.
void StartWatch(State& s, const std::string& fileName, const std::string& scriptName,
                const std::string& reader) {
    auto watch = std::make_shared<Watch>();
    watch->fileName = fileName;
    watch->scriptName = scriptName;
    watch->reader = reader;
    module::KeepLoaded(); // the thread outlives this call, and maybe the plug-in's Shutdown
    std::lock_guard<std::mutex> lock(s.lock);
    watch->thread = std::thread(RunWatch, watch);
    s.watch = std::move(watch);
}

bool IsRunning(const State& s, const std::string& fileName, const std::string& scriptName,
               const std::string& reader) {
    return s.watch && !s.watch->ended && s.watch->fileName == fileName &&
           s.watch->scriptName == scriptName && s.watch->reader == reader;
}

// An owned host text holding `text`.
fmx::TextUniquePtr HostText(const std::string& text) {
    fmx::TextUniquePtr hostText;
    hostText->Assign(text.c_str(), fmx::Text::kEncoding_UTF8);
    return hostText;
}

// Through the block of the Idle message it runs in: another thread's message may come at the
// same time, with a block of its own.
void StartScript(const FMX_ExternCallStruct& block, const std::string& fileName,
                 const std::string& scriptName, const std::string& reader) {
    const fmx::TextUniquePtr file = HostText(fileName);
    const fmx::TextUniquePtr script = HostText(scriptName);
    const fmx::LocaleUniquePtr locale;
    fmx::DataUniquePtr parameter;
    parameter->SetAsText(*HostText(reader), *locale, fmx::Data::kDTText);
    block.cStartScript(file.get(), script.get(), kFMXT_Pause, parameter.get());
}

// Puts the starts from `next` on back before those that came since, when the watch is still
// the one they are of.
void PutBack(const Watch* watch, const std::vector<std::string>& readers, std::size_t next) {
    State& s = Shared();
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.watch.get() != watch) {
        return;
    }
    std::vector<std::string> pending(readers.begin() + static_cast<long>(next), readers.end());
    for (const std::string& reader : s.pending) {
        if (std::find(pending.begin(), pending.end(), reader) == pending.end()) {
            pending.push_back(reader);
        }
    }
    s.pending.swap(pending);
}

// A wait in progress, known to Shutdown while it lasts.
struct Wait {
    std::shared_ptr<belpic::Onderbreking> stop = std::make_shared<belpic::Onderbreking>();

    Wait() {
        State& s = Shared();
        std::lock_guard<std::mutex> lock(s.lock);
        stop->gestopt = s.shutDown;
        s.waits.insert(stop.get());
    }
    ~Wait() {
        State& s = Shared();
        {
            std::lock_guard<std::mutex> lock(s.lock);
            s.waits.erase(stop.get());
        }
        s.ended.notify_all();
    }
    Wait(const Wait&) = delete;
    Wait& operator=(const Wait&) = delete;
};

} // namespace

void Begin(FMX_Application application) {
    State& s = Shared();
    std::lock_guard<std::mutex> lock(s.lock);
    s.application = application;
    s.shutDown = false;
}

std::string WaitForCard(const std::string& secondsText, const std::string& reader) {
    int seconds = 0;
    if (!ParseSeconds(secondsText, seconds)) {
        return language::ErrorDocument(belpic::Fout{belpic::verkeerdeVraag,
                                                    belpic::Melding::verkeerdeSeconden, "",
                                                    "seconds: " + secondsText});
    }
    Wait wait;
    belpic::Fout fout;
    const std::string holder = belpic::wachtOpKaart(std::make_shared<belpic::Sessie>(wait.stop),
                                                    reader, std::chrono::seconds(seconds), fout);
    return fout.code != belpic::geenFout ? language::ErrorDocument(fout)
                                         : belpic::lezerAlsJson(holder);
}

std::string OnCardInserted(const std::string& fileName, const std::string& scriptName,
                           const std::string& reader) {
    State& s = Shared();
    if (fileName.empty() && scriptName.empty()) {
        std::lock_guard<std::mutex> setUp(s.setUp);
        StopWatch(s, StopDeadline());
        return belpic::geslaagdAlsJson();
    }
    FMX_Application application;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        application = s.application;
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
    std::lock_guard<std::mutex> setUp(s.setUp);
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.shutDown) {
            return Stopped();
        }
        if (IsRunning(s, fileName, scriptName, reader)) {
            return belpic::geslaagdAlsJson();
        }
    }
    StopWatch(s, StopDeadline());
    StartWatch(s, fileName, scriptName, reader);
    return belpic::geslaagdAlsJson();
}

void Idle(const FMX_ExternCallStruct& block) {
    if (block.unsafeCalls || block.cStartScript == nullptr ||
        (block.parm1 != kFMXT_UserIdle && block.parm1 != kFMXT_UserNotIdle)) {
        return;
    }
    State& s = Shared();
    const Watch* watch = nullptr;
    std::string fileName;
    std::string scriptName;
    std::vector<std::string> readers;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (!s.watch || s.pending.empty()) {
            return;
        }
        watch = s.watch.get();
        fileName = s.watch->fileName;
        scriptName = s.watch->scriptName;
        readers.swap(s.pending);
    }
    for (std::size_t i = 0; i < readers.size(); ++i) {
        try {
            StartScript(block, fileName, scriptName, readers[i]);
        } catch (...) {
            PutBack(watch, readers, i + 1);
            throw;
        }
    }
}

void End() {
    State& s = Shared();
    const belpic::Tijdstip until = StopDeadline();
    const auto stopWaits = [&s] {
        for (belpic::Onderbreking* wait : s.waits) {
            belpic::onderbreek(*wait);
        }
    };
    {
        std::lock_guard<std::mutex> lock(s.lock);
        s.shutDown = true;
        stopWaits();
    }
    std::lock_guard<std::mutex> setUp(s.setUp);
    StopWatch(s, until);
    std::unique_lock<std::mutex> lock(s.lock);
    if (!StopUntil(
            lock, stopWaits, [&s] { return s.waits.empty(); }, until)) {
        // A wait still inside a call to the service returns into this module later.
        module::KeepLoaded();
    }
}

} // namespace events
