#include "plugin/events.h"

#include "belpic/kaart.h"
#include "belpic/sessie.h"
#include "belpic/wacht.h"
#include "plugin/language.h"
#include "plugin/lezing.h"
#include "plugin/module.h"
#include "json/json.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
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

// A script the watch starts: which, and for cards in which reader (any when empty). The
// insertion script may be given the card's fields instead of the reader's name.
struct Script {
    std::string fileName;
    std::string scriptName;
    std::string reader;
    belpic::Vraag fields; // none: the script is given the reader's name

    bool operator==(const Script& other) const {
        return fileName == other.fileName && scriptName == other.scriptName &&
               reader == other.reader && fields.velden == other.fields.velden;
    }
    bool Serves(const std::string& cardReader) const {
        return reader.empty() || reader == cardReader;
    }
};

// EID_OnCardInserted's and EID_OnCardRemoved's scripts, served by one thread. Shared by the
// watch's thread and the state: a thread that a stop let go keeps its watch. Set once made, but
// for `ended`.
struct Watch {
    std::optional<Script> inserted;
    std::optional<Script> removed;
    std::shared_ptr<belpic::Onderbreking> stop = std::make_shared<belpic::Onderbreking>();
    bool ended = false; // the thread is done watching
    std::thread thread;

    const std::optional<Script>& For(bool insertion) const {
        return insertion ? inserted : removed;
    }
};

// A start not yet made: of the insertion or the removal script, for a card in `reader`.
struct Start {
    bool insertion;
    std::string reader;
    std::string parameter; // the reader's name, or the card's document
};

// What the host's threads and the watch's share; everything but `setUp` under `lock`.
struct State {
    std::mutex setUp; // one set-up or Shutdown at a time; taken before `lock`
    std::mutex lock;
    std::condition_variable ended; // a wait or the watch has ended
    FMX_Application application = kDeveloper;
    bool shutDown = false;
    std::shared_ptr<Watch> watch;
    std::vector<Start> pending; // in the order the cards came and went
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
    belpic::Fout fout;
    belpic::meldStop(fout);
    return language::ErrorDocument(fout);
}

// When a stop that begins now gives up waiting, on the clock of the sessions it stops.
belpic::Tijdstip StopDeadline() {
    return belpic::systeemKlok().nu() + kStopTime;
}

// Stops a waiter, and again every kStopAgain, until `done` (checked under `lock`) or, on the
// sessions' clock, `until`; whether it is done. It is stopped at least once, even when the time
// is up already. A stop is lost to a race between threads, not to the time the sessions keep: it
// is sent again in real time.
bool StopUntil(std::unique_lock<std::mutex>& lock, const std::function<void()>& stop,
               const std::function<bool()>& done, belpic::Tijdstip until) {
    const belpic::Klok clock = belpic::systeemKlok();
    do {
        stop();
    } while (!Shared().ended.wait_for(lock, kStopAgain, done) && clock.nu() < until);
    return done();
}

// Adds a start in its place: a card put in takes the place of the first start of its reader not
// yet made, whose starts are dropped (the cards they were of have come and gone), so that each
// reader has at most one document waiting; a card taken out goes last.
void Add(std::vector<Start>& pending, Start start) {
    auto place = pending.end();
    if (start.insertion) {
        place = std::find_if(pending.begin(), pending.end(),
                             [&](const Start& p) { return p.reader == start.reader; });
        const auto first = static_cast<std::size_t>(place - pending.begin());
        pending.erase(std::remove_if(place, pending.end(),
                                     [&](const Start& p) { return p.reader == start.reader; }),
                      pending.end());
        place = pending.begin() + static_cast<long>(std::min(first, pending.size()));
    }
    pending.insert(place, std::move(start));
}

// On the watch's thread: what its scripts are to be given, made here as plain text (the
// document in the language in force now), kept for an Idle message to start.
void Remember(const Watch& watch, const belpic::Kaartmelding& card) {
    const std::optional<Script>& script = watch.For(card.ingestoken);
    if (!script || !script->Serves(card.lezer)) {
        return;
    }
    Start start{card.ingestoken, card.lezer, card.lezer};
    if (card.ingestoken && !script->fields.velden.empty()) {
        start.parameter = lezing::Bezorgd({card.fout, card.gegevens}, card.lezer);
    }
    State& s = Shared();
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.watch.get() == &watch) {
        Add(s.pending, std::move(start));
    }
}

// The reader the thread watches: the scripts' own when they name one and the same, else all.
std::string WatchedReader(const Watch& watch) {
    if (!watch.inserted || !watch.removed) {
        return watch.inserted ? watch.inserted->reader : watch.removed->reader;
    }
    return watch.inserted->reader == watch.removed->reader ? watch.inserted->reader : "";
}

// What the watch reads from an eID card put into `reader`: the insertion script's fields.
std::optional<belpic::Vraag> FieldsFor(const Watch& watch, const std::string& reader) {
    if (!watch.inserted || watch.inserted->fields.velden.empty() ||
        !watch.inserted->Serves(reader)) {
        return std::nullopt;
    }
    return watch.inserted->fields;
}

// The watch's thread. Nothing may leave it: an exception that leaves a thread ends the process.
void RunWatch(const std::shared_ptr<Watch>& watch) {
    try {
        belpic::bewaak(
            std::make_shared<belpic::Sessie>(watch->stop), WatchedReader(*watch),
            [&watch](const std::string& reader) { return FieldsFor(*watch, reader); },
            [&watch](const belpic::Kaartmelding& card) { Remember(*watch, card); });
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
        s.pending = std::vector<Start>(); // its memory too: no card data outlives the watch
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

// Under `setUp`, with no watch left: the watch of these scripts, when there is one, unless
// Shutdown has begun meanwhile.
void StartWatch(State& s, const std::optional<Script>& inserted,
                const std::optional<Script>& removed) {
    if (!inserted && !removed) {
        return;
    }
    auto watch = std::make_shared<Watch>();
    watch->inserted = inserted;
    watch->removed = removed;
    module::KeepLoaded(); // the thread outlives this call, and maybe the plug-in's Shutdown
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.shutDown) {
        return;
    }
    watch->thread = std::thread(RunWatch, watch);
    s.watch = std::move(watch);
}

// An owned host text holding `text`.
fmx::TextUniquePtr HostText(const std::string& text) {
    fmx::TextUniquePtr hostText;
    hostText->Assign(text.c_str(), fmx::Text::kEncoding_UTF8);
    return hostText;
}

// Through the block of the Idle message it runs in: another thread's message may come at the
// same time, with a block of its own.
void StartScript(const FMX_ExternCallStruct& block, const Script& script,
                 const std::string& parameterText) {
    const fmx::TextUniquePtr file = HostText(script.fileName);
    const fmx::TextUniquePtr name = HostText(script.scriptName);
    const fmx::LocaleUniquePtr locale;
    fmx::DataUniquePtr parameter;
    parameter->SetAsText(*HostText(parameterText), *locale, fmx::Data::kDTText);
    block.cStartScript(file.get(), name.get(), kFMXT_Pause, parameter.get());
}

// Puts the starts from `next` on back before those that came since, when the watch is still
// the one they are of.
void PutBack(const Watch* watch, std::vector<Start>& starts, std::size_t next) {
    State& s = Shared();
    std::lock_guard<std::mutex> lock(s.lock);
    if (s.watch.get() != watch) {
        return;
    }
    std::vector<Start> pending(std::make_move_iterator(starts.begin() + static_cast<long>(next)),
                               std::make_move_iterator(starts.end()));
    for (Start& start : s.pending) {
        Add(pending, std::move(start));
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

namespace {

// Sets up the insertion or the removal script of the watch, or stops it (empty names). The same
// script again leaves the watch running, with the starts it has not made; any other change starts
// the watch anew.
std::string SetUp(bool insertion, const std::string& fileName, const std::string& scriptName,
                  const std::string& reader, const std::string& fields) {
    State& s = Shared();
    std::optional<Script> script;
    if (!fileName.empty() || !scriptName.empty()) {
        FMX_Application application;
        {
            std::lock_guard<std::mutex> lock(s.lock);
            application = s.application;
        }
        belpic::Fout fout;
        script = Script{fileName, scriptName, reader, {}};
        if (application > kRuntime) {
            fout = belpic::Fout{belpic::verkeerdeVraag, belpic::Melding::geenScripts, "",
                                "application " + std::to_string(application)};
        } else if (fileName.empty() || scriptName.empty()) {
            fout = belpic::Fout{belpic::verkeerdeVraag, belpic::Melding::bestandEnScript, "", ""};
        } else if (!fields.empty()) {
            script->fields = belpic::vraagNaar(fields, fout);
        }
        if (fout.code == belpic::geenFout && !reader.empty()) {
            const std::vector<std::string> readers = belpic::Kaart::lezers(fout);
            if (fout.code == belpic::geenFout &&
                std::find(readers.begin(), readers.end(), reader) == readers.end()) {
                fout = belpic::Fout{belpic::geenLezer, belpic::Melding::onbekendeLezer, reader, ""};
            }
        }
        if (fout.code != belpic::geenFout) {
            return language::ErrorDocument(fout);
        }
    }
    std::lock_guard<std::mutex> setUp(s.setUp);
    std::optional<Script> inserted;
    std::optional<Script> removed;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (s.shutDown && script) {
            return Stopped();
        }
        if (s.watch) {
            inserted = s.watch->inserted;
            removed = s.watch->removed;
        }
        std::optional<Script>& replaced = insertion ? inserted : removed;
        if (replaced == script && (!script || !s.watch->ended)) {
            return belpic::geslaagdAlsJson();
        }
        replaced = script;
    }
    StopWatch(s, StopDeadline());
    StartWatch(s, inserted, removed);
    return belpic::geslaagdAlsJson();
}

} // namespace

std::string OnCardInserted(const std::string& fileName, const std::string& scriptName,
                           const std::string& reader, const std::string& fields) {
    return SetUp(true, fileName, scriptName, reader, fields);
}

std::string OnCardRemoved(const std::string& fileName, const std::string& scriptName,
                          const std::string& reader) {
    return SetUp(false, fileName, scriptName, reader, "");
}

void Idle(const FMX_ExternCallStruct& block) {
    if (block.unsafeCalls || block.cStartScript == nullptr ||
        (block.parm1 != kFMXT_UserIdle && block.parm1 != kFMXT_UserNotIdle)) {
        return;
    }
    State& s = Shared();
    std::shared_ptr<const Watch> watch;
    std::vector<Start> starts;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        if (!s.watch || s.pending.empty()) {
            return;
        }
        watch = s.watch;
        starts.swap(s.pending);
    }
    for (std::size_t i = 0; i < starts.size(); ++i) {
        try {
            StartScript(block, *watch->For(starts[i].insertion), starts[i].parameter);
        } catch (...) {
            PutBack(watch.get(), starts, i + 1);
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
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        s.shutDown = true;
        waiting = !s.waits.empty();
        stopWaits();
    }
    std::lock_guard<std::mutex> setUp(s.setUp);
    StopWatch(s, until);
    std::unique_lock<std::mutex> lock(s.lock);
    StopUntil(
        lock, stopWaits, [&s] { return s.waits.empty(); }, until);
    // A wait stopped now still returns through this module, maybe after it is unloaded, and so
    // may a call given up on.
    if (waiting || belpic::draadAchtergelaten()) {
        module::KeepLoaded();
    }
}

} // namespace events
