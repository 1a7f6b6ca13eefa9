// Interrupt identification, FIFO transfer, line status, modem lines and register save and
// restore of a UART port, against a scripted UART where exact readings matter.
#include <gtest/gtest.h>

#include <chrono>

#include "hw/uart16550.h"
#include "sim/bus/sim_bus.h"
#include "tests/common/scripted_uart.h"
#include "tests/common/uart_harness.h"

namespace zeltest {
namespace {

using namespace zel;

using Reg = ScriptedUart::Reg;
using Access = ScriptedUart::Access;

// ---------------------------------------------------------------------------------------------
// Interrupt identification.

TEST(UartPortInterrupts, IdentificationToInterruptKinds) {
    struct Case {
        uint8_t iir;
        std::vector<uint32_t> reported;
    };
    const Case cases[] = {
        {0xC1, {}},
        {0xC0, {zel::InterruptModem}},
        {0xC2, {zel::InterruptTransmit}},
        {0xC4, {zel::InterruptReceive}},
        {0xC6, {zel::InterruptLine}},
        {0xCC, {zel::InterruptReceive}},
        {0xCE, {zel::InterruptReceive}},
        {0xC8, {0}},
        {0xCA, {0}},
    };
    for (const Case& c : cases) {
        ScriptedPort p;
        ASSERT_NE(p.port, nullptr);
        p.port->ClearRecords();
        p.uart->Queue(Reg::IirFcr, {c.iir});
        p.port->ServiceInterrupt();
        EXPECT_EQ(p.port->InterruptCalls(), c.reported) << int{c.iir};
        // The identification register alone is read, and nothing else is touched.
        EXPECT_EQ(p.uart->Log().size(), c.iir & kIirNoInterrupt ? 1u : 2u) << int{c.iir};
    }
}

// A UART whose identification never reads "none pending" (a card that reads zeros, or all ones
// except bit 0) must not keep the interrupt thread inside one service call for ever.
TEST(UartPortInterrupts, ServiceEndsWhenIdentificationNeverClears) {
    for (uint8_t iir : {uint8_t{0x00}, uint8_t{0xC4}, uint8_t{0xFE}}) {
        ScriptedPort p;
        ASSERT_NE(p.port, nullptr);
        p.uart->SetSteady(Reg::IirFcr, iir);
        p.port->ClearRecords();
        p.port->ServiceInterrupt();
        EXPECT_EQ(p.port->InterruptCalls().size(), UartPort::kMaxServicePasses) << int{iir};
    }
}

// ---------------------------------------------------------------------------------------------
// Transmit side.

struct TransmitCase {
    const char* what;
    uint32_t txLevel;  // bytes already in the transmit FIFO
    uint32_t count;
    uint32_t sent;
    uint64_t wordWrites, byteWrites;
};

TEST(UartPortTransmit, MovesWhatTheFifoHasRoomForInWordsAndBytes) {
    const TransmitCase cases[] = {
        {"10 bytes into an empty FIFO", 0, 10, 10, 2, 2},
        {"100 bytes: one FIFO full", 0, 100, 64, 16, 0},
        {"3 bytes", 0, 3, 3, 0, 3},
        {"room for 5", 59, 10, 5, 1, 1},
        {"full FIFO", 64, 10, 0, 0, 0},
    };
    for (const TransmitCase& c : cases) {
        ScriptedPort p;
        ASSERT_NE(p.port, nullptr);
        p.port->InitTransmit(1);
        p.uart->SetSteady(Reg::TxLevel, static_cast<uint8_t>(c.txLevel));
        p.uart->ClearLog();
        // The caller's buffer need not be aligned.
        std::vector<uint8_t> storage = Pattern(c.count + 1);
        const uint8_t* data = storage.data() + 1;
        uint32_t count = c.count;
        sim::ResetCounters(p.uart.get());
        p.port->TransmitData(data, &count);
        EXPECT_EQ(count, c.sent) << c.what;
        EXPECT_EQ(p.uart->Transmitted(), std::vector<uint8_t>(data, data + c.sent)) << c.what;
        size_t words = 0, bytes = 0, status = 0;
        for (const Access& a : p.uart->Log()) {
            if (a.write && a.reg == Reg::Fifo) (a.width == 4 ? words : bytes)++;
            if (!a.write && (a.reg == Reg::Lsr || a.reg == Reg::Msr)) ++status;
        }
        EXPECT_EQ(words, c.wordWrites) << c.what;
        EXPECT_EQ(bytes, c.byteWrites) << c.what;
        // No status register is polled on the way: the level register says it all.
        EXPECT_EQ(status, 0u) << c.what;
        // The transmit interrupt goes on to ask for more.
        EXPECT_EQ(p.uart->Written(Reg::Ier) & kIerTransmitEmpty, kIerTransmitEmpty) << c.what;
    }
}

TEST(UartPortTransmit, NothingToSendSwitchesTheInterruptOff) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    p.port->InitTransmit(1);
    p.port->EnableTransmitInterrupt(1);
    uint8_t byte = 0x55;
    uint32_t count = 0;
    p.port->TransmitData(&byte, &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(p.uart->Written(Reg::Ier) & kIerTransmitEmpty, 0);
    EXPECT_TRUE(p.uart->Transmitted().empty());
}

TEST(UartPortTransmit, OneByteAtATimeBeforeTheFifosAreOn) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    const std::vector<uint8_t> data = Pattern(10);
    uint32_t count = 10;
    p.port->TransmitData(data.data(), &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(p.uart->CountOf(false, Reg::TxLevel), 0u);
    p.uart->QueueReceived(Pattern(10));
    p.uart->SetSteady(Reg::RxLevel, 10);
    uint8_t buffer[16];
    count = sizeof(buffer);
    p.port->ReceiveData(buffer, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(p.uart->CountOf(false, Reg::RxLevel), 0u);
}

TEST(UartPortTransmit, UnsteadyLevelReadingsAllowOneByte) {
    struct Case {
        const char* what;
        std::vector<uint8_t> levels;
        uint8_t steady;
    };
    const Case cases[] = {
        {"never the same twice", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 10},
        {"beyond the FIFO", {}, 65},
    };
    for (const Case& c : cases) {
        ScriptedPort p;
        ASSERT_NE(p.port, nullptr);
        p.port->InitTransmit(1);
        p.uart->Queue(Reg::TxLevel, c.levels);
        p.uart->SetSteady(Reg::TxLevel, c.steady);
        EXPECT_EQ(p.port->GetTransmitFifoRoom(), 1u) << c.what;
        EXPECT_EQ(p.uart->CountOf(false, Reg::TxLevel), 10u) << c.what;
    }
}

TEST(UartPortTransmit, HandShakingHoldsAndTheLineComingBackResumes) {
    struct Case {
        const char* what;
        uint32_t flowFlag;
        uint8_t lineBack;
    };
    const Case cases[] = {{"CTS", plat::kDcbOutxCtsFlow, kMsrCts},
                          {"DSR", plat::kDcbOutxDsrFlow, kMsrDsr}};
    for (const Case& c : cases) {
        ScriptedPort p;
        ASSERT_NE(p.port, nullptr);
        ASSERT_TRUE(p.port->Open());
        plat::Dcb dcb = p.port->AppliedDcb();
        dcb.flags |= c.flowFlag;
        ASSERT_TRUE(p.port->SetDCB(&dcb));
        p.uart->SetSteady(Reg::Msr, 0);
        const std::vector<uint8_t> data = Pattern(10);
        uint32_t count = 10;
        p.port->TransmitData(data.data(), &count);
        EXPECT_EQ(count, 0u) << c.what;
        EXPECT_TRUE(p.uart->Transmitted().empty()) << c.what;
        EXPECT_EQ(p.uart->Written(Reg::Ier) & kIerTransmitEmpty, 0) << c.what;
        // The line returns: the next modem status read lets the transmit interrupt run.
        p.uart->SetSteady(Reg::Msr, c.lineBack);
        p.port->GetModemStatus();
        EXPECT_EQ(p.uart->Written(Reg::Ier) & kIerTransmitEmpty, kIerTransmitEmpty) << c.what;
        // Once only: a later read finds nothing held.
        p.port->EnableTransmitInterrupt(0);
        p.port->GetModemStatus();
        EXPECT_EQ(p.uart->Written(Reg::Ier) & kIerTransmitEmpty, 0) << c.what;
        p.port->Close();
    }
}

TEST(UartPortTransmit, ImmediateCharacterGoesOutAtOnceWhenTheHoldingRegisterIsEmpty) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    p.uart->SetSteady(Reg::Lsr, kLsrTransmitHoldingEmpty | kLsrTransmitterEmpty);
    const auto start = std::chrono::steady_clock::now();
    p.port->TransmitImmediate(0x13);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(p.uart->Written(Reg::Data), 0x13);
    EXPECT_EQ(p.uart->CountOf(true, Reg::Data), 1u);
    EXPECT_LT(elapsed, std::chrono::milliseconds(500));
}

// ---------------------------------------------------------------------------------------------
// Receive side.

TEST(UartPortReceive, MovesWhatIsWantedUpToTheFifoLevel) {
    struct Case {
        const char* what;
        uint8_t level;
        uint8_t lsr;
        uint32_t wanted;
        uint32_t moved;
        size_t wordReads;
    };
    const Case cases[] = {
        {"16 of 40", 40, kLsrDataReady, 16, 16, 4},
        {"all of 7", 7, kLsrDataReady, 64, 7, 1},
        {"an error in the FIFO: one byte", 40, kLsrDataReady | kLsrFifoError, 16, 1, 0},
        {"nothing wanted", 40, kLsrDataReady, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ScriptedPort p;
        ASSERT_NE(p.port, nullptr);
        p.port->InitTransmit(1);
        const std::vector<uint8_t> data = Pattern(c.level, 0x40);
        p.uart->QueueReceived(data);
        p.uart->SetSteady(Reg::RxLevel, c.level);
        p.uart->SetSteady(Reg::Lsr, c.lsr);
        p.uart->ClearLog();
        std::vector<uint8_t> buffer(64, 0);
        uint32_t count = c.wanted;
        EXPECT_EQ(p.port->ReceiveData(buffer.data(), &count), 0u);
        EXPECT_EQ(count, c.moved) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + count),
                  std::vector<uint8_t>(data.begin(), data.begin() + c.moved))
            << c.what;
        size_t words = 0;
        for (const Access& a : p.uart->Log()) {
            if (!a.write && a.reg == Reg::Fifo && a.width == 4) ++words;
        }
        EXPECT_EQ(words, c.wordReads) << c.what;
    }
}

TEST(UartPortReceive, NullArgumentsDoNothing) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    uint8_t byte = 0;
    uint32_t count = 1;
    EXPECT_EQ(p.port->ReceiveData(nullptr, &count), 0u);
    EXPECT_EQ(p.port->ReceiveData(&byte, nullptr), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(p.uart->Log().empty());
}

TEST(UartPortReceive, PurgeDuringTheTransferDropsWhatWasRead) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    p.port->InitTransmit(1);
    p.uart->QueueReceived(Pattern(8));
    p.uart->SetSteady(Reg::RxLevel, 8);
    bool purged = false;
    p.port->onFilter = [&](ProbePort& port, uint8_t, plat::Bool) {
        if (!purged) {
            purged = true;
            port.ClearReceive();
        }
    };
    uint8_t buffer[16];
    uint32_t count = sizeof(buffer);
    p.port->ReceiveData(buffer, &count);
    EXPECT_TRUE(purged);
    EXPECT_EQ(count, 0u);
    // The next transfer is not affected.
    p.port->onFilter = nullptr;
    p.uart->QueueReceived(Pattern(2));
    p.uart->SetSteady(Reg::RxLevel, 2);
    count = sizeof(buffer);
    p.port->ReceiveData(buffer, &count);
    EXPECT_EQ(count, 2u);
}

TEST(UartPortReceive, ErrorSeenWhileSizingTheTransferIsReported) {
    // The line status read that sizes the transfer clears the error bits of the byte at the top
    // of the FIFO; they must still reach the line errors and that byte.
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    p.port->InitTransmit(1);
    p.uart->QueueReceived({0x41});
    p.uart->SetSteady(Reg::RxLevel, 1);
    p.uart->Queue(Reg::Lsr, {kLsrDataReady | kLsrFifoError | kLsrParityError});
    p.uart->SetSteady(Reg::Lsr, kLsrTransmitHoldingEmpty);
    std::vector<plat::Bool> parity;
    p.port->onFilter = [&](ProbePort&, uint8_t, plat::Bool error) { parity.push_back(error); };
    uint8_t buffer[4];
    uint32_t count = sizeof(buffer);
    p.port->ReceiveData(buffer, &count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(parity, (std::vector<plat::Bool>{1}));
    EXPECT_EQ(p.port->GetLineErrors(), plat::CE_RXPARITY);
    EXPECT_EQ(p.port->EventCount(plat::EV_ERR), 1u);
}

TEST(UartPortLineStatus, ErrorsAndBreakAreReported) {
    struct Case {
        uint8_t lsr;
        uint32_t errors;
        bool breakEvent;
    };
    const Case cases[] = {
        {kLsrTransmitHoldingEmpty, 0, false},
        {kLsrOverrunError, plat::CE_OVERRUN, false},
        {kLsrParityError | kLsrFramingError, plat::CE_RXPARITY | plat::CE_FRAME, false},
        {kLsrBreakInterrupt | kLsrDataReady, 0, true},
        {kLsrErrorMask, plat::CE_OVERRUN | plat::CE_RXPARITY | plat::CE_FRAME, true},
    };
    for (const Case& c : cases) {
        ScriptedPort p;
        ASSERT_NE(p.port, nullptr);
        p.port->ClearRecords();
        p.uart->SetSteady(Reg::Lsr, c.lsr);
        EXPECT_EQ(p.port->ServiceLineStatus(), c.lsr);
        EXPECT_EQ(p.port->GetLineErrors(), c.errors) << int{c.lsr};
        EXPECT_EQ(p.port->EventCount(plat::EV_ERR), c.errors ? 1u : 0u) << int{c.lsr};
        EXPECT_EQ(p.port->EventCount(plat::EV_BREAK), c.breakEvent ? 1u : 0u) << int{c.lsr};
    }
}

// ---------------------------------------------------------------------------------------------
// FIFO resets.

TEST(UartPortFifoControl, EachResetEmptiesOnlyItsOwnFifo) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    p.port->InitReceive(1);
    EXPECT_EQ(p.uart->Written(Reg::IirFcr), kFcrTrigger8 | kFcrFifoEnable | kFcrReceiveReset);
    p.port->InitTransmit(1);
    EXPECT_EQ(p.uart->Written(Reg::IirFcr), kFcrTrigger8 | kFcrFifoEnable | kFcrTransmitReset);
    p.port->ClearReceive();
    EXPECT_EQ(p.uart->Written(Reg::IirFcr), kFcrTrigger8 | kFcrFifoEnable | kFcrReceiveReset);
    p.port->ClearTransmit();
    EXPECT_EQ(p.uart->Written(Reg::IirFcr), kFcrTrigger8 | kFcrFifoEnable | kFcrTransmitReset);
    // A purge of both: receive side first.
    p.uart->ClearLog();
    p.port->Purge(plat::PURGE_RXCLEAR | plat::PURGE_TXCLEAR);
    std::vector<uint32_t> fcr;
    for (const Access& a : p.uart->Log()) {
        if (a.write && a.reg == Reg::IirFcr) fcr.push_back(a.value);
    }
    EXPECT_EQ(fcr, (std::vector<uint32_t>{kFcrTrigger8 | kFcrFifoEnable | kFcrReceiveReset,
                                          kFcrTrigger8 | kFcrFifoEnable | kFcrTransmitReset}));
}

// ---------------------------------------------------------------------------------------------
// Modem and control lines.

TEST(UartPortModem, StatusRegisterToEventsAndStatus) {
    struct Case {
        uint8_t msr;
        std::vector<ProbePort::EventCall> events;
        uint32_t status;
    };
    const Case cases[] = {
        {0x11, {{plat::EV_CTS, plat::MS_CTS_ON}}, plat::MS_CTS_ON},
        {0xB0, {}, plat::MS_CTS_ON | plat::MS_DSR_ON | plat::MS_RLSD_ON},
        {0x04, {{plat::EV_RING, 0}}, 0},
        {0x2A, {{plat::EV_DSR | plat::EV_RLSD, plat::MS_DSR_ON}}, plat::MS_DSR_ON},
        {0xFF,
         {{plat::EV_CTS | plat::EV_DSR | plat::EV_RING | plat::EV_RLSD,
           plat::MS_CTS_ON | plat::MS_DSR_ON | plat::MS_RING_ON | plat::MS_RLSD_ON}},
         plat::MS_CTS_ON | plat::MS_DSR_ON | plat::MS_RING_ON | plat::MS_RLSD_ON},
    };
    for (const Case& c : cases) {
        ScriptedPort p;
        ASSERT_NE(p.port, nullptr);
        p.port->ClearRecords();
        p.uart->Queue(Reg::Msr, {c.msr});
        EXPECT_EQ(p.port->GetModemStatus(), c.status) << int{c.msr};
        EXPECT_EQ(p.port->EventCalls(), c.events) << int{c.msr};
        EXPECT_EQ(p.uart->CountOf(false, Reg::Msr), 1u);
    }
}

TEST(UartPortModem, ControlLinesAndInterruptEnables) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    EXPECT_EQ(p.uart->Written(Reg::Mcr), kMcrOut2);
    p.port->SetDTR(1);
    p.port->SetRTS(1);
    EXPECT_EQ(p.uart->Written(Reg::Mcr), kMcrOut2 | kMcrDtr | kMcrRts);
    p.port->SetDTR(0);
    EXPECT_EQ(p.uart->Written(Reg::Mcr), kMcrOut2 | kMcrRts);
    p.port->SetDTR(1);
    p.port->InitModem(1);
    EXPECT_EQ(p.uart->Written(Reg::Mcr), kMcrOut2);
    p.port->InitInterrupts(0);
    EXPECT_EQ(p.uart->Written(Reg::Ier), kIerModemStatus);
    p.port->InitInterrupts(1);
    EXPECT_EQ(p.uart->Written(Reg::Ier), kIerReceiveData | kIerLineStatus | kIerModemStatus);
    p.port->InitModem(0);
    EXPECT_EQ(p.uart->Written(Reg::Mcr), 0);
    EXPECT_EQ(p.uart->Written(Reg::Ier), kIerReceiveData | kIerLineStatus);
}

// ---------------------------------------------------------------------------------------------
// Power: register save and restore.

TEST(UartPortPower, SavesOnceOnTheWayDownAndRestoresOnceOnTheWayUp) {
    ScriptedPort p;
    ASSERT_NE(p.port, nullptr);
    ASSERT_TRUE(p.port->SetBaudRate(9600, 0));
    p.port->SetByteSize(7);
    p.port->SetDTR(1);
    const uint8_t ier = p.uart->Written(Reg::Ier);
    const uint8_t lcr = p.uart->Written(Reg::Lcr);
    const uint8_t mcr = p.uart->Written(Reg::Mcr);
    const uint8_t fcr = p.uart->Written(Reg::IirFcr);
    p.uart->ClearLog();

    ASSERT_TRUE(p.port->SetDevicePowerState(plat::D3));
    EXPECT_EQ(p.uart->Log(), (std::vector<Access>{{false, Reg::Ier, 1, ier},
                                                  {false, Reg::Lcr, 1, lcr},
                                                  {false, Reg::Mcr, 1, mcr}}));
    p.uart->ClearLog();
    ASSERT_TRUE(p.port->SetDevicePowerState(plat::D4));
    EXPECT_TRUE(p.uart->Log().empty());
    EXPECT_EQ(p.port->GetDevicePowerState(), plat::D4);

    ASSERT_TRUE(p.port->SetDevicePowerState(plat::D0));
    EXPECT_EQ(p.uart->Log(),
              (std::vector<Access>{{true, Reg::IirFcr, 1, fcr},
                                   {true, Reg::Ier, 1, ier},
                                   {true, Reg::Lcr, 1, lcr},
                                   {true, Reg::Mcr, 1, mcr},
                                   {false, Reg::Lcr, 1, lcr},
                                   {true, Reg::Lcr, 1, uint32_t{lcr} | kLcrDivisorLatch},
                                   {true, Reg::Dll, 1, 12},
                                   {true, Reg::Dlm, 1, 0},
                                   {true, Reg::Lcr, 1, lcr}}));
    EXPECT_EQ(p.port->GetDevicePowerState(), plat::D0);
    // Back at full power a second D0 does nothing.
    p.uart->ClearLog();
    EXPECT_TRUE(p.port->SetDevicePowerState(plat::D0));
    EXPECT_TRUE(p.uart->Log().empty());
}

}  // namespace
}  // namespace zeltest
