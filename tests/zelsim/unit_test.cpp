// zelsim's parts on their own: frames, what a terminal's settings mean for the port (checked on
// real pseudo-terminals), settings records, error locations in machine files, link directories
// and the demo's data.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/zelsim/harness.h"
#include "tools/zelsim/args.h"
#include "tools/zelsim/demo.h"
#include "tools/zelsim/links.h"
#include "tools/zelsim/machine_file.h"
#include "tools/zelsim/pty.h"

namespace zelsim {
namespace {

using ::testing::HasSubstr;
using zelsim_test::TempDir;

// ---------------------------------------------------------------------------------------------
// Frames.

TEST(FrameTest, ParsesWhatItPrintsAndRefusesTheRest) {
    struct Case {
        const char* text;
        bool ok;
        Frame frame;
    };
    const Case cases[] = {
        {"8N1", true, {8, plat::kNoParity, plat::kOneStopBit}},
        {"7E2", true, {7, plat::kEvenParity, plat::kTwoStopBits}},
        {"7o1", true, {7, plat::kOddParity, plat::kOneStopBit}},
        {"8M1", true, {8, plat::kMarkParity, plat::kOneStopBit}},
        {"6S2", true, {6, plat::kSpaceParity, plat::kTwoStopBits}},
        {"5N1.5", true, {5, plat::kNoParity, plat::kOne5StopBits}},
        {"9N1", false, {}},
        {"4N1", false, {}},
        {"8X1", false, {}},
        {"8N3", false, {}},
        {"8N", false, {}},
        {"", false, {}},
        {"8N1 ", false, {}},
        {"8N1.0", false, {}},
    };
    for (const Case& c : cases) {
        auto f = ParseFrame(c.text);
        ASSERT_EQ(f.has_value(), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(*f, c.frame) << c.text;
        EXPECT_EQ(ParseFrame(FrameText(*f)), f) << c.text;
    }
}

TEST(FrameTest, SpeedCodesAndBaudRatesMapBothWays) {
    for (uint32_t baud : {50u, 9600u, 115200u, 921600u, 4000000u}) {
        auto code = SpeedOfBaud(baud);
        ASSERT_TRUE(code.has_value()) << baud;
        EXPECT_EQ(BaudOfSpeed(*code), baud);
    }
    EXPECT_FALSE(SpeedOfBaud(14400).has_value());
    EXPECT_FALSE(BaudOfSpeed(B0).has_value());
}

// ---------------------------------------------------------------------------------------------
// Terminal settings, read as a pseudo-terminal leaves them: CS8 and no PARENB, whatever was set.

termios PtyLike(tcflag_t cflag, tcflag_t iflag = 0, speed_t speed = B9600) {
    termios t{};
    cfmakeraw(&t);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS)) | CS8 | cflag;
    t.c_iflag = iflag;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    cfsetspeed(&t, speed);
    return t;
}

TEST(TermiosTest, WhatSurvivesIsFollowedAndTheFrameFillsIn) {
    const Frame f8n1{}, f7e1{7, plat::kEvenParity, plat::kOneStopBit},
        f7o1{7, plat::kOddParity, plat::kOneStopBit}, f5{5, plat::kNoParity, plat::kOne5StopBits};
    struct Case {
        const char* what;
        termios t;
        Frame frame;
        Frame expect;
    };
    const Case cases[] = {
        {"nothing set", PtyLike(0), f8n1, {8, plat::kNoParity, plat::kOneStopBit}},
        {"odd", PtyLike(PARODD), f8n1, {8, plat::kOddParity, plat::kOneStopBit}},
        {"mark", PtyLike(PARODD | CMSPAR), f8n1, {8, plat::kMarkParity, plat::kOneStopBit}},
        {"space", PtyLike(CMSPAR), f8n1, {8, plat::kSpaceParity, plat::kOneStopBit}},
        {"two stop bits", PtyLike(CSTOPB), f8n1, {8, plat::kNoParity, plat::kTwoStopBits}},
        {"frame 7E1 kept", PtyLike(0), f7e1, {7, plat::kEvenParity, plat::kOneStopBit}},
        {"odd over 7E1", PtyLike(PARODD), f7e1, {7, plat::kOddParity, plat::kOneStopBit}},
        // A frame with odd parity whose terminal shows no PARODD: the program cleared it.
        {"7O1 cleared", PtyLike(0), f7o1, {7, plat::kNoParity, plat::kOneStopBit}},
        {"1.5 stop bits", PtyLike(CSTOPB), f5, {5, plat::kNoParity, plat::kOne5StopBits}},
        {"1 stop bit over 1.5", PtyLike(0), f5, {5, plat::kNoParity, plat::kOneStopBit}},
    };
    for (const Case& c : cases) {
        LineSettings s = SettingsOfTermios(c.t, c.frame);
        EXPECT_EQ(s.frame, c.expect) << c.what;
        EXPECT_EQ(s.baud, 9600u) << c.what;
    }
}

TEST(TermiosTest, SpeedFlowControlAndATerminalThatKeepsTheFrame) {
    LineSettings s = SettingsOfTermios(PtyLike(CRTSCTS, IXON | IXOFF, B921600), Frame{});
    EXPECT_EQ(s.baud, 921600u);
    EXPECT_TRUE(s.rtsCts);
    EXPECT_TRUE(s.ixon);
    EXPECT_TRUE(s.ixoff);
    EXPECT_EQ(s.xonChar, 0x11);
    EXPECT_EQ(s.xoffChar, 0x13);
    EXPECT_EQ(SettingsOfTermios(PtyLike(0, 0, B0), Frame{}).baud, 0u);

    // Where the word length and parity enable do survive, they are believed.
    termios t = PtyLike(0);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
    EXPECT_EQ(SettingsOfTermios(t, Frame{}).frame,
              (Frame{7, plat::kEvenParity, plat::kOneStopBit}));
}

// On a real pseudo-terminal: what a program sets on the slave, read through the master as the
// bridge reads it.
TEST(TermiosTest, RealPseudoTerminalCarriesWhatTheMappingExpects) {
    struct Case {
        tcflag_t programSets;
        Frame frame;
        Frame expect;
    };
    const Case cases[] = {
        {CS7 | PARENB | PARODD, Frame{}, {8, plat::kOddParity, plat::kOneStopBit}},
        {CS7 | PARENB, Frame{7, plat::kEvenParity, 0}, {7, plat::kEvenParity, 0}},
        {CS8 | PARENB | PARODD | CMSPAR | CSTOPB,
         Frame{},
         {8, plat::kMarkParity, plat::kTwoStopBits}},
        {CS8 | PARENB | CMSPAR, Frame{}, {8, plat::kSpaceParity, plat::kOneStopBit}},
        {CS6, Frame{6, plat::kNoParity, 0}, {6, plat::kNoParity, 0}},
    };
    for (const Case& c : cases) {
        Pty pty;
        std::string error;
        ASSERT_TRUE(pty.Open(&error)) << error;
        zelsim_test::Terminal program(pty.SlaveName());
        ASSERT_TRUE(program.IsOpen());
        ASSERT_TRUE(program.Set([&](termios& t) {
            t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) | c.programSets;
            cfsetspeed(&t, B38400);
        }));
        termios seen;
        ASSERT_TRUE(pty.GetSettings(&seen));
        LineSettings s = SettingsOfTermios(seen, c.frame);
        EXPECT_EQ(s.frame, c.expect) << std::hex << c.programSets;
        EXPECT_EQ(s.baud, 38400u);
    }
}

TEST(TermiosTest, ShownFrameReadsBackAsTheFrame) {
    for (const char* text : {"8N1", "8O1", "8M2", "8S1", "7E1", "7O2", "5N1.5"}) {
        Frame frame = *ParseFrame(text);
        Pty pty;
        std::string error;
        ASSERT_TRUE(pty.Open(&error)) << error;
        termios t;
        ASSERT_TRUE(pty.GetSettings(&t));
        ShowFrame(frame, &t);
        ASSERT_TRUE(pty.SetSettings(t));
        ASSERT_TRUE(pty.GetSettings(&t));
        EXPECT_EQ(SettingsOfTermios(t, frame).frame, frame) << text;
    }
}

TEST(PtyTest, AttachedWhileAProgramHoldsTheSlave) {
    Pty pty;
    std::string error;
    ASSERT_TRUE(pty.Open(&error)) << error;
    EXPECT_FALSE(pty.Attached());
    {
        zelsim_test::Terminal program(pty.SlaveName());
        ASSERT_TRUE(program.IsOpen());
        EXPECT_TRUE(pty.Attached());
        ASSERT_EQ(write(pty.MasterFd(), "kept", 4), 4);
        EXPECT_EQ(program.Read(4, std::chrono::seconds(5)), "kept");
    }
    EXPECT_FALSE(pty.Attached());
}

// ---------------------------------------------------------------------------------------------
// Settings records.

TEST(DcbTest, FlowControlAndFrameGoIntoTheRecordAndTheRestStays) {
    plat::Dcb dcb{};
    dcb.flags = plat::WithDtrControl(plat::kDcbBinary, plat::kDtrControlEnable);
    dcb.flags = plat::WithRtsControl(dcb.flags, plat::kRtsControlEnable);
    dcb.XonLim = 512;
    dcb.XoffLim = 128;

    LineSettings s;
    s.baud = 19200;
    s.frame = {7, plat::kMarkParity, plat::kTwoStopBits};
    s.rtsCts = true;
    s.ixon = true;
    s.xonChar = 0x51;
    s.xoffChar = 0x53;
    ApplyToDcb(s, dcb);
    EXPECT_EQ(dcb.DCBlength, sizeof(plat::Dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, plat::kMarkParity);
    EXPECT_EQ(dcb.StopBits, plat::kTwoStopBits);
    EXPECT_TRUE(dcb.flags & plat::kDcbParity);
    EXPECT_TRUE(dcb.flags & plat::kDcbOutxCtsFlow);
    EXPECT_EQ(plat::RtsControl(dcb.flags), plat::kRtsControlHandshake);
    EXPECT_EQ(plat::DtrControl(dcb.flags), plat::kDtrControlEnable);
    EXPECT_TRUE(dcb.flags & plat::kDcbOutX);
    EXPECT_FALSE(dcb.flags & plat::kDcbInX);
    EXPECT_EQ(dcb.XonChar, 0x51);
    EXPECT_EQ(dcb.XoffChar, 0x53);
    EXPECT_EQ(dcb.XonLim, 512);
    EXPECT_EQ(dcb.XoffLim, 128);

    // Turning the hand-shakes off again leaves RTS simply on.
    ApplyToDcb(LineSettings{}, dcb);
    EXPECT_FALSE(dcb.flags &
                 (plat::kDcbOutxCtsFlow | plat::kDcbOutX | plat::kDcbInX | plat::kDcbParity));
    EXPECT_EQ(plat::RtsControl(dcb.flags), plat::kRtsControlEnable);
    EXPECT_EQ(Describe(s), "19200 7M2 rtscts ixon");
}

// ---------------------------------------------------------------------------------------------
// Machine files.

TEST(MachineFileTest, BuilderMessagesPointAtTheValueOrKeyTheyName) {
    const std::string text =
        "Windows Registry Editor Version 5.00\n"            // 1
        "[HKEY_LOCAL_MACHINE\\Machine\\Cards\\A]\n"         // 2
        "\"Template\"=\"T\"\n"                              // 3
        "\"Eeprom\"=hex:01\n"                               // 4
        "[HKEY_LOCAL_MACHINE\\Machine\\Cards\\A\\Port3]\n"  // 5
        "\"Expose\"=dword:1\n"                              // 6
        "\"Wire\"=\"bogus\"\n";                             // 7
    auto parsed = sim::reg::ParseRegText(text, "m.reg");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    struct Case {
        const char* message;
        const char* expect;
    };
    const Case cases[] = {
        {"A: Port3 has an unknown \"Wire\"", "m.reg:7: "},
        {"A: \"Eeprom\" must be binary", "m.reg:4: "},
        {"A: the card has no Port3", "m.reg:5: "},
        {"A: Port3 needs a \"Peer\" like", "m.reg:5: "},  // no such value: its key
        {"A: slot 1 is taken by B", "m.reg:2: "},
        {"B: something", "m.reg: "},  // a card the file does not name
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LocateError(parsed.ops, "m.reg", c.message), c.expect + std::string(c.message));
    }
}

// ---------------------------------------------------------------------------------------------
// Link directories.

TEST(LinkDirTest, NamesItMakes) {
    for (const char* name : {"COM1", "COM10", "Card1.Port4", "x.y.Port12"})
        EXPECT_TRUE(LinkDir::IsLinkName(name)) << name;
    for (const char* name : {"COM", "COMx", "COM1:", ".Port1", "Card1.Port", "notes.txt"})
        EXPECT_FALSE(LinkDir::IsLinkName(name)) << name;
    EXPECT_EQ(LinkDir::WireLinkName("a/b", 2), "a_b.Port2");
}

TEST(LinkDirTest, TakesOverADirectoryAndClearsOnlyStaleTerminalLinks) {
    TempDir tmp;
    const std::string dir = tmp / "links";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(symlink("/dev/pts/999", (dir + "/COM7").c_str()), 0);
    ASSERT_EQ(symlink("/dev/pts/998", (dir + "/Card2.Port1").c_str()), 0);
    ASSERT_EQ(symlink("/etc/hostname", (dir + "/COM8").c_str()), 0);  // not a terminal
    ASSERT_EQ(symlink("/dev/pts/997", (dir + "/mine").c_str()), 0);   // not a name of ours
    {
        LinkDir links;
        std::string error;
        ASSERT_TRUE(links.Open(dir, &error)) << error;
        EXPECT_EQ(links.Removed().size(), 2u);
        struct stat st;
        EXPECT_NE(lstat((dir + "/COM7").c_str(), &st), 0);
        EXPECT_NE(lstat((dir + "/Card2.Port1").c_str(), &st), 0);
        EXPECT_EQ(lstat((dir + "/COM8").c_str(), &st), 0);
        EXPECT_EQ(lstat((dir + "/mine").c_str(), &st), 0);

        // The directory is taken while this one holds it.
        LinkDir second;
        EXPECT_FALSE(second.Open(dir, &error));
        EXPECT_THAT(error, HasSubstr("in use by another zelsim (pid " + std::to_string(getpid())));

        EXPECT_EQ(links.Link("COM1", "/dev/pts/5", &error), dir + "/COM1");
        EXPECT_EQ(links.Link("COM8", "/dev/pts/6", &error), "");  // would replace a user's link
        EXPECT_THAT(error, HasSubstr("not a link to a pseudo-terminal"));
    }
    struct stat st;
    EXPECT_NE(lstat((dir + "/COM1").c_str(), &st), 0);
    EXPECT_NE(lstat((dir + "/.zelsim.lock").c_str(), &st), 0);
    EXPECT_EQ(lstat((dir + "/COM8").c_str(), &st), 0);
}

// ---------------------------------------------------------------------------------------------
// Arguments and the demo's data.

TEST(ArgsTest, PortNamesAndFrameAssignments) {
    EXPECT_EQ(DeviceName("com3"), u"COM3:");
    EXPECT_EQ(DeviceName("COM3:"), u"COM3:");
    std::map<std::string, Frame> frames;
    std::string error;
    EXPECT_TRUE(ParseFrameAssignment("com3=7E1", &frames, &error));
    EXPECT_EQ(frames["COM3:"], (Frame{7, plat::kEvenParity, plat::kOneStopBit}));
    for (const char* bad : {"COM3", "=7E1", "COM3=7X1"})
        EXPECT_FALSE(ParseFrameAssignment(bad, &frames, &error)) << bad;
}

TEST(DemoDataTest, GeneratedDataFitsTheFrameAndTheHandShake) {
    DemoOptions o;
    o.bytes = 100000;
    o.flow = Flow::XonXoff;
    o.frame = {7, plat::kEvenParity, plat::kOneStopBit};
    std::vector<uint8_t> data;
    std::string error;
    ASSERT_TRUE(DemoData(o, &data, &error)) << error;
    ASSERT_EQ(data.size(), 100000u);
    for (uint8_t b : data) {
        ASSERT_LT(b, 0x80);
        ASSERT_NE(b, 0x11);
        ASSERT_NE(b, 0x13);
    }
    // Without the restrictions every value occurs.
    o.flow = Flow::None;
    o.frame = Frame{};
    ASSERT_TRUE(DemoData(o, &data, &error));
    std::set<uint8_t> values(data.begin(), data.end());
    EXPECT_EQ(values.size(), 256u);
}

TEST(DemoDataTest, AFileThatDoesNotFitIsRefused) {
    TempDir tmp;
    zelsim_test::WriteFile(tmp / "f", std::string("ab\x13"
                                                  "cd\xc1",
                                                  6));
    DemoOptions o;
    o.file = tmp / "f";
    std::vector<uint8_t> data;
    std::string error;
    ASSERT_TRUE(DemoData(o, &data, &error)) << error;
    EXPECT_EQ(data.size(), 6u);
    o.flow = Flow::XonXoff;
    EXPECT_FALSE(DemoData(o, &data, &error));
    EXPECT_THAT(error, HasSubstr("XON or XOFF"));
    o.flow = Flow::None;
    o.frame.dataBits = 7;
    EXPECT_FALSE(DemoData(o, &data, &error));
    EXPECT_THAT(error, HasSubstr("wider than 7 data bits"));
}

}  // namespace
}  // namespace zelsim
