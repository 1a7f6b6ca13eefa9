// A UART port on the UART model, with the adapter's interrupt thread played by the harness:
// immediate characters while the transmitter is busy, FIFO purges, and power paths.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "hw/uart16550.h"
#include "port/entry_points.h"
#include "sim/hw/wire.h"
#include "sim/kernel/sim_kernel.h"
#include "tests/common/uart_harness.h"

namespace zeltest {
namespace {

using namespace zel;

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A bare, open port on a model UART whose line goes to a recording endpoint.
struct ModelPort {
    UartBench bench;
    sim::Uart* uart = nullptr;
    std::shared_ptr<sim::RecordingEndpoint> far = std::make_shared<sim::RecordingEndpoint>();
    std::unique_ptr<sim::ExternalWire> wire;
    PortPtr port;

    ModelPort() {
        uart = &bench.AddUart(1);
        wire = sim::ConnectEndpoint(*uart, far);
        plat::Bool ok = 0;
        port = bench.MakeBarePort({}, true, &ok);
        if (!ok || !port->Open()) {
            port.reset();
            return;
        }
        port->serveWhenBare = true;
    }
    ~ModelPort() {
        if (port) port->Close();
        port.reset();
    }
};

TEST(UartPortImmediate, WaitsOnlyAsLongAsTheTransmitterNeeds) {
    // Nothing else sends on this port, so nothing pulses the transmit event: an immediate
    // character behind a full FIFO waits on the transmitter itself, as it does on the
    // adapter's interrupt thread when receive throttling sends XOFF.
    ModelPort m;
    ASSERT_NE(m.port, nullptr);
    const std::vector<uint8_t> data = Pattern(64);
    uint32_t count = 64;
    m.port->TransmitData(data.data(), &count);
    ASSERT_EQ(count, 64u);
    const auto start = steady_clock::now();
    m.port->TransmitImmediate(0x13);
    const auto elapsed = steady_clock::now() - start;

    // 9600 baud, 8N1: ten bits a character. The FIFO empties when the 64th byte moves into the
    // shifter, 63 character times after the first one started.
    const auto charTime = std::chrono::microseconds(10'000'000 / 9600);
    EXPECT_GE(elapsed, 63 * charTime - milliseconds(1));
    // Bounded by the transmitter's drain time (66 characters, about 69 ms), far from the one
    // second a wait for a pulse would take.
    EXPECT_LT(elapsed, milliseconds(400));
    ASSERT_TRUE(m.far->WaitForBytes(65, std::chrono::seconds(5)));
    std::vector<uint8_t> expected = data;
    expected.push_back(0x13);
    EXPECT_EQ(m.far->Bytes(), expected);
}

TEST(UartPortImmediate, OnTheInterruptThreadDoesNotStallIt) {
    // The same from inside the interrupt path: a receive interrupt sends an immediate character
    // while the transmitter is busy; the service thread comes back within the drain time.
    ModelPort m;
    ASSERT_NE(m.port, nullptr);
    const std::vector<uint8_t> data = Pattern(64);
    uint32_t count = 64;
    std::atomic<int64_t> tookUs{-1};
    std::atomic<bool> sent{false};
    m.port->onInterrupt = [&](ProbePort& port, uint32_t bits) {
        if ((bits & zel::InterruptReceive) && !sent.exchange(true)) {
            const auto start = steady_clock::now();
            port.TransmitImmediate(0x13);
            tookUs =
                std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now() - start)
                    .count();
        }
    };
    m.port->TransmitData(data.data(), &count);
    ASSERT_EQ(count, 64u);
    const uint8_t ping = 0x55;
    m.wire->Send({&ping, 1});
    ASSERT_TRUE(WaitFor([&] { return tookUs.load() >= 0; }, std::chrono::seconds(5)));
    EXPECT_LT(tookUs.load(), 400'000);
    ASSERT_TRUE(m.far->WaitForBytes(65, std::chrono::seconds(5)));
    EXPECT_EQ(m.far->Bytes().back(), 0x13);
}

TEST(UartPortFifoControl, TransmitPurgeKeepsReceivedBytes) {
    ModelPort m;
    ASSERT_NE(m.port, nullptr);
    // No interrupt thread for this check: the bytes stay in the receive FIFO.
    m.bench.Service().Unwatch(1);
    const std::vector<uint8_t> data = Pattern(5);
    m.wire->Send(data);
    ASSERT_TRUE(WaitFor([&] { return m.wire->PendingToUart() == 0; }, std::chrono::seconds(5)));
    ASSERT_TRUE(
        WaitFor([&] { return m.uart->Stats().charsReceived == 5; }, std::chrono::seconds(5)));
    m.port->ClearTransmit();
    uint8_t buffer[16];
    uint32_t count = sizeof(buffer);
    m.port->ReceiveData(buffer, &count);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + count), data);
}

// ---------------------------------------------------------------------------------------------
// Power.

TEST(UartPortPower, LineSettingsSurviveLowPowerStates) {
    ModelPort m;
    ASSERT_NE(m.port, nullptr);
    plat::Dcb dcb = m.port->AppliedDcb();
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = plat::kEvenParity;
    dcb.StopBits = plat::kTwoStopBits;
    ASSERT_TRUE(m.port->SetDCB(&dcb));
    const sim::LineFrame before = m.uart->Frame();
    ASSERT_EQ(before.divisor, 6u);
    const uint8_t mcr = m.uart->ModemControl();

    struct Step {
        const char* what;
        uint32_t state;
        bool registersLost;
    };
    const Step steps[] = {{"D3", plat::D3, true}, {"D4", plat::D4, true}, {"D0", plat::D0, false}};
    for (const Step& s : steps) {
        EXPECT_TRUE(m.port->SetDevicePowerState(s.state)) << s.what;
        EXPECT_EQ(m.uart->PowerState(), s.state) << s.what;
        if (s.registersLost) {
            EXPECT_EQ(m.uart->Frame().divisor, 0u) << s.what;
        } else {
            EXPECT_EQ(m.uart->Frame(), before) << s.what;
            EXPECT_EQ(m.uart->ModemControl(), mcr) << s.what;
        }
    }
    // And through a system suspend and resume.
    m.port->PowerOff();
    EXPECT_EQ(m.uart->PowerState(), plat::D4);
    m.port->PowerOn();
    EXPECT_EQ(m.uart->PowerState(), plat::D0);
    EXPECT_EQ(m.uart->Frame(), before);
    // The line works again.
    const std::vector<uint8_t> data = Pattern(20);
    uint32_t count = 20;
    m.far->Clear();
    m.port->TransmitData(data.data(), &count);
    ASSERT_TRUE(m.far->WaitForBytes(20, std::chrono::seconds(5)));
    EXPECT_EQ(m.far->Bytes(), data);
    EXPECT_EQ(m.far->Symbols().back().frame.dataBits, 7);
}

TEST(UartPortPower, ResumeOfAnOpenPortIsReportedOnce) {
    UartBench bench;
    sim::Uart& uart = bench.AddUart(1);
    auto far = std::make_shared<sim::RecordingEndpoint>();
    auto wire = sim::ConnectEndpoint(uart, far);
    zel::PortDevice* device = bench.StartStreamPort(1);
    ASSERT_NE(device, nullptr);
    zel::OpenHandle* handle = ::Open(device, plat::kAccessRead | plat::kAccessWrite, 0);
    ASSERT_NE(handle, nullptr);
    ProbePort* port = bench.Probe(1);
    ASSERT_NE(port, nullptr);
    port->ClearRecords();

    ::PowerDown(device);
    ::PowerUp(device);
    ASSERT_TRUE(
        WaitFor([&] { return port->EventCount(plat::EV_POWER) == 1; }, std::chrono::seconds(5)));
    // More interrupt work later does not report the resume again.
    const std::vector<uint8_t> data = Pattern(30);
    wire->Send(data);
    uint8_t buffer[64];
    uint32_t got = 0;
    const auto end = steady_clock::now() + std::chrono::seconds(5);
    while (got < data.size() && steady_clock::now() < end) {
        const uint32_t n = ::Read(handle, buffer + got, sizeof(buffer) - got);
        if (n != 0xFFFFFFFFu) got += n;
    }
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + got), data);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(port->EventCount(plat::EV_POWER), 1u);
    ::Close(handle);
}

TEST(UartPortPower, ResumeOfAClosedPortWithCarrierRaisesTheConnectionNotification) {
    struct Case {
        const char* what;
        bool carrier;
    };
    for (const Case& c : {Case{"carrier", true}, Case{"no carrier", false}}) {
        UartBench bench;
        sim::Uart& uart = bench.AddUart(1);
        auto far = std::make_shared<sim::RecordingEndpoint>();
        auto wire = sim::ConnectEndpoint(uart, far);
        sim::ModemLines lines;
        lines.dcd = c.carrier;
        wire->SetModemLines(lines);
        zel::PortDevice* device = bench.StartStreamPort(1);
        ASSERT_NE(device, nullptr);
        std::this_thread::sleep_for(milliseconds(20));
        sim::ClearRaisedSystemEvents();

        ::PowerDown(device);
        ::PowerUp(device);
        auto raised = [] {
            size_t n = 0;
            for (uint32_t e : sim::RaisedSystemEvents()) n += e == plat::kNotifyRs232Detected;
            return n;
        };
        if (c.carrier) {
            EXPECT_TRUE(WaitFor([&] { return raised() >= 1; }, std::chrono::seconds(5))) << c.what;
        } else {
            std::this_thread::sleep_for(milliseconds(100));
            EXPECT_EQ(raised(), 0u) << c.what;
        }
    }
}

}  // namespace
}  // namespace zeltest
