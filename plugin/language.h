// The sentences for the person at the desk, in the languages of the desk, and the language in
// force. The card core names its sentences (belpic::Melding); they are worded only here.
#pragma once

#include "belpic/fout.h"

#include <string>

namespace language {

// In the order of the catalogue's columns.
enum class Language : unsigned char { en, nl, fr, de };

// The language in force: English until it is set. Waits, the watch's thread and reads run beside a
// change of it, so it is read and set atomically.
Language Current();
void Set(Language language);

// The sentence of `fout` in `language`, with its argument in place; empty when there is no error.
std::string Sentence(const belpic::Fout& fout, Language language = Current());

// The error document of `fout`, its sentence in the language in force.
std::string ErrorDocument(const belpic::Fout& fout);

} // namespace language
