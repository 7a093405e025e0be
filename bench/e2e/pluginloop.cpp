// The plug-in as FileMaker uses it: loaded once, started once, and a card function (EID_Read
// unless --function names another) called COUNT times in the same process with the arguments
// given. Prints each call's duration in microseconds, one per line.
//
//   pluginloop [--function NAME] PLUGIN COUNT [ARG...]
//   pluginloop PLUGIN COUNT [READER [PHOTO]]       (PHOTO 0: the read without the photo)
//   pluginloop --function EID_ReadFields PLUGIN COUNT FIELDS [READER]
#include "fmxhost/driver.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr fmx::int16 kExtnVersion = 77;

// Compared in the host's UTF-16, so that checking costs next to nothing beside the call.
bool isCardDocument(const fakehost::Result& result) {
    static const std::u16string start = fakehost::utf16("{\n  \"error\": \"\",");
    return result.error == 0 && result.text.compare(0, start.size(), start) == 0;
}

int loop(const std::string& function, const std::string& path, long count,
         const std::vector<std::string>& arguments) {
    const fmxhost::Plugin plugin(path);
    if (fmxhost::init(plugin, kExtnVersion) <= 0) {
        std::fprintf(stderr, "pluginloop: %s refused to start\n", path.c_str());
        return 1;
    }
    int status = 0;
    for (long i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const auto result = fmxhost::callFunction(function, arguments);
        const std::chrono::duration<double, std::micro> took =
            std::chrono::steady_clock::now() - start;
        if (!isCardDocument(result)) {
            std::fprintf(stderr, "pluginloop: call %ld did not read the card: %s\n", i + 1,
                         fakehost::utf8(result.text).c_str());
            status = 1;
            break;
        }
        std::printf("%.1f\n", took.count());
    }
    fmxhost::shutdown(plugin, kExtnVersion);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    std::string function = "EID_Read";
    if (words.size() >= 2 && words[0] == "--function") {
        function = words[1];
        words.erase(words.begin(), words.begin() + 2);
    }
    if (words.size() < 2) {
        std::fprintf(stderr, "usage: pluginloop [--function NAME] PLUGIN COUNT [ARG...]\n");
        return 2;
    }
    const std::vector<std::string> arguments(words.begin() + 2, words.end());
    try {
        return loop(function, words[0], std::stol(words[1]), arguments);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pluginloop: %s\n", e.what());
        return 1;
    }
}
