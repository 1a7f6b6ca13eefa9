// Data through the whole stack: application calls, device manager, stream layer, UART port,
// adapter interrupt thread, card and UART models, and the wires between them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sim/hw/uart.h"
#include "sim/power/power.h"
#include "tests/e2e/serial.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr uint32_t kBaud = 115200;

using TrafficTest = E2eTest;

// Every port of an 8-port card on a null-modem cable to its neighbour, all sending and
// receiving at once at 115200 baud: every byte arrives, in order, unchanged.
TEST_F(TrafficTest, EightPortsMoveDataBothWaysAtOnce) {
    std::string text = CardText("Card1", "ZelKap", 1, 0x0A42);
    for (uint32_t n = 1; n <= 8; n += 2) text += NullModem("Card1", n, "Card1", n + 1);
    sim::Machine& m = Boot(text);

    constexpr size_t kBytes =
        6 *
        1024;  // two seconds of traffic per direction  // about a second of traffic per direction
    std::vector<PortHandle> ports;
    for (uint32_t n = 1; n <= 8; ++n) {
        ports.emplace_back(m.PortDeviceName("Card1", n));
        ASSERT_NE(ports.back(), 0u) << n;
        ASSERT_TRUE(Configure(ports.back(), kBaud));
        ASSERT_TRUE(SetTimeouts(ports.back(), 100, 1000, 30000));
    }
    std::vector<std::vector<uint8_t>> sent(8), received(8);
    for (size_t i = 0; i < 8; ++i) sent[i] = Pattern(kBytes, static_cast<uint32_t>(i + 1));

    auto start = Clock::now();
    std::vector<std::thread> threads;
    std::atomic<size_t> written[8] = {};
    for (size_t i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] { written[i] = WriteBlock(ports[i], sent[i]); });
        threads.emplace_back([&, i] { received[i] = ReadBlock(ports[i], kBytes, 20s); });
    }
    for (auto& t : threads) t.join();
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("port " + std::to_string(i + 1));
        EXPECT_EQ(written[i], kBytes);
        EXPECT_EQ(received[i].size(), kBytes);
        EXPECT_TRUE(received[i] == sent[i ^ 1]) << "data lost or changed on the way";
        uint32_t errors = 99;
        EXPECT_EQ(Status(ports[i], &errors).cbInQue, 0u);
        EXPECT_EQ(errors, 0u);
        EXPECT_EQ(m.UartOf("Card1", static_cast<uint32_t>(i + 1))->Stats().overruns, 0u);
    }
    EXPECT_GE(elapsed, LineSeconds(kBytes, kBaud) * kLinePace - 0.001)
        << "faster than the line allows";
}

// Two ports on one cable, opened and set to 115200 baud.
class CableTest : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        Boot(CardText("Card1", "ZelKap", 1, 0x0A40) + NullModem("Card1", 1, "Card1", 2));
        for (PortHandle* p : {&a, &b}) {
            *p = PortHandle(machine->PortDeviceName("Card1", p == &a ? 1 : 2));
            ASSERT_NE(*p, 0u);
            ASSERT_TRUE(Configure(*p, kBaud));
            ASSERT_TRUE(SetTimeouts(*p, 100, 1000, 30000));
        }
    }
    void TearDown() override {
        a.Close();
        b.Close();
        E2eTest::TearDown();
    }
    PortHandle a{u""}, b{u""};
};

// The receiver stops the sender when its ring fills (by a hand-shake line or by XOFF), nothing
// is lost meanwhile, and the rest flows once the receiver reads.
struct HandShake {
    const char* what;
    std::function<void(plat::Dcb&)> sender, receiver;
    uint32_t senderHold;   // ComStat bit of the held sender
    uint32_t receiverBit;  // ComStat bit of the receiver (0: none)
    size_t heldAfter;      // bytes in the receiver's ring when the sender is held
};

void PrintTo(const HandShake& mode, std::ostream* os) {
    *os << mode.what;
}

class HandShakeTest : public CableTest, public ::testing::WithParamInterface<HandShake> {};

TEST_P(HandShakeTest, HoldsTheSenderUntilTheReceiverReads) {
    const HandShake& c = GetParam();
    constexpr size_t kBytes = 4096;
    ASSERT_TRUE(Configure(a, kBaud, c.sender));
    ASSERT_TRUE(Configure(b, kBaud, c.receiver));
    ASSERT_TRUE(SetTimeouts(a, 0, 0, 2000));  // the write gives up while held
    auto data = Pattern(kBytes, 7, true);
    size_t first = WriteBlock(a, data, kBytes);
    EXPECT_LT(first, kBytes);
    EXPECT_GE(first, c.heldAfter);
    EXPECT_TRUE(Status(a).flags & c.senderHold);
    uint32_t errors = 99;
    plat::ComStatRecord held = Status(b, &errors);
    EXPECT_EQ(errors, 0u) << "the receiver lost nothing";
    EXPECT_GE(held.cbInQue, c.heldAfter);
    EXPECT_LE(held.cbInQue, 2047u);
    if (c.receiverBit != 0) {
        EXPECT_TRUE(held.flags & c.receiverBit);
    }

    // Reading releases the sender; the rest follows.
    std::vector<uint8_t> got;
    std::thread reader([&] { got = ReadBlock(b, kBytes, 10s); });
    ASSERT_TRUE(SetTimeouts(a, 0, 0, 10000));
    std::vector<uint8_t> rest(data.begin() + static_cast<long>(first), data.end());
    EXPECT_EQ(WriteBlock(a, rest, rest.size()), rest.size());
    reader.join();
    EXPECT_TRUE(got == data) << "got " << got.size() << " of " << kBytes;
    EXPECT_FALSE(Status(a).flags & c.senderHold);
    EXPECT_FALSE(Status(b).flags & plat::kComStatXoffSent);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, HandShakeTest,
    ::testing::Values(HandShake{"RtsCts", [](plat::Dcb& d) { d.flags |= plat::kDcbOutxCtsFlow; },
                                [](plat::Dcb& d) {
                                    d.flags =
                                        plat::WithRtsControl(d.flags, plat::kRtsControlHandshake);
                                },
                                plat::kComStatCtsHold, 0, 1537},
                      HandShake{"DtrDsr", [](plat::Dcb& d) { d.flags |= plat::kDcbOutxDsrFlow; },
                                [](plat::Dcb& d) {
                                    d.flags =
                                        plat::WithDtrControl(d.flags, plat::kDtrControlHandshake);
                                },
                                plat::kComStatDsrHold, 0, 1537},
                      HandShake{"XonXoff", [](plat::Dcb& d) { d.flags |= plat::kDcbOutX; },
                                [](plat::Dcb& d) { d.flags |= plat::kDcbInX; },
                                plat::kComStatXoffHold, plat::kComStatXoffSent, 1920}),
    [](const auto& info) { return std::string(info.param.what); });

// The far end's DTR and RTS arrive as DSR, DCD and CTS, with their events.
TEST_F(CableTest, ControlLinesArriveAsModemEventsAtTheFarEnd) {
    struct Case {
        const char* what;
        uint32_t function;
        uint32_t events;    // at the far end
        uint32_t statusOn;  // MS_* bits the far end sees afterwards
        uint32_t statusOff;
    };
    const Case cases[] = {
        {"DTR off", api::kClrDtr, plat::EV_DSR | plat::EV_RLSD, 0,
         plat::MS_DSR_ON | plat::MS_RLSD_ON},
        {"DTR on", api::kSetDtr, plat::EV_DSR | plat::EV_RLSD, plat::MS_DSR_ON | plat::MS_RLSD_ON,
         0},
        {"RTS off", api::kClrRts, plat::EV_CTS, 0, plat::MS_CTS_ON},
        {"RTS on", api::kSetRts, plat::EV_CTS, plat::MS_CTS_ON, 0},
    };
    const uint32_t mask = plat::EV_CTS | plat::EV_DSR | plat::EV_RLSD | plat::EV_RING;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t events =
            EventsAfter(b, mask, [&] { ASSERT_TRUE(api::EscapeCommFunction(a, c.function)); });
        EXPECT_EQ(events & c.events, c.events) << events;
        uint32_t status = 0;
        ASSERT_TRUE(api::GetCommModemStatus(b, &status));
        EXPECT_EQ(status & c.statusOn, c.statusOn);
        EXPECT_EQ(status & c.statusOff, 0u);
    }
}

TEST_F(CableTest, BreaksAndMismatchedSpeedsAreReported) {
    // A break held for a few character times reaches the far end as one.
    uint32_t events = EventsAfter(b, plat::EV_BREAK | plat::EV_ERR, [&] {
        ASSERT_TRUE(api::SetCommBreak(a));
        std::this_thread::sleep_for(5ms);
        ASSERT_TRUE(api::ClearCommBreak(a));
    });
    EXPECT_TRUE(events & plat::EV_BREAK) << events;
    ASSERT_TRUE(api::PurgeComm(b, plat::PURGE_RXCLEAR));
    uint32_t errors = 0;
    Status(b, &errors);

    // The two ends disagree on the speed: framing errors, cleared by reading them.
    ASSERT_TRUE(Configure(b, kBaud / 2));
    events = EventsAfter(b, plat::EV_ERR, [&] {
        uint32_t done = 0;
        auto data = Pattern(32, 3);
        ASSERT_TRUE(api::Write(a, data.data(), 32, &done));
    });
    EXPECT_TRUE(events & plat::EV_ERR) << events;
    Status(b, &errors);
    EXPECT_TRUE(errors & plat::CE_FRAME) << errors;
    Status(b, &errors);
    EXPECT_EQ(errors, 0u);
}

TEST_F(CableTest, PurgesEmptyTheRingAndEndWaitingCalls) {
    // Receive clear: what the ring held is gone, what comes later is read.
    auto first = Pattern(100, 1), second = Pattern(10, 2);
    uint32_t done = 0;
    ASSERT_TRUE(api::Write(a, first.data(), 100, &done));
    ASSERT_TRUE(WaitFor([&] { return Status(b).cbInQue == 100; }));
    ASSERT_TRUE(api::PurgeComm(b, plat::PURGE_RXCLEAR));
    EXPECT_EQ(Status(b).cbInQue, 0u);
    ASSERT_TRUE(api::Write(a, second.data(), 10, &done));
    EXPECT_EQ(ReadBlock(b, 10, 2s), second);
    EXPECT_EQ(Status(b).cbInQue, 0u);

    // Receive abort: a read waiting for data returns what it has (nothing).
    ASSERT_TRUE(SetTimeouts(b, 0, 20000, 30000));
    auto read = ReadAsync(b, 16);
    std::this_thread::sleep_for(50ms);
    auto abortAt = Clock::now();
    ASSERT_TRUE(api::PurgeComm(b, plat::PURGE_RXABORT));
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), 0u);
    EXPECT_LT(Clock::now() - abortAt, 5s);

    // Transmit abort: a long write returns early with what it handed over.
    ASSERT_TRUE(SetTimeouts(a, 0, 0, 0));  // no write time-out
    auto big = Pattern(16 * 1024, 4);      // 1.4 s of line time
    auto write = std::async(std::launch::async, [&] {
        uint32_t n = 0;
        api::Write(a, big.data(), static_cast<uint32_t>(big.size()), &n);
        return n;
    });
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(api::PurgeComm(a, plat::PURGE_TXABORT));
    ASSERT_EQ(write.wait_for(5s), std::future_status::ready);
    uint32_t handed = write.get();
    EXPECT_GT(handed, 0u);
    EXPECT_LT(handed, big.size());
}

// A system suspend and resume in the middle of a transfer: the ports are powered down and up
// again, an open handle is told, the line settings come back, and data flows afterwards.
TEST_F(CableTest, SuspendAndResumeInTheMiddleOfATransfer) {
    sim::Uart* uartA = machine->UartOf("Card1", 1);
    ASSERT_EQ(uartA->Frame().divisor, 8u);
    PortHandle monitor(machine->PortDeviceName("Card1", 2), 0);
    ASSERT_TRUE(api::SetCommMask(monitor, plat::EV_POWER));

    auto data = Pattern(8 * 1024, 5);
    std::atomic<size_t> written{0};
    std::vector<uint8_t> got;
    ASSERT_TRUE(SetTimeouts(a, 0, 0, 3000));
    std::thread writer([&] { written = WriteBlock(a, data, 512); });
    std::thread reader([&] { got = ReadBlock(b, data.size(), 3s); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(sim::SystemSuspend(), 3u);  // the adapter and both ports
    EXPECT_EQ(uartA->PowerState(), plat::D4);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sim::SystemResume(), 3u);
    EXPECT_EQ(uartA->PowerState(), plat::D0);
    EXPECT_EQ(uartA->Frame().divisor, 8u) << "the line settings were restored";

    uint32_t events = 0;
    auto wait =
        std::async(std::launch::async, [&] { return api::WaitCommEvent(monitor, &events); });
    ASSERT_EQ(wait.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(wait.get());
    EXPECT_EQ(events, plat::EV_POWER);
    writer.join();
    reader.join();
    EXPECT_GT(written, 0u);
    EXPECT_GT(got.size(), 0u);

    // After the resume a fresh block crosses in both directions intact.
    ASSERT_TRUE(api::PurgeComm(a, plat::PURGE_RXCLEAR));
    ASSERT_TRUE(api::PurgeComm(b, plat::PURGE_RXCLEAR));
    ASSERT_TRUE(SetTimeouts(a, 100, 1000, 30000));
    for (auto [from, to] : {std::pair{&a, &b}, {&b, &a}}) {
        auto block = Pattern(1000, from == &a ? 8 : 9);
        std::vector<uint8_t> arrived;
        std::thread r([&] { arrived = ReadBlock(*to, block.size(), 5s); });
        EXPECT_EQ(WriteBlock(*from, block), block.size());
        r.join();
        EXPECT_TRUE(arrived == block) << arrived.size();
    }
}

// The power manager queries a port and sets its power through a bus-namespace handle: while an
// application has the port open it stays at full power; once closed it goes to D3 and back. A
// port under the power manager's control is left alone by a system suspend.
TEST_F(CableTest, PowerManagerSetsThePowerOfOnePort) {
    sim::Uart* uartA = machine->UartOf("Card1", 1);
    sim::Uart* uartB = machine->UartOf("Card1", 2);
    plat::PowerCapabilities caps{};
    ASSERT_TRUE(sim::PowerManagerCapabilities(u"COM1:", &caps));
    EXPECT_EQ(caps.DeviceDx, 0x19);

    uint32_t reached = 99;
    ASSERT_TRUE(sim::PowerManagerSetPower(u"COM1:", plat::D3, &reached));
    EXPECT_EQ(reached, plat::D0) << "an open port is held at full power";
    EXPECT_EQ(uartA->PowerState(), plat::D0);

    ASSERT_TRUE(a.Close());
    ASSERT_TRUE(sim::PowerManagerSetPower(u"COM1:", plat::D3, &reached));
    EXPECT_EQ(reached, plat::D3);
    EXPECT_EQ(uartA->PowerState(), plat::D3);
    EXPECT_EQ(uartB->PowerState(), plat::D0);
    ASSERT_TRUE(sim::PowerManagerSetPower(u"COM1:", plat::D0, &reached));
    EXPECT_EQ(reached, plat::D0);
    EXPECT_EQ(uartA->PowerState(), plat::D0);

    // A suspend powers down only the port the power manager does not drive.
    EXPECT_EQ(sim::SystemSuspend(), 3u);
    EXPECT_EQ(uartA->PowerState(), plat::D0);
    EXPECT_EQ(uartB->PowerState(), plat::D4);
    EXPECT_EQ(sim::SystemResume(), 3u);
    EXPECT_EQ(uartB->PowerState(), plat::D0);

    a = PortHandle(u"COM1:");
    ASSERT_TRUE(Configure(a, kBaud));
    ASSERT_TRUE(SetTimeouts(a, 100, 1000, 30000));
    auto block = Pattern(500, 6);
    std::vector<uint8_t> arrived;
    std::thread r([&] { arrived = ReadBlock(b, block.size(), 5s); });
    EXPECT_EQ(WriteBlock(a, block), block.size());
    r.join();
    EXPECT_TRUE(arrived == block) << arrived.size();
}

// A port on an external wire: line errors, breaks and modem-line changes made at the far end.
class ExternalTest : public E2eTest {
  protected:
    void SetUp() override {
        E2eTest::SetUp();
        Boot(CardText("Card1", "ZelKap", 1, 0x0A40) + PortWire("Card1", 1, "external"));
        wire = machine->ExternalOf("Card1", 1);
        ASSERT_NE(wire, nullptr);
        port = PortHandle(u"COM1:");
        ASSERT_NE(port, 0u);
        ASSERT_TRUE(Configure(port, kBaud, [](plat::Dcb& d) {
            d.flags |= plat::kDcbParity;
            d.Parity = plat::kEvenParity;
        }));
    }
    void TearDown() override {
        port.Close();
        E2eTest::TearDown();
    }
    sim::ExternalWire* wire = nullptr;
    PortHandle port{u""};
};

TEST_F(ExternalTest, FarEndLineErrorsAndBreaksReachTheApplication) {
    struct Case {
        const char* what;
        std::function<void()> cause;
        uint32_t events;
        uint32_t errors;  // CE_* bits (a break is an event, not a line error)
    };
    const Case cases[] = {
        {"parity error", [&] { wire->SendWithError(0x41, true, false); }, plat::EV_ERR,
         plat::CE_RXPARITY},
        {"framing error", [&] { wire->SendWithError(0x42, false, true); }, plat::EV_ERR,
         plat::CE_FRAME},
        {"break", [&] { wire->SendBreak(); }, plat::EV_BREAK, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t events = EventsAfter(port, plat::EV_ERR | plat::EV_BREAK, c.cause);
        EXPECT_TRUE(events & c.events) << events;
        uint32_t errors = 0;
        Status(port, &errors);
        EXPECT_EQ(errors & c.errors, c.errors) << errors;
        ASSERT_TRUE(api::PurgeComm(port, plat::PURGE_RXCLEAR));
    }
    // Good characters after them arrive as sent.
    const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
    wire->Send(hello);
    EXPECT_EQ(ReadBlock(port, 5, 2s), std::vector<uint8_t>(hello, hello + 5));
}

TEST_F(ExternalTest, FarEndModemLinesRaiseEventsAndStatus) {
    struct Case {
        const char* what;
        sim::ModemLines lines;
        uint32_t events;
        uint32_t status;
    };
    const uint32_t mask = plat::EV_CTS | plat::EV_DSR | plat::EV_RLSD | plat::EV_RING;
    const Case cases[] = {
        {"CTS", {true, false, false, false}, plat::EV_CTS, plat::MS_CTS_ON},
        {"DSR", {true, true, false, false}, plat::EV_DSR, plat::MS_CTS_ON | plat::MS_DSR_ON},
        {"carrier",
         {true, true, false, true},
         plat::EV_RLSD,
         plat::MS_CTS_ON | plat::MS_DSR_ON | plat::MS_RLSD_ON},
        {"ring",
         {true, true, true, true},
         0,
         plat::MS_CTS_ON | plat::MS_DSR_ON | plat::MS_RING_ON | plat::MS_RLSD_ON},
        {"ring ends",
         {true, true, false, true},
         plat::EV_RING,
         plat::MS_CTS_ON | plat::MS_DSR_ON | plat::MS_RLSD_ON},
        {"all off", {}, plat::EV_CTS | plat::EV_DSR | plat::EV_RLSD, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t events = EventsAfter(
            port, mask, [&] { wire->SetModemLines(c.lines); }, c.events != 0 ? 5000ms : 200ms);
        EXPECT_EQ(events, c.events);
        uint32_t status = 0;
        ASSERT_TRUE(api::GetCommModemStatus(port, &status));
        EXPECT_EQ(status, c.status);
    }
    // And the port's own control lines reach the far end.
    ASSERT_TRUE(api::EscapeCommFunction(port, api::kClrRts));
    EXPECT_FALSE(wire->UartControlLines().rts);
    ASSERT_TRUE(api::EscapeCommFunction(port, api::kSetRts));
    EXPECT_TRUE(wire->UartControlLines().rts);
}

}  // namespace
}  // namespace e2e
