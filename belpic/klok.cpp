// The clock of the real smart-card service's world: the system's steady clock. (The scripted
// service of the tests brings a clock of its own in place of this file.)
#include "belpic/sessie.h"

namespace belpic {

Klok systeemKlok() {
    Klok klok;
    klok.nu = std::chrono::steady_clock::now;
    klok.pauze = [](Onderbreking& onderbreking, std::chrono::milliseconds duur) {
        std::unique_lock<std::mutex> slot(onderbreking.slot);
        onderbreking.gewekt.wait_for(slot, duur, [&] { return onderbreking.gestopt; });
    };
    klok.wacht = [](std::unique_lock<std::mutex>& slot, std::condition_variable& gewekt,
                    Tijdstip tot,
                    const std::function<bool()>& klaar) { gewekt.wait_until(slot, tot, klaar); };
    return klok;
}

} // namespace belpic
