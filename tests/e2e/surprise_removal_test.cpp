// A card pulled out while its ports are open and busy: its registers read all ones and its
// interrupt line goes quiet. Calls in progress end within their time-outs, new calls neither
// hang nor crash, the driver does not spin on the dead registers, and removing the devices
// afterwards releases everything.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "sim/hw/uart.h"
#include "sim/power/power.h"
#include "tests/e2e/serial.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr uint32_t kBaud = 115200;

class SurpriseRemovalTest : public E2eTest {
  protected:
    // A 4-port card: ports 1 and 2 on a cable, port 3 on an external wire, port 4 on nothing.
    void SetUp() override {
        E2eTest::SetUp();
        allocationsBefore_ = sim::LiveAllocations().blocks;
        Boot(CardText("Card1", "ZelKap", 1, 0x0A41) + NullModem("Card1", 1, "Card1", 2) +
             PortWire("Card1", 3, "external"));
        card_ = machine->FindCard("Card1")->card;
    }

    void TearDown() override {
        E2eTest::TearDown();
        EXPECT_EQ(sim::LiveAllocations().blocks, allocationsBefore_);
    }

    // Register accesses the driver makes to the vanished card during `span` while nobody calls.
    uint64_t IdleAccesses(std::chrono::milliseconds span) {
        const uint64_t before = card_->Counters().accessesWhileGone;
        std::this_thread::sleep_for(span);
        return card_->Counters().accessesWhileGone - before;
    }

    std::shared_ptr<sim::Card> card_;
    uint64_t allocationsBefore_ = 0;
};

TEST_F(SurpriseRemovalTest, RegistersReadAllOnesAndTheLineGoesQuiet) {
    sim::Uart* uart = machine->UartOf("Card1", 3);
    ASSERT_NE(uart, nullptr);
    PortHandle com3(machine->PortDeviceName("Card1", 3));
    ASSERT_TRUE(Configure(com3, kBaud));
    // A received byte nobody reads keeps an interrupt source pending... until the card goes.
    machine->ExternalOf("Card1", 3)->Send(std::vector<uint8_t>{0x41});
    card_->Vanish();
    EXPECT_TRUE(card_->Vanished());
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(card_->LineAsserted());
    EXPECT_EQ(card_->Read8(0x80), 0xFF);
    EXPECT_EQ(card_->Read8(512 * 2 + 5), 0xFF) << "LSR of port 3";
    EXPECT_EQ(card_->Read32(512 * 2 + 256), 0xFFFFFFFFu) << "FIFO window";
    card_->Write8(512 * 2 + 7, 0x5A);
    EXPECT_EQ(card_->Read8(512 * 2 + 7), 0xFF) << "writes are ignored";
    EXPECT_FALSE(card_->SetPower(512 * 2, 3));
    EXPECT_GE(card_->Counters().accessesWhileGone, 5u);
}

// A reader, a writer and an event waiter are inside the driver when the card vanishes; so is
// traffic on the cable. Each call returns within its time-out, later calls do too, nothing
// spins, and stopping the card releases every handle and allocation.
TEST_F(SurpriseRemovalTest, BusyPortsEndTheirCallsAndRemovalReleasesEverything) {
    PortHandle com1(machine->PortDeviceName("Card1", 1)), com2(machine->PortDeviceName("Card1", 2)),
        com3(machine->PortDeviceName("Card1", 3)), monitor(machine->PortDeviceName("Card1", 3), 0);
    for (api::Handle h : {api::Handle(com1), api::Handle(com2), api::Handle(com3),
                          api::Handle(monitor)}) {
        ASSERT_NE(h, 0u);
    }
    for (api::Handle h : {api::Handle(com1), api::Handle(com2), api::Handle(com3)}) {
        ASSERT_TRUE(Configure(h, kBaud));
    }
    constexpr uint32_t kReadLimitMs = 1500, kWriteLimitMs = 1500;
    ASSERT_TRUE(SetTimeouts(com1, 0, kReadLimitMs, 0));
    ASSERT_TRUE(SetTimeouts(com2, 0, 0, kWriteLimitMs));
    ASSERT_TRUE(api::SetCommMask(monitor, plat::EV_RXCHAR | plat::EV_CTS | plat::EV_BREAK));

    // COM2 writes more than the line carries before the card goes; COM1 reads all of it it can.
    std::atomic<bool> gone{false};
    auto data = Pattern(16 * 1024, 7);
    auto write = std::async(std::launch::async, [&] {
        uint32_t done = 0xFFFFFFFFu;
        api::Write(com2, data.data(), static_cast<uint32_t>(data.size()), &done);
        return std::pair{done, Clock::now()};
    });
    auto read = std::async(std::launch::async, [&] {
        // Reads until one comes back empty after the card has gone.
        uint8_t buffer[256];
        size_t total = 0;
        for (;;) {
            uint32_t done = 0;
            const bool wasGone = gone.load();
            if (!api::Read(com1, buffer, sizeof buffer, &done)) break;
            total += done;
            if (done == 0 && wasGone) break;
        }
        return std::pair{total, Clock::now()};
    });
    auto wait = std::async(std::launch::async, [&] {
        uint32_t events = 0xFFFFFFFFu;
        api::WaitCommEvent(monitor, &events);
        return events;
    });
    ASSERT_TRUE(WaitFor([&] {
        auto info = sim::FindDevice(machine->PortDeviceName("Card1", 2));
        return info && info->counts[sim::Entry::Write] >= 1;
    }));
    std::this_thread::sleep_for(300ms);  // traffic under way, the waiter inside its wait
    ASSERT_EQ(write.wait_for(0s), std::future_status::timeout) << "the write ended too early";

    const auto vanished = Clock::now();
    card_->Vanish();
    gone = true;

    ASSERT_EQ(write.wait_for(kWriteLimitMs * 1ms + 10s), std::future_status::ready);
    auto [written, writeEnd] = write.get();
    EXPECT_LT(written, data.size()) << "a vanished card cannot have sent everything";
    ASSERT_EQ(read.wait_for(kReadLimitMs * 1ms + 10s), std::future_status::ready);
    auto [got, readEnd] = read.get();
    EXPECT_LE(got, written);
    (void)writeEnd;
    (void)readEnd;

    // The event waiter is still parked (a silent line raises nothing) until its mask changes.
    EXPECT_EQ(wait.wait_for(0s), std::future_status::timeout);
    EXPECT_TRUE(api::SetCommMask(monitor, plat::EV_RXCHAR));
    ASSERT_EQ(wait.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(wait.get(), 0u);

    // New calls on the dead card: each returns (within its time-out) and none crashes. Status
    // registers reading all ones look like every line error and modem change at once.
    const auto before = Clock::now();
    uint8_t byte = 0;
    uint32_t done = 99;
    EXPECT_TRUE(api::Read(com1, &byte, 1, &done));
    EXPECT_EQ(done, 0u);
    EXPECT_GE(Clock::now() - before, kReadLimitMs * 1ms - 20ms) << "lower bound of the time-out";
    const uint8_t some[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    done = 99;
    api::Write(com2, some, sizeof some, &done);
    EXPECT_LE(done, sizeof some);
    uint32_t modem = 0;
    api::GetCommModemStatus(com3, &modem);
    api::PurgeComm(com1, plat::PURGE_RXCLEAR | plat::PURGE_TXCLEAR);
    Configure(com3, 9600);
    api::EscapeCommFunction(com3, api::kSetDtr);
    api::TransmitCommChar(com3, 0x55);
    Status(com1);
    EXPECT_LT(Clock::now() - vanished, 60s) << "calls on the dead card should not take this long";

    // The driver left alone does not poll the dead registers.
    EXPECT_LT(IdleAccesses(500ms), 100u);

    // Removing the devices releases everything, with the handles still open.
    auto blocked = ReadAsync(com3, 16);  // no time-out set on COM3: waits until removal
    ASSERT_TRUE(WaitFor([&] {
        auto info = sim::FindDevice(machine->PortDeviceName("Card1", 3));
        return info && info->counts[sim::Entry::Read] >= 1;
    }));
    ASSERT_TRUE(SetTimeouts(com3, 0, 0, 0));
    ASSERT_TRUE(machine->StopCard("Card1"));
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
    EXPECT_THAT(sim::ListDevices(), ::testing::IsEmpty());
    plat::SetLastErrorCode(0);
    EXPECT_FALSE(api::Read(com1, &byte, 1, &done));
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    for (PortHandle* p : {&com1, &com2, &com3, &monitor}) EXPECT_TRUE(p->Close());
    ExpectNothingLeft();
}

// A vanished card that was idle: its ports can still be opened and closed, suspend and resume
// pass over it, and the machine shuts down cleanly.
TEST_F(SurpriseRemovalTest, IdleCardGoneThenOpenSuspendResumeAndShutdown) {
    card_->Vanish();
    for (uint32_t n = 1; n <= 4; ++n) {
        SCOPED_TRACE("port " + std::to_string(n));
        PortHandle port(machine->PortDeviceName("Card1", n));
        ASSERT_NE(port, 0u);
        EXPECT_TRUE(SetTimeouts(port, 0, 100, 200));
        uint8_t buffer[4];
        uint32_t done = 99;
        EXPECT_TRUE(api::Read(port, buffer, sizeof buffer, &done));
        EXPECT_EQ(done, 0u);
    }
    EXPECT_LT(IdleAccesses(300ms), 100u);
    {
        PortHandle open(machine->PortDeviceName("Card1", 1));
        ASSERT_NE(open, 0u);
        EXPECT_GT(sim::SystemSuspend(), 0u);
        EXPECT_GT(sim::SystemResume(), 0u);
        uint32_t reached = 99;
        sim::PowerManagerSetPower(machine->PortDeviceName("Card1", 2), 4, &reached);
        sim::PowerManagerSetPower(machine->PortDeviceName("Card1", 2), 0, &reached);
        EXPECT_TRUE(SetTimeouts(open, 0, 100, 200));
        uint8_t byte = 0;
        uint32_t done = 99;
        EXPECT_TRUE(api::Read(open, &byte, 1, &done));
        EXPECT_EQ(done, 0u);
    }
    machine->Shutdown();
    ExpectNothingLeft();
}

}  // namespace
}  // namespace e2e
