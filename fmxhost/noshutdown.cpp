// Loads a plug-in as the host does, calls one function and exits without Shutdown, the plug-in
// still loaded, as a host that crashes or is made to quit: whatever the plug-in left running
// meets the end of the process.
//
//     noshutdown PLUGIN FUNCTION [ARG...]
//
// Prints the function's result. Exit status 0 when the process ended normally; 2 usage; 3 the
// plug-in did not load or start.
#include "fmxhost/driver.h"
#include "fmxhost/platform.h"

#include <iostream>

int main(int argc, char** argv) {
    fmxhost::binaryStandardOutput();
    const std::vector<std::string> arguments = fmxhost::utf8Arguments(argc, argv);
    if (arguments.size() < 3) {
        std::cerr << "usage: noshutdown PLUGIN FUNCTION [ARG...]\n";
        return 2;
    }
    try {
        // Never unloaded: the process ends with it. Held by a static, as it is not lost.
        static const fmxhost::Plugin* const plugin = new fmxhost::Plugin(arguments[1]);
        if (fmxhost::init(*plugin, kCurrentExtnVersion) != kCurrentExtnVersion) {
            return 3;
        }
        const auto result =
            fmxhost::callFunction(arguments[2], {arguments.begin() + 3, arguments.end()});
        std::cout << fakehost::utf8(result.text) << '\n' << std::flush;
    } catch (const fmxhost::Failure& failure) {
        std::cerr << "noshutdown: " << failure.what() << '\n';
        return 3;
    }
    return 0;
}
