// Register behaviour of the UART model: reset values, read side effects, interrupt
// identification, FIFO control, the divisor latch, stride, power and internal loopback.
#include "tests/uartmodel/uart_fixture.h"

#include "platform/bus.h"
#include "platform/kernel.h"
#include "sim/bus/sim_bus.h"
#include "sim/registry/registry.h"

namespace uarttest {
namespace {

TEST(UartRegisters, PowerOnValuesAreThoseOfA16550AtReset) {
    Port p;
    struct {
        const char* what;
        uint8_t value;
        uint8_t expected;
    } cases[] = {
        {"IER", p.Get(kRegIer), kResetIer},   {"IIR", p.Iir(), kResetIir},
        {"LCR", p.Get(kRegLcr), kResetLcr},   {"MCR", p.Get(kRegMcr), kResetMcr},
        {"LSR", p.Lsr(), kResetLsr},          {"MSR", p.Msr(), 0},
        {"SCR", p.Get(kRegScr), kResetScr},   {"TX level", p.TxLevel(), 0},
        {"RX level", p.RxLevel(), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value, c.expected) << c.what;
    p.Set(kRegLcr, kLcrDlab);
    EXPECT_EQ(p.Get(kRegData), 0);
    EXPECT_EQ(p.Get(kRegIer), 0);
    EXPECT_EQ(p.uart->CharacterTime(), 0);  // divisor 0: the line does not run
}

TEST(UartRegisters, DivisorLatchSharesOffsetsZeroAndOneUnderLcrBit7) {
    Port p;
    p.Set(kRegLcr, kLcrDlab | kLcr8N1);
    p.Set(kRegData, 0x34);
    p.Set(kRegIer, 0x12);
    EXPECT_EQ(p.Get(kRegData), 0x34);
    EXPECT_EQ(p.Get(kRegIer), 0x12);
    p.Set(kRegLcr, kLcr8N1);
    EXPECT_EQ(p.Get(kRegIer), 0);  // IER itself was not written
    p.Set(kRegIer, 0xFF);
    EXPECT_EQ(p.Get(kRegIer), kIerWritable);
    EXPECT_EQ(p.uart->Frame().divisor, 0x1234u);
    p.Set(kRegScr, 0x5A);
    EXPECT_EQ(p.Get(kRegScr), 0x5A);
    p.Set(kRegMcr, 0xFF);
    EXPECT_EQ(p.Get(kRegMcr), kMcrWritable);
}

TEST(UartRegisters, StrideSpacesTheRegistersAndBadConfigurationsAreRefused) {
    Port wide(sim::UartConfig{.stride = 4});
    ASSERT_TRUE(wide.uart);
    EXPECT_EQ(wide.uart->Read8(20), kResetLsr);
    wide.uart->Write8(28, 0x99);
    EXPECT_EQ(wide.uart->Read8(28), 0x99);
    EXPECT_EQ(wide.uart->Read8(5), 0);  // between registers nothing decodes

    struct {
        uint32_t stride;
        uint32_t clock;
        double scale;
        bool valid;
    } cases[] = {{1, kClock, 1, true},  {3, kClock, 1, true},  {32, kClock, 1, true},
                 {0, kClock, 1, false}, {2, kClock, 1, false},  // LSR would sit on byte 10
                 {5, kClock, 1, false}, {33, kClock, 1, false}, {1, 0, 1, false},
                 {1, kClock, 0, false}};
    for (const auto& c : cases) {
        auto u = sim::Uart::Create(
            {.clockHz = c.clock, .stride = c.stride, .charTimeScale = c.scale});
        EXPECT_EQ(u != nullptr, c.valid) << "stride " << c.stride << " clock " << c.clock;
    }
}

TEST(UartRegisters, CharacterTimeFollowsClockDivisorFrameAndScale) {
    struct {
        uint8_t lcr;
        uint16_t divisor;
        double bits;
        double scale;
    } cases[] = {
        {kLcr8N1, 1, 10, 1},                                // 8N1
        {0x02 | kLcrParityEven | kLcrStopBits, 2, 11, 1},   // 7E2
        {0x00 | kLcrStopBits, 3, 7.5, 1},                   // 5 bits, 1.5 stop bits
        {kLcr8N1 | kLcrParityMark | kLcrStopBits, 12, 12, 1},
        {kLcr8N1, 1, 10, 0.01},
    };
    for (const auto& c : cases) {
        Port p(sim::UartConfig{.charTimeScale = c.scale});
        p.Program(c.divisor, c.lcr);
        double expected = CharPs(c.bits, c.divisor) * c.scale;
        EXPECT_GE(p.uart->CharacterTime(), expected);
        EXPECT_LT(p.uart->CharacterTime(), expected + 1.0) << "lcr " << int(c.lcr);
    }
}

// Sets up all four interrupt sources at once through an external wire.
struct AllSources {
    Port p;
    std::shared_ptr<sim::RecordingEndpoint> far = std::make_shared<sim::RecordingEndpoint>();
    std::unique_ptr<sim::ExternalWire> wire = sim::ConnectEndpoint(*p.uart, far);

    void Prepare(uint8_t ier) {
        p.Program(1, kLcr8N1, kFcrEnable | kFcrTrigger1);
        p.Set(kRegIer, ier);
        wire->SendWithError(0x41, /*parityError=*/true, false);
        wire->SetModemLines({.cts = true});
        ASSERT_TRUE(p.WaitRx(1));
    }
};

TEST(UartInterrupts, IirReportsSourcesInPriorityOrderAndEachReadClearsOnlyItsOwn) {
    AllSources s;
    s.Prepare(kIerReceivedData | kIerTransmitEmpty | kIerLineStatus | kIerModemStatus);
    Port& p = s.p;
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirLineStatus);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirLineStatus);  // reading IIR does not clear it
    EXPECT_EQ(p.Lsr() & kLsrParityError, kLsrParityError);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirReceivedData);
    EXPECT_EQ(p.uart->Read8(kFifoWindowOffset), 0x41);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirTransmitEmpty);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirModemStatus);  // the IIR read cleared THRE
    EXPECT_EQ(p.Msr(), kMsrCts | kMsrDeltaCts);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirNonePending);
    EXPECT_FALSE(p.uart->InterruptPending());
}

TEST(UartInterrupts, ASourceCountsOnlyWhileItsEnableIsSet) {
    AllSources s;
    s.Prepare(0);
    Port& p = s.p;
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirNonePending);
    struct {
        uint8_t ier;
        uint8_t id;
    } order[] = {{kIerModemStatus, kIirModemStatus},
                 {kIerTransmitEmpty, kIirTransmitEmpty},  // enabled while empty
                 {kIerReceivedData, kIirReceivedData},
                 {kIerLineStatus, kIirLineStatus}};
    for (const auto& c : order) {
        p.Set(kRegIer, c.ier);
        EXPECT_EQ(p.Iir(), kIirFifosOn | c.id) << "IER " << int(c.ier);
    }
}

TEST(UartInterrupts, TransmitterEmptyOnEnableWhileEmptyClearedByIirReadOrByData) {
    Port p;
    p.Program(0);  // the line does not run: written bytes stay in the FIFO
    p.Set(kRegIer, kIerTransmitEmpty);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirTransmitEmpty);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirNonePending);
    p.Set(kRegIer, 0);
    p.Set(kRegIer, kIerTransmitEmpty);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirTransmitEmpty);

    p.Set(kRegIer, 0);
    p.Set(kRegIer, kIerTransmitEmpty);  // pending again
    p.Set(kRegData, 0x55);              // writing data clears it
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirNonePending);
    EXPECT_EQ(p.TxLevel(), 1);
    EXPECT_EQ(p.Lsr() & (kLsrThrEmpty | kLsrTxEmpty), 0);
    p.Set(kRegIer, 0);
    p.Set(kRegIer, kIerTransmitEmpty);  // not empty: enabling raises nothing
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirNonePending);

    p.Set(kRegFcr, kFcrEnable | kFcrTxReset);  // emptying the FIFO sets it
    EXPECT_EQ(p.TxLevel(), 0);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirTransmitEmpty);
    EXPECT_EQ(p.Lsr() & (kLsrThrEmpty | kLsrTxEmpty), kLsrThrEmpty | kLsrTxEmpty);
}

TEST(UartInterrupts, TransmitterEmptyWhenTheLastByteMovesIntoTheShifter) {
    Port p;
    p.Program(12);  // 9600 baud
    double ct = CharPs(10, 12);
    p.Set(kRegIer, kIerTransmitEmpty);
    ASSERT_EQ(p.Iir(), kIirFifosOn | kIirTransmitEmpty);
    Ps start = LineClock::Now();
    p.Send({1, 2, 3});
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirNonePending);
    EXPECT_EQ(p.TxLevel(), 2);  // the first is in the shifter
    ASSERT_TRUE(WaitUntil([&] { return (p.Lsr() & kLsrThrEmpty) != 0; }));
    Ps seen = LineClock::Now();
    // The FIFO empties when the third byte starts, two character times after the first.
    EXPECT_GE(seen - start, 2 * ct);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirTransmitEmpty);
    ASSERT_TRUE(WaitUntil([&] { return (p.Lsr() & kLsrTxEmpty) != 0; }));
    EXPECT_GE(LineClock::Now() - start, 3 * ct);
}

TEST(UartLineStatus, ErrorBitsFollowTheTopByteAndReadingLsrClearsThem) {
    struct {
        const char* what;
        void (*send)(sim::ExternalWire&);
        uint8_t bit;
    } cases[] = {
        {"parity", [](sim::ExternalWire& w) { w.SendWithError(0x61, true, false); },
         kLsrParityError},
        {"framing", [](sim::ExternalWire& w) { w.SendWithError(0x61, false, true); },
         kLsrFramingError},
        {"break", [](sim::ExternalWire& w) { w.SendBreak(); }, kLsrBreak},
    };
    for (const auto& c : cases) {
        AllSources s;
        Port& p = s.p;
        p.Program(1);
        c.send(*s.wire);
        s.wire->Send(std::vector<uint8_t>{0x62});
        ASSERT_TRUE(p.WaitRx(2)) << c.what;
        const uint8_t idle = kLsrThrEmpty | kLsrTxEmpty | kLsrDataReady;
        EXPECT_EQ(p.Lsr(), idle | c.bit | kLsrFifoError) << c.what;
        EXPECT_EQ(p.Lsr(), idle | kLsrFifoError) << c.what;  // the byte is still in the FIFO
        EXPECT_EQ(p.uart->Read8(kFifoWindowOffset), c.bit == kLsrBreak ? 0 : 0x61) << c.what;
        EXPECT_EQ(p.Lsr(), idle | kLsrFifoError) << c.what;  // latched until a read finds none
        EXPECT_EQ(p.Lsr(), idle) << c.what;
        EXPECT_EQ(p.uart->Read8(kFifoWindowOffset), 0x62) << c.what;
        EXPECT_EQ(p.Lsr(), kLsrThrEmpty | kLsrTxEmpty) << c.what;
    }
}

TEST(UartModemStatus, ChangeBitsAreSetByEdgesAndClearedByReadingMsr) {
    AllSources s;
    Port& p = s.p;
    struct {
        sim::ModemLines lines;
        uint8_t msr;
    } steps[] = {
        {{.cts = true}, kMsrCts | kMsrDeltaCts},
        {{.cts = true, .dsr = true, .ri = true, .dcd = true},
         kMsrLineMask | kMsrDeltaDsr | kMsrDeltaDcd},  // RI rising sets nothing
        {{.cts = true, .dsr = true, .dcd = true},
         kMsrCts | kMsrDsr | kMsrDcd | kMsrTrailingRi},
        {{}, kMsrDeltaCts | kMsrDeltaDsr | kMsrDeltaDcd},
    };
    for (const auto& step : steps) {
        s.wire->SetModemLines(step.lines);
        EXPECT_EQ(p.Msr(), step.msr);
        EXPECT_EQ(p.Msr(), step.msr & kMsrLineMask);
    }
}

TEST(UartFifoControl, EnableResetAndTriggerBits) {
    Port p;
    p.Program(0, kLcr8N1, 0);  // FIFOs off: one byte each way, IIR bits 7..6 clear
    EXPECT_EQ(p.Iir(), kIirNonePending);
    p.Send({1, 2, 3});
    EXPECT_EQ(p.TxLevel(), 1);
    p.Set(kRegFcr, kFcrEnable);  // switching the FIFOs on empties them
    EXPECT_EQ(p.TxLevel(), 0);
    EXPECT_EQ(p.Iir(), kIirFifosOn | kIirNonePending);
    p.Send(Sequence(70));
    EXPECT_EQ(p.TxLevel(), kFifoDepth);  // the rest is lost
    p.Set(kRegFcr, kFcrEnable | kFcrRxReset);
    EXPECT_EQ(p.TxLevel(), kFifoDepth);
    p.Set(kRegFcr, kFcrTrigger14 | kFcrTxReset);  // without bit 0: FIFOs off, nothing else taken
    EXPECT_EQ(p.Iir(), kIirNonePending);
    EXPECT_EQ(p.TxLevel(), 0);
}

TEST(UartPower, D3AndD4LoseTheRegistersD1AndD2KeepThem) {
    struct {
        uint32_t state;
        bool lost;
    } cases[] = {{1, false}, {2, false}, {3, true}, {4, true}};
    for (const auto& c : cases) {
        Port p;
        p.Program(0x0C, 0x1B, kFcrEnable | kFcrTrigger8);
        p.Set(kRegIer, 0x0D);
        p.Set(kRegMcr, kMcrDtr | kMcrRts | kMcrOut2);
        p.Set(kRegScr, 0x77);
        p.Send({1, 2});
        ASSERT_TRUE(p.uart->SetPower(0, c.state));
        EXPECT_EQ(p.uart->PowerState(), c.state);
        EXPECT_EQ(p.Get(kRegIer), c.lost ? kResetIer : 0x0D) << c.state;
        EXPECT_EQ(p.Get(kRegLcr), c.lost ? kResetLcr : 0x1B) << c.state;
        EXPECT_EQ(p.Get(kRegMcr), c.lost ? kResetMcr : kMcrDtr | kMcrRts | kMcrOut2) << c.state;
        EXPECT_EQ(p.Get(kRegScr), c.lost ? kResetScr : 0x77) << c.state;
        EXPECT_EQ(p.Iir() & kIirFifosOn, c.lost ? 0 : kIirFifosOn) << c.state;
        EXPECT_EQ(p.uart->Frame().divisor, c.lost ? kResetDivisor : 0x0Cu) << c.state;
        EXPECT_EQ(p.uart->CharacterTime() == 0, c.lost) << c.state;
        ASSERT_TRUE(p.uart->SetPower(0, 0));
        EXPECT_EQ(p.Get(kRegScr), c.lost ? kResetScr : 0x77) << "back at D0 " << c.state;
    }
    Port p;
    EXPECT_FALSE(p.uart->SetPower(0, 5));
}

TEST(UartLoopback, McrBit4LoopsDataAndModemLinesInsideTheUart) {
    AllSources s;
    Port& p = s.p;
    p.Program(1);
    p.Set(kRegMcr, kMcrLoop | kMcrDtr | kMcrRts | kMcrOut1 | kMcrOut2);
    EXPECT_EQ(p.Msr(), kMsrLineMask | kMsrDeltaCts | kMsrDeltaDsr | kMsrDeltaDcd);
    EXPECT_EQ(s.wire->UartControlLines(), sim::ControlLines{});  // the wire sees them off
    p.Set(kRegMcr, kMcrLoop | kMcrDtr);
    EXPECT_EQ(p.Msr(), kMsrDsr | kMsrDeltaCts | kMsrTrailingRi | kMsrDeltaDcd);

    p.Send({0x10, 0x20, 0x30});
    s.wire->Send(std::vector<uint8_t>{0x99});  // lost: the receiver does not listen
    ASSERT_TRUE(p.WaitRx(3));
    ASSERT_TRUE(WaitUntil([&] { return s.wire->PendingToUart() == 0; }));
    EXPECT_EQ(p.Drain(), (std::vector<uint8_t>{0x10, 0x20, 0x30}));
    EXPECT_TRUE(s.far->Symbols().empty());

    p.Set(kRegMcr, kMcrDtr | kMcrRts);
    EXPECT_EQ(s.wire->UartControlLines(), (sim::ControlLines{.dtr = true, .rts = true}));
    p.Send({0x40});
    ASSERT_TRUE(s.far->WaitForBytes(1, std::chrono::milliseconds(3000)));
    EXPECT_EQ(s.far->Bytes(), std::vector<uint8_t>{0x40});
}

// The UART reached through the bus as the driver reaches it, with device power through a
// bus-access handle.
TEST(UartOnTheBus, RegistersAndPowerThroughTheBusServices) {
    Port p;
    sim::BusAttach(0xE8000000, kWindowLength, p.uart);
    sim::reg::SetString(u"Drivers\\Active\\95", u"Key", u"Drivers\\UartModel\\Port");
    sim::reg::SetDword(u"Drivers\\UartModel\\Port", u"MemBase", 0xE8000000);
    plat::Handle bus = plat::BusOpen(u"Drivers\\Active\\95");
    ASSERT_NE(bus, 0u);
    uint32_t space = 0;
    plat::VirtAddr regs = 0;
    plat::VirtAddr fifo = 0;
    ASSERT_EQ(plat::BusTranslateAndMap(bus, plat::kInterfaceTypePci, 0, 0xE8000000, 15, &space,
                                       &regs),
              1);
    ASSERT_EQ(plat::BusTranslateAndMap(bus, plat::kInterfaceTypePci, 0, 0xE8000100, 64, &space,
                                       &fifo),
              1);
    plat::WriteRegisterByte(regs + kRegScr, 0x3C);
    plat::WriteRegisterByte(regs + kRegFcr, kFcrEnable);
    const uint32_t words[2] = {0x04030201, 0x08070605};
    plat::WriteRegisterWords(fifo, words, 2);  // the line does not run: they stay queued
    EXPECT_EQ(plat::ReadRegisterByte(regs + kTxLevelOffset), 8);
    EXPECT_EQ(sim::CountersOf(p.uart.get()).wordWrites, 2u);

    EXPECT_EQ(plat::BusSetDevicePower(bus, plat::D3, nullptr), 1);
    EXPECT_EQ(plat::ReadRegisterByte(regs + kRegScr), kResetScr);
    EXPECT_EQ(plat::ReadRegisterByte(regs + kTxLevelOffset), 0);

    plat::BusUnmap(regs, 0);
    plat::BusUnmap(fifo, 0);
    plat::BusClose(bus);
    sim::BusDetach(0xE8000000);
}

}  // namespace
}  // namespace uarttest
