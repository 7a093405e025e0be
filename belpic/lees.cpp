#include "belpic/lees.h"

#include "belpic/bestand.h"
#include "belpic/netjes.h"

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

} // namespace

Gegevens lees(const std::string& lezer, Fout& fout, bool metFoto) {
    Kaart kaart; // its destructor closes the connection, also when an exception leaves
    if (!kaart.verbind(lezer, fout)) {
        return {};
    }
    const Bytes identiteit = leesBestand(kaart, bestandIdentiteit(), fout);
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
    Bytes foto = metFoto ? leesBestand(kaart, bestandFoto(), fotoFout) : Bytes{};
    kaart.verbreek();

    Gegevens gegevens = uit(ontleed(identiteit), ontleed(adres));
    if (metFoto && fotoFout.code == geenFout) {
        gegevens.foto = std::move(foto);
    }
    return gegevens;
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
    return opgekuist(std::string(veld->second.begin(), veld->second.end()));
}

} // namespace belpic
