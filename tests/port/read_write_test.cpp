// Read under its time-out regimes, the receive ring, and Write with completion, time-out and
// abort.
#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/port/port_fixture.h"

namespace zel::test {
namespace {

constexpr uint32_t kMax = plat::kMaxDword;
constexpr uint32_t kSentinelError = 0x5A5A;

// ---------------------------------------------------------------------------------------------
// Read time-outs. Lower bounds are exact, upper bounds generous.

struct ReadCase {
    const char* name;
    uint32_t interval, multiplier, constant;
    uint32_t length;
    uint32_t before;  // bytes in the ring when Read starts
    uint32_t later;   // bytes arriving laterMs after Read starts (0: none)
    int laterMs;
    uint32_t expected;  // bytes returned
    int minMs;
    int maxMs;
};

class ReadTimeoutTest : public PortTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadTimeoutTest, ReturnsWhatArrivedWithinItsTimeouts) {
    const ReadCase& c = GetParam();
    OpenHandle* h = OpenOwner();
    SetTimeouts(h, c.interval, c.multiplier, c.constant);
    const std::vector<uint8_t> data = Pattern(c.before + c.later);
    if (c.before > 0) Receive(std::vector<uint8_t>(data.begin(), data.begin() + c.before));
    std::thread late;
    if (c.later > 0) {
        late = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.laterMs));
            port->InjectReceive(data.data() + c.before, c.later);
        });
    }
    std::vector<uint8_t> buf(c.length);
    const auto start = Clock::now();
    const uint32_t n = Read(h, buf.data(), c.length);
    const int64_t took = MsSince(start);
    if (late.joinable()) late.join();
    EXPECT_EQ(n, c.expected);
    EXPECT_GE(took, c.minMs);
    EXPECT_LE(took, c.maxMs);
    buf.resize(std::min(n, c.length));
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), data.begin()));
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(
    Regimes, ReadTimeoutTest,
    ::testing::Values(
        // MAXDWORD, 0, 0: what the ring holds, at once.
        ReadCase{"ImmediateEmpty", kMax, 0, 0, 10, 0, 0, 0, 0, 0, 500},
        ReadCase{"ImmediateWithData", kMax, 0, 0, 10, 5, 0, 0, 5, 0, 500},
        ReadCase{"LengthZero", 0, 0, 0, 0, 0, 0, 0, 0, 0, 500},
        // Total time-out only.
        ReadCase{"TotalConstant", 0, 0, 300, 10, 0, 0, 0, 0, 300, 1500},
        ReadCase{"TotalWithMultiplier", 0, 20, 100, 10, 0, 0, 0, 0, 300, 1500},
        ReadCase{"TotalWithPartialData", 0, 0, 300, 10, 2, 0, 0, 2, 300, 1500},
        ReadCase{"MultiplierMaxUsesConstant", 0, kMax, 150, 10, 0, 0, 0, 0, 150, 1000},
        // The Init defaults: 10 x L + 100.
        ReadCase{"Defaults10", 250, 10, 100, 10, 0, 0, 0, 0, 200, 1200},
        ReadCase{"Defaults30", 250, 10, 100, 30, 0, 0, 0, 0, 400, 2000},
        // MAXDWORD interval with a total: the first data, or the total.
        ReadCase{"FirstDataOrTotalNoData", kMax, 0, 250, 10, 0, 0, 0, 0, 250, 1500},
        ReadCase{"FirstDataOrTotalData", kMax, 0, 5000, 10, 0, 4, 50, 4, 50, 2500},
        // Interval after the first byte; lengthened by 8 x multiplier.
        ReadCase{"Interval", 100, 0, 0, 10, 3, 0, 0, 3, 100, 1000},
        ReadCase{"IntervalPlusEightMultipliers", 20, 10, 0, 100, 1, 0, 0, 1, 100, 900},
        // Everything asked for arrives: no waiting past it.
        ReadCase{"AllArrive", 0, 0, 0, 8, 3, 5, 50, 8, 50, 2500}),
    [](const auto& info) { return std::string(info.param.name); });

// Reads and writes in progress end on a purge or on PreClose of their handle.
struct AbortCase {
    const char* name;
    bool byPreClose;
};

class AbortTest : public PortTest, public ::testing::WithParamInterface<AbortCase> {
  protected:
    void Abort(OpenHandle* h, uint32_t purgeFlag) {
        if (GetParam().byPreClose) {
            EXPECT_EQ(PreClose(h), 1);
        } else {
            Purge(h, purgeFlag);
        }
    }
    void CloseAborted(OpenHandle* h) {
        if (GetParam().byPreClose) {
            EXPECT_EQ(Close(h), 1);
        } else {
            CloseHandle(h);
        }
    }
};

// With 0, 0, 0 a Read waits until it has everything, or until it is aborted.
TEST_P(AbortTest, InfiniteReadEndsOnlyOnAbort) {
    OpenHandle* h = OpenOwner();
    SetTimeouts(h, 0, 0, 0);
    std::atomic<bool> done{false};
    uint32_t n = 0;
    uint32_t error = 0;
    std::vector<uint8_t> buf(10);
    std::thread reader([&] {
        plat::SetLastErrorCode(kSentinelError);
        n = Read(h, buf.data(), 10);
        error = plat::LastErrorCode();
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done);
    port->InjectReceive(Pattern(4));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(done) << "4 of 10 bytes do not end it";
    Abort(h, plat::PURGE_RXABORT);
    reader.join();
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(error, kSentinelError);
    buf.resize(4);
    EXPECT_EQ(buf, Pattern(4));
    CloseAborted(h);
}

TEST_F(PortTest, AnAbortBeforeTheReadDoesNotEndIt) {
    OpenHandle* h = OpenOwner();
    Purge(h, plat::PURGE_RXABORT);
    SetTimeouts(h, 0, 0, 200);
    uint8_t buf[4];
    const auto start = Clock::now();
    EXPECT_EQ(Read(h, buf, 4), 0u);
    EXPECT_GE(MsSince(start), 200);
    CloseHandle(h);
}

TEST_F(PortTest, ReadRefusals) {
    OpenHandle* writer = OpenOwner(plat::kAccessWrite);
    OpenHandle* monitor = OpenOwner(0);
    uint8_t buf[4];
    const struct {
        OpenHandle* handle;
        void* buffer;
        uint32_t error;
    } cases[] = {{nullptr, buf, 6}, {writer, buf, 12}, {monitor, buf, 12}};
    for (const auto& c : cases) {
        plat::SetLastErrorCode(0);
        EXPECT_EQ(Read(c.handle, c.buffer, 4), kMax);
        EXPECT_EQ(plat::LastErrorCode(), c.error);
    }
    CloseHandle(writer);
    OpenHandle* reader = OpenOwner(plat::kAccessRead);
    plat::SetLastErrorCode(0);
    EXPECT_EQ(Read(reader, nullptr, 4), kMax);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
    CloseHandle(reader);
    CloseHandle(monitor);
}

TEST_F(PortTest, TwoReadersAreServedOneAfterTheOther) {
    OpenHandle* h = OpenOwner();
    SetTimeouts(h, 0, 0, 0);
    std::vector<uint8_t> a(5), b(5);
    uint32_t na = 0, nb = 0;
    std::thread ta([&] { na = Read(h, a.data(), 5); });
    std::thread tb([&] { nb = Read(h, b.data(), 5); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<uint8_t> data = Pattern(10);
    port->InjectReceive(data);
    ta.join();
    tb.join();
    EXPECT_EQ(na, 5u);
    EXPECT_EQ(nb, 5u);
    std::vector<uint8_t> ab(a);
    ab.insert(ab.end(), b.begin(), b.end());
    std::vector<uint8_t> ba(b);
    ba.insert(ba.end(), a.begin(), a.end());
    EXPECT_TRUE(ab == data || ba == data) << "each read takes one whole run, in order";
    CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// The ring.

TEST_F(PortTest, DataWrappingTheRingComesBackInOrder) {
    OpenHandle* h = OpenOwner();
    Receive(Pattern(1500, 1));
    EXPECT_EQ(ReadNow(h, 1500), Pattern(1500, 1));
    const std::vector<uint8_t> wrapped = Pattern(1000, 2);
    Receive(wrapped);
    EXPECT_LT(device->RxWrite, device->RxRead) << "the data wrapped";
    EXPECT_EQ(RingCount(), 1000u);
    EXPECT_EQ(ReadNow(h, 2000), wrapped);
    EXPECT_EQ(port->foreignReceiveCalls.load(), 0u);
    EXPECT_GT(port->ringReceiveCalls.load(), 0u);
    CloseHandle(h);
}

TEST_F(PortTest, ReceivedBytesGoStraightIntoTheRing) {
    OpenHandle* h = OpenOwner();
    Receive(Pattern(300));
    EXPECT_EQ(port->ringReceiveBytes.load(), 300u);
    EXPECT_EQ(port->foreignReceiveCalls.load(), 0u)
        << "while the ring has room, ReceiveData is handed a pointer into RxBuffer";
    CloseHandle(h);
}

TEST_F(PortTest, AFullRingHoldsOneByteLessAndDrainsTheRestAway) {
    OpenHandle* h = OpenOwner();
    const std::vector<uint8_t> data = Pattern(2100);
    Receive(data);
    EXPECT_EQ(RingCount(), 2047u);
    EXPECT_EQ(port->foreignReceiveBytes.load(), 53u) << "lost, drained 16 at a time";
    EXPECT_GE(port->foreignReceiveCalls.load(), 4u);
    EXPECT_EQ(port->GetLineErrors() & plat::CE_RXOVER, plat::CE_RXOVER)
        << "the dropped bytes are reported, not lost in silence";
    EXPECT_EQ(ReadNow(h, 2100), std::vector<uint8_t>(data.begin(), data.begin() + 2047));
    CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// Write.

using WriteTest = OwnerPortTest;

TEST_F(WriteTest, CompletesChunkByChunkFromTheCallersBuffer) {
    port->SetDrainPerTick(16);
    const std::vector<uint8_t> data = Pattern(1000);
    const uint32_t saved = plat::SetPermissions(0x1234);
    EXPECT_EQ(Write(h, data.data(), 1000), 1000u);
    plat::SetPermissions(saved);
    EXPECT_TRUE(WaitUntil([&] { return port->Wire().size() == 1000; }));
    EXPECT_EQ(port->Wire(), data);
    uint32_t offset = 0;
    bool onInterruptPath = false;
    for (const TransmitCall& call : port->TransmitCalls()) {
        EXPECT_EQ(call.buffer, data.data() + offset) << "no intermediate copy";
        EXPECT_EQ(call.requested, 1000 - offset);
        EXPECT_LE(call.taken, 64u);
        EXPECT_EQ(call.permissions, 0x1234u) << "the writer's permissions on every path";
        offset += call.taken;
        onInterruptPath = onInterruptPath || call.onFakeThread;
    }
    EXPECT_EQ(offset, 1000u);
    EXPECT_TRUE(onInterruptPath);
    EXPECT_EQ(device->TxBuffer, nullptr);
    EXPECT_EQ(device->TxPending, 0u);
}

TEST_F(WriteTest, ZeroLengthReturnsAtOnceAndRaisesTxEmpty) {
    SetWaitMask(h, plat::EV_TXEMPTY);
    uint8_t none = 0;
    const auto start = Clock::now();
    EXPECT_EQ(Write(h, &none, 0), 0u);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(h->EventsSeen & plat::EV_TXEMPTY, plat::EV_TXEMPTY);
}

TEST_F(WriteTest, TimeOutReturnsTheCountHandedOver) {
    port->SetDrainPaused(true);
    SetTimeouts(h, 0, 0, 0, 1, 100);  // 1 x 200 + 100 ms
    const std::vector<uint8_t> data = Pattern(200);
    const auto start = Clock::now();
    EXPECT_EQ(Write(h, data.data(), 200), 64u) << "one FIFO-full was handed over";
    EXPECT_GE(MsSince(start), 300);
    port->SetDrainPaused(false);
    EXPECT_TRUE(WaitUntil([&] { return port->Wire().size() == 64; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(port->Accepted().size(), 64u) << "nothing more is sent from that buffer";
    EXPECT_EQ(port->Wire(), std::vector<uint8_t>(data.begin(), data.begin() + 64));
    // The completion left behind is consumed by the next write.
    EXPECT_EQ(Write(h, data.data(), 10), 10u);
}

TEST_P(AbortTest, WriteReturnsTheCountHandedOverSoFar) {
    OpenHandle* h = OpenOwner();
    port->SetDrainPaused(true);
    const std::vector<uint8_t> data = Pattern(500);
    uint32_t n = 0;
    uint32_t error = 0;
    std::thread writer([&] {
        plat::SetLastErrorCode(kSentinelError);
        n = Write(h, data.data(), 500);
        error = plat::LastErrorCode();
    });
    ASSERT_TRUE(WaitUntil([&] { return port->Accepted().size() == 64; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Abort(h, plat::PURGE_TXABORT);
    writer.join();
    EXPECT_EQ(n, 64u);
    EXPECT_EQ(error, kSentinelError);
    CloseAborted(h);
}

INSTANTIATE_TEST_SUITE_P(By, AbortTest,
                         ::testing::Values(AbortCase{"Purge", false}, AbortCase{"PreClose", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriteTest, TransmitClearEmptiesTheHardwareFifo) {
    port->SetDrainPaused(true);
    SetTimeouts(h, 0, 0, 0, 0, 50);
    const std::vector<uint8_t> data = Pattern(40);
    EXPECT_EQ(Write(h, data.data(), 40), 40u);
    Purge(h, plat::PURGE_TXCLEAR);
    EXPECT_EQ(port->txCleared.load(), 40u);
    EXPECT_EQ(port->TransmitFifoLevel(), 0u);
}

TEST_F(PortTest, WriteRefusals) {
    OpenHandle* reader = OpenOwner(plat::kAccessRead);
    OpenHandle* monitor = OpenOwner(0);
    uint8_t buf[4] = {};
    const struct {
        OpenHandle* handle;
        uint32_t error;
    } cases[] = {{nullptr, 6}, {reader, 12}, {monitor, 12}};
    for (const auto& c : cases) {
        plat::SetLastErrorCode(0);
        EXPECT_EQ(Write(c.handle, buf, 4), kMax);
        EXPECT_EQ(plat::LastErrorCode(), c.error);
    }
    CloseHandle(reader);
    OpenHandle* writer = OpenOwner(plat::kAccessWrite);
    plat::SetLastErrorCode(0);
    EXPECT_EQ(Write(writer, nullptr, 4), kMax);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
    CloseHandle(writer);
    CloseHandle(monitor);
}

}  // namespace
}  // namespace zel::test
