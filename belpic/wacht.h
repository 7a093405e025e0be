// Waiting for cards: the card events of the PC/SC service, read in slices on a context of the
// waiter's own, so that another thread can stop the wait at once.
#pragma once

#include "belpic/kaart.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace belpic {

// Lets another thread stop a wait: the waiter shows the context it waits on here.
struct Onderbreking {
    std::mutex slot;
    std::condition_variable gewekt; // for pauses between slices
    bool gestopt = false;
    std::int64_t context = 0; // wide enough for every platform's context handle; 0: none
};

// Stops the wait for good: the current slice is cancelled, no other begins.
void onderbreek(Onderbreking& onderbreking);

using Tijdstip = std::chrono::steady_clock::time_point;

// The time as the waiter sees it, and its pause between attempts while the service is away and
// between a probe's attempts to connect; the pause ends early when the wait is stopped. Tests
// inject both.
struct Klok {
    std::function<Tijdstip()> nu = std::chrono::steady_clock::now;
    std::function<void(Onderbreking&, std::chrono::milliseconds)> pauze = pauzeer;

    static void pauzeer(Onderbreking& onderbreking, std::chrono::milliseconds duur);
};

// Waits at most `duur` until a card is in `lezer` (any reader when empty; readers plugged in
// meanwhile count too) and returns the name of the reader holding it, the first in the
// service's order. A duration of zero looks once.
//
// Waits and watches count eID cards only: each card is probed once while it stays in its reader
// (connected to on the waiter's own context, asked to select the identity file, and let go
// without a reset). A card that refuses the file is of another kind and ignored until it leaves;
// a card that cannot be probed counts.
std::string wachtOpKaart(const std::string& lezer, std::chrono::milliseconds duur,
                         Onderbreking& onderbreking, const Klok& klok, Fout& fout);

// Until the wait is stopped, tells `ingestoken` the reader's name each time a card is put into
// `lezer` (any reader when empty). A card already present at the start is no insertion. When
// the service goes away the watch pauses and tries again until it is back.
void bewaak(const std::string& lezer, Onderbreking& onderbreking, const Klok& klok,
            const std::function<void(const std::string&)>& ingestoken);

} // namespace belpic
