// Waiting for cards: the card events of the PC/SC service, read in slices in a session of the
// waiter's own, so that another thread can stop the wait at once.
#pragma once

#include "belpic/kaart.h"

#include <chrono>
#include <functional>
#include <memory>
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

// Until the stop, tells `ingestoken` the reader's name each time a card is put into `lezer`
// (any reader when empty). A card already present at the start is no insertion. When the
// service goes away the watch pauses and tries again until it is back. Each probe waits at most
// kGeduld for a card another program holds; then the card counts.
void bewaak(std::shared_ptr<Sessie> sessie, const std::string& lezer,
            const std::function<void(const std::string&)>& ingestoken);

} // namespace belpic
