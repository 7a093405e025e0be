// A session with the smart-card service: one context of its own, the stop that ends whatever
// waits in it, and the clock it keeps time by.
//
// A session is shared. A call that gave up waiting for another program (the card was held) keeps
// its session, and so its context, alive until the call returns on its own thread; the owner
// goes on in the next session, which has the same stop and clock and a context of its own.
#pragma once

#include "belpic/fout.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace belpic {

using Tijdstip = std::chrono::steady_clock::time_point;

// Lets another thread stop the sessions that share it: their waits on the service are cancelled,
// their pauses end, and a call they wait for on another thread is given up on.
struct Onderbreking {
    std::mutex slot;
    std::condition_variable gewekt; // a stop, or the end of a call on another thread
    bool gestopt = false;
    // The contexts of the open sessions (wide enough for every platform's context handle). A
    // session withdraws its context before releasing it, so a stop never cancels one that is gone.
    std::vector<std::int64_t> contexten;
};

// Stops for good: every wait in progress is cancelled, no other begins.
void onderbreek(Onderbreking& onderbreking);

bool gestopt(Onderbreking& onderbreking);

// Fills `fout` for a wait, probe or read that its stop ended.
void meldStop(Fout& fout);

// The time as a session sees it.
struct Klok {
    std::function<Tijdstip()> nu;
    // A pause that ends after `duur`, or at once when the stop comes.
    std::function<void(Onderbreking&, std::chrono::milliseconds duur)> pauze;
    // Waits, with `slot` held on entry and on return, until `klaar` holds (looked at under `slot`
    // each time `gewekt` is notified) or the clock reaches `tot`.
    std::function<void(std::unique_lock<std::mutex>& slot, std::condition_variable& gewekt,
                       Tijdstip tot, const std::function<bool()>& klaar)>
        wacht;
};

// The clock of the smart-card service's world: the system's steady clock where the plug-in meets
// the real service; the scripted service's own clock in the tests.
Klok systeemKlok();

// An established PC/SC context, released when its owner goes.
struct Context {
    std::int64_t handvat = 0;

    Context() = default;
    explicit Context(std::int64_t context) : handvat(context) {}
    ~Context() { sluit(); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    void sluit();
};

struct Sessie {
    std::shared_ptr<Onderbreking> stop;
    Klok klok;
    Context context; // made by open(); released with the session

    explicit Sessie(std::shared_ptr<Onderbreking> stop = std::make_shared<Onderbreking>(),
                    Klok klok = systeemKlok());
    ~Sessie();
    Sessie(const Sessie&) = delete;
    Sessie& operator=(const Sessie&) = delete;
};

// The session after `sessie`: the same stop and clock, no context yet.
std::shared_ptr<Sessie> volgende(const Sessie& sessie);

// Makes the session's context when it has none; false with `fout` filled when the service
// refused it.
bool open(Sessie& sessie, Fout& fout);

// Pauses `duur` on the session's clock; false when the session is stopped.
bool pauzeer(Sessie& sessie, std::chrono::milliseconds duur);

// Runs `oproep` on a thread of its own and waits for it until the session's clock reaches
// `uiterlijk`, or until the stop. True when it returned in time. Otherwise the caller gives up on
// it and must leave the session (pcsc-lite lets one call at a time into a context): the call
// runs on alone holding the session, and when it returns, `laatLos` lets go on that thread of
// whatever the call took. What the call hands the caller it sets under the stop's lock. An
// exception the call throws while waited for goes on to the caller, once `laatLos` has let go of
// what the call took.
bool opTijd(const std::shared_ptr<Sessie>& sessie, Tijdstip uiterlijk,
            const std::function<void()>& oproep, const std::function<void()>& laatLos);

// Whether a call was ever given up on and left running: from then on code of this module may
// run on a thread of its own at any time, so the module must stay loaded.
bool draadAchtergelaten();

} // namespace belpic
