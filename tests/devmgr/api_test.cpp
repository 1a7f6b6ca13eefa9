// The application calls against the test driver: each comm helper sends the control code and
// record sizes it stands for, and unpacks what comes back.
#include "sim/api/api.h"

#include <functional>

#include "tests/devmgr/fixture.h"

namespace {

using namespace tst;
using ::testing::HasSubstr;

class ApiTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_NE(Activate(Key("dev")), 0u);
        h = api::Open(u"TST1:", kReadWrite, 0);
        ASSERT_NE(h, 0u);
    }
    void TearDown() override {
        EXPECT_TRUE(api::Close(h));
        DriverTest::TearDown();
    }
    api::Handle h = 0;
};

TEST_F(ApiTest, HelpersSendTheirCodesAndRecordSizes) {
    plat::Dcb dcb{};
    plat::CommTimeouts timeouts{};
    plat::CommProp props{};
    uint32_t word = 0;
    struct Case {
        const char* what;
        std::function<api::Bool(api::Handle)> call;
        uint32_t code;
        uint32_t in, out;
        int64_t first;  // first input word, -1 when none is passed
    };
    const Case cases[] = {
        {"GetCommState", [&](auto x) { return api::GetCommState(x, &dcb); },
         plat::IOCTL_SERIAL_GET_DCB, 0, 28, -1},
        {"SetCommState",
         [&](auto x) {
             dcb = {};
             dcb.DCBlength = 28;
             return api::SetCommState(x, &dcb);
         },
         plat::IOCTL_SERIAL_SET_DCB, 28, 0, 28},
        {"GetCommTimeouts", [&](auto x) { return api::GetCommTimeouts(x, &timeouts); },
         plat::IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, -1},
        {"SetCommTimeouts",
         [&](auto x) {
             timeouts = {250, 1, 2, 3, 4};
             return api::SetCommTimeouts(x, &timeouts);
         },
         plat::IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, 250},
        {"SetupComm", [&](auto x) { return api::SetupComm(x, 4096, 512); },
         plat::IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0, 4096},
        {"GetCommProperties", [&](auto x) { return api::GetCommProperties(x, &props); },
         plat::IOCTL_SERIAL_GET_PROPERTIES, 0, 64, -1},
        {"SetCommMask", [&](auto x) { return api::SetCommMask(x, plat::EV_RXCHAR | plat::EV_CTS); },
         plat::IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, plat::EV_RXCHAR | plat::EV_CTS},
        {"GetCommMask", [&](auto x) { return api::GetCommMask(x, &word); },
         plat::IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, -1},
        {"WaitCommEvent", [&](auto x) { return api::WaitCommEvent(x, &word); },
         plat::IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, -1},
        {"PurgeComm", [&](auto x) { return api::PurgeComm(x, plat::PURGE_RXCLEAR); },
         plat::IOCTL_SERIAL_PURGE, 4, 0, plat::PURGE_RXCLEAR},
        {"GetCommModemStatus", [&](auto x) { return api::GetCommModemStatus(x, &word); },
         plat::IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, -1},
        {"SETXOFF", [](auto x) { return api::EscapeCommFunction(x, api::kSetXoff); },
         plat::IOCTL_SERIAL_SET_XOFF, 0, 0, -1},
        {"SETXON", [](auto x) { return api::EscapeCommFunction(x, api::kSetXon); },
         plat::IOCTL_SERIAL_SET_XON, 0, 0, -1},
        {"SETRTS", [](auto x) { return api::EscapeCommFunction(x, api::kSetRts); },
         plat::IOCTL_SERIAL_SET_RTS, 0, 0, -1},
        {"CLRRTS", [](auto x) { return api::EscapeCommFunction(x, api::kClrRts); },
         plat::IOCTL_SERIAL_CLR_RTS, 0, 0, -1},
        {"SETDTR", [](auto x) { return api::EscapeCommFunction(x, api::kSetDtr); },
         plat::IOCTL_SERIAL_SET_DTR, 0, 0, -1},
        {"CLRDTR", [](auto x) { return api::EscapeCommFunction(x, api::kClrDtr); },
         plat::IOCTL_SERIAL_CLR_DTR, 0, 0, -1},
        {"SETBREAK", [](auto x) { return api::EscapeCommFunction(x, api::kSetBreak); },
         plat::IOCTL_SERIAL_SET_BREAK_ON, 0, 0, -1},
        {"CLRBREAK", [](auto x) { return api::EscapeCommFunction(x, api::kClrBreak); },
         plat::IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, -1},
        {"SETIR", [](auto x) { return api::EscapeCommFunction(x, api::kSetIr); },
         plat::IOCTL_SERIAL_ENABLE_IR, 0, 0, -1},
        {"CLRIR", [](auto x) { return api::EscapeCommFunction(x, api::kClrIr); },
         plat::IOCTL_SERIAL_DISABLE_IR, 0, 0, -1},
        {"SetCommBreak", [](auto x) { return api::SetCommBreak(x); },
         plat::IOCTL_SERIAL_SET_BREAK_ON, 0, 0, -1},
        {"ClearCommBreak", [](auto x) { return api::ClearCommBreak(x); },
         plat::IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, -1},
        {"TransmitCommChar", [](auto x) { return api::TransmitCommChar(x, 0xA5); },
         plat::IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, 0xA5},
        {"ClearCommError", [](auto x) { return api::ClearCommError(x, nullptr, nullptr); },
         plat::IOCTL_SERIAL_GET_COMMSTATUS, 0, 16, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TheProbe().Reset();
        EXPECT_TRUE(c.call(h));
        std::string expected = "Serial dev code " + std::to_string(c.code) + " in " +
                               std::to_string(c.in) + " out " + std::to_string(c.out);
        if (c.first >= 0) expected += " first " + std::to_string(c.first);
        EXPECT_THAT(TheProbe().Log(), ::testing::ElementsAre(expected));
    }
}

TEST_F(ApiTest, RecordsComeBackUnpacked) {
    uint32_t word = 0;
    ASSERT_TRUE(api::GetCommModemStatus(h, &word));
    EXPECT_EQ(word, 0x04030201u);

    uint32_t errors = 0;
    plat::ComStatRecord status{};
    ASSERT_TRUE(api::ClearCommError(h, &errors, &status));
    EXPECT_EQ(errors, 0x04030201u);
    EXPECT_EQ(status.flags, 0x08070605u);
    EXPECT_EQ(status.cbInQue, 0x0C0B0A09u);
    EXPECT_EQ(status.cbOutQue, 0x100F0E0Du);
}

TEST_F(ApiTest, BadArgumentsFailBeforeTheDriver) {
    struct Case {
        const char* what;
        std::function<api::Bool()> call;
    };
    const Case cases[] = {
        {"unknown escape", [&] { return api::EscapeCommFunction(h, 7); }},
        {"escape 0", [&] { return api::EscapeCommFunction(h, 0); }},
        {"null settings", [&] { return api::SetCommState(h, nullptr); }},
        {"null settings out", [&] { return api::GetCommState(h, nullptr); }},
        {"null time-outs", [&] { return api::SetCommTimeouts(h, nullptr); }},
        {"null event word", [&] { return api::WaitCommEvent(h, nullptr); }},
        {"null modem word", [&] { return api::GetCommModemStatus(h, nullptr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TheProbe().Reset();
        plat::SetLastErrorCode(0);
        EXPECT_FALSE(c.call());
        EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidParameter);
        EXPECT_THAT(TheProbe().Log(), ::testing::IsEmpty());
    }
}

TEST_F(ApiTest, ClosedHandlesFailWithInvalidHandle) {
    api::Handle other = api::Open(u"TST1:", 0, 0);
    ASSERT_TRUE(api::Close(other));
    uint32_t word;
    plat::SetLastErrorCode(0);
    EXPECT_FALSE(api::GetCommMask(other, &word));
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    EXPECT_FALSE(api::ClearCommError(other, &word, nullptr));
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorInvalidHandle);
    EXPECT_FALSE(api::Close(other));
    EXPECT_EQ(api::Open(u"NUL1:", 0, 0), 0u);
    EXPECT_EQ(plat::LastErrorCode(), plat::kErrorFileNotFound);
}

}  // namespace
