// Reading one elementary file of the card: SELECT FILE by path, then READ BINARY in chunks.
#pragma once

#include "belpic/kaart.h"

namespace belpic {

// The file's bytes; on failure a filled `fout` and the bytes read before the failure. A file
// that has not ended by offset 0x8000 is a failure.
Bytes leesBestand(Kaart& kaart, const Bytes& pad, Fout& fout);

// The two halves of leesBestand. kies selects the file: false with `fout` filled when it was
// not selected, and Melding::geenBestand, with the status word as the detail, exactly when the
// card refused it. leesGekozen reads the file selected last.
bool kies(Kaart& kaart, const Bytes& pad, Fout& fout);
Bytes leesGekozen(Kaart& kaart, Fout& fout);

Bytes bestandIdentiteit(); // 3F00/DF01/4031
Bytes bestandAdres();      // 3F00/DF01/4033
Bytes bestandFoto();       // 3F00/DF01/4035

// The card's files that hold its fields, in the order a read takes them.
enum class Bestand : std::uint8_t { identiteit, adres, foto };

Bytes pad(Bestand bestand);

} // namespace belpic
