// The error record of the card-reading core: what kind of failure, the sentence for the person
// at the desk, and the detail for support.
#pragma once

#include <cstdint>
#include <string>

namespace belpic {

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

// The sentences for the person at the desk, by name. The core never words them: the host shell
// renders each in the language in force, with the Fout's argument where the sentence names one.
enum class Melding : std::uint8_t {
    geen,              // no error
    geenLezer,         // no card reader connected
    geenKaart,         // no card in the reader
    kaartZwijgt,       // the card does not respond: take it out, or turn it over
    geenVerbinding,    // could not connect to the reader (argument: the reader)
    dienstZwijgt,      // the smart card service is not responding
    nietBereikt,       // the command did not reach the card
    geenBestand,       // that file is not on the card
    leesFout,          // reading the card failed
    onvolledig,        // the card returned an incomplete response
    nietVerbonden,     // no open connection to the card
    onbekendeLezer,    // no card reader of that name (argument: the reader)
    wachtGestopt,      // the wait for a card was stopped
    nietOpTijd,        // no card was inserted in time
    verkeerdeSeconden, // the seconds to wait are not a whole number from 0 to 600
    geenScripts,       // this kind of host cannot start scripts
    bestandEnScript,   // name both the file and the script
    onbekendVeld,      // no card field of that name (argument: the field)
    geenVelden,        // name at least one card field
    onbekendeTaal,     // that language is not available (argument: the language)
};

// Every operation of the core clears its Fout on entry and fills all of it at once when it
// fails.
struct Fout {
    std::int32_t code = geenFout;
    Melding melding = Melding::geen; // for the person at the desk
    std::string argument;            // what the sentence names: a reader, a field, a language
    std::string detail;              // for support: PC/SC call and return code, or a status word
};

} // namespace belpic
