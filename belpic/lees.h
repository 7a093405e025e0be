// Reading a whole card into one record, and the tag-length-value format of its files.
#pragma once

#include "belpic/kaart.h"
#include "belpic/kaartvelden.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace belpic {

// The value of one field a read asked for.
struct Waarde {
    const Kaartveld* veld;
    std::string inhoud; // UTF-8 text; for a whole file (the photo), the file's bytes as read
};

// One card's data: a value for each field asked, in the order asked; none at all after a
// failure.
using Gegevens = std::vector<Waarde>;

using Velden = std::map<std::uint8_t, Bytes>;

// One complete conversation with the card in `lezer` (empty: the eID card, wherever zoek finds it)
// for the fields of `vraag`, in `sessie`: only its files are selected and read, in its order. A
// field whose file is not read (the photo left out), or that the card lacks, is empty; so is a
// photo that cannot be read, which fails nothing else. One conversation at a time in a process:
// a second caller waits for the first. When another party resets the card during the
// conversation, the whole read starts again once from a new connection.
Gegevens lees(std::shared_ptr<Sessie> sessie, const std::string& lezer, Fout& fout,
              const Vraag& vraag = volledigeVraag());
// As above, in a session of its own.
Gegevens lees(const std::string& lezer, Fout& fout, const Vraag& vraag = volledigeVraag());

// The read of `vraag` from a card that a probe found in `lezer`: connected, in its transaction, its
// identity file just selected. It goes on as lees does after that SELECT, under the lock the
// caller holds, and ends as lees ends.
Gegevens leesNaProef(Kaart& kaart, const std::string& lezer, const Vraag& vraag, Fout& fout);

// The lock that lees holds for the whole of a conversation.
std::mutex& gesprekSlot();

// Tag-length-value elements from byte 0 on; the last occurrence of a tag wins.
Velden ontleed(const Bytes& bestand);

// The cleaned text of a tag's value, or the empty string when the tag is absent. Bytes that are
// not UTF-8 become U+FFFD, so that no decoder downstream can take them with what follows.
std::string tekst(const Velden& velden, std::uint8_t tag);

} // namespace belpic
