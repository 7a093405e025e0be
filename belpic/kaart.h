// The card connection over PC/SC.
#pragma once

#include "belpic/fout.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace belpic {

using Bytes = std::vector<std::uint8_t>;

// The wait between two attempts to connect. The core sleeps; tests put in one that only
// records what it was asked, so that they run on their own time. Returns the previous one.
using Pauze = void (*)(std::chrono::milliseconds);
Pauze zetPauze(Pauze pauze);

// The pause between two attempts to connect as a waiter takes it, which a stop can cut short:
// false when the attempts are to end there.
using Tussenpauze = std::function<bool(std::chrono::milliseconds)>;

// The handles are kept as 64-bit integers so that this header needs no platform header (which
// on Windows would bring <windows.h> to every caller); every platform's SCARDCONTEXT and
// SCARDHANDLE fits: pointer-sized on Windows, `long` on Linux, 32 bits on macOS.

// An established PC/SC context, released when its owner goes; a borrowed one is only let go,
// for the owner that lent it to release.
struct Context {
    std::int64_t handvat = 0;
    bool geleend = false;

    Context() = default;
    explicit Context(std::int64_t context, bool geleend = false)
        : handvat(context), geleend(geleend) {}
    ~Context() { sluit(); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    void sluit();
};

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

// One PC/SC context and at most one card connection, owned: the destructor closes both.
class Kaart {
  public:
    Kaart() = default;
    // A Kaart on the context of another owner (a waiter's), which outlives it.
    explicit Kaart(std::int64_t geleendeContext) : context(geleendeContext, true) {}

    // The names of the readers the service knows, in its order; uses a context of its own.
    static std::vector<std::string> lezers(Fout& fout);

    // Every reader the service knows, in its order, with the card in it, from one question to
    // the service on this Kaart's context (made when it has none). No reader at all is an empty
    // list with `fout` geenLezer.
    std::vector<Lezer> lezersMetKaart(Fout& fout);

    // Connects to the card in the reader named `lezer` on this Kaart's context (made when it has
    // none) and begins a transaction: the card is shared, but no other program's command comes
    // between ours until verbreek. A connection held before is closed first.
    bool verbind(const std::string& lezer, Fout& fout);
    // As verbind, with `pauze` between the attempts instead of the pause that zetPauze sets.
    bool verbind(const std::string& lezer, Fout& fout, const Tussenpauze& pauze);

    // Sends one command APDU; returns the whole response, status word included.
    Bytes stuur(const Bytes& apdu, Fout& fout);

    // Ends the transaction and disconnects with the card left as found (Transactie::laatLiggen);
    // the context stays. Harmless without a connection.
    void laatLiggen();

    // Ends the transaction, disconnects, then releases the context; harmless when closed.
    void verbreek();

    // Whether, since verbind, the service said that another party reset or re-powered the card
    // under this connection: what was read over it may not all come from one card session.
    bool verstoord() const { return verstoord_; }

  private:
    bool open(Fout& fout); // makes the context when there is none

    // Declared in this order so that the transaction ends before its context is released.
    Context context;
    Transactie transactie;
    std::uint32_t protocol = 0;
    bool verstoord_ = false;
};

} // namespace belpic
