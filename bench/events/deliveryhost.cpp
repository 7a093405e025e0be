// FileMaker as the watch with fields meets it: the plug-in loaded and started once, the
// insertion script set up with FIELDS, and Idle messages on this (main) thread every 20 ms. For
// each Idle message that starts a script, prints one line: when the message ended (the steady
// clock, in seconds, as Python's time.monotonic() reads it), how long FileMaker's thread spent in
// it (milliseconds), and the length of the parameter. Ends, with Shutdown, when standard input
// does.
//
//   deliveryhost PLUGIN FIELDS
#include "fmxhost/driver.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <thread>

namespace {

constexpr fmx::int16 kExtnVersion = 77;
constexpr auto kIdleInterval = std::chrono::milliseconds(20);

int deliver(const std::string& path, const std::string& fields) {
    const fmxhost::Plugin plugin(path);
    if (fmxhost::init(plugin, kExtnVersion) <= 0) {
        std::fprintf(stderr, "deliveryhost: %s refused to start\n", path.c_str());
        return 1;
    }
    const auto setUp =
        fmxhost::callFunction("EID_OnCardInserted", {"Desk.fmp12", "In", "", fields});
    std::printf("%s\n", fakehost::utf8(setUp.text).c_str());
    std::fflush(stdout);
    std::size_t parameter = 0;
    fakehost::onScriptStart(
        [&](const fakehost::ScriptStart& start) { parameter = start.parameter.size(); });
    std::atomic<bool> open{true};
    std::thread input([&] {
        for (std::string line; std::getline(std::cin, line);) {
        }
        open = false;
    });
    for (auto next = std::chrono::steady_clock::now(); open; next += kIdleInterval) {
        parameter = 0;
        const auto begin = std::chrono::steady_clock::now();
        fmxhost::idle(plugin, kFMXT_UserNotIdle, kExtnVersion);
        const auto end = std::chrono::steady_clock::now();
        if (parameter > 0) {
            const std::chrono::duration<double> at = end.time_since_epoch();
            const std::chrono::duration<double, std::milli> took = end - begin;
            std::printf("%.6f %.3f %zu\n", at.count(), took.count(), parameter);
            std::fflush(stdout);
        }
        std::this_thread::sleep_until(next + kIdleInterval);
    }
    input.join();
    fakehost::onScriptStart(nullptr);
    fmxhost::shutdown(plugin, kExtnVersion);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: deliveryhost PLUGIN FIELDS\n");
        return 2;
    }
    try {
        return deliver(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "deliveryhost: %s\n", e.what());
        return 1;
    }
}
