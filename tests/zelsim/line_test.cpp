// The lines zelsim hands to Linux: COM ports' terminals (bytes both ways, settings followed,
// refusals reported) and UART wires to the outside (a pseudo-terminal, a TCP socket).
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "tests/zelsim/harness.h"

namespace zelsim_test {
namespace {

using ::testing::HasSubstr;

// Writes bytes on one terminal and reads them on another (or the same), a piece at a time: a
// piece of 32 bytes fits the receiving UART's FIFO however late a busy host serves its
// interrupt, so nothing is lost to an overrun. Returns what came back.
std::string Exchange(Terminal& from, Terminal& to, const std::string& bytes) {
    std::string got;
    for (size_t at = 0; at < bytes.size(); at += 32) {
        std::string piece = bytes.substr(at, 32);
        if (!from.WriteAll(piece)) break;
        std::string back = to.Read(piece.size(), 10s);
        got += back;
        if (back != piece) break;
    }
    return got;
}

// zelsim on the default machine (or a file), with the mappings it printed.
class Running : public ::testing::Test {
  protected:
    void Boot(std::vector<std::string> args = {}, size_t ports = 4, size_t wires = 1) {
        args.insert(args.begin(), "--quiet");
        ASSERT_TRUE(z.StartZelsim(args));
        map = z.WaitMappings(ports, wires);
        ASSERT_EQ(map.size(), ports + wires) << z.Stdout() << z.Stderr();
        ASSERT_TRUE(z.WaitLine("^running"));
    }
    void TearDown() override {
        if (z.Pid() > 0) {
            EXPECT_EQ(z.Stop(SIGTERM), 0) << z.Stderr();
        }
    }
    Child z;
    std::map<std::string, std::string> map;
};

using TerminalTest = Running;

// What a program sets on COM3's terminal reaches the port, and the loopback plug brings back
// what it wrote, unchanged, in raw mode.
TEST_F(TerminalTest, SettingsAreFollowedAndBytesPassUnchanged) {
    Boot();
    Terminal com3(map["COM3:"]);
    ASSERT_TRUE(com3.IsOpen());
    struct Case {
        speed_t speed;
        tcflag_t cflag;
        tcflag_t iflag;
        const char* line;
    };
    const Case cases[] = {
        {B115200, 0, 0, "COM3: line 115200 8N1"},
        {B19200, PARENB | PARODD | CSTOPB, 0, "COM3: line 19200 8O2"},
        {B57600, PARENB | PARODD | CMSPAR | CRTSCTS, 0, "COM3: line 57600 8M1 rtscts"},
        {B38400, PARENB | CMSPAR, IXON | IXOFF, "COM3: line 38400 8S1 xon/xoff"},
    };
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (const Case& c : cases) {
        ASSERT_TRUE(com3.Set([&](termios& t) {
            t.c_cflag = (t.c_cflag & ~(PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS)) | c.cflag;
            t.c_iflag = c.iflag;
            cfsetspeed(&t, c.speed);
        }));
        ASSERT_TRUE(z.WaitLine(std::string("^") + c.line + "$")) << c.line << "\n" << z.Stdout();
        // With XON/XOFF hand-shaking the flow characters are not data.
        std::string bytes = all;
        if (c.iflag & IXON) std::erase_if(bytes, [](char b) { return b == 0x11 || b == 0x13; });
        EXPECT_EQ(Exchange(com3, com3, bytes), bytes) << c.line;
    }
}

// A speed the port cannot make is reported, and the terminal shows the speed in force again;
// speed 0 hangs up (DTR off) until a speed is set.
TEST_F(TerminalTest, RefusedSpeedIsReportedAndHangUpDropsDtr) {
    Boot();
    Terminal com3(map["COM3:"]);
    ASSERT_TRUE(com3.IsOpen());
    ASSERT_TRUE(com3.Set([](termios& t) { cfsetspeed(&t, B38400); }));
    ASSERT_TRUE(z.WaitLine("^COM3: line 38400 8N1$"));
    // 1500000 baud needs a divisor below 1 on a 14745600 Hz clock.
    ASSERT_TRUE(com3.Set([](termios& t) { cfsetspeed(&t, B1500000); }));
    ASSERT_TRUE(
        z.WaitLine(R"(^COM3: 1500000 baud refused by the port \(error 87\); line 38400 8N1$)"))
        << z.Stdout();
    termios t;
    bool reverted = false;
    for (int i = 0; i < 100 && !reverted; ++i) {
        ASSERT_TRUE(com3.Get(&t));
        reverted = cfgetospeed(&t) == B38400;
        if (!reverted) usleep(20000);
    }
    EXPECT_TRUE(reverted);
    // The port still works at the speed in force.
    ASSERT_TRUE(com3.WriteAll("after"));
    EXPECT_EQ(com3.Read(5, 10s), "after");

    ASSERT_TRUE(com3.Set([](termios& t) { cfsetspeed(&t, B0); }));
    ASSERT_TRUE(z.WaitLine(R"(^COM3: hang-up \(speed 0\), DTR off$)"));
    ASSERT_TRUE(com3.Set([](termios& t) { cfsetspeed(&t, B9600); }));
    ASSERT_TRUE(z.WaitLine("^COM3: line 9600 8N1$"));
}

// A port's "Frame" (here from the command line) gives the data bits a terminal cannot carry:
// with 7 data bits the loopback brings back the low seven bits of each byte.
TEST_F(TerminalTest, FrameGivesTheDataBitsATerminalCannotCarry) {
    Boot({"--frame", "COM3=7E1"});
    Terminal com3(map["COM3:"]);
    ASSERT_TRUE(com3.IsOpen());
    ASSERT_TRUE(com3.Set([](termios& t) { cfsetspeed(&t, B115200); }));
    ASSERT_TRUE(z.WaitLine("^COM3: line 115200 7E1$"));
    ASSERT_TRUE(com3.WriteAll("\xc1\xff\x41"));
    EXPECT_EQ(com3.Read(3, 10s), "\x41\x7f\x41");
    // Odd parity survives on a terminal; the data bits stay the frame's.
    ASSERT_TRUE(com3.Set([](termios& t) { t.c_cflag |= PARENB | PARODD; }));
    ASSERT_TRUE(z.WaitLine("^COM3: line 115200 7O1$"));
}

// COM1 and COM2 are on a null-modem cable: what one terminal writes, the other reads, while
// the reader has its terminal open; what comes while nobody has it open is lost.
TEST_F(TerminalTest, NullModemBetweenTwoTerminals) {
    Boot();
    Terminal com1(map["COM1:"]);
    ASSERT_TRUE(com1.IsOpen());
    for (std::string name : {"COM1:", "COM2:"}) {
        Terminal t(map[name]);
        ASSERT_TRUE(t.Set([](termios& t) { cfsetspeed(&t, B38400); }));
        ASSERT_TRUE(z.WaitLine("^" + name + " line 38400 8N1$"));
    }
    // COM2's terminal is closed now.
    ASSERT_TRUE(com1.WriteAll("nobody hears this"));
    usleep(300000);
    Terminal com2(map["COM2:"]);
    ASSERT_TRUE(com2.IsOpen());
    EXPECT_EQ(com2.Read(1, 500ms), "");
    const std::string there = RandomBytes(2048, 1), back = RandomBytes(2048, 2);
    EXPECT_EQ(Exchange(com1, com2, there), there);
    EXPECT_EQ(Exchange(com2, com1, back), back);
}

// ---------------------------------------------------------------------------------------------

using WireTest = Running;

// COM4's wire ends in a pseudo-terminal: a program there is the device at the far end.
TEST_F(WireTest, Com4WireIsDrivenFromItsOwnTerminal) {
    Boot();
    Terminal com4(map["COM4:"]);
    ASSERT_TRUE(com4.IsOpen());
    ASSERT_TRUE(com4.Set([](termios& t) {
        cfsetspeed(&t, B921600);
        t.c_cflag |= CRTSCTS;
    }));
    ASSERT_TRUE(z.WaitLine("^COM4: line 921600 8N1 rtscts$"));

    // Nobody at the far end: CTS is off, so the port holds what it is given ...
    ASSERT_TRUE(com4.WriteAll("held"));
    usleep(300000);
    Terminal device(map["Card1\\Port4"]);
    ASSERT_TRUE(device.IsOpen());
    // ... and sends it once the device is there.
    EXPECT_EQ(device.Read(4, 10s), "held");

    // Messages back and forth, each small enough for the UART's FIFO whatever the host's
    // delays, then a block from the port to the device.
    for (int i = 0; i < 20; ++i) {
        std::string ask = "request " + std::to_string(i) + " " + RandomBytes(20, i);
        std::string answer = "answer " + std::to_string(i) + " " + RandomBytes(20, 100 + i);
        ASSERT_TRUE(com4.WriteAll(ask));
        ASSERT_EQ(device.Read(ask.size(), 10s), ask) << i;
        ASSERT_TRUE(device.WriteAll(answer));
        ASSERT_EQ(com4.Read(answer.size(), 10s), answer) << i;
    }
    const std::string block = RandomBytes(64 * 1024, 7);
    std::thread writer([&] { com4.WriteAll(block); });
    EXPECT_EQ(device.Read(block.size(), 20s), block);
    writer.join();
}

// A wire to a TCP socket on 127.0.0.1: one client at a time is the far end.
TEST_F(WireTest, TcpEndpointOnTheLoopbackAddress) {
    TempDir tmp;
    const std::string file = tmp / "m.reg";
    WriteFile(file,
              "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\PCI\\Template\\ZelKap]\n"
              "\"Dll\"=\"zelser.dll\"\n\"Prefix\"=\"KAP\"\n"
              "[HKEY_LOCAL_MACHINE\\Machine\\Cards\\Card1]\n\"Template\"=\"ZelKap\"\n"
              "\"DeviceID\"=dword:00000154\n\"SubSystemID\"=dword:00000a40\n"
              "[HKEY_LOCAL_MACHINE\\Machine\\Cards\\Card1\\Port1]\n"
              "\"Endpoint\"=\"tcp:0\"\n\"Expose\"=dword:1\n");
    Boot({"--machine", file}, 1, 1);
    std::smatch m;
    std::string where = map["Card1\\Port1"];
    ASSERT_TRUE(std::regex_match(where, m, std::regex(R"(tcp 127\.0\.0\.1:(\d+))"))) << where;
    const uint16_t port = static_cast<uint16_t>(std::stoi(m[1]));

    auto connectTo = [&] {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return fd;
    };
    auto readSome = [](int fd, size_t n, std::chrono::milliseconds limit) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + limit;
        char buffer[4096];
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t r = read(fd, buffer, std::min(sizeof buffer, n - got.size()));
            if (r <= 0) break;
            got.append(buffer, static_cast<size_t>(r));
        }
        return got;
    };

    Terminal com1(map["COM1:"]);
    ASSERT_TRUE(com1.Set([](termios& t) { cfsetspeed(&t, B115200); }));
    ASSERT_TRUE(z.WaitLine("^COM1: line 115200 8N1$"));
    int client = connectTo();
    usleep(200000);
    ASSERT_EQ(write(client, "from the network", 16), 16);
    EXPECT_EQ(com1.Read(16, 10s), "from the network");
    ASSERT_TRUE(com1.WriteAll("to the network"));
    EXPECT_EQ(readSome(client, 14, 10s), "to the network");

    // A second client is turned away; the first one keeps the line.
    int second = connectTo();
    EXPECT_EQ(readSome(second, 1, 5s), "");
    ASSERT_TRUE(z.WaitLine("refused a second connection"));
    close(second);
    ASSERT_TRUE(com1.WriteAll("still here"));
    EXPECT_EQ(readSome(client, 10, 10s), "still here");

    // When the client goes, the next one may come.
    close(client);
    usleep(200000);
    client = connectTo();
    usleep(200000);
    ASSERT_TRUE(com1.WriteAll("next"));
    EXPECT_EQ(readSome(client, 4, 10s), "next");
    close(client);
}

}  // namespace
}  // namespace zelsim_test
