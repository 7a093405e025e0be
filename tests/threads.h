// Thread helpers shared by the tests of waits and watches, which run on the scripted service's
// clock: the service tells when a waiter has taken in what a test did, so no test sleeps.
#pragma once

#include "pcscfake/pcscfake.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace threads {

// Does `s` and lets the waiter take it in: it has begun waiting again since.
template <typename Step>
void step(Step s) {
    const std::size_t before = pcscfake::waitsBegun();
    s();
    EXPECT_TRUE(pcscfake::awaitWaits(before + 1)) << "the waiter did not wait again";
}

// Whether `work` is done; if it is still running after a while, a test that expected it done
// fails, and `unstick` lets it end.
template <typename T, typename Unstick>
bool doneOrUnstick(std::future<T>& work, Unstick unstick) {
    if (work.wait_for(std::chrono::seconds(20)) == std::future_status::ready) {
        return true;
    }
    unstick();
    return false;
}

// A start gun for threads that are to overlap: each waits for it, then all go at once.
struct StartGun {
    std::promise<void> fire;
    std::shared_future<void> fired = fire.get_future().share();

    template <typename Work>
    std::future<void> thread(Work work) {
        return std::async(std::launch::async, [this, work] {
            fired.wait();
            work();
        });
    }
};

} // namespace threads
