// Taking the machine down while applications hold handles with calls blocked inside the
// driver, and starting it with one platform call after another made to fail: every path ends
// with every handle, thread, mapping, interrupt handler and key released.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/e2e/serial.h"

namespace sim {
// Names the kind in test names and messages.
void PrintTo(FailKind kind, std::ostream* os) {
    *os << (kind == FailKind::Allocation ? "Allocation"
            : kind == FailKind::Handle   ? "Handle"
                                         : "Registry");
}
}  // namespace sim

namespace e2e {
namespace {

using namespace std::chrono_literals;
using ::testing::IsEmpty;

class TeardownTest : public E2eTest {
  protected:
    // A 4-port card: ports 1 and 2 on a cable, 3 and 4 on nothing.
    void SetUp() override {
        E2eTest::SetUp();
        Boot(CardText("Card1", "ZelKap", 1, 0x0A41) + NullModem("Card1", 1, "Card1", 2));
    }

    static uint64_t Calls(const std::u16string& name, sim::Entry entry) {
        auto info = sim::FindDevice(name);
        return info ? info->counts[entry] : 0;
    }
};

// A read that waits for ever, a comm-event wait, and a write held by CTS that has no time-out:
// shutting the machine down ends all three, and the handles then fail until they are closed.
TEST_F(TeardownTest, ShutdownWithBlockedCallsReleasesEverything) {
    PortHandle reader(u"COM1:"), monitor(u"COM2:", 0), writer(u"COM3:"), idle(u"COM4:"),
        idleMonitor(u"COM4:", 0);
    for (api::Handle h : {api::Handle(reader), api::Handle(monitor), api::Handle(writer),
                          api::Handle(idle), api::Handle(idleMonitor)}) {
        ASSERT_NE(h, 0u);
    }
    ASSERT_TRUE(SetTimeouts(reader, 0, 0, 0));  // no time-out: wait for the whole buffer
    ASSERT_TRUE(Configure(writer, 115200, [](plat::Dcb& d) { d.flags |= plat::kDcbOutxCtsFlow; }));
    ASSERT_TRUE(SetTimeouts(writer, 0, 0, 0));
    ASSERT_TRUE(api::SetCommMask(monitor, plat::EV_RING));

    auto read = ReadAsync(reader, 64);
    auto wait = std::async(std::launch::async, [&] {
        uint32_t events = 99;
        api::WaitCommEvent(monitor, &events);
        return events;
    });
    auto data = Pattern(256, 1);
    auto write = std::async(std::launch::async, [&] {
        uint32_t done = 99;
        api::Write(writer, data.data(), static_cast<uint32_t>(data.size()), &done);
        return done;
    });
    ASSERT_TRUE(WaitFor([] {
        return Calls(u"COM1:", sim::Entry::Read) == 1 &&
               Calls(u"COM2:", sim::Entry::IOControl) >= 2 &&
               Calls(u"COM3:", sim::Entry::Write) == 1;
    }));
    std::this_thread::sleep_for(100ms);  // let them reach their waits
    for (auto* f : {&read, &wait, &write}) {
        EXPECT_EQ(f->wait_for(0s), std::future_status::timeout) << "the call should be waiting";
    }

    machine->Shutdown();
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(wait.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(write.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), 0u);
    EXPECT_EQ(wait.get(), 0u);
    EXPECT_EQ(write.get(), 0u) << "CTS never came, so nothing was handed over";
    EXPECT_THAT(sim::ListDevices(), IsEmpty());
    EXPECT_THAT(sim::reg::SubKeys(u"Drivers\\Active"), IsEmpty());

    for (api::Handle h : {api::Handle(reader), api::Handle(monitor), api::Handle(writer),
                          api::Handle(idle), api::Handle(idleMonitor)}) {
        uint8_t byte = 0;
        uint32_t done = 0;
        plat::SetLastErrorCode(0);
        EXPECT_FALSE(api::Read(h, &byte, 1, &done));
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
        EXPECT_FALSE(api::PurgeComm(h, plat::PURGE_RXCLEAR));
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    }
    for (PortHandle* p : {&reader, &monitor, &writer, &idle, &idleMonitor}) EXPECT_TRUE(p->Close());
    ExpectNothingLeft();
}

// One port goes while its reader waits; the others keep working.
TEST_F(TeardownTest, RemovingOnePortLeavesTheOthersRunning) {
    PortHandle com1(u"COM1:");
    ASSERT_TRUE(SetTimeouts(com1, 0, 0, 0));
    auto read = ReadAsync(com1, 8);
    ASSERT_TRUE(WaitFor([] { return Calls(u"COM1:", sim::Entry::Read) == 1; }));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(plat::DeactivateDevice(sim::FindDevice(u"COM1:")->handle));
    ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read.get(), 0u);
    EXPECT_FALSE(sim::FindDevice(u"COM1:").has_value());
    EXPECT_EQ(api::Open(u"COM1:", kReadWrite, 0), 0u);
    EXPECT_TRUE(com1.Close());

    // Port 2 still moves data to the cable's far end, which has no device now.
    PortHandle com2(u"COM2:");
    ASSERT_TRUE(Configure(com2, 115200));
    const uint8_t bytes[] = {1, 2, 3};
    uint32_t done = 0;
    EXPECT_TRUE(api::Write(com2, bytes, 3, &done));
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(sim::ListDevices().size(), 4u);  // the adapter and three ports
}

// Start-up with the n-th allocation, handle creation or registry call failing, for every n
// that start-up reaches: each run ends as a clean failure or a working machine, and after the
// shutdown nothing is left.
class FailureSweepTest : public E2eTest, public ::testing::WithParamInterface<sim::FailKind> {
  protected:
    // Why a machine that started does not work ("" when data crosses the cable both ways).
    static std::string WhyNotWorking(uint32_t seed) {
        PortHandle a(u"COM1:"), b(u"COM2:");
        if (a == 0 || b == 0) return "a port cannot be opened";
        if (!Configure(a, 115200) || !Configure(b, 115200)) return "settings refused";
        for (auto [from, to] : {std::pair{&a, &b}, {&b, &a}}) {
            if (!SetTimeouts(*from, 0, 0, 3000) || !SetTimeouts(*to, 100, 3000, 0))
                return "time-outs refused";
            auto data = Pattern(64, seed);
            if (WriteBlock(*from, data) != data.size()) return "a write did not complete";
            if (ReadBlock(*to, data.size(), 5s) != data) return "the data did not arrive";
        }
        return "";
    }
};

TEST_P(FailureSweepTest, EveryFailureEndsCleanly) {
    const sim::FailKind kind = GetParam();
    size_t failures = 0, working = 0;
    std::vector<std::string> broken;
    for (uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 5000u) << "start-up never ran out of calls";
        SCOPED_TRACE("call " + std::to_string(n));
        Clean();
        std::string error;
        machine =
            sim::Machine::Boot(Templates() + PaceText() + CardText("Card1", "ZelKap", 1, 0x0A40) +
                                   NullModem("Card1", 1, "Card1", 2),
                               "machine.reg", &error);
        ASSERT_NE(machine, nullptr) << error;
        uint64_t before = sim::CallCount(kind);
        sim::FailNth(kind, n);
        bool started = machine->Start();
        bool fired = sim::CallCount(kind) - before >= n;
        sim::DisarmAllFailures();
        if (!fired) {
            EXPECT_TRUE(started) << ::testing::PrintToString(machine->Problems());
            machine.reset();
            ExpectNothingLeft();
            break;
        }
        if (started) {
            // A failure the driver could do without: the machine must really work.
            ++working;
            std::string why = WhyNotWorking(static_cast<uint32_t>(n));
            if (!why.empty()) broken.push_back("call " + std::to_string(n) + ": " + why);
        } else {
            ++failures;
            EXPECT_THAT(machine->Problems(), ::testing::Not(IsEmpty()));
        }
        machine.reset();
        ExpectNothingLeft();
    }
    EXPECT_GT(failures, 0u) << "no injected failure made start-up fail";
    EXPECT_THAT(broken, IsEmpty()) << "start-up reported success for a machine that does not work";
    std::printf("%zu clean failures, %zu working machines\n", failures, working);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FailureSweepTest,
                         ::testing::Values(sim::FailKind::Allocation, sim::FailKind::Handle,
                                           sim::FailKind::Registry),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

}  // namespace
}  // namespace e2e
