// What differs between Windows and the other systems for the host driver: loading a module,
// the command line's encoding and the standard output's line ends.
#pragma once

#include <string>
#include <vector>

namespace fmxhost {

// A loaded module, or null with `error` set to the system's reason.
void* openModule(const std::string& path, std::string& error);
void* findSymbol(void* module, const char* name);
void closeModule(void* module);

// The command line's arguments as UTF-8.
std::vector<std::string> utf8Arguments(int argc, char** argv);

// Standard output passes bytes unchanged (no line-end translation).
void binaryStandardOutput();

} // namespace fmxhost
