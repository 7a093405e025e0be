// veelhost: one host process that calls a plug-in's functions many times, from several threads
// at once, as a FileMaker server does; for the concurrency, fault and soak tests.
//
//   veelhost PLUGIN [--threads T] [--calls N] [--warm-up W] [--pause-ms P] FUNCTION [ARG]
//
// Starts the plug-in (Init), lets T threads each make N calls of FUNCTION at the same moment,
// and stops it (Shutdown). Every result is one line of JSON on standard output:
//   {"thread": t, "call": i, "error": e, "text": "..."}
// and the last line gives the process's figures around the calls, after W calls to warm up
// (the fake host's log of SDK calls, eight bytes a call, is part of the memory):
//   {"rss_kib_before": .., "rss_kib_after": .., "fds_before": .., "fds_after": ..,
//    "host_objects_left": .., "misuses": .., "seconds": ..}
#include "fakehost/fakehost.h"
#include "fmxhost/driver.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Opties {
    std::string plugin;
    int threads = 1;
    int calls = 1;
    int warmUp = 0;
    int pauseMs = 0;
    std::string functie;
    std::vector<std::string> argumenten;
};

[[noreturn]] void gebruik() {
    std::cerr << "usage: veelhost PLUGIN [--threads T] [--calls N] [--warm-up W] [--pause-ms P] "
                 "FUNCTION [ARG]\n";
    std::exit(2);
}

Opties lees(int argc, char** argv) {
    Opties o;
    int i = 1;
    if (i >= argc) {
        gebruik();
    }
    o.plugin = argv[i++];
    for (; i + 1 < argc && std::string(argv[i]).rfind("--", 0) == 0; i += 2) {
        const std::string optie = argv[i];
        const int waarde = std::atoi(argv[i + 1]);
        if (optie == "--threads") {
            o.threads = waarde;
        } else if (optie == "--calls") {
            o.calls = waarde;
        } else if (optie == "--warm-up") {
            o.warmUp = waarde;
        } else if (optie == "--pause-ms") {
            o.pauseMs = waarde;
        } else {
            gebruik();
        }
    }
    if (i >= argc) {
        gebruik();
    }
    o.functie = argv[i++];
    o.argumenten.assign(argv + i, argv + argc);
    return o;
}

long rssKib() {
    std::ifstream status("/proc/self/status");
    std::string regel;
    while (std::getline(status, regel)) {
        if (regel.rfind("VmRSS:", 0) == 0) {
            return std::atol(regel.c_str() + 6);
        }
    }
    return -1;
}

long openDescriptors() {
    long n = 0;
    for ([[maybe_unused]] const auto& d : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n - 1; // the one the listing itself holds
}

std::string jsonTekst(const std::string& tekst) {
    std::string uit;
    for (unsigned char c : tekst) {
        if (c == '"' || c == '\\') {
            uit += '\\';
            uit += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            uit += escape;
        } else {
            uit += static_cast<char>(c);
        }
    }
    return uit;
}

} // namespace

int main(int argc, char** argv) {
    const Opties o = lees(argc, argv);
    fmxhost::Plugin plugin(o.plugin);
    if (fmxhost::init(plugin, kCurrentExtnVersion) != kCurrentExtnVersion) {
        std::cerr << "veelhost: the plug-in refused to start\n";
        return 3;
    }
    for (int i = 0; i < o.warmUp; ++i) {
        fmxhost::callFunction(o.functie, o.argumenten);
    }
    const long rssVoor = rssKib();
    const long fdsVoor = openDescriptors();
    const int objectenVoor = fakehost::liveTexts() + fakehost::liveQuadChars();

    std::mutex slot;
    std::condition_variable start;
    bool los = false;
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> draden;
    for (int t = 0; t < o.threads; ++t) {
        draden.emplace_back([&, t] {
            {
                std::unique_lock<std::mutex> wacht(slot);
                start.wait(wacht, [&] { return los; });
            }
            for (int i = 0; i < o.calls; ++i) {
                const fakehost::Result r = fmxhost::callFunction(o.functie, o.argumenten);
                std::ostringstream regel;
                regel << "{\"thread\": " << t << ", \"call\": " << i << ", \"error\": " << r.error
                      << ", \"sets\": " << r.sets << ", \"text\": \""
                      << jsonTekst(fakehost::utf8(r.text)) << "\"}";
                {
                    // Written at once, not kept: the process's memory is what is measured.
                    std::lock_guard<std::mutex> schrijf(slot);
                    std::cout << regel.str() << '\n';
                }
                if (o.pauseMs > 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(o.pauseMs));
                }
            }
        });
    }
    {
        std::lock_guard<std::mutex> zet(slot);
        los = true;
    }
    start.notify_all();
    for (auto& draad : draden) {
        draad.join();
    }
    const double seconden =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const long rssNa = rssKib();
    const long fdsNa = openDescriptors();
    const int objectenNa = fakehost::liveTexts() + fakehost::liveQuadChars();
    fmxhost::shutdown(plugin, kCurrentExtnVersion);

    std::cout << "{\"rss_kib_before\": " << rssVoor << ", \"rss_kib_after\": " << rssNa
              << ", \"fds_before\": " << fdsVoor << ", \"fds_after\": " << fdsNa
              << ", \"host_objects_left\": " << objectenNa - objectenVoor
              << ", \"misuses\": " << fakehost::misuses().size() << ", \"seconds\": " << seconden
              << "}\n";
    return 0;
}
