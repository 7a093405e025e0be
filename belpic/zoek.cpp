#include "belpic/zoek.h"

#include "belpic/bestand.h"
#include "belpic/dienst.h"

namespace belpic {

namespace {

// Connects to the card in `naam` and selects the file there; true when it did. A card that
// refused the file is not ours to reset.
bool probeer(Kaart& kaart, const std::string& naam, const Bytes& pad, Tijdstip uiterlijk,
             Fout& fout) {
    if (!kaart.verbind(naam, fout, uiterlijk)) {
        return false;
    }
    if (kies(kaart, pad, fout)) {
        return true;
    }
    if (fout.melding == Melding::geenBestand) {
        kaart.laatLiggen();
    }
    return false;
}

} // namespace

bool zoek(Kaart& kaart, const std::string& lezer, const Bytes& pad, Tijdstip uiterlijk,
          Fout& fout) {
    if (!lezer.empty()) {
        return probeer(kaart, lezer, pad, uiterlijk, fout);
    }
    const std::vector<Lezer> lezers = kaart.lezersMetKaart(fout);
    if (fout.code != geenFout) {
        return false;
    }
    Fout eerste;        // the first failure other than a card of another kind
    std::string andere; // the cards of another kind, each with its status word
    for (const Lezer& l : lezers) {
        if (l.kaart == KaartStand::leeg) {
            continue;
        }
        if (probeer(kaart, l.naam, pad, uiterlijk, fout)) {
            return true;
        }
        if (kaart.verstoord()) {
            return false;
        }
        if (fout.melding == Melding::geenBestand) {
            andere += (andere.empty() ? "" : "; ") + l.naam + " (" + fout.detail + ")";
        } else if (eerste.code == geenFout) {
            eerste = fout;
        }
    }
    if (eerste.code != geenFout) {
        fout = std::move(eerste);
    } else if (!andere.empty()) {
        zet(fout, geenKaart, Melding::geenKaart, "not an eID card: " + andere);
    } else {
        // No reader holds a card: what the service answers a connection to an empty reader.
        meld(fout, kVerbinden, "SCardConnect", SCARD_E_NO_SMARTCARD);
    }
    return false;
}

} // namespace belpic
