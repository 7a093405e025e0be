// The host's text conversions, shared by its calls and its controls.
#pragma once

#include <string>
#include <vector>

namespace fakehost {

// UTF-16 units as UTF-8, one entry per character, so that a copy can stop between
// characters. An unpaired surrogate becomes U+FFFD.
std::vector<std::string> utf8Characters(const std::u16string& units);

} // namespace fakehost
