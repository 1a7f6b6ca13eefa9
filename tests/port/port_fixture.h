// Fixtures for the stream layer's tests: a port key with its active key, a fake adapter, and
// a port initialised over a FakePort, with small helpers for the control requests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "platform/serial.h"
#include "port/entry_points.h"
#include "port/port_device.h"
#include "sim/kernel/sim_kernel.h"
#include "tests/port/fake_port.h"

namespace zel::test {

using Clock = std::chrono::steady_clock;

inline int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls pred until it holds or timeoutMs pass; true when it held.
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
    const auto start = Clock::now();
    while (!pred()) {
        if (MsSince(start) > timeoutMs) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 0) {
    std::vector<uint8_t> v(n);
    // Avoids the flow-control characters 0x11 and 0x13 so data never counts as XON/XOFF.
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = static_cast<uint8_t>((i * 7 + seed * 13 + (i >> 8)) & 0xFF);
        if (b == 0x11 || b == 0x13) b = 0x20;
        v[i] = b;
    }
    return v;
}

constexpr uint32_t kOwnerAccess = plat::kAccessRead | plat::kAccessWrite;

// The registry keys a port is initialised from: its device key and an active key naming it.
class PortKeysTest : public ::testing::Test {
  protected:
    static constexpr const plat::WChar* kDeviceKey = u"Drivers\\ZelStreamTest\\Port1";
    static constexpr const plat::WChar* kActiveKey = u"Drivers\\Active\\87";

    void SetUp() override {
        liveHandlesBefore = sim::LiveHandles().size();
        liveBlocksBefore = sim::LiveAllocations().blocks;
        WriteKeys(true, true, 1);
    }
    void TearDown() override {
        DeleteKeys();
        EXPECT_EQ(sim::LiveHandles().size(), liveHandlesBefore) << "handles leaked";
        EXPECT_EQ(sim::LiveAllocations().blocks, liveBlocksBefore) << "memory leaked";
    }

    void WriteKeys(bool withIndex, bool withPriority, uint32_t index, uint32_t priority = 77);
    void DeleteKeys();

    size_t liveHandlesBefore = 0;
    uint64_t liveBlocksBefore = 0;
};

// A port initialised over a FakePort; Deinit at the end.
class PortTest : public PortKeysTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    OpenHandle* OpenOwner(uint32_t access = kOwnerAccess) {
        OpenHandle* h = Open(device, access, 0);
        EXPECT_NE(h, nullptr);
        return h;
    }
    // PreClose then Close, as the device manager closes a handle.
    void CloseHandle(OpenHandle* h) {
        PreClose(h);
        EXPECT_EQ(Close(h), 1);
    }

    plat::Bool Ioctl(OpenHandle* h, uint32_t code, const void* in = nullptr, uint32_t inLength = 0,
                     void* out = nullptr, uint32_t outLength = 0, uint32_t* actual = nullptr) {
        return IOControl(h, code, in, inLength, out, outLength, actual);
    }
    void SetTimeouts(OpenHandle* h, uint32_t interval, uint32_t multiplier, uint32_t constant,
                     uint32_t writeMultiplier = 0, uint32_t writeConstant = 0) {
        plat::CommTimeouts t{interval, multiplier, constant, writeMultiplier, writeConstant};
        ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof(t)), 1);
    }
    plat::Dcb GetDcb(OpenHandle* h) {
        plat::Dcb dcb{};
        uint32_t actual = 0;
        EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof(dcb), &actual), 1);
        return dcb;
    }
    plat::Bool SetDcb(OpenHandle* h, const plat::Dcb& dcb) {
        return Ioctl(h, plat::IOCTL_SERIAL_SET_DCB, &dcb, sizeof(dcb));
    }
    // Adopts the current record changed by edit.
    void EditDcb(OpenHandle* h, const std::function<void(plat::Dcb&)>& edit) {
        plat::Dcb dcb = GetDcb(h);
        edit(dcb);
        ASSERT_EQ(SetDcb(h, dcb), 1);
    }
    plat::SerialDevStatus CommStatus(OpenHandle* h) {
        plat::SerialDevStatus status{};
        uint32_t actual = 0;
        EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof(status),
                        &actual),
                  1);
        return status;
    }
    void SetWaitMask(OpenHandle* h, uint32_t mask) {
        ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)), 1);
    }
    void Purge(OpenHandle* h, uint32_t flags) {
        ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_PURGE, &flags, sizeof(flags)), 1);
    }
    uint32_t RingCount() { return ReceiveBufferCount(device); }
    // Injects bytes and waits until the interrupt path has dealt with all of them.
    void Receive(const std::vector<uint8_t>& bytes) {
        port->InjectReceive(bytes);
        ASSERT_TRUE(WaitUntil([&] { return port->ReceiveIdle(); }));
    }
    // Reads what the ring holds without waiting.
    std::vector<uint8_t> ReadNow(OpenHandle* h, uint32_t length) {
        const plat::CommTimeouts saved = LoadTimeouts(device);
        SetTimeouts(h, plat::kMaxDword, 0, 0);
        std::vector<uint8_t> out(length);
        const uint32_t n = Read(h, out.data(), length);
        EXPECT_NE(n, plat::kMaxDword);
        out.resize(n == plat::kMaxDword ? 0 : n);
        StoreTimeouts(device, saved);
        return out;
    }

    FakeAdapter adapter;
    PortDevice* device = nullptr;
    FakePort* port = nullptr;
};

// A port with an owner handle open for the whole test.
class OwnerPortTest : public PortTest {
  protected:
    void SetUp() override {
        PortTest::SetUp();
        h = OpenOwner();
    }
    void TearDown() override {
        if (h != nullptr) CloseHandle(h);
        PortTest::TearDown();
    }
    OpenHandle* h = nullptr;
};

}  // namespace zel::test
