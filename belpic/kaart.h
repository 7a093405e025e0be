// The card connection over PC/SC and the error record of the card-reading core.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace belpic {

using Bytes = std::vector<std::uint8_t>;

// Error categories, the `code` of a Fout. Callers only tell zero from non-zero, but each
// failure sets its own, so support can tell them apart.
enum : std::int32_t {
    geenFout = 0,
    // No reader to read from: the service lists none (on Windows also: the service is not
    // running or cannot list, which there means that no reader is plugged in), or the reader
    // asked for is not there. Detail empty.
    geenLezer = 1,
    // The reader holds no card, or the card was taken out while we connected. Detail: the
    // return code alone.
    geenKaart = 2,
    // A card is there but does not answer: silent on both attempts, or it speaks neither T=0
    // nor T=1. Detail: the return code alone.
    kaartZwijgt = 3,
    // The named reader could not be connected to or held (or stuur found no open connection).
    // Detail: the PC/SC call that failed and its return code.
    geenVerbinding = 4,
    // The card answered, but not as a file read expects: a status word other than success or
    // end of file, a response too short to hold one, or a file that does not end. Detail: the
    // status word, or what stopped the read.
    kaartBestand = 5,
    // The smart-card service failed, or a command did not reach the card. Detail: the PC/SC
    // call that failed and its return code.
    kaartDienst = 6,
    // A wait ended before a card came in. Detail: "timeout".
    tijdOm = 7,
    // Another thread stopped a wait. Detail: "stopped".
    onderbroken = 8,
    // The question itself cannot be answered, e.g. a bad number of seconds to wait. Detail: what
    // was asked, where that helps.
    verkeerdeVraag = 9,
};

// Every operation of the core clears its Fout on entry and fills all three fields at once
// when it fails.
struct Fout {
    std::int32_t code = geenFout;
    std::string melding; // for the end user
    std::string detail;  // for support: PC/SC call and return code, or a status word
};

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
