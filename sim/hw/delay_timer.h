// The card's delay timer: a count register, a control register and a status register.
//
// Writing kStart to the control register starts a countdown of `count` periods of real time
// (1 µs by default); the status then reads kExpired once the time has passed, and 0 before.
// Writing kStop stops the timer (status 0). The control register reads back the last value
// written; other control values are only stored. Thread-safe; knows nothing of the bus (the
// card model maps its register offsets here).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace sim {

class DelayTimer {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint8_t kStart = 7;
    static constexpr uint8_t kStop = 5;
    static constexpr uint8_t kExpired = 7;

    explicit DelayTimer(std::chrono::nanoseconds period = std::chrono::microseconds(1));

    void SetPeriod(std::chrono::nanoseconds period);
    std::chrono::nanoseconds Period() const;
    // Test hook: a started timer never reports expiry.
    void SetNeverExpires(bool never);

    void WriteCount(uint8_t count);
    uint8_t ReadCount() const;
    void WriteControl(uint8_t value);
    uint8_t ReadControl() const;
    uint8_t ReadStatus() const;

    bool Running() const;
    // Starts since construction (kStart written), for counters and tests.
    uint64_t Starts() const;

  private:
    mutable std::mutex mutex_;
    std::chrono::nanoseconds period_;
    bool neverExpires_ = false;
    uint8_t count_ = 0;
    uint8_t control_ = 0;
    bool running_ = false;
    Clock::time_point deadline_{};
    uint64_t starts_ = 0;
};

}  // namespace sim
