// The clock of the real smart-card service's world, which every other test replaces with the
// scripted service's: a pause ends at once at the stop, a wait once what it waits for is there.
#include "belpic/sessie.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace belpic {
namespace {

using namespace std::chrono_literals;

TEST(Klok, APauseAndAWaitEndWithoutTheirTime) {
    const Klok klok = systeemKlok();
    Onderbreking stop;
    auto pauze = std::async(std::launch::async, [&] { klok.pauze(stop, 60s); });
    onderbreek(stop);
    EXPECT_EQ(pauze.wait_for(20s), std::future_status::ready);

    std::unique_lock<std::mutex> slot(stop.slot);
    bool klaar = false;
    std::thread ander([&] {
        std::lock_guard<std::mutex> zijn(stop.slot);
        klaar = true;
        stop.gewekt.notify_all();
    });
    klok.wacht(slot, stop.gewekt, klok.nu() + 60s, [&] { return klaar; });
    EXPECT_TRUE(klaar);
    slot.unlock();
    ander.join();
}

} // namespace
} // namespace belpic
