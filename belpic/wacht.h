// Waiting for cards: the card events of the PC/SC service, read in slices in a session of the
// waiter's own, so that another thread can stop the wait at once.
#pragma once

#include "belpic/kaart.h"
#include "belpic/lees.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace belpic {

// Waits at most `duur` until a card is in `lezer` (any reader when empty; readers plugged in
// meanwhile count too) and returns the name of the reader holding it, the first in the
// service's order. A duration of zero looks once. The wait is made in `sessie` and, after a
// failure of the service, in the sessions after it; its stop ends it at once.
//
// Waits and watches count eID cards only: each card is probed once while it stays in its reader
// (connected to in the waiter's session, asked to select the identity file, and let go without
// a reset). A card that refuses the file is of another kind and ignored until it leaves; a card
// that cannot be probed counts, and so does one that another program holds until the wait's
// time (and a moment more: kProefRuimte) is up.
std::string wachtOpKaart(std::shared_ptr<Sessie> sessie, const std::string& lezer,
                         std::chrono::milliseconds duur, Fout& fout);

// A probe may wait for a card another program holds until this long after the end of the wait:
// a free card answers within milliseconds, even in a wait of no time.
inline constexpr std::chrono::milliseconds kProefRuimte(200);

// What a watch tells: an eID card came into `lezer`, with what the read of it gave when the
// watch reads (the fields asked, or the failure); or an eID card that the watch told left `lezer`
// (taken out, or gone with its reader).
struct Kaartmelding {
    bool ingestoken; // else taken out
    std::string lezer;
    Gegevens gegevens;
    Fout fout;
};

// Until the stop, tells `meld` each time an eID card is put into `lezer` (any reader when
// empty) and each time a card it told leaves. A card already present at the start is no
// insertion. When the service goes away the watch pauses and tries again until it is back. Each
// probe waits at most kGeduld for a card another program holds; then the card counts.
//
// Before it probes a card put in, the watch asks `vraagVoor` what to read from the reader; an eID
// card it is to read from is read on in the probe's connection and transaction: the same commands
// and ending as lees, after the probe's SELECT of the identity file. A stop ends the read between
// two commands, and nothing is told.
using VraagVoor = std::function<std::optional<Vraag>(const std::string& lezer)>;
void bewaak(std::shared_ptr<Sessie> sessie, const std::string& lezer, const VraagVoor& vraagVoor,
            const std::function<void(const Kaartmelding&)>& meld);

} // namespace belpic
