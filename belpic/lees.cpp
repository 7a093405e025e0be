#include "belpic/lees.h"

#include "belpic/bestand.h"
#include "belpic/netjes.h"
#include "belpic/tekens.h"
#include "belpic/zoek.h"

#include <mutex>

namespace belpic {

namespace {

Gegevens uit(const Velden& identiteit, const Velden& adres) {
    Gegevens gegevens;
    gegevens.kaartnummer = tekst(identiteit, 0x01);
    gegevens.achternaam = tekst(identiteit, 0x07);
    gegevens.voornamen = tekst(identiteit, 0x08);
    gegevens.geboortedatum = datumNetjes(tekst(identiteit, 0x0C));
    gegevens.geboorteplaats = tekst(identiteit, 0x0B);
    gegevens.geslacht = tekst(identiteit, 0x0D);
    gegevens.nationaliteit = tekst(identiteit, 0x0A);
    gegevens.geldigTot = tekst(identiteit, 0x04);
    gegevens.rijksregisternummer = tekst(identiteit, 0x06);
    gegevens.straat = straatNetjes(tekst(adres, 0x01));
    gegevens.postcode = tekst(adres, 0x02);
    gegevens.gemeente = tekst(adres, 0x03);
    return gegevens;
}

// One attempt over one connection; the caller closes it.
Gegevens leesEenmaal(Kaart& kaart, const std::string& lezer, Fout& fout, bool metFoto) {
    const Bytes identiteit = zoek(kaart, lezer, bestandIdentiteit(), fout);
    if (fout.code != geenFout) {
        return {};
    }
    const Bytes adres = leesBestand(kaart, bestandAdres(), fout);
    if (fout.code != geenFout) {
        return {};
    }
    // The photo is optional and its failure is not reported; a photo that broke off part-way
    // would be a corrupt image, so it is dropped rather than handed out.
    Fout fotoFout;
    Bytes foto;
    if (metFoto) {
        foto = leesBestand(kaart, bestandFoto(), fotoFout);
    }

    Gegevens gegevens = uit(ontleed(identiteit), ontleed(adres));
    if (metFoto && fotoFout.code == geenFout) {
        gegevens.foto = std::move(foto);
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

Gegevens lees(const std::string& lezer, Fout& fout, bool metFoto) {
    const std::lock_guard<std::mutex> beurt(gesprekSlot());
    for (int poging = 1;; ++poging) {
        Kaart kaart; // its destructor closes the connection, also when an exception leaves
        Gegevens gegevens = leesEenmaal(kaart, lezer, fout, metFoto);
        kaart.verbreek(); // the end of the transaction may be the first to tell of a reset
        // A record is only ever taken whole from one conversation.
        if (!kaart.verstoord() || poging == 2) {
            return gegevens;
        }
    }
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
