// A scripted PC/SC service with an eID card and cards of other kinds, for tests.
//
// The pcscfake library defines the ten PC/SC functions that the card-reading core calls, with
// the platform header's own signatures (on Windows the UTF-16 "W" variants of those that carry
// reader names; their ANSI variants answer kUnsupportedFeature), so a test links it in place of
// the real service. The functions below script what the service and the card answer and give
// back every call that was made, with its arguments and the time it was made. All state lives
// inside the library: a test may script it while a plug-in linked against the same library
// makes the calls.
//
// Out of the box (and after reset()) the service works but knows no reader. Script it with
// readers(), put files on the card with file(), and force any answer with script() or answer().
//
// Cards: one eID card, played from its files, which insertCard() moves from reader to reader;
// and cards of other kinds (otherCard()), which answer every command with one status word. A
// reader holds one card at a time.
//
// Card events: SCardGetStatusChange reports each listed reader as empty or holding a card (mute
// or held alone by another program, as cardState() says), with the card's ATR, an event
// counter in the high word that each insertion and removal moves on, and the pseudo-reader
// "\\?PnP?\Notification" with the number of readers in the high word. A reader it does not
// list is answered as each platform's service does: on Windows its state is unknown, ignored and
// changed; elsewhere the call fails with kUnknownReader. Its timeouts run out only when advance()
// moves the service's clock on: a test decides when a wait times out, and no test waits in real
// time.
//
// As pcsc-lite does, the service lets one call at a time into a context: a call waits while
// another call in its context (or in that of its card handle) waits, for a change, a transaction
// or another program's hold. SCardCancel alone goes in at any time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(PCSCFAKE_BUILDING)
#define PCSCFAKE_API __declspec(dllexport)
#else
#define PCSCFAKE_API __declspec(dllimport)
#endif
#else
#define PCSCFAKE_API __attribute__((visibility("default")))
#endif

namespace pcscfake {

using Bytes = std::vector<std::uint8_t>;

// Return codes as the service gives them: 32-bit values, whatever the platform's LONG width.
inline constexpr std::uint32_t kSuccess = 0x00000000;
inline constexpr std::uint32_t kInternalError = 0x80100001;
inline constexpr std::uint32_t kCancelled = 0x80100002;
inline constexpr std::uint32_t kInvalidHandle = 0x80100003;
inline constexpr std::uint32_t kInvalidParameter = 0x80100004;
inline constexpr std::uint32_t kInsufficientBuffer = 0x80100008;
inline constexpr std::uint32_t kUnknownReader = 0x80100009;
inline constexpr std::uint32_t kTimeout = 0x8010000A;
inline constexpr std::uint32_t kSharingViolation = 0x8010000B;
inline constexpr std::uint32_t kNoSmartcard = 0x8010000C;
inline constexpr std::uint32_t kProtoMismatch = 0x8010000F;
inline constexpr std::uint32_t kNotTransacted = 0x80100016;
inline constexpr std::uint32_t kNoService = 0x8010001D;
inline constexpr std::uint32_t kServiceStopped = 0x8010001E;
inline constexpr std::uint32_t kUnsupportedFeature = 0x80100022;
inline constexpr std::uint32_t kNoReadersAvailable = 0x8010002E;
inline constexpr std::uint32_t kUnresponsiveCard = 0x80100066;
inline constexpr std::uint32_t kUnpoweredCard = 0x80100067;
inline constexpr std::uint32_t kResetCard = 0x80100068;
inline constexpr std::uint32_t kRemovedCard = 0x80100069;

enum class Call {
    EstablishContext,
    ListReaders,
    Connect,
    Transmit,
    Disconnect,
    ReleaseContext,
    BeginTransaction,
    EndTransaction,
    GetStatusChange,
    Cancel,
};

// One entry of SCardGetStatusChange's reader array, as it went in and came back.
struct ReaderState {
    std::string reader;
    std::uint64_t current = 0; // dwCurrentState on entry
    std::uint64_t event = 0;   // dwEventState on return
};

// One call as it reached the service. Fields that do not belong to the call stay at their
// defaults. Handles and DWORD values are widened to 64 bits.
struct Record {
    Call call = Call::EstablishContext;
    std::chrono::steady_clock::time_point time;
    std::uint32_t result = kSuccess; // what the service returned

    std::uint64_t context = 0; // passed in; for EstablishContext the one handed out
    std::uint64_t card = 0;    // passed in; for Connect the one handed out (0 on failure)

    // EstablishContext
    std::uint64_t scope = 0;
    bool reserved1Null = true;
    bool reserved2Null = true;

    // ListReaders
    bool groupsNull = true;
    bool bufferNull = true;
    std::uint64_t lengthIn = 0;  // *pcchReaders on entry
    std::uint64_t lengthOut = 0; // *pcchReaders on return

    // Connect: the reader asked for; every call on a card handle: the reader of that handle
    std::string reader;
    std::uint64_t shareMode = 0;
    std::uint64_t preferredProtocols = 0;
    std::uint64_t activeProtocol = 0; // handed out

    // Transmit
    bool sendPciNull = true;
    std::uint64_t pciProtocol = 0; // dwProtocol of the send structure
    std::uint64_t pciLength = 0;   // cbPciLength of the send structure
    bool receivePciNull = true;
    Bytes command;
    std::uint64_t receiveLength = 0; // *pcbRecvLength on entry: the room offered
    Bytes response;                  // what was written into the receive buffer

    // Disconnect, EndTransaction
    std::uint64_t disposition = 0;

    // GetStatusChange
    std::uint64_t timeout = 0; // milliseconds
    std::vector<ReaderState> states;
};

// --- Scripting -------------------------------------------------------------------------------

// Forgets the script and the record: a working service without readers, and no files.
PCSCFAKE_API void reset();

// The readers the service lists, in order. The card sits in the first one unless insertCard()
// says otherwise. An empty list makes the first SCardListReaders answer kNoReadersAvailable,
// as pcsc-lite does.
PCSCFAKE_API void readers(const std::vector<std::string>& names);

// The raw multi-string handed out instead, malformed ones included (missing NULs, garbage).
// The length the first call asks for is its size.
PCSCFAKE_API void readerBytes(const Bytes& multiString);

// Overrides the length that SCardListReaders returns: `needed` from the call without a buffer,
// `returned` from the call with one (which may claim more than the buffer holds).
PCSCFAKE_API void listLengths(std::uint64_t needed, std::uint64_t returned);

// The reader that holds the eID card; connecting to a known reader without a card gives
// kNoSmartcard. A card of another kind in that reader is taken out first.
PCSCFAKE_API void insertCard(const std::string& reader);
// The eID card in no reader.
PCSCFAKE_API void removeCard();

// The eID card's answer to reset (by default the sample card's, 3B 98 13 40 0A A5 03 01 01 01
// AD 13 11).
PCSCFAKE_API void cardAtr(const Bytes& atr);

// A card of another kind in `reader`, speaking T=1: it answers every command APDU with `status`
// alone. A card already in that reader is taken out first.
inline const Bytes kOtherAtr = {0x3B, 0x02, 0x14, 0x50};
PCSCFAKE_API void otherCard(const std::string& reader, const Bytes& status = {0x6A, 0x82},
                            const Bytes& atr = kOtherAtr);
// Takes the card of another kind out of `reader`.
PCSCFAKE_API void removeOtherCard(const std::string& reader);

// How the card in `reader`, of either kind, takes a connection: it answers (the default); it
// is mute (the service reports it so, SCardConnect answers kUnresponsiveCard); or another
// program holds it alone (reported exclusive, SCardConnect answers kSharingViolation).
enum class CardState { answering, mute, exclusive };
PCSCFAKE_API void cardState(const std::string& reader, CardState state);

// The protocol the card speaks: 1 (T=0) or 2 (T=1, the default).
PCSCFAKE_API void cardProtocol(std::uint32_t protocol);

// Forces return codes: the n-th call of `call` (counted from 1 since reset) returns codes[n-1]
// without doing anything else; a code of kSuccess, or a call beyond the list, behaves normally.
PCSCFAKE_API void script(Call call, const std::vector<std::uint32_t>& codes);

// Runs `action` when the n-th call of `call` (from 1) arrives, before the call does anything
// else, with the service's lock let go: the action may script the service (the call then sees
// what it did), or hold the caller there, between two calls of its own, until the test lets it
// go on.
PCSCFAKE_API void onCall(Call call, std::size_t n, std::function<void()> action);

// Holds the caller of the n-th call of `call` (from 1) at the call's entry until release(), or
// until the Hold ends: a test acts while the caller is between two calls of its own.
class PCSCFAKE_API Hold {
  public:
    Hold(Call call, std::size_t n);
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    void awaitHeld(); // returns once the caller is held
    void release();

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// Makes the n-th call of `call` (from 1) record itself and then throw std::bad_alloc.
PCSCFAKE_API void throwBadAlloc(Call call, std::size_t n);

// A file on the card, selected by its path from the master file (e.g. 3F 00 DF 01 40 31).
PCSCFAKE_API void file(const Bytes& path, const Bytes& content);

// A file that never ends: every READ BINARY is answered in full with 90 00. As a safety net
// for tests of code that would loop, the card answers 6B 00 after 4096 such reads.
PCSCFAKE_API void endlessFile(const Bytes& path);

// A file whose every READ BINARY is answered 6C `le` (with the same safety net).
PCSCFAKE_API void correctingFile(const Bytes& path, std::uint8_t le);

// How the card answers a READ BINARY that asks for more than remains: by default the rest
// with 90 00; with `on`, 6C and the number of bytes that remain.
PCSCFAKE_API void correctLength(bool on);

// How the card answers a READ BINARY at or past the end: by default 6B 00; with `on`, 90 00
// without data.
PCSCFAKE_API void emptyAtEnd(bool on);

// The n-th SCardTransmit (from 1) gets exactly these bytes back as the card's response
// (status word included, or fewer than two bytes); the card itself does nothing.
PCSCFAKE_API void answer(std::size_t n, const Bytes& response);

// The card played by a function instead of the files: every SCardTransmit that script() and
// answer() leave alone returns the code the function returns and, with kSuccess, the response
// it put in `response`. It runs under the service's lock. An empty function brings the files
// back.
using Player = std::function<std::uint32_t(const Bytes& command, Bytes& response)>;
PCSCFAKE_API void cardPlayer(Player player);

// The service stops (every call, and every wait in progress, answers kNoService; the contexts
// it had handed out and the readers' event counters are forgotten) or runs again, its counters
// starting afresh as pcscd's do.
PCSCFAKE_API void serviceRunning(bool running);

// Another program holds the card in `reader` until the service's clock reaches `until`: the call
// `at` (Connect: pcscd answers no connection meanwhile; or BeginTransaction) of any handle to that
// reader waits until then, and then goes on as usual. kForever: until the hold is lifted with
// another call, or reset().
inline constexpr std::chrono::steady_clock::time_point kForever =
    std::chrono::steady_clock::time_point::max();
PCSCFAKE_API void heldElsewhere(const std::string& reader,
                                std::chrono::steady_clock::time_point until,
                                Call at = Call::BeginTransaction);
// Calls that have begun waiting for another program's hold since reset(); awaitHeldCalls(n)
// returns once there have been `n`.
PCSCFAKE_API void awaitHeldCalls(std::size_t n);

// The service's clock: it stands still but for advance(), and never goes back (reset() leaves it
// as it is). Records carry its time.
// It is also the clock of the sessions that the code under test makes (belpic::systeemKlok):
// their pauses and their waits for a call on another thread run on it.
PCSCFAKE_API std::chrono::steady_clock::time_point now();
PCSCFAKE_API void advance(std::chrono::steady_clock::duration by);

// By default a pause of the code under test moves the clock on by itself and is recorded
// (pauses()), so that a test on one thread never waits. With `on`, a pause waits until advance()
// moves the clock on, or until the pause's stop, as every other wait on this clock does; each
// such wait counts as a wait begun (waitsBegun()).
PCSCFAKE_API void manualClock(bool on);

struct Pause {
    std::chrono::milliseconds duration;
    std::size_t callsBefore; // the service calls made before it
};
PCSCFAKE_API std::vector<Pause> pauses();

// Blocks until advance() has moved the service's clock on by `duration`: a pause on injected
// time.
PCSCFAKE_API void sleep(std::chrono::steady_clock::duration duration);

// Waits that have begun since reset(): calls of SCardGetStatusChange that found nothing to
// report at once, sleep()s, the pauses of a manual clock, and calls held by another program (at
// their start and again after each advance()). awaitWaits(n) blocks until there have been `n`,
// so a test knows that a waiter has taken in everything before it and is waiting again; it gives
// up after a minute with false, so that a waiter that no longer waits fails its test, not hangs
// it.
PCSCFAKE_API std::size_t waitsBegun();
PCSCFAKE_API bool awaitWaits(std::size_t n);

// --- What happened ---------------------------------------------------------------------------

PCSCFAKE_API std::vector<Record> calls();
PCSCFAKE_API std::vector<Record> calls(Call call);

// Contexts established and not released; card handles connected and not disconnected.
PCSCFAKE_API std::size_t openContexts();
PCSCFAKE_API std::size_t openCards();
// Card handles that began a transaction and have not ended it (nor been disconnected). While
// one handle holds a transaction, SCardBeginTransaction on another handle of the same reader
// waits for it, as the real service does (up to two seconds, then kSharingViolation).
PCSCFAKE_API std::size_t openTransactions();

// Returns once `n` SCardBeginTransaction calls are waiting for another handle's transaction to
// end, so that a test knows a second conversation is held up without waiting on the clock.
PCSCFAKE_API void awaitWaitingBegins(std::size_t n);

// Returns once no context, card handle or transaction is open: a call that was given up on has
// returned on its own thread and let go of all it held.
PCSCFAKE_API void awaitAllClosed();

} // namespace pcscfake
