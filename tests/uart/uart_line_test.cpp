// Line configuration of a UART port: baud-rate divisors on the UART model, the divisor latch
// sequence and the adapter mask around it, line control bits, break and the receive trigger.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "hw/uart16550.h"
#include "tests/common/scripted_uart.h"
#include "tests/common/uart_harness.h"

namespace zeltest {
namespace {

using namespace zel;

using Reg = ScriptedUart::Reg;
using Access = ScriptedUart::Access;

struct DivisorCase {
    uint32_t clock;
    uint32_t baud;
    uint16_t divisor;  // 0: refused
};

class UartPortDivisor : public ::testing::TestWithParam<DivisorCase> {};

TEST_P(UartPortDivisor, ProgramsTheModelOrRefusesWithoutTouchingIt) {
    const DivisorCase& c = GetParam();
    UartBench bench;
    sim::UartConfig config;
    config.clockHz = c.clock;
    sim::Uart& uart = bench.AddUart(1, config);
    PortKeyValues keyValues;
    keyValues.clockRate = c.clock;
    plat::Bool ok = 0;
    PortPtr port = bench.MakeBarePort(keyValues, true, &ok);
    ASSERT_TRUE(ok);

    // A known divisor first, to see that a refused rate leaves it.
    ASSERT_TRUE(port->SetBaudRate(c.clock / (16 * 7), 0));
    ASSERT_EQ(uart.Frame().divisor, 7u);
    bench.Adapter().ClearMaskCalls();

    const plat::Bool result = port->SetBaudRate(c.baud, 0);
    if (c.divisor == 0) {
        EXPECT_FALSE(result) << c.clock << " Hz, " << c.baud << " baud";
        EXPECT_EQ(uart.Frame().divisor, 7u);
        EXPECT_TRUE(bench.Adapter().MaskCalls().empty());
    } else {
        EXPECT_TRUE(result) << c.clock << " Hz, " << c.baud << " baud";
        EXPECT_EQ(uart.Frame().divisor, c.divisor) << c.clock << " Hz, " << c.baud << " baud";
        EXPECT_EQ(bench.Adapter().MaskCalls(), (std::vector<bool>{true, false}));
        // The latch is closed again and the frame kept.
        EXPECT_EQ(port->Registers()->ReadLCR() & kLcrDivisorLatch, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, UartPortDivisor,
    ::testing::Values(
        DivisorCase{1843200, 9600, 12}, DivisorCase{1843200, 7200, 16},
        DivisorCase{1843200, 300, 384}, DivisorCase{1843200, 110, 1047},
        DivisorCase{1843200, 134, 859}, DivisorCase{1843200, 57600, 2},
        DivisorCase{1843200, 115200, 1}, DivisorCase{1843200, 56000, 0},
        DivisorCase{1843200, 58000, 0}, DivisorCase{1843200, 9700, 0},
        DivisorCase{1843200, 115201, 0}, DivisorCase{1843200, 230400, 0},
        DivisorCase{1843200, 0, 0}, DivisorCase{1843200, 0x80000000u, 0},
        // Rates so low that the divisor does not fit 16 bits are refused, not truncated.
        DivisorCase{1843200, 1, 0}, DivisorCase{14745600, 14, 0}, DivisorCase{14745600, 15, 61440},
        DivisorCase{7372800, 115200, 4}, DivisorCase{7372800, 460800, 1},
        DivisorCase{7372800, 115201, 0}, DivisorCase{14745600, 921600, 1},
        DivisorCase{14745600, 115200, 8}));

TEST(UartPortDivisorLatch, SequenceInsideTheAdapterMask) {
    struct Case {
        uint32_t baud;
        uint8_t low, high;
    };
    for (const Case& c : {Case{9600, 12, 0}, Case{300, 0x80, 0x01}}) {
        ScriptedPort p;
        ASSERT_NE(p.port, nullptr);
        p.port->Registers()->WriteLCR(kLcrWordLength8);
        p.uart->ClearLog();
        p.bench.Adapter().onMask = [&](bool masked) { p.uart->Mark(masked ? 1 : 0); };
        ASSERT_TRUE(p.port->SetBaudRate(c.baud, 0));
        const std::vector<Access> expected = {
            {false, ScriptedUart::kMarker, 0, 1},
            {false, Reg::Lcr, 1, kLcrWordLength8},
            {true, Reg::Lcr, 1, kLcrWordLength8 | kLcrDivisorLatch},
            {true, Reg::Dll, 1, c.low},
            {true, Reg::Dlm, 1, c.high},
            {true, Reg::Lcr, 1, kLcrWordLength8},
            {false, ScriptedUart::kMarker, 0, 0},
        };
        EXPECT_EQ(p.uart->Log(), expected) << c.baud;
    }
}

TEST(UartPortDivisorLatch, WithoutAnAdapterNothingIsMasked) {
    ScriptedPort p({}, false);
    ASSERT_NE(p.port, nullptr);
    ASSERT_TRUE(p.port->SetBaudRate(9600, 0));
    EXPECT_EQ(p.uart->Written(Reg::Dll), 12);
    EXPECT_TRUE(p.bench.Adapter().MaskCalls().empty());
}

TEST(UartPortDivisorLatch, FaultDuringTheWriteIsContained) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    p.uart->FaultOnWrite(Reg::Dll);
    EXPECT_TRUE(p.port->SetBaudRate(9600, 0));
    EXPECT_EQ(p.bench.Adapter().MaskCalls(), (std::vector<bool>{true, false}));
    // The lock was released: another thread gets through a locked register sequence.
    auto other = std::async(std::launch::async, [&] { return p.port->SetByteSize(7); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(other.get());
}

// ---------------------------------------------------------------------------------------------
// Line control bits, on the model.

enum class Op { ByteSize, Parity, StopBits };
struct LcrCase {
    Op op;
    uint32_t value;
    bool accepted;
    uint8_t lcr;  // starting from 8N1 (0x03)
};

TEST(UartPortLineControl, BitsForSizesParityAndStopBits) {
    const LcrCase cases[] = {
        {Op::ByteSize, 5, true, 0x00},  {Op::ByteSize, 6, true, 0x01},
        {Op::ByteSize, 7, true, 0x02},  {Op::ByteSize, 8, true, 0x03},
        {Op::ByteSize, 4, false, 0x03}, {Op::ByteSize, 9, false, 0x03},
        {Op::Parity, 0, true, 0x03},    {Op::Parity, 1, true, 0x0B},
        {Op::Parity, 2, true, 0x1B},    {Op::Parity, 3, true, 0x2B},
        {Op::Parity, 4, true, 0x3B},    {Op::Parity, 5, false, 0x03},
        {Op::StopBits, 0, true, 0x03},  {Op::StopBits, 1, true, 0x07},
        {Op::StopBits, 2, true, 0x07},  {Op::StopBits, 3, false, 0x03},
    };
    UartBench bench;
    sim::Uart& uart = bench.AddUart(1);
    plat::Bool ok = 0;
    PortPtr port = bench.MakeBarePort({}, true, &ok);
    ASSERT_TRUE(ok);
    for (const LcrCase& c : cases) {
        port->Registers()->WriteLCR(kLcrWordLength8);
        plat::Bool result = 0;
        switch (c.op) {
            case Op::ByteSize:
                result = port->SetByteSize(c.value);
                break;
            case Op::Parity:
                result = port->SetParity(c.value);
                break;
            case Op::StopBits:
                result = port->SetStopBits(c.value);
                break;
        }
        EXPECT_EQ(result != 0, c.accepted) << static_cast<int>(c.op) << " " << c.value;
        EXPECT_EQ(port->Registers()->ReadLCR(), c.lcr) << static_cast<int>(c.op) << " " << c.value;
    }
    // The model frames its characters by what was written.
    port->Registers()->WriteLCR(kLcrWordLength8);
    ASSERT_TRUE(port->SetByteSize(7));
    ASSERT_TRUE(port->SetParity(plat::kEvenParity));
    ASSERT_TRUE(port->SetStopBits(plat::kTwoStopBits));
    const sim::LineFrame frame = uart.Frame();
    EXPECT_EQ(frame.dataBits, 7);
    EXPECT_EQ(frame.parity, sim::Parity::Even);
    EXPECT_EQ(frame.stopHalfBits, 4);
}

TEST(UartPortLineControl, EachOperationKeepsTheOtherBits) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    p.port->Registers()->WriteLCR(kLcrWordLength8);
    p.port->SetBreak(1);
    p.port->SetParity(plat::kEvenParity);
    EXPECT_EQ(p.uart->Written(Reg::Lcr), kLcrBreak | kLcrParityEven | kLcrWordLength8);
    p.port->SetBreak(0);
    EXPECT_EQ(p.uart->Written(Reg::Lcr), kLcrParityEven | kLcrWordLength8);
    p.port->SetByteSize(7);
    p.port->InitLineStatus(1);
    // Enabling line status puts back 8N1 whatever was set.
    EXPECT_EQ(p.uart->Written(Reg::Lcr), kLcrWordLength8);
    EXPECT_EQ(p.uart->Written(Reg::Ier) & kIerLineStatus, kIerLineStatus);
}

TEST(UartPortTrigger, LevelsAgainstWaterMarks) {
    struct Case {
        uint32_t waterMark;
        uint8_t code;
        uint32_t level;
    };
    const Case cases[] = {{0, 0x00, 0}, {3, 0x00, 0},  {4, 0x40, 4},   {7, 0x40, 4},
                          {8, 0x80, 8}, {13, 0x80, 8}, {14, 0xC0, 14}, {1000, 0xC0, 14}};
    for (const Case& c : cases) {
        PortKeyValues keyValues;
        keyValues.waterMarker = c.waterMark;
        ScriptedPort p(keyValues);
        ASSERT_NE(p.port, nullptr);
        EXPECT_EQ(p.port->WaterMark(), c.waterMark);
        EXPECT_EQ(p.port->GetReceiveTriggerBits(), c.code) << c.waterMark;
        EXPECT_EQ(p.port->GetReceiveTriggerLevel(), c.level) << c.waterMark;
        // Enabling the receiver programs that trigger with the FIFOs on.
        p.port->InitReceive(1);
        EXPECT_EQ(p.uart->Written(Reg::IirFcr), c.code | kFcrFifoEnable | kFcrReceiveReset)
            << c.waterMark;
    }
}

}  // namespace
}  // namespace zeltest
