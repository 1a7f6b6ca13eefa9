// Small helpers shared by the kernel tests.
#pragma once

#include <chrono>
#include <thread>

#include "platform/kernel.h"
#include "sim/kernel/sim_kernel.h"

namespace kt {

using Clock = std::chrono::steady_clock;

inline int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls a condition that another thread makes true; false when it never does.
template <typename Pred>
bool Eventually(Pred pred, int timeoutMs = 5000) {
    const auto start = Clock::now();
    while (!pred()) {
        if (MsSince(start) > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Blocks until `count` threads wait on the handle.
inline bool WaitersArrive(plat::Handle h, size_t count) {
    return Eventually([&] { return sim::WaitingThreads(h) >= count; });
}

// Moves the tick counter so that it reads about `tick` now.
inline void SetTickNear(uint32_t tick) {
    sim::SetTickOffset(0);
    sim::SetTickOffset(tick - plat::TickCount());
}

}  // namespace kt
