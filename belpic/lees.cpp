#include "belpic/lees.h"

#include "belpic/bestand.h"
#include "belpic/netjes.h"
#include "belpic/tekens.h"
#include "belpic/zoek.h"

#include <map>
#include <mutex>
#include <optional>

namespace belpic {

namespace {

// Whether a file that cannot be read fails the read. A photo that cannot be read only leaves
// the photo empty; one that broke off part-way would be a corrupt image, so it is dropped
// rather than handed out.
bool verplicht(Bestand bestand) {
    return bestand != Bestand::foto;
}

// A file as read, and its elements once a field has needed them.
struct Gelezen {
    Bytes inhoud;
    std::optional<Velden> velden;
};

std::string hex(const Velden& velden, std::uint8_t tag) {
    const auto veld = velden.find(tag);
    return veld == velden.end() ? std::string() : hexTekst(veld->second);
}

std::string waarde(const Kaartveld& veld, Gelezen& bestand) {
    if (veld.vorm == Vorm::geheel) {
        return std::string(bestand.inhoud.begin(), bestand.inhoud.end());
    }
    if (!bestand.velden) {
        bestand.velden = ontleed(bestand.inhoud);
    }
    const Velden& velden = *bestand.velden;
    switch (veld.vorm) {
    case Vorm::datum:
        return datumNetjes(tekst(velden, veld.tag));
    case Vorm::straat:
        return straatNetjes(tekst(velden, veld.tag));
    case Vorm::hex:
        return hex(velden, veld.tag);
    case Vorm::tekst:
    case Vorm::geheel:
        break;
    }
    return tekst(velden, veld.tag);
}

// One attempt over one connection; the caller closes it. Every file is read before any value is
// made. The search selects the first file: its SELECT is what tells the eID card from others.
Gegevens leesEenmaal(Kaart& kaart, const std::string& lezer, const Vraag& vraag, Fout& fout) {
    if (!zoek(kaart, lezer, pad(vraag.bestanden.front()), fout)) {
        return {};
    }
    std::map<Bestand, Gelezen> bestanden; // a file not read holds nothing
    for (const Bestand bestand : vraag.bestanden) {
        Fout bestandFout;
        Bytes inhoud = bestand == vraag.bestanden.front()
                           ? leesGekozen(kaart, bestandFout)
                           : leesBestand(kaart, pad(bestand), bestandFout);
        if (bestandFout.code == geenFout) {
            bestanden[bestand].inhoud = std::move(inhoud);
        } else if (verplicht(bestand)) {
            fout = std::move(bestandFout);
            return {};
        }
    }
    Gegevens gegevens;
    for (const Kaartveld* veld : vraag.velden) {
        gegevens.push_back({veld, waarde(*veld, bestanden[veld->bestand])});
    }
    return gegevens;
}

} // namespace

// Two conversations of one process would only take turns at the service's transaction lock,
// which pcsc-lite polls: waiting here is quicker and keeps each conversation in one piece.
std::mutex& gesprekSlot() {
    static std::mutex slot;
    return slot;
}

Gegevens lees(std::shared_ptr<Sessie> sessie, const std::string& lezer, Fout& fout,
              const Vraag& vraag) {
    const std::lock_guard<std::mutex> beurt(gesprekSlot());
    // Its destructor closes the connection, also when an exception leaves, and with the last owner
    // of the session its context, before the next conversation begins.
    Kaart kaart(std::move(sessie));
    for (int poging = 1;; ++poging) {
        Gegevens gegevens = leesEenmaal(kaart, lezer, vraag, fout);
        kaart.verbreek(); // the end of the transaction may be the first to tell of a reset
        // A record is only ever taken whole from one conversation.
        if (!kaart.verstoord() || poging == 2) {
            return gegevens;
        }
    }
}

Gegevens lees(const std::string& lezer, Fout& fout, const Vraag& vraag) {
    return lees(std::make_shared<Sessie>(), lezer, fout, vraag);
}

Velden ontleed(const Bytes& bestand) {
    Velden velden;
    const std::size_t n = bestand.size();
    std::size_t p = 0;
    while (p + 1 < n) {
        const std::size_t einde = p + 2 + bestand[p + 1];
        if (einde > n) {
            break;
        }
        velden[bestand[p]] = Bytes(bestand.begin() + p + 2, bestand.begin() + einde);
        p = einde;
    }
    return velden;
}

std::string tekst(const Velden& velden, std::uint8_t tag) {
    const auto veld = velden.find(tag);
    if (veld == velden.end()) {
        return {};
    }
    return opgekuist(geldigUtf8(std::string(veld->second.begin(), veld->second.end())));
}

} // namespace belpic
