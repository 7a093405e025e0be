// The card connection over PC/SC.
#pragma once

#include "belpic/fout.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace belpic {

using Bytes = std::vector<std::uint8_t>;

// The wait between two attempts to connect. The core sleeps; tests put in one that only
// records what it was asked, so that they run on their own time. Returns the previous one.
using Pauze = void (*)(std::chrono::milliseconds);
Pauze zetPauze(Pauze pauze);

// The handles are kept as 64-bit integers so that this header needs no platform header (which
// on Windows would bring <windows.h> to every caller); every platform's SCARDCONTEXT and
// SCARDHANDLE fits: pointer-sized on Windows, `long` on Linux, 32 bits on macOS.

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
};

// One PC/SC context and at most one card connection, owned: the destructor closes both.
class Kaart {
  public:
    // The names of the readers the service knows, in its order; uses a context of its own.
    static std::vector<std::string> lezers(Fout& fout);

    // Connects to the card in `lezer`, or in the first listed reader when it is empty, and
    // begins a transaction: the card is shared, but no other program's command comes between
    // ours until verbreek. Whatever the Kaart held before is closed first.
    bool verbind(const std::string& lezer, Fout& fout);

    // Sends one command APDU; returns the whole response, status word included.
    Bytes stuur(const Bytes& apdu, Fout& fout);

    // Ends the transaction, disconnects, then releases the context; harmless when closed.
    void verbreek();

    // Whether, since verbind, the service said that another party reset or re-powered the card
    // under this connection: what was read over it may not all come from one card session.
    bool verstoord() const { return verstoord_; }

  private:
    // Declared in this order so that the transaction ends before its context is released.
    Context context;
    Transactie transactie;
    std::uint32_t protocol = 0;
    bool verstoord_ = false;
};

} // namespace belpic
