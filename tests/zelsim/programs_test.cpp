// Programs no one here wrote, on zelsim's terminals: a ZMODEM transfer between COM1 and COM2
// (lrzsz) and a serial-module script on COM3's loopback plug (python3-serial). Each test is
// skipped when its program is not installed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "tests/zelsim/harness.h"

namespace zelsim_test {
namespace {

using ::testing::HasSubstr;

// 256 KiB by ZMODEM at 921600 baud (the 14745600 Hz clock at divisor 1), with RTS/CTS
// hand-shake on both terminals, arrives intact.
TEST(ProgramsTest, ZmodemTransferBetweenCom1AndCom2) {
    if (!HaveProgram("sz") || !HaveProgram("rz")) GTEST_SKIP() << "lrzsz (sz, rz) is not installed";
    TempDir tmp;
    const std::string data = RandomBytes(256 * 1024, 42);
    WriteFile(tmp / "sent.bin", data);
    const std::string inbox = tmp / "inbox";
    ASSERT_EQ(mkdir(inbox.c_str(), 0755), 0);

    Child z;
    ASSERT_TRUE(z.StartZelsim({"--quiet"}));
    auto map = z.WaitMappings(4, 1);
    ASSERT_TRUE(map.count("COM1:") && map.count("COM2:")) << z.Stdout() << z.Stderr();
    for (const char* name : {"COM1:", "COM2:"}) {
        Terminal t(map[name]);
        ASSERT_TRUE(t.Set([](termios& t) {
            cfsetspeed(&t, B921600);
            t.c_cflag |= CRTSCTS;
        }));
        ASSERT_TRUE(z.WaitLine(std::string("^") + name + " line 921600 8N1 rtscts$"));
    }

    Child rz, sz;
    ASSERT_TRUE(rz.Start({"rz", "--overwrite"}, map["COM2:"], inbox));
    ASSERT_TRUE(sz.Start({"sz", tmp / "sent.bin"}, map["COM1:"]));
    // sz ends with 0 only when rz has acknowledged the whole file and the end of the session.
    EXPECT_EQ(sz.Wait(60s), 0) << sz.Stderr().substr(0, 2000);
    // rz then waits for the session's closing "OO", which a pseudo-terminal can lose: sz
    // discards its terminal's output right after writing it, and on a pty that discards what
    // zelsim has not read yet (tcdrain does not wait for it). rz gives up on it only after
    // some 30 s; by then the file is complete, so a few seconds are enough here.
    const int rzCode = rz.Wait(5s);
    if (rzCode < 0) {
        rz.Stop(SIGTERM, 10s);
    } else {
        EXPECT_EQ(rzCode, 0) << rz.Stderr().substr(0, 2000);
    }
    const std::string got = ReadFile(inbox + "/sent.bin");
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the file arrived changed";
    EXPECT_EQ(z.Stop(SIGTERM), 0) << z.Stderr();
}

// A python3-serial script changes speed, frame (stop bits, and the parity kinds a terminal can
// show), hand-shake and time-outs on COM3 and reads back what it wrote; zelsim reports each
// setting as the port took it, and the refused speed.
TEST(ProgramsTest, SerialModuleScriptOnTheLoopbackPlug) {
    const std::string python = PythonWithSerial();
    if (python.empty()) GTEST_SKIP() << "python3 with the serial module is not installed";
    Child z;
    ASSERT_TRUE(z.StartZelsim({"--quiet"}));
    auto map = z.WaitMappings(4, 1);
    ASSERT_TRUE(map.count("COM3:")) << z.Stdout() << z.Stderr();

    Child script;
    ASSERT_TRUE(script.Start({python, ScriptsDir() + "/serial_check.py", map["COM3:"]}));
    EXPECT_EQ(script.Wait(60s), 0) << script.Stdout() << script.Stderr();
    EXPECT_THAT(script.Stdout(), HasSubstr("\nok\n"));
    for (const char* line :
         {"COM3: line 57600 8N1", "COM3: line 19200 8N2", "COM3: line 115200 8N1",
          "COM3: line 115200 8O1", "COM3: line 115200 8M1", "COM3: line 115200 8S1",
          "COM3: line 57600 8N1 rtscts",
          "COM3: 1500000 baud refused by the port (error 87); line 57600 8N1"}) {
        EXPECT_THAT(z.Stdout(), HasSubstr(std::string("\n") + line + "\n")) << z.Stdout();
    }
    EXPECT_EQ(z.Stop(SIGTERM), 0) << z.Stderr();
}

}  // namespace
}  // namespace zelsim_test
