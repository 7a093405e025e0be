// A whole card read against a card, a reader and a service that answer whatever the input
// says.
//
// Either the record is complete and holds exactly what the card's identity and address files
// gave (the photo whole or empty), or the error is set and the record is empty. Every handle
// is released, and no file is read past 32 KiB.
#include "kaartspel.h"

#include "belpic/lees.h"
#include "belpic/netjes.h"

#include <iterator>
#include <string>
#include <utility>

using kaartspel::eis;

namespace {

// Failures of connecting or of beginning the transaction; the ones that make the reader wait
// and try again are left to the tests.
constexpr std::uint32_t kVerbindingen[] = {0x8010000C, 0x80100069, 0x8010000F, 0x80100009,
                                           0x8010001D, 0x80100017, 0x80100003};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    pcscfake::reset();
    pcscfake::readers({"Lezer A", "Lezer B"});
    // The first byte: which reader is asked for, and how connecting goes.
    const std::uint8_t hoe = data[0];
    if (hoe & 0x10) {
        pcscfake::script(pcscfake::Call::Connect,
                         {kVerbindingen[(hoe >> 5) % std::size(kVerbindingen)]});
    }
    if (hoe & 0x02) {
        pcscfake::script(pcscfake::Call::BeginTransaction,
                         {kVerbindingen[(hoe >> 5) % std::size(kVerbindingen)]});
    }
    if (hoe & 0x08) {
        pcscfake::script(pcscfake::Call::ListReaders, {0x8010001D});
    }
    pcscfake::cardProtocol(hoe & 0x04 ? 1 : 2);
    kaartspel::speel(kaartspel::antwoorden(data + 1, size - 1));

    belpic::Fout fout;
    const belpic::Gegevens g = belpic::lees(hoe & 0x01 ? "Lezer A" : "", fout);

    eis(pcscfake::openContexts() == 0 && pcscfake::openCards() == 0 &&
            pcscfake::openTransactions() == 0,
        "every handle released");
    // A conversation disturbed by a reset is held again once, from a new connection: the
    // record may only come from the last one.
    const auto alle = pcscfake::calls(pcscfake::Call::Transmit);
    std::vector<std::uint64_t> gesprekken;
    for (const auto& r : alle) {
        if (gesprekken.empty() || gesprekken.back() != r.card) {
            gesprekken.push_back(r.card);
        }
    }
    eis(gesprekken.size() <= 2, "two conversations at most");
    std::vector<pcscfake::Record> transmits;
    bool verstoord = false;
    for (const auto& r : alle) {
        if (r.card == gesprekken.back()) {
            transmits.push_back(r);
        } else {
            verstoord = verstoord || r.result == 0x80100068 || r.result == 0x80100067;
        }
    }
    eis(gesprekken.size() < 2 || verstoord, "a second conversation only after a reset");
    std::vector<kaartspel::Bestand> bestanden;
    for (std::size_t van = 0; van < transmits.size();) {
        eis(kaartspel::selectie(transmits[van]), "each file starts with SELECT FILE");
        bestanden.push_back(kaartspel::lees(transmits, van));
        eis(!bestanden.back().buitenGrens, "no read past 32 KiB");
    }
    eis(bestanden.size() <= 3, "three files at most");

    if (fout.code != 0) {
        eis(g.empty(), "an error comes with an empty record");
        eis(bestanden.size() < 3 && (bestanden.empty() || !bestanden.back().gelukt),
            "an error only where a step failed");
        return 0;
    }
    eis(bestanden.size() == 3 && bestanden[0].gelukt && bestanden[1].gelukt,
        "a record only when identity and address were read to their end");
    const auto identiteit = belpic::ontleed(bestanden[0].inhoud);
    const auto adres = belpic::ontleed(bestanden[1].inhoud);
    const belpic::Bytes& foto = bestanden[2].gelukt ? bestanden[2].inhoud : belpic::Bytes{};
    const std::pair<const char*, std::string> verwacht[] = {
        {"cardNumber", belpic::tekst(identiteit, 0x01)},
        {"surname", belpic::tekst(identiteit, 0x07)},
        {"givenNames", belpic::tekst(identiteit, 0x08)},
        {"dateOfBirth", belpic::datumNetjes(belpic::tekst(identiteit, 0x0C))},
        {"placeOfBirth", belpic::tekst(identiteit, 0x0B)},
        {"gender", belpic::tekst(identiteit, 0x0D)},
        {"nationality", belpic::tekst(identiteit, 0x0A)},
        {"validUntil", belpic::tekst(identiteit, 0x04)},
        {"nationalNumber", belpic::tekst(identiteit, 0x06)},
        {"street", belpic::straatNetjes(belpic::tekst(adres, 0x01))},
        {"postalCode", belpic::tekst(adres, 0x02)},
        {"municipality", belpic::tekst(adres, 0x03)},
        {"photo", std::string(foto.begin(), foto.end())},
    };
    eis(g.size() == std::size(verwacht), "EID_Read's thirteen fields");
    for (std::size_t i = 0; i < g.size(); ++i) {
        eis(std::string(g[i].veld->naam) == verwacht[i].first, "in the document's order");
        eis(g[i].inhoud == verwacht[i].second, "the card's fields, the photo whole or none");
    }
    return 0;
}
