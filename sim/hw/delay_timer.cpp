#include "sim/hw/delay_timer.h"

namespace sim {

DelayTimer::DelayTimer(std::chrono::nanoseconds period) : period_(period) {}

void DelayTimer::SetPeriod(std::chrono::nanoseconds period) {
    std::lock_guard lock(mutex_);
    period_ = period;
}

std::chrono::nanoseconds DelayTimer::Period() const {
    std::lock_guard lock(mutex_);
    return period_;
}

void DelayTimer::SetNeverExpires(bool never) {
    std::lock_guard lock(mutex_);
    neverExpires_ = never;
}

void DelayTimer::WriteCount(uint8_t count) {
    std::lock_guard lock(mutex_);
    count_ = count;
}

uint8_t DelayTimer::ReadCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

void DelayTimer::WriteControl(uint8_t value) {
    std::lock_guard lock(mutex_);
    control_ = value;
    if (value == kStart) {
        running_ = true;
        deadline_ = Clock::now() + period_ * count_;
        ++starts_;
    } else if (value == kStop) {
        running_ = false;
    }
}

uint8_t DelayTimer::ReadControl() const {
    std::lock_guard lock(mutex_);
    return control_;
}

uint8_t DelayTimer::ReadStatus() const {
    std::lock_guard lock(mutex_);
    if (!running_ || neverExpires_) return 0;
    return Clock::now() >= deadline_ ? kExpired : 0;
}

bool DelayTimer::Running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

uint64_t DelayTimer::Starts() const {
    std::lock_guard lock(mutex_);
    return starts_;
}

}  // namespace sim
