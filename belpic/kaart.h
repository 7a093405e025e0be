// The card connection over PC/SC.
#pragma once

#include "belpic/fout.h"
#include "belpic/sessie.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace belpic {

using Bytes = std::vector<std::uint8_t>;

// How long a read waits for the card when another program holds it (the system reading its
// certificates just after an insertion, a signature waiting for its PIN): connecting and
// beginning the transaction together, until the card is ours.
inline constexpr std::chrono::seconds kGeduld(10);

// The handles are kept as 64-bit integers so that this header needs no platform header (which
// on Windows would bring <windows.h> to every caller); every platform's SCARDCONTEXT and
// SCARDHANDLE fits: pointer-sized on Windows, `long` on Linux, 32 bits on macOS.

// A card connection whose transaction has begun: no other program's command comes between
// ours until the owner ends it, disconnects and so lets the card go.
struct Transactie {
    std::int64_t handvat = 0;

    Transactie() = default;
    explicit Transactie(std::int64_t kaart) : handvat(kaart) {}
    ~Transactie() { sluit(); }
    Transactie(const Transactie&) = delete;
    Transactie& operator=(const Transactie&) = delete;

    // Ends the transaction and disconnects, with the card reset once on the way (where, the
    // platform decides); true when the service said at the end that another party had reset
    // the card meanwhile. Harmless when closed.
    bool sluit();

    // As sluit, but the card is left as it was found, neither reset nor unpowered: a card that
    // is not ours keeps what its own program gave it (a verified PIN, a selected application).
    bool laatLiggen();
};

// What the service tells of the card in a reader.
enum class KaartStand {
    leeg,      // no card
    stom,      // a card that did not answer the reset
    exclusief, // a card another program holds alone
    aanwezig,  // a card that can be connected to
};

struct Lezer {
    std::string naam;
    KaartStand kaart = KaartStand::leeg;
    Bytes atr; // the card's answer to reset; empty without a card
};

// At most one card connection, owned, in a session with the service: the destructor ends the
// connection; the session's context goes with the last of its owners.
class Kaart {
  public:
    Kaart() : Kaart(std::make_shared<Sessie>()) {}
    explicit Kaart(std::shared_ptr<Sessie> sessie) : sessie_(std::move(sessie)) {}

    // The names of the readers the service knows, in its order; uses a context of its own.
    static std::vector<std::string> lezers(Fout& fout);

    // Every reader the service knows, in its order, with the card in it, from one question to
    // the service in this Kaart's session. No reader at all is an empty list with `fout`
    // geenLezer.
    std::vector<Lezer> lezersMetKaart(Fout& fout);

    // Connects to the card in the reader named `lezer` and begins a transaction: the card is
    // shared, but no other program's command comes between ours until verbreek. A connection
    // held before is closed first. While another program holds the card, it waits until the
    // session's clock reaches `uiterlijk` (kGeduld from now when not given), then gives up with
    // the call that was waiting and SCARD_E_TIMEOUT; a stop gives up at once. A call given up on
    // runs on alone in the session it began in, and this Kaart goes on in the next.
    bool verbind(const std::string& lezer, Fout& fout);
    bool verbind(const std::string& lezer, Fout& fout, Tijdstip uiterlijk);

    // Sends one command APDU; returns the whole response, status word included. A stopped session
    // sends nothing more.
    Bytes stuur(const Bytes& apdu, Fout& fout);

    // Ends the transaction and disconnects with the card left as found (Transactie::laatLiggen).
    // Harmless without a connection.
    void laatLiggen();

    // Ends the transaction and disconnects with the card reset once on the way (Transactie::sluit).
    // Harmless without a connection.
    void verbreek();

    // Whether, since verbind, the service said that another party reset or re-powered the card
    // under this connection: what was read over it may not all come from one card session.
    bool verstoord() const { return verstoord_; }

    // The session this Kaart is in now.
    const std::shared_ptr<Sessie>& sessie() const { return sessie_; }

  private:
    // Declared in this order so that the transaction ends before its context is released.
    std::shared_ptr<Sessie> sessie_;
    Transactie transactie;
    std::uint32_t protocol = 0;
    bool verstoord_ = false;
};

} // namespace belpic
