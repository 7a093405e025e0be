#include "belpic/lees.h"

#include "belpic/bestand.h"
#include "belpic/netjes.h"
#include "belpic/tekens.h"
#include "belpic/zoek.h"

#include <map>
#include <mutex>
#include <new>
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

// Every file of `vraag` in its order, on a connected card whose file `gekozen` is selected (that
// one is read from where it stands), then the values: every file is read before any value is made.
Gegevens leesBestanden(Kaart& kaart, const Vraag& vraag, Bestand gekozen, Fout& fout) {
    std::map<Bestand, Gelezen> bestanden; // a file not read holds nothing
    for (const Bestand bestand : vraag.bestanden) {
        Fout bestandFout;
        Bytes inhoud = bestand == gekozen ? leesGekozen(kaart, bestandFout)
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

// One attempt over one connection; the caller closes it. The search selects the first file: its
// SELECT is what tells the eID card from others. A read waits for a card another program holds
// kGeduld in all, whatever the readers and the attempts.
Gegevens leesEenmaal(Kaart& kaart, const std::string& lezer, const Vraag& vraag, Tijdstip uiterlijk,
                     Fout& fout) {
    if (!zoek(kaart, lezer, pad(vraag.bestanden.front()), uiterlijk, fout)) {
        return {};
    }
    return leesBestanden(kaart, vraag, vraag.bestanden.front(), fout);
}

// A read's ending, and when another party reset the card during the conversation, the whole read
// once more from a new connection: a record is only ever taken whole from one conversation.
Gegevens eindig(Kaart& kaart, const std::string& lezer, const Vraag& vraag, Tijdstip uiterlijk,
                Gegevens gegevens, Fout& fout) {
    kaart.verbreek(); // the end of the transaction may be the first to tell of a reset
    if (!kaart.verstoord()) {
        return gegevens;
    }
    gegevens = leesEenmaal(kaart, lezer, vraag, uiterlijk, fout);
    kaart.verbreek();
    return gegevens;
}

} // namespace

// Two conversations of one process would only take turns at the service's transaction lock,
// which pcsc-lite polls: waiting here is quicker and keeps each conversation in one piece. Never
// destroyed, as the watch's thread may hold it while the process ends; it takes no memory of the
// heap, so nothing is lost when the module is unloaded.
std::mutex& gesprekSlot() {
    alignas(std::mutex) static unsigned char plaats[sizeof(std::mutex)];
    static std::mutex* const slot = new (plaats) std::mutex;
    return *slot;
}

Gegevens lees(std::shared_ptr<Sessie> sessie, const std::string& lezer, Fout& fout,
              const Vraag& vraag) {
    const std::lock_guard<std::mutex> beurt(gesprekSlot());
    // Its destructor closes the connection, also when an exception leaves, and with the last owner
    // of the session its context, before the next conversation begins.
    const Tijdstip uiterlijk = sessie->klok.nu() + kGeduld;
    Kaart kaart(std::move(sessie));
    Gegevens gegevens = leesEenmaal(kaart, lezer, vraag, uiterlijk, fout);
    return eindig(kaart, lezer, vraag, uiterlijk, std::move(gegevens), fout);
}

Gegevens lees(const std::string& lezer, Fout& fout, const Vraag& vraag) {
    return lees(std::make_shared<Sessie>(), lezer, fout, vraag);
}

Gegevens leesNaProef(Kaart& kaart, const std::string& lezer, const Vraag& vraag, Fout& fout) {
    Gegevens gegevens = leesBestanden(kaart, vraag, Bestand::identiteit, fout);
    return eindig(kaart, lezer, vraag, kaart.sessie()->klok.nu() + kGeduld, std::move(gegevens),
                  fout);
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
