#include "belpic/sessie.h"

#include "belpic/dienst.h"
#include "belpic/pcsc.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

namespace belpic {

namespace {

std::atomic<bool> gAchtergelaten{false};

// What the caller and the call on its own thread share, under the stop's lock.
struct Afspraak {
    bool klaar = false;              // the call returned
    bool opgegeven = false;          // the caller no longer waits for it
    std::exception_ptr uitzondering; // what the call threw (out of memory), for the caller
};

} // namespace

void onderbreek(Onderbreking& onderbreking) {
    std::lock_guard<std::mutex> slot(onderbreking.slot);
    onderbreking.gestopt = true;
    for (const std::int64_t context : onderbreking.contexten) {
        pcsc::annuleer(static_cast<SCARDCONTEXT>(context));
    }
    onderbreking.gewekt.notify_all();
}

bool gestopt(Onderbreking& onderbreking) {
    std::lock_guard<std::mutex> slot(onderbreking.slot);
    return onderbreking.gestopt;
}

void meldStop(Fout& fout) {
    zet(fout, onderbroken, Melding::wachtGestopt, "stopped");
}

void Context::sluit() {
    if (handvat != 0) {
        SCardReleaseContext(static_cast<SCARDCONTEXT>(handvat));
    }
    handvat = 0;
}

Sessie::Sessie(std::shared_ptr<Onderbreking> stop, Klok klok)
    : stop(std::move(stop)), klok(std::move(klok)) {}

Sessie::~Sessie() {
    std::lock_guard<std::mutex> slot(stop->slot);
    auto& contexten = stop->contexten;
    contexten.erase(std::remove(contexten.begin(), contexten.end(), context.handvat),
                    contexten.end());
}

std::shared_ptr<Sessie> volgende(const Sessie& sessie) {
    return std::make_shared<Sessie>(sessie.stop, sessie.klok);
}

bool open(Sessie& sessie, Fout& fout) {
    if (sessie.context.handvat != 0) {
        return true;
    }
    const std::int64_t context = maakContext(fout);
    if (context == 0) {
        return false;
    }
    sessie.context.handvat = context;
    std::lock_guard<std::mutex> slot(sessie.stop->slot);
    sessie.stop->contexten.push_back(context);
    return true;
}

bool pauzeer(Sessie& sessie, std::chrono::milliseconds duur) {
    sessie.klok.pauze(*sessie.stop, duur);
    return !gestopt(*sessie.stop);
}

bool opTijd(const std::shared_ptr<Sessie>& sessie, Tijdstip uiterlijk,
            const std::function<void()>& oproep, const std::function<void()>& laatLos) {
    const auto afspraak = std::make_shared<Afspraak>();
    // Nothing may leave the call's thread: an exception that leaves a thread ends the process.
    const auto laatLosAlleen = [laatLos] {
        try {
            laatLos();
        } catch (...) {
            // The service could not be told: what the call took goes with the context.
        }
    };
    std::thread draad([sessie, afspraak, oproep, laatLosAlleen] {
        std::exception_ptr uitzondering;
        try {
            oproep();
        } catch (...) {
            uitzondering = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> slot(sessie->stop->slot);
            afspraak->klaar = true;
            afspraak->uitzondering = uitzondering;
            sessie->stop->gewekt.notify_all();
            if (!afspraak->opgegeven) {
                return;
            }
        }
        laatLosAlleen();
    });
    Onderbreking& stop = *sessie->stop;
    std::unique_lock<std::mutex> slot(stop.slot);
    std::exception_ptr wachtFout; // the thread must not be left joinable, whatever the wait does
    try {
        sessie->klok.wacht(slot, stop.gewekt, uiterlijk,
                           [&] { return afspraak->klaar || stop.gestopt; });
    } catch (...) {
        wachtFout = std::current_exception();
    }
    if (afspraak->klaar) {
        slot.unlock();
        draad.join();
        if (afspraak->uitzondering) {
            laatLos();
            std::rethrow_exception(afspraak->uitzondering);
        }
        return true;
    }
    afspraak->opgegeven = true;
    slot.unlock();
    gAchtergelaten = true;
    draad.detach();
    if (wachtFout) {
        std::rethrow_exception(wachtFout);
    }
    return false;
}

bool draadAchtergelaten() {
    return gAchtergelaten;
}

} // namespace belpic
