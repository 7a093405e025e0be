// The card connection over PC/SC and the error record of the card-reading core.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace belpic {

using Bytes = std::vector<std::uint8_t>;

// Error categories; callers only tell zero from non-zero, but each failure sets its own.
enum : std::int32_t {
    geenFout = 0,
    geenLezer = 1,
    geenKaart = 2,
    kaartZwijgt = 3,
    geenVerbinding = 4,
    kaartBestand = 5,
    kaartDienst = 6,
};

// Every operation of the core clears its Fout on entry and fills all three fields at once
// when it fails.
struct Fout {
    std::int32_t code = geenFout;
    std::string melding; // for the end user
    std::string detail;  // for support: PC/SC call and return code, or a status word
};

// One PC/SC context and at most one card connection, owned: the destructor closes both.
class Kaart {
  public:
    Kaart() = default;
    ~Kaart();
    Kaart(const Kaart&) = delete;
    Kaart& operator=(const Kaart&) = delete;

    // The names of the readers the service knows, in its order; uses a context of its own.
    static std::vector<std::string> lezers(Fout& fout);

    // Connects to the card in `lezer`, or in the first listed reader when it is empty, and
    // begins a transaction: the card is shared, but no other program's command comes between
    // ours until verbreek. Whatever the Kaart held before is closed first.
    bool verbind(const std::string& lezer, Fout& fout);

    // Sends one command APDU; returns the whole response, status word included.
    Bytes stuur(const Bytes& apdu, Fout& fout);

    // Ends the transaction resetting the card, disconnects, then releases the context;
    // harmless when closed.
    void verbreek();

  private:
    std::int64_t context = 0;
    std::int64_t verbinding = 0;
    std::uint32_t protocol = 0;
};

} // namespace belpic
