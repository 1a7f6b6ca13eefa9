// Comm-event masks and waits, and the events the hardware object raises.
#include <atomic>
#include <thread>

#include "tests/port/port_fixture.h"

namespace zel::test {
namespace {

// A comm-event wait on its own thread.
class Waiter {
  public:
    explicit Waiter(OpenHandle* h)
        : thread([this, h] {
              uint32_t actual = 0;
              result = IOControl(h, plat::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &seen, 4, &actual);
              error = plat::LastErrorCode();
              done = true;
          }) {}
    ~Waiter() {
        if (thread.joinable()) thread.join();
    }
    void Join() { thread.join(); }

    std::atomic<bool> done{false};
    plat::Bool result = -1;
    uint32_t seen = 0xDEAD;
    uint32_t error = 0;

  private:
    std::thread thread;
};

class EventTest : public OwnerPortTest {
  protected:
    // Waits a little and asserts the wait is still blocked.
    static void ExpectBlocked(Waiter& w) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(w.done);
    }
};

TEST_F(EventTest, ReceivedDataEndsAnRxCharWait) {
    SetWaitMask(h, plat::EV_RXCHAR);
    Waiter w(h);
    ExpectBlocked(w);
    port->InjectReceive(Pattern(3));
    w.Join();
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.seen, plat::EV_RXCHAR);
}

TEST_F(EventTest, EventsBeforeTheWaitSatisfyItAtOnce) {
    SetWaitMask(h, plat::EV_RXCHAR);
    Receive(Pattern(3));
    Waiter w(h);
    w.Join();
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.seen, plat::EV_RXCHAR);
}

TEST_F(EventTest, TxEmptyEndsAWaitAfterAWriteAlsoWhenItTimedOut) {
    SetWaitMask(h, plat::EV_TXEMPTY);
    for (bool timedOut : {false, true}) {
        port->SetDrainPaused(timedOut);
        SetTimeouts(h, 0, 0, 0, 0, timedOut ? 50 : 0);
        Waiter w(h);
        ExpectBlocked(w);
        const std::vector<uint8_t> data = Pattern(100);
        EXPECT_EQ(Write(h, data.data(), 100), timedOut ? 64u : 100u);
        w.Join();
        EXPECT_EQ(w.result, 1);
        EXPECT_EQ(w.seen, plat::EV_TXEMPTY);
    }
    port->SetDrainPaused(false);
}

TEST_F(EventTest, AMaskChangeEndsAWaitWithNoEvents) {
    SetWaitMask(h, plat::EV_CTS);
    Waiter w(h);
    ExpectBlocked(w);
    SetWaitMask(h, plat::EV_DSR);
    w.Join();
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.seen, 0u);
    uint32_t mask = 0;
    uint32_t actual = 0;
    ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &mask, 4, &actual), 1);
    EXPECT_EQ(mask, plat::EV_DSR);
    EXPECT_EQ(actual, 4u);
}

TEST_F(EventTest, AZeroMaskFailsAtOnce) {
    Waiter w(h);
    w.Join();
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.error, plat::kErrorInvalidParameter);
    EXPECT_EQ(w.seen, 0u);
}

TEST_F(EventTest, TwoMonitorsWithDifferentMasksWakeSeparately) {
    OpenHandle* rx = OpenOwner(0);
    OpenHandle* cts = OpenOwner(0);
    SetWaitMask(rx, plat::EV_RXCHAR);
    SetWaitMask(cts, plat::EV_CTS | plat::EV_DSR);
    EXPECT_EQ(device->CombinedEventMask, plat::EV_RXCHAR | plat::EV_CTS | plat::EV_DSR);
    Waiter wrx(rx);
    Waiter wcts(cts);
    ExpectBlocked(wrx);
    port->InjectReceive(Pattern(2));
    wrx.Join();
    EXPECT_EQ(wrx.seen, plat::EV_RXCHAR);
    ExpectBlocked(wcts);
    port->SetModemLines(plat::MS_CTS_ON);
    wcts.Join();
    EXPECT_EQ(wcts.result, 1);
    EXPECT_EQ(wcts.seen, plat::EV_CTS) << "collected bits are those of the mask";
    CloseHandle(cts);
    CloseHandle(rx);
}

TEST_F(EventTest, PreCloseEndsAWaitAndLaterWaitsFail) {
    OpenHandle* monitor = OpenOwner(0);
    SetWaitMask(monitor, plat::EV_BREAK);
    Waiter w(monitor);
    ExpectBlocked(w);
    EXPECT_EQ(PreClose(monitor), 1);
    w.Join();
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.seen, 0u);
    Waiter later(monitor);
    later.Join();
    EXPECT_EQ(later.result, 0);
    EXPECT_EQ(later.error, plat::kErrorInvalidParameter);
    EXPECT_EQ(Close(monitor), 1);
}

struct HardwareEventCase {
    const char* name;
    uint32_t mask;
    void (*raise)(FakePort*);
    uint32_t expected;
};

class HardwareEventTest : public EventTest,
                          public ::testing::WithParamInterface<HardwareEventCase> {};

TEST_P(HardwareEventTest, ReachesTheWait) {
    const HardwareEventCase& c = GetParam();
    SetWaitMask(h, c.mask);
    Waiter w(h);
    ExpectBlocked(w);
    c.raise(port);
    w.Join();
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.seen, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HardwareEventTest,
    ::testing::Values(
        HardwareEventCase{"Cts", plat::EV_CTS,
                          [](FakePort* p) { p->SetModemLines(plat::MS_CTS_ON); }, plat::EV_CTS},
        HardwareEventCase{"Ring", plat::EV_RING | plat::EV_RLSD,
                          [](FakePort* p) { p->SetModemLines(plat::MS_RING_ON); }, plat::EV_RING},
        HardwareEventCase{"Error", plat::EV_ERR,
                          [](FakePort* p) { p->InjectLineStatus(plat::CE_FRAME, false); },
                          plat::EV_ERR},
        HardwareEventCase{"Break", plat::EV_BREAK | plat::EV_ERR,
                          [](FakePort* p) { p->InjectLineStatus(0, true); }, plat::EV_BREAK},
        // The event character is raised by the port while it holds its own lock.
        HardwareEventCase{"EventChar", plat::EV_RXFLAG,
                          [](FakePort* p) {
                              p->InjectReceive({'a', 0x0D});
                          },
                          plat::EV_RXFLAG}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventTest, LineErrorsAreReportedOnceByCommStatus) {
    port->InjectLineStatus(plat::CE_FRAME | plat::CE_RXPARITY, false);
    uint32_t errors = 0;
    EXPECT_TRUE(WaitUntil([&] {
        errors |= CommStatus(h).Errors;
        return errors == (plat::CE_FRAME | plat::CE_RXPARITY);
    }));
    EXPECT_EQ(CommStatus(h).Errors, 0u) << "handed over and cleared";
}

}  // namespace
}  // namespace zel::test
