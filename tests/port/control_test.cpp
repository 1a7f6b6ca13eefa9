// IOControl: buffer needs and error codes of every code, the access rules of the three kinds
// of handle, the requests passed on to PowerIoControl, and the process-exit notification.
#include <cstring>
#include <thread>

#include "tests/port/port_fixture.h"

namespace zel::test {
namespace {

constexpr uint32_t kSentinelError = 0x5A5A;

using ControlTest = OwnerPortTest;

// ---------------------------------------------------------------------------------------------
// Every code of the serial range: what it needs and what it does with enough.

struct CodeCase {
    const char* name;
    uint32_t code;
    uint32_t inBytes;   // need of the input buffer (0: none)
    uint32_t outBytes;  // need of the output buffer and actual (0: none)
    bool monitorMay;    // a handle without read or write access may use it
};

constexpr CodeCase kSerialCodes[] = {
    {"SetBreakOn", plat::IOCTL_SERIAL_SET_BREAK_ON, 0, 0, false},
    {"SetBreakOff", plat::IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, false},
    {"SetDtr", plat::IOCTL_SERIAL_SET_DTR, 0, 0, false},
    {"ClrDtr", plat::IOCTL_SERIAL_CLR_DTR, 0, 0, false},
    {"SetRts", plat::IOCTL_SERIAL_SET_RTS, 0, 0, false},
    {"ClrRts", plat::IOCTL_SERIAL_CLR_RTS, 0, 0, false},
    {"SetXoff", plat::IOCTL_SERIAL_SET_XOFF, 0, 0, false},
    {"SetXon", plat::IOCTL_SERIAL_SET_XON, 0, 0, false},
    {"GetWaitMask", plat::IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, true},
    {"SetWaitMask", plat::IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, true},
    {"WaitOnMask", plat::IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, true},
    {"GetCommStatus", plat::IOCTL_SERIAL_GET_COMMSTATUS, 0, 16, false},
    {"GetModemStatus", plat::IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, true},
    {"GetProperties", plat::IOCTL_SERIAL_GET_PROPERTIES, 0, 64, true},
    {"SetTimeouts", plat::IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, false},
    {"GetTimeouts", plat::IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, true},
    {"Purge", plat::IOCTL_SERIAL_PURGE, 4, 0, false},
    {"SetQueueSize", plat::IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, false},
    {"ImmediateChar", plat::IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, false},
    {"GetDcb", plat::IOCTL_SERIAL_GET_DCB, 0, 28, false},
    {"SetDcb", plat::IOCTL_SERIAL_SET_DCB, 28, 0, false},
    {"EnableIr", plat::IOCTL_SERIAL_ENABLE_IR, 0, 0, false},
    {"DisableIr", plat::IOCTL_SERIAL_DISABLE_IR, 0, 0, false},
};

class SerialCodeTest : public ControlTest, public ::testing::WithParamInterface<CodeCase> {
  protected:
    // An input that every code accepts: the current record, the current time-outs, a mask
    // whose event has already happened, purge flags that change nothing.
    std::vector<uint8_t> GoodInput(uint32_t code) {
        std::vector<uint8_t> in(64, 0);
        if (code == plat::IOCTL_SERIAL_SET_DCB) {
            const plat::Dcb dcb = GetDcb(h);
            std::memcpy(in.data(), &dcb, sizeof(dcb));
        } else if (code == plat::IOCTL_SERIAL_SET_TIMEOUTS) {
            const plat::CommTimeouts t = LoadTimeouts(device);
            std::memcpy(in.data(), &t, sizeof(t));
        } else if (code == plat::IOCTL_SERIAL_SET_WAIT_MASK) {
            const uint32_t mask = plat::EV_TXEMPTY;
            std::memcpy(in.data(), &mask, sizeof(mask));
        } else if (code == plat::IOCTL_SERIAL_IMMEDIATE_CHAR) {
            in[0] = 'k';
        }
        return in;
    }
    void PrepareFor(uint32_t code) {
        if (code == plat::IOCTL_SERIAL_WAIT_ON_MASK) {
            SetWaitMask(h, plat::EV_TXEMPTY);
            uint8_t none = 0;
            ASSERT_EQ(Write(h, &none, 0), 0u);  // the event the wait collects
        }
    }
};

TEST_P(SerialCodeTest, ShortBuffersFailWith87AndChangeNothing) {
    const CodeCase& c = GetParam();
    std::vector<uint8_t> in = GoodInput(c.code);
    std::vector<uint8_t> out(64, 0xEE);
    uint32_t actual = 0xBEEF;
    struct Short {
        const void* in;
        uint32_t inLength;
        void* out;
        uint32_t outLength;
        uint32_t* actual;
    };
    std::vector<Short> shorts;
    if (c.inBytes != 0) {
        shorts.push_back({nullptr, c.inBytes, out.data(), 64, &actual});
        shorts.push_back({in.data(), c.inBytes - 1, out.data(), 64, &actual});
    }
    if (c.outBytes != 0) {
        shorts.push_back({in.data(), 64, nullptr, c.outBytes, &actual});
        shorts.push_back({in.data(), 64, out.data(), c.outBytes, nullptr});
        shorts.push_back({in.data(), 64, out.data(), c.outBytes - 1, &actual});
    }
    const plat::Dcb dcbBefore = GetDcb(h);
    for (const Short& s : shorts) {
        plat::SetLastErrorCode(0);
        EXPECT_EQ(IOControl(h, c.code, s.in, s.inLength, s.out, s.outLength, s.actual), 0);
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
        EXPECT_EQ(actual, 0xBEEFu);
        EXPECT_EQ(out, std::vector<uint8_t>(64, 0xEE));
    }
    const plat::Dcb dcbAfter = GetDcb(h);
    EXPECT_EQ(std::memcmp(&dcbBefore, &dcbAfter, sizeof(dcbBefore)), 0);
}

TEST_P(SerialCodeTest, ExactBuffersSucceed) {
    const CodeCase& c = GetParam();
    PrepareFor(c.code);
    std::vector<uint8_t> in = GoodInput(c.code);
    std::vector<uint8_t> out(c.outBytes + 4, 0xEE);
    uint32_t actual = 0xBEEF;
    plat::SetLastErrorCode(kSentinelError);
    EXPECT_EQ(
        IOControl(h, c.code, c.inBytes ? in.data() : nullptr, c.inBytes,
                  c.outBytes ? out.data() : nullptr, c.outBytes, c.outBytes ? &actual : nullptr),
        1);
    EXPECT_EQ(plat::LastErrorCode(), kSentinelError);
    if (c.outBytes != 0) {
        EXPECT_EQ(actual, c.outBytes);
        EXPECT_EQ(out[c.outBytes], 0xEE) << "nothing written past the record";
    }
    EXPECT_EQ(port->LastPowerCode(), 0u) << "served by the stream layer";
}

TEST_P(SerialCodeTest, MonitorHandlesHaveTheirOwnSet) {
    const CodeCase& c = GetParam();
    OpenHandle* monitor = OpenOwner(0);
    std::vector<uint8_t> in = GoodInput(c.code);
    if (c.code == plat::IOCTL_SERIAL_WAIT_ON_MASK) {
        SetWaitMask(monitor, plat::EV_TXEMPTY);
        uint8_t none = 0;
        ASSERT_EQ(Write(h, &none, 0), 0u);
    }
    std::vector<uint8_t> out(64, 0);
    uint32_t actual = 0;
    plat::SetLastErrorCode(kSentinelError);
    const plat::Bool result = IOControl(monitor, c.code, in.data(), 64, out.data(), 64, &actual);
    if (c.monitorMay) {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(plat::LastErrorCode(), kSentinelError);
    } else {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidAccess);
    }
    CloseHandle(monitor);
}

TEST_P(SerialCodeTest, BusNamespaceHandlesGetInvalidHandle) {
    const CodeCase& c = GetParam();
    OpenHandle* bus = Open(device, plat::kAccessBusNamespace | kOwnerAccess, 0);
    ASSERT_NE(bus, nullptr);
    std::vector<uint8_t> in = GoodInput(c.code);
    std::vector<uint8_t> out(64, 0);
    uint32_t actual = 0;
    plat::SetLastErrorCode(0);
    EXPECT_EQ(IOControl(bus, c.code, in.data(), 64, out.data(), 64, &actual), 0);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    EXPECT_EQ(Close(bus), 1);
}

INSTANTIATE_TEST_SUITE_P(AllCodes, SerialCodeTest, ::testing::ValuesIn(kSerialCodes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlTest, TheTableCoversTheWholeServedRange) {
    uint32_t expected = plat::IOCTL_SERIAL_SET_BREAK_ON;
    for (const CodeCase& c : kSerialCodes) {
        EXPECT_EQ(c.code, expected);
        expected += 4;
    }
    EXPECT_EQ(expected - 4, plat::IOCTL_SERIAL_DISABLE_IR);
}

// ---------------------------------------------------------------------------------------------
// Codes passed on to the hardware object.

struct ForwardCase {
    const char* name;
    uint32_t code;
};

class ForwardTest : public ControlTest, public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(ForwardTest, GoesToPowerIoControlWhoseRefusalIs87) {
    const uint32_t code = GetParam().code;
    uint32_t in = 0;
    uint32_t out = 0;
    uint32_t actual = 0;
    port->powerIoResult = 1;
    plat::SetLastErrorCode(kSentinelError);
    EXPECT_EQ(Ioctl(h, code, &in, 4, &out, 4, &actual), 1);
    EXPECT_EQ(port->LastPowerCode(), code);
    EXPECT_EQ(plat::LastErrorCode(), kSentinelError);
    port->powerIoResult = 0;
    EXPECT_EQ(Ioctl(h, code, &in, 4, &out, 4, &actual), 0);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
}

INSTANTIATE_TEST_SUITE_P(Codes, ForwardTest,
                         ::testing::Values(ForwardCase{"PowerCapabilities",
                                                       plat::IOCTL_POWER_CAPABILITIES},
                                           ForwardCase{"PowerGet", plat::IOCTL_POWER_GET},
                                           ForwardCase{"PowerSet", plat::IOCTL_POWER_SET},
                                           ForwardCase{"BelowTheRange", 0x1B0000},
                                           ForwardCase{"AboveTheRange", 0x1B0060},
                                           ForwardCase{"NotAMultipleOfFour", 0x1B0005},
                                           ForwardCase{"Vendor", 0x00220010}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ControlTest, BusNamespaceHandlesServeThePowerCodesOnly) {
    OpenHandle* bus = Open(device, plat::kAccessBusNamespace, 0);
    ASSERT_NE(bus, nullptr);
    const struct {
        uint32_t code;
        bool forwarded;
    } cases[] = {{plat::IOCTL_POWER_CAPABILITIES, true},
                 {plat::IOCTL_POWER_GET, true},
                 {plat::IOCTL_POWER_SET, true},
                 {plat::IOCTL_POWER_QUERY, true},
                 {plat::IOCTL_REGISTER_POWER_RELATIONSHIP, true},
                 {0x00321010, false},
                 {0x00220010, false}};
    uint32_t buf[16] = {};
    uint32_t actual = 0;
    for (const auto& c : cases) {
        port->powerIoResult = 1;
        const uint32_t before = port->LastPowerCode();
        plat::SetLastErrorCode(kSentinelError);
        const plat::Bool r = Ioctl(bus, c.code, buf, sizeof(buf), buf, sizeof(buf), &actual);
        if (c.forwarded) {
            EXPECT_EQ(r, 1);
            EXPECT_EQ(port->LastPowerCode(), c.code);
            port->powerIoResult = 0;
            EXPECT_EQ(Ioctl(bus, c.code, buf, sizeof(buf), buf, sizeof(buf), &actual), 0);
            EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
        } else {
            EXPECT_EQ(r, 0);
            EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
            EXPECT_EQ(port->LastPowerCode(), before);
        }
    }
    port->powerIoResult = -1;
    EXPECT_EQ(Close(bus), 1);
}

TEST_F(ControlTest, MonitorHandlesReachOnlySomePowerCodes) {
    OpenHandle* monitor = OpenOwner(0);
    port->powerIoResult = 1;
    const struct {
        uint32_t code;
        bool allowed;
    } cases[] = {{plat::IOCTL_POWER_CAPABILITIES, true},
                 {plat::IOCTL_POWER_SET, true},
                 {plat::IOCTL_POWER_QUERY, true},
                 {plat::IOCTL_POWER_GET, false},
                 {0x00220010, false}};
    uint32_t buf[16] = {};
    uint32_t actual = 0;
    for (const auto& c : cases) {
        plat::SetLastErrorCode(0);
        EXPECT_EQ(Ioctl(monitor, c.code, buf, sizeof(buf), buf, sizeof(buf), &actual),
                  c.allowed ? 1 : 0);
        if (!c.allowed) {
            EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidAccess);
        }
    }
    CloseHandle(monitor);
}

TEST_F(ControlTest, NullHandleIsInvalid) {
    plat::SetLastErrorCode(0);
    EXPECT_EQ(Ioctl(nullptr, plat::IOCTL_SERIAL_SET_BREAK_ON), 0);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
}

// ---------------------------------------------------------------------------------------------
// What the codes do.

TEST_F(ControlTest, SettingsAndStatusRecords) {
    port->SetModemLines(plat::MS_DSR_ON | plat::MS_RLSD_ON);
    uint32_t modem = 0;
    uint32_t actual = 0;
    ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modem, 4, &actual), 1);
    EXPECT_EQ(modem, plat::MS_DSR_ON | plat::MS_RLSD_ON);

    plat::CommProp prop{};
    ASSERT_EQ(Ioctl(h, plat::IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &prop, 64, &actual), 1);
    EXPECT_EQ(std::memcmp(&prop, &port->CommProperties(), 64), 0);
    EXPECT_EQ(prop.dwSettableBaud, 0x1007FFFBu);

    // CTS hold needs both the adopted fOutxCtsFlow and CTS off.
    EXPECT_FALSE(CommStatus(h).ComStat.flags & plat::kComStatCtsHold);
    EditDcb(h, [](plat::Dcb& d) { d.flags |= plat::kDcbOutxCtsFlow | plat::kDcbOutxDsrFlow; });
    plat::SerialDevStatus status = CommStatus(h);
    EXPECT_TRUE(status.ComStat.flags & plat::kComStatCtsHold);
    EXPECT_FALSE(status.ComStat.flags & plat::kComStatDsrHold);
    port->SetModemLines(plat::MS_CTS_ON);
    status = CommStatus(h);
    EXPECT_FALSE(status.ComStat.flags & plat::kComStatCtsHold);
    EXPECT_TRUE(status.ComStat.flags & plat::kComStatDsrHold);

    Receive(Pattern(37));
    EXPECT_EQ(CommStatus(h).ComStat.cbInQue, 37u);
    Purge(h, plat::PURGE_RXCLEAR);
    EXPECT_EQ(CommStatus(h).ComStat.cbInQue, 0u);
}

TEST_F(ControlTest, QueueSizeIsAcceptedAndChangesNothing) {
    const uint32_t sizes[2] = {4096, 4096};
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_QUEUE_SIZE, sizes, 8), 1);
    EXPECT_EQ(device->RxSize, 2048u);
    plat::SetLastErrorCode(0);
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_QUEUE_SIZE, sizes, 4), 0);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
}

TEST_F(ControlTest, LineRequestsReachTheHardware) {
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_BREAK_ON), 1);
    EXPECT_TRUE(port->BreakOn());
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_SET_BREAK_OFF), 1);
    EXPECT_FALSE(port->BreakOn());
    const uint8_t ch = 0xA5;
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_IMMEDIATE_CHAR, &ch, 1), 1);
    EXPECT_EQ(port->Immediates(), std::vector<uint8_t>{0xA5});
}

TEST_F(ControlTest, InfraredRequests) {
    EditDcb(h, [](plat::Dcb& d) { d.BaudRate = 19200; });
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_ENABLE_IR), 1);
    EXPECT_TRUE(port->IrEnabled());
    EXPECT_FALSE(port->WiredSelected());
    EXPECT_EQ(port->LastBaudRate(), 19200u);
    EXPECT_TRUE(port->LastBaudInfrared());
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_DISABLE_IR), 1);
    EXPECT_FALSE(port->IrEnabled());
    EXPECT_TRUE(port->WiredSelected());
    port->failSetBaudRate = true;
    plat::SetLastErrorCode(kSentinelError);
    EXPECT_EQ(Ioctl(h, plat::IOCTL_SERIAL_ENABLE_IR), 0);
    EXPECT_EQ(plat::LastErrorCode(), kSentinelError) << "no last-error code for this one";
    port->failSetBaudRate = false;
}

// ---------------------------------------------------------------------------------------------
// The process-exit notification.

struct ExitCase {
    const char* name;
    uint32_t size;
    uint32_t flags;
    uint32_t length;
    bool acts;
};

class ProcessExitTest : public ControlTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ProcessExitTest, ActsOnlyOnAnExitingProcess) {
    const ExitCase& c = GetParam();
    SetWaitMask(h, plat::EV_BREAK);
    SetTimeouts(h, 0, 0, 0);
    std::atomic<bool> waitDone{false};
    std::atomic<bool> readDone{false};
    std::thread waiter([&] {
        uint32_t seen = 0;
        uint32_t actual = 0;
        Ioctl(h, plat::IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &seen, 4, &actual);
        waitDone = true;
    });
    std::thread reader([&] {
        uint8_t buf[8];
        Read(h, buf, sizeof(buf));
        readDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint32_t record[4] = {c.size, c.flags, 0, 0};
    EXPECT_EQ(Ioctl(h, plat::IOCTL_PROCESS_EXITING, record, c.length), 1);
    if (c.acts) {
        EXPECT_TRUE(WaitUntil([&] { return waitDone && readDone; }));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(waitDone);
        EXPECT_FALSE(readDone);
    }
    if (!c.acts) {
        EXPECT_EQ(PreClose(h), 1);
    }
    waiter.join();
    reader.join();
    EXPECT_EQ(Close(h), 1);
    h = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Records, ProcessExitTest,
                         ::testing::Values(ExitCase{"Exiting", 16, 4, 16, true},
                                           ExitCase{"EightBytesEnough", 16, 4, 8, true},
                                           ExitCase{"OtherFlags", 16, 1, 16, false},
                                           ExitCase{"OtherSize", 12, 4, 16, false},
                                           ExitCase{"TooShort", 16, 4, 7, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zel::test
