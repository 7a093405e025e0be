// The encoders beside a well-kept library doing the same work, in the same run:
//   base64     vs OpenSSL's EVP_EncodeBlock,
//   jsonTekst  vs nlohmann-json's dump of a string value,
// on 4 KiB and 64 KiB inputs, and alsJson of a typical card. Each runs five times and the
// median counts, which keeps the figures steady on a machine shared with other work. After the
// usual table it prints each pair's ratio of CPU times (ours / library; below 1.0 means ours is
// faster) and alsJson's time against its goal.
#include "json/base64.h"
#include "json/json.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <cstdint>
#include <iomanip>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

using belpic::Bytes;

Bytes willekeurigeBytes(std::size_t lengte) {
    std::mt19937 toeval(42);
    Bytes bytes(lengte);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(toeval());
    return bytes;
}

// Text such as a card carries: mostly letters, some accented ones, now and then a character
// that needs escaping. Valid UTF-8, so that the library accepts it too.
std::string kaartTekst(std::size_t lengte) {
    const char* const stukken[] = {"Kerkstraat 12 bus 3 ",
                                   "Zoë ",
                                   "Anaïs ",
                                   "Liège ",
                                   "Straße ",
                                   "D'Hondt ",
                                   "\"de jonge\" ",
                                   "Sint-Niklaas ",
                                   "Ménière ",
                                   "C:\\kaart ",
                                   "Van den Broeck ",
                                   "Ærøskøbing\t"};
    std::mt19937 toeval(7);
    std::string tekst;
    while (true) {
        const std::string stuk = stukken[toeval() % std::size(stukken)];
        if (tekst.size() + stuk.size() > lengte)
            break;
        tekst += stuk;
    }
    tekst.append(lengte - tekst.size(), 'e');
    return tekst;
}

belpic::Gegevens typischeKaart() {
    const std::vector<std::string> teksten = {
        "591234567800", "Van den Broeck", "Anaïs Zoë Marie",     "14.03.1985", "Liège", "V", "Belg",
        "02.06.2031",   "85031412345",    "Kerkstraat 12 bus 3", "9000",       "Gent"};
    const Bytes foto = willekeurigeBytes(3000);
    belpic::Gegevens g;
    for (const belpic::Kaartveld* veld : belpic::volledigeVraag().velden) {
        g.push_back({veld, g.size() < teksten.size() ? teksten[g.size()]
                                                     : std::string(foto.begin(), foto.end())});
    }
    return g;
}

void alsJsonTypischeKaart(benchmark::State& state) {
    const belpic::Gegevens kaart = typischeKaart();
    for (auto _ : state)
        benchmark::DoNotOptimize(belpic::alsJson(kaart));
}

void base64Ons(benchmark::State& state) {
    const Bytes bytes = willekeurigeBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(belpic::base64(bytes));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The library at its best: it writes into a buffer allocated once, outside the loop, while
// ours allocates its result on every call.
void base64OpenSsl(benchmark::State& state) {
    const Bytes bytes = willekeurigeBytes(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> uit(4 * ((bytes.size() + 2) / 3) + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_EncodeBlock(uit.data(), bytes.data(), static_cast<int>(bytes.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void jsonTekstOns(benchmark::State& state) {
    const std::string tekst = kaartTekst(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(belpic::jsonTekst(tekst));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void jsonTekstNlohmann(benchmark::State& state) {
    const nlohmann::json waarde = kaartTekst(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(waarde.dump());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The console table as usual, then the ratios of each pair and the alsJson goal.
class Verhoudingen : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.aggregate_name != "median" || run.error_occurred)
                continue;
            const std::string& args = run.run_name.args;
            mediaan[run.run_name.function_name + (args.empty() ? "" : "/" + args)] =
                run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::ostream& uit = GetOutputStream();
        uit << std::fixed << std::setprecision(2)
            << "\nRatio of CPU times, ours / library (goal <= 1.0):\n";
        for (const char* grootte : {"4096", "65536"}) {
            verhouding(uit, "base64", "openssl", grootte);
            verhouding(uit, "jsonTekst", "nlohmann", grootte);
        }
        const auto kaart = mediaan.find("alsJson/typical_card");
        if (kaart != mediaan.end())
            uit << "alsJson, typical card: " << kaart->second / 1000 << " us (goal < 10 us)\n";
    }

  private:
    void verhouding(std::ostream& uit, const std::string& wat, const std::string& bibliotheek,
                    const std::string& grootte) const {
        const auto ons = mediaan.find(wat + "/ours/" + grootte);
        const auto zij = mediaan.find(wat + "/" + bibliotheek + "/" + grootte);
        if (ons == mediaan.end() || zij == mediaan.end())
            return;
        uit << std::left << std::setw(9) << wat << " vs " << std::setw(8) << bibliotheek
            << std::right << std::setw(6) << grootte << " B: " << ons->second / zij->second << "\n";
    }

    std::map<std::string, double> mediaan; // median CPU time of each benchmark, in nanoseconds
};

benchmark::internal::Benchmark* vijfKeer(benchmark::internal::Benchmark* b) {
    return b->Repetitions(5)->DisplayAggregatesOnly();
}

} // namespace

int main(int argc, char** argv) {
    vijfKeer(benchmark::RegisterBenchmark("alsJson/typical_card", alsJsonTypischeKaart))
        ->Unit(benchmark::kMicrosecond);
    struct Meting {
        const char* naam;
        void (*functie)(benchmark::State&);
    };
    for (const Meting& meting :
         {Meting{"base64/ours", base64Ons}, Meting{"base64/openssl", base64OpenSsl},
          Meting{"jsonTekst/ours", jsonTekstOns}, Meting{"jsonTekst/nlohmann", jsonTekstNlohmann}})
        vijfKeer(benchmark::RegisterBenchmark(meting.naam, meting.functie))->Arg(4096)->Arg(65536);

    // The repetitions of all benchmarks run in random order, so that a burst of other work on
    // the machine does not fall on one side of a comparison only. Flags given on the command
    // line come after this default and win.
    std::vector<char*> argumenten(argv, argv + argc);
    char doorElkaar[] = "--benchmark_enable_random_interleaving=true";
    argumenten.insert(argumenten.begin() + 1, doorElkaar);
    int aantal = static_cast<int>(argumenten.size());
    argumenten.push_back(nullptr);
    benchmark::Initialize(&aantal, argumenten.data());
    if (benchmark::ReportUnrecognizedArguments(aantal, argumenten.data()))
        return 1;
    Verhoudingen verslag;
    benchmark::RunSpecifiedBenchmarks(&verslag);
    benchmark::Shutdown();
    return 0;
}
