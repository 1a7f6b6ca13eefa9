// Helpers for driving the UART model directly through its window.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/hw/line_clock.h"
#include "sim/hw/uart.h"
#include "sim/hw/wire.h"

namespace uarttest {

using namespace sim::uart;
using sim::LineClock;
using Ps = LineClock::Ps;

constexpr uint32_t kClock = 1843200;  // the model's default clock: divisor 1 = 115200 baud

// Exact character time in picoseconds: bits x 16 x divisor / clock.
inline double CharPs(double bits, uint32_t divisor, uint32_t clock = kClock) {
    return bits * 16.0 * divisor * 1e12 / clock;
}

inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

// One UART and its register offsets.
struct Port {
    std::shared_ptr<sim::Uart> uart;
    uint32_t stride = 1;

    explicit Port(const sim::UartConfig& config = {})
        : uart(sim::Uart::Create(config)), stride(config.stride) {}
    uint8_t Get(uint32_t reg) { return uart->Read8(reg * stride); }
    void Set(uint32_t reg, uint8_t value) { uart->Write8(reg * stride, value); }
    uint8_t Iir() { return Get(kRegIir); }
    uint8_t Lsr() { return Get(kRegLsr); }
    uint8_t Msr() { return Get(kRegMsr); }
    uint8_t TxLevel() { return uart->Read8(kTxLevelOffset); }
    uint8_t RxLevel() { return uart->Read8(kRxLevelOffset); }

    // Divisor through the latch, then the line control and FIFO control values.
    void Program(uint16_t divisor, uint8_t lcr = kLcr8N1, uint8_t fcr = kFcrEnable) {
        Set(kRegLcr, lcr | kLcrDlab);
        Set(kRegData, static_cast<uint8_t>(divisor));
        Set(kRegIer, static_cast<uint8_t>(divisor >> 8));
        Set(kRegLcr, lcr);
        Set(kRegFcr, fcr);
    }
    void Send(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) uart->Write8(kFifoWindowOffset, b);
    }
    std::vector<uint8_t> Drain() {
        std::vector<uint8_t> out;
        for (uint8_t n = RxLevel(); n > 0; n = RxLevel()) {
            while (n--) out.push_back(uart->Read8(kFifoWindowOffset));
        }
        return out;
    }
    bool WaitRx(uint32_t level) {
        return WaitUntil([&] { return RxLevel() >= level; });
    }
};

inline std::vector<uint8_t> Sequence(size_t n, uint8_t first = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

}  // namespace uarttest
