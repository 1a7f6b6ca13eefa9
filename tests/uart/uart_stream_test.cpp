// End to end: the stream layer's entry points over UartPorts over simulated UARTs, with the
// adapter's interrupt thread played by the harness.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "port/entry_points.h"
#include "sim/hw/wire.h"
#include "tests/common/uart_harness.h"

namespace zeltest {
namespace {

using namespace zel;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Printable bytes only: never XON (0x11) or XOFF (0x13), and 7 bits wide.
std::vector<uint8_t> Text(size_t n, uint32_t seed = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(0x20 + (i * 7 + seed) % 0x5F);
    return v;
}

plat::Dcb Frame(plat::Dcb dcb, uint32_t baud, uint8_t byteSize, uint8_t parity, uint8_t stopBits) {
    dcb.BaudRate = baud;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    return dcb;
}

constexpr plat::CommTimeouts kReadSoon = {0, 0, 200, 0, 0};  // each Read waits up to 200 ms

// One port with a loopback plug, open.
struct LoopbackPort {
    UartBench bench;
    sim::Uart& uart = bench.AddUart(1);
    std::unique_ptr<sim::Wire> plug = sim::ConnectLoopbackPlug(uart);
    zel::PortDevice* device = bench.StartStreamPort(1);
    OpenHandle* h = device != nullptr ? OpenReadWrite(device) : nullptr;

    ~LoopbackPort() {
        if (h != nullptr) ::Close(h);
    }
};

// A block through Write and Read on a port with a loopback plug, with RTS/CTS hand-shaking.
// A 16550 has no automatic flow control: the interrupt path must empty the receive FIFO within
// about 64 character times of the transmitter being refilled, and a host busy enough to hold
// the machine's threads longer makes the UART overrun, as the hardware would. Such bytes are
// counted by the UART; everything the UART did receive must reach Read unchanged and in order,
// and the driver must lose nothing of it.
struct LoopbackTransfer {
    const char* name;
    size_t size;
    double charTimeScale;
};

class UartStreamTransfer : public ::testing::TestWithParam<LoopbackTransfer> {};

TEST_P(UartStreamTransfer, LoopbackMovesTheBlockIntact) {
    const LoopbackTransfer& c = GetParam();
    LoopbackPort port;
    sim::Uart& uart = port.uart;
    OpenHandle* h = port.h;
    ASSERT_NE(h, nullptr);
    // RTS/CTS through the plug keeps a reader that falls behind from overflowing the ring.
    plat::Dcb dcb = Frame(GetDcb(h), 115200, 8, plat::kNoParity, plat::kOneStopBit);
    dcb.flags = plat::WithRtsControl(dcb.flags, plat::kRtsControlHandshake) | plat::kDcbOutxCtsFlow;
    ASSERT_TRUE(SetDcb(h, dcb));
    ASSERT_TRUE(SetTimeouts(h, kReadSoon));
    uart.SetCharTimeScale(c.charTimeScale);

    const size_t size = c.size;
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    std::atomic<bool> written{false};
    auto writer = std::async(std::launch::async, [&] {
        const uint32_t n = ::Write(h, data.data(), static_cast<uint32_t>(size));
        written = true;
        return n;
    });
    std::vector<uint8_t> got;
    got.reserve(size);
    std::vector<uint8_t> chunk(4096);
    const auto deadline = std::chrono::steady_clock::now() + seconds(400);
    while (std::chrono::steady_clock::now() < deadline) {
        const uint32_t n = ::Read(h, chunk.data(), static_cast<uint32_t>(chunk.size()));
        if (n != 0xFFFFFFFFu) got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        // Done once everything has left the line and all that arrived has been read.
        if (written && uart.Stats().charsSent == size && n == 0 &&
            got.size() >= uart.Stats().charsReceived) {
            break;
        }
    }
    EXPECT_EQ(writer.get(), size);
    const sim::UartStats stats = uart.Stats();
    EXPECT_EQ(stats.charsSent, size);
    RecordProperty("overruns", static_cast<int>(stats.overruns));
    EXPECT_EQ(got.size(), stats.charsReceived);
    EXPECT_EQ(got.size() + stats.overruns, size);
    // What came is the data with at most the overrun bytes left out, nothing changed.
    size_t at = 0;
    for (uint8_t b : got) {
        while (at < size && data[at] != b) ++at;
        ++at;
    }
    EXPECT_LE(at, size) << "a byte came back changed or out of order";
    EXPECT_LE(at - got.size(), stats.overruns) << "more bytes skipped than the UART lost";
    if (stats.overruns == 0) {
        EXPECT_TRUE(got == data);
    }
    EXPECT_EQ(CommStatus(h).Errors & ~plat::CE_OVERRUN, 0u);
    // The port is torn down here, while a fast line may still raise line-status and modem
    // interrupts: the teardown must wait for the interrupt thread to leave the port.
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, UartStreamTransfer,
    ::testing::Values(
        // 1 MiB at 115200 baud in real time: 91 s of line time.
        LoopbackTransfer{"OneMebibyteAt115200", 1u << 20, 1.0},
        // Characters twenty times shorter than real ones: far more than the interrupt path
        // can follow, so the UART overruns all the time.
        LoopbackTransfer{"QuarterMebibyteOverrunning", 1u << 18, 0.05}),
    [](const auto& info) { return std::string(info.param.name); });

// Two ports on a null-modem cable, both open.
struct CablePair {
    UartBench bench;
    std::unique_ptr<sim::Wire> cable;
    OpenHandle* a = nullptr;
    OpenHandle* b = nullptr;

    CablePair() {
        sim::Uart& ua = bench.AddUart(1);
        sim::Uart& ub = bench.AddUart(2);
        cable = sim::ConnectNullModem(ua, ub);
        zel::PortDevice* da = bench.StartStreamPort(1);
        zel::PortDevice* db = bench.StartStreamPort(2);
        if (da != nullptr) a = OpenReadWrite(da);
        if (db != nullptr) b = OpenReadWrite(db);
    }
    ~CablePair() {
        if (a != nullptr) ::Close(a);
        if (b != nullptr) ::Close(b);
    }
    sim::Uart& Uart(uint32_t port) { return *bench.UartShared(port); }
};

struct HandShakeCase {
    const char* what;
    void (*receiver)(plat::Dcb&);
    void (*sender)(plat::Dcb&);
};

TEST(UartStream, HandShakingHoldsTheSenderWhileTheReceiverDoesNotRead) {
    const HandShakeCase cases[] = {
        {"RTS/CTS",
         [](plat::Dcb& d) { d.flags = plat::WithRtsControl(d.flags, plat::kRtsControlHandshake); },
         [](plat::Dcb& d) { d.flags |= plat::kDcbOutxCtsFlow; }},
        {"DTR/DSR",
         [](plat::Dcb& d) { d.flags = plat::WithDtrControl(d.flags, plat::kDtrControlHandshake); },
         [](plat::Dcb& d) { d.flags |= plat::kDcbOutxDsrFlow; }},
        {"XON/XOFF", [](plat::Dcb& d) { d.flags |= plat::kDcbInX; },
         [](plat::Dcb& d) { d.flags |= plat::kDcbOutX; }},
    };
    // 9600 baud: a receive FIFO past its trigger can wait 58 ms for the interrupt thread, which
    // a loaded machine gives; the flow control under test is what keeps the ring from
    // overflowing.
    constexpr uint32_t kBaud = 9600;
    constexpr size_t kSize = 3000;  // more than the receiver's 2048-byte ring
    for (const HandShakeCase& c : cases) {
        CablePair pair;
        ASSERT_NE(pair.a, nullptr);
        ASSERT_NE(pair.b, nullptr);
        plat::Dcb sender = Frame(GetDcb(pair.a), kBaud, 8, plat::kNoParity, plat::kOneStopBit);
        plat::Dcb receiver = Frame(GetDcb(pair.b), kBaud, 8, plat::kNoParity, plat::kOneStopBit);
        c.sender(sender);
        c.receiver(receiver);
        ASSERT_TRUE(SetDcb(pair.a, sender)) << c.what;
        ASSERT_TRUE(SetDcb(pair.b, receiver)) << c.what;
        ASSERT_TRUE(SetTimeouts(pair.a, {0, 0, 0, 0, 30000})) << c.what;
        ASSERT_TRUE(SetTimeouts(pair.b, kReadSoon)) << c.what;

        const std::vector<uint8_t> data = Text(kSize);
        auto writer =
            std::async(std::launch::async, [&] { return ::Write(pair.a, data.data(), kSize); });
        // The receiver holds back once its ring is three quarters full (1537 bytes, about 1.6 s
        // at this speed); the sender then stays held while nobody reads.
        EXPECT_TRUE(
            WaitFor([&] { return CommStatus(pair.b).ComStat.cbInQue >= 1536; }, seconds(10)))
            << c.what;
        std::this_thread::sleep_for(milliseconds(500));
        EXPECT_EQ(writer.wait_for(milliseconds(0)), std::future_status::timeout) << c.what;
        const uint32_t held = CommStatus(pair.b).ComStat.cbInQue;
        EXPECT_GE(held, 1536u) << c.what;
        EXPECT_LE(held, 2048u) << c.what;
        EXPECT_LT(pair.Uart(1).Stats().charsSent, kSize) << c.what;

        const std::vector<uint8_t> got = ReadFor(pair.b, kSize, seconds(30));
        EXPECT_EQ(writer.get(), kSize) << c.what;
        EXPECT_EQ(got.size(), kSize) << c.what;
        EXPECT_TRUE(got == data) << c.what;
        EXPECT_EQ(pair.Uart(2).Stats().overruns, 0u) << c.what;
        EXPECT_EQ(CommStatus(pair.b).Errors, 0u) << c.what;
    }
}

struct MismatchCase {
    const char* what;
    uint32_t senderBaud;
    uint8_t senderSize, senderParity;
    uint32_t receiverBaud;
    uint8_t receiverSize, receiverParity;
    uint32_t errors;
};

TEST(UartStream, LineMismatchesShowAsErrors) {
    const MismatchCase cases[] = {
        {"parity even vs odd", 9600, 8, plat::kEvenParity, 9600, 8, plat::kOddParity,
         plat::CE_RXPARITY},
        {"7 vs 8 data bits", 9600, 7, plat::kNoParity, 9600, 8, plat::kNoParity, plat::CE_FRAME},
        {"parity on one side only", 9600, 8, plat::kEvenParity, 9600, 8, plat::kNoParity,
         plat::CE_FRAME},
        {"9600 vs 19200 baud", 9600, 8, plat::kNoParity, 19200, 8, plat::kNoParity, plat::CE_FRAME},
        {"matching frames", 9600, 8, plat::kEvenParity, 9600, 8, plat::kEvenParity, 0},
    };
    for (const MismatchCase& c : cases) {
        CablePair pair;
        ASSERT_NE(pair.a, nullptr);
        ASSERT_NE(pair.b, nullptr);
        ASSERT_TRUE(SetDcb(pair.a, Frame(GetDcb(pair.a), c.senderBaud, c.senderSize, c.senderParity,
                                         plat::kOneStopBit)));
        ASSERT_TRUE(SetDcb(pair.b, Frame(GetDcb(pair.b), c.receiverBaud, c.receiverSize,
                                         c.receiverParity, plat::kOneStopBit)));
        const std::vector<uint8_t> data = Text(16);
        const uint32_t events = WaitCommEventFor(
            pair.b, plat::EV_ERR | plat::EV_RXCHAR, seconds(3),
            [&] { EXPECT_EQ(::Write(pair.a, data.data(), data.size()), data.size()) << c.what; });
        // Let the rest arrive, then look at what the receiver collected.
        std::this_thread::sleep_for(milliseconds(60));
        const uint32_t errors = CommStatus(pair.b).Errors;
        EXPECT_EQ(errors & (plat::CE_RXPARITY | plat::CE_FRAME), c.errors) << c.what;
        if (c.errors != 0) {
            EXPECT_NE(events & plat::EV_ERR, 0u) << c.what;
        } else {
            EXPECT_EQ(events & plat::EV_ERR, 0u) << c.what;
            EXPECT_EQ(ReadFor(pair.b, data.size(), seconds(2)), data) << c.what;
        }
    }
}

TEST(UartStream, BreakArrivesAsABreakEvent) {
    CablePair pair;
    ASSERT_NE(pair.a, nullptr);
    ASSERT_NE(pair.b, nullptr);
    const uint32_t events = WaitCommEventFor(pair.b, plat::EV_BREAK, seconds(3), [&] {
        ::IOControl(pair.a, plat::IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0, nullptr);
        std::this_thread::sleep_for(milliseconds(20));
        ::IOControl(pair.a, plat::IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0, nullptr);
    });
    EXPECT_EQ(events & plat::EV_BREAK, plat::EV_BREAK);
}

TEST(UartStream, PowerCycleMidTransferRestoresTheLineSettings) {
    struct Case {
        const char* what;
        bool systemSuspend;  // PowerDown/PowerUp, else the device power states
    };
    for (const Case& c : {Case{"suspend and resume", true}, Case{"D4 and back", false}}) {
        LoopbackPort loop;
        UartBench& bench = loop.bench;
        sim::Uart& uart = loop.uart;
        zel::PortDevice* device = loop.device;
        OpenHandle* h = loop.h;
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(SetDcb(h, Frame(GetDcb(h), 38400, 7, plat::kEvenParity, plat::kTwoStopBits)));
        ASSERT_TRUE(SetTimeouts(h, {0, 0, 200, 0, 3000}));
        const sim::LineFrame before = uart.Frame();
        ASSERT_EQ(before.dataBits, 7);

        const std::vector<uint8_t> data = Text(3000);
        std::atomic<bool> reading{true};
        auto reader = std::async(std::launch::async, [&] {
            std::vector<uint8_t> sink;
            uint8_t buffer[512];
            while (reading) {
                const uint32_t n = ::Read(h, buffer, sizeof(buffer));
                if (n != 0xFFFFFFFFu) sink.insert(sink.end(), buffer, buffer + n);
            }
            return sink;
        });
        auto writer = std::async(std::launch::async, [&] { return ::Write(h, data.data(), 3000); });
        std::this_thread::sleep_for(milliseconds(150));
        ProbePort* port = bench.Probe(1);
        ASSERT_NE(port, nullptr);
        if (c.systemSuspend) {
            ::PowerDown(device);
            EXPECT_EQ(uart.PowerState(), plat::D4) << c.what;
            ::PowerUp(device);
        } else {
            port->SetDevicePowerState(plat::D4);
            EXPECT_EQ(uart.PowerState(), plat::D4) << c.what;
            port->SetDevicePowerState(plat::D0);
        }
        EXPECT_EQ(uart.PowerState(), plat::D0) << c.what;
        EXPECT_EQ(uart.Frame(), before) << c.what;
        writer.get();
        std::this_thread::sleep_for(milliseconds(100));
        reading = false;
        reader.get();

        // The line works as set: a fresh transfer arrives intact.
        ASSERT_TRUE(Purge(h, plat::PURGE_RXCLEAR | plat::PURGE_TXCLEAR));
        const std::vector<uint8_t> fresh = Text(200, 3);
        EXPECT_EQ(::Write(h, fresh.data(), fresh.size()), fresh.size()) << c.what;
        EXPECT_EQ(ReadFor(h, fresh.size(), seconds(3)), fresh) << c.what;
        EXPECT_EQ(uart.Frame(), before) << c.what;
    }
}

}  // namespace
}  // namespace zeltest
