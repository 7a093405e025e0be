// A whole card read against a card, a reader and a service that answer whatever the input
// says.
//
// Either the record is complete and holds exactly what the card's identity and address files
// gave (the photo whole or empty), or the error is set and the record is empty. Every handle
// is released, and no file is read past 32 KiB.
#include "kaartspel.h"

#include "belpic/lees.h"
#include "belpic/netjes.h"

using kaartspel::eis;

namespace {

// Failures of connecting or of beginning the transaction; the ones that make the reader wait
// and try again are left to the tests.
constexpr std::uint32_t kVerbindingen[] = {0x8010000C, 0x80100069, 0x8010000F, 0x80100009,
                                           0x8010001D, 0x80100017, 0x80100003};

bool leeg(const belpic::Gegevens& g) {
    return g.kaartnummer.empty() && g.achternaam.empty() && g.voornamen.empty() &&
           g.geboortedatum.empty() && g.geboorteplaats.empty() && g.geslacht.empty() &&
           g.nationaliteit.empty() && g.geldigTot.empty() && g.rijksregisternummer.empty() &&
           g.straat.empty() && g.postcode.empty() && g.gemeente.empty() && g.foto.empty();
}

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
        eis(leeg(g), "an error comes with an empty record");
        eis(bestanden.size() < 3 && (bestanden.empty() || !bestanden.back().gelukt),
            "an error only where a step failed");
        return 0;
    }
    eis(bestanden.size() == 3 && bestanden[0].gelukt && bestanden[1].gelukt,
        "a record only when identity and address were read to their end");
    const auto identiteit = belpic::ontleed(bestanden[0].inhoud);
    const auto adres = belpic::ontleed(bestanden[1].inhoud);
    eis(g.kaartnummer == belpic::tekst(identiteit, 0x01) &&
            g.achternaam == belpic::tekst(identiteit, 0x07) &&
            g.voornamen == belpic::tekst(identiteit, 0x08) &&
            g.geboortedatum == belpic::datumNetjes(belpic::tekst(identiteit, 0x0C)) &&
            g.geboorteplaats == belpic::tekst(identiteit, 0x0B) &&
            g.geslacht == belpic::tekst(identiteit, 0x0D) &&
            g.nationaliteit == belpic::tekst(identiteit, 0x0A) &&
            g.geldigTot == belpic::tekst(identiteit, 0x04) &&
            g.rijksregisternummer == belpic::tekst(identiteit, 0x06),
        "the identity fields are the card's");
    eis(g.straat == belpic::straatNetjes(belpic::tekst(adres, 0x01)) &&
            g.postcode == belpic::tekst(adres, 0x02) && g.gemeente == belpic::tekst(adres, 0x03),
        "the address fields are the card's");
    eis(g.foto == (bestanden[2].gelukt ? bestanden[2].inhoud : belpic::Bytes{}),
        "the photo whole, or none");
    return 0;
}
