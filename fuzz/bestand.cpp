// The file reader against a card that answers whatever the input says.
//
// Never past 32 KiB, never a read after the file ended or failed, the bytes handed back are
// the data of every READ BINARY answered 90 00, and the error is clear exactly when the card
// showed the end of the file.
#include "kaartspel.h"

#include "belpic/bestand.h"

using kaartspel::eis;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pcscfake::reset();
    pcscfake::readers({"Lezer"});
    kaartspel::speel(kaartspel::antwoorden(data, size));

    belpic::Kaart kaart;
    belpic::Fout fout;
    eis(kaart.verbind("Lezer", fout), "connected");
    const belpic::Bytes bestand = belpic::leesBestand(kaart, belpic::bestandIdentiteit(), fout);

    const auto transmits = pcscfake::calls(pcscfake::Call::Transmit);
    eis(!transmits.empty() && kaartspel::selectie(transmits[0]), "SELECT FILE first");
    std::size_t van = 0;
    const kaartspel::Bestand gespeeld = kaartspel::lees(transmits, van);
    eis(van == transmits.size(), "one SELECT FILE");
    eis(!gespeeld.buitenGrens, "no read past 32 KiB");
    eis(bestand.size() <= 0x8000 + 256, "at most 32 KiB and one chunk");
    eis(bestand == gespeeld.inhoud, "the bytes are the data the card gave");
    eis((fout.code == 0) == gespeeld.gelukt, "clear exactly when the file ended");
    eis(fout.code == 0 || fout.code == 4 || fout.code == 5 || fout.code == 6, "error category");
    eis((fout.code == 0) == (fout.melding == belpic::Melding::geen),
        "a message exactly with an error");
    return 0;
}
