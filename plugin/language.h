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

// The two-letter code of `language`: en, nl, fr or de.
std::string Code(Language language);

// EID_SetLanguage ( language ): sets the language `name` stands for (its code, the host's English
// name of it as Get ( ApplicationLanguage ) gives it, or its own name, in any case and with
// blanks around it) and answers its code; a name that is empty, or blanks only, answers the code
// in force. Any other text changes nothing and answers the error document, which names the text
// without its surrounding blanks.
std::string Choose(const std::string& name);

// The sentence of `fout` in `language`, with its argument in place; empty when there is no error.
std::string Sentence(const belpic::Fout& fout, Language language = Current());

// The error document of `fout`, its sentence in the language in force.
std::string ErrorDocument(const belpic::Fout& fout);

} // namespace language
