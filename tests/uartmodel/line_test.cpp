// The UART model on the line: FIFO window, trigger levels, character time-out, timing, wires,
// frame mismatches, break, overrun, the interrupt output and the timing thread.
#include <atomic>
#include <mutex>
#include <thread>

#include "tests/uartmodel/uart_fixture.h"

namespace uarttest {
namespace {

using namespace std::chrono_literals;

// A UART with a recording endpoint on its wire.
struct Endpointed {
    explicit Endpointed(const sim::UartConfig& config = {}) : p(config) {}
    Port p;
    std::shared_ptr<sim::RecordingEndpoint> far = std::make_shared<sim::RecordingEndpoint>();
    std::unique_ptr<sim::ExternalWire> wire = sim::ConnectEndpoint(*p.uart, far);
};

TEST(UartFifoWindow, WordsMoveFourBytesLowestAddressFirst) {
    Endpointed e;
    e.p.Program(1);
    e.p.uart->Write32(kFifoWindowOffset, 0x44434241);
    e.p.uart->Write8(kFifoWindowOffset + 63, 0x45);  // anywhere in the window
    ASSERT_TRUE(e.far->WaitForBytes(5, 3000ms));
    EXPECT_EQ(e.far->Bytes(), (std::vector<uint8_t>{0x41, 0x42, 0x43, 0x44, 0x45}));

    e.wire->Send(Sequence(6, 1));
    ASSERT_TRUE(e.p.WaitRx(6));
    EXPECT_EQ(e.p.uart->Read32(kFifoWindowOffset + 4), 0x04030201u);
    EXPECT_EQ(e.p.RxLevel(), 2);
    EXPECT_EQ(e.p.uart->Read8(kFifoWindowOffset), 5);
    EXPECT_EQ(e.p.Get(kRegData), 6);  // RBR pops the same FIFO
    EXPECT_EQ(e.p.uart->Read8(kFifoWindowOffset), 0);  // empty
}

TEST(UartTrigger, ReceivedDataAtTheTriggerLevelNotBelow) {
    struct {
        uint8_t fcr;
        uint32_t level;
    } cases[] = {{kFcrTrigger1, 1}, {kFcrTrigger4, 4}, {kFcrTrigger8, 8}, {kFcrTrigger14, 14}};
    for (const auto& c : cases) {
        Endpointed e;
        e.p.Program(1, kLcr8N1, kFcrEnable | c.fcr);
        e.p.Set(kRegIer, kIerReceivedData);
        if (c.level > 1) {
            e.wire->Send(Sequence(c.level - 1));
            ASSERT_TRUE(e.p.WaitRx(c.level - 1));
            // Below the trigger only a time-out may show, never received data.
            EXPECT_NE(e.p.Iir() & kIirIdMask, kIirReceivedData) << c.level;
        }
        e.wire->Send(std::vector<uint8_t>{0xEE});
        ASSERT_TRUE(e.p.WaitRx(c.level));
        EXPECT_EQ(e.p.Iir(), kIirFifosOn | kIirReceivedData) << c.level;
        e.p.uart->Read8(kFifoWindowOffset);
        EXPECT_NE(e.p.Iir() & kIirIdMask, kIirReceivedData) << c.level;
    }
}

TEST(UartTimeout, CharacterTimeOutFallsDueFourCharacterTimesAfterTheLastArrival) {
    Endpointed e;
    e.p.Program(12, kLcr8N1, kFcrEnable | kFcrTrigger8);  // 9600 baud
    const double ct = CharPs(10, 12);
    std::mutex m;
    std::vector<std::pair<bool, Ps>> edges;
    e.p.uart->SetInterruptCallback([&](bool asserted) {
        std::lock_guard lock(m);
        edges.push_back({asserted, LineClock::Now()});
    });
    e.p.Set(kRegIer, kIerReceivedData);
    e.wire->Send(std::vector<uint8_t>{1, 2});  // the second restarts the timer
    ASSERT_TRUE(e.p.WaitRx(2));
    Ps last = LineClock::FromTimePoint(e.p.uart->LastReceiveTime());
    const Ps due = last + static_cast<Ps>(4 * ct);
    bool seen = false;
    while (!seen) {
        Ps before = LineClock::Now();
        uint8_t iir = e.p.Iir();
        Ps after = LineClock::Now();
        seen = iir == (kIirFifosOn | kIirCharTimeout);
        if (seen) {
            EXPECT_GE(after + 1000, due);  // never early (1 ns of rounding)
        } else {
            EXPECT_LT(before, due + 1000);  // a read after the instant must see it
            EXPECT_EQ(iir, kIirFifosOn | kIirNonePending);
        }
        ASSERT_LT(before, due + static_cast<Ps>(500e9)) << "no time-out within 500 ms";
    }
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(m);
        return !edges.empty();
    }));
    {
        std::lock_guard lock(m);
        EXPECT_TRUE(edges[0].first);
        EXPECT_GE(edges[0].second + 1000, due);  // the output rose no earlier either
    }
    EXPECT_EQ(e.p.uart->Read8(kFifoWindowOffset), 1);  // a read clears it
    EXPECT_EQ(e.p.Iir(), kIirFifosOn | kIirNonePending);
    e.p.uart->SetInterruptCallback(nullptr);
}

TEST(UartTiming, ThousandBytesTakeAtLeastAThousandCharacterTimes) {
    Endpointed e;
    e.p.Program(1);
    const double ct = CharPs(10, 1);
    const std::vector<uint8_t> data = Sequence(1000, 7);
    Ps start = LineClock::Now();
    size_t sent = 0;
    while (sent < data.size()) {
        size_t room = kFifoDepth - e.p.TxLevel();
        for (; room > 0 && sent < data.size(); --room) e.p.Send({data[sent++]});
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(e.far->WaitForBytes(data.size(), 10000ms));
    std::vector<sim::LineSymbol> symbols = e.far->Symbols();
    ASSERT_EQ(symbols.size(), data.size());
    for (size_t i = 0; i < symbols.size(); ++i) {
        ASSERT_EQ(symbols[i].data, data[i]) << i;
        ASSERT_GE(symbols[i].at - start, (i + 1) * ct) << i;
        if (i > 0) {
            ASSERT_GE(symbols[i].at - symbols[i - 1].at, ct) << i;
        }
    }
    // Upper bound, generously: the test keeps the FIFO filled every millisecond.
    EXPECT_LT(symbols.back().at - start, 10 * 1000 * ct + 2e12);
}

TEST(UartTiming, BackToBackCharactersAreExactlyOneCharacterTimeApart) {
    struct {
        uint8_t lcr;
        uint16_t divisor;
        double bits;
    } frames[] = {{kLcr8N1, 2, 10}, {0x02 | kLcrParityOdd | kLcrStopBits, 1, 11},
                  {0x00 | kLcrStopBits, 3, 7.5}};
    for (const auto& f : frames) {
        Endpointed e;
        e.p.Program(f.divisor, f.lcr);
        e.p.Send(Sequence(40));
        ASSERT_TRUE(e.far->WaitForBytes(40, 3000ms));
        std::vector<sim::LineSymbol> s = e.far->Symbols();
        const Ps ct = e.p.uart->CharacterTime();
        EXPECT_GE(ct, CharPs(f.bits, f.divisor));
        for (size_t i = 1; i < s.size(); ++i) EXPECT_EQ(s[i].at - s[i - 1].at, ct);
        EXPECT_EQ(s[0].frame.dataBits, 5 + (f.lcr & kLcrWordLengthMask));
    }
}

// Sends the next bytes of data while no more than one receive FIFO is outstanding, so that a
// test thread held up on a loaded machine cannot make the far receiver overrun.
void Feed(Port& tx, const std::vector<uint8_t>& data, size_t& sent, size_t received) {
    while (sent < data.size() && sent - received < kFifoDepth && tx.TxLevel() < kFifoDepth) {
        tx.Send({data[sent++]});
    }
}

TEST(UartWires, LoopbackPlugReturnsDataAndTiesRtsToCtsAndDtrToDsrAndDcd) {
    Port p;
    auto plug = sim::ConnectLoopbackPlug(*p.uart);
    ASSERT_TRUE(plug);
    EXPECT_FALSE(sim::ConnectLoopbackPlug(*p.uart));  // one wire per UART
    p.Program(1);
    p.Set(kRegMcr, kMcrRts);
    EXPECT_EQ(p.Msr(), kMsrCts | kMsrDeltaCts);
    p.Set(kRegMcr, kMcrDtr);
    EXPECT_EQ(p.Msr(), kMsrDsr | kMsrDcd | kMsrDeltaCts | kMsrDeltaDsr | kMsrDeltaDcd);
    p.Send({'h', 'e', 'l', 'l', 'o'});
    ASSERT_TRUE(p.WaitRx(5));
    EXPECT_EQ(p.Drain(), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    plug.reset();
    EXPECT_EQ(p.Msr(), kMsrDeltaDsr | kMsrDeltaDcd);  // unplugged: the lines drop
}

TEST(UartWires, NullModemCarriesDataAndCrossesTheModemLinesBothWays) {
    Port a;
    Port b;
    auto cable = sim::ConnectNullModem(*a.uart, *b.uart);
    ASSERT_TRUE(cable);
    EXPECT_FALSE(sim::ConnectNullModem(*a.uart, *b.uart));
    a.Program(1);
    b.Program(1);
    a.Set(kRegMcr, kMcrDtr);
    EXPECT_EQ(b.Msr(), kMsrDsr | kMsrDcd | kMsrDeltaDsr | kMsrDeltaDcd);
    b.Set(kRegMcr, kMcrRts);
    EXPECT_EQ(a.Msr(), kMsrCts | kMsrDeltaCts);

    const std::vector<uint8_t> ab = Sequence(300, 0);
    const std::vector<uint8_t> ba = Sequence(300, 100);
    std::vector<uint8_t> gotB, gotA;
    size_t sentA = 0, sentB = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            Feed(a, ab, sentA, gotB.size());
            Feed(b, ba, sentB, gotA.size());
            for (uint8_t x : b.Drain()) gotB.push_back(x);
            for (uint8_t x : a.Drain()) gotA.push_back(x);
            return gotA.size() == ba.size() && gotB.size() == ab.size();
        },
        10000ms));
    EXPECT_EQ(gotB, ab);
    EXPECT_EQ(gotA, ba);
    EXPECT_EQ(a.uart->Stats().overruns + b.uart->Stats().overruns, 0u);
    EXPECT_EQ(a.Lsr() & kLsrLineErrors, 0);
    EXPECT_EQ(b.Lsr() & kLsrLineErrors, 0);
}

TEST(UartWires, FarEndMismatchFlagsFramingAndParityErrors) {
    constexpr uint8_t k7N1 = 0x02;
    constexpr uint8_t k8N2 = kLcr8N1 | kLcrStopBits;
    struct Case {
        const char* what;
        uint8_t txLcr;
        uint16_t txDivisor;
        uint32_t txClock;
        uint8_t rxLcr;
        uint16_t rxDivisor;
        uint8_t data;   // as received
        uint8_t errors;
    } cases[] = {
        {"same frame", kLcr8N1, 1, kClock, kLcr8N1, 1, 0xA5, 0},
        {"speed within 2 %", kLcr8N1, 1, kClock + kClock / 100, kLcr8N1, 1, 0xA5, 0},
        {"word length", kLcr8N1, 1, kClock, k7N1, 1, 0x25, kLsrFramingError},
        {"stop bits", k8N2, 1, kClock, kLcr8N1, 1, 0xA5, kLsrFramingError},
        {"parity kind", kLcr8N1 | kLcrParityEven, 1, kClock, kLcr8N1 | kLcrParityOdd, 1, 0xA5,
         kLsrParityError},
        {"mark against space", kLcr8N1 | kLcrParityMark, 1, kClock, kLcr8N1 | kLcrParitySpace, 1,
         0xA5, kLsrParityError},
        {"parity at the receiver only", kLcr8N1, 1, kClock, kLcr8N1 | kLcrParityEven, 1, 0xA5,
         kLsrFramingError | kLsrParityError},
        {"parity at the transmitter only", kLcr8N1 | kLcrParityEven, 1, kClock, kLcr8N1, 1, 0xA5,
         kLsrFramingError},
        // Sampled at half the speed: bits 2, 4 and 6 of the byte, then the stop bit and idle.
        {"speed", kLcr8N1, 1, kClock, kLcr8N1, 2, 0xF9, kLsrFramingError},
    };
    for (const Case& c : cases) {
        Port tx(sim::UartConfig{.clockHz = c.txClock});
        Port rx;
        auto cable = sim::ConnectNullModem(*tx.uart, *rx.uart);
        tx.Program(c.txDivisor, c.txLcr);
        rx.Program(c.rxDivisor, c.rxLcr);
        tx.Send({0xA5});
        ASSERT_TRUE(rx.WaitRx(1)) << c.what;
        EXPECT_EQ(rx.Lsr() & kLsrLineErrors, c.errors) << c.what;
        EXPECT_EQ(rx.uart->Read8(kFifoWindowOffset), c.data) << c.what;
    }
}

TEST(UartBreak, ReceiverGetsOneZeroByteWithBreakPerBreak) {
    Port a;
    Port b;
    auto cable = sim::ConnectNullModem(*a.uart, *b.uart);
    a.Program(1);
    b.Program(1);
    b.Set(kRegIer, kIerLineStatus);
    const auto ct = std::chrono::nanoseconds(a.uart->CharacterTime() / 1000);
    a.Set(kRegLcr, kLcr8N1 | kLcrBreak);
    a.Send({0x11});  // sent into the break: lost
    ASSERT_TRUE(b.WaitRx(1));
    std::this_thread::sleep_for(20 * ct);  // held for many character times
    EXPECT_EQ(b.RxLevel(), 1);
    EXPECT_EQ(b.Iir(), kIirFifosOn | kIirLineStatus);
    EXPECT_EQ(b.Lsr() & (kLsrBreak | kLsrDataReady), kLsrBreak | kLsrDataReady);
    EXPECT_EQ(b.uart->Read8(kFifoWindowOffset), 0);
    a.Set(kRegLcr, kLcr8N1);
    std::this_thread::sleep_for(5 * ct);
    EXPECT_EQ(b.RxLevel(), 0);
    a.Send({0x22});
    ASSERT_TRUE(b.WaitRx(1));
    EXPECT_EQ(b.Drain(), std::vector<uint8_t>{0x22});
    EXPECT_EQ(a.uart->Stats().breaksSent, 1u);
}

TEST(UartBreak, ABreakShorterThanACharacterArrivesAsAFramingError) {
    Port a;
    Port b;
    auto cable = sim::ConnectNullModem(*a.uart, *b.uart);
    a.Program(384);  // 300 baud: 33 ms per character, ample for two writes
    b.Program(384);
    a.Set(kRegLcr, kLcr8N1 | kLcrBreak);
    a.Set(kRegLcr, kLcr8N1);
    ASSERT_TRUE(b.WaitRx(1));
    EXPECT_EQ(b.Lsr() & kLsrLineErrors, kLsrFramingError);
    EXPECT_EQ(b.uart->Read8(kFifoWindowOffset), 0);
}

TEST(UartOverrun, AFullFifoLosesTheArrivingBytesAndFlagsOverrunOnce) {
    Endpointed e;
    e.p.Program(1);
    e.p.Set(kRegIer, kIerLineStatus);
    e.wire->Send(Sequence(70));
    ASSERT_TRUE(WaitUntil([&] { return e.wire->PendingToUart() == 0; }));
    EXPECT_EQ(e.p.RxLevel(), kFifoDepth);
    EXPECT_EQ(e.p.Iir(), kIirFifosOn | kIirLineStatus);
    EXPECT_EQ(e.p.Lsr() & kLsrOverrun, kLsrOverrun);
    EXPECT_EQ(e.p.Lsr() & kLsrOverrun, 0);
    EXPECT_EQ(e.p.Drain(), Sequence(64));  // the first 64 were kept
    EXPECT_EQ(e.p.uart->Stats().overruns, 6u);
}

TEST(UartInterruptOutput, RaisedAndDroppedOnTheTimingThreadOnly) {
    Port p;
    p.Program(1);
    struct Edge {
        bool asserted;
        std::thread::id thread;
        bool onTimingThread;
    };
    std::mutex m;
    std::vector<Edge> edges;
    p.uart->SetInterruptCallback([&](bool asserted) {
        std::lock_guard lock(m);
        edges.push_back({asserted, std::this_thread::get_id(),
                         LineClock::Shared().OnTimingThread()});
    });
    auto count = [&] {
        std::lock_guard lock(m);
        return edges.size();
    };
    p.Set(kRegIer, kIerTransmitEmpty);  // pending at once, but raised by the timing thread
    ASSERT_TRUE(WaitUntil([&] { return count() == 1; }));
    EXPECT_TRUE(p.uart->InterruptOutput());
    p.Iir();  // clears it
    ASSERT_TRUE(WaitUntil([&] { return count() == 2; }));
    p.Send({1});  // FIFO empties again when the byte enters the shifter
    ASSERT_TRUE(WaitUntil([&] { return count() == 3; }));
    std::this_thread::sleep_for(5ms);
    p.uart->SetInterruptCallback(nullptr);
    std::lock_guard lock(m);
    ASSERT_EQ(edges.size(), 3u);  // one call per change
    for (size_t i = 0; i < edges.size(); ++i) {
        EXPECT_EQ(edges[i].asserted, i % 2 == 0) << i;
        EXPECT_NE(edges[i].thread, std::this_thread::get_id()) << i;
        EXPECT_TRUE(edges[i].onTimingThread) << i;
    }
}

// The timing thread raises a far receiver's interrupt at its trigger even when nobody touches
// that receiver (nor the transmitter, whose own next event lies much later).
TEST(UartClock, FarReceiverInterruptRisesAtItsTriggerUntouched) {
    Port a;
    Port b;
    auto cable = sim::ConnectNullModem(*a.uart, *b.uart);
    a.Program(0);  // stopped: the FIFO fills without sending
    a.Send(Sequence(kFifoDepth));
    b.Program(48, kLcr8N1, kFcrEnable | kFcrTrigger4);  // 2400 baud: 4.2 ms per character
    b.Set(kRegIer, kIerReceivedData);
    std::atomic<Ps> raised{0};
    b.uart->SetInterruptCallback([&](bool asserted) {
        if (asserted && raised == 0) raised = LineClock::Now();
    });
    const double ct = CharPs(10, 48);
    std::this_thread::sleep_for(10ms);  // let the timing thread settle after the callback change
    // Starting the line: the transmitter's own next event (its FIFO empty) is 63 characters on.
    Ps start = LineClock::Now();
    a.Set(kRegLcr, kLcr8N1 | kLcrDlab);
    a.Set(kRegData, 48);
    a.Set(kRegLcr, kLcr8N1);
    ASSERT_TRUE(WaitUntil([&] { return raised != 0; }));
    EXPECT_GE(raised - start, 4 * ct);
    EXPECT_LT(raised - start, 4 * ct + 150e9) << "raised only when something else woke the line";
    b.uart->SetInterruptCallback(nullptr);
}

TEST(UartClock, TheLineIsAdvancedInBatchesNotPerCharacter) {
    Port a;
    Port b;
    auto cable = sim::ConnectNullModem(*a.uart, *b.uart);
    a.Program(1);  // 86.8 us per character, above the clock's smallest round gap
    b.Program(1, kLcr8N1, kFcrEnable | kFcrTrigger14);
    // As a driver moves data: FIFO-full bursts into the transmitter, the next one once the far
    // side has everything (so nothing can overrun), and the receiver drained when its trigger
    // level is reached or the rest of the burst has arrived.
    const size_t bursts = 16;
    size_t got = 0;
    uint64_t roundsBefore = LineClock::Shared().Rounds();
    for (size_t i = 0; i < bursts; ++i) {
        a.Send(Sequence(kFifoDepth));
        const size_t expected = (i + 1) * kFifoDepth;
        ASSERT_TRUE(WaitUntil([&] {
            size_t level = b.RxLevel();
            if (level >= 14 || got + level == expected) got += b.Drain().size();
            return got == expected;
        }));
    }
    uint64_t rounds = LineClock::Shared().Rounds() - roundsBefore;
    EXPECT_LT(rounds, bursts * kFifoDepth / 4) << "one wake-up per character or worse";
}

TEST(UartLifetime, WiresAndUartsMayGoWhileTrafficRuns) {
    for (int round = 0; round < 20; ++round) {
        auto a = std::make_shared<Port>(sim::UartConfig{.charTimeScale = 0.05});
        auto b = std::make_shared<Port>(sim::UartConfig{.charTimeScale = 0.05});
        a->Program(1);
        b->Program(1);
        b->Set(kRegIer, kIerReceivedData | kIerLineStatus);
        b->uart->SetInterruptCallback([](bool) {});
        auto cable = sim::ConnectNullModem(*a->uart, *b->uart);
        std::atomic<bool> stop{false};
        std::thread feeder([a, b, &stop] {
            while (!stop) {
                a->Send({1, 2, 3, 4});
                b->Drain();
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2 + round % 3));
        if (round % 2) {
            cable.reset();  // the wire first, then the UARTs
        } else {
            a.reset();  // a UART goes while its cable object remains
            EXPECT_EQ(b->uart->ModemInputs(), sim::ModemLines{});
        }
        std::this_thread::sleep_for(1ms);
        stop = true;
        feeder.join();
        cable.reset();
    }
}

}  // namespace
}  // namespace uarttest
