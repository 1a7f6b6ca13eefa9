// Settings records and flow control: XON/XOFF both ways, DTR and RTS hand-shake thresholds,
// RTS toggling around writes.
#include <cstring>
#include <thread>

#include "tests/port/port_fixture.h"

namespace zel::test {
namespace {

using FlowTest = OwnerPortTest;

// ---------------------------------------------------------------------------------------------
// Receive-side thresholds at the defaults (ring 2048, XoffLim 128).

struct ThresholdCase {
    const char* name;
    void (*edit)(plat::Dcb&);
    uint32_t trigger;  // bytes held at which the sender is held back (one fewer: not yet)
    uint32_t release;  // bytes held at which it is released (one more: still held)
    bool (*held)(FakePort*, PortDevice*);
    bool (*released)(FakePort*, PortDevice*);
};

bool XoffOut(FakePort* p, PortDevice* d) {
    return p->Immediates() == std::vector<uint8_t>{0x13} && HasFlags(d, XoffSent);
}
bool XonOut(FakePort* p, PortDevice* d) {
    return p->Immediates() == std::vector<uint8_t>{0x13, 0x11} && !HasFlags(d, XoffSent);
}
bool DtrLow(FakePort* p, PortDevice* d) {
    return !p->Dtr() && HasFlags(d, DtrFlowOff);
}
bool DtrHigh(FakePort* p, PortDevice* d) {
    return p->Dtr() && !HasFlags(d, DtrFlowOff);
}
bool RtsLow(FakePort* p, PortDevice* d) {
    return !p->Rts() && HasFlags(d, RtsFlowOff);
}
bool RtsHigh(FakePort* p, PortDevice* d) {
    return p->Rts() && !HasFlags(d, RtsFlowOff);
}

class ThresholdTest : public FlowTest, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(ThresholdTest, HoldsAndReleasesAtExactFillLevels) {
    const ThresholdCase& c = GetParam();
    EditDcb(h, c.edit);
    Receive(Pattern(c.trigger - 1));
    EXPECT_FALSE(c.held(port, device)) << "at " << c.trigger - 1;
    Receive(Pattern(1));
    EXPECT_TRUE(c.held(port, device)) << "at " << c.trigger;
    // Reading down to one above the release level keeps it held, one more releases it.
    ReadNow(h, c.trigger - (c.release + 1));
    EXPECT_EQ(RingCount(), c.release + 1);
    EXPECT_TRUE(c.held(port, device)) << "at " << c.release + 1;
    ReadNow(h, 1);
    EXPECT_TRUE(c.released(port, device)) << "at " << c.release;
}

INSTANTIATE_TEST_SUITE_P(
    Levels, ThresholdTest,
    ::testing::Values(ThresholdCase{"Xoff", [](plat::Dcb& d) { d.flags |= plat::kDcbInX; }, 1920,
                                    1919, XoffOut, XonOut},
                      ThresholdCase{"DtrHandshake",
                                    [](plat::Dcb& d) {
                                        d.flags = plat::WithDtrControl(d.flags,
                                                                       plat::kDtrControlHandshake);
                                    },
                                    1537, 1023, DtrLow, DtrHigh},
                      ThresholdCase{"RtsHandshake",
                                    [](plat::Dcb& d) {
                                        d.flags = plat::WithRtsControl(d.flags,
                                                                       plat::kRtsControlHandshake);
                                    },
                                    1537, 1023, RtsLow, RtsHigh}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FlowTest, XoffGoesOutOnceHowEverMuchMoreArrives) {
    EditDcb(h, [](plat::Dcb& d) { d.flags |= plat::kDcbInX | plat::kDcbTxContinueOnXoff; });
    Receive(Pattern(1920));
    Receive(Pattern(100));
    EXPECT_EQ(port->Immediates(), std::vector<uint8_t>{0x13});
    EXPECT_FALSE(HasFlags(device, TransmitHeld)) << "fTXContinueOnXoff keeps sending";
}

TEST_F(FlowTest, OwnXoffHoldsTheTransmitterUntilXon) {
    EditDcb(h, [](plat::Dcb& d) { d.flags |= plat::kDcbInX; });
    Receive(Pattern(1920));
    EXPECT_TRUE(HasFlags(device, TransmitHeld));
    SetTimeouts(h, plat::kMaxDword, 0, 0, 0, 100);
    const std::vector<uint8_t> data = Pattern(10);
    EXPECT_EQ(Write(h, data.data(), 10), 0u) << "held: nothing handed over";
    ReadNow(h, 1);
    EXPECT_FALSE(HasFlags(device, TransmitHeld));
    SetTimeouts(h, plat::kMaxDword, 0, 0, 0, 0);
    EXPECT_EQ(Write(h, data.data(), 10), 10u);
}

TEST_F(FlowTest, ReceivedXoffHoldsAWriteAndXonResumesIt) {
    EditDcb(h, [](plat::Dcb& d) { d.flags |= plat::kDcbOutX; });
    // Slow enough that the write is still going when the XOFF arrives.
    port->SetTxFifoCapacity(16);
    port->SetDrainPerTick(1);
    const std::vector<uint8_t> data = Pattern(600);
    uint32_t n = 0;
    std::thread writer([&] { n = Write(h, data.data(), 600); });
    ASSERT_TRUE(WaitUntil([&] { return port->Accepted().size() >= 32; }));
    port->InjectReceive({'a', 0x13, 'b'});
    ASSERT_TRUE(WaitUntil([&] { return HasFlags(device, TransmitHeld); }));
    ASSERT_TRUE(WaitUntil([&] { return port->TransmitFifoLevel() == 0; }));
    const size_t heldAt = port->Accepted().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(port->Accepted().size(), heldAt) << "nothing handed over while held";
    EXPECT_LT(heldAt, 600u);
    const plat::SerialDevStatus status = CommStatus(h);
    EXPECT_TRUE(status.ComStat.flags & plat::kComStatXoffHold);
    EXPECT_EQ(status.ComStat.cbOutQue, 600u);
    port->InjectReceive({0x11, 'c'});
    writer.join();
    EXPECT_EQ(n, 600u);
    EXPECT_EQ(ReadNow(h, 10), (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(CommStatus(h).ComStat.cbOutQue, 0u);
}

TEST_F(FlowTest, FlowCharactersAboveSevenBitsAreRecognised) {
    EditDcb(h, [](plat::Dcb& d) {
        d.flags |= plat::kDcbOutX;
        d.XonChar = static_cast<char>(0x91);
        d.XoffChar = static_cast<char>(0x93);
    });
    Receive({0x93, 'x'});
    EXPECT_TRUE(HasFlags(device, TransmitHeld));
    Receive({0x91});
    EXPECT_FALSE(HasFlags(device, TransmitHeld));
    EXPECT_EQ(ReadNow(h, 10), std::vector<uint8_t>{'x'});
}

TEST_F(FlowTest, EqualFlowCharactersCountAsXoff) {
    EditDcb(h, [](plat::Dcb& d) {
        d.flags |= plat::kDcbInX;
        d.XonChar = 0x13;
    });
    Receive({0x13});
    EXPECT_TRUE(HasFlags(device, TransmitHeld));
    EXPECT_EQ(RingCount(), 0u);
}

TEST_F(FlowTest, FlowCharactersAloneAreNoArrivedData) {
    EditDcb(h, [](plat::Dcb& d) { d.flags |= plat::kDcbOutX; });
    SetWaitMask(h, plat::EV_RXCHAR);
    Receive({0x13, 0x11, 0x13});
    EXPECT_EQ(h->EventsSeen, 0u);
    EXPECT_EQ(RingCount(), 0u);
    EXPECT_EQ(plat::WaitOne(device->ReceiveEvent, 0), plat::kWaitTimedOut);
    Receive({'z'});
    EXPECT_EQ(h->EventsSeen, plat::EV_RXCHAR);
}

// ---------------------------------------------------------------------------------------------
// Adopting records.

struct LineModeCase {
    uint32_t mode;  // for both DTR and RTS
    bool before;    // both lines before the record is adopted
    bool dtrAfter;
    bool rtsAfter;
};

class LineModeTest : public FlowTest, public ::testing::WithParamInterface<LineModeCase> {};

TEST_P(LineModeTest, AdoptingARecordDrivesTheLines) {
    const LineModeCase& c = GetParam();
    port->SetDTR(c.before);
    port->SetRTS(c.before);
    EditDcb(h, [&](plat::Dcb& d) {
        d.flags = plat::WithRtsControl(plat::WithDtrControl(d.flags, c.mode), c.mode);
    });
    EXPECT_EQ(port->Dtr(), c.dtrAfter);
    EXPECT_EQ(port->Rts(), c.rtsAfter);
}

INSTANTIATE_TEST_SUITE_P(Modes, LineModeTest,
                         ::testing::Values(LineModeCase{0, true, false, false},
                                           LineModeCase{1, false, true, true},
                                           LineModeCase{2, false, true, true},  // ring empty
                                           LineModeCase{3, true, true, true},   // unchanged
                                           LineModeCase{3, false, false, false}));

TEST_F(FlowTest, ReadoptingHandshakeOverAFullRingTreatsDtrAndRtsDifferently) {
    EditDcb(h, [](plat::Dcb& d) {
        d.flags = plat::WithRtsControl(plat::WithDtrControl(d.flags, plat::kDtrControlHandshake),
                                       plat::kRtsControlHandshake);
    });
    Receive(Pattern(1600));
    ASSERT_TRUE(DtrLow(port, device));
    ASSERT_TRUE(RtsLow(port, device));
    EditDcb(h, [](plat::Dcb&) {});
    EXPECT_TRUE(DtrHigh(port, device)) << "a set DtrFlowOff is always released";
    EXPECT_TRUE(RtsLow(port, device)) << "RtsFlowOff stays while more than 3/4 full";
}

TEST_F(FlowTest, ARefusedRecordChangesNothing) {
    const plat::Dcb before = GetDcb(h);
    plat::Dcb bad = before;
    bad.ByteSize = 9;
    bad.flags |= plat::kDcbOutX;
    plat::SetLastErrorCode(0);
    EXPECT_EQ(SetDcb(h, bad), 0);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
    const plat::Dcb after = GetDcb(h);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0);
    EXPECT_FALSE(HasFlags(device, SoftwareFlow));
}

TEST_F(FlowTest, HandshakeModesRefuseManualLineControl) {
    const struct {
        uint32_t code;
        uint32_t dtrMode;
        uint32_t rtsMode;
        bool allowed;
    } cases[] = {
        {plat::IOCTL_SERIAL_SET_DTR, plat::kDtrControlHandshake, 1, false},
        {plat::IOCTL_SERIAL_CLR_DTR, plat::kDtrControlHandshake, 1, false},
        {plat::IOCTL_SERIAL_SET_DTR, plat::kDtrControlEnable, 1, true},
        {plat::IOCTL_SERIAL_SET_RTS, 1, plat::kRtsControlHandshake, false},
        {plat::IOCTL_SERIAL_CLR_RTS, 1, plat::kRtsControlHandshake, false},
        {plat::IOCTL_SERIAL_SET_RTS, 1, plat::kRtsControlToggle, true},
        {plat::IOCTL_SERIAL_CLR_RTS, 1, plat::kRtsControlDisable, true},
    };
    for (const auto& c : cases) {
        EditDcb(h, [&](plat::Dcb& d) {
            d.flags = plat::WithRtsControl(plat::WithDtrControl(d.flags, c.dtrMode), c.rtsMode);
        });
        plat::SetLastErrorCode(0);
        EXPECT_EQ(Ioctl(h, c.code), c.allowed ? 1 : 0) << std::hex << c.code;
        EXPECT_EQ(plat::LastErrorCode(), c.allowed ? 0u : plat::kErrorInvalidParameter);
    }
    EditDcb(h, [](plat::Dcb& d) { d.flags = plat::WithDtrControl(d.flags, 1); });
    ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_CLR_DTR), 1);
    EXPECT_FALSE(port->Dtr());
    ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_DTR), 1);
    EXPECT_TRUE(port->Dtr());
}

TEST_F(FlowTest, ManualXoffAndXonOnlyWithSoftwareFlow) {
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_XOFF), 1);
    EXPECT_FALSE(HasFlags(device, TransmitHeld | XoffSent));
    EditDcb(h, [](plat::Dcb& d) { d.flags |= plat::kDcbOutX; });
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_XOFF), 1);
    EXPECT_TRUE(HasFlags(device, TransmitHeld));
    EXPECT_TRUE(HasFlags(device, XoffSent));
    const plat::SerialDevStatus status = CommStatus(h);
    EXPECT_TRUE(status.ComStat.flags & plat::kComStatXoffHold);
    EXPECT_TRUE(status.ComStat.flags & plat::kComStatXoffSent);
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_XON), 1);
    EXPECT_FALSE(HasFlags(device, TransmitHeld | XoffSent));
    EXPECT_TRUE(port->Immediates().empty()) << "neither request sends anything";
}

TEST_F(FlowTest, ReceiveClearAfterXoffSendsOneXon) {
    EditDcb(h, [](plat::Dcb& d) { d.flags |= plat::kDcbInX; });
    Receive(Pattern(1950));
    ASSERT_TRUE(XoffOut(port, device));
    Purge(h, plat::PURGE_RXCLEAR);
    EXPECT_EQ(port->Immediates(), (std::vector<uint8_t>{0x13, 0x11}));
    const plat::SerialDevStatus status = CommStatus(h);
    EXPECT_EQ(status.ComStat.cbInQue, 0u);
    EXPECT_FALSE(status.ComStat.flags & plat::kComStatXoffSent);
    Purge(h, plat::PURGE_RXCLEAR);
    EXPECT_EQ(port->Immediates().size(), 2u) << "no second XON";
}

TEST_F(FlowTest, RtsToggleRaisesRtsForEachWriteOnly) {
    EditDcb(h,
            [](plat::Dcb& d) { d.flags = plat::WithRtsControl(d.flags, plat::kRtsControlToggle); });
    port->SetRTS(0);
    const std::vector<uint8_t> data = Pattern(300);
    EXPECT_EQ(Write(h, data.data(), 300), 300u);
    const std::vector<TransmitCall> calls = port->TransmitCalls();
    ASSERT_FALSE(calls.empty());
    for (const TransmitCall& call : calls) EXPECT_TRUE(call.rtsHigh);
    EXPECT_FALSE(port->Rts()) << "low after the write";
    const uint32_t changes = port->rtsChanges.load();
    uint8_t none = 0;
    EXPECT_EQ(Write(h, &none, 0), 0u);
    EXPECT_FALSE(port->Rts());
    EXPECT_EQ(port->rtsChanges.load(), changes) << "an empty write never raises RTS";
}

}  // namespace
}  // namespace zel::test
