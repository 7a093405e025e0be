// Values crossing the border with the host: parameters in, results and string replies out.
// The host does every transcoding between its UTF-16 and our UTF-8; each host call that
// reports a failure throws, and the owners free what was made.
#pragma once

// The SDK's headers compile only in this order.
// clang-format off
#include "FMWrapper/FMXExtern.h"
#include "FMWrapper/FMXTypes.h"
#include "FMWrapper/FMXText.h"
#include "FMWrapper/FMXData.h"
#include "FMWrapper/FMXCalcEngine.h"
// clang-format on

#include <string>

// Parameter `index` as UTF-8; a missing or empty parameter gives the empty text.
std::string ArgumentAlsTekst(const fmx::DataVect& parameters, unsigned index);

// Parameter `index` read as the host reads a value as true or false; a missing or empty
// parameter gives `standaard`, as an empty reader name means any reader.
bool ArgumentAlsJaNee(const fmx::DataVect& parameters, unsigned index, bool standaard);

// Stores `tekst` as the result, in the locale of the first parameter or the result's own.
void GeefTerug(fmx::Data& resultaat, const fmx::DataVect& parameters, const std::string& tekst);

// Copies `tekst` into a host buffer of `size` units, cut to fit with its terminating zero;
// nothing at all fits in zero units.
void KopieerNaarUnichar16(const char* tekst, unsigned size, unsigned short* buffer);
